'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const vm = require('node:vm');

// Loads the worklet file the way the browser's audio thread does: with its
// processor base class, registry and output rate as globals.
function loadProcessor(rate = 48000) {
  const registered = {};
  class AudioWorkletProcessor {
    constructor() {
      this.port = { posted: [], onmessage: null, postMessage(m) { this.posted.push(m); } };
    }
  }
  const sandbox = {
    AudioWorkletProcessor, Float32Array, sampleRate: rate,
    registerProcessor: (name, cls) => { registered[name] = cls; },
  };
  const file = path.resolve(__dirname, '../../../src/web/audio-worklet.js');
  vm.runInNewContext(fs.readFileSync(file, 'utf8'), sandbox, { filename: file });
  const Processor = registered['morvane-audio'];
  assert.equal(typeof Processor, 'function', 'registered as morvane-audio');
  const p = new Processor();
  const send = (data) => p.port.onmessage({ data });
  const render = () => {
    const output = [new Float32Array(128), new Float32Array(128)];
    return { alive: p.process([], [output]), output };
  };
  return { p, send, render };
}

const tone = (n, v = 0.25) => new Float32Array(n).fill(v);

test('the processor reports four times a second and plays once the buffer is full', () => {
  const { p, send, render } = loadProcessor(48000);
  // 48000 / 4 = 12000 samples = 93.75 renders of 128: the first report follows the 94th.
  for (let i = 0; i < 93; i++) assert.equal(render().alive, true);
  assert.equal(p.port.posted.length, 0);
  render();
  assert.deepEqual(JSON.parse(JSON.stringify(p.port.posted)), [{ fillMs: 0, playing: false, packets: 0 }], 'before any packet');
  for (let i = 0; i < 8; i++) send({ type: 'pcm', ts: i * 480, rate: 24000, samples: tone(480) });
  send({ type: 'pcm', ts: 8 * 480, rate: 24000, samples: [0.5] });
  send({ type: 'other' });
  send(null);
  const { output } = render();
  assert.ok(output[0][127] > 0.1, 'playing');
  assert.deepEqual(Array.from(output[1]), Array.from(output[0]), 'further channels copy the first');
  for (let i = 0; i < 93; i++) render();
  const last = p.port.posted[p.port.posted.length - 1];
  assert.equal(last.packets, 8, 'only sample arrays are taken');
  assert.equal(last.drains, 1, 'ran dry once the packets stopped');
  assert.equal(last.playing, false);
});

test('a new format starts a fresh buffer, and a stop ends the processor for good', () => {
  const { p, send, render } = loadProcessor(48000);
  for (let i = 0; i < 8; i++) send({ type: 'pcm', ts: i * 480, rate: 24000, samples: tone(480) });
  assert.ok(render().output[0][127] > 0.1);
  // 16 kHz: playback waits for 150 ms at the new rate (2400 frames).
  for (let i = 0; i < 7; i++) send({ type: 'pcm', ts: i * 320, rate: 16000, samples: tone(320) });
  assert.ok(render().output[0].every((v) => v === 0), '2240 frames are not enough');
  send({ type: 'pcm', ts: 7 * 320, rate: 16000, samples: tone(320) });
  assert.ok(render().output[0][127] > 0.1);

  const before = p.port.posted.length;
  send({ type: 'stop' });
  const after = render();
  assert.equal(after.alive, false);
  assert.ok(after.output[0].every((v) => v === 0), 'silence once more');
  for (let i = 0; i < 200; i++) render();
  assert.equal(p.port.posted.length, before, 'no stats after the stop');
  assert.equal(p.process([], [[]]), false, 'without an output it still answers');
});
