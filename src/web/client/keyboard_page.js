'use strict';
// Keyboards, the page half: the modifier and key buttons, the physical
// keyboard on the stage, and keyboard capture.
const { TEXT_MAX, chunkText, encodeKey, encodeText, isKeyCode, parseChord } = require('./encoders.js');
const {
  DESK_MOD_CLASS, MODIFIER_CODES, MODIFIER_NAMES, STAGE_LEAVE_MS, deskCaptureText, deskDefaults, deskHolds, deskKeptText,
  deskKeyStep, deskKeysStart, deskPlatform, deskSetting, modifierLabel, nextModifierState, sessionChordQuestion,
} = require('./keyboard.js');

module.exports = function keyboardPage(app) {
  const { el, coarsePointer, mono, storeGet, storeSet } = app;

  const mods = {};
  let deskKeys = deskKeysStart();
  const desk = { platform: 'other', chars: false, capture: 'unsupported' };
  let leaveTimer = null;

  function deskOpts() { return { platform: desk.platform, chars: desk.chars }; }

  function initModifiers() {
    for (const b of document.querySelectorAll('[data-mod]')) {
      const code = b.dataset.mod;
      if (!mods[code]) mods[code] = { state: 'off', tapAt: -Infinity, buttons: [] };
      mods[code].buttons.push(b);
    }
    for (const code of Object.keys(mods)) setModifier(code, 'off', true);
  }

  function anyModifierOn() { return Object.values(mods).some((m) => m.state !== 'off'); }

  function setModifier(code, next, silent) {
    const m = mods[code];
    if (!m) return;
    const was = m.state;
    m.state = next;
    const name = MODIFIER_NAMES[code] || code;
    for (const b of m.buttons) {
      b.dataset.state = next;
      b.setAttribute('aria-pressed', next === 'off' ? 'false' : 'true');
      b.setAttribute('aria-label', modifierLabel(name, next));
    }
    if (!silent && (was === 'off') !== (next === 'off')) app.connection.send(encodeKey(code, next !== 'off'));
  }

  function tapModifier(code) {
    if (!app.connection.conn.ready) return;
    const m = mods[code];
    if (!m) return;
    const now = mono();
    const next = nextModifierState(m.state, now - m.tapAt);
    m.tapAt = now;
    setModifier(code, next, false);
  }

  function consumeArmed() {
    for (const code of Object.keys(mods)) if (mods[code].state === 'armed') setModifier(code, 'off', false);
    app.typing.ltOutsideInput();
  }

  const isModifier = (code) => MODIFIER_CODES.indexOf(code) >= 0;

  // The modifiers the computer holds now: the on-screen ones that are on,
  // and those of the keys held here.
  function heldModifiers() {
    const held = Object.keys(mods).filter((c) => mods[c].state !== 'off');
    for (const c of deskKeys.sent) if (isModifier(c) && held.indexOf(c) < 0) held.push(c);
    return held;
  }

  // The question to ask before one of `keys` goes, when on-screen keys (the
  // modifiers that are on, or a chord's `also`) would make it a chord that
  // ends or interrupts the session; null when it may go.
  function sessionQuestion(keys, also) {
    const extra = also || [];
    if (extra.length === 0 && !anyModifierOn()) return null;
    const held = heldModifiers().concat(extra);
    for (const key of keys) {
      const question = sessionChordQuestion(held, key);
      if (question) return question;
    }
    return null;
  }

  // Sends `key` with `modifiers`: those the computer does not hold already
  // go down first and come up after, in reverse.
  function sendWith(modifiers, key) {
    const held = heldModifiers();
    const pressed = modifiers.filter((m, i) => held.indexOf(m) < 0 && modifiers.indexOf(m) === i);
    for (const m of pressed) app.connection.send(encodeKey(m, true));
    app.pointer.tapKey(key);
    for (const m of pressed.slice().reverse()) app.connection.send(encodeKey(m, false));
    consumeArmed();
  }

  function sendChord(chord) {
    const c = parseChord(chord);
    if (c) sendWith(c.modifiers, c.key);
  }

  // Asks first, then sends what was asked about: the modifiers held then
  // go with the key even if they were let go meanwhile.
  function askThenSend(question, modifiers, key) {
    const all = heldModifiers().concat(modifiers);
    app.layout.askConfirm(question, 'Send', () => sendWith(all, key));
  }

  function onControlClick(event) {
    const b = event.target.closest('button');
    if (!b) return;
    if (b.dataset.mod) { tapModifier(b.dataset.mod); return; }
    if (b.dataset.key) {
      if (!app.connection.conn.ready) return;
      const key = b.dataset.key;
      const question = sessionQuestion([key]);
      if (question) { askThenSend(question, [], key); return; }
      app.pointer.tapKey(key);
      consumeArmed();
      return;
    }
    if (b.dataset.chord) {
      if (!app.connection.conn.ready) return;
      const chord = b.dataset.chord;
      const c = parseChord(chord);
      const question = c && sessionQuestion([c.key], c.modifiers);
      if (question) askThenSend(question, c.modifiers, c.key);
      else if (b.dataset.confirm) app.layout.askConfirm(b.dataset.confirm, 'Send', () => sendChord(chord));
      else sendChord(chord);
    }
  }

  // A press on a key button must not take focus from the stage or the
  // type box, so a phone keyboard stays up and keys keep going.
  function keepFocus(event) {
    if (event.target.closest('button')) event.preventDefault();
  }

  function feedKeys(ev) {
    ev.sticky = anyModifierOn();
    const r = deskKeyStep(deskKeys, ev, deskOpts());
    // A key pressed here while on-screen modifiers are on is held back and
    // asked about when together they end or interrupt the session.
    if (ev.sticky && ev.type === 'down') {
      const downs = r.out.filter((o) => o.d === true);
      const ups = r.out.filter((o) => o.d === false).map((o) => o.k);
      const mods = heldModifiers().filter((m) => ups.indexOf(m) < 0)
        .concat(downs.filter((o) => isModifier(o.k)).map((o) => o.k));
      const key = downs.find((o) => !isModifier(o.k) && sessionChordQuestion(mods, o.k));
      if (key) {
        askThenSend(sessionChordQuestion(mods, key.k), mods, key.k);
        return { state: deskKeys, out: [], prevent: true };
      }
    }
    deskKeys = r.state;
    for (const o of r.out) {
      if (o.s !== undefined) for (const piece of chunkText(o.s, TEXT_MAX)) app.connection.send(encodeText(piece));
      else app.connection.send(encodeKey(o.k, o.d));
    }
    return r;
  }

  function physicalKeyDown(code) { return deskKeys.phys.some((e) => e.code === code); }

  function keyEvent(type, e) {
    return {
      type: type, code: e.code, key: e.key, ctrl: e.ctrlKey, alt: e.altKey, shift: e.shiftKey,
      altGraph: !!(e.getModifierState && e.getModifierState('AltGraph')),
      caps: !!(e.getModifierState && e.getModifierState('CapsLock')),
    };
  }

  // Tab goes to the computer while the picture has focus, so holding Escape
  // is the keyboard's way out: focus moves on to the next control. Escape
  // on the picture goes to the computer when it is let go, so one held to
  // leave sends nothing there (a held key would repeat on the computer).
  function stopLeaveTimer() {
    if (leaveTimer !== null) clearTimeout(leaveTimer);
    leaveTimer = null;
  }

  function focusable(c) {
    if (c.disabled || c.tabIndex < 0 || c.closest('[hidden], [inert]') || !c.getClientRects().length) return false;
    return typeof c.checkVisibility !== 'function' || c.checkVisibility({ visibilityProperty: true });
  }

  function leaveStage() {
    leaveTimer = null;
    if (document.activeElement !== el.stage) return;
    const all = Array.from(document.querySelectorAll('button, input, select, textarea, a[href], [tabindex]'))
      .filter((c) => c !== el.stage && !el.stage.contains(c) && focusable(c));
    const after = all.find((c) => el.stage.compareDocumentPosition(c) & Node.DOCUMENT_POSITION_FOLLOWING);
    const next = after || all[0];
    if (next) next.focus({ preventScroll: true });
    else el.stage.blur();
    app.pointer.showHint('Keys stay on this page now. Click the picture, or Tab back to it, to send them to the computer again.', 3000);
  }

  function onKeyDown(e) {
    if (!app.connection.conn.ready || e.isComposing || !isKeyCode(e.code)) return;
    if (e.code === 'Escape' && document.activeElement === el.stage && !physicalKeyDown('Escape')) {
      e.preventDefault();
      if (leaveTimer === null && !e.repeat) leaveTimer = setTimeout(leaveStage, STAGE_LEAVE_MS);
      return;
    }
    const r = feedKeys(keyEvent('down', e));
    if (r.prevent) e.preventDefault();
  }

  function onKeyUp(e) {
    if (!isKeyCode(e.code)) return;
    if (e.code === 'Escape' && leaveTimer !== null) {
      stopLeaveTimer();
      if (app.connection.conn.ready) feedKeys(keyEvent('down', e));
    }
    const r = feedKeys(keyEvent('up', e));
    if (r.prevent && app.connection.conn.ready) {
      e.preventDefault();
      if (!DESK_MOD_CLASS[e.code]) consumeArmed();
    }
  }

  function releaseKeys(includeModifiers) { feedKeys({ type: 'release', modifiers: !!includeModifiers }); }

  // The chip says where keys go: only while the picture has focus and a
  // session is up to take them, never over the disconnected page.
  function syncKeysChip() {
    el.keysChip.hidden = coarsePointer.matches || !app.connection.conn.ready || document.activeElement !== el.stage;
  }

  function onStageFocus() { syncKeysChip(); }

  function onStageBlur() {
    stopLeaveTimer();
    el.keysChip.hidden = true;
    releaseKeys(true);
    app.pointer.releaseButtons();
  }

  function syncCaptureUi() {
    el.kbCapture.hidden = desk.capture === 'unsupported';
    el.kbCapture.textContent = desk.capture === 'on' ? 'Stop capturing keys' : 'Capture all keys';
    el.kbCapture.setAttribute('aria-pressed', desk.capture === 'on' ? 'true' : 'false');
    el.kbChip.hidden = desk.capture !== 'on';
    el.kbCaptureNote.textContent = deskCaptureText(desk.capture, desk.platform);
  }

  function initDesk() {
    const hint = navigator.userAgentData && navigator.userAgentData.platform;
    desk.platform = deskPlatform(navigator.userAgent, navigator.platform, hint, navigator.maxTouchPoints || 0);
    desk.chars = deskSetting(storeGet('morvane.kb.typeChars'), deskDefaults(desk.platform).typeChars);
    el.kbChars.checked = desk.chars;
    el.kbChars.addEventListener('change', () => {
      releaseKeys(true);
      desk.chars = el.kbChars.checked;
      storeSet('morvane.kb.typeChars', desk.chars ? '1' : '0');
    });
    const canLock = !!(navigator.keyboard && typeof navigator.keyboard.lock === 'function' && document.fullscreenEnabled);
    desk.capture = canLock ? 'off' : 'unsupported';
    el.kbKept.textContent = deskKeptText(desk.platform, canLock);
    el.kbCapture.addEventListener('click', toggleCapture);
    document.addEventListener('fullscreenchange', onFullscreenChange);
    syncCaptureUi();
  }

  async function toggleCapture() {
    if (desk.capture === 'on') {
      try { navigator.keyboard.unlock(); } catch (e) { /* not locked */ }
      desk.capture = 'off';
      if (document.fullscreenElement) document.exitFullscreen().catch(() => {});
      syncCaptureUi();
      return;
    }
    try {
      if (!document.fullscreenElement) await document.documentElement.requestFullscreen();
      await navigator.keyboard.lock();
      desk.capture = document.fullscreenElement ? 'on' : 'off';
      if (desk.capture === 'on') el.stage.focus({ preventScroll: true });
    } catch (e) {
      try { navigator.keyboard.unlock(); } catch (e2) { /* not locked */ }
      desk.capture = 'refused';
    }
    syncCaptureUi();
  }

  function onFullscreenChange() {
    app.pointer.releaseAllInput();
    if (!document.fullscreenElement && desk.capture === 'on') {
      try { navigator.keyboard.unlock(); } catch (e) { /* not locked */ }
      desk.capture = 'off';
    }
    syncCaptureUi();
  }

  return {
    mods,
    resetDeskKeys() { deskKeys = deskKeysStart(); },
    deskHolds: (what) => deskHolds(deskKeys, what),
    initModifiers,
    anyModifierOn,
    setModifier,
    consumeArmed,
    sessionQuestion,
    sendChord,
    onControlClick,
    keepFocus,
    physicalKeyDown,
    onKeyDown,
    onKeyUp,
    releaseKeys,
    onStageFocus,
    onStageBlur,
    syncKeysChip,
    initDesk,
  };
};
