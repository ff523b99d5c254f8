'use strict';
// Sound, the pure half: the sound messages and frames, and what the
// sound row says.
const { bytesOf } = require('./encoders.js');
const { isNum } = require('./numbers.js');

const AUDIO_TAG = 0x20;
const AUDIO_HEADER_BYTES = 16;
const AUDIO_ANSWER_MS = 8000;
const AUDIO_RUNNING_MS = 3000;
const AUDIO_RATE_MIN = 8000;
const AUDIO_RATE_MAX = 48000;
// Above this high word a frame index no longer fits a script number exactly.
const AUDIO_TS_HIGH_MAX = 0x1FFFFF;

function encodeAudio(on) { return JSON.stringify({ t: on ? 'audio-start' : 'audio-stop' }); }

function parseAudioHeader(buffer) {
  const b = buffer ? bytesOf(buffer) : null;
  if (!b || b.length <= AUDIO_HEADER_BYTES) return null;
  if (b[0] !== AUDIO_TAG || b[1] !== 1 || b[3] !== 0) return null;
  const channels = b[2];
  if (channels !== 1 && channels !== 2) return null;
  const u32 = (at) => b[at] * 16777216 + ((b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3]);
  const rate = u32(4);
  if (rate < AUDIO_RATE_MIN || rate > AUDIO_RATE_MAX) return null;
  const high = u32(8);
  if (high > AUDIO_TS_HIGH_MAX) return null;
  const sampleBytes = b.length - AUDIO_HEADER_BYTES;
  if (sampleBytes % (2 * channels) !== 0) return null;
  return {
    channels: channels, rate: rate, ts: high * 4294967296 + u32(12),
    frames: sampleBytes / (2 * channels), offset: AUDIO_HEADER_BYTES,
  };
}

// Mono floats for the player: the channels of a frame are averaged.
function audioSamples(buffer, head) {
  const b = bytesOf(buffer);
  const out = new Float32Array(head.frames);
  const view = new DataView(b.buffer, b.byteOffset + head.offset, head.frames * 2 * head.channels);
  const scale = 32768 * head.channels;
  let at = 0;
  for (let i = 0; i < head.frames; i++) {
    let sum = 0;
    for (let c = 0; c < head.channels; c++) { sum += view.getInt16(at, true); at += 2; }
    out[i] = sum / scale;
  }
  return out;
}

function parseAudioState(msg) {
  if (!msg || typeof msg !== 'object' || msg.t !== 'audio') return null;
  if (msg.state === 'on') {
    const rate = msg.rate;
    if (msg.codec === 'pcm16' && isNum(rate) && rate >= AUDIO_RATE_MIN && rate <= AUDIO_RATE_MAX &&
      (msg.ch === 1 || msg.ch === 2)) {
      return { on: true, rate: rate, channels: msg.ch };
    }
    return { on: false, reason: 'format' };
  }
  if (msg.state === 'off') return { on: false, reason: typeof msg.reason === 'string' ? msg.reason : '' };
  return null;
}

const SOUND_OFF_TEXT = 'Plays the computer\u2019s own sound here, never its microphone. About 3 MB a minute while the computer ' +
  'is making sound: mind mobile data.';
const SOUND_ENDED = {
  'unavailable': ['error', 'This computer\u2019s Morvane cannot send sound.'],
  'no-permission': ['error', 'The computer does not let Morvane capture it.'],
  'no-display': ['error', 'Sound needs a display on the computer, and none is on right now.'],
  'browser': ['error', 'This browser cannot play the sound. It needs a secure (https) page and Web Audio.'],
  'blocked': ['error', 'The browser did not let sound start. Press the button again.'],
  'interrupted': ['error', 'This device stopped the sound (a call, or another app). Turn it on again when you want it.'],
  'hidden': ['off', 'Sound was turned off while this page was in the background. ' + SOUND_OFF_TEXT],
  'timeout': ['error', 'The computer did not answer. Try again.'],
};

function soundStatus(state, reason) {
  if (state === 'starting') return { kind: 'busy', text: 'Turning sound on\u2026' };
  if (state === 'on') {
    return { kind: 'ok', text: 'Sound is on: the computer\u2019s own output, not its microphone. About 3 MB a minute while it plays.' };
  }
  if (state !== 'ended') return { kind: 'off', text: SOUND_OFF_TEXT };
  const row = Object.prototype.hasOwnProperty.call(SOUND_ENDED, reason) ? SOUND_ENDED[reason] : null;
  if (!row) return { kind: 'error', text: 'The computer could not capture its sound. Try again.' };
  return { kind: row[0], text: row[1] };
}

module.exports = { AUDIO_TAG, AUDIO_HEADER_BYTES, AUDIO_ANSWER_MS, AUDIO_RUNNING_MS, encodeAudio, parseAudioHeader,
  audioSamples, parseAudioState, soundStatus };
