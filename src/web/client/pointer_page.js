'use strict';
// Pointer and touch, the page half: mouse, wheel and finger events on the
// picture turned into the host's pointer messages, the pointer mark, the
// hints over the picture.
const { clickCount, encodeButton, encodeKey, encodeMove, encodeScroll, mapMouseButton } = require('./encoders.js');
const {
  FOLLOW_MARGIN, ZOOM_MAX, ZOOM_MIN, followView, normToPoint, pointToNorm, viewForAnchor,
} = require('./layout.js');
const { clamp } = require('./numbers.js');
const {
  DOUBLE_TAP_DIST, DOUBLE_TAP_MS, GHOST_MOUSE_MS, HINT_MS, MARK_LINGER_MS, POINTER_KEY, SWITCH_HINT_MS, TAP_MARK_MS,
  TAP_MAX_MS, TAP_SLOP, TOUCH_HINT_KEY, TOUCH_HOLD_LATE_MS, TOUCH_HOLD_SETTLE_MS, TOUCH_SCROLL_GAIN, classifyTouch,
  classifyTwoFinger, deskWheelStep, directTouch, directTouchStart, movePointer, normalizePointerMode, pointInPicture, pointerModeLabel,
  pointerModeNote, pointerSwitchHint,
} = require('./pointer.js');

