'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const {
  chooseLayout, fitBasis, fitRect, fitScale, followView, keyboardInset, normToPoint, paintPlacement, pictureRect,
  pointToNorm,
  roomyBelowCut, squeezeLevel, stageGeometry, viewForAnchor, visibleBox,
} = require('../../../src/web/client/layout.js');

const A = 1.6;
const pick = (w, h, prev, visible) => {
  const r = chooseLayout(w, h, A, prev, visible);
  return r;
};

test('the arrangement gives the picture the room and docks the controls where they cost least', () => {
  assert.deepEqual(pick(1280, 1000, null), { mode: 'roomy', dock: 'below', rest: 'roomy' });
  assert.deepEqual(pick(1024, 768, null), { mode: 'compact', dock: 'below', rest: 'compact' });
  assert.deepEqual(pick(1920, 1080, null), { mode: 'compact', dock: 'side', rest: 'compact' });
  assert.deepEqual(pick(390, 700, null), { mode: 'compact', dock: 'below', rest: 'compact' });
  assert.deepEqual(pick(800, 340, null), { mode: 'compact', dock: 'side', rest: 'compact' });
  assert.equal(chooseLayout(1280, 1000, 0, null).mode, 'roomy', 'an unknown aspect counts as 16:10');
});

test('roomy has hysteresis: it starts at 954 px and holds down to 932 px for a 1280 px window', () => {
  let prev = pick(1280, 900, null);
  assert.equal(prev.mode, 'compact');
  prev = pick(1280, 953, prev);
  assert.equal(prev.mode, 'compact');
  prev = pick(1280, 954, prev);
  assert.equal(prev.mode, 'roomy');
  prev = pick(1280, 932, prev);
  assert.equal(prev.mode, 'roomy');
  prev = pick(1280, 931, prev);
  assert.equal(prev.mode, 'compact');
});

test('a keyboard that leaves too little collapses roomy to compact only while it is up', () => {
  const rest = pick(1280, 1000, null);
  const up = pick(1280, 1000, rest, 900);
  assert.deepEqual(up, { mode: 'compact', dock: 'below', rest: 'roomy' });
  const down = pick(1280, 1000, up, 1000);
  assert.equal(down.mode, 'roomy');
  // The compact dock is chosen at full height, so the cluster stays on its edge.
  const side = pick(800, 340, null);
  assert.equal(pick(800, 340, side, 150).dock, 'side');
});

test('the dock only changes when the other edge is at least 5% better', () => {
  // Close to the tie between side and below in compact mode.
  const find = () => {
    for (let w = 400; w < 1400; w++) {
      const h = Math.round(w / A * 0.9);
      const r = pick(w, h, null);
      if (r.mode === 'compact') {
        const flipped = pick(w, h, { mode: 'compact', dock: r.dock === 'side' ? 'below' : 'side', rest: 'compact' });
        if (flipped.dock !== r.dock) return null;
      }
    }
    return true;
  };
  assert.equal(find(), true, 'near the tie the previous dock is kept');
  // Far from the tie the better dock wins whatever came before.
  assert.equal(pick(390, 700, { mode: 'compact', dock: 'side', rest: 'compact' }).dock, 'below');
});

test('the visible box keeps 40 px and the picture covers it without gaps when zoomed', () => {
  assert.deepEqual(visibleBox(400, 300, 500, NaN), { x: 0, y: 0, w: 40, h: 300 });
  assert.deepEqual(visibleBox(30, 300, 10, -5), { x: 0, y: 0, w: 30, h: 300 });
  assert.deepEqual(visibleBox(-5, 100, 0, 20), { x: 0, y: 0, w: 0, h: 80 });
  const box = { x: 0, y: 0, w: 800, h: 500 };
  // Unzoomed 16:10 picture fills the box exactly and the centre is 0.5.
  let r = pictureRect(800, 500, box, 1600, 1000, { zoom: 1, cx: 0.1, cy: 0.9 });
  assert.deepEqual([r.x, r.y, r.w, r.h, r.cx, r.cy], [0, 0, 800, 500, 0.5, 0.5]);
  // Zoomed twice with the centre pushed to a corner: clamped so no gap shows.
  r = pictureRect(800, 500, box, 1600, 1000, { zoom: 2, cx: 0, cy: 1 });
  assert.deepEqual([r.x, r.y, r.w, r.h], [0, -500, 1600, 1000]);
  assert.equal(r.cx, 0.25);
  assert.equal(r.cy, 0.75);
  // Zoom is clamped to 1..4.
  assert.equal(pictureRect(800, 500, box, 1600, 1000, { zoom: 9 }).zoom, 4);
  assert.equal(pictureRect(800, 500, box, 1600, 1000, { zoom: 'x' }).zoom, 1);
  // The basis, not the box, sets the scale: a keyboard box keeps the size.
  r = pictureRect(800, 500, { x: 0, y: 0, w: 800, h: 200 }, 1600, 1000, { zoom: 1, cx: 0.5, cy: 0.5 });
  assert.deepEqual([r.w, r.h, r.y], [800, 500, -150]);
  assert.deepEqual(pictureRect(0, 500, box, 1600, 1000, {}), { x: 0, y: 0, w: 0, h: 0, zoom: 1, cx: 0.5, cy: 0.5 });
});

