'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const { openSession, until, eventually } = require('../support/session.js');

const connected = () => document.getElementById('conn-text').textContent === 'Connected';
const sha = (b) => crypto.createHash('sha256').update(b).digest('hex');

function frame(tag, id, offset, data) {
  const head = Buffer.alloc(9);
  head[0] = tag;
  head.writeUInt32BE(id, 1);
  head.writeUInt32BE(offset, 5);
  return Buffer.concat([head, data]);
}

// A fake Mac for the file messages. `files` maps Outbox names to their
// bytes; `onText(msg)` may answer a message itself by returning true.
function fakeMac(conn, { files = {}, listing, writeDelayMs = 5, onText } = {}) {
  const mac = { uploads: [], frames: [], mostAhead: 0, texts: [] };
  let up = null;
  conn.ws.onMessage((m) => {
    if (typeof m !== 'string') {
      const b = Buffer.from(m);
      mac.frames.push({ tag: b[0], id: b.readUInt32BE(1), offset: b.readUInt32BE(5), length: b.length - 9 });
      if (!up || b[0] !== 0x11 || b.readUInt32BE(1) !== up.id) return;
      up.parts.push(b.subarray(9));
      up.received += b.length - 9;
      mac.mostAhead = Math.max(mac.mostAhead, up.received - up.written);
      const u = up;
      setTimeout(() => {
        u.written += b.length - 9;
        conn.ws.send(JSON.stringify({ t: 'file-ack', id: u.id, n: u.written }));
        if (u.end && u.written === u.size) u.finish();
      }, writeDelayMs);
      return;
    }
    const msg = JSON.parse(m);
    mac.texts.push(msg);
    conn.sent.push(msg);
    if (msg.t === 'ping') { conn.ws.send(JSON.stringify({ t: 'pong', id: msg.id })); return; }
    if (onText && onText(msg)) return;
    const say = (o) => conn.ws.send(JSON.stringify(Object.assign({ id: msg.id }, o)));
    if (msg.t === 'file-put') {
      up = { id: msg.id, name: msg.name, size: msg.size, parts: [], received: 0, written: 0, end: null };
      up.finish = () => {
        const bytes = Buffer.concat(up.parts);
        mac.uploads.push({ name: up.name, bytes, sha: up.end });
        conn.ws.send(JSON.stringify(sha(bytes) === up.end
          ? { t: 'file-put-result', id: up.id, ok: true, name: 'saved ' + up.name }
          : { t: 'file-put-result', id: up.id, ok: false, error: 'hash-mismatch' }));
        up = null;
      };
      say({ t: 'file-put-ready', chunk: 16000, window: 8 });
    } else if (msg.t === 'file-put-end' && up && msg.id === up.id) {
      up.end = msg.sha256;
      if (up.written === up.size) up.finish();
    } else if (msg.t === 'file-list') {
      say(listing || { t: 'file-list-result', ok: true, more: false,
        files: Object.keys(files).map((name) => ({ name, size: files[name].length, mtime: 1767225600 })) });
    } else if (msg.t === 'file-get') {
      const bytes = files[msg.name];
      if (!bytes) { say({ t: 'file-get-result', ok: false, error: 'not-found' }); return; }
      say({ t: 'file-get-ready', size: bytes.length, chunk: 32768 });
      for (let at = 0; at < bytes.length; at += 32768) conn.ws.send(frame(0x10, msg.id, at, bytes.subarray(at, at + 32768)));
      say({ t: 'file-get-result', ok: true, sha256: sha(bytes) });
    }
  });
  return mac;
}

async function openFiles(hostOptions = {}) {
  let conn = null;
  const hooks = {};
  const s = await openSession({ host: Object.assign({ onSession: (c) => { conn = c; if (hooks.onSession) hooks.onSession(c); } }, hostOptions) });
  await until(s.page, connected);
  await s.page.click('#cluster [data-toggle="more"]');
  await s.page.click('#files-open');
  assert.equal(await s.page.getAttribute('#session-screen', 'data-sheet'), 'files');
  return { s, page: s.page, conn: () => conn, hooks };
}

const textOf = (page, sel) => page.evaluate((q) => document.querySelector(q).textContent, sel);
const waitText = (page, sel, text) => until(page, ({ q, t }) => document.querySelector(q).textContent === t, { q: sel, t: text });

