'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const {
  audioSamples, encodeAudio, parseAudioHeader, parseAudioState, soundStatus,
} = require('../../../src/web/client/sound.js');

// A sound packet as the host builds it: big-endian header, little-endian samples.
function packet({ tag = 0x20, codec = 1, channels = 1, reserved = 0, rate = 24000, high = 0, low = 0, samples = [0] } = {}) {
  const b = Buffer.alloc(16 + samples.length * 2);
  b[0] = tag; b[1] = codec; b[2] = channels; b[3] = reserved;
  b.writeUInt32BE(rate, 4);
  b.writeUInt32BE(high, 8);
  b.writeUInt32BE(low, 12);
  samples.forEach((v, i) => b.writeInt16LE(v, 16 + i * 2));
  return new Uint8Array(b.buffer, b.byteOffset, b.length);
}

test('a sound packet header is read only when every field is in range', () => {
  const good = parseAudioHeader(packet({ samples: new Array(480).fill(0) }));
  assert.deepEqual(good, { channels: 1, rate: 24000, ts: 0, frames: 480, offset: 16 });
  assert.equal(parseAudioHeader(null), null);
  assert.equal(parseAudioHeader(packet({ samples: [] })), null, 'a header alone carries no sound');
  assert.equal(parseAudioHeader(packet({ tag: 0x02 })), null);
  assert.equal(parseAudioHeader(packet({ codec: 2 })), null);
  assert.equal(parseAudioHeader(packet({ reserved: 1 })), null);
  assert.equal(parseAudioHeader(packet({ channels: 0 })), null);
  assert.equal(parseAudioHeader(packet({ channels: 3, samples: [0, 0, 0] })), null);
  assert.equal(parseAudioHeader(packet({ rate: 7999 })), null);
  assert.equal(parseAudioHeader(packet({ rate: 48001 })), null);
  assert.equal(parseAudioHeader(packet({ rate: 0xFFFFFFFF })), null, 'a rate with the top bit set is not negative');
  assert.equal(parseAudioHeader(packet({ rate: 8000 })).rate, 8000);
  assert.equal(parseAudioHeader(packet({ rate: 48000 })).rate, 48000);
  assert.equal(parseAudioHeader(packet({ high: 0x200000 })), null, 'an index past 2^53 is not exact');
  const odd = new Uint8Array(19);
  odd.set(packet().subarray(0, 16));
  assert.equal(parseAudioHeader(odd), null, 'three mono sample bytes');
  assert.equal(parseAudioHeader(packet({ channels: 2, samples: [1, 2, 3] })), null, 'half a stereo frame');
  const stereo = parseAudioHeader(packet({ channels: 2, samples: [1, 2, 3, 4] }));
  assert.equal(stereo.frames, 2);
  // The first frame is a 64-bit count: both words, unsigned.
  assert.equal(parseAudioHeader(packet({ high: 0x1FFFFF, low: 0xFFFFFFFF })).ts, 9007199254740991);
  assert.equal(parseAudioHeader(packet({ high: 1, low: 5 })).ts, 4294967301);
  assert.equal(parseAudioHeader(packet({ low: 0x80000000 })).ts, 2147483648);
  // Views into a larger buffer are read from their own start.
  const inner = packet({ rate: 16000, samples: [7] });
  const wide = new Uint8Array(inner.length + 8);
  wide.set(inner, 4);
  assert.equal(parseAudioHeader(wide.subarray(4, 4 + inner.length)).rate, 16000);
});

test('samples become mono floats averaged over each frame', () => {
  const mono = packet({ samples: [-32768, 0, 16384, 32767] });
  const m = audioSamples(mono, parseAudioHeader(mono));
  assert.ok(m instanceof Float32Array);
  assert.deepEqual(Array.from(m), [-1, 0, 0.5, Math.fround(32767 / 32768)]);
  const stereo = packet({ channels: 2, samples: [32767, 32767, 1000, -1000, -32768, -32768] });
  const s = audioSamples(stereo, parseAudioHeader(stereo));
  assert.equal(s.length, 3);
  assert.equal(s[0], Math.fround(65534 / 65536));
  assert.equal(s[1], 0, 'opposite channels cancel');
  assert.equal(s[2], -1);
  // An unaligned view (odd byte offset) is read all the same.
  const wide = new Uint8Array(mono.length + 1);
  wide.set(mono, 1);
  const view = wide.subarray(1);
  assert.deepEqual(Array.from(audioSamples(view, parseAudioHeader(view))), Array.from(m));
});

