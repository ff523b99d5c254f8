'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const {
  encodeFileCancel, encodeFileChunk, encodeFileGet, encodeFileList, encodeFilePut, encodeFilePutEnd, fileDownStart,
  fileDownStep, fileListAnswer, fileProgressText, fileSafeName, fileSendName, fileSizeText, fileStatusText,
  fileTypeFor, fileUpNext, fileUpStart, fileUpStep, isFileMessage, parseFileChunk, sha256Hex, sha256Start,
  sha256Update,
} = require('../../../src/web/client/files.js');

const hex = (b) => crypto.createHash('sha256').update(b).digest('hex');
const MB200 = 209715200;

test('the page hash equals SHA-256 of the same bytes however they are split', () => {
  for (const n of [0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 128, 1000, 70000]) {
    const bytes = crypto.randomBytes(n);
    const st = sha256Start();
    for (let i = 0, k = 1; i < n; i += k, k = (k * 7) % 97 + 1) sha256Update(st, bytes.subarray(i, i + k));
    assert.equal(sha256Hex(st), hex(bytes), n + ' bytes');
  }
  // Reading the hash mid-way leaves the state usable for more bytes.
  const st = sha256Update(sha256Start(), Buffer.from('abc'));
  assert.equal(sha256Hex(st), 'ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad');
  sha256Update(st, new Uint8Array(Buffer.from('def')));
  assert.equal(sha256Hex(st), hex(Buffer.from('abcdef')));
});

test('file messages are built only from valid ids, sizes, names and hashes', () => {
  assert.equal(encodeFileList(1), '{"t":"file-list","id":1}');
  assert.equal(encodeFileList(0), null);
  assert.equal(encodeFileList(1000000), null);
  assert.deepEqual(JSON.parse(encodeFilePut(3, 'photo.jpg', 1)), { t: 'file-put', id: 3, name: 'photo.jpg', size: 1 });
  assert.equal(JSON.parse(encodeFilePut(3, 'a.bin', MB200)).size, MB200);
  assert.equal(encodeFilePut(3, 'a.bin', MB200 + 1), null);
  assert.equal(encodeFilePut(3, 'a.bin', 0), null);
  assert.equal(encodeFilePut(3, '', 10), null);
  const sha = 'ab'.repeat(32);
  assert.equal(encodeFilePutEnd(4, sha), '{"t":"file-put-end","id":4,"sha256":"' + sha + '"}');
  assert.equal(encodeFilePutEnd(4, sha.toUpperCase()), null);
  assert.equal(encodeFilePutEnd(4, sha.slice(1)), null);
  assert.equal(encodeFileGet(5, 'a:b.txt'), '{"t":"file-get","id":5,"name":"a:b.txt"}');
  assert.equal(encodeFileGet(5, 'é'.repeat(512)) !== null, true, '1024 UTF-8 bytes pass');
  assert.equal(encodeFileGet(5, 'é'.repeat(512) + 'x'), null);
  assert.equal(encodeFileGet(5, ''), null);
  assert.equal(encodeFileCancel(6), '{"t":"file-cancel","id":6}');
  assert.equal(encodeFileCancel(-1), null);
});

