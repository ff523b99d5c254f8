'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const {
  FX_ID_MAX, encodeFxHello, encodeFxHide, encodeFxMatch, encodeFxProbe, encodeFxRestore, fxGeometryKey, fxMinutes,
  fxShape, fxStart, fxStep, fxView, parseFxResult, parseFxState,
} = require('../../../src/web/client/screen_controls.js');

const WIDE = { w: 1440, h: 820, scale: 2 };
const TALL = { w: 390, h: 700, scale: 3 };

// A host state message with everything on and nothing active, changed by `over`.
function hostState(over = {}) {
  const msg = {
    t: 'fx-state', v: 1, display: 1,
    match: { available: true, allowed: true, active: false },
    hide: { available: true, allowed: true, active: false, idle: 600, others: 0, locks: true },
  };
  for (const k of ['match', 'hide']) Object.assign(msg[k], over[k] || {});
  for (const k of ['display', 'ended', 'soon']) if (k in over) msg[k] = over[k];
  return msg;
}

// Drives the step function as the page does: every event but "closed"
// carries the page's look; `sent` gathers the messages as objects.
function machine(endedFitted = false) {
  const m = { state: fxStart(endedFitted), now: 0, open: true, key: '1440x900', shape: WIDE, sent: [], hints: [] };
  m.step = (ev) => {
    const full = ev.type === 'closed' ? ev : Object.assign({ now: m.now, open: m.open, key: m.key, shape: m.shape }, ev);
    const r = fxStep(m.state, full);
    m.state = r.state;
    const out = r.send.map((s) => JSON.parse(s));
    m.sent.push(...out);
    if (r.hint) m.hints.push(r.hint);
    return out;
  };
  m.host = (over) => m.step({ type: 'state', state: parseFxState(hostState(over)) });
  m.answer = (id, fields) => m.step({ type: 'result', result: parseFxResult(Object.assign({ t: 'fx-result', id, ok: true }, fields)) });
  m.at = (t) => { m.now = t; return m.step({ type: 'tick' }); };
  m.press = (what) => m.step({ type: 'press', what });
  m.view = (phone = false) => fxView(m.state, phone);
  // Ready, the first state, and the probe that follows it answered "fit".
  m.live = (over) => {
    m.step({ type: 'ready' });
    const [probe] = m.host(over);
    if (probe) m.answer(probe.id, { what: 'probe', verdict: 'fit' });
  };
  return m;
}

test('the host state is read field by field, each wrong field meaning what its absence means', () => {
  assert.equal(parseFxState({ t: 'fx-result', match: {}, hide: {} }), null);
  assert.equal(parseFxState({ t: 'fx-state', match: {} }), null, 'no hide object');
  assert.equal(parseFxState({ t: 'fx-state', match: [], hide: {} }), null, 'an array is not an object');
  const rows = [
    // [what the host sent, where to look, what the page reads]
    [{ display: 4294967295 }, (s) => s.display, 4294967295],
    [{ display: 4294967296 }, (s) => s.display, 0],
    [{ display: '3' }, (s) => s.display, 0],
    [{ match: { active: true, w: 1920, h: 1080, smaller: true } }, (s) => s.match, { available: true, allowed: true, active: true, w: 1920, h: 1080, smaller: true }],
    [{ match: { active: true, w: 65536, h: 1080 } }, (s) => [s.match.w, s.match.h], [0, 0]],
    [{ match: { active: 1, w: 1920, h: 1080, smaller: true } }, (s) => [s.match.active, s.match.w, s.match.smaller], [false, 0, false]],
    [{ match: { available: 'yes' } }, (s) => s.match.available, false],
    [{ hide: { idle: 0, others: 17 } }, (s) => [s.hide.idle, s.hide.others], [600, 0]],
    [{ hide: { idle: 86400, others: 16, locks: false } }, (s) => [s.hide.idle, s.hide.others, s.hide.locks], [86400, 16, false]],
    [{ ended: { what: 'match', why: 'x'.repeat(50) } }, (s) => s.ended, { what: 'match', why: 'x'.repeat(40) }],
    [{ ended: { what: 'hide', why: 7 } }, (s) => s.ended, { what: 'hide', why: '' }],
    [{ ended: { what: '', why: 'idle' } }, (s) => s.ended, null],
    [{ soon: { what: 'hide', in: 90 } }, (s) => s.soon, { what: 'hide', in: 90 }],
    [{ soon: { what: 'hide', in: 86401 } }, (s) => s.soon, null],
    [{ soon: { what: 'hide', in: 1.5 } }, (s) => s.soon, null],
  ];
  for (const [over, pick, expected] of rows) {
    assert.deepEqual(pick(parseFxState(hostState(over))), expected, JSON.stringify(over));
  }
});

