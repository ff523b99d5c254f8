'use strict';
// Controls for the computer's screen, the pure half: Fit (take a resolution
// shaped like this window, and Restore) and Hide (black out the screen for
// people at the computer). The host's "fx-state" is the truth; `fxStep`
// takes every decision (what to send, what to remember, which hint to show)
// and `fxView` says what the two rows show. Nothing here reads a clock or
// touches the page.
const { isNum, clamp } = require('./numbers.js');

const FX_TIMEOUT_MS = 6500;
const FX_PROBE_GAP_MS = 1000;
const FX_FIT_HOLD_MS = 3000;
const FX_HIDE_HOLD_MS = 1000;
const FX_ID_MAX = 2147483647;
const FX_SIDE_MIN = 64;
const FX_SIDE_MAX = 16384;
const FX_SCALE_MAX = 4;
const FX_HINT_MS = 6000;
const FX_TICK_MS = 250;
const FX_WORD_MAX = 40;
const FX_DAY_S = 86400;

const isInt = (v, lo, hi) => Number.isInteger(v) && v >= lo && v <= hi;
const isObject = (v) => v !== null && typeof v === 'object' && !Array.isArray(v);
const word = (v) => (typeof v === 'string' ? v.slice(0, FX_WORD_MAX) : '');

function fxIsId(id) { return isInt(id, 1, FX_ID_MAX); }

function fxIsShape(s) {
  return isObject(s) && isInt(s.w, FX_SIDE_MIN, FX_SIDE_MAX) && isInt(s.h, FX_SIDE_MIN, FX_SIDE_MAX) &&
    isInt(s.scale, 1, FX_SCALE_MAX);
}

// ---------------------------------------------------------------------------
// Messages

function encodeFxHello() { return JSON.stringify({ t: 'fx-hello', v: 1 }); }

function encodeShaped(t, id, shape) {
  if (!fxIsId(id) || !fxIsShape(shape)) return null;
  return JSON.stringify({ t: t, id: id, w: shape.w, h: shape.h, scale: shape.scale });
}
function encodeFxProbe(id, shape) { return encodeShaped('fx-probe', id, shape); }
function encodeFxMatch(id, shape) { return encodeShaped('fx-match', id, shape); }

function encodeFxRestore(id) { return fxIsId(id) ? JSON.stringify({ t: 'fx-restore', id: id }) : null; }

function encodeFxHide(id, on) {
  if (!fxIsId(id) || typeof on !== 'boolean') return null;
  return JSON.stringify({ t: 'fx-hide', id: id, on: on });
}

// The host's state, or null. Each field is read on its own: a wrong one
// falls back to what an older or confused host would mean by leaving it out.
function parseFxState(msg) {
  if (!isObject(msg) || msg.t !== 'fx-state' || !isObject(msg.match) || !isObject(msg.hide)) return null;
  const m = msg.match;
  const h = msg.hide;
  const active = m.active === true;
  const sized = active && isInt(m.w, 1, 65535) && isInt(m.h, 1, 65535);
  const state = {
    display: isInt(msg.display, 0, 4294967295) ? msg.display : 0,
    match: {
      available: m.available === true, allowed: m.allowed === true, active: active,
      w: sized ? m.w : 0, h: sized ? m.h : 0, smaller: active && m.smaller === true,
    },
    hide: {
      available: h.available === true, allowed: h.allowed === true, active: h.active === true,
      idle: isInt(h.idle, 1, FX_DAY_S) ? h.idle : 600, others: isInt(h.others, 0, 16) ? h.others : 0,
      locks: h.locks === true,
    },
    ended: null,
    soon: null,
  };
  if (isObject(msg.ended) && typeof msg.ended.what === 'string' && msg.ended.what !== '') {
    state.ended = { what: word(msg.ended.what), why: word(msg.ended.why) };
  }
  if (isObject(msg.soon) && typeof msg.soon.what === 'string' && msg.soon.what !== '' && isInt(msg.soon.in, 1, FX_DAY_S)) {
    state.soon = { what: word(msg.soon.what), in: msg.soon.in };
  }
  return state;
}

