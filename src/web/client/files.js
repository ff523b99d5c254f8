'use strict';
// Files, the pure half: the file messages, the upload and download
// machines, SHA-256 a block at a time, safe names and the sheet's texts.
const { clipClean, utf8Length } = require('./clipboard.js');
const { bytesOf } = require('./encoders.js');

const FILE_MAX = 200 * 1024 * 1024;
const FILE_ID_MAX = 999999;
const FILE_UP_CHUNK_MAX = 16000;
const FILE_UP_WINDOW_MAX = 64;
const FILE_DOWN_CHUNK_MAX = 65536;
const FILE_CHUNK_HEADER = 9;
const FILE_TAG_DOWN = 0x10;
const FILE_TAG_UP = 0x11;
const FILE_NAME_SEND_MAX = 200;
const FILE_NAME_WIRE_MAX = 1024;
const FILE_LIST_MAX = 200;
const FILE_BLOCK_CHUNKS = 32;
const FILE_BUFFERED_MAX = 256 * 1024;
const FILE_FOLD_BYTES = 4 * 1024 * 1024;
const FILE_LIST_PACE_MS = 1200;
const SHA256_RE = /^[0-9a-f]{64}$/;

function isFileId(id) { return Number.isInteger(id) && id >= 1 && id <= FILE_ID_MAX; }
function isFileSize(n) { return Number.isInteger(n) && n >= 1 && n <= FILE_MAX; }
function isSha256(s) { return typeof s === 'string' && SHA256_RE.test(s); }
function inRange(n, lo, hi) { return Number.isInteger(n) && n >= lo && n <= hi; }

// SHA-256 a block at a time: the browser's own digest wants the whole
// file in memory at once and is missing on a plain-http origin.
const SHA256_K = new Uint32Array([
  0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
  0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
  0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
  0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
  0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
  0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
  0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
  0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
]);
const SHA256_H0 = [0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19];

function sha256Start() {
  return { h: Uint32Array.from(SHA256_H0), w: new Uint32Array(64), tail: new Uint8Array(64), fill: 0, total: 0 };
}

function sha256Block(st, b, at) {
  const w = st.w;
  const h = st.h;
  for (let i = 0; i < 16; i++, at += 4) w[i] = (b[at] << 24) | (b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3];
  for (let i = 16; i < 64; i++) {
    const x = w[i - 15];
    const y = w[i - 2];
    const s0 = ((x >>> 7) | (x << 25)) ^ ((x >>> 18) | (x << 14)) ^ (x >>> 3);
    const s1 = ((y >>> 17) | (y << 15)) ^ ((y >>> 19) | (y << 13)) ^ (y >>> 10);
    w[i] = (w[i - 16] + s0 + w[i - 7] + s1) | 0;
  }
  let a = h[0] | 0, bb = h[1] | 0, c = h[2] | 0, d = h[3] | 0, e = h[4] | 0, f = h[5] | 0, g = h[6] | 0, hh = h[7] | 0;
  for (let i = 0; i < 64; i++) {
    const S1 = ((e >>> 6) | (e << 26)) ^ ((e >>> 11) | (e << 21)) ^ ((e >>> 25) | (e << 7));
    const t1 = (hh + S1 + ((e & f) ^ (~e & g)) + SHA256_K[i] + w[i]) | 0;
    const S0 = ((a >>> 2) | (a << 30)) ^ ((a >>> 13) | (a << 19)) ^ ((a >>> 22) | (a << 10));
    const t2 = (S0 + ((a & bb) ^ (a & c) ^ (bb & c))) | 0;
    hh = g; g = f; f = e; e = (d + t1) | 0; d = c; c = bb; bb = a; a = (t1 + t2) | 0;
  }
  h[0] += a; h[1] += bb; h[2] += c; h[3] += d; h[4] += e; h[5] += f; h[6] += g; h[7] += hh;
}

function sha256Update(st, bytes) {
  const b = bytesOf(bytes);
  if (!b) return st;
  let i = 0;
  st.total += b.length;
  if (st.fill > 0) {
    while (st.fill < 64 && i < b.length) st.tail[st.fill++] = b[i++];
    if (st.fill < 64) return st;
    sha256Block(st, st.tail, 0);
    st.fill = 0;
  }
  for (; i + 64 <= b.length; i += 64) sha256Block(st, b, i);
  while (i < b.length) st.tail[st.fill++] = b[i++];
  return st;
}

