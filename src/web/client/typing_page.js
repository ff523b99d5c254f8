'use strict';
// Live typing, the page half: the live field and the compose box's mode.
const { isKeyCode } = require('./encoders.js');
const { LT_SENTINEL, TYPING_KEY, ltEncode, ltStart, ltStep, normalizeTypeMode } = require('./typing.js');

module.exports = function typingPage(app) {
  const { el, storeSet, typeField } = app;

  const lt = { mode: 'send', state: ltStart(), own: false };

  function ltShow(text) {
    const f = el.ltField;
    if (f.value !== text) f.value = text;
    el.ltStrip.dataset.empty = text.length <= LT_SENTINEL.length ? 'true' : 'false';
    ltCaretToEnd();
  }

  function ltCaretToEnd() {
    const f = el.ltField;
    if (document.activeElement !== f || lt.state.composing) return;
    const n = f.value.length;
    if (f.selectionStart !== n || f.selectionEnd !== n) {
      try { f.setSelectionRange(n, n); } catch (e) { /* not a text field any more */ }
    }
  }

  function ltApply(result) {
    lt.state = result.state;
    const messages = ltEncode(result.ops);
    const send = () => {
      for (const m of messages) app.connection.send(m);
      if (messages.length > 0) {
        lt.own = true;
        app.keyboard.consumeArmed();
        lt.own = false;
      }
    };
    // A key that would end the session with the on-screen modifiers is
    // asked about first; the dialog takes the focus, and the field starts
    // over when it comes back.
    const keys = result.ops.filter((o) => o.op === 'tap' || o.op === 'down').map((o) => o.code);
    const question = app.keyboard.sessionQuestion(keys);
    if (question) { app.layout.askConfirm(question, 'Send', send); return; }
    send();
    if (result.field !== null) ltShow(result.field);
  }

  function ltEvent(e) {
    if (lt.mode !== 'live') return;
    const shift = app.keyboard.mods.ShiftLeft;
    const ev = {
      type: e.type, inputType: e.inputType, composing: !!e.isComposing, code: e.code, key: e.key,
      keyCode: e.keyCode, shift: e.shiftKey, ctrl: e.ctrlKey, meta: e.metaKey, alt: e.altKey,
      value: el.ltField.value, anyMod: app.keyboard.anyModifierOn(), shiftOn: !!shift && shift.state !== 'off',
    };
    const r = ltStep(lt.state, ev);
    if (r.prevent) e.preventDefault();
    if (r.real) app.keyboard.onKeyDown(e);
    if (e.type === 'keyup' && isKeyCode(e.code) && app.keyboard.physicalKeyDown(e.code)) {
      lt.own = true;
      app.keyboard.onKeyUp(e);
      lt.own = false;
    }
    ltApply(r);
  }

  function ltOutsideInput() {
    if (lt.own || lt.mode !== 'live' || lt.state.tail === '') return;
    ltApply(ltStep(lt.state, { type: 'reset' }));
  }

  function ltResetState() {
    if (lt.mode === 'live') ltApply(ltStep(lt.state, { type: 'reset' }));
  }

  function ltBlur() {
    if (lt.mode !== 'live') return;
    app.keyboard.releaseKeys(true);
    ltApply(ltStep(lt.state, { type: 'blur' }));
    if (document.activeElement === el.ltField) el.ltField.blur();
  }

  function setTypeMode(next, chosen) {
    const mode = normalizeTypeMode(next);
    if (lt.mode === 'live' && mode !== 'live') ltBlur();
    if (chosen) storeSet(TYPING_KEY, mode);
    lt.mode = mode;
    el.compose.dataset.lt = mode;
    el.ltToggle.setAttribute('aria-pressed', mode === 'live' ? 'true' : 'false');
    el.ltStrip.hidden = mode !== 'live';
    el.ltDone.hidden = mode !== 'live';
    if (chosen) {
      app.layout.relayout();
      typeField().focus({ preventScroll: true });
      app.pointer.showHint(mode === 'live' ? 'Live: every key goes to the computer as you press it.' : 'Send: write here, then press Send.', 3000);
    }
  }

  function bindLive() {
    const f = el.ltField;
    for (const type of ['keydown', 'keyup', 'beforeinput', 'input', 'compositionstart', 'compositionend']) {
      f.addEventListener(type, ltEvent);
    }
    f.addEventListener('focus', () => { if (lt.mode === 'live') ltApply(ltStep(lt.state, { type: 'focus' })); });
    f.addEventListener('blur', () => {
      if (lt.mode !== 'live') return;
      app.keyboard.releaseKeys(true);
      ltApply(ltStep(lt.state, { type: 'blur' }));
    });
    f.addEventListener('select', ltCaretToEnd);
    f.addEventListener('click', ltCaretToEnd);
    document.addEventListener('selectionchange', ltCaretToEnd);
    el.ltDone.addEventListener('click', () => f.blur());
    el.ltToggle.addEventListener('click', () => setTypeMode(lt.mode === 'live' ? 'send' : 'live', true));
  }

  return {
    ltOutsideInput,
    ltResetState,
    ltBlur,
    setTypeMode,
    bindLive,
  };
};