test('a result is read only with a valid id and a word for what it answers', () => {
  assert.equal(parseFxResult({ t: 'fx-result', id: 0, what: 'match', ok: true }), null);
  assert.equal(parseFxResult({ t: 'fx-result', id: FX_ID_MAX + 1, what: 'match', ok: true }), null);
  assert.equal(parseFxResult({ t: 'fx-result', id: 2, what: '', ok: true }), null);
  assert.equal(parseFxResult({ t: 'fx-result', id: 2.5, what: 'match', ok: true }), null);
  assert.deepEqual(parseFxResult({ t: 'fx-result', id: 9, what: 'probe', ok: true, verdict: 'no-fit', before: 1001, after: 250, smaller: 1 }),
    { id: 9, what: 'probe', ok: true, error: '', restored: false, verdict: 'no-fit', before: 0, after: 250, smaller: false });
  assert.deepEqual(parseFxResult({ t: 'fx-result', id: 9, what: 'match', ok: 'true', error: 'busy', restored: true }),
    { id: 9, what: 'match', ok: false, error: 'busy', restored: true, verdict: '', before: 0, after: 0, smaller: false });
});

test('requests are built only from a valid id and shape', () => {
  assert.deepEqual(JSON.parse(encodeFxHello()), { t: 'fx-hello', v: 1 });
  assert.deepEqual(JSON.parse(encodeFxMatch(FX_ID_MAX, { w: 16384, h: 64, scale: 4 })), { t: 'fx-match', id: FX_ID_MAX, w: 16384, h: 64, scale: 4 });
  assert.deepEqual(JSON.parse(encodeFxHide(1, false)), { t: 'fx-hide', id: 1, on: false });
  const refused = [
    encodeFxProbe(0, WIDE), encodeFxProbe(1, { w: 63, h: 100, scale: 1 }), encodeFxMatch(1, { w: 100, h: 16385, scale: 1 }),
    encodeFxMatch(1, { w: 100, h: 100, scale: 5 }), encodeFxMatch(1, { w: 100.5, h: 100, scale: 1 }), encodeFxMatch(1, null),
    encodeFxRestore(FX_ID_MAX + 1), encodeFxRestore('1'), encodeFxHide(1, 'on'), encodeFxHide(-1, true),
  ];
  assert.deepEqual(refused, refused.map(() => null));
});

test('the window shape is the resting basis rounded, with the pixel ratio rounded into 1...3', () => {
  const rows = [
    [{ w: 1439.6, h: 820.4 }, 2, { w: 1440, h: 820, scale: 2 }],
    [{ w: 390, h: 700 }, 3.5, { w: 390, h: 700, scale: 3 }],
    [{ w: 390, h: 700 }, 0, { w: 390, h: 700, scale: 1 }],
    [{ w: 390, h: 700 }, NaN, { w: 390, h: 700, scale: 1 }],
    [{ w: 63, h: 700 }, 1, null],
    [{ w: 0, h: 700 }, 1, null],
    [null, 1, null],
  ];
  for (const [basis, dpr, shape] of rows) assert.deepEqual(fxShape(basis, dpr), shape, JSON.stringify([basis, dpr]));
  assert.equal(fxGeometryKey(1440.4, 899.6), '1440x900');
});

test('durations read in whole minutes when they are, else in seconds', () => {
  const rows = [[60, '1 minute'], [600, '10 minutes'], [59.6, '1 minute'], [1, '1 second'], [0, '1 second'],
    [90, '90 seconds'], [-5, '1 second'], [NaN, '1 second']];
  for (const [s, text] of rows) assert.equal(fxMinutes(s), text, String(s));
});

test('the page greets the host, and a host that never answers shows nothing', () => {
  const m = machine();
  assert.deepEqual(m.step({ type: 'ready' }), [{ t: 'fx-hello', v: 1 }]);
  m.at(60000);
  assert.deepEqual(m.view(), fxView(fxStart(false), false));
  assert.equal(m.view().fit.visible, false);
  assert.equal(m.state.waiting, false, 'no tick is needed for a silent host');
});