function parseFxResult(msg) {
  if (!isObject(msg) || msg.t !== 'fx-result' || !fxIsId(msg.id)) return null;
  if (typeof msg.what !== 'string' || msg.what === '') return null;
  const ok = msg.ok === true;
  const thousandths = (v) => (isInt(v, 0, 1000) ? v : 0);
  return {
    id: msg.id, what: word(msg.what), ok: ok, error: ok ? '' : word(msg.error), restored: msg.restored === true,
    verdict: word(msg.verdict), before: thousandths(msg.before), after: thousandths(msg.after),
    smaller: msg.smaller === true,
  };
}

// ---------------------------------------------------------------------------
// The window's shape

// From the picture's resting basis: the window in CSS pixels and its pixel
// ratio, which is what the host needs to pick a mode of the same shape.
function fxShape(basis, dpr) {
  if (!basis || !(basis.w > 0) || !(basis.h > 0)) return null;
  const scale = isNum(dpr) && dpr > 0 ? clamp(Math.round(dpr), 1, 3) : 1;
  const shape = { w: Math.round(basis.w), h: Math.round(basis.h), scale: scale };
  return fxIsShape(shape) ? shape : null;
}

// The window's own size: only this says "the window changed", so the
// computer changing its resolution never looks like a new window.
function fxGeometryKey(innerWidth, innerHeight) {
  return Math.round(innerWidth) + 'x' + Math.round(innerHeight);
}

// A verdict is only believed for the question it answered.
function fxProbeFor(state) {
  if (!state.mac || !state.shape) return null;
  const s = state.shape;
  return [state.key, s.w, s.h, s.scale, state.mac.display, state.mac.match.active ? 1 : 0].join('|');
}

const upright = (shape) => !!shape && shape.h > shape.w;

// ---------------------------------------------------------------------------
// Words

function fxMinutes(seconds) {
  const s = isNum(seconds) ? Math.max(1, Math.round(seconds)) : 1;
  if (s % 60 === 0) return s === 60 ? '1 minute' : s / 60 + ' minutes';
  return s === 1 ? '1 second' : s + ' seconds';
}

// Word tables: a word the page does not know reads as the last line.
function table(rows, other) {
  const map = new Map(rows);
  return (w) => (map.has(w) ? map.get(w) : other);
}

const fitEndedText = table([
  ['changed-on-mac', 'The resolution was changed on the computer.'],
  ['display-changed', 'Back to normal: the display changed.'],
  ['locked', 'Back to normal: the computer is locked.'],
  ['asleep', 'Back to normal: the computer went to sleep.'],
  ['turned-off', 'Back to normal: turned off on the computer.'],
], 'The computer put its resolution back.');

const fitErrorText = table([
  ['failed', 'The computer could not change its resolution. A full-screen app may be in the way.'],
  ['locked', 'The computer is locked. Unlock it first.'],
  ['unavailable', 'The computer cannot do this right now.'],
  ['too-soon', 'Try again in a moment.'],
  ['busy', 'Try again in a moment.'],
  ['timeout', 'The computer did not answer.'],
], 'The computer could not do that.');

const fitRestoredText = table([
  ['no-fit', 'No resolution fits this shape. The computer’s resolution is back to normal.'],
  ['no-better-mode', 'The computer’s normal resolution fits this shape best, so it is back to normal.'],
  ['no-other-mode', 'This computer offers no other resolution, so it is back to normal.'],
  ['failed', 'The computer could not change its resolution, so it is back to normal. A full-screen app may be in the way.'],
], 'The computer’s resolution is back to normal.');

function hideEndedText(why, idle) {
  if (why === 'idle') return 'Shown again after ' + fxMinutes(idle) + ' without input.';
  return table([
    ['escape', 'Someone at the computer showed the screen again.'],
    ['locked', 'Shown again: the computer is locked.'],
    ['asleep', 'Shown again: the computer went to sleep.'],
    ['display-changed', 'Shown again: the display changed.'],
    ['secure-input', 'Shown again: a password field is open on the computer.'],
    ['turned-off', 'Shown again: turned off on the computer.'],
  ], 'The computer could not keep its screen hidden.')(why);
}

const hideErrorText = table([
  ['no-key-watch', 'The computer cannot watch its Escape key, so it will not hide its screen.'],
  ['locked', 'The computer is locked. Unlock it first.'],
  ['too-soon', 'Try again in a moment.'],
  ['busy', 'Try again in a moment.'],
  ['timeout', 'The computer did not answer.'],
], 'The computer could not hide its screen.');

const verdictText = table([
  ['no-better-mode', 'The computer already fits this window.'],
  ['no-other-mode', 'This computer offers no other resolution.'],
  ['no-fit', 'The computer has no resolution shaped like this window.'],
], '');

