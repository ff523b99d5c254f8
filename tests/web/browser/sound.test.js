'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const { openSession, until, eventually } = require('../support/session.js');

const connected = () => document.getElementById('conn-text').textContent === 'Connected';
const W = 'Plays the computer\u2019s own sound here, never its microphone. About 3 MB a minute while the computer is making sound: mind mobile data.';
const ON = { t: 'audio', state: 'on', codec: 'pcm16', rate: 24000, ch: 1 };

// 20 ms of a 440 Hz sine at 24 kHz, as the host sends it.
function sinePacket(firstFrame) {
  const frames = 480;
  const b = Buffer.alloc(16 + frames * 2);
  b[0] = 0x20; b[1] = 1; b[2] = 1; b[3] = 0;
  b.writeUInt32BE(24000, 4);
  b.writeBigUInt64BE(BigInt(firstFrame), 8);
  for (let i = 0; i < frames; i++) {
    b.writeInt16LE(Math.round(12000 * Math.sin(2 * Math.PI * 440 * (firstFrame + i) / 24000)), 16 + i * 2);
  }
  return b;
}

// A fake Mac whose answer to "audio-start" the test chooses: 'play' answers
// on and streams a sine until stopped, an object is sent as it stands, null
// leaves the request unanswered. `init` runs in the page before its script.
async function soundSession({ init } = {}) {
  const mac = { conn: null, answer: 'play', timer: null, starts: 0, stops: 0 };
  const s = await openSession({ host: { onSession: (c) => { mac.conn = c; } } });
  if (init) {
    await s.page.addInitScript(init);
    await s.page.reload();
  }
  await until(s.page, connected);
  const conn = mac.conn;
  const stream = () => {
    let ts = 0;
    mac.timer = setInterval(() => {
      if (!conn.open) return;
      conn.ws.send(sinePacket(ts));
      ts += 480;
    }, 20);
  };
  conn.ws.onMessage((m) => {
    if (typeof m !== 'string') return;
    const msg = JSON.parse(m);
    conn.sent.push(msg);
    if (msg.t === 'ping') conn.ws.send(JSON.stringify({ t: 'pong', id: msg.id }));
    if (msg.t === 'audio-start') {
      mac.starts += 1;
      if (mac.answer === 'play') { conn.ws.send(JSON.stringify(ON)); stream(); }
      else if (mac.answer) conn.ws.send(JSON.stringify(mac.answer));
    }
    if (msg.t === 'audio-stop') {
      mac.stops += 1;
      clearInterval(mac.timer);
      conn.ws.send(JSON.stringify({ t: 'audio', state: 'off', reason: 'stopped' }));
    }
  });
  mac.send = (msg) => conn.ws.send(JSON.stringify(msg));
  mac.finish = () => clearInterval(mac.timer);
  await s.page.click('#cluster [data-toggle="more"]');
  return { s, page: s.page, mac };
}

const row = (page) => page.evaluate(() => {
  const set = document.getElementById('sound-set');
  const button = document.getElementById('sound-toggle');
  const note = document.getElementById('sound-note');
  return {
    state: set.dataset.state, context: set.dataset.context, button: button.textContent,
    pressed: button.getAttribute('aria-pressed'), kind: note.dataset.kind, note: note.textContent,
  };
});
const soundIs = (page, state) => until(page, (st) => document.getElementById('sound-set').dataset.state === st, state);

test('turning sound on plays the computer\u2019s packets through the worklet, and off closes it all', async () => {
  const { s, page, mac } = await soundSession();
  try {
    assert.equal(await page.isVisible('#sound-set'), true);
    assert.deepEqual(await row(page), { state: 'off', context: 'none', button: 'Turn on', pressed: 'false', kind: 'off', note: W });
    await page.click('#sound-toggle');
    await soundIs(page, 'on');
    const on = await row(page);
    assert.equal(on.button, 'Turn off');
    assert.equal(on.pressed, 'true');
    assert.equal(on.kind, 'ok');
    assert.equal(on.note, 'Sound is on: the computer\u2019s own output, not its microphone. About 3 MB a minute while it plays.');
    // The worklet reports what it took and played, and what it holds. This
    // test's computer sends on a timer a loaded machine can hold back, so
    // the worklet may run dry for a moment: the report judged is one taken
    // while it holds something.
    const d = await (await page.waitForFunction(() => {
      const d = document.getElementById('sound-set').dataset;
      return d.context === 'running' && d.playing === 'true' && Number(d.packets) >= 10 && Number(d.played) > 0 &&
        Number(d.fillMs) > 0 && { ...d };
    }, undefined, { timeout: 15000, polling: 50 })).jsonValue();
    assert.equal(d.gaps, '0', 'an unbroken stream has no gaps');
    assert.ok(Number(d.fillMs) <= 450, 'fill ' + d.fillMs);
    const starts = mac.conn.sent.filter((m) => m && m.t === 'audio-start');
    assert.equal(starts.length, 1);
    assert.deepEqual(starts[0], { t: 'audio-start' });

    await page.click('#sound-toggle');
    assert.deepEqual(await row(page), { state: 'off', context: 'none', button: 'Turn on', pressed: 'false', kind: 'off', note: W });
    await eventually(() => mac.stops === 1, 'audio-stop');
    assert.deepEqual(mac.conn.sent.filter((m) => m && m.t === 'audio-stop'), [{ t: 'audio-stop' }]);
    // Packets still in flight after the stop are let go.
    await page.waitForTimeout(200);
    assert.equal(await page.evaluate(() => document.getElementById('sound-set').dataset.packets), '0');
    s.browser.assertClean(assert);
  } finally {
    mac.finish();
    await s.close();
  }
});

