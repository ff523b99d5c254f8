'use strict';
// Layout, the page half: measures the window, chooses the layout, places
// the picture and the sheets, and the confirm dialog.
const { TEXT_MAX, chunkText, encodeText } = require('./encoders.js');
const { MIN_PICTURE_PX, chooseLayout, fitBasis, keyboardInset, squeezeLevel } = require('./layout.js');

module.exports = function layoutPage(app) {
  const { root, el, session, sheets, isTypeField, typeField } = app;

  const ui = { compose: false, sheet: null };
  let layout = { mode: '', dock: '', rest: '' };
  let kbInset = 0;
  let picW = 1600;
  let picH = 1000;
  let restBasis = null;

  function basisKey() {
    return window.innerWidth + 'x' + window.innerHeight + '|' + layout.mode + '|' + layout.dock + '|' +
      app.wording.notices.map((n) => n.id).join(',') + (app.wording.noticesExpanded ? '+' : '');
  }

  function atRest() { return kbInset === 0 && !(layout.mode === 'compact' && ui.compose); }

  // The picture is fitted to this basis: the stage at rest, remembered while
  // an on-screen keyboard or the compact compose box takes room from it.
  function basisFor(stageW, stageH) {
    const basis = fitBasis(stageW, stageH, kbInset, atRest(), restBasis, basisKey());
    if (atRest()) restBasis = basis;
    return basis;
  }

  // Whether the picture's size changed.
  function setPictureSize(w, h) {
    if (!(w > 0 && h > 0) || (w === picW && h === picH)) return false;
    picW = w;
    picH = h;
    return true;
  }

  function syncViewport() {
    const vv = window.visualViewport;
    let height = window.innerHeight;
    let top = 0;
    if (vv && Math.abs(vv.scale - 1) <= 0.01) { height = vv.height; top = vv.offsetTop; }
    const inset = keyboardInset(window.innerHeight, height);
    if (inset !== kbInset) { kbInset = inset; app.video.startGlide(); }
    root.style.setProperty('--app-h', height + 'px');
    root.style.setProperty('--app-top', top + 'px');
    relayout();
    if (kbInset > 0) app.video.keepPointerInView();
  }

  function onPageScroll() {
    if (window.scrollX !== 0 || window.scrollY !== 0) window.scrollTo(0, 0);
    syncViewport();
  }

  function applyLayout() {
    if (session.hidden) return;
    session.dataset.level = '0';
    const work = el.work.getBoundingClientRect();
    if (!(work.width > 0)) return;
    const choice = chooseLayout(work.width, work.height + kbInset, picW / picH, layout.mode ? layout : null, work.height);
    const modeChanged = choice.mode !== layout.mode;
    if (modeChanged || choice.dock !== layout.dock) {
      session.dataset.mode = choice.mode;
      session.dataset.dock = choice.dock;
    }
    layout = choice;
    if (modeChanged) {
      if (ui.sheet) { if (ui.sheet === 'clip') app.clipboard.clipReset(true); ui.sheet = null; }
      ui.compose = choice.mode === 'compact' ? isTypeField(document.activeElement) : false;
      syncComposeState();
    }
    let level = 0;
    if (layout.mode === 'compact' && ui.compose) {
      level = squeezeLevel((lv) => {
        session.dataset.level = String(lv);
        const stage = el.stage.getBoundingClientRect();
        return stage.height - el.compose.getBoundingClientRect().height;
      }, MIN_PICTURE_PX, 4);
    }
    session.dataset.level = String(level);
  }

  function relayout() {
    applyLayout();
    app.video.draw();
    syncScrollCues();
    app.screenControls.fxLook();
  }

  function syncScrollCues() {
    for (const name of Object.keys(sheets)) {
      const s = sheets[name];
      const scroller = s.querySelector('.sheet-body, .keypad') || s;
      const hiddenBelow = scroller.scrollHeight - scroller.clientHeight - scroller.scrollTop;
      s.dataset.more = hiddenBelow > 4 ? 'true' : 'false';
    }
  }

  function syncSheetState() {
    session.dataset.sheet = ui.sheet || 'none';
    el.keysToggle.setAttribute('aria-expanded', ui.sheet === 'keys' ? 'true' : 'false');
    for (const b of document.querySelectorAll('[data-toggle="more"]')) b.setAttribute('aria-expanded', ui.sheet === 'more' ? 'true' : 'false');
    for (const b of document.querySelectorAll('[data-open="clip"]')) b.setAttribute('aria-expanded', ui.sheet === 'clip' ? 'true' : 'false');
    el.filesOpen.setAttribute('aria-expanded', ui.sheet === 'files' ? 'true' : 'false');
    for (const name of ['more', 'clip', 'files']) sheets[name].inert = ui.sheet !== name;
    el.keys.inert = layout.mode !== 'roomy' && ui.sheet !== 'keys';
  }

  function syncComposeState() {
    session.dataset.compose = ui.compose ? 'open' : 'closed';
    el.typeToggle.setAttribute('aria-expanded', ui.compose ? 'true' : 'false');
    el.compose.inert = layout.mode !== 'roomy' && !ui.compose;
    syncSheetState();
  }

  function setSheet(name, focusIt) {
    const next = name || null;
    if (next === ui.sheet) return;
    app.video.startGlide();
    if (ui.sheet === 'clip') app.clipboard.clipReset(true);
    ui.sheet = next;
    if (next && layout.mode === 'compact' && ui.compose) {
      ui.compose = false;
      if (isTypeField(document.activeElement)) document.activeElement.blur();
    }
    syncComposeState();
    relayout();
    if (next) {
      app.video.keepPointerInView();
      if (focusIt) sheets[next].focus({ preventScroll: true });
    }
  }

  function toggleSheet(name, event) {
    if (ui.sheet === name) { setSheet(null, false); return; }
    setSheet(name, !!event && event.detail === 0);
  }

  function setCompose(open) {
    if (open !== ui.compose) {
      app.video.startGlide();
      if (open && layout.mode === 'compact' && ui.sheet) {
        if (ui.sheet === 'clip') app.clipboard.clipReset(true);
        ui.sheet = null;
      }
      ui.compose = open;
      syncComposeState();
      relayout();
    }
    if (open) {
      typeField().focus({ preventScroll: true });
      app.video.keepPointerInView();
    } else if (isTypeField(document.activeElement)) {
      document.activeElement.blur();
    }
  }

  function applyPlainMode() {
    const plain = el.composePlain.checked;
    const box = el.composeText;
    box.setAttribute('autocapitalize', plain ? 'off' : 'sentences');
    box.setAttribute('autocorrect', plain ? 'off' : 'on');
    box.setAttribute('autocomplete', 'off');
    box.spellcheck = !plain;
    el.composeNote.textContent = plain
      ? 'Plain: typed exactly as entered, with no autocorrect or capitals. Best for passwords and commands.'
      : 'Normal typing: autocorrect and capitals are on.';
    if (document.activeElement === box) { box.blur(); box.focus({ preventScroll: true }); }
  }

  function sendCompose() {
    if (!app.connection.conn.ready) return;
    const text = el.composeText.value;
    if (text.length > 0) {
      for (const piece of chunkText(text, TEXT_MAX)) app.connection.send(encodeText(piece));
      el.composeText.value = '';
    }
    if (el.composeReturn.checked) app.pointer.tapKey('Enter');
    app.keyboard.consumeArmed();
    el.composeText.focus({ preventScroll: true });
  }

  function onComposeKey(event) {
    if (event.key === 'Enter' && !event.shiftKey && !event.isComposing) {
      event.preventDefault();
      sendCompose();
    } else if (event.key === 'Escape' && layout.mode === 'compact') {
      event.preventDefault();
      setCompose(false);
    }
  }

  let confirmAction = null;
  let confirmReturn = null;
  function askConfirm(text, okLabel, action) {
    confirmAction = action;
    confirmReturn = document.activeElement;
    el.confirmText.textContent = text;
    el.confirmOk.textContent = okLabel;
    el.confirm.hidden = false;
    el.confirmCancel.focus();
  }

  function closeConfirm(accepted) {
    const action = confirmAction;
    confirmAction = null;
    el.confirm.hidden = true;
    if (confirmReturn && typeof confirmReturn.focus === 'function') confirmReturn.focus({ preventScroll: true });
    confirmReturn = null;
    if (accepted && action) action();
  }

  function onEscapeAnywhere(event) {
    if (event.key !== 'Escape') return;
    if (!el.confirm.hidden) { event.preventDefault(); closeConfirm(false); return; }
    if (!ui.sheet) return;
    const t = event.target;
    if (t === el.stage || isTypeField(t)) return;
    const which = ui.sheet;
    setSheet(null, false);
    const opener = which === 'keys' ? el.keysToggle
      : Array.from(document.querySelectorAll('[data-toggle="more"]')).find((b) => b.offsetParent !== null);
    if (opener) opener.focus({ preventScroll: true });
  }

  return {
    ui,
    get layout() { return layout; },
    get kbInset() { return kbInset; },
    get picW() { return picW; },
    get picH() { return picH; },
    basisFor,
    restingBasis: () => restBasis,
    setPictureSize,
    basisKey,
    atRest,
    syncViewport,
    onPageScroll,
    relayout,
    syncScrollCues,
    syncComposeState,
    setSheet,
    toggleSheet,
    setCompose,
    applyPlainMode,
    sendCompose,
    onComposeKey,
    askConfirm,
    closeConfirm,
    onEscapeAnywhere,
  };
};
