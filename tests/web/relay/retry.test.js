'use strict';
// How the relayed road paces its dials while the relay or the computer is
// away: found again within a few seconds of coming back, phones spread
// apart, and a slower pace once nothing has answered for a while.
const test = require('node:test');
const assert = require('node:assert/strict');

const { relayRetryDelay } = require('../../../src/relay_service/web/client/relay_socket.js');

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
