'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const { AudioJitterBuffer } = require('../../../src/web/audio-worklet.js');

const packet = (n, v = 0.5) => new Float32Array(n).fill(v);

test('playback waits for the target fill and starts with exactly the target waiting', () => {
  const b = new AudioJitterBuffer();
  const out = new Float32Array(128);
  for (let i = 0; i < 7; i++) assert.equal(b.push(i * 480, packet(480)), true);
  b.pull(out, 48000);
  assert.equal(b.playing, false);
  assert.ok(out.every((v) => v === 0));
  b.push(7 * 480, packet(480));
  assert.equal(b.fill, 3840);
  b.pull(out, 48000);
  assert.equal(b.playing, true);
  assert.equal(b.stats().trimmedMs, 10, '240 frames let go before playing');
  // The step is exactly 24 kHz / 48 kHz while the fill sits on target.
  assert.equal(b.played, 64);
  assert.equal(out[0], 0, 'the first sample fades in from silence');
  assert.ok(out[127] > 0.3);
});

test('packets that do not fit the stream are refused or counted', () => {
  const b = new AudioJitterBuffer();
  assert.equal(b.push(0, packet(24001)), false);
  assert.equal(b.push(-1, packet(10)), false);
  assert.equal(b.push(0, new Float32Array(0)), false);
  assert.equal(b.push(NaN, packet(10)), false);
  assert.equal(b.push(0, packet(480, 0.1)), true);
  assert.equal(b.push(960, packet(480, 0.2)), true);
  assert.equal(b.gaps, 1);
  assert.equal(b.stats().gapMs, 20);
  assert.equal(b.fill, 960, 'nothing is put in the missing place');
  assert.ok(Math.abs(b.ring[480] - 0.2) < 1e-6, 'stored directly after the first');
  const c = new AudioJitterBuffer();
  c.push(480, packet(480));
  assert.equal(c.push(0, packet(480)), false);
  assert.equal(c.late, 1);
});

test('a burst past the limit is cut back to the target and fades in again', () => {
  const b = new AudioJitterBuffer();
  const out = new Float32Array(128);
  let ts = 0;
  const add = (n) => { b.push(ts, packet(n)); ts += n; };
  add(3600);
  b.pull(out, 48000);
  assert.equal(b.playing, true);
  add(10801 - b.fill);
  assert.equal(b.fill, 10801);
  b.pull(out, 48000);
  assert.equal(b.stats().skippedMs, Math.round((10801 - 3600) * 1000 / 24000));
  assert.equal(out[0], 0);
  assert.ok(Math.abs(out[96] - 0.25) < 1e-6, 'half way through the 4 ms fade (192 samples at 48 kHz)');
  // Far above target on average: never faster than half a percent.
  const far = new AudioJitterBuffer();
  far.push(0, packet(3600));
  far.pull(new Float32Array(1), 48000);
  far.avgFill = 100000;
  const before = far.played + far.frac;
  far.pull(new Float32Array(1000), 48000);
  const moved = far.played + far.frac - before;
  assert.ok(moved <= 1000 * 0.5 * 1.005 + 1e-6 && moved > 500, `moved ${moved}`);
});

test('running dry is silence and a fresh wait for the target', () => {
  const b = new AudioJitterBuffer();
  b.push(0, packet(3600));
  b.pull(new Float32Array(1), 48000);
  b.skip(b.fill - 1, false);
  assert.equal(b.fill, 1);
  const out = new Float32Array(128).fill(9);
  b.pull(out, 48000);
  assert.ok(out.every((v) => v === 0));
  assert.equal(b.fill, 0);
  assert.equal(b.drains, 1);
  assert.equal(b.playing, false);
  assert.deepEqual(Object.keys(b.stats()), ['fillMs', 'playing', 'packets', 'frames', 'played', 'gaps', 'gapMs', 'late', 'skippedMs', 'trimmedMs', 'drains']);
  // Options apply only when valid.
  const o = new AudioJitterBuffer({ sourceRate: 16000, targetMs: -5, maxMs: 300, maxAdjust: -1 });
  assert.deepEqual([o.targetFrames, o.maxFrames, o.maxAdjust], [2400, 4800, 0.005]);
});