test('an upload goes in the computer\'s chunks within its window and ends with the name the computer saved it under', async () => {
  const { s, page, conn } = await openFiles();
  try {
    const mac = fakeMac(conn());
    const bytes = crypto.randomBytes(200001);
    await page.setInputFiles('#files-input', { name: 'holiday.jpg', mimeType: 'image/jpeg', buffer: bytes });
    await waitText(page, '#files-up-status',
      'On the computer, checked and complete. It is in Downloads, in the Morvane folder, as \u201csaved holiday.jpg\u201d.');
    assert.equal(mac.uploads.length, 1);
    assert.ok(mac.uploads[0].bytes.equals(bytes), 'the computer got the same bytes');
    const put = mac.texts.find((m) => m.t === 'file-put');
    assert.deepEqual(put, { t: 'file-put', id: put.id, name: 'holiday.jpg', size: 200001 });
    const lengths = mac.frames.map((f) => f.length);
    assert.deepEqual(lengths, [...Array(12).fill(16000), 8001]);
    assert.deepEqual(mac.frames.map((f) => f.offset), lengths.map((_, i) => i * 16000));
    assert.ok(mac.mostAhead <= 128000, 'ahead of the writes by ' + mac.mostAhead);
    assert.equal(await page.isVisible('#files-up'), false);
    assert.equal(await page.isDisabled('#files-pick'), false);
    assert.equal(await page.getAttribute('#files-up-status', 'data-kind'), 'ok');

    // Too small and too large never reach the computer.
    await page.setInputFiles('#files-input', { name: 'nothing.txt', mimeType: 'text/plain', buffer: Buffer.alloc(0) });
    await waitText(page, '#files-up-status', 'That file is empty, so there is nothing to send.');
    assert.equal(mac.texts.filter((m) => m.t === 'file-put').length, 1);
    s.browser.assertClean(assert);
  } finally {
    await s.close();
  }
});

test('a download lists the Outbox, assembles the chunks and offers exactly those bytes to save', async () => {
  const { s, page, conn } = await openFiles();
  try {
    const movie = crypto.randomBytes(100000);
    // A listing with a file too big to fetch, an empty one and a hostile name.
    const mac = fakeMac(conn(), { files: { 'clip.mov': movie }, listing: { t: 'file-list-result', ok: true, more: false, files: [
      { name: 'clip.mov', size: movie.length, mtime: 1767225600 },
      { name: 'huge.bin', size: 300000000, mtime: 1767225500 },
      { name: 'zero.txt', size: 0 },
      { name: '../<img src=x>', size: 5 },
    ] } });
    await page.click('#files-list-get');
    await until(page, () => document.querySelectorAll('#files-list button').length === 4);
    const items = await page.$$eval('#files-list button', (bs) => bs.map((b) => [b.querySelector('.file-name').textContent,
      b.querySelector('.file-meta').textContent, b.disabled]));
    assert.match(items[0].join('|'), /^clip\.mov\|100 KB \u00B7 .*2026.*\|false$/);
    assert.match(items[1].join('|'), /^huge\.bin\|300 MB, over the 200 MB limit \u00B7 .*\|true$/);
    assert.deepEqual(items[2], ['zero.txt', 'empty', true]);
    assert.equal(items[3][0], '<img src=x>', 'names are text, never markup');
    assert.equal(await page.$('#files-list img'), null);
    assert.equal(await page.isDisabled('#files-list-get'), true, 'the button rests a moment after a listing');
    await until(page, () => !document.getElementById('files-list-get').disabled);

    await page.click('#files-list button >> nth=0');
    await waitText(page, '#files-down-status', 'Here, checked and complete. Save it to keep it on this device.');
    assert.equal(await textOf(page, '#files-save'), 'Save \u201cclip.mov\u201d (100 KB)');
    assert.equal(await page.getAttribute('#files-save', 'download'), 'clip.mov');
    const [download] = await Promise.all([page.waitForEvent('download'), page.click('#files-save')]);
    assert.equal(download.suggestedFilename(), 'clip.mov');
    const saved = fs.readFileSync(await download.path());
    assert.ok(saved.equals(movie), 'the saved file is the computer\'s file');
    assert.deepEqual(mac.texts.filter((m) => m.t === 'file-get').map((m) => m.name), ['clip.mov']);
    s.browser.assertClean(assert);
  } finally {
    await s.close();
  }
});