test('points and picture fractions map both ways through the drawn rect', () => {
  const g = stageGeometry(1000, 500, 0, 0, 0, 0, 1600, 1000, { zoom: 1, cx: 0.5, cy: 0.5 });
  assert.deepEqual(g.rect, { x: 100, y: 0, w: 800, h: 500, zoom: 1, cx: 0.5, cy: 0.5 });
  assert.deepEqual(pointToNorm(500, 250, g.rect), { x: 0.5, y: 0.5 });
  assert.deepEqual(pointToNorm(50, 600, g.rect), { x: 0, y: 1 });
  assert.equal(pointToNorm(1, 1, { x: 0, y: 0, w: 0, h: 10 }), null);
  assert.deepEqual(normToPoint(0.25, 0.5, g.rect), { x: 300, y: 250 });
  assert.deepEqual(fitRect({ x: 0, y: 0, w: 1000, h: 500 }, 1600, 1000), { x: 100, y: 0, w: 800, h: 500 });
  assert.equal(fitScale(100, 100, 0, 50), 0);
});

test('a picture already at the drawn size is copied unsmoothed at whole pixels; any other size is filtered', () => {
  const cases = [
    // rect, dpr, picture size, expected placement
    [{ x: 100.4, y: 0, w: 800, h: 500 }, 1, [800, 500], { x: 100, y: 0, w: 800, h: 500, smooth: false }],
    [{ x: 50.25, y: 10, w: 640, h: 400 }, 2, [1280, 800], { x: 101, y: 20, w: 1280, h: 800, smooth: false }],
    [{ x: 0, y: 0, w: 800.3, h: 499.8 }, 1, [800, 500], { x: 0, y: 0, w: 800, h: 500, smooth: false }],
    [{ x: 0, y: 0, w: 801, h: 500 }, 1, [800, 500], { x: 0, y: 0, w: 801, h: 500, smooth: true }],
    [{ x: 10, y: 5, w: 800, h: 500 }, 1, [1600, 1000], { x: 10, y: 5, w: 800, h: 500, smooth: true }],
    [{ x: 10, y: 5, w: 800, h: 500 }, 1.5, [800, 500], { x: 15, y: 7.5, w: 1200, h: 750, smooth: true }],
    [{ x: 0, y: 0, w: 800, h: 500 }, 0, [800, 500], { x: 0, y: 0, w: 800, h: 500, smooth: false }],
  ];
  for (const [rect, dpr, [pw, ph], want] of cases) {
    assert.deepEqual(paintPlacement(rect, dpr, pw, ph), want, JSON.stringify([rect, dpr, pw, ph]));
  }
  for (const [rect, pw, ph] of [[{ x: 0, y: 0, w: 0, h: 500 }, 800, 500], [{ x: 0, y: 0, w: 800, h: 500 }, 0, 500], [null, 800, 500]]) {
    assert.equal(paintPlacement(rect, 1, pw, ph), null, 'nothing to draw');
  }
});

test('a pinch anchor stays under the fingers and the view follows the pointer to the edge', () => {
  const box = { x: 0, y: 0, w: 800, h: 500 };
  const v = viewForAnchor(box, 1600, 1000, 0.25, 0.25, 200, 125);
  const r = pictureRect(800, 500, box, 1600, 1000, { zoom: 2, cx: v.cx, cy: v.cy });
  const under = pointToNorm(200, 125, r);
  assert.ok(Math.abs(under.x - 0.25) < 1e-9 && Math.abs(under.y - 0.25) < 1e-9);
  assert.deepEqual(viewForAnchor(box, 0, 10, 0.1, 0.1, 0, 0), { cx: 0.5, cy: 0.5 });
  const rect = pictureRect(800, 500, box, 1600, 1000, { zoom: 2, cx: 0.5, cy: 0.5 });
  assert.equal(followView(rect, box, { x: 0.5, y: 0.5 }, 32), null);
  const next = followView(rect, box, { x: 0.9, y: 0.5 }, 32);
  const moved = pictureRect(800, 500, box, 1600, 1000, { zoom: 2, cx: next.cx, cy: next.cy });
  assert.ok(Math.abs(moved.x + 0.9 * moved.w - (box.w - 32)) < 1e-9, 'the pointer is brought just inside the margin');
  assert.equal(moved.y, rect.y, 'an axis already inside the margin does not move');
});

test('the basis stays put while the keyboard or compose bar is up, until the key changes', () => {
  const rest = fitBasis(400, 600, 0, true, null, 'k1');
  assert.deepEqual(rest, { w: 400, h: 600, key: 'k1' });
  assert.equal(fitBasis(400, 300, 300, false, rest, 'k1'), rest);
  assert.deepEqual(fitBasis(400, 300, 300, false, rest, 'k2'), { w: 400, h: 600, key: null });
  assert.deepEqual(fitBasis(400, 300, 250, false, { w: 0, h: 0, key: 'k1' }, 'k1'), { w: 400, h: 550, key: null });
  assert.equal(keyboardInset(800, 750), 0, 'a toolbar is not a keyboard');
  assert.equal(keyboardInset(800, 740), 0);
  assert.equal(keyboardInset(800, 739), 61);
});

test('squeezing stops at the first level that leaves enough picture, else the last', () => {
  assert.equal(squeezeLevel([300, 400, 500, 600], 140), 0);
  assert.equal(squeezeLevel([100, 120, 150, 600], 140), 2);
  assert.equal(squeezeLevel([10, 20, 30, 40], 140), 3);
  const seen = [];
  assert.equal(squeezeLevel((lv) => { seen.push(lv); return lv * 100; }, 140, 4), 2);
  assert.deepEqual(seen, [0, 1, 2], 'levels past the first that fits are not measured');
  assert.equal(roomyBelowCut(710), 216);
  assert.equal(roomyBelowCut(709), 266);
});
