'use strict';
// How the relayed road paces its dials while the relay or the computer is
// away: found again within a few seconds of coming back, phones spread
// apart, and a slower pace once nothing has answered for a while.
const test = require('node:test');
const assert = require('node:assert/strict');

const { relayRetryDelay, relayRetryStep, relaySocket } = require('../../../src/relay_service/web/client/relay_socket.js');

test('each wait is drawn from the upper half of its step, and the steps are bounded', () => {
  const rows = [
    // attempt, ms since the first retry was planned, least, most
    [0, 0, 500, 1000],
    [1, 1000, 1000, 2000],
    [2, 3000, 1500, 3000],
    [3, 6000, 2000, 4000],
    [40, 119999, 2000, 4000],
    [40, 120000, 5000, 10000],
    [1000, 3600000, 5000, 10000],
    [-1, 0, 500, 1000],
    [NaN, 0, 500, 1000],
  ];
  for (const [attempt, away, least, most] of rows) {
    assert.equal(relayRetryDelay(attempt, away, () => 0), least, 'attempt ' + attempt);
    assert.equal(relayRetryDelay(attempt, away, () => 0.999999), most, 'attempt ' + attempt);
    assert.equal(relayRetryDelay(attempt, away, () => 7), most, 'attempt ' + attempt + ', a random past 1');
  }
});

test('a relay away for up to two minutes is dialled again at most four seconds after it is back', () => {
  for (const random of [() => 0, () => 0.5, () => 0.999999, Math.random]) {
    let at = 0;
    const tries = [];
    for (let attempt = 0; at < 130000; attempt += 1) {
      at += relayRetryDelay(attempt, at, random);
      tries.push(at);
    }
    for (let away = 1000; away <= 120000; away += 250) {
      const next = tries.find((t) => t >= away);
      assert.ok(next - away <= 4000, 'away ' + away + ' ms: the next try ' + (next - away) + ' ms after it is back');
    }
  }
});

// Plays a run of failed dials, each finding `found(at)`; gives their times.
function dials({ afterSession, found, until, random }) {
  let pace = null;
  const times = [0];
  for (let attempt = 0; times.at(-1) < until; attempt += 1) {
    const at = times.at(-1);
    const step = relayRetryStep(pace, { attempt, nowMs: at, found: attempt === 0 ? '' : found(at), afterSession }, random);
    pace = step.pace;
    times.push(at + step.delay);
  }
  return times;
}

test('a relay away is dialled every second; back ahead of the computer after a session, every 0.4-0.8 s for ten seconds only', () => {
  const thenOffline = (at) => (at < 20000 ? 'relay-away' : 'mac-offline');
  const rows = [
    // what each dial finds, after a session, from ms, to ms, least and most gap
    [() => 'relay-away', false, 0, 120000, 500, 1000],
    [() => 'relay-away', true, 125000, 200000, 5000, 10000],
    [thenOffline, true, 20000, 30000, 400, 800],
    [thenOffline, true, 31000, 110000, 2000, 4000],
    [thenOffline, false, 21000, 110000, 2000, 4000],
    [() => '', true, 7000, 110000, 2000, 4000],
  ];
  for (const [found, afterSession, from, to, least, most] of rows) {
    for (const random of [() => 0, () => 0.999999]) {
      const times = dials({ afterSession, found, until: to + most, random });
      const gaps = times.slice(1).map((t, i) => [times[i], t]).filter(([a, b]) => a >= from && b <= to).map(([a, b]) => b - a);
      assert.ok(gaps.length > 0 && gaps.every((g) => g >= least && g <= most), JSON.stringify([from, to, afterSession, gaps]));
    }
  }
});

test('a relay socket says what its dial found: the relay away, or the relay without the computer', async () => {
  const { AccountError } = require('../../../src/relay_service/web/client/relay_account.js');
  const rows = [
    // the ticket's failure or the socket's close before it opened, what it found, the bye
    [new AccountError('unreachable'), 'relay-away', 'relay-unreachable'],
    [new AccountError('http-502', 502), 'relay-away', 'relay-unreachable'],
    [new AccountError('http-503', 503), '', undefined],
    [1006, 'relay-away', 'relay-unreachable'],
    [4503, 'mac-offline', 'mac-offline'],
    [1011, '', 'relay-unreachable'],
  ];
  for (const [end, found, bye] of rows) {
    const inner = { send() {}, close() {} };
    const failed = end instanceof Error;
    const sock = relaySocket({ dial: () => (failed ? Promise.reject(end) : Promise.resolve(inner)), computer: {}, roomID: null });
    let said;
    sock.onmessage = (e) => { said = JSON.parse(e.data).reason; };
    const closed = new Promise((resolve) => { sock.onclose = resolve; });
    if (!failed) setImmediate(() => inner.onclose({ code: end }));
    await closed;
    assert.deepEqual([sock.found, said], [found, bye], String(end));
  }
});
