'use strict';
// Controls for the computer's screen, the page half: tells `fxStep` what the
// page looks like, sends what it decides, shows its hints over the picture,
// and draws the fit row (in the Display group of the More sheet), the hide
// row ("At the computer") and the strip's sign while the screen is hidden.
const {
  FX_HINT_MS, FX_TICK_MS, fxGeometryKey, fxShape, fxStart, fxStep, fxView, parseFxResult, parseFxState,
} = require('./screen_controls.js');

module.exports = function screenControlsPage(app) {
  const { el, session, onPhone, mono } = app;

  let fx = fxStart(false);
  let view = fxView(fx, false);
  let viewKey = JSON.stringify(view);
  let lookKey = '';
  let tickTimer = null;

  // What the page looks like now. The shape is the picture's resting basis,
  // and only while it still belongs to the current layout: a basis kept
  // from before an on-screen keyboard came up is not the window's shape.
  function fxContext() {
    app.video.geometry();
    const basis = app.layout.restingBasis();
    const current = basis && basis.key != null && basis.key === app.layout.basisKey();
    return {
      now: mono(),
      open: app.layout.ui.sheet === 'more',
      key: fxGeometryKey(window.innerWidth, window.innerHeight),
      shape: current ? fxShape(basis, window.devicePixelRatio || 1) : null,
    };
  }

  function fxEvent(ev) {
    const r = fxStep(fx, ev.type === 'closed' ? ev : Object.assign({}, ev, fxContext()));
    fx = r.state;
    if (ev.type === 'closed') lookKey = '';
    for (const message of r.send) app.connection.send(message);
    if (r.hint) app.pointer.showHint(r.hint, FX_HINT_MS);
    if (fx.waiting && !tickTimer) {
      tickTimer = setInterval(() => fxEvent({ type: 'tick' }), FX_TICK_MS);
    } else if (!fx.waiting && tickTimer) {
      clearInterval(tickTimer);
      tickTimer = null;
    }
    syncFxUi();
  }

  // Called after every layout pass: tells the step function when the sheet
  // opened or closed or the window took another shape.
  function fxLook() {
    if (!fx.mac || session.hidden) return;
    const c = fxContext();
    const key = [c.open, c.key, c.shape ? [c.shape.w, c.shape.h, c.shape.scale].join('x') : ''].join('|');
    if (key === lookKey) return;
    lookKey = key;
    fxEvent({ type: 'look' });
  }

  // Buttons are never really disabled, so keyboard focus stays put while
  // the computer is busy; a press on a dimmed one does nothing.
  function fxPress(what, button) {
    if (button.getAttribute('aria-disabled') === 'true') return;
    fxEvent({ type: 'press', what: what });
  }

  function moreButton() {
    const all = [...document.querySelectorAll('[data-toggle="more"]')];
    return all.find((b) => b.offsetParent !== null) || all[0] || null;
  }

  function drawButton(button, text, disabled) {
    if (!text && document.activeElement === button) {
      const more = moreButton();
      if (more) more.focus({ preventScroll: true });
    }
    button.hidden = !text;
    button.textContent = text;
    button.setAttribute('aria-disabled', disabled ? 'true' : 'false');
  }

  function drawNote(note, line, kind) {
    note.textContent = line;
    if (kind) note.dataset.kind = kind; else delete note.dataset.kind;
  }

  function syncFxUi() {
    const next = fxView(fx, onPhone());
    const key = JSON.stringify(next);
    if (key === viewKey) return;
    view = next;
    viewKey = key;
    drawButton(el.fitButton, view.fit.button, view.fit.disabled);
    drawButton(el.fitRestore, view.fit.second, false);
    drawButton(el.hideButton, view.hide.button, view.hide.disabled);
    drawNote(el.fitNote, view.fit.line, view.fit.kind);
    drawNote(el.hideNote, view.hide.line, view.hide.kind);
    el.fitRow.hidden = !view.fit.visible;
    el.macSet.hidden = !view.hide.visible;
    el.hideChip.hidden = !view.chip;
    app.displays.syncDisplaySet();
    app.layout.relayout();
  }

  function bindScreenControls() {
    el.fitButton.addEventListener('click', () => fxPress(view.fit.action, el.fitButton));
    el.fitRestore.addEventListener('click', () => fxPress('restore', el.fitRestore));
    el.hideButton.addEventListener('click', () => fxPress(view.hide.action, el.hideButton));
  }

  return {
    messages: {
      'fx-state': (msg) => fxEvent({ type: 'state', state: parseFxState(msg) }),
      'fx-result': (msg) => fxEvent({ type: 'result', result: parseFxResult(msg) }),
    },
    fxEvent,
    fxLook,
    bindScreenControls,
  };
};
