'use strict';
// Keyboards, the pure half: sticky modifiers, the key buttons' chords, and
// the physical-keyboard tracker (what the host holds from what is held here).
const { isKeyCode } = require('./encoders.js');
const { isNum } = require('./numbers.js');

const MOD_LOCK_MS = 400;
// How long Escape is held on the picture before focus leaves it, so that a
// keyboard is never trapped there while Tab goes to the computer.
const STAGE_LEAVE_MS = 1000;
const MODIFIER_CODES = ['MetaLeft', 'MetaRight', 'OSLeft', 'OSRight', 'ControlLeft', 'ControlRight', 'AltLeft', 'AltRight',
  'ShiftLeft', 'ShiftRight'];
const MODIFIER_NAMES = { ControlLeft: 'Control', AltLeft: 'Alt', OSLeft: 'Super', ShiftLeft: 'Shift' };
const DESK_MOD_CLASS = {
  ControlLeft: 'ctrl', ControlRight: 'ctrl', ShiftLeft: 'shift', ShiftRight: 'shift', AltLeft: 'alt', AltRight: 'alt',
  MetaLeft: 'meta', MetaRight: 'meta', OSLeft: 'meta', OSRight: 'meta',
};
// The key beside Control goes out under one of two names, which the host
// keeps apart: an Apple keyboard's Command as "Meta" (Control on the
// computer, so Command+C copies as a Mac's owner expects), any other
// keyboard's Windows or Super key as "OS" (Super on the computer).
const DESK_APPLE_META = { MetaLeft: 'MetaLeft', MetaRight: 'MetaRight', OSLeft: 'MetaLeft', OSRight: 'MetaRight' };
const DESK_OS_META = { MetaLeft: 'OSLeft', MetaRight: 'OSRight', OSLeft: 'OSLeft', OSRight: 'OSRight' };
const DESK_LOCAL = ['CapsLock', 'PrintScreen', 'ScrollLock', 'Pause'];
const DESK_LOCAL_RE = /^(Audio|Media|Browser|Launch|Volume|Power$|Sleep$|WakeUp$|Eject$)/;
const DESK_NUMPAD_NAV = ['Insert', 'End', 'ArrowDown', 'PageDown', 'ArrowLeft', 'ArrowRight', 'Home', 'ArrowUp', 'PageUp', 'Delete'];
const DESK_NUMPAD_RE = /^Numpad([0-9]|Decimal)$/;

// Chords that end or interrupt the desktop session, which the on-screen
// keys send only once asked: X ends the session on Ctrl+Alt+Backspace where
// zapping is on, desktops log out on Ctrl+Alt+Delete and kill the next
// window clicked on Ctrl+Alt+Escape, and Ctrl+Alt with a function key
// leaves the desktop for a text console. Whatever else is held, and in
// whatever order the modifiers came, Control and Alt make the chord; the
// host holds Control for Meta.
const SESSION_CHORD_WHY = {
  Backspace: 'Where the computer allows it, this ends its desktop session at once, and anything not saved is lost.',
  Delete: 'On many desktops this logs out after a short countdown, or restarts the computer.',
  Escape: 'On some desktops this turns the pointer into a tool that kills the next window it clicks.',
};
const SESSION_CHORD_CONSOLE = 'This switches the computer to a text console, away from the desktop shown here.';
const CHORD_CTRL = ['ControlLeft', 'ControlRight', 'MetaLeft', 'MetaRight'];
const CHORD_ALT = ['AltLeft', 'AltRight'];

// The question asked before `key` goes with `modifiers` held, or null.
function sessionChordQuestion(modifiers, key) {
  const held = Array.isArray(modifiers) ? modifiers : [];
  const has = (codes) => held.some((c) => codes.indexOf(c) >= 0);
  if (!has(CHORD_CTRL) || !has(CHORD_ALT)) return null;
  let why = null;
  if (/^F([1-9]|1[0-2])$/.test(key)) why = SESSION_CHORD_CONSOLE;
  else if (Object.prototype.hasOwnProperty.call(SESSION_CHORD_WHY, key)) why = SESSION_CHORD_WHY[key];
  if (!why) return null;
  const names = ['Ctrl', 'Alt'];
  if (has(['ShiftLeft', 'ShiftRight'])) names.push('Shift');
  if (has(['OSLeft', 'OSRight'])) names.push('Super');
  return 'Send ' + names.join('+') + '+' + key + '? ' + why;
}

function nextModifierState(state, msSinceLastTap) {
  if (state === 'off') return 'armed';
  if (state === 'armed') return msSinceLastTap <= MOD_LOCK_MS ? 'locked' : 'off';
  return 'off';
}

function modifierLabel(name, state) {
  if (state === 'armed') return name + ', on for the next key. Tap again quickly to lock.';
  if (state === 'locked') return name + ', locked on. Tap to release.';
  return name + ', off';
}