test('the audio state message turns into on, off with a reason, or nothing', () => {
  const on = { t: 'audio', state: 'on', codec: 'pcm16', rate: 24000, ch: 1 };
  assert.deepEqual(parseAudioState(on), { on: true, rate: 24000, channels: 1 });
  assert.deepEqual(parseAudioState({ ...on, ch: 2, rate: 48000 }), { on: true, rate: 48000, channels: 2 });
  for (const bad of [{ codec: 'opus' }, { codec: undefined }, { rate: 7999 }, { rate: 48001 }, { rate: '24000' },
    { ch: 3 }, { ch: 0 }, { ch: '1' }]) {
    assert.deepEqual(parseAudioState({ ...on, ...bad }), { on: false, reason: 'format' }, JSON.stringify(bad));
  }
  assert.deepEqual(parseAudioState({ t: 'audio', state: 'off', reason: 'no-display' }), { on: false, reason: 'no-display' });
  assert.deepEqual(parseAudioState({ t: 'audio', state: 'off', reason: 42 }), { on: false, reason: '' });
  assert.deepEqual(parseAudioState({ t: 'audio', state: 'off' }), { on: false, reason: '' });
  assert.equal(parseAudioState({ t: 'audio', state: 'paused' }), null);
  assert.equal(parseAudioState({ t: 'video', state: 'on' }), null);
  assert.equal(parseAudioState(null), null);
  assert.equal(parseAudioState('audio'), null);
});

test('the page asks for sound and to stop it with bare requests', () => {
  assert.equal(encodeAudio(true), '{"t":"audio-start"}');
  assert.equal(encodeAudio(false), '{"t":"audio-stop"}');
});

test('the note under the sound button says why sound is off', () => {
  const W = 'Plays the computer\u2019s own sound here, never its microphone. About 3 MB a minute while the computer is making sound: mind mobile data.';
  assert.deepEqual(soundStatus('off', ''), { kind: 'off', text: W });
  assert.deepEqual(soundStatus('off', 'timeout'), { kind: 'off', text: W }, 'a reason counts only once ended');
  assert.deepEqual(soundStatus('starting', ''), { kind: 'busy', text: 'Turning sound on\u2026' });
  assert.deepEqual(soundStatus('on', ''), {
    kind: 'ok', text: 'Sound is on: the computer\u2019s own output, not its microphone. About 3 MB a minute while it plays.',
  });
  const ended = {
    'unavailable': 'This computer\u2019s Morvane cannot send sound.',
    'no-permission': 'The computer does not let Morvane capture it.',
    'no-display': 'Sound needs a display on the computer, and none is on right now.',
    'browser': 'This browser cannot play the sound. It needs a secure (https) page and Web Audio.',
    'blocked': 'The browser did not let sound start. Press the button again.',
    'interrupted': 'This device stopped the sound (a call, or another app). Turn it on again when you want it.',
    'timeout': 'The computer did not answer. Try again.',
  };
  for (const [reason, text] of Object.entries(ended)) {
    assert.deepEqual(soundStatus('ended', reason), { kind: 'error', text }, reason);
  }
  assert.deepEqual(soundStatus('ended', 'hidden'),
    { kind: 'off', text: 'Sound was turned off while this page was in the background. ' + W });
  for (const reason of ['failed', 'format', 'stopped-on-mac', '', 'toString', '__proto__']) {
    assert.deepEqual(soundStatus('ended', reason),
      { kind: 'error', text: 'The computer could not capture its sound. Try again.' }, reason);
  }
});
