'use strict';
// Pointer and touch, the pure half: the Trackpad and Touch models, taps,
// two-finger gestures and wheel steps.
const { SCROLL_MAX } = require('./encoders.js');
const { clamp, isNum } = require('./numbers.js');

const TAP_SLOP = 10;
const TAP_MAX_MS = 300;
const DOUBLE_TAP_MS = 350;
const DOUBLE_TAP_DIST = 48;
const PINCH_SLOP = 24;
const SCROLL_SLOP = 10;
const TOUCH_SCROLL_GAIN = 2;
const TOUCH_SLOP = 10;
const TOUCH_HOLD_MS = 500;
// A hold timer that runs this much late says the page was held back, and
// it looks again once the page has kept time this long.
const TOUCH_HOLD_LATE_MS = 50;
const TOUCH_HOLD_SETTLE_MS = 100;
const TOUCH_DOUBLE_DIST = 18;
const TOUCH_DOUBLE_MS = 300;
const GHOST_MOUSE_MS = 1000;
const MARK_LINGER_MS = 2000;
const TAP_MARK_MS = 600;
const HINT_MS = 7000;
const SWITCH_HINT_MS = 3000;
const DESK_WHEEL_LINE_PX = 40;
const DESK_WHEEL_PAGE_PX = 800;
const POINTER_KEY = 'morvane.pointer';
const TOUCH_HINT_KEY = 'morvane.touchHintSeen';

function accelGain(distance, dt) {
  if (!isNum(distance) || !isNum(dt)) return 1;
  const speed = distance / Math.max(1, dt);
  return clamp(1 + (speed - 0.3) * 1.5, 1, 3);
}

function movePointer(pointer, dx, dy, dt, width, height) {
  if (!(width > 0) || !(height > 0)) return { x: pointer.x, y: pointer.y };
  const gain = accelGain(Math.hypot(dx, dy), dt);
  return {
    x: clamp(pointer.x + dx * gain / width, 0, 1),
    y: clamp(pointer.y + dy * gain / height, 0, 1),
  };
}

function classifyTwoFinger(spreadChange, centreMove) {
  const spread = Math.abs(spreadChange);
  if (spread >= PINCH_SLOP && spread > centreMove) return 'pinch';
  if (centreMove >= SCROLL_SLOP && centreMove > 0.6 * spread) return 'scroll';
  return null;
}

function tapCount(lastTap, landing, t, maxDist, maxMs) {
  if (!lastTap || !landing) return 1;
  if (t - lastTap.t > maxMs) return 1;
  if (Math.hypot(landing.x - lastTap.x, landing.y - lastTap.y) > maxDist) return 1;
  return Math.min(3, (lastTap.clicks || 1) + 1);
}

// Whether a lifted Trackpad finger is a click: not cancelled, not moved,
// and a repeat or short enough.
function classifyTouch(cancelled, moved, repeat, heldMs) {
  return !cancelled && !moved && (repeat || heldMs <= TAP_MAX_MS) ? 'click' : 'none';
}

function pointInPicture(px, py, rect) {
  if (!rect || !(rect.w > 0) || !(rect.h > 0)) return null;
  if (px < rect.x || py < rect.y || px > rect.x + rect.w || py > rect.y + rect.h) return null;
  return { x: (px - rect.x) / rect.w, y: (py - rect.y) / rect.h };
}

function directTouchStart() { return { one: null, lastTap: null }; }

