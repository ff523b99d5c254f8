'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const {
  clipAnswer, clipChunkIn, clipClean, clipCountText, clipPutAnswer, clipPutMessages, clipStatusText, encodeClipGet,
  utf8Length,
} = require('../../../src/web/client/clipboard.js');
const {
  displayStart, displayStep, displayView, encodeDisplaySelect, parseDisplayList,
} = require('../../../src/web/client/displays.js');

test('a put is planned in chunks of 2000 units that never split a surrogate pair', () => {
  let p = clipPutMessages(7, 'x'.repeat(4001));
  assert.deepEqual(JSON.parse(p.messages[0]), { t: 'clip-put', id: 7, n: 3, len: 4001 });
  assert.deepEqual(p.messages.slice(1).map((m) => JSON.parse(m).s.length), [2000, 2000, 1]);
  assert.deepEqual(p.messages.slice(1).map((m) => JSON.parse(m).i), [0, 1, 2]);
  p = clipPutMessages(1, 'x'.repeat(1999) + '😀' + 'y');
  assert.deepEqual(p.messages.slice(1).map((m) => JSON.parse(m).s.length), [1999, 3], 'the emoji moves whole');
  p = clipPutMessages(1, 'a\uD800b');
  assert.equal(JSON.parse(p.messages[1]).s, 'a\uFFFDb');
  assert.equal(p.len, 3);
  assert.deepEqual(clipPutMessages(1, ''), { error: 'empty' });
  assert.deepEqual(clipPutMessages(1, 'x'.repeat(100001)), { error: 'too-long' });
  assert.deepEqual(clipPutMessages(0, 'x'), { error: 'bad-id' });
  assert.deepEqual(clipPutMessages(1000000, 'x'), { error: 'bad-id' });
  assert.equal(clipClean('\uDC00\uD83D\uDE00\uD83D'), '\uFFFD😀\uFFFD');
  assert.equal(utf8Length('a€😀'), 1 + 3 + 4);
  assert.equal(encodeClipGet(5), '{"t":"clip-get","id":5}');
  assert.equal(encodeClipGet(1.5), null);
});

test('answers are taken only when whole and in order', () => {
  assert.equal(clipAnswer({ t: 'clip', id: 2, state: 'asking' }, 1).kind, 'ignore');
  assert.equal(clipAnswer({ t: 'clip', id: 1, state: 'asking' }, 1).kind, 'asking');
  assert.deepEqual(clipAnswer({ t: 'clip', id: 1, state: 'needs-permission' }, 1), { kind: 'final', state: 'needs-permission' });
  assert.equal(clipAnswer({ t: 'clip', id: 1, state: 'text', n: 3, len: 2, cut: false }, 1).kind, 'broken');
  assert.equal(clipAnswer({ t: 'clip', id: 1, state: 'text', n: 1, len: 2 }, 1).kind, 'broken', 'cut must be a boolean');
  assert.equal(clipAnswer({ t: 'clip', id: 1, state: 'text', n: 129, len: 1000, cut: false }, 1).kind, 'broken');
  let a = clipAnswer({ t: 'clip', id: 1, state: 'text', n: 2, len: 5, cut: true }, 1);
  assert.equal(a.kind, 'receive');
  let r = clipChunkIn(a.rx, { t: 'clip-data', id: 1, i: 1, s: 'de' });
  assert.equal(r.kind, 'broken', 'out of order');
  r = clipChunkIn(a.rx, { t: 'clip-data', id: 1, i: 0, s: 'abc' });
  assert.equal(r.kind, 'more');
  assert.equal(clipChunkIn(r.rx, { t: 'clip-data', id: 1, i: 1, s: 'def' }).kind, 'broken', 'past the length');
  assert.equal(clipChunkIn(r.rx, { t: 'clip-data', id: 2, i: 1, s: 'de' }).kind, 'ignore');
  const done = clipChunkIn(r.rx, { t: 'clip-data', id: 1, i: 1, s: 'de' });
  assert.deepEqual([done.kind, done.text], ['done', 'abcde']);
  a = clipAnswer({ t: 'clip', id: 1, state: 'text', n: 1, len: 5, cut: false }, 1);
  assert.equal(clipChunkIn(a.rx, { t: 'clip-data', id: 1, i: 0, s: 'abc' }).kind, 'broken', 'short of the length');
  assert.equal(clipPutAnswer({ t: 'clip-put-result', id: 3, ok: true }, 3), 'ok');
  assert.equal(clipPutAnswer({ t: 'clip-put-result', id: 3, ok: false, error: 'too-soon' }, 3), 'too-soon');
  assert.equal(clipPutAnswer({ t: 'clip-put-result', id: 3, ok: false }, 3), 'failed');
  assert.equal(clipPutAnswer({ t: 'clip-put-result', id: 4, ok: true }, 3), null);
});

