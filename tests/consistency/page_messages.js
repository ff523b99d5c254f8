'use strict';
// Prints, one JSON line each, the messages the web page's own encoders build
// for the things a user can do, with what the page means by each: the kind
// of message and the values the host should read from it. Boundary values
// are included on purpose.
// Usage: node page_messages.js <web folder> <the joined app.js the build made>
const fs = require('node:fs');
const path = require('node:path');

const web = process.argv[2] || path.resolve(__dirname, '../../src/web');
const page = require(process.argv[3] || path.resolve(__dirname, '../../build/src/web/app.js'));

const cases = [];
function add(name, messages, expect) {
  const list = Array.isArray(messages) ? messages : [messages];
  if (list.some((m) => typeof m !== 'string')) throw new Error('the page built no message for ' + name);
  cases.push({ name, messages: list, expect });
}

add('auth', page.encodeAuth('0123456789abcdef'.repeat(4)), { kind: 'auth', token: '0123456789abcdef'.repeat(4) });
for (const id of [1, 4294967295, 9007199254740991]) add('ping ' + id, page.encodePing(id), { kind: 'ping', id });

// Moves and buttons: positions are picture fractions, clamped to 0...1.
for (const [x, y, ex, ey] of [[0, 0, 0, 0], [1, 1, 1, 1], [0.123456789, 0.987654321, 0.123456789, 0.987654321],
  [-0.25, 1.5, 0, 1], [1e-9, 0.5, 1e-9, 0.5]]) {
  add(`move ${x},${y}`, page.encodeMove(x, y), { kind: 'move', x: ex, y: ey });
}
for (const [button, down, clicks, c] of [[0, true, 1, 1], [0, false, 1, 1], [1, true, 2, 2], [2, false, 3, 3],
  [0, true, 7, 3], [0, true, 0, 1], [0, true, undefined, 1]]) {
  add(`button ${button} ${down} ${clicks}`, page.encodeButton(button, down, 0.25, 0.75, clicks),
    { kind: 'button', button, down, x: 0.25, y: 0.75, clicks: c });
}
for (const [b, mapped] of [[0, 0], [2, 1], [1, 2]]) {
  const host = page.mapMouseButton(b);
  add(`browser button ${b}`, page.encodeButton(host, true, 0.5, 0.5, 1),
    { kind: 'button', button: mapped, down: true, x: 0.5, y: 0.5, clicks: 1 });
}

// Scrolls: whole pixels, each axis limited to 2000.
for (const [dx, dy, ex, ey] of [[0, 1, 0, 1], [-1, 0, -1, 0], [2000, -2000, 2000, -2000], [2500.4, -99999, 2000, -2000],
  [0.6, -12.5, 1, -12]]) {
  add(`scroll ${dx},${dy}`, page.encodeScroll(dx, dy), { kind: 'scroll', dx: ex, dy: ey });
}
const wheel = page.deskWheelStep({ x: 0, y: 0 }, { deltaX: 0, deltaY: 3, deltaMode: 1 }, 800);
add('three wheel lines', page.encodeScroll(wheel.dx, wheel.dy), { kind: 'scroll', dx: 0, dy: 120 });

// Every key the page's buttons and chords can send, down and up.
const html = fs.readFileSync(path.join(web, 'index.html'), 'utf8');
const codes = new Set();
for (const m of html.matchAll(/data-(?:key|mod)="([^"]+)"/g)) codes.add(m[1]);
for (const m of html.matchAll(/data-chord="([^"]+)"/g)) {
  const chord = page.parseChord(m[1]);
  if (!chord) throw new Error('the page cannot read its own chord ' + m[1]);
  for (const c of [...chord.modifiers, chord.key]) codes.add(c);
}
for (const code of ['KeyA', 'Digit0', 'F12', 'NumpadEnter', 'IntlBackslash', 'A'.repeat(32)]) codes.add(code);
for (const code of codes) {
  add('key ' + code, [page.encodeKey(code, true), page.encodeKey(code, false)], { kind: 'key', code, button: true });
}

