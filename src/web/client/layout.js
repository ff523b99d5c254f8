'use strict';
// Layout, the pure half: the arithmetic of the session screen (where the
// picture goes, how big, which controls fit around it).
const { clamp, isNum } = require('./numbers.js');

const CUT_COMPACT_SIDE = 76;
const CUT_COMPACT_BELOW = 64;
const CUT_ROOMY_SIDE = 352;
const BOX_MIN_PX = 40;
const KEYBOARD_MIN_PX = 60;
const MIN_PICTURE_PX = 140;
const ZOOM_MIN = 1;
const ZOOM_MAX = 4;
const FOLLOW_MARGIN = 32;
const DEFAULT_ASPECT = 1.6;

function roomyBelowCut(width) { return width >= 710 ? 216 : 266; }

function fitScale(boxW, boxH, picW, picH) {
  if (!(boxW > 0 && boxH > 0 && picW > 0 && picH > 0)) return 0;
  return Math.min(boxW / picW, boxH / picH);
}

function fitRect(box, picW, picH) {
  const s = box ? fitScale(box.w, box.h, picW, picH) : 0;
  if (!(s > 0)) return { x: 0, y: 0, w: 0, h: 0 };
  const w = picW * s, h = picH * s;
  return { x: (box.x || 0) + (box.w - w) / 2, y: (box.y || 0) + (box.h - h) / 2, w: w, h: h };
}

function visibleBox(stageW, stageH, cutRight, cutBottom) {
  const W = stageW > 0 ? stageW : 0;
  const H = stageH > 0 ? stageH : 0;
  const cut = (c, size) => {
    const v = isNum(c) ? c : 0;
    if (size < BOX_MIN_PX) return 0;
    return clamp(v, 0, size - BOX_MIN_PX);
  };
  return { x: 0, y: 0, w: W - cut(cutRight, W), h: H - cut(cutBottom, H) };
}

function pictureRect(basisW, basisH, box, picW, picH, view) {
  const v = view || {};
  const s = fitScale(basisW, basisH, picW, picH);
  if (!(s > 0) || !box || !(box.w > 0) || !(box.h > 0)) {
    return { x: 0, y: 0, w: 0, h: 0, zoom: 1, cx: 0.5, cy: 0.5 };
  }
  const zoom = clamp(isNum(v.zoom) ? v.zoom : 1, ZOOM_MIN, ZOOM_MAX);
  const w = picW * s * zoom;
  const h = picH * s * zoom;
  const place = (start, size, drawn, c) => {
    if (drawn <= size) return { pos: start + (size - drawn) / 2, c: 0.5 };
    const centre = clamp(isNum(c) ? c : 0.5, 0, 1);
    let pos = start + size / 2 - centre * drawn;
    pos = clamp(pos, start + size - drawn, start);
    return { pos: pos, c: (start + size / 2 - pos) / drawn };
  };
  const px = place(box.x || 0, box.w, w, v.cx);
  const py = place(box.y || 0, box.h, h, v.cy);
  return { x: px.pos, y: py.pos, w: w, h: h, zoom: zoom, cx: px.c, cy: py.c };
}

function stageGeometry(stageW, stageH, cutRight, cutBottom, basisW, basisH, picW, picH, view) {
  const box = visibleBox(stageW, stageH, cutRight, cutBottom);
  const bw = basisW > 0 ? basisW : stageW;
  const bh = basisH > 0 ? basisH : stageH;
  return { box: box, rect: pictureRect(bw, bh, box, picW, picH, view) };
}

// Where the picture lands in canvas pixels. A picture that already has the
// drawn size is copied pixel for pixel at a whole-pixel spot: smoothing it
// would only blur it and cost a filtering pass on every frame.
function paintPlacement(rect, dpr, picW, picH) {
  const r = isNum(dpr) && dpr > 0 ? dpr : 1;
  if (!rect || !(rect.w > 0) || !(rect.h > 0) || !(picW > 0) || !(picH > 0)) return null;
  const x = rect.x * r, y = rect.y * r, w = rect.w * r, h = rect.h * r;
  if (Math.abs(w - picW) < 0.5 && Math.abs(h - picH) < 0.5) {
    return { x: Math.round(x), y: Math.round(y), w: picW, h: picH, smooth: false };
  }
  return { x: x, y: y, w: w, h: h, smooth: true };
}

function pointToNorm(px, py, rect) {
  if (!rect || !(rect.w > 0) || !(rect.h > 0)) return null;
  return { x: clamp((px - rect.x) / rect.w, 0, 1), y: clamp((py - rect.y) / rect.h, 0, 1) };
}

function normToPoint(u, v, rect) {
  return { x: rect.x + u * rect.w, y: rect.y + v * rect.h };
}