test('each way the computer ends sound is told in its own words', async () => {
  const { s, page, mac } = await soundSession();
  const endsWith = async (answer, note, kind = 'error') => {
    mac.answer = answer;
    await page.click('#sound-toggle');
    await soundIs(page, 'ended');
    const r = await row(page);
    assert.equal(r.note, note, JSON.stringify(answer));
    assert.equal(r.kind, kind);
    assert.equal(r.button, 'Turn on');
    assert.equal(r.context, 'none', 'the browser\u2019s audio is closed');
  };
  const off = (reason) => ({ t: 'audio', state: 'off', reason });
  try {
    await endsWith(off('unavailable'), 'This computer\u2019s Morvane cannot send sound.');
    await endsWith(off('no-permission'), 'The computer does not let Morvane capture it.');
    await endsWith(off('no-display'), 'Sound needs a display on the computer, and none is on right now.');
    await endsWith(off('failed'), 'The computer could not capture its sound. Try again.');
    await endsWith(off('stopped-on-mac'), 'The computer could not capture its sound. Try again.');
    await endsWith({ t: 'audio', state: 'off' }, 'The computer could not capture its sound. Try again.');
    await endsWith({ ...ON, codec: 'opus' }, 'The computer could not capture its sound. Try again.');
    await endsWith({ ...ON, ch: 3 }, 'The computer could not capture its sound. Try again.');
    assert.equal(await page.evaluate(() => getComputedStyle(document.getElementById('sound-note'), '::before').content),
      '"Problem: "');

    // The answer to the page's own stop changes nothing while playing.
    mac.answer = 'play';
    await page.click('#sound-toggle');
    await soundIs(page, 'on');
    mac.send(off('stopped'));
    await page.waitForTimeout(300);
    assert.equal((await row(page)).state, 'on');
    // Going to the background ends sound, and says so without alarm.
    const stopsBefore = mac.stops;
    await page.evaluate(() => window.dispatchEvent(new Event('pagehide')));
    const hidden = await row(page);
    assert.equal(hidden.state, 'ended');
    assert.equal(hidden.kind, 'off');
    assert.equal(hidden.note, 'Sound was turned off while this page was in the background. ' + W);
    await eventually(() => mac.stops === stopsBefore + 1, 'audio-stop when hidden');
    mac.finish();

    // A Mac that never answers is given up on.
    mac.answer = null;
    await page.click('#sound-toggle');
    assert.equal((await row(page)).note, 'Turning sound on\u2026');
    assert.equal((await row(page)).kind, 'busy');
    await soundIs(page, 'ended');
    assert.equal((await row(page)).note, 'The computer did not answer. Try again.');

    // An "on" for a request taken back is answered with a stop.
    await page.click('#sound-toggle');
    await eventually(() => mac.starts === 11, 'audio-start');
    await page.click('#sound-toggle');
    const stops = mac.stops;
    mac.send(ON);
    await eventually(() => mac.stops === stops + 1, 'a stop for the late answer');
    assert.equal((await row(page)).state, 'off');

    // The end of the connection clears the last failure.
    await endsWith(off('no-display'), 'Sound needs a display on the computer, and none is on right now.');
    mac.conn.ws.close({ code: 1000 });
    await until(page, () => document.getElementById('sound-note').dataset.kind === 'off');
    assert.deepEqual(await row(page), { state: 'off', context: 'none', button: 'Turn on', pressed: 'false', kind: 'off', note: W });
    s.browser.assertClean(assert);
  } finally {
    mac.finish();
    await s.close();
  }
});

test('a browser without an audio worklet says so and asks the computer for nothing', async () => {
  const { s, page, mac } = await soundSession({ init: () => { delete window.AudioWorkletNode; } });
  try {
    await page.click('#sound-toggle');
    const r = await row(page);
    assert.equal(r.state, 'ended');
    assert.equal(r.note, 'This browser cannot play the sound. It needs a secure (https) page and Web Audio.');
    assert.equal(r.context, 'none');
    await page.waitForTimeout(200);
    assert.equal(mac.starts + mac.stops, 0);
    s.browser.assertClean(assert);
  } finally {
    await s.close();
  }
});

test('a device that takes the sound away, or never lets it start, ends it with its own words', async () => {
  // Keeps hold of the page's audio contexts, and lets the test decide
  // whether they may report running.
  const init = () => {
    const Real = window.AudioContext;
    window.soundContexts = [];
    window.AudioContext = class extends Real {
      constructor(options) { super(options); window.soundContexts.push(this); }
      get state() { return window.holdSuspended ? 'suspended' : super.state; }
    };
  };
  const { s, page, mac } = await soundSession({ init });
  try {
    mac.answer = { t: 'audio', state: 'on', codec: 'pcm16', rate: 24000, ch: 1 };
    await page.click('#sound-toggle');
    await until(page, () => document.getElementById('sound-set').dataset.context === 'running');
    await soundIs(page, 'on');
    await page.evaluate(() => window.soundContexts[window.soundContexts.length - 1].suspend());
    await soundIs(page, 'ended');
    assert.equal((await row(page)).note,
      'This device stopped the sound (a call, or another app). Turn it on again when you want it.');
    assert.equal(await page.evaluate(() => window.soundContexts[0].state), 'closed');

    // A context that never runs is given 3 seconds after the computer's answer.
    await page.evaluate(() => { window.holdSuspended = true; });
    await page.click('#sound-toggle');
    await soundIs(page, 'on');
    await soundIs(page, 'ended');
    assert.equal((await row(page)).note, 'The browser did not let sound start. Press the button again.');
    await eventually(() => mac.stops === 2, 'a stop for each end');
    s.browser.assertClean(assert);
  } finally {
    await s.close();
  }
});
