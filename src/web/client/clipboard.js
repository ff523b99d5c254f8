'use strict';
// Clipboard, the pure half: the clipboard messages, their chunks and the
// sheet's texts.

const CLIP_MAX = 100000;
const CLIP_CHUNK = 2000;
const CLIP_MAX_CHUNKS = 128;
const CLIP_ID_MAX = 999999;
const MESSAGE_MAX_BYTES = 16384;
const CLIP_PUT_TIMEOUT_MS = 20000;
const CLIP_GET_TIMEOUT_MS = 65000;
const CLIP_COPY_WAIT_MS = 450;
const CLIP_FINAL_STATES = ['empty', 'private', 'denied', 'needs-permission', 'busy', 'too-soon'];

const isHigh = (c) => c >= 0xD800 && c <= 0xDBFF;
const isLow = (c) => c >= 0xDC00 && c <= 0xDFFF;

function isClipId(id) { return Number.isInteger(id) && id >= 1 && id <= CLIP_ID_MAX; }

function clipClean(text) {
  const s = text == null ? '' : String(text);
  let out = '';
  for (let i = 0; i < s.length; i++) {
    const c = s.charCodeAt(i);
    if (isHigh(c)) {
      if (i + 1 < s.length && isLow(s.charCodeAt(i + 1))) { out += s[i] + s[i + 1]; i++; } else out += '\uFFFD';
    } else if (isLow(c)) {
      out += '\uFFFD';
    } else {
      out += s[i];
    }
  }
  return out;
}

function clipChunks(text, size) {
  const n = Math.max(2, Math.floor(size) || 0);
  const out = [];
  let i = 0;
  while (i < text.length) {
    let end = Math.min(i + n, text.length);
    if (end < text.length && isHigh(text.charCodeAt(end - 1))) end -= 1;
    out.push(text.slice(i, end));
    i = end;
  }
  return out;
}

function utf8Length(s) {
  let n = 0;
  for (const ch of String(s == null ? '' : s)) {
    const cp = ch.codePointAt(0);
    n += cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
  }
  return n;
}

function encodeClipGet(id) { return isClipId(id) ? JSON.stringify({ t: 'clip-get', id: id }) : null; }

function clipPutMessages(id, raw) {
  if (!isClipId(id)) return { error: 'bad-id' };
  const text = clipClean(raw);
  if (text.length === 0) return { error: 'empty' };
  if (text.length > CLIP_MAX) return { error: 'too-long' };
  const parts = clipChunks(text, CLIP_CHUNK);
  const messages = [JSON.stringify({ t: 'clip-put', id: id, n: parts.length, len: text.length })];
  parts.forEach((s, i) => messages.push(JSON.stringify({ t: 'clip-chunk', id: id, i: i, s: s })));
  if (messages.some((m) => utf8Length(m) > MESSAGE_MAX_BYTES)) return { error: 'too-long' };
  return { messages: messages, len: text.length };
}

function clipAnswer(msg, id) {
  if (!msg || msg.t !== 'clip' || msg.id !== id) return { kind: 'ignore' };
  if (msg.state === 'asking') return { kind: 'asking' };
  if (CLIP_FINAL_STATES.indexOf(msg.state) >= 0) return { kind: 'final', state: msg.state };
  if (msg.state === 'text' && Number.isInteger(msg.n) && msg.n >= 1 && msg.n <= CLIP_MAX_CHUNKS &&
      Number.isInteger(msg.len) && msg.len >= 1 && msg.len <= CLIP_MAX && msg.n <= msg.len && typeof msg.cut === 'boolean') {
    return { kind: 'receive', rx: { id: id, n: msg.n, len: msg.len, cut: msg.cut, next: 0, got: 0, parts: [] } };
  }
  return { kind: 'broken' };
}