test('clipboard wording: counts, outcomes and the whole-text failure for everything unknown', () => {
  assert.equal(clipCountText(0), '');
  assert.equal(clipCountText(1234), '1,234 of 100,000 characters');
  assert.equal(clipCountText(100001), '100,001 of 100,000 characters: too long to send');
  assert.deepEqual(clipStatusText('too-soon'), { kind: 'error', text: 'That was too quick after the last one. Wait a second and try again.' });
  assert.deepEqual(clipStatusText('sent'), { kind: 'ok', text: 'On the computer’s clipboard.' });
  assert.equal(clipStatusText('nothing').text, 'There is no text in the box to send.');
  for (const w of ['broken', 'out-of-order', 'length-mismatch', 'failed', 'toString']) {
    assert.equal(clipStatusText(w).text, 'The text did not arrive whole. Try again.', w);
  }
});

test('the display list is read defensively and switching is decided by the step function', () => {
  const entries = [];
  for (let i = 0; i < 20; i++) entries.push({ id: i + 1, name: 'D' + i, w: 1920, h: 1080 });
  entries[1] = { id: 1, name: 'dup' };
  entries[2] = { id: -1 };
  entries[3] = { id: 1.5 };
  entries[4] = { id: 50, name: '   ', w: 0, h: 70000 };
  const l = parseDisplayList({ t: 'disp-list', displays: entries, current: 50, lost: 'yes' });
  assert.equal(l.displays.length, 13, 'only the first 16 entries are read, bad and repeated ones skipped');
  assert.deepEqual(l.displays[1], { id: 50, name: 'Display 2', w: 0, h: 0, builtin: false, main: false });
  assert.equal(l.current, 50);
  assert.equal(l.lost, false);
  assert.equal(parseDisplayList({ t: 'disp-list', displays: [{ id: 1, name: 'a\u0007b', builtin: true }] }).displays[0].name, 'a b');
  assert.equal(parseDisplayList({ t: 'disp-list', displays: [{ id: 1, name: '', builtin: true }] }).displays[0].name, 'Built-in Display');
  assert.equal(parseDisplayList({ t: 'disp-list' }), null);

  const two = parseDisplayList({ t: 'disp-list', current: 1, displays: [{ id: 1, name: 'Built-in', w: 3024, h: 1964, builtin: true }, { id: 2, name: 'Studio', w: 5120, h: 2880 }] });
  let r = displayStep(displayStart(), { type: 'list', listing: two });
  assert.equal(r.moved, false, 'a first list moves nothing');
  let s = r.state;
  assert.equal(displayStep(s, { type: 'choose', id: 1, now: 0 }).send, null, 'the display already shown');
  r = displayStep(s, { type: 'choose', id: 2, now: 0 });
  assert.equal(r.send, 2);
  s = r.state;
  assert.equal(displayStep(s, { type: 'choose', id: 1, now: 10 }).send, null, 'nothing while a switch is pending');
  let v = displayView(s);
  assert.deepEqual([v.visible, v.busy, v.note, v.noteKind], [true, true, 'Switching display', 'busy']);
  assert.equal(v.options[1].label, 'Studio, 5120 by 2880, switching');
  assert.equal(v.options[0].size, '3024 × 1964');
  const refused = displayStep(s, { type: 'result', msg: { t: 'disp-result', id: 2, ok: false, error: 'too-soon' } }).state;
  assert.equal(displayView(refused).note, 'That was too quick after the last switch. Wait a second and try again.');
  assert.equal(displayStep(s, { type: 'tick', now: 6500 }).state.pending.id, 2);
  assert.equal(displayView(displayStep(s, { type: 'tick', now: 6501 }).state).note, 'The computer did not switch displays. Try again.');
  r = displayStep(s, { type: 'list', listing: Object.assign({}, two, { current: 2 }) });
  assert.deepEqual([r.moved, r.state.pending, r.state.note], [true, null, '']);
  // One display left after a lost one: the chooser hides, the note stays.
  const lost = parseDisplayList({ t: 'disp-list', current: 1, lost: true, displays: [{ id: 1, name: 'Built-in', builtin: true }] });
  v = displayView(displayStep(r.state, { type: 'list', listing: lost }).state);
  assert.deepEqual([v.visible, v.note], [false, 'That display was disconnected. Showing Built-in.']);
  assert.deepEqual(displayStep(s, { type: 'closed' }).state, displayStart());
  assert.equal(encodeDisplaySelect(4294967295), '{"t":"disp-select","id":4294967295}');
  assert.equal(encodeDisplaySelect(4294967296), null);
});