test('upload frames carry tag, id and offset big-endian; download frames are read only when well formed', () => {
  const frame = encodeFileChunk(0x010203, 0x0A0B0C0D, new Uint8Array([9, 8, 7]));
  assert.deepEqual(Array.from(frame), [0x11, 0, 1, 2, 3, 0x0A, 0x0B, 0x0C, 0x0D, 9, 8, 7]);
  assert.equal(encodeFileChunk(1, MB200, new Uint8Array(1)).length, 10);
  assert.equal(encodeFileChunk(1, MB200 + 1, new Uint8Array(1)), null);
  assert.equal(encodeFileChunk(1, 0, new Uint8Array(0)), null);
  assert.equal(encodeFileChunk(1, 0, new Uint8Array(16000)).length, 16009);
  assert.equal(encodeFileChunk(1, 0, new Uint8Array(16001)), null);
  assert.equal(encodeFileChunk(0, 0, new Uint8Array(1)), null);

  const down = Buffer.from([0x10, 0, 0, 0, 7, 0, 0, 0x80, 0, 0xAA, 0xBB]);
  const c = parseFileChunk(down.buffer.slice(down.byteOffset, down.byteOffset + down.length));
  assert.equal(c.id, 7);
  assert.equal(c.offset, 0x8000);
  assert.deepEqual(Array.from(c.data), [0xAA, 0xBB]);
  assert.equal(parseFileChunk(down.subarray(0, 9)), null, 'a header alone carries nothing');
  assert.equal(parseFileChunk(Buffer.from([0x11, 0, 0, 0, 7, 0, 0, 0, 0, 1])), null, 'an upload tag');
  assert.equal(parseFileChunk(Buffer.from([0x10, 0, 0, 0, 0, 0, 0, 0, 0, 1])), null, 'id 0');
  assert.equal(parseFileChunk(Buffer.from([0x10, 0, 0x0F, 0x42, 0x40, 0, 0, 0, 0, 1])), null, 'id 1000000');
  assert.equal(parseFileChunk(Buffer.from([0x10, 0, 0, 0, 1, 0x0C, 0x80, 0, 1, 1])), null, 'offset past 200 MB');
  assert.notEqual(parseFileChunk(Buffer.from([0x10, 0, 0, 0, 1, 0x0C, 0x80, 0, 0, 1])), null, 'offset 200 MB');
  assert.equal(isFileMessage(Buffer.from([0x10])), true);
  assert.equal(isFileMessage(Buffer.from([0x02, 0x10])), false);
  assert.equal(isFileMessage(new ArrayBuffer(0)), false);
});

test('names: an upload keeps its extension, a name from the computer cannot hide, steer or climb', () => {
  const long = 'n'.repeat(300) + '.pdf';
  assert.equal(fileSendName(long), 'n'.repeat(196) + '.pdf');
  assert.equal(Array.from(fileSendName('😀'.repeat(250))).length, 200);
  assert.equal(fileSendName('a\uD800.txt'), 'a\uFFFD.txt');
  assert.equal(JSON.parse(encodeFilePut(1, long, 5)).name, 'n'.repeat(196) + '.pdf');

  assert.equal(fileSafeName('../../etc/x'), 'x');
  assert.equal(fileSafeName('....'), 'file');
  assert.equal(fileSafeName('  .hidden'), 'hidden');
  assert.equal(fileSafeName('evil\u202Egnp.exe'), 'evilgnp.exe');
  assert.equal(fileSafeName('a\u0000b\u001Fc\u007Fd\u009Fe\u200Bf\u2066g\uFEFFh\nI.txt'), 'abcdefghI.txt');
  assert.equal(fileSafeName('report: final.pdf '), 'report: final.pdf');
  assert.equal(Array.from(fileSafeName('é'.repeat(300))).length, 200);

  assert.equal(fileTypeFor('IMG_1.JPG'), 'image/jpeg');
  assert.equal(fileTypeFor('a.tar.gz'), 'application/octet-stream');
  assert.equal(fileTypeFor('clip.mov'), 'video/quicktime');
  assert.equal(fileTypeFor('.json'), 'application/octet-stream', 'a leading dot is no extension');
  assert.equal(fileTypeFor('README'), 'application/octet-stream');
  assert.equal(fileTypeFor('x.constructor'), 'application/octet-stream');
});