function deskPlatform(userAgent, platform, uaPlatform, maxTouchPoints) {
  const ua = String(userAgent || '');
  const pf = String(platform || '');
  const hint = String(uaPlatform || '');
  const touch = isNum(maxTouchPoints) ? maxTouchPoints : 0;
  const desktopEngine = /(Chrome|Chromium|Firefox|Edg)\//.test(ua);
  if (/iPhone|iPod|iPad/.test(pf)) return 'ios';
  if (/^win/i.test(pf)) return 'windows';
  if (/^Mac/.test(pf)) return touch > 1 && !desktopEngine ? 'ios' : 'mac';
  if (/android/i.test(pf) || (/linux|arm|aarch/i.test(pf) && (/android/i.test(hint) || /Android/.test(ua)))) return 'android';
  if (/linux|x11|cros/i.test(pf)) return /CrOS/.test(ua) || /chrome ?os|chromium ?os/i.test(hint) ? 'chromeos' : 'linux';
  if (pf) return 'other';
  if (/windows/i.test(hint)) return 'windows';
  if (/macos/i.test(hint)) return 'mac';
  if (/android/i.test(hint)) return 'android';
  if (/chrome ?os|chromium ?os/i.test(hint)) return 'chromeos';
  if (/linux/i.test(hint)) return 'linux';
  if (/iPhone|iPod|iPad/.test(ua)) return 'ios';
  if (/Android/.test(ua)) return 'android';
  if (/Windows/.test(ua)) return 'windows';
  if (/CrOS/.test(ua)) return 'chromeos';
  if (/Macintosh|Mac OS X/.test(ua)) return 'mac';
  if (/Linux|X11/.test(ua)) return 'linux';
  return 'other';
}

function isApple(platform) { return platform === 'mac' || platform === 'ios'; }

function deskDefaults() { return { typeChars: false }; }

function deskSetting(stored, fallback) {
  if (stored === '1') return true;
  if (stored === '0') return false;
  return !!fallback;
}

function deskIsLocal(code) { return DESK_LOCAL.indexOf(code) >= 0 || DESK_LOCAL_RE.test(code); }

function deskMapCode(code, opts) {
  const o = opts || {};
  if (!isKeyCode(code) || deskIsLocal(code)) return null;
  if (code === 'NumLock') return isApple(o.platform) ? 'NumLock' : null;
  if (DESK_MOD_CLASS[code] === 'meta') return (isApple(o.platform) ? DESK_APPLE_META : DESK_OS_META)[code];
  return code;
}

function deskPrintable(key) {
  if (typeof key !== 'string') return '';
  const cps = Array.from(key);
  if (cps.length !== 1) return '';
  const cp = cps[0].codePointAt(0);
  return cp >= 0x20 && cp !== 0x7f ? key : '';
}

function deskKeyAction(ev, held, opts) {
  const o = opts || {};
  const mapped = deskMapCode(ev.code, o);
  if (mapped === null) return { kind: 'local' };
  if (!isApple(o.platform) && DESK_NUMPAD_RE.test(ev.code)) {
    if (ev.key === 'Clear') return { kind: 'quiet' };
    if (DESK_NUMPAD_NAV.indexOf(ev.key) >= 0) return { kind: 'key', code: ev.key };
  }
  const shortcut = held.meta || held.sticky || (held.ctrl && !held.altGr);
  if (ev.key === 'Dead' && !shortcut && (held.altGr || o.chars)) return { kind: 'quiet' };
  if (ev.key === 'Process' && o.chars) return { kind: 'quiet' };
  const ch = deskPrintable(ev.key);
  if (ch && mapped === ev.code && ev.code !== 'Space' && !/^Numpad/.test(ev.code) && !shortcut) {
    if (held.altGr) return { kind: 'text', text: ch };
    if (held.alt) {
      if (isApple(o.platform) && o.chars) return { kind: 'text', text: ch };
    } else if (o.chars) {
      return { kind: 'text', text: ch };
    } else if (ev.caps && ch.toLowerCase() !== ch.toUpperCase()) {
      return { kind: 'text', text: ch };
    }
  }
  return { kind: 'key', code: mapped };
}

function deskKeysStart() { return { phys: [], sent: [] }; }

function deskHolds(state, cls) {
  return !!state && state.phys.some((e) => e.kind === 'mod' && e.cls === cls && e.send !== null);
}