test('probes ask whether fitting would help, only for an open sheet, a wide window and at most once a second', () => {
  const m = machine();
  m.open = false;
  m.step({ type: 'ready' });
  assert.deepEqual(m.host(), [], 'the sheet is closed');
  m.open = true;
  const [probe] = m.step({ type: 'look' });
  assert.deepEqual(probe, { t: 'fx-probe', id: 1, w: 1440, h: 820, scale: 2 });
  m.answer(1, { what: 'probe', verdict: 'no-better-mode' });
  assert.equal(m.view().fit.line, 'The computer already fits this window.');
  assert.equal(m.view().fit.disabled, true);
  assert.deepEqual(m.press('fit'), [], 'the verdict holds the button off');

  m.now = 500;
  m.shape = { w: 1200, h: 820, scale: 2 };
  assert.deepEqual(m.step({ type: 'look' }), [], 'the last probe went out less than a second ago');
  assert.equal(m.state.waiting, true);
  assert.equal(m.view().fit.disabled, false, 'the old verdict was for another shape');
  assert.deepEqual(m.at(1000).map((x) => x.t), ['fx-probe']);

  m.now = 3000;
  m.shape = TALL;
  assert.deepEqual(m.step({ type: 'look' }), [], 'an upright window asks nothing');
  assert.equal(m.view().fit.line, 'Make this window wider than it is tall to use this.');
  assert.equal(m.view(true).fit.line, 'Turn the phone sideways to use this.');
});

test('a display with one resolution says so instead of claiming it fits', () => {
  const m = machine();
  m.step({ type: 'ready' });
  const [probe] = m.host();
  assert.equal(probe.t, 'fx-probe');
  m.answer(probe.id, { what: 'probe', verdict: 'no-other-mode' });
  assert.equal(m.view().fit.line, 'This computer offers no other resolution.');
  assert.equal(m.view().fit.disabled, true);
  assert.deepEqual(m.press('fit'), []);

  // A match sent before the probe's answer is refused with the same words.
  const other = machine();
  other.live();
  const [match] = other.press('fit');
  other.answer(match.id, { what: 'match', ok: false, error: 'no-other-mode' });
  assert.equal(other.view().fit.line, 'This computer offers no other resolution.');
});

test('a fit refused as no better leaves no note and holds the button until the shape, display or match changes', () => {
  const m = machine();
  m.live();
  const [match] = m.press('fit');
  assert.equal(match.t, 'fx-match');
  m.answer(match.id, { what: 'match', ok: false, error: 'no-better-mode' });
  const v = m.view().fit;
  assert.equal(v.line, 'The computer already fits this window.');
  assert.equal(v.kind, '');
  m.at(4000);
  assert.deepEqual(m.press('fit'), []);
  assert.deepEqual(m.host({ display: 2 }).map((x) => x.t), ['fx-probe'], 'a new display is a new question');
  assert.equal(m.view().fit.disabled, false);
});

test('one request at a time across both rows, and the hold after a press', () => {
  const m = machine();
  m.live();
  const [fit] = m.press('fit');
  assert.deepEqual(m.press('hide'), [], 'the fit is still out');
  assert.deepEqual(m.view().fit, { visible: true, button: 'Fit the computer’s screen to this window', action: '', disabled: true, second: '', line: 'Changing the resolution…', kind: 'busy' });
  m.host({ match: { active: true, w: 1440, h: 820 } });
  m.answer(fit.id, { what: 'match' });
  assert.equal(m.view().fit.button, 'Restore the computer’s resolution');
  m.key = '1400x900';
  m.now = 2999;
  m.step({ type: 'look' });
  assert.equal(m.view().fit.button, 'Fit again');
  assert.equal(m.view().fit.second, 'Restore the computer’s resolution');
  assert.deepEqual(m.press('fit'), [], 'pressed again within three seconds');
  m.now = 3000;
  assert.deepEqual(m.press('fit').map((x) => x.t), ['fx-match']);

  const h = machine();
  h.live();
  const [hide] = h.press('hide');
  assert.deepEqual(hide, { t: 'fx-hide', id: hide.id, on: true });
  h.answer(hide.id, { what: 'hide', ok: false, error: 'busy' });
  assert.equal(h.view().hide.line, 'Try again in a moment.');
  assert.equal(h.view().hide.kind, 'problem');
  h.now = 999;
  assert.deepEqual(h.press('hide'), []);
  h.now = 1000;
  assert.deepEqual(h.press('hide').map((x) => x.on), [true]);
});

test('the host state decides what is shown, whatever was asked', () => {
  const m = machine();
  m.live();
  const [hide] = m.press('hide');
  assert.equal(m.view().hide.line, 'Hiding the computer’s screen…');
  m.host({ hide: { active: true, others: 2, locks: false } });
  m.answer(hide.id, { what: 'hide' });
  const v = m.view();
  assert.equal(v.chip, true);
  assert.equal(v.hide.button, 'Show the computer’s screen');
  assert.equal(v.hide.line, 'Hidden. It shows again when you disconnect, after 10 minutes without input, or when ' +
    'Escape is held at the computer. The computer’s other displays stay visible. When you disconnect, the computer ' +
    'shows what you left open.');
  m.host({ hide: { active: false }, ended: { what: 'hide', why: 'escape' } });
  assert.equal(m.view().chip, false);
  assert.equal(m.view().hide.line, 'Someone at the computer showed the screen again.');
  assert.equal(m.hints.at(-1), 'Someone at the computer showed the screen again.');
});