const isVerdict = (w) => w === 'no-better-mode' || w === 'no-fit' || w === 'no-other-mode';

// ---------------------------------------------------------------------------
// The step function

function fxStart(endedFitted) {
  return {
    mac: null, nextId: 1, now: 0, open: false, key: null, shape: null, pending: null, late: null, probe: null,
    probeAt: null, probeDue: false, verdict: '', verdictFor: null, fitKey: null, fitNote: null, hideNote: null,
    fitHold: 0, hideHold: 0, endedFitted: !!endedFitted, waiting: false,
  };
}

function takeId(s) {
  const id = s.nextId;
  s.nextId = id >= FX_ID_MAX ? 1 : id + 1;
  return id;
}

function onState(s, next, hints) {
  const before = s.mac;
  s.mac = next;
  const wasActive = !!before && before.match.active;
  if (wasActive !== next.match.active && !(!next.match.active && s.fitNote && s.fitNote.code === 'restored')) {
    s.fitNote = null;
  }
  if ((!!before && before.hide.active) !== next.hide.active) s.hideNote = null;
  if (!before && s.endedFitted) {
    s.endedFitted = false;
    if (next.match.available && !next.match.active) {
      s.fitNote = { code: 'after-disconnect' };
      hints.push('The computer’s resolution is back to normal.');
    }
  }
  if (!next.match.active) s.fitKey = null;
  else if (s.fitKey === null) s.fitKey = s.pending && s.pending.what === 'match' ? s.pending.key : s.key;
  if (next.ended && next.ended.what === 'match') {
    s.fitNote = { code: 'ended', why: next.ended.why };
    hints.push(fitEndedText(next.ended.why));
  }
  if (next.ended && next.ended.what === 'hide') {
    s.hideNote = { code: 'ended', why: next.ended.why };
    hints.push(hideEndedText(next.ended.why, next.hide.idle));
  }
  if (next.soon && next.soon.what === 'hide' && next.hide.active) {
    hints.push('The computer’s screen shows again in ' + fxMinutes(next.soon.in) + '. Move the pointer to keep it hidden.');
  }
  if (!before || before.display !== next.display || before.match.active !== next.match.active ||
      before.match.allowed !== next.match.allowed || before.match.available !== next.match.available) {
    s.probeDue = true;
  }
}

function onResult(s, r) {
  if (s.probe && r.id === s.probe.id) {
    s.verdict = r.ok && isVerdict(r.verdict) ? r.verdict : '';
    s.verdictFor = s.probe.what;
    s.probe = null;
    return;
  }
  if (s.pending && r.id === s.pending.id) {
    const p = s.pending;
    s.pending = null;
    if (p.what === 'hide') {
      s.hideNote = r.ok ? null : { code: 'failed', error: r.error };
    } else if (r.ok) {
      s.fitNote = null;
      if (p.what === 'match') s.fitKey = p.key;
    } else if (r.restored) {
      s.fitNote = { code: 'restored', error: r.error };
      s.probeDue = true;
    } else if (p.what === 'match' && isVerdict(r.error)) {
      // The same answer a probe would have given, for the same question.
      s.verdict = r.error;
      s.verdictFor = p.probeFor;
    } else {
      s.fitNote = { code: 'failed', error: r.error };
    }
    return;
  }
  if (s.late && r.id === s.late.id) {
    const p = s.late;
    s.late = null;
    if (!r.ok) return;
    if (p.what === 'hide') {
      s.hideNote = null;
    } else {
      s.fitNote = null;
      if (p.what === 'match') s.fitKey = p.key;
    }
  }
}

