'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const { modifierLabel, nextModifierState } = require('../../../src/web/client/keyboard.js');
const {
  accelGain, classifyTouch, classifyTwoFinger, deskMouseButton, deskWheelStep, directTouch, directTouchStart,
  movePointer, normalizePointerMode, pointInPicture, pointerModeLabel, tapCount,
} = require('../../../src/web/client/pointer.js');

test('wheel steps carry fractions, scale lines and pages, and ignore trackpad pinches', () => {
  let r = deskWheelStep({ x: 0, y: 0 }, { deltaX: 0, deltaY: 3, deltaMode: 1 }, 600);
  assert.deepEqual([r.dx, r.dy], [0, 120]);
  let rem = { x: 0, y: 0 };
  const sent = [];
  for (let i = 0; i < 3; i++) {
    r = deskWheelStep(rem, { deltaX: 0, deltaY: 0.4, deltaMode: 0 }, 600);
    rem = r.rem;
    sent.push(r.dy);
  }
  assert.deepEqual(sent, [0, 0, 1], 'a high-resolution wheel sends 1 px on the third event');
  r = deskWheelStep({ x: 0, y: 0.8 }, { deltaX: 0, deltaY: -0.4, deltaMode: 0 }, 600);
  assert.equal(r.dy, 0);
  assert.ok(Math.abs(r.rem.y + 0.4) < 1e-9, 'reversing drops the remainder');
  r = deskWheelStep({ x: 0, y: 0 }, { deltaX: 0, deltaY: 100, deltaMode: 0, shiftKey: true }, 600);
  assert.deepEqual([r.dx, r.dy], [100, 0], 'Shift turns a vertical wheel sideways');
  r = deskWheelStep({ x: 0.5, y: 0.5 }, { deltaX: 0, deltaY: 5, deltaMode: 0, ctrlKey: true, ctrlHeld: false }, 600);
  assert.deepEqual(r, { dx: 0, dy: 0, rem: { x: 0, y: 0 } });
  r = deskWheelStep({ x: 0, y: 0 }, { deltaX: 0, deltaY: 5, deltaMode: 0, ctrlKey: true, ctrlHeld: true }, 600);
  assert.equal(r.dy, 5, 'Control held on the keyboard scrolls with Control');
  r = deskWheelStep({ x: 0, y: 0 }, { deltaX: 0, deltaY: 1, deltaMode: 2 }, 0);
  assert.equal(r.dy, 720);
  r = deskWheelStep({ x: 0, y: 0 }, { deltaX: 0, deltaY: 99999, deltaMode: 0 }, 0);
  assert.equal(r.dy, 2000);
  assert.deepEqual([0, 1, 2, 3, 4, 5].map(deskMouseButton), ['send', 'send', 'send', 'block', 'block', 'ignore']);
});

test('the trackpad pointer accelerates with speed and stays on the picture', () => {
  assert.equal(accelGain(1, 10), 1);
  assert.equal(accelGain(100, 10), 3);
  assert.equal(accelGain(NaN, 10), 1);
  assert.ok(Math.abs(accelGain(6, 10) - 1.45) < 1e-9);
  assert.deepEqual(movePointer({ x: 0.5, y: 0.5 }, 10, 0, 100, 1000, 500), { x: 0.51, y: 0.5 });
  assert.deepEqual(movePointer({ x: 0.99, y: 0.01 }, 500, -500, 10, 1000, 500), { x: 1, y: 0 });
  assert.equal(classifyTwoFinger(30, 5), 'pinch');
  assert.equal(classifyTwoFinger(-30, 5), 'pinch');
  assert.equal(classifyTwoFinger(5, 20), 'scroll');
  assert.equal(classifyTwoFinger(20, 11), null);
  assert.equal(classifyTouch(false, false, false, 280), 'click');
  assert.equal(classifyTouch(false, false, false, 400), 'none');
  assert.equal(classifyTouch(false, false, true, 400), 'click', 'a repeat tap counts however long');
  assert.equal(classifyTouch(false, true, false, 50), 'none');
  assert.equal(pointInPicture(5, 5, { x: 10, y: 10, w: 100, h: 100 }), null);
  assert.deepEqual(pointInPicture(60, 35, { x: 10, y: 10, w: 100, h: 100 }), { x: 0.5, y: 0.25 });
});

// Runs the Touch model through a list of events, returning every output.
function touchRun(events) {
  let s = directTouchStart();
  const outs = [];
  for (const ev of events) {
    const r = directTouch(s, ev);
    s = r.state;
    outs.push(r.out);
  }
  return { outs, state: s };
}