module.exports = function pointerPage(app) {
  const { el, session, coarsePointer, mono, soon, storeGet, storeSet, isTypeField } = app;

  let pointer = { x: 0.5, y: 0.5 };
  let pointerMode = 'trackpad';
  let touchSeen = false;
  let markTimer = null;
  let tapMarkTimer = null;
  let hintTimer = null;
  let scrollAcc = { dx: 0, dy: 0 };
  let moveDirty = false;
  let flushQueued = false;
  const heldButtons = new Set();
  let wheelRem = { x: 0, y: 0 };
  let lastTouchAt = -Infinity;
  let touch = { points: new Map(), mode: 'idle', one: null, two: null, lastTap: null };
  let direct = directTouchStart();
  // The Touch model's hold timer, while one runs.
  let directTimer = null;

  function scheduleFlush() {
    if (flushQueued) return;
    flushQueued = true;
    soon(flushInput);
  }

  function queueMove() {
    moveDirty = true;
    placeMark();
    scheduleFlush();
  }

  function queueScroll(dx, dy) {
    scrollAcc.dx += dx;
    scrollAcc.dy += dy;
    scheduleFlush();
  }

  function flushInput() {
    flushQueued = false;
    if (moveDirty) { moveDirty = false; app.connection.send(encodeMove(pointer.x, pointer.y)); }
    if (scrollAcc.dx !== 0 || scrollAcc.dy !== 0) {
      app.connection.send(encodeScroll(scrollAcc.dx, scrollAcc.dy));
      scrollAcc = { dx: 0, dy: 0 };
    }
  }

  function sendButton(button, down, clicks) {
    if (moveDirty) { moveDirty = false; app.connection.send(encodeMove(pointer.x, pointer.y)); }
    app.connection.send(encodeButton(button, down, pointer.x, pointer.y, clicks));
  }

  function sendClick(button, clicks) {
    sendButton(button, true, clicks);
    sendButton(button, false, clicks);
    app.keyboard.consumeArmed();
  }

  function tapKey(code) {
    app.connection.send(encodeKey(code, true));
    app.connection.send(encodeKey(code, false));
  }

  function markPoint() {
    if (!app.video.shown || !(app.video.shown.w > 0)) return null;
    return normToPoint(pointer.x, pointer.y, app.video.shown);
  }

  function placeMark() {
    const p = markPoint();
    if (!p) return;
    const t = 'translate(' + Math.round(p.x * 10) / 10 + 'px, ' + Math.round(p.y * 10) / 10 + 'px)';
    if (el.pointerMark.dataset.state !== 'off') el.pointerMark.style.transform = t;
  }

  function showMark() {
    if (!app.connection.conn.ready || pointerMode !== 'trackpad' || !(touchSeen || coarsePointer.matches)) return;
    el.pointerMark.dataset.state = 'on';
    placeMark();
    clearTimeout(markTimer);
    markTimer = setTimeout(() => {
      if (el.pointerMark.dataset.state === 'on') el.pointerMark.dataset.state = 'idle';
    }, MARK_LINGER_MS);
  }

  function hideMark() {
    clearTimeout(markTimer);
    el.pointerMark.dataset.state = 'off';
  }

  function showTapMark(kind) {
    const p = markPoint();
    if (!p) return;
    clearTimeout(tapMarkTimer);
    el.tapMark.dataset.state = 'off';
    void el.tapMark.offsetWidth; // restart the animation cleanly
    el.tapMark.style.transform = 'translate(' + p.x + 'px, ' + p.y + 'px)';
    el.tapMark.dataset.state = kind;
    tapMarkTimer = setTimeout(() => { el.tapMark.dataset.state = 'off'; }, TAP_MARK_MS);
  }

  function showHint(text, ms) {
    clearTimeout(hintTimer);
    el.hint.textContent = text;
    el.hint.hidden = false;
    hintTimer = setTimeout(hideHint, ms || HINT_MS);
  }

  function hideHint() {
    clearTimeout(hintTimer);
    el.hint.hidden = true;
  }

  function noteTouchDevice() {
    session.dataset.touch = touchSeen || coarsePointer.matches || navigator.maxTouchPoints > 0 ? 'yes' : 'no';
  }

  function setPointerMode(next, chosen, fromStrip) {
    const mode = normalizePointerMode(next);
    if (mode !== pointerMode) { releaseTouch(); releaseButtons(); }
    if (chosen) storeSet(POINTER_KEY, mode);
    pointerMode = mode;
    session.dataset.pointer = mode;
    const radio = document.querySelector('input[name="pointer-mode"][value="' + mode + '"]');
    if (radio) radio.checked = true;
    const label = pointerModeLabel(mode);
    const other = pointerModeLabel(mode === 'touch' ? 'trackpad' : 'touch');
    el.pointerWord.textContent = label;
    el.pointerToggle.setAttribute('aria-label', 'Pointer: ' + label + '. Switch to ' + other + '.');
    el.pointerNote.textContent = pointerModeNote(mode);
    let hinted = false;
    if (mode === 'touch') {
      hideMark();
      if (chosen && storeGet(TOUCH_HINT_KEY) !== '1') {
        storeSet(TOUCH_HINT_KEY, '1');
        showHint('Touch: tap where you want to click. Pinch to zoom in for small targets.', HINT_MS);
        hinted = true;
      }
    } else {
      hideHint();
      showMark();
    }
    if (fromStrip && !hinted) showHint(pointerSwitchHint(mode), SWITCH_HINT_MS);
  }

  function releaseButtons() {
    for (const b of Array.from(heldButtons)) sendButton(b, false, 1);
    heldButtons.clear();
  }

  function releaseTouch() {
    if (touch.mode === 'one' && touch.one && touch.one.drag) {
      sendButton(0, false, 1);
      app.keyboard.consumeArmed();
    }
    runDirect({ type: 'release', t: mono() });
    stopHoldTimer();
    touch.mode = touch.points.size > 0 ? 'spent' : 'idle';
    touch.one = null;
    touch.two = null;
  }

  function releaseAllInput() {
    app.keyboard.releaseKeys(true);
    releaseButtons();
    releaseTouch();
  }

  // The host has already let go of everything: only the page's own
  // bookkeeping returns to rest, nothing is sent.
  function resetInputState() {
    app.keyboard.resetDeskKeys();
    wheelRem = { x: 0, y: 0 };
    heldButtons.clear();
    moveDirty = false;
    scrollAcc = { dx: 0, dy: 0 };
    for (const code of Object.keys(app.keyboard.mods)) app.keyboard.setModifier(code, 'off', true);
    app.typing.ltResetState();
    direct = directTouchStart();
    stopHoldTimer();
    touch = { points: new Map(), mode: 'idle', one: null, two: null, lastTap: null };
  }

  function mousePoint(e) {
    const g = app.video.geometry();
    return pointToNorm(e.clientX - g.stage.left, e.clientY - g.stage.top, g.rect);
  }

  function ghostMouse() { return mono() - lastTouchAt < GHOST_MOUSE_MS; }

  function onMouseDown(e) {
    if (ghostMouse()) return;
    const b = mapMouseButton(e.button);
    e.preventDefault();
    el.stage.focus({ preventScroll: true });
    const p = mousePoint(e);
    if (b === null || !p) return;
    hideMark();
    pointer = p;
    heldButtons.add(b);
    sendButton(b, true, clickCount(e.detail));
  }

  function onMouseMove(e) {
    if (ghostMouse()) return;
    if (heldButtons.size === 0 && e.target !== el.screen) return;
    const p = mousePoint(e);
    if (!p) return;
    hideMark();
    pointer = p;
    queueMove();
  }

  function onMouseUp(e) {
    if (ghostMouse()) return;
    const b = mapMouseButton(e.button);
    if (b === null || !heldButtons.has(b)) return;
    heldButtons.delete(b);
    const p = mousePoint(e);
    if (p) pointer = p;
    sendButton(b, false, clickCount(e.detail));
    app.keyboard.consumeArmed();
  }

  function onWheel(e) {
    e.preventDefault();
    const r = deskWheelStep(wheelRem, {
      deltaX: e.deltaX, deltaY: e.deltaY, deltaMode: e.deltaMode, ctrlKey: e.ctrlKey, shiftKey: e.shiftKey,
      ctrlHeld: app.keyboard.deskHolds('ctrl'),
    }, el.stage.clientHeight);
    wheelRem = r.rem;
    if (r.dx !== 0 || r.dy !== 0) queueScroll(r.dx, r.dy);
  }

  function stagePoint(e) {
    const r = el.stage.getBoundingClientRect();
    return { x: e.clientX - r.left, y: e.clientY - r.top };
  }

  function runDirect(ev) {
    const r = directTouch(direct, ev);
    direct = r.state;
    for (const o of r.out) {
      if (o.k === 'mm') { pointer = { x: o.x, y: o.y }; queueMove(); }
      else if (o.k === 'mb') { pointer = { x: o.x, y: o.y }; sendButton(o.b, o.d, o.c); }
      else if (o.k === 'used') app.keyboard.consumeArmed();
      else if (o.k === 'mark') showTapMark(o.kind);
      else if (o.k === 'timer') holdTimer(ev.t + o.ms);
      else if (o.k === 'timer-off') stopHoldTimer();
      else if (o.k === 'two') startTwo(ev.t);
    }
  }

  // The hold is due by the touch's own clock. A page held back past it
  // (busy drawing) may have the finger's lift still on its way, so a timer
  // that runs late is only a reason to look again: the hold is judged when
  // the page has kept time for a moment, by when any lift waiting has come.
  function holdTimer(due) {
    stopHoldTimer();
    const timer = { id: 0 };
    const check = (at) => {
      timer.id = setTimeout(() => {
        if (directTimer !== timer) return;
        const now = mono();
        if (now - at > TOUCH_HOLD_LATE_MS) { check(now + TOUCH_HOLD_SETTLE_MS); return; }
        directTimer = null;
        runDirect({ type: 'timer', t: now });
      }, Math.max(0, at - mono()));
    };
    directTimer = timer;
    check(due);
  }

  function stopHoldTimer() {
    if (directTimer) clearTimeout(directTimer.id);
    directTimer = null;
  }

  function trackpadDown(id, p, now) {
    if (touch.mode === 'idle') {
      const lt = touch.lastTap;
      const repeat = !!lt && now - lt.t <= DOUBLE_TAP_MS && Math.hypot(p.x - lt.x, p.y - lt.y) <= DOUBLE_TAP_DIST;
      touch.one = { id: id, start: p, last: p, lastT: now, t: now, moved: false, repeat: repeat,
        clicks: repeat ? Math.min(3, lt.clicks + 1) : 1, drag: false };
      touch.mode = 'one';
    } else if (touch.mode === 'one' && touch.one && !touch.one.drag) {
      startTwo(now);
    }
  }

  function trackpadMove(id, p, now) {
    const one = touch.one;
    if (!one || id !== one.id) return;
    if (!one.moved) {
      if (Math.hypot(p.x - one.start.x, p.y - one.start.y) < TAP_SLOP) return;
      one.moved = true;
      one.last = p;
      one.lastT = now;
      if (one.repeat) { one.drag = true; sendButton(0, true, 1); }
      return;
    }
    const g = app.video.geometry();
    pointer = movePointer(pointer, p.x - one.last.x, p.y - one.last.y, now - one.lastT, g.rect.w, g.rect.h);
    one.last = p;
    one.lastT = now;
    queueMove();
    showMark();
    const next = followView(g.rect, g.box, pointer, FOLLOW_MARGIN);
    if (next) app.video.setView(app.video.view.zoom, next.cx, next.cy);
  }

  function trackpadUp(id, cancelled, now) {
    const one = touch.one;
    if (!one || id !== one.id) return;
    touch.lastTap = null;
    if (one.drag) {
      sendButton(0, false, 1);
      app.keyboard.consumeArmed();
    } else if (classifyTouch(cancelled, one.moved, one.repeat, now - one.t) === 'click') {
      sendClick(0, one.clicks);
      touch.lastTap = { t: now, x: one.start.x, y: one.start.y, clicks: one.clicks };
    }
    touch.one = null;
    touch.mode = 'spent';
  }

  function startTwo(now = mono()) {
    const ids = Array.from(touch.points.keys()).slice(0, 2);
    if (ids.length < 2) return;
    const a = touch.points.get(ids[0]);
    const b = touch.points.get(ids[1]);
    const c = { x: (a.x + b.x) / 2, y: (a.y + b.y) / 2 };
    touch.two = { ids: ids, t: now, direct: pointerMode === 'touch', dist0: Math.hypot(a.x - b.x, a.y - b.y),
      c0: c, prevC: c, kind: null, refDist: 1, zoom0: 1, u: 0.5, v: 0.5 };
    touch.one = null;
    touch.mode = 'two';
  }

  function twoMove() {
    const t2 = touch.two;
    const a = touch.points.get(t2.ids[0]);
    const b = touch.points.get(t2.ids[1]);
    if (!a || !b) return;
    const d = Math.hypot(a.x - b.x, a.y - b.y);
    const c = { x: (a.x + b.x) / 2, y: (a.y + b.y) / 2 };
    if (!t2.kind) {
      const kind = classifyTwoFinger(d - t2.dist0, Math.hypot(c.x - t2.c0.x, c.y - t2.c0.y));
      if (!kind) return;
      const g = app.video.geometry();
      t2.kind = kind;
      t2.refDist = Math.max(1, d);
      t2.zoom0 = app.video.view.zoom;
      const uv = pointToNorm(c.x, c.y, g.rect) || { x: 0.5, y: 0.5 };
      t2.u = uv.x;
      t2.v = uv.y;
      if (t2.direct && kind === 'scroll') {
        const on = pointInPicture(c.x, c.y, g.rect);
        if (on) { pointer = on; queueMove(); }
      }
      t2.prevC = c;
      return;
    }
    if (t2.kind === 'pinch') {
      const zoom = clamp(t2.zoom0 * d / t2.refDist, ZOOM_MIN, ZOOM_MAX);
      const g = app.video.geometry();
      const w = g.rect.w / g.rect.zoom * zoom;
      const h = g.rect.h / g.rect.zoom * zoom;
      const v = viewForAnchor(g.box, w, h, t2.u, t2.v, c.x, c.y);
      app.video.setView(zoom, v.cx, v.cy);
    } else {
      queueScroll((t2.prevC.x - c.x) * TOUCH_SCROLL_GAIN, (t2.prevC.y - c.y) * TOUCH_SCROLL_GAIN);
    }
    t2.prevC = c;
  }

  function twoEnd(cancelled, now) {
    const t2 = touch.two;
    if (!t2.direct && !t2.kind && !cancelled && now - t2.t <= TAP_MAX_MS) sendClick(1, 1);
    touch.two = null;
    touch.mode = 'spent';
  }

  // When the finger touched, not when this page got to it: a phone busy
  // drawing a picture may run the handler of a quick tap's lift long after
  // it, and the tap must still be a tap. A browser whose stamp is not on
  // the page's clock (none, or the epoch's) is timed as it is handled.
  function touchedAt(e) {
    const now = mono();
    return e.timeStamp > 0 && e.timeStamp <= now ? e.timeStamp : now;
  }

  function touchNorm(p, landing) {
    const g = app.video.geometry();
    return landing ? pointInPicture(p.x, p.y, g.rect) : pointToNorm(p.x, p.y, g.rect);
  }

  function onPointerDown(e) {
    if (e.pointerType !== 'touch') return;
    lastTouchAt = mono();
    if (!touchSeen) { touchSeen = true; noteTouchDevice(); }
    e.preventDefault();
    if (!isTypeField(document.activeElement)) el.stage.focus({ preventScroll: true });
    try { el.screen.setPointerCapture(e.pointerId); } catch (err) { /* already released */ }
    const p = stagePoint(e);
    touch.points.set(e.pointerId, p);
    if (pointerMode === 'trackpad') showMark();
    if (touch.mode === 'spent' || touch.mode === 'two') return;
    if (pointerMode === 'touch' && (touch.mode === 'idle' || touch.mode === 'direct')) {
      touch.mode = 'direct';
      runDirect({ type: 'down', id: e.pointerId, x: p.x, y: p.y, t: touchedAt(e), norm: touchNorm(p, true) });
      return;
    }
    trackpadDown(e.pointerId, p, touchedAt(e));
  }

  function onPointerMove(e) {
    if (e.pointerType !== 'touch' || !touch.points.has(e.pointerId)) return;
    lastTouchAt = mono();
    e.preventDefault();
    const p = stagePoint(e);
    touch.points.set(e.pointerId, p);
    if (touch.mode === 'one') trackpadMove(e.pointerId, p, touchedAt(e));
    else if (touch.mode === 'two' && touch.two && touch.two.ids.indexOf(e.pointerId) >= 0) twoMove();
    else if (touch.mode === 'direct') runDirect({ type: 'move', id: e.pointerId, x: p.x, y: p.y, t: touchedAt(e), norm: touchNorm(p, false) });
  }

  function onPointerEnd(e) {
    if (e.pointerType !== 'touch' || !touch.points.has(e.pointerId)) return;
    lastTouchAt = mono();
    const cancelled = e.type === 'pointercancel';
    const p = stagePoint(e);
    touch.points.delete(e.pointerId);
    if (touch.mode === 'one') trackpadUp(e.pointerId, cancelled, touchedAt(e));
    else if (touch.mode === 'two' && touch.two && touch.two.ids.indexOf(e.pointerId) >= 0) twoEnd(cancelled, touchedAt(e));
    else if (touch.mode === 'direct') {
      runDirect({ type: 'up', id: e.pointerId, x: p.x, y: p.y, t: touchedAt(e), norm: touchNorm(p, false), cancelled: cancelled });
      touch.mode = 'spent';
    }
    if (touch.points.size === 0) { touch.mode = 'idle'; touch.one = null; touch.two = null; }
  }

  function blockBackForward(e) {
    if ((e.button === 3 || e.button === 4) && !session.hidden) e.preventDefault();
  }

  return {
    get pointer() { return pointer; },
    centerPointer() { pointer = { x: 0.5, y: 0.5 }; },
    get pointerMode() { return pointerMode; },
    queueMove,
    tapKey,
    placeMark,
    showMark,
    hideMark,
    showHint,
    noteTouchDevice,
    setPointerMode,
    releaseButtons,
    releaseAllInput,
    resetInputState,
    onMouseDown,
    onMouseMove,
    onMouseUp,
    onWheel,
    onPointerDown,
    onPointerMove,
    onPointerEnd,
    blockBackForward,
  };
};
