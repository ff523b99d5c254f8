'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const {
  backoffDelay, chunkText, encodeAuth, encodeButton, encodeKey, encodeMove, encodePing, encodeQuality, encodeScroll,
  encodeSimple, encodeText, mapMouseButton, parseChord, parseFrameHeader, wheelToPixels,
} = require('../../../src/web/client/encoders.js');

test('pointer messages carry fractions of the picture clamped to 0..1 with five decimals', () => {
  assert.equal(encodeMove(1.2, -0.5), '{"t":"mm","x":1,"y":0}');
  assert.equal(encodeMove(0.123456, 0.5), '{"t":"mm","x":0.12346,"y":0.5}');
  assert.equal(encodeMove(NaN, 0.5), null);
  assert.equal(encodeMove('0.5', 0.5), null);
  assert.equal(encodeButton(0, true, 0.25, 0.75, 2), '{"t":"mb","b":0,"d":true,"x":0.25,"y":0.75,"c":2}');
  assert.equal(encodeButton(2, 0, 0, 0), '{"t":"mb","b":2,"d":false,"x":0,"y":0,"c":1}');
  assert.equal(encodeButton(3, true, 0.5, 0.5, 1), null, 'button 3 does not exist on the host');
  assert.equal(JSON.parse(encodeButton(0, true, 0.5, 0.5, 7)).c, 3);
  assert.equal(JSON.parse(encodeButton(0, true, 0.5, 0.5, 0)).c, 1);
  assert.equal(encodeButton(0, true, Infinity, 0.5, 1), null);
});

test('scrolls are clamped to 2000, rounded, and never sent as nothing', () => {
  assert.equal(encodeScroll(0.4, -0.4), null);
  assert.equal(encodeScroll(3000, -2.5), '{"t":"sc","dx":2000,"dy":-2}');
  assert.equal(encodeScroll(-5000, 0.5), '{"t":"sc","dx":-2000,"dy":1}');
  assert.equal(encodeScroll(NaN, 5), null);
});

test('key and text messages refuse what the host would refuse', () => {
  assert.equal(encodeKey('KeyA', true), '{"t":"k","code":"KeyA","d":true}');
  assert.equal(encodeKey('Key-A', true), null);
  assert.equal(encodeKey('A'.repeat(33), true), null);
  assert.equal(encodeKey('A'.repeat(32), false), `{"t":"k","code":"${'A'.repeat(32)}","d":false}`);
  assert.equal(encodeKey('', true), null);
  const emoji2000 = '😀'.repeat(2000);
  assert.equal(emoji2000.length, 4000);
  assert.equal(JSON.parse(encodeText(emoji2000)).s, emoji2000);
  const emoji2001 = '😀'.repeat(2001);
  assert.equal(encodeText(emoji2001), null);
  const pieces = chunkText(emoji2001, 2000);
  assert.deepEqual(pieces.map((p) => Array.from(p).length), [2000, 1]);
  assert.ok(pieces.every((p) => encodeText(p) !== null));
  assert.equal(encodeText(''), null);
  // A lone surrogate would make the whole message unreadable JSON text.
  assert.equal(encodeText('a\uD83Db\uDE00'), '{"t":"text","s":"a\uFFFDb\uFFFD"}');
  assert.deepEqual(chunkText('', 2000), []);
  assert.deepEqual(chunkText('a😀b', 2), ['a😀', 'b'], 'a surrogate pair is never split');
});

test('session control messages are exact and refuse unknown values', () => {
  const token = '0123456789abcdef'.repeat(4);
  assert.equal(encodeAuth(token), `{"t":"auth","token":"${token}"}`);
  assert.equal(encodeAuth(token.toUpperCase()), null);
  assert.equal(encodeAuth(token.slice(1)), null);
  assert.equal(encodePing(7), '{"t":"ping","id":7}');
  assert.equal(encodePing(Infinity), null);
  assert.equal(encodeQuality('high'), '{"t":"quality","q":"high"}');
  assert.equal(encodeQuality('ultra'), null);
  assert.equal(encodeSimple('lock'), '{"t":"lock"}');
  assert.equal(encodeSimple('keyframe'), '{"t":"keyframe"}');
  assert.equal(encodeSimple('quit'), null);
});

test('small conversions: buttons, wheel, chords, retry delays', () => {
  assert.deepEqual([0, 1, 2, 3, 4].map(mapMouseButton), [0, 2, 1, null, null]);
  assert.equal(wheelToPixels(3, 1, 0), 48);
  assert.equal(wheelToPixels(1, 2, 600), 600);
  assert.equal(wheelToPixels(1, 2, 0), 800);
  assert.equal(wheelToPixels(12.5, 0, 0), 12.5);
  assert.equal(wheelToPixels(NaN, 0, 0), 0);
  assert.deepEqual(parseChord('MetaLeft+ShiftLeft+Digit4'), { modifiers: ['MetaLeft', 'ShiftLeft'], key: 'Digit4' });
  assert.equal(parseChord('+'), null);
  assert.deepEqual(parseChord('Escape'), { modifiers: [], key: 'Escape' });
  assert.deepEqual([-1, 0, 1, 2, 3, 50, NaN].map(backoffDelay), [10000, 1000, 2000, 5000, 10000, 10000, 10000]);
});

test('picture messages are read only when their header is whole and sized', () => {
  assert.equal(parseFrameHeader(null), null);
  assert.equal(parseFrameHeader(new Uint8Array([1, 0, 2, 0, 3]).buffer), null, 'five bytes are too few');
  assert.deepEqual(parseFrameHeader(new Uint8Array([1, 0x06, 0x40, 0x03, 0x84, 0xff]).buffer), { width: 1600, height: 900, offset: 5 });
  assert.equal(parseFrameHeader(new Uint8Array([2, 0, 2, 0, 3, 0]).buffer), null);
  assert.equal(parseFrameHeader(new Uint8Array([1, 0, 0, 0, 3, 0]).buffer), null);
});