test('out-of-turn answers, the computer\'s refusals, cancel and a lost connection each end with their own words', async () => {
  const { s, page, conn, hooks } = await openFiles();
  try {
    const bytes = crypto.randomBytes(50000);
    const whole = 'The file did not arrive whole and was not kept. Try again.';
    let mode = 'bad-window';
    let held = null;
    const mac = fakeMac(conn(), { files: { 'a.txt': bytes }, onText: (msg) => {
      const say = (o) => conn().ws.send(JSON.stringify(Object.assign({ id: msg.id }, o)));
      if (msg.t === 'file-put' && mode === 'bad-window') { say({ t: 'file-put-ready', chunk: 16000, window: 65 }); return true; }
      if (msg.t === 'file-put' && mode === 'busy') { say({ t: 'file-put-result', ok: false, error: 'busy' }); return true; }
      if (msg.t === 'file-list' && mode === 'silent') return true;
      if (msg.t === 'file-get' && mode === 'hold') { held = msg.id; say({ t: 'file-get-ready', size: bytes.length, chunk: 32768 }); return true; }
      if (msg.t === 'file-get' && mode === 'tampered') {
        say({ t: 'file-get-ready', size: bytes.length, chunk: 32768 });
        conn().ws.send(frame(0x10, msg.id, 0, bytes.subarray(0, 32768)));
        conn().ws.send(frame(0x10, msg.id, 32768, bytes.subarray(32768)));
        say({ t: 'file-get-result', ok: true, sha256: '0'.repeat(64) });
        return true;
      }
      return false;
    } });
    const cancels = () => mac.texts.filter((m) => m.t === 'file-cancel').map((m) => m.id);
    const pick = () => page.setInputFiles('#files-input', { name: 'a.bin', mimeType: 'application/octet-stream', buffer: bytes });

    await pick();
    await waitText(page, '#files-up-status', whole);
    const firstPut = mac.texts.find((m) => m.t === 'file-put').id;
    await eventually(() => cancels().includes(firstPut), 'a cancel after a malformed answer');

    mode = 'busy';
    await pick();
    await waitText(page, '#files-up-status', 'The computer is still busy with another file. Try again when it is done.');
    assert.equal(cancels().length, 1, 'a refusal from the computer is not answered');

    mode = 'silent';
    await page.click('#files-list-get');
    await waitText(page, '#files-down-status', 'The computer did not answer. Try again in a moment.');
    assert.equal(await page.isDisabled('#files-list-get'), false);

    mode = 'normal';
    await page.click('#files-list-get');
    await until(page, () => document.querySelectorAll('#files-list button').length === 1);
    mode = 'tampered';
    await page.click('#files-list button');
    await waitText(page, '#files-down-status', whole);
    assert.equal(await page.isVisible('#files-saved'), false, 'nothing is kept when the hashes differ');

    mode = 'normal';
    await page.click('#files-list button');
    await until(page, () => !document.getElementById('files-saved').hidden);

    mode = 'hold';
    await page.click('#files-list button');
    await until(page, () => !document.getElementById('files-down').hidden);
    assert.equal(await page.isVisible('#files-saved'), false, 'a new download lets the last one go');
    assert.equal(await page.isDisabled('#files-list button'), true);
    await page.click('#files-down-cancel');
    await waitText(page, '#files-down-status', 'Cancelled. Nothing was kept.');
    assert.deepEqual(cancels().slice(-1), [held]);

    await page.click('#files-list button');
    await until(page, () => !document.getElementById('files-down').hidden);
    conn().ws.close({ code: 1001 });
    await waitText(page, '#files-down-status', 'The connection to the computer was lost, so the transfer ended. Nothing was kept.');
    assert.equal(await page.isVisible('#files-down'), false);

    // Chosen while offline, the file waits and goes once the page is back.
    let again = null;
    hooks.onSession = (c) => { again = fakeMac(c); };
    await pick();
    await waitText(page, '#files-up-status', 'Waiting for the connection to the computer, then sending.');
    assert.equal(await page.isDisabled('#files-pick'), true);
    await until(page, connected, undefined, 15000);
    await eventually(() => again && again.uploads.length === 1, 'the waiting upload', 15000);
    assert.ok(again.uploads[0].bytes.equals(bytes));
    s.browser.assertClean(assert);
  } finally {
    await s.close();
  }
});