test('an unanswered request says so after 6.5 seconds, and a late yes still corrects the words', () => {
  const m = machine();
  m.live();
  m.now = 100;
  const [fit] = m.press('fit');
  m.at(6599);
  assert.equal(m.view().fit.line, 'Changing the resolution…');
  m.at(6600);
  assert.equal(m.view().fit.line, 'The computer did not answer.');
  assert.equal(m.view().fit.kind, 'problem');
  assert.equal(m.state.pending, null);
  m.host({ match: { active: true, w: 1440, h: 820 } });
  m.answer(fit.id, { what: 'match' });
  assert.equal(m.view().fit.line, 'The computer’s screen now fits this window.');
  assert.equal(m.view().fit.kind, 'good');
});

test('hints: the later rule wins, and a session that ended fitted is told the resolution came back', () => {
  const m = machine();
  m.live({ match: { active: true, w: 1440, h: 820 } });
  m.step({ type: 'closed' });
  assert.equal(m.state.endedFitted, true);
  m.step({ type: 'ready' });
  m.host();
  assert.equal(m.hints.at(-1), 'The computer’s resolution is back to normal.');
  assert.equal(m.view().fit.line, 'Back to normal after the disconnect.');
  m.host({ match: { active: false } });
  assert.equal(m.state.endedFitted, false, 'told once');

  const rows = [
    [{ ended: { what: 'match', why: 'asleep' } }, 'Back to normal: the computer went to sleep.'],
    [{ ended: { what: 'match', why: 'constructor' } }, 'The computer put its resolution back.'],
    [{ ended: { what: 'hide', why: 'idle' }, hide: { idle: 90 } }, 'Shown again after 90 seconds without input.'],
    [{ hide: { active: true }, soon: { what: 'hide', in: 60 } }, 'The computer’s screen shows again in 1 minute. Move the pointer to keep it hidden.'],
    [{ hide: { active: true }, soon: { what: 'hide', in: 60 }, ended: { what: 'hide', why: 'locked' } }, 'The computer’s screen shows again in 1 minute. Move the pointer to keep it hidden.'],
    [{ hide: { active: false }, soon: { what: 'hide', in: 60 } }, null],
  ];
  for (const [over, hint] of rows) {
    const h = machine();
    h.live();
    h.hints = [];
    h.host(over);
    assert.equal(h.hints.at(-1) || null, hint, JSON.stringify(over));
  }
});

test('a fit the host had to undo explains why, without repeating the verdict', () => {
  const rows = [
    ['no-fit', 'No resolution fits this shape. The computer’s resolution is back to normal.', ''],
    ['failed', 'The computer could not change its resolution, so it is back to normal. A full-screen app may be in the way.', 'problem'],
    ['locked', 'The computer’s resolution is back to normal.', ''],
  ];
  for (const [error, line, kind] of rows) {
    const m = machine();
    m.live();
    const [fit] = m.press('fit');
    m.answer(fit.id, { what: 'match', ok: false, error, restored: true });
    const [probe] = m.at(1000);
    assert.equal(probe.t, 'fx-probe', 'a restored fit asks again');
    m.answer(probe.id, { what: 'probe', verdict: error === 'no-fit' ? 'no-fit' : 'fit' });
    assert.equal(m.view().fit.line, line, error);
    assert.equal(m.view().fit.kind, kind, error);
  }
});

test('rows the owner turned off say where to turn them on, and a stray press does nothing', () => {
  const m = machine();
  m.live({ match: { allowed: false }, hide: { allowed: false } });
  const v = m.view();
  assert.deepEqual([v.fit.button, v.fit.kind, v.hide.button, v.hide.kind], ['', 'muted', '', 'muted']);
  assert.match(v.fit.line, /^Fitting the computer’s screen is off\./);
  assert.deepEqual([...m.press('fit'), ...m.press('hide'), ...m.press('restore'), ...m.press('show'), ...m.press('toString')], []);
  m.host({ match: { available: false }, hide: { available: false } });
  assert.deepEqual([m.view().fit.visible, m.view().hide.visible], [false, false]);
});

test('request ids wrap from the largest back to 1', () => {
  const m = machine();
  m.live();
  m.state = Object.assign({}, m.state, { nextId: FX_ID_MAX });
  m.now = 10000;
  const [hide] = m.press('hide');
  assert.equal(hide.id, FX_ID_MAX);
  m.host({ hide: { active: true } });
  m.answer(hide.id, { what: 'hide' });
  assert.equal(m.press('show')[0].id, 1);
});