// Plays an upload against a Mac that writes `lag` chunks behind.
function runUpload(size, chunk, window, lag) {
  let s = fileUpStep(fileUpStart(9, size), { t: 'file-put-ready', id: 9, chunk, window });
  const sizes = [];
  let written = 0;
  let most = 0;
  for (;;) {
    const n = fileUpNext(s);
    if (n > 0) {
      s = fileUpStep(s, { type: 'sent', count: n });
      sizes.push(n);
      most = Math.max(most, s.sent - s.acked);
      continue;
    }
    if (written === s.sent) break;
    written = Math.min(s.sent, written + chunk * Math.max(1, lag));
    s = fileUpStep(s, { t: 'file-ack', id: 9, n: written });
  }
  return { s, sizes, most };
}

test('an upload goes in the computer\'s chunk size and never runs further ahead than its window', () => {
  let r = runUpload(1000000, 16000, 8, 1);
  assert.ok(r.most <= 128000 && r.most > 100000, 'ahead by ' + r.most);
  assert.equal(r.sizes.length, 63);
  assert.ok(r.sizes.slice(0, -1).every((n) => n === 16000));
  assert.equal(r.sizes[62], 1000000 - 62 * 16000);
  assert.equal(r.s.phase, 'ending');
  assert.deepEqual(runUpload(16001, 16000, 8, 1).sizes, [16000, 1]);
  assert.deepEqual(runUpload(1, 16000, 8, 1).sizes, [1]);

  const asking = fileUpStart(2, 100);
  assert.equal(fileUpNext(asking), 0, 'nothing goes before the computer says yes');
  assert.equal(fileUpStep(asking, { t: 'file-put-ready', id: 3, chunk: 10, window: 1 }), asking, 'another id');
  for (const bad of [{ chunk: 16001, window: 8 }, { chunk: 16000, window: 65 }, { chunk: 0, window: 8 }, { chunk: 1.5, window: 8 }, {}]) {
    const f = fileUpStep(asking, Object.assign({ t: 'file-put-ready', id: 2 }, bad));
    assert.deepEqual([f.phase, f.error], ['failed', 'broken'], JSON.stringify(bad));
  }
  assert.equal(fileUpStep(asking, { t: 'file-ack', id: 2, n: 0 }).error, 'broken', 'an ack before ready');
  assert.equal(fileUpStep(asking, { type: 'sent', count: 10 }).error, 'broken', 'a chunk before ready');

  let s = fileUpStep(asking, { t: 'file-put-ready', id: 2, chunk: 40, window: 2 });
  const again = fileUpStep(s, { t: 'file-put-ready', id: 2, chunk: 40, window: 2 });
  assert.equal(again.error, 'broken', 'a second yes is out of turn');
  s = fileUpStep(s, { type: 'sent', count: 40 });
  s = fileUpStep(s, { t: 'file-ack', id: 2, n: 30 });
  assert.equal(fileUpStep(s, { t: 'file-ack', id: 2, n: 41 }).error, 'broken', 'more than was sent');
  assert.equal(fileUpStep(s, { t: 'file-ack', id: 2, n: 29 }).error, 'broken', 'less than before');
  assert.equal(fileUpStep(s, { type: 'sent', count: 61 }).error, 'broken', 'past the size');
  assert.equal(fileUpStep(s, { t: 'file-put-result', id: 2, ok: true, name: 'x' }).error, 'broken', 'done before all was sent');
  assert.equal(fileUpStep(s, { t: 'file-put-result', id: 2, ok: false, error: 'flow' }).error, 'flow');
  assert.equal(fileUpStep(s, { t: 'file-put-result', id: 2, ok: false }).error, 'broken');
  s = fileUpStep(s, { type: 'sent', count: 60 });
  assert.equal(s.phase, 'ending');
  assert.equal(fileUpStep(s, { t: 'file-put-result', id: 2, ok: true, name: '' }).error, 'broken');
  const done = fileUpStep(s, { t: 'file-put-result', id: 2, ok: true, name: 'photo (2).jpg' });
  assert.deepEqual([done.phase, done.acked, done.name], ['done', 100, 'photo (2).jpg']);
  assert.equal(fileUpStep(done, { t: 'file-put-result', id: 2, ok: false, error: 'timeout' }), done, 'an ended upload stays ended');
});

