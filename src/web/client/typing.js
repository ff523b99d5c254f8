'use strict';
// Live typing, the pure half: from the field's changes to the taps and
// text the host types.
const { TEXT_MAX, chunkText, encodeKey, encodeText, isKeyCode } = require('./encoders.js');
const { DESK_MOD_CLASS } = require('./keyboard.js');

const LT_SENTINEL = '\u200B';
const LT_ECHO_MAX = 48;
const LT_ECHO_KEEP = 24;
const LT_FORWARD_DELETES = ['deleteContentForward', 'deleteWordForward', 'deleteSoftLineForward', 'deleteHardLineForward'];
const LT_COMPOSITION_INPUTS = ['insertCompositionText', 'deleteCompositionText', 'insertFromComposition', 'deleteByComposition'];
const TYPING_KEY = 'morvane.typing';
const LT_KEYS = (() => {
  const map = {};
  for (let i = 0; i < 26; i++) {
    const lower = String.fromCharCode(97 + i);
    map[lower] = { code: 'Key' + lower.toUpperCase(), shift: false };
    map[lower.toUpperCase()] = { code: 'Key' + lower.toUpperCase(), shift: true };
  }
  for (let d = 0; d < 10; d++) map[String(d)] = { code: 'Digit' + d, shift: false };
  const plain = { ' ': 'Space', '`': 'Backquote', '-': 'Minus', '=': 'Equal', '[': 'BracketLeft', ']': 'BracketRight',
    '\\': 'Backslash', ';': 'Semicolon', "'": 'Quote', ',': 'Comma', '.': 'Period', '/': 'Slash', '\t': 'Tab', '\n': 'Enter' };
  const shifted = { '~': 'Backquote', '_': 'Minus', '+': 'Equal', '{': 'BracketLeft', '}': 'BracketRight', '|': 'Backslash',
    ':': 'Semicolon', '"': 'Quote', '<': 'Comma', '>': 'Period', '?': 'Slash', '!': 'Digit1', '@': 'Digit2', '#': 'Digit3',
    '$': 'Digit4', '%': 'Digit5', '^': 'Digit6', '&': 'Digit7', '*': 'Digit8', '(': 'Digit9', ')': 'Digit0' };
  for (const ch of Object.keys(plain)) map[ch] = { code: plain[ch], shift: false };
  for (const ch of Object.keys(shifted)) map[ch] = { code: shifted[ch], shift: true };
  return map;
})();

function normalizeTypeMode(value) { return value === 'live' ? 'live' : 'send'; }

function ltKeyForChar(ch) {
  return Object.prototype.hasOwnProperty.call(LT_KEYS, ch) ? LT_KEYS[ch] : null;
}

function ltGraphemes(s) {
  const text = s == null ? '' : String(s);
  if (typeof Intl !== 'undefined' && typeof Intl.Segmenter === 'function') {
    return Array.from(new Intl.Segmenter(undefined, { granularity: 'grapheme' }).segment(text), (x) => x.segment);
  }
  return Array.from(text);
}

function ltIsRealKey(ev) {
  if (ev.composing || ev.keyCode === 229) return false;
  if (!isKeyCode(ev.code) || ev.code === 'Unidentified') return false;
  if (ev.key === 'Unidentified' || ev.key === 'Process' || ev.key === 'Dead') return false;
  if (typeof ev.key === 'string' && Array.from(ev.key).length === 1 && !ev.ctrl && !ev.meta && !ev.alt) {
    const k = ltKeyForChar(ev.key);
    return !!k && k.code === ev.code && k.shift === !!ev.shift;
  }
  return true;
}

function ltStart() { return { tail: '', composing: false, hw: false }; }

function ltTrim(graphemes) {
  return graphemes.length > LT_ECHO_MAX ? graphemes.slice(-LT_ECHO_KEEP) : graphemes;
}