// Typed text, including the largest piece and characters JSON escapes.
const longest = '\u{1F600}'.repeat(2000);
for (const [name, s, expected] of [['text', 'hello wörld', 'hello wörld'], ['text quotes', '"\\\n\t\u0001\u007f', '"\\\n\t\u0001\u007f'],
  ['text 2000 emoji', longest, longest], ['text combining', 'e\u0301'.repeat(1000), 'e\u0301'.repeat(1000)],
  ['text lone surrogates', 'a\uD800b\uDC00c', 'a\uFFFDb\uFFFDc']]) {
  add(name, page.encodeText(s), { kind: 'text', s: expected });
}
add('compose text in pieces', page.chunkText('x'.repeat(4500), 2000).map(page.encodeText), { kind: 'text-pieces', s: 'x'.repeat(4500) });
add('live typing', page.ltEncode([{ op: 'text', s: 'wörld' }, { op: 'tap', code: 'Backspace' }]),
  { kind: 'live', text: 'wörld', code: 'Backspace' });

add('quality low', page.encodeQuality('low'), { kind: 'quality', q: 'low' });
add('quality high', page.encodeQuality('high'), { kind: 'quality', q: 'high' });
for (const simple of ['lock', 'refresh', 'keyframe']) add(simple, page.encodeSimple(simple), { kind: simple });

// Video: the sizes the page asks for on the smallest and largest screens.
for (const [w, h, dpr, phone] of [[10, 10, 1, false], [390, 844, 3, true], [5120, 2880, 2, false], [1440, 900, 1, false]]) {
  const size = page.videoMaxSize(w, h, dpr, phone);
  add(`video h264 ${w}x${h}@${dpr}`, page.encodeVideoWant('h264', size.maxW, size.maxH),
    { kind: 'video-h264', maxW: size.maxW, maxH: size.maxH });
}
add('video jpeg', page.encodeVideoWant('jpeg'), { kind: 'video-jpeg' });
add('sound on', page.encodeAudio(true), { kind: 'audio-start' });
add('sound off', page.encodeAudio(false), { kind: 'audio-stop' });

// Clipboard: a get, and puts whose chunks the host must read back whole.
add('clip get', page.encodeClipGet(1), { kind: 'clip-get', id: 1 });
add('clip get last id', page.encodeClipGet(999999), { kind: 'clip-get', id: 999999 });
const puts = [
  ['clip put one unit', 'a', 'a'],
  ['clip put emoji across a chunk edge', 'x'.repeat(1999) + '\u{1F600}' + 'y'.repeat(2000), 'x'.repeat(1999) + '\u{1F600}' + 'y'.repeat(2000)],
  ['clip put lone surrogate', 'a\uD800', 'a\uFFFD'],
  ['clip put largest', 'é\n'.repeat(50000), 'é\n'.repeat(50000)],
  ['clip put escapes', '\u0001'.repeat(2000) + '"'.repeat(10), '\u0001'.repeat(2000) + '"'.repeat(10)],
];
for (const [name, raw, whole] of puts) {
  const plan = page.clipPutMessages(41, raw);
  if (!plan.messages) throw new Error(name + ': ' + plan.error);
  add(name, plan.messages, { kind: 'clip-put', id: 41, text: whole, len: whole.length });
}

for (const id of [0, 1, 4294967295]) add('display ' + id, page.encodeDisplaySelect(id), { kind: 'display', id });

// Files: requests with their boundary ids, sizes and names, and the upload
// chunk frames, which travel as bytes (printed here as hex).
for (const id of [1, 999999]) {
  add('file list ' + id, page.encodeFileList(id), { kind: 'file-list', id });
  add('file cancel ' + id, page.encodeFileCancel(id), { kind: 'file-cancel', id });
}
const longName = 'n'.repeat(300) + '.pdf';
for (const [name, raw, sent, size] of [['file put plain', 'photo.jpg', 'photo.jpg', 1],
  ['file put largest', 'film "cut".mov', 'film "cut".mov', page.FILE_MAX],
  ['file put long name', longName, 'n'.repeat(196) + '.pdf', 1234],
  ['file put emoji name', '\u{1F600}'.repeat(250), '\u{1F600}'.repeat(200), 99],
  ['file put lone surrogate', 'a\uD800.txt', 'a\uFFFD.txt', 5],
  ['file put control characters', 'a\u0001b\\c/d.txt', 'a\u0001b\\c/d.txt', 7]]) {
  add(name, page.encodeFilePut(17, raw, size), { kind: 'file-put', id: 17, name: sent, size });
}
const digest = page.sha256Hex(page.sha256Update(page.sha256Start(), Buffer.from('abc')));
add('file put end', page.encodeFilePutEnd(18, digest),
  { kind: 'file-put-end', id: 18, sha256: 'ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad' });