test('a download takes chunks only in order, within the size, and keeps the file only when the hashes agree', () => {
  const size = 20 * 1000 * 1000;
  let s = fileDownStep(fileDownStart(4, 'big.mov'), { t: 'file-get-ready', id: 4, size, chunk: 32768 });
  assert.equal(s.phase, 'receiving');
  let chunks = 0;
  for (let at = 0; at < size; at += 32768) {
    const length = Math.min(32768, size - at);
    const next = fileDownStep(s, { type: 'chunk', id: 4, offset: at, length });
    assert.equal(next.keep, true);
    s = next;
    chunks++;
  }
  assert.equal(chunks, 611);
  assert.equal(s.got, size);
  const repeated = fileDownStep(s, { type: 'chunk', id: 4, offset: size - 1, length: 1 });
  assert.deepEqual([repeated.phase, repeated.error, repeated.keep], ['failed', 'broken', false]);
  assert.equal(fileDownStep(s, { type: 'chunk', id: 5, offset: 0, length: 10 }), s, 'another id is not ours');
  assert.equal(fileDownStep(s, { type: 'hash', hex: 'x' }), s, 'no hash before the computer sends its own');
  const sha = 'c0'.repeat(32);
  const checking = fileDownStep(s, { t: 'file-get-result', id: 4, ok: true, sha256: sha });
  assert.equal(checking.phase, 'checking');
  assert.equal(fileDownStep(checking, { type: 'hash', hex: sha }).phase, 'done');
  assert.equal(fileDownStep(checking, { type: 'hash', hex: 'c1'.repeat(32) }).error, 'broken');

  const start = fileDownStart(4, 'a');
  const early = fileDownStep(start, { type: 'chunk', id: 4, offset: 0, length: 1 });
  assert.equal(early.error, 'broken', 'a chunk before the computer said yes');
  for (const bad of [{ size: 0, chunk: 10 }, { size: MB200 + 1, chunk: 10 }, { size: 10, chunk: 65537 }, { size: 10 }]) {
    assert.equal(fileDownStep(start, Object.assign({ t: 'file-get-ready', id: 4 }, bad)).error, 'broken', JSON.stringify(bad));
  }
  const r = fileDownStep(start, { t: 'file-get-ready', id: 4, size: 100, chunk: 64 });
  assert.equal(fileDownStep(r, { type: 'chunk', id: 4, offset: 0, length: 65 }).error, 'broken', 'longer than a chunk');
  const part = fileDownStep(r, { type: 'chunk', id: 4, offset: 0, length: 64 });
  assert.equal(fileDownStep(part, { type: 'chunk', id: 4, offset: 64, length: 37 }).error, 'broken', 'past the size');
  assert.equal(fileDownStep(part, { type: 'chunk', id: 4, offset: 96, length: 4 }).error, 'broken', 'a gap');
  assert.equal(fileDownStep(part, { t: 'file-get-result', id: 4, ok: true, sha256: sha }).error, 'broken', 'short');
  assert.equal(fileDownStep(start, { t: 'file-get-result', id: 4, ok: false, error: 'not-found' }).error, 'not-found');
  assert.equal(fileDownStep(start, { t: 'file-put-result', id: 4, ok: false, error: 'busy' }), start, 'not a download message');
});