function sha256Hex(st) {
  const c = { h: st.h.slice(), w: new Uint32Array(64), tail: st.tail.slice(), fill: st.fill, total: st.total };
  c.tail[c.fill++] = 0x80;
  if (c.fill > 56) {
    c.tail.fill(0, c.fill);
    sha256Block(c, c.tail, 0);
    c.fill = 0;
  }
  c.tail.fill(0, c.fill, 56);
  const hi = Math.floor(c.total / 0x20000000);
  const lo = (c.total % 0x20000000) * 8;
  for (let i = 0; i < 4; i++) {
    c.tail[56 + i] = (hi >>> (24 - 8 * i)) & 0xff;
    c.tail[60 + i] = (lo >>> (24 - 8 * i)) & 0xff;
  }
  sha256Block(c, c.tail, 0);
  let out = '';
  for (const word of c.h) out += word.toString(16).padStart(8, '0');
  return out;
}

function fileSendName(raw) {
  return Array.from(clipClean(raw)).slice(-FILE_NAME_SEND_MAX).join('');
}

// A name from the computer is shown and offered as a download name: nothing in
// it may steer text direction, hide characters or climb into a folder.
const FILE_UNSAFE_RE = /[\u0000-\u001F\u007F-\u009F\u200B-\u200F\u2028-\u202E\u2066-\u2069\uFEFF]/g;

function fileSafeName(raw) {
  let s = clipClean(raw).replace(FILE_UNSAFE_RE, '');
  s = s.slice(Math.max(s.lastIndexOf('/'), s.lastIndexOf('\\')) + 1);
  s = s.replace(/^[.\s]+/, '').trim();
  s = Array.from(s).slice(0, FILE_NAME_SEND_MAX).join('');
  return s || 'file';
}

const FILE_TYPES = {
  jpg: 'image/jpeg', jpeg: 'image/jpeg', png: 'image/png', gif: 'image/gif', heic: 'image/heic',
  webp: 'image/webp', pdf: 'application/pdf', mp3: 'audio/mpeg', txt: 'text/plain', csv: 'text/csv',
  json: 'application/json', zip: 'application/zip', mp4: 'video/mp4', mov: 'video/quicktime', m4a: 'audio/mp4',
};

function fileTypeFor(name) {
  const s = String(name == null ? '' : name);
  const dot = s.lastIndexOf('.');
  const ext = dot > 0 ? s.slice(dot + 1).toLowerCase() : '';
  return Object.prototype.hasOwnProperty.call(FILE_TYPES, ext) ? FILE_TYPES[ext] : 'application/octet-stream';
}

function encodeFileList(id) { return isFileId(id) ? JSON.stringify({ t: 'file-list', id: id }) : null; }

function encodeFilePut(id, name, size) {
  const sent = fileSendName(name);
  if (!isFileId(id) || !isFileSize(size) || sent === '') return null;
  return JSON.stringify({ t: 'file-put', id: id, name: sent, size: size });
}

function encodeFilePutEnd(id, sha256) {
  return isFileId(id) && isSha256(sha256) ? JSON.stringify({ t: 'file-put-end', id: id, sha256: sha256 }) : null;
}

function encodeFileGet(id, name) {
  if (!isFileId(id) || typeof name !== 'string' || name === '' || utf8Length(name) > FILE_NAME_WIRE_MAX) return null;
  return JSON.stringify({ t: 'file-get', id: id, name: name });
}

function encodeFileCancel(id) { return isFileId(id) ? JSON.stringify({ t: 'file-cancel', id: id }) : null; }

function encodeFileChunk(id, offset, bytes) {
  const b = bytes == null ? null : bytesOf(bytes);
  if (!isFileId(id) || !inRange(offset, 0, FILE_MAX) || !b || b.length < 1 || b.length > FILE_UP_CHUNK_MAX) return null;
  const frame = new Uint8Array(FILE_CHUNK_HEADER + b.length);
  const view = new DataView(frame.buffer);
  frame[0] = FILE_TAG_UP;
  view.setUint32(1, id);
  view.setUint32(5, offset);
  frame.set(b, FILE_CHUNK_HEADER);
  return frame;
}

function parseFileChunk(buffer) {
  const b = buffer == null ? null : bytesOf(buffer);
  if (!b || b.length <= FILE_CHUNK_HEADER || b[0] !== FILE_TAG_DOWN) return null;
  const view = new DataView(b.buffer, b.byteOffset, b.byteLength);
  const id = view.getUint32(1);
  const offset = view.getUint32(5);
  if (!isFileId(id) || offset > FILE_MAX) return null;
  return { id: id, offset: offset, data: b.subarray(FILE_CHUNK_HEADER) };
}

function isFileMessage(buffer) {
  const b = buffer == null ? null : bytesOf(buffer);
  return !!b && b.length > 0 && b[0] === FILE_TAG_DOWN;
}