function onPress(s, what, send) {
  const mac = s.mac;
  if (!mac || s.pending) return;
  const now = s.now;
  let request = null;
  if (what === 'fit') {
    const m = mac.match;
    const refused = !m.active && s.verdict !== '' && s.verdictFor === fxProbeFor(s);
    if (!m.available || !m.allowed || !s.shape || upright(s.shape) || now < s.fitHold || refused) return;
    const id = takeId(s);
    send.push(encodeFxMatch(id, s.shape));
    request = { id: id, what: 'match', at: now, key: s.key, probeFor: fxProbeFor(s) };
    s.fitHold = now + FX_FIT_HOLD_MS;
    s.fitNote = null;
  } else if (what === 'restore') {
    if (!mac.match.active) return;
    const id = takeId(s);
    send.push(encodeFxRestore(id));
    request = { id: id, what: 'restore', at: now };
    s.fitNote = null;
  } else if (what === 'hide') {
    const h = mac.hide;
    if (!h.available || !h.allowed || h.active || now < s.hideHold) return;
    const id = takeId(s);
    send.push(encodeFxHide(id, true));
    request = { id: id, what: 'hide', on: true, at: now };
    s.hideHold = now + FX_HIDE_HOLD_MS;
    s.hideNote = null;
  } else if (what === 'show') {
    if (!mac.hide.active) return;
    const id = takeId(s);
    send.push(encodeFxHide(id, false));
    request = { id: id, what: 'hide', on: false, at: now };
    s.hideNote = null;
  } else {
    return;
  }
  s.pending = request;
  s.late = null;
}

function onTick(s) {
  if (s.pending && s.now - s.pending.at >= FX_TIMEOUT_MS) {
    s.late = s.pending;
    s.pending = null;
    const note = { code: 'failed', error: 'timeout' };
    if (s.late.what === 'hide') s.hideNote = note; else s.fitNote = note;
  }
  if (s.probe && s.now - s.probe.at >= FX_TIMEOUT_MS) {
    s.verdict = '';
    s.verdictFor = s.probe.what;
    s.probe = null;
  }
}

function probeWanted(s) {
  const m = s.mac && s.mac.match;
  if (!m || !s.open || !m.available || !m.allowed || !s.shape || upright(s.shape)) return false;
  return s.probeDue || s.verdictFor !== fxProbeFor(s);
}

// ev: {type, now, open, key, shape, state | result | what}. Returns the next
// state, the messages to send in order, and at most one hint.
function fxStep(prev, ev) {
  if (ev.type === 'closed') {
    const fitted = prev.endedFitted || (!!prev.mac && prev.mac.match.active);
    return { state: fxStart(fitted), send: [], hint: null };
  }
  const s = Object.assign({}, prev);
  if (isNum(ev.now)) s.now = ev.now;
  if (ev.key !== undefined) {
    if (ev.open && !s.open) s.probeDue = true;
    s.open = !!ev.open;
    s.key = ev.key;
    s.shape = fxIsShape(ev.shape) ? { w: ev.shape.w, h: ev.shape.h, scale: ev.shape.scale } : null;
  }
  const send = [];
  const hints = [];
  switch (ev.type) {
    case 'ready': send.push(encodeFxHello()); break;
    case 'state': if (ev.state) onState(s, ev.state, hints); break;
    case 'result': if (ev.result) onResult(s, ev.result); break;
    case 'press': onPress(s, ev.what, send); break;
    case 'tick': onTick(s); break;
    default: break;
  }
  const wanted = probeWanted(s);
  let asked = false;
  if (wanted && !s.pending && !s.probe && (s.probeAt === null || s.now - s.probeAt >= FX_PROBE_GAP_MS)) {
    const id = takeId(s);
    s.probe = { id: id, at: s.now, what: fxProbeFor(s) };
    s.probeAt = s.now;
    s.probeDue = false;
    send.push(encodeFxProbe(id, s.shape));
    asked = true;
  }
  s.waiting = !!s.pending || !!s.probe || s.now < s.fitHold || s.now < s.hideHold || (wanted && !asked);
  return { state: s, send: send, hint: hints.length ? hints[hints.length - 1] : null };
}

// ---------------------------------------------------------------------------
// What the rows show

const FIT = 'Fit the computer’s screen to this window';
const RESTORE = 'Restore the computer’s resolution';
const HIDE = 'Hide the computer’s screen';
const SHOW = 'Show the computer’s screen';

function row(visible, button, action, disabled, second, line, kind) {
  return { visible, button, action, disabled, second, line, kind };
}
const HIDDEN_ROW = row(false, '', '', true, '', '', '');

function fitNoteText(note) {
  switch (note.code) {
    case 'restored': return fitRestoredText(note.error);
    case 'ended': return fitEndedText(note.why);
    case 'after-disconnect': return 'Back to normal after the disconnect.';
    default: return fitErrorText(note.error);
  }
}