function viewForAnchor(box, w, h, u, v, sx, sy) {
  if (!(w > 0) || !(h > 0)) return { cx: 0.5, cy: 0.5 };
  return { cx: u + (box.x + box.w / 2 - sx) / w, cy: v + (box.y + box.h / 2 - sy) / h };
}

function followView(rect, box, pos, margin) {
  if (!rect || !(rect.w > 0) || !(rect.h > 0) || !box || !pos) return null;
  const axis = (start, size, rs, rsize, f) => {
    const m = Math.min(margin, size / 2);
    const p = rs + f * rsize;
    let shift = 0;
    if (p < start + m) shift = start + m - p;
    else if (p > start + size - m) shift = start + size - m - p;
    return { shift: shift, c: (start + size / 2 - (rs + shift)) / rsize };
  };
  const ax = axis(box.x, box.w, rect.x, rect.w, pos.x);
  const ay = axis(box.y, box.h, rect.y, rect.h, pos.y);
  if (ax.shift === 0 && ay.shift === 0) return null;
  return { cx: ax.c, cy: ay.c };
}

function fitBasis(stageW, stageH, kbInset, atRest, remembered, key) {
  if (atRest) return { w: stageW, h: stageH, key: key };
  if (remembered && remembered.key != null && remembered.key === key && remembered.w > 0 && remembered.h > 0) {
    return remembered;
  }
  return { w: stageW, h: stageH + (kbInset > 0 ? kbInset : 0), key: null };
}

function keyboardInset(innerHeight, visibleHeight) {
  const loss = innerHeight - visibleHeight;
  return isNum(loss) && loss > KEYBOARD_MIN_PX ? loss : 0;
}

function fittedArea(w, h, a) {
  if (!(w > 0) || !(h > 0)) return 0;
  const pw = Math.min(w, h * a);
  return pw * (pw / a);
}

function chooseLayout(width, height, aspect, prev, visibleHeight) {
  const a = aspect > 0 ? aspect : DEFAULT_ASPECT;
  const areas = (h) => ({
    compactSide: fittedArea(width - CUT_COMPACT_SIDE, h, a),
    compactBelow: fittedArea(width, h - CUT_COMPACT_BELOW, a),
    roomySide: fittedArea(width - CUT_ROOMY_SIDE, h, a),
    roomyBelow: fittedArea(width, h - roomyBelowCut(width), a),
  });
  const pickDock = (side, below, mode) => {
    let dock = side > below ? 'side' : 'below';
    if (prev && prev.mode === mode && prev.dock && prev.dock !== dock) {
      const big = Math.max(side, below);
      const small = Math.min(side, below);
      if (!(big >= small * 1.05)) dock = prev.dock;
    }
    return dock;
  };
  const wasRoomy = !!prev && (prev.rest || prev.mode) === 'roomy';
  const share = wasRoomy ? 0.8 : 0.85;
  const gate = (h) => (wasRoomy ? width >= 600 && h >= 460 : width >= 640 && h >= 500);
  const full = areas(height);
  const roomyDock = pickDock(full.roomySide, full.roomyBelow, 'roomy');
  const fits = (h) => {
    if (!gate(h)) return false;
    const ar = areas(h);
    const compact = Math.max(ar.compactSide, ar.compactBelow);
    const roomy = roomyDock === 'side' ? ar.roomySide : ar.roomyBelow;
    return compact > 0 && roomy >= share * compact;
  };
  const rest = fits(height) ? 'roomy' : 'compact';
  let mode = rest;
  if (mode === 'roomy' && isNum(visibleHeight) && visibleHeight < height && !fits(visibleHeight)) mode = 'compact';
  const dock = mode === 'roomy' ? roomyDock : pickDock(full.compactSide, full.compactBelow, 'compact');
  return { mode: mode, dock: dock, rest: rest };
}

// `heights` is a list of picture heights by level, or a function giving the
// height at a level (so the page can measure lazily and stop early).
function squeezeLevel(heights, minPx, levels) {
  const count = typeof heights === 'function' ? (levels || 4) : heights.length;
  const at = typeof heights === 'function' ? heights : (i) => heights[i];
  for (let i = 0; i < count; i++) if (at(i) >= minPx) return i;
  return count - 1;
}

module.exports = { roomyBelowCut, fitScale, fitRect, visibleBox, pictureRect, stageGeometry, paintPlacement,
  pointToNorm, normToPoint, viewForAnchor, followView, fitBasis, keyboardInset, chooseLayout, squeezeLevel, MIN_PICTURE_PX,
  ZOOM_MIN, ZOOM_MAX, FOLLOW_MARGIN };