function fileUpStart(id, size) {
  return { id: id, size: size, phase: 'asking', chunk: 0, window: 0, sent: 0, acked: 0, name: '', error: '' };
}

function fileUpNext(s) {
  if (!s || s.phase !== 'sending') return 0;
  const n = Math.min(s.chunk, s.size - s.sent);
  return n > 0 && s.sent - s.acked + n <= s.chunk * s.window ? n : 0;
}

function fileErrorWord(msg) {
  return msg.ok === false && typeof msg.error === 'string' && msg.error !== '' ? msg.error : 'broken';
}

function fileUpStep(s, ev) {
  if (!s || !ev || s.phase === 'done' || s.phase === 'failed') return s;
  const next = (changes) => Object.assign({}, s, changes);
  const fail = (error) => next({ phase: 'failed', error: error });
  if (ev.type === 'sent') {
    if (s.phase !== 'sending' || !(ev.count > 0) || s.sent + ev.count > s.size) return fail('broken');
    const sent = s.sent + ev.count;
    return next({ sent: sent, phase: sent === s.size ? 'ending' : 'sending' });
  }
  if (ev.id !== s.id) return s;
  switch (ev.t) {
    case 'file-put-ready':
      if (s.phase === 'asking' && inRange(ev.chunk, 1, FILE_UP_CHUNK_MAX) && inRange(ev.window, 1, FILE_UP_WINDOW_MAX)) {
        return next({ phase: 'sending', chunk: ev.chunk, window: ev.window });
      }
      return fail('broken');
    case 'file-ack':
      if (s.phase === 'asking' || !Number.isInteger(ev.n) || ev.n < s.acked || ev.n > s.sent) return fail('broken');
      return next({ acked: ev.n });
    case 'file-put-result':
      if (ev.ok === true && s.phase === 'ending' && typeof ev.name === 'string' && ev.name !== '') {
        return next({ phase: 'done', acked: s.size, name: ev.name });
      }
      return fail(fileErrorWord(ev));
    default:
      return s;
  }
}

function fileDownStart(id, name) {
  return { id: id, name: name, phase: 'asking', size: 0, chunk: 0, got: 0, sha256: '', error: '', keep: false };
}

function fileDownStep(s, ev) {
  if (!s || !ev || s.phase === 'done' || s.phase === 'failed') return s;
  const next = (changes) => Object.assign({}, s, { keep: false }, changes);
  const fail = (error) => next({ phase: 'failed', error: error });
  if (ev.type === 'chunk') {
    if (ev.id !== s.id) return s;
    if (s.phase !== 'receiving' || ev.offset !== s.got || !(ev.length >= 1) || ev.length > s.chunk ||
        s.got + ev.length > s.size) return fail('broken');
    return next({ got: s.got + ev.length, keep: true });
  }
  if (ev.type === 'hash') {
    if (s.phase !== 'checking') return s;
    return ev.hex === s.sha256 ? next({ phase: 'done' }) : fail('broken');
  }
  if (ev.id !== s.id) return s;
  switch (ev.t) {
    case 'file-get-ready':
      if (s.phase === 'asking' && isFileSize(ev.size) && inRange(ev.chunk, 1, FILE_DOWN_CHUNK_MAX)) {
        return next({ phase: 'receiving', size: ev.size, chunk: ev.chunk });
      }
      return fail('broken');
    case 'file-get-result':
      if (ev.ok === true && s.phase === 'receiving' && s.got === s.size && isSha256(ev.sha256)) {
        return next({ phase: 'checking', sha256: ev.sha256 });
      }
      return fail(fileErrorWord(ev));
    default:
      return s;
  }
}

function fileListAnswer(msg, id) {
  if (!msg || msg.t !== 'file-list-result' || msg.id !== id) return { kind: 'ignore' };
  if (msg.ok !== true || !Array.isArray(msg.files)) return { kind: 'error', error: fileErrorWord(msg) };
  const files = [];
  let more = msg.more === true;
  for (const f of msg.files) {
    if (files.length >= FILE_LIST_MAX) { more = true; break; }
    const ok = f && typeof f === 'object' && typeof f.name === 'string' && f.name !== '' &&
      utf8Length(f.name) <= FILE_NAME_WIRE_MAX && Number.isInteger(f.size) && f.size >= 0;
    if (!ok) { more = true; continue; }
    const mtime = Number.isInteger(f.mtime) && f.mtime > 0 ? f.mtime : 0;
    files.push({ name: f.name, size: f.size, mtime: mtime, can: isFileSize(f.size) });
  }
  return { kind: 'list', files: files, more: more };
}