for (const [name, wanted] of [['file get plain', 'report: final.pdf'], ['file get longest', '\u00E9'.repeat(512)],
  ['file get quotes', 'say "hi"\\.txt']]) {
  add(name, page.encodeFileGet(19, wanted), { kind: 'file-get', id: 19, name: wanted });
}
const hex = (b) => Buffer.from(b).toString('hex');
const data = Buffer.from(Array.from({ length: 16000 }, (_, i) => (i * 31) & 0xff));
for (const [name, id, offset, bytes] of [['chunk first', 1, 0, data.subarray(0, 1)], ['chunk full', 999999, 16000, data],
  ['chunk at the largest offset', 70000, page.FILE_MAX, data.subarray(0, 3)], ['chunk high id byte', 0x0F423F, 0x0C7FFFFF, data.subarray(5, 40)]]) {
  add(name, hex(page.encodeFileChunk(id, offset, bytes)), { kind: 'file-chunk', id, offset, data: hex(bytes) });
}

// Controls for the computer's screen: the requests at the edges of the ids
// and window shapes the host takes, and the ones the step function itself
// sends for a session (greeting, probe, fit, restore, hide, show).
add('fx hello', page.encodeFxHello(), { kind: 'fx-hello' });
for (const [id, w, h, scale] of [[1, 64, 64, 1], [page.FX_ID_MAX, 16384, 16384, 4], [77, 1440, 820, 2]]) {
  add(`fx probe ${id} ${w}x${h}@${scale}`, page.encodeFxProbe(id, { w, h, scale }), { kind: 'fx-probe', id, w, h, scale });
  add(`fx match ${id} ${w}x${h}@${scale}`, page.encodeFxMatch(id, { w, h, scale }), { kind: 'fx-match', id, w, h, scale });
}
add('fx restore', page.encodeFxRestore(page.FX_ID_MAX), { kind: 'fx-restore', id: page.FX_ID_MAX });
for (const on of [true, false]) add('fx hide ' + on, page.encodeFxHide(9, on), { kind: 'fx-hide', id: 9, on });
{
  const shape = page.fxShape({ w: 1439.6, h: 820.2 }, 2.6);
  const look = { now: 0, open: true, key: '1440x900', shape };
  let state = page.fxStart(false);
  const step = (ev) => {
    const r = page.fxStep(state, Object.assign({}, look, ev));
    state = r.state;
    return r.send;
  };
  const hostState = (matchActive, hideActive) => page.parseFxState({ t: 'fx-state', v: 1, display: 1,
    match: { available: true, allowed: true, active: matchActive, w: 2880, h: 1640 },
    hide: { available: true, allowed: true, active: hideActive, idle: 600, others: 0, locks: true } });
  add('fx session greeting', step({ type: 'ready' }), { kind: 'fx-hello' });
  const probe = step({ type: 'state', state: hostState(false, false) });
  add('fx session probe', probe, { kind: 'fx-probe', id: 1, w: 1440, h: 820, scale: 3 });
  step({ type: 'result', result: page.parseFxResult({ t: 'fx-result', id: 1, what: 'probe', ok: true, verdict: 'fit' }) });
  add('fx session fit', step({ type: 'press', what: 'fit' }), { kind: 'fx-match', id: 2, w: 1440, h: 820, scale: 3 });
  step({ type: 'state', state: hostState(true, false) });
  step({ type: 'result', result: page.parseFxResult({ t: 'fx-result', id: 2, what: 'match', ok: true }) });
  add('fx session restore', step({ type: 'press', what: 'restore' }), { kind: 'fx-restore', id: 3 });
  step({ type: 'result', result: page.parseFxResult({ t: 'fx-result', id: 3, what: 'restore', ok: true }) });
  add('fx session hide', step({ type: 'press', what: 'hide' }), { kind: 'fx-hide', id: 4, on: true });
  step({ type: 'state', state: hostState(false, true) });
  step({ type: 'result', result: page.parseFxResult({ t: 'fx-result', id: 4, what: 'hide', ok: true }) });
  add('fx session show', step({ type: 'press', what: 'show' }), { kind: 'fx-hide', id: 5, on: false });
}

for (const c of cases) process.stdout.write(JSON.stringify(c) + '\n');