test('Touch mode clicks where the finger lands, holds for a right click and drags what it grabs', () => {
  const on = { x: 0.5, y: 0.5 };
  // A tap.
  let r = touchRun([{ type: 'down', id: 1, x: 100, y: 100, t: 0, norm: on }, { type: 'up', id: 1, x: 101, y: 100, t: 100, norm: on }]);
  assert.deepEqual(r.outs[0], [{ k: 'timer', ms: 500 }]);
  assert.deepEqual(r.outs[1].map((o) => o.k + (o.d === undefined ? '' : o.d ? '+' : '-')), ['timer-off', 'mm', 'mb+', 'mb-', 'used', 'mark']);
  assert.equal(r.outs[1][2].b, 0);
  // A second tap 20 px away is a single click at the new point; one close by is a double at the first point.
  const second = { x: 0.52, y: 0.5 };
  let s = r.state;
  let x = directTouch(s, { type: 'down', id: 2, x: 120, y: 100, t: 200, norm: second });
  x = directTouch(x.state, { type: 'up', id: 2, x: 120, y: 100, t: 250, norm: second });
  assert.equal(x.out[2].c, 1);
  assert.deepEqual([x.out[1].x, x.out[1].y], [0.52, 0.5]);
  x = directTouch(x.state, { type: 'down', id: 3, x: 125, y: 100, t: 400, norm: { x: 0.53, y: 0.5 } });
  x = directTouch(x.state, { type: 'up', id: 3, x: 125, y: 100, t: 450, norm: { x: 0.53, y: 0.5 } });
  assert.equal(x.out[2].c, 2);
  assert.deepEqual([x.out[1].x, x.out[1].y], [0.52, 0.5], 'the double click goes to the first tap\'s point');
  // Holding 500 ms right-clicks while still down; the lift then sends nothing.
  r = touchRun([{ type: 'down', id: 1, x: 100, y: 100, t: 0, norm: on }, { type: 'timer', t: 500 }, { type: 'up', id: 1, x: 100, y: 100, t: 900, norm: on }]);
  assert.deepEqual(r.outs[1].filter((o) => o.k === 'mb').map((o) => [o.b, o.d]), [[1, true], [1, false]]);
  assert.deepEqual(r.outs[1].at(-1), { k: 'mark', kind: 'hold' });
  assert.deepEqual(r.outs[2], [{ k: 'timer-off' }]);
  // A drag presses where the finger landed and lets go where it lifts.
  r = touchRun([
    { type: 'down', id: 1, x: 100, y: 100, t: 0, norm: on },
    { type: 'move', id: 1, x: 105, y: 100, t: 20, norm: { x: 0.505, y: 0.5 } },
    { type: 'move', id: 1, x: 130, y: 100, t: 40, norm: { x: 0.53, y: 0.5 } },
    { type: 'up', id: 1, x: 140, y: 100, t: 60, norm: { x: 0.54, y: 0.5 } },
  ]);
  assert.deepEqual(r.outs[1], [], 'under 10 px nothing happens');
  assert.deepEqual(r.outs[2].map((o) => o.k), ['timer-off', 'mm', 'mb', 'mm']);
  assert.deepEqual([r.outs[2][1].x, r.outs[2][2].d], [0.5, true]);
  assert.deepEqual(r.outs[3].map((o) => o.k), ['timer-off', 'mm', 'mb', 'used']);
  assert.deepEqual([r.outs[3][2].x, r.outs[3][2].d], [0.54, false]);
  // On the bars around the picture nothing is ever sent.
  r = touchRun([{ type: 'down', id: 1, x: 5, y: 5, t: 0, norm: null }, { type: 'timer', t: 500 }, { type: 'up', id: 1, x: 5, y: 5, t: 600, norm: null }]);
  assert.ok(r.outs.flat().every((o) => o.k.startsWith('timer')));
  // A second finger while pending hands over to a two-finger gesture.
  r = touchRun([{ type: 'down', id: 1, x: 100, y: 100, t: 0, norm: on }, { type: 'down', id: 2, x: 200, y: 100, t: 30, norm: on }]);
  assert.deepEqual(r.outs[1], [{ k: 'timer-off' }, { k: 'two' }]);
  // Releasing mid-drag lets the button go.
  r = touchRun([{ type: 'down', id: 1, x: 100, y: 100, t: 0, norm: on }, { type: 'move', id: 1, x: 150, y: 100, t: 10, norm: on }, { type: 'release' }]);
  assert.deepEqual(r.outs[2].map((o) => o.k), ['timer-off', 'mb', 'used']);
  assert.deepEqual(tapCount({ t: 0, x: 0, y: 0, clicks: 3 }, { x: 1, y: 1 }, 100, 18, 300), 3);
});

test('sticky modifiers lock on a quick second tap and say so', () => {
  assert.equal(nextModifierState('off', 0), 'armed');
  assert.equal(nextModifierState('armed', 400), 'locked');
  assert.equal(nextModifierState('armed', 401), 'off');
  assert.equal(nextModifierState('locked', 10), 'off');
  assert.equal(modifierLabel('Shift', 'armed'), 'Shift, on for the next key. Tap again quickly to lock.');
  assert.equal(modifierLabel('Command', 'locked'), 'Command, locked on. Tap to release.');
  assert.equal(modifierLabel('Option', 'off'), 'Option, off');
  assert.equal(pointerModeLabel('touch'), 'Touch');
  assert.equal(normalizePointerMode('x'), 'trackpad');
});