function fileSizeText(bytes) {
  const n = Math.max(0, Math.floor(Number(bytes) || 0));
  if (n < 1000) return n + (n === 1 ? ' byte' : ' bytes');
  if (n < 999500) return Math.round(n / 1000) + ' KB';
  const mb = n / 1000000;
  return (mb < 99.95 ? mb.toFixed(1) : String(Math.round(mb))) + ' MB';
}

function fileProgressText(done, total) {
  if (!(total > 0)) return '';
  const d = Math.min(Math.max(0, done), total);
  const percent = done >= total ? 100 : Math.min(99, Math.floor(d * 100 / total));
  return fileSizeText(d) + ' of ' + fileSizeText(total) + ' (' + percent + '%)';
}

const FILE_STATUS = {
  'up-asking': ['busy', 'Asking the computer.'],
  'up-sending': ['busy', 'Sending to the computer. '],
  'up-checking': ['busy', 'All sent. The computer is checking the file.'],
  'up-waiting': ['busy', 'Waiting for the connection to the computer, then sending.'],
  'down-asking': ['busy', 'Asking the computer for the file.'],
  'down-receiving': ['busy', 'Getting it from the computer. '],
  'down-checking': ['busy', 'All here. Checking the file.'],
  'down-done': ['ok', 'Here, checked and complete. Save it to keep it on this device.'],
  'list-asking': ['busy', 'Asking the computer what is in the Outbox.'],
  'list-empty': ['ok', 'The Outbox is empty. On the computer, open the Morvane menu, Files, Send Files to My Devices, pick the file, then look again.'],
  'list-more': ['ok', 'These are the newest 200 files. There are more in the Outbox.'],
  'list-timeout': ['error', 'The computer did not answer. Try again in a moment.'],
  'cancelled': ['ok', 'Cancelled. Nothing was kept.'],
  'empty': ['error', 'That file is empty, so there is nothing to send.'],
  'too-large': ['error', 'Too large. The limit is 200 MB for one file.'],
  'bad-name': ['error', 'The computer could not use that file\u2019s name.'],
  'busy': ['error', 'The computer is still busy with another file. Try again when it is done.'],
  'too-soon': ['error', 'That was too quick after the last one. Wait a second and try again.'],
  'hash-mismatch': ['error', 'The file did not arrive intact, so the computer did not keep it. Try again.'],
  'write-failed': ['error', 'The computer could not save the file. Its disk may be full, or Morvane may not be allowed to use the Downloads folder.'],
  'not-found': ['error', 'That file is no longer in the Outbox. Look again for what is there now.'],
  'read-failed': ['error', 'The computer could not read the file, or it changed while it was being sent. Try again.'],
  'timeout': ['error', 'Nothing moved for 30 seconds, so the computer gave up. Try again.'],
  'offline': ['error', 'The connection to the computer was lost, so the transfer ended. Nothing was kept.'],
  'not-connected': ['error', 'Not connected to the computer.'],
  'unavailable': ['error', 'This computer does not offer file transfer.'],
  'local-read-failed': ['error', 'This device could not read that file. If it is in iCloud, download it first, then try again.'],
  'share-failed': ['error', 'This device did not open its share sheet. Use Save instead.'],
};

function fileStatusText(what, detail) {
  if (what === 'up-done') {
    return { kind: 'ok', text: 'On the computer, checked and complete. It is in Downloads, in the Morvane folder, as \u201c' + (detail || '') + '\u201d.' };
  }
  const row = Object.prototype.hasOwnProperty.call(FILE_STATUS, what) ? FILE_STATUS[what] : null;
  if (!row) return { kind: 'error', text: 'The file did not arrive whole and was not kept. Try again.' };
  const withProgress = what === 'up-sending' || what === 'down-receiving';
  return { kind: row[0], text: row[1] + (withProgress ? (detail || '') : '') };
}

module.exports = { FILE_MAX, FILE_LIST_PACE_MS, sha256Start, sha256Update, sha256Hex, fileSendName, fileSafeName,
  fileTypeFor, encodeFileList, encodeFilePut, encodeFilePutEnd, encodeFileGet, encodeFileCancel, encodeFileChunk,
  parseFileChunk, isFileMessage, fileUpStart, fileUpNext, fileUpStep, fileDownStart, fileDownStep, fileListAnswer,
  fileSizeText, fileProgressText, fileStatusText, FILE_ID_MAX, FILE_BLOCK_CHUNKS, FILE_BUFFERED_MAX, FILE_FOLD_BYTES };