// The Touch pointer model: the finger is the pointer. Events carry stage
// positions, the time and `norm`, the picture point under the finger.
function directTouch(prev, ev) {
  const s = { one: prev.one ? Object.assign({}, prev.one) : null, lastTap: prev.lastTap };
  const out = [];
  const click = (b, p, clicks) => {
    out.push({ k: 'mm', x: p.x, y: p.y });
    out.push({ k: 'mb', b: b, d: true, x: p.x, y: p.y, c: clicks });
    out.push({ k: 'mb', b: b, d: false, x: p.x, y: p.y, c: clicks });
    out.push({ k: 'used' });
  };
  const hold = () => {
    s.lastTap = null;
    if (s.one.norm) { click(1, s.one.norm, 1); out.push({ k: 'mark', kind: 'hold' }); }
    s.one.phase = 'done';
  };
  const one = s.one;
  switch (ev.type) {
    case 'down':
      if (!one) {
        s.one = { id: ev.id, x: ev.x, y: ev.y, t: ev.t, norm: ev.norm || null, last: ev.norm || null, phase: 'pending' };
        out.push({ k: 'timer', ms: TOUCH_HOLD_MS });
      } else if (one.phase === 'pending' && ev.id !== one.id) {
        s.one = null;
        out.push({ k: 'timer-off' });
        out.push({ k: 'two' });
      }
      break;
    case 'move':
      if (!one || ev.id !== one.id) break;
      if (one.phase === 'pending' && Math.hypot(ev.x - one.x, ev.y - one.y) >= TOUCH_SLOP) {
        out.push({ k: 'timer-off' });
        s.lastTap = null;
        if (one.norm) {
          out.push({ k: 'mm', x: one.norm.x, y: one.norm.y });
          out.push({ k: 'mb', b: 0, d: true, x: one.norm.x, y: one.norm.y, c: 1 });
          one.phase = 'drag';
        } else {
          one.phase = 'done';
        }
      }
      if (one.phase === 'drag' && ev.norm) {
        out.push({ k: 'mm', x: ev.norm.x, y: ev.norm.y });
        one.last = ev.norm;
      }
      break;
    case 'timer':
      if (one && one.phase === 'pending') hold();
      break;
    case 'up':
      if (!one || ev.id !== one.id) break;
      out.push({ k: 'timer-off' });
      if (one.phase === 'drag') {
        if (!ev.cancelled && ev.norm) { out.push({ k: 'mm', x: ev.norm.x, y: ev.norm.y }); one.last = ev.norm; }
        out.push({ k: 'mb', b: 0, d: false, x: one.last.x, y: one.last.y, c: 1 });
        out.push({ k: 'used' });
      } else if (one.phase === 'pending') {
        if (ev.cancelled) s.lastTap = null;
        else if (ev.t - one.t >= TOUCH_HOLD_MS) hold();
        else if (one.norm) {
          const clicks = tapCount(s.lastTap, one, ev.t, TOUCH_DOUBLE_DIST, TOUCH_DOUBLE_MS);
          const at = clicks > 1 && s.lastTap.norm ? s.lastTap.norm : one.norm;
          click(0, at, clicks);
          out.push({ k: 'mark', kind: 'tap' });
          s.lastTap = { x: one.x, y: one.y, t: ev.t, norm: at, clicks: clicks };
        }
      }
      s.one = null;
      break;
    case 'release':
      out.push({ k: 'timer-off' });
      if (one && one.phase === 'drag') {
        out.push({ k: 'mb', b: 0, d: false, x: one.last.x, y: one.last.y, c: 1 });
        out.push({ k: 'used' });
      }
      s.one = null;
      s.lastTap = null;
      break;
    default:
      break;
  }
  return { state: s, out: out };
}

function normalizePointerMode(value) { return value === 'touch' ? 'touch' : 'trackpad'; }
function pointerModeLabel(mode) { return mode === 'touch' ? 'Touch' : 'Trackpad'; }
function pointerModeNote(mode) {
  return mode === 'touch'
    ? 'Tap where you want to click. Touch and hold for a right click, drag to move things or select. Two fingers scroll, a pinch zooms.'
    : 'Drag to move the pointer, tap to click where the ring is. Tap twice and drag to drag. Two fingers scroll, a two-finger tap is a right click, a pinch zooms.';
}
function pointerSwitchHint(mode) {
  return mode === 'touch' ? 'Pointer: Touch. Tap where you want to click.' : 'Pointer: Trackpad. Drag to move the ring, tap to click.';
}

function deskMouseButton(button) {
  if (button === 0 || button === 1 || button === 2) return 'send';
  if (button === 3 || button === 4) return 'block';
  return 'ignore';
}

// One wheel event to whole scroll pixels, carrying fractions forward.
function deskWheelStep(rem, ev, pagePx) {
  const r = { x: rem && isNum(rem.x) ? rem.x : 0, y: rem && isNum(rem.y) ? rem.y : 0 };
  const scale = ev.deltaMode === 1 ? DESK_WHEEL_LINE_PX
    : ev.deltaMode === 2 ? 0.9 * (pagePx > 0 ? pagePx : DESK_WHEEL_PAGE_PX) : 1;
  if (ev.ctrlKey && !ev.ctrlHeld) return { dx: 0, dy: 0, rem: { x: 0, y: 0 } };
  let ex = isNum(ev.deltaX) ? ev.deltaX : 0;
  let ey = isNum(ev.deltaY) ? ev.deltaY : 0;
  if (ev.shiftKey && ex === 0) { ex = ey; ey = 0; }
  const axis = (delta, carried) => {
    const d = delta * scale;
    const total = d + (carried !== 0 && Math.sign(carried) === Math.sign(d) ? carried : 0);
    const whole = clamp(Math.trunc(total), -SCROLL_MAX, SCROLL_MAX) + 0;
    const left = d === 0 ? carried : clamp(total - whole, -1, 1);
    return { whole: whole, left: left };
  };
  const ax = axis(ex, r.x);
  const ay = axis(ey, r.y);
  return { dx: ax.whole, dy: ay.whole, rem: { x: ax.left, y: ay.left } };
}

module.exports = { accelGain, movePointer, classifyTwoFinger, tapCount, classifyTouch, pointInPicture,
  directTouchStart, directTouch, normalizePointerMode, pointerModeLabel, pointerModeNote, pointerSwitchHint,
  deskMouseButton, deskWheelStep, TAP_SLOP, TAP_MAX_MS, DOUBLE_TAP_MS, DOUBLE_TAP_DIST, TOUCH_SCROLL_GAIN,
  GHOST_MOUSE_MS, MARK_LINGER_MS, TAP_MARK_MS, HINT_MS, SWITCH_HINT_MS, POINTER_KEY, TOUCH_HINT_KEY, TOUCH_HOLD_LATE_MS,
  TOUCH_HOLD_SETTLE_MS };