function fitRow(s, phone) {
  const m = s.mac.match;
  const uprightText = phone ? 'Turn the phone sideways to use this.'
    : 'Make this window wider than it is tall to use this.';
  const isUpright = upright(s.shape);
  const held = s.now < s.fitHold;
  const failed = s.fitNote && s.fitNote.code === 'failed' ? fitErrorText(s.fitNote.error) : '';
  if (s.pending && (s.pending.what === 'match' || s.pending.what === 'restore')) {
    return row(m.available, m.active ? RESTORE : FIT, '', true, '', 'Changing the resolution…', 'busy');
  }
  if (m.active && s.key !== s.fitKey) {
    const line = failed || 'This window changed size.' + (isUpright ? ' ' + uprightText : '');
    return row(m.available, 'Fit again', 'fit', !s.shape || isUpright || held, RESTORE, line, failed ? 'problem' : '');
  }
  if (m.active) {
    const line = failed || 'The computer’s screen now fits this window.' +
      (m.smaller ? ' The computer’s desktop is smaller while this is on.' : '');
    return row(m.available, RESTORE, 'restore', false, '', line, failed ? 'problem' : 'good');
  }
  if (!m.allowed) {
    return row(m.available, '', '', true, '',
      'Fitting the computer’s screen is off. It can only be turned on at the computer itself, in the Morvane menu.', 'muted');
  }
  let reason = '';
  if (isUpright) reason = uprightText;
  else if (s.verdictFor !== null && s.verdictFor === fxProbeFor(s)) reason = verdictText(s.verdict);
  const note = s.fitNote;
  let line;
  if (note) {
    const answered = note.code === 'restored' && isVerdict(note.error);
    line = fitNoteText(note) + (reason && !answered ? ' ' + reason : '');
  } else {
    line = reason || 'Removes most of the empty space around the picture. Windows on the computer may move and ' +
      'will not move back. The picture pauses for a moment.';
  }
  const problem = !!note && (note.code === 'failed' || (note.code === 'restored' && note.error === 'failed'));
  return row(m.available, FIT, 'fit', !s.shape || !!reason || held, '', line, problem ? 'problem' : '');
}

function hideRow(s) {
  const h = s.mac.hide;
  const failed = s.hideNote && s.hideNote.code === 'failed' ? hideErrorText(s.hideNote.error) : '';
  if (s.pending && s.pending.what === 'hide') {
    const on = s.pending.on;
    return row(h.available, on ? HIDE : SHOW, '', true, '',
      on ? 'Hiding the computer’s screen…' : 'Showing the computer’s screen…', 'busy');
  }
  if (h.active) {
    let others = '';
    if (h.others > 1) others = ' The computer’s other displays stay visible.';
    else if (h.others === 1) others = ' The computer’s other display stays visible.';
    const line = failed || 'Hidden. It shows again when you disconnect, after ' + fxMinutes(h.idle) +
      ' without input, or when Escape is held at the computer.' + others +
      (h.locks ? '' : ' When you disconnect, the computer shows what you left open.');
    return row(h.available, SHOW, 'show', false, '', line, failed ? 'problem' : 'good');
  }
  if (!h.allowed) {
    return row(h.available, '', '', true, '',
      'Hiding the computer’s screen is off. It can only be turned on at the computer itself, in the Morvane menu.', 'muted');
  }
  let line;
  if (s.hideNote && s.hideNote.code === 'ended') line = hideEndedText(s.hideNote.why, h.idle);
  else line = failed || 'People at the computer see a black screen. You still see everything.' +
    (h.others > 0 ? ' Only the display you are viewing is hidden.' : '');
  return row(h.available, HIDE, 'hide', s.now < s.hideHold, '', line, failed ? 'problem' : '');
}

function fxView(state, phone) {
  if (!state.mac) return { fit: HIDDEN_ROW, hide: HIDDEN_ROW, chip: false };
  return { fit: fitRow(state, !!phone), hide: hideRow(state), chip: state.mac.hide.active };
}

module.exports = {
  FX_TIMEOUT_MS, FX_PROBE_GAP_MS, FX_FIT_HOLD_MS, FX_HIDE_HOLD_MS, FX_ID_MAX, FX_SIDE_MIN, FX_SIDE_MAX, FX_HINT_MS,
  FX_TICK_MS,
  fxIsId, fxIsShape, encodeFxHello, encodeFxProbe, encodeFxMatch, encodeFxRestore, encodeFxHide, parseFxState,
  parseFxResult, fxShape, fxGeometryKey, fxProbeFor, fxMinutes, fxStart, fxStep, fxView,
};