// Compares the field's new value with the tail the computer is taken to mirror
// and turns the difference into Backspaces and typed text.
function ltSync(state, value, ev, ops) {
  const raw = value == null ? '' : String(value);
  const next = raw.split(LT_SENTINEL).join('');
  if (state.tail === '' && next === '' && raw.indexOf(LT_SENTINEL) < 0) {
    ops.push({ op: 'tap', code: 'Backspace' });
    return;
  }
  const was = ltGraphemes(state.tail);
  const now = ltGraphemes(next);
  let same = 0;
  while (same < was.length && same < now.length && was[same] === now[same]) same++;
  const back = was.length - same;
  const added = now.slice(same).join('');
  if (added === '\n' && back === 0) {
    ops.push({ op: 'tap', code: 'Enter' });
    state.tail = '';
    return;
  }
  const addedG = now.slice(same);
  if (ev.anyMod && back === 0 && addedG.length === 1 && ltKeyForChar(addedG[0])) {
    const k = ltKeyForChar(addedG[0]);
    if (k.shift && !ev.shiftOn) {
      ops.push({ op: 'down', code: 'ShiftLeft' });
      ops.push({ op: 'tap', code: k.code });
      ops.push({ op: 'up', code: 'ShiftLeft' });
    } else {
      ops.push({ op: 'tap', code: k.code });
    }
    state.tail = '';
    return;
  }
  for (let i = 0; i < back; i++) ops.push({ op: 'tap', code: 'Backspace' });
  if (added) ops.push({ op: 'text', s: added });
  state.tail = ltTrim(now).join('');
}

function ltStep(prev, ev) {
  const s = Object.assign({}, prev);
  const ops = [];
  let prevent = false;
  let real = false;
  let field = null;
  const echo = () => LT_SENTINEL + s.tail;
  switch (ev.type) {
    case 'focus':
      s.tail = ''; s.composing = false; s.hw = false;
      field = echo();
      break;
    case 'blur':
      s.tail = ''; s.composing = false; s.hw = false;
      field = '';
      break;
    case 'reset':
      if (!s.composing) { s.tail = ''; field = echo(); }
      break;
    case 'keydown':
      real = ltIsRealKey(ev);
      s.hw = real;
      if (real) {
        prevent = true;
        const one = typeof ev.key === 'string' && Array.from(ev.key).length === 1;
        if (one && !ev.ctrl && !ev.meta && !ev.alt && !ev.anyMod) s.tail = ltTrim(ltGraphemes(s.tail + ev.key)).join('');
        else if (ev.key === 'Backspace' && !ev.ctrl && !ev.meta && !ev.alt && !ev.anyMod) s.tail = ltGraphemes(s.tail).slice(0, -1).join('');
        else if (DESK_MOD_CLASS[ev.code] === undefined && ev.code !== 'CapsLock') s.tail = '';
      }
      if (real && !s.composing) field = echo();
      break;
    case 'keyup':
      s.hw = false;
      if (!s.composing) field = echo();
      break;
    case 'compositionstart':
      s.composing = true;
      break;
    case 'compositionend':
      s.composing = false;
      ltSync(s, ev.value, ev, ops);
      field = echo();
      break;
    case 'beforeinput':
      if (s.hw) { prevent = true; break; }
      if (s.composing || LT_COMPOSITION_INPUTS.indexOf(ev.inputType) >= 0) break;
      if (ev.inputType === 'insertLineBreak' || ev.inputType === 'insertParagraph') {
        prevent = true; ops.push({ op: 'tap', code: 'Enter' }); s.tail = ''; field = echo();
      } else if (LT_FORWARD_DELETES.indexOf(ev.inputType) >= 0) {
        prevent = true; ops.push({ op: 'tap', code: 'Delete' });
      } else if (ev.inputType === 'historyUndo' || ev.inputType === 'historyRedo') {
        prevent = true;
      }
      break;
    case 'input':
      if (s.hw || s.composing) break;
      ltSync(s, ev.value, ev, ops);
      field = echo();
      break;
    default:
      break;
  }
  return { state: s, ops: ops, prevent: prevent, real: real, field: field };
}

function ltEncode(ops) {
  const out = [];
  for (const o of ops) {
    if (o.op === 'text') for (const piece of chunkText(o.s, TEXT_MAX)) out.push(encodeText(piece));
    else if (o.op === 'tap') { out.push(encodeKey(o.code, true)); out.push(encodeKey(o.code, false)); }
    else if (o.op === 'down' || o.op === 'up') out.push(encodeKey(o.code, o.op === 'down'));
  }
  return out.filter((m) => m !== null);
}

module.exports = { LT_SENTINEL, normalizeTypeMode, ltKeyForChar, ltGraphemes, ltIsRealKey, ltStart, ltStep, ltEncode,
  TYPING_KEY };