function clipChunkIn(rx, msg) {
  if (!msg || msg.t !== 'clip-data' || msg.id !== rx.id) return { kind: 'ignore', rx: rx };
  if (msg.i !== rx.next || typeof msg.s !== 'string' || msg.s.length === 0 || rx.got + msg.s.length > rx.len) {
    return { kind: 'broken', rx: rx };
  }
  const next = { id: rx.id, n: rx.n, len: rx.len, cut: rx.cut, next: rx.next + 1, got: rx.got + msg.s.length, parts: rx.parts.concat([msg.s]) };
  if (next.next < next.n) return { kind: 'more', rx: next };
  if (next.got !== next.len) return { kind: 'broken', rx: next };
  return { kind: 'done', rx: next, text: next.parts.join('') };
}

function clipPutAnswer(msg, id) {
  if (!msg || msg.t !== 'clip-put-result' || msg.id !== id) return null;
  if (msg.ok === true) return 'ok';
  return typeof msg.error === 'string' && msg.error ? msg.error : 'failed';
}

function clipCountText(length) {
  if (!(length > 0)) return '';
  const fmt = (n) => n.toLocaleString('en-US');
  return fmt(length) + ' of ' + fmt(CLIP_MAX) + ' characters' + (length > CLIP_MAX ? ': too long to send' : '');
}

const CLIP_STATUS = {
  'sending': ['busy', 'Sending to the computer.'],
  'sent': ['ok', 'On the computer’s clipboard.'],
  'getting': ['busy', 'Asking the computer for its clipboard.'],
  'copying': ['busy', 'Copying on the computer, then asking for its clipboard.'],
  'got': ['ok', 'This is the text on the computer’s clipboard.'],
  'got-cut': ['ok', 'This is the first 100,000 characters of the computer’s clipboard. There was more, and it was cut.'],
  'asking': ['busy', 'The computer is asking for permission to share its clipboard. Allow it on the computer’s screen; you can press the button from here.'],
  'needs-permission': ['error', 'The computer asked for permission to share its clipboard and got no answer. Allow it on the computer once, then try again.'],
  'denied': ['error', 'Not allowed. The computer did not let Morvane read its clipboard. If the computer showed a question, choose Allow there and try again.'],
  'private': ['error', 'The computer’s clipboard holds something marked private, such as a password. It was not sent.'],
  'empty': ['error', 'The computer’s clipboard has no text. A picture or a file cannot be fetched.'],
  'busy': ['error', 'The computer is still busy with the last clipboard request. Try again in a moment.'],
  'too-soon': ['error', 'That was too quick after the last one. Wait a second and try again.'],
  'nothing': ['error', 'There is no text in the box to send.'],
  'too-long': ['error', 'Too long to send. The limit is 100,000 characters.'],
  'too-large': ['error', 'Too long to send. The limit is 100,000 characters.'],
  'write-failed': ['error', 'The computer could not change its clipboard.'],
  'timeout': ['error', 'The computer did not answer in time. Try again.'],
  'offline': ['error', 'Not connected to the computer.'],
  'local-read-failed': ['error', 'This device did not hand over its clipboard. Tap in the box and paste there instead.'],
  'local-copied': ['ok', 'Copied to this device.'],
  'local-selected': ['ok', 'The text is selected. Copy it with this device’s own Copy.'],
  'local-nothing': ['error', 'This device’s clipboard has no text.'],
  'pasted': ['ok', 'Sent Ctrl V to the computer.'],
};

function clipStatusText(what) {
  const row = Object.prototype.hasOwnProperty.call(CLIP_STATUS, what) ? CLIP_STATUS[what] : null;
  return row ? { kind: row[0], text: row[1] } : { kind: 'error', text: 'The text did not arrive whole. Try again.' };
}

module.exports = { isClipId, clipClean, clipChunks, utf8Length, encodeClipGet, clipPutMessages, clipAnswer,
  clipChunkIn, clipPutAnswer, clipCountText, clipStatusText, CLIP_MAX, CLIP_ID_MAX, CLIP_PUT_TIMEOUT_MS,
  CLIP_GET_TIMEOUT_MS, CLIP_COPY_WAIT_MS };