// The physical-keyboard tracker: from the keys held here, what the computer
// should hold, sending only the difference.
function deskKeyStep(prev, ev, opts) {
  const o = opts || {};
  let phys = prev.phys.map((e) => Object.assign({}, e));
  let prevent = true;
  let repeatCode = null;
  let text = null;
  if (ev.type === 'release') {
    phys = ev.modifiers ? [] : phys.filter((e) => e.kind === 'mod');
  } else if ((ev.type !== 'down' && ev.type !== 'up') || !isKeyCode(ev.code)) {
    return { state: prev, out: [], prevent: false };
  } else {
    for (const [cls, flag] of [['ctrl', ev.ctrl], ['alt', ev.alt], ['shift', ev.shift]]) {
      if (flag === false) {
        phys = phys.filter((e) => !(e.kind === 'mod' && e.cls === cls && !(ev.type === 'down' && e.code === ev.code)));
      }
    }
    const modClass = DESK_MOD_CLASS[ev.code];
    if (ev.type === 'down' && modClass) {
      if (!phys.some((e) => e.code === ev.code)) {
        if (ev.code === 'AltRight' && ev.key === 'AltGraph') {
          for (const e of phys) if (e.code === 'ControlLeft') e.send = null;
          phys.push({ code: ev.code, cls: 'altgr', kind: 'mod', send: null });
        } else {
          phys.push({ code: ev.code, cls: modClass, kind: 'mod', send: deskMapCode(ev.code, o) });
        }
      }
    } else if (ev.type === 'down') {
      const has = (cls) => phys.some((e) => e.kind === 'mod' && e.cls === cls && e.send !== null);
      const held = {
        ctrl: has('ctrl'), alt: has('alt'), meta: has('meta'),
        altGr: phys.some((e) => e.cls === 'altgr') || !!ev.altGraph, sticky: !!ev.sticky,
      };
      const action = deskKeyAction(ev, held, o);
      if (action.kind === 'local') return { state: prev, out: [], prevent: false };
      const existing = phys.find((e) => e.code === ev.code);
      if (existing && existing.kind === 'key') {
        repeatCode = existing.send;
      } else {
        phys = phys.filter((e) => e.code !== ev.code);
        phys.push({ code: ev.code, cls: null, kind: action.kind, send: action.kind === 'key' ? action.code : null });
        if (action.kind === 'text') text = action.text;
      }
    } else {
      const entry = phys.find((e) => e.code === ev.code);
      phys = phys.filter((e) => e.code !== ev.code);
      if (entry && entry.kind === 'mod' && entry.cls === 'meta') phys = phys.filter((e) => e.kind === 'mod');
      if (!modClass && deskMapCode(ev.code, o) === null) prevent = false;
    }
  }
  const wantMods = [];
  for (const e of phys) if (e.kind === 'mod' && e.send && wantMods.indexOf(e.send) < 0) wantMods.push(e.send);
  const wantKeys = [];
  for (const e of phys) if (e.kind === 'key' && e.send && wantKeys.indexOf(e.send) < 0) wantKeys.push(e.send);
  const isMod = (c) => MODIFIER_CODES.indexOf(c) >= 0;
  const out = [];
  for (const c of prev.sent) if (!isMod(c) && wantKeys.indexOf(c) < 0) out.push({ k: c, d: false });
  for (const c of prev.sent) if (isMod(c) && wantMods.indexOf(c) < 0) out.push({ k: c, d: false });
  for (const c of wantMods) if (prev.sent.indexOf(c) < 0) out.push({ k: c, d: true });
  for (const c of wantKeys) if (prev.sent.indexOf(c) < 0) out.push({ k: c, d: true });
  if (repeatCode && wantKeys.indexOf(repeatCode) >= 0 && prev.sent.indexOf(repeatCode) >= 0) out.push({ k: repeatCode, d: true });
  if (text) out.push({ s: text });
  return { state: { phys: phys, sent: wantMods.concat(wantKeys) }, out: out, prevent: prevent };
}

function deskKeptText(platform, canLock) {
  let t;
  if (platform === 'windows') {
    t = 'click the picture and type, and most keys go straight to the computer. Windows and this browser keep a few: the Windows key alone, Alt+Tab, Alt+F4, Print Screen, and usually Ctrl+W, Ctrl+T and Ctrl+N. Send those with these buttons.';
  } else if (platform === 'mac') {
    t = 'click the picture and type, and most keys go straight to the computer, where ⌘ acts as Ctrl: ⌘C copies. This Mac keeps a few: ⌘Tab, ⌘Space, ⌘Q, ⌘H, ⌘W and ⌘`. Send those with these buttons.';
  } else {
    t = 'click the picture and type, and most keys go straight to the computer. This device and this browser take a few shortcuts first, such as the Super key, Alt+Tab, Ctrl+W and Ctrl+Q. Send those with these buttons.';
  }
  return canLock ? t + ' Or use Capture all keys in More.' : t;
}

function deskCaptureText(state, platform) {
  if (state === 'unsupported') return 'This browser cannot capture system shortcuts. Chrome and Edge can, in full screen. Here, use the buttons in Keys.';
  if (state === 'refused') return 'The browser did not allow it. Use the buttons in Keys instead.';
  if (state === 'on') return 'Capturing: every key the browser can take goes to the computer. Hold Esc to stop.';
  if (platform === 'mac') return 'Goes full screen and sends the shortcuts this browser would keep, such as ⌘W and ⌘T. macOS may still keep ⌘Tab and ⌘Space. Hold Esc to stop.';
  return 'Goes full screen and sends the shortcuts this device would keep, such as Alt+Tab, to the computer. Hold Esc to stop.';
}

module.exports = { nextModifierState, modifierLabel, deskPlatform, deskDefaults, deskSetting, deskMapCode,
  deskPrintable, deskKeyAction, deskKeysStart, deskHolds, deskKeyStep, deskKeptText, deskCaptureText,
  sessionChordQuestion, MODIFIER_NAMES, DESK_MOD_CLASS, MODIFIER_CODES, STAGE_LEAVE_MS };