test('a listing keeps at most 200 sound entries and says when some were left out', () => {
  const files = [];
  for (let i = 0; i < 250; i++) files.push({ name: 'f' + i, size: i, mtime: 1700000000 + i });
  let r = fileListAnswer({ t: 'file-list-result', id: 3, ok: true, files, more: false }, 3);
  assert.equal(r.kind, 'list');
  assert.equal(r.files.length, 200);
  assert.equal(r.more, true);
  assert.deepEqual(r.files[0], { name: 'f0', size: 0, mtime: 1700000000, can: false });
  assert.equal(r.files[1].can, true);

  r = fileListAnswer({ t: 'file-list-result', id: 3, ok: true, more: false, files: [
    { name: 'neg', size: -1 }, { name: '', size: 1 }, { size: 1 }, null, 'x', { name: 'big.mov', size: 300 * 1000 * 1000, mtime: -5 },
    { name: 'ok.txt', size: 12, mtime: 1.5 }] }, 3);
  assert.deepEqual(r.files, [{ name: 'big.mov', size: 300000000, mtime: 0, can: false }, { name: 'ok.txt', size: 12, mtime: 0, can: true }]);
  assert.equal(r.more, true, 'skipped entries count as more');
  r = fileListAnswer({ t: 'file-list-result', id: 3, ok: true, files: [], more: true }, 3);
  assert.deepEqual([r.files.length, r.more], [0, true]);

  assert.deepEqual(fileListAnswer({ t: 'file-list-result', id: 2, ok: true, files: [] }, 3), { kind: 'ignore' });
  assert.deepEqual(fileListAnswer({ t: 'file-get-result', id: 3, ok: true, files: [] }, 3), { kind: 'ignore' });
  assert.deepEqual(fileListAnswer({ t: 'file-list-result', id: 3, ok: false, error: 'too-soon' }, 3), { kind: 'error', error: 'too-soon' });
  assert.deepEqual(fileListAnswer({ t: 'file-list-result', id: 3, ok: true, files: {} }, 3), { kind: 'error', error: 'broken' });
});

test('sizes, progress and status lines read as a person would say them', () => {
  const sizes = [[0, '0 bytes'], [1, '1 byte'], [999, '999 bytes'], [1000, '1 KB'], [999499, '999 KB'], [999500, '1.0 MB'],
    [12345678, '12.3 MB'], [99949999, '99.9 MB'], [99950000, '100 MB'], [MB200, '210 MB']];
  for (const [n, text] of sizes) assert.equal(fileSizeText(n), text, String(n));
  assert.equal(fileProgressText(999, 1000), '999 bytes of 1 KB (99%)');
  assert.equal(fileProgressText(999999, 1000000), '1.0 MB of 1.0 MB (99%)', 'never 100% before the last byte');
  assert.equal(fileProgressText(1000, 1000), '1 KB of 1 KB (100%)');
  assert.equal(fileProgressText(5000, 1000), '1 KB of 1 KB (100%)');
  assert.equal(fileProgressText(1, 0), '');

  assert.deepEqual(fileStatusText('up-sending', '1 KB of 2 KB (50%)'),
    { kind: 'busy', text: 'Sending to the computer. 1 KB of 2 KB (50%)' });
  assert.deepEqual(fileStatusText('up-done', 'a (2).jpg'),
    { kind: 'ok', text: 'On the computer, checked and complete. It is in Downloads, in the Morvane folder, as \u201ca (2).jpg\u201d.' });
  assert.equal(fileStatusText('down-receiving', '1 byte of 2 bytes (50%)').text, 'Getting it from the computer. 1 byte of 2 bytes (50%)');
  assert.deepEqual(fileStatusText('bad-name'), { kind: 'error', text: 'The computer could not use that file\u2019s name.' });
  assert.equal(fileStatusText('list-more').text, 'These are the newest 200 files. There are more in the Outbox.');
  const whole = 'The file did not arrive whole and was not kept. Try again.';
  for (const w of ['broken', 'bad-id', 'bad-chunk', 'flow', 'size-mismatch', 'toString', 'session-ended']) {
    assert.deepEqual(fileStatusText(w), { kind: 'error', text: whole }, w);
  }
  // Every word the computer may end a transfer with has its own line or the last row.
  for (const w of ['busy', 'too-soon', 'bad-name', 'empty', 'too-large', 'hash-mismatch', 'write-failed', 'read-failed',
    'not-found', 'timeout', 'unavailable', 'cancelled']) {
    assert.notEqual(fileStatusText(w).text, whole, w);
  }
});
