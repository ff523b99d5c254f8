'use strict';
// The messages the page sends, built and bounded here: every field is
// checked or clamped so that the host never has to refuse what the page
// built. Also the small conversions the encoders rely on.
const { clipClean } = require('./clipboard.js');
const { clamp, isNum } = require('./numbers.js');

const TOKEN_RE = /^[0-9a-f]{64}$/;
const KEY_CODE_RE = /^[A-Za-z0-9]{1,32}$/;
const TEXT_MAX = 2000;
const SCROLL_MAX = 2000;
const BACKOFF_MS = [1000, 2000, 5000];
const BACKOFF_STEADY_MS = 10000;
const WHEEL_LINE_PX = 16;
const WHEEL_PAGE_PX = 800;
const QUALITIES = ['low', 'medium', 'high'];
const SIMPLE_TYPES = ['lock', 'refresh', 'keyframe'];

function unit(v) { return Math.round(clamp(v, 0, 1) * 100000) / 100000; }

function clickCount(detail) { return isNum(detail) ? clamp(Math.round(detail), 1, 3) : 1; }

function isKeyCode(code) { return typeof code === 'string' && KEY_CODE_RE.test(code); }

function mapMouseButton(button) {
  if (button === 0) return 0;
  if (button === 2) return 1;
  if (button === 1) return 2;
  return null;
}

function wheelToPixels(delta, deltaMode, pagePx) {
  if (!isNum(delta)) return 0;
  if (deltaMode === 1) return delta * WHEEL_LINE_PX;
  if (deltaMode === 2) return delta * (pagePx > 0 ? pagePx : WHEEL_PAGE_PX);
  return delta;
}

function codePoints(s) { return Array.from(s == null ? '' : String(s)); }

function chunkText(s, size) {
  const cps = codePoints(s);
  const n = Math.max(1, Math.floor(size) || 1);
  const out = [];
  for (let i = 0; i < cps.length; i += n) out.push(cps.slice(i, i + n).join(''));
  return out;
}

function parseChord(spec) {
  const parts = String(spec == null ? '' : spec).split('+').filter(isKeyCode);
  if (parts.length === 0) return null;
  return { modifiers: parts.slice(0, -1), key: parts[parts.length - 1] };
}

function backoffDelay(attempt) {
  return (attempt === 0 || attempt === 1 || attempt === 2) ? BACKOFF_MS[attempt] : BACKOFF_STEADY_MS;
}

function bytesOf(buffer) {
  if (buffer instanceof Uint8Array) return buffer;
  if (buffer instanceof ArrayBuffer) return new Uint8Array(buffer);
  if (buffer && buffer.buffer instanceof ArrayBuffer) return new Uint8Array(buffer.buffer, buffer.byteOffset, buffer.byteLength);
  return null;
}

function parseFrameHeader(buffer) {
  const b = buffer ? bytesOf(buffer) : null;
  if (!b || b.length < 6 || b[0] !== 0x01) return null;
  const width = (b[1] << 8) | b[2];
  const height = (b[3] << 8) | b[4];
  if (width === 0 || height === 0) return null;
  return { width: width, height: height, offset: 5 };
}

function encodeAuth(token) {
  return typeof token === 'string' && TOKEN_RE.test(token) ? JSON.stringify({ t: 'auth', token: token }) : null;
}

function encodePing(id) { return isNum(id) ? JSON.stringify({ t: 'ping', id: id }) : null; }

function encodeMove(x, y) {
  return isNum(x) && isNum(y) ? JSON.stringify({ t: 'mm', x: unit(x), y: unit(y) }) : null;
}

function encodeButton(button, down, x, y, clicks) {
  if (button !== 0 && button !== 1 && button !== 2) return null;
  if (!isNum(x) || !isNum(y)) return null;
  return JSON.stringify({ t: 'mb', b: button, d: !!down, x: unit(x), y: unit(y), c: clickCount(clicks) });
}

function encodeScroll(dx, dy) {
  if (!isNum(dx) || !isNum(dy)) return null;
  const sx = Math.round(clamp(dx, -SCROLL_MAX, SCROLL_MAX)) + 0;
  const sy = Math.round(clamp(dy, -SCROLL_MAX, SCROLL_MAX)) + 0;
  if (sx === 0 && sy === 0) return null;
  return JSON.stringify({ t: 'sc', dx: sx, dy: sy });
}

function encodeKey(code, down) {
  return isKeyCode(code) ? JSON.stringify({ t: 'k', code: code, d: !!down }) : null;
}

// A lone surrogate (a field can hold one) would make the message invalid
// JSON text for the host, which then closes the connection; it goes as
// U+FFFD instead, one code point for one.
function encodeText(s) {
  if (typeof s !== 'string' || s.length === 0) return null;
  if (codePoints(s).length > TEXT_MAX) return null;
  return JSON.stringify({ t: 'text', s: clipClean(s) });
}

function encodeQuality(q) { return QUALITIES.indexOf(q) >= 0 ? JSON.stringify({ t: 'quality', q: q }) : null; }

function encodeSimple(type) { return SIMPLE_TYPES.indexOf(type) >= 0 ? JSON.stringify({ t: type }) : null; }

module.exports = { TOKEN_RE, KEY_CODE_RE, unit, clickCount, isKeyCode, mapMouseButton, wheelToPixels, chunkText,
  parseChord, backoffDelay, parseFrameHeader, encodeAuth, encodePing, encodeMove, encodeButton, encodeScroll,
  encodeKey, encodeText, encodeQuality, encodeSimple, TEXT_MAX, SCROLL_MAX, bytesOf };
