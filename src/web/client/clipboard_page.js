'use strict';
// Clipboard, the page half: the clipboard sheet, the browser's own
// clipboard, and the transfers in both directions.
const {
  CLIP_COPY_WAIT_MS, CLIP_GET_TIMEOUT_MS, CLIP_ID_MAX, CLIP_MAX, CLIP_PUT_TIMEOUT_MS, clipAnswer, clipChunkIn,
  clipCountText, clipPutAnswer, clipPutMessages, clipStatusText, encodeClipGet,
} = require('./clipboard.js');

module.exports = function clipboardPage(app) {
  const { el } = app;

  let clipSeq = 0;
  let clipPut = null;
  let clipGet = null;
  let clipCopyTimer = null;
  let clipGen = 0;
  const clipButtons = () => [el.clipSend, el.clipGet, el.clipCopyGet, el.clipPasteLocal, el.clipCopyLocal, el.clipPasteMac];

  function clipBusy() { return !!(clipPut || clipGet || clipCopyTimer); }

  function clipSay(what) {
    if (!what) {
      el.clipStatus.textContent = '';
      delete el.clipStatus.dataset.kind;
      el.clipStatus.hidden = true;
    } else {
      const st = clipStatusText(what);
      el.clipStatus.textContent = st.text;
      el.clipStatus.dataset.kind = st.kind;
      el.clipStatus.hidden = false;
    }
    app.layout.syncScrollCues();
  }

  function clipSyncUi() {
    const busy = clipBusy();
    for (const b of clipButtons()) b.disabled = busy;
    const n = el.clipText.value.length;
    el.clipCount.textContent = clipCountText(n);
    el.clipCount.dataset.over = n > CLIP_MAX ? 'true' : 'false';
  }

  function clipSetText(text) {
    el.clipText.value = text;
    clipSyncUi();
  }

  function clipNextId() {
    clipSeq = clipSeq >= CLIP_ID_MAX ? 1 : clipSeq + 1;
    return clipSeq;
  }

  function clipReset(clearText) {
    if (clipPut) clearTimeout(clipPut.timer);
    if (clipGet) clearTimeout(clipGet.timer);
    clearTimeout(clipCopyTimer);
    clipPut = null;
    clipGet = null;
    clipCopyTimer = null;
    clipGen += 1;
    el.clipPasteMac.hidden = true;
    if (clearText) {
      el.clipText.value = '';
      el.clipCopyLocal.hidden = true;
      clipSay('');
    }
    clipSyncUi();
  }

  function clipSendToMac() {
    if (clipBusy()) return;
    el.clipPasteMac.hidden = true;
    if (!app.connection.conn.ready) { clipSay('offline'); return; }
    const id = clipNextId();
    const plan = clipPutMessages(id, el.clipText.value);
    if (plan.error) { clipSay(plan.error === 'empty' ? 'nothing' : plan.error); return; }
    clipGen += 1;
    clipPut = { id: id, timer: setTimeout(() => { clipPut = null; clipSay('timeout'); clipSyncUi(); }, CLIP_PUT_TIMEOUT_MS) };
    for (const m of plan.messages) app.connection.send(m);
    clipSay('sending');
    clipSyncUi();
  }

  function clipAsk() {
    const id = clipNextId();
    clipGet = { id: id, rx: null, timer: setTimeout(() => clipEndGet('timeout'), CLIP_GET_TIMEOUT_MS) };
    app.connection.send(encodeClipGet(id));
    clipSyncUi();
  }

  function clipGetFromMac(copyFirst) {
    if (clipBusy()) return;
    el.clipPasteMac.hidden = true;
    if (!app.connection.conn.ready) { clipSay('offline'); return; }
    clipGen += 1;
    if (!copyFirst) {
      clipSay('getting');
      clipAsk();
      return;
    }
    app.keyboard.sendChord('ControlLeft+KeyC');
    clipSay('copying');
    clipCopyTimer = setTimeout(() => {
      clipCopyTimer = null;
      if (!app.connection.conn.ready) { clipSay('offline'); clipSyncUi(); return; }
      clipAsk();
    }, CLIP_COPY_WAIT_MS);
    clipSyncUi();
  }

  function clipEndGet(what) {
    if (clipGet) clearTimeout(clipGet.timer);
    clipGet = null;
    clipSay(what);
    clipSyncUi();
  }

  function onClipMessage(msg) {
    if (msg.t === 'clip-put-result') {
      if (!clipPut) return;
      const answer = clipPutAnswer(msg, clipPut.id);
      if (answer === null) return;
      clearTimeout(clipPut.timer);
      clipPut = null;
      el.clipPasteMac.hidden = answer !== 'ok';
      clipSay(answer === 'ok' ? 'sent' : answer);
      clipSyncUi();
      return;
    }
    if (!clipGet) return;
    if (msg.t === 'clip') {
      if (clipGet.rx) return;
      const a = clipAnswer(msg, clipGet.id);
      if (a.kind === 'asking') clipSay('asking');
      else if (a.kind === 'final') clipEndGet(a.state);
      else if (a.kind === 'broken') clipEndGet('broken');
      else if (a.kind === 'receive') clipGet.rx = a.rx;
      return;
    }
    if (msg.t === 'clip-data' && clipGet.rx) {
      const r = clipChunkIn(clipGet.rx, msg);
      if (r.kind === 'ignore') return;
      if (r.kind === 'broken') { clipEndGet('broken'); return; }
      clipGet.rx = r.rx;
      if (r.kind === 'done') {
        clipSetText(r.text);
        el.clipCopyLocal.hidden = false;
        clipEndGet(r.rx.cut ? 'got-cut' : 'got');
      }
    }
  }

  async function clipPasteFromDevice() {
    if (!(navigator.clipboard && typeof navigator.clipboard.readText === 'function')) { clipSay('local-read-failed'); return; }
    el.clipPasteMac.hidden = true;
    clipGen += 1;
    const gen = clipGen;
    try {
      const text = await navigator.clipboard.readText();
      if (gen !== clipGen || app.layout.ui.sheet !== 'clip') return;
      if (!text) { clipSay('local-nothing'); return; }
      clipSetText(text);
      clipSay('');
    } catch (e) {
      if (gen === clipGen) clipSay('local-read-failed');
    }
  }

  function clipSelectAll() {
    el.clipText.focus({ preventScroll: true });
    el.clipText.select();
  }

  async function clipCopyToDevice() {
    el.clipPasteMac.hidden = true;
    const text = el.clipText.value;
    if (!text) { clipSay('nothing'); return; }
    const gen = clipGen;
    if (!(navigator.clipboard && typeof navigator.clipboard.writeText === 'function')) {
      clipSelectAll();
      clipSay('local-selected');
      return;
    }
    try {
      await navigator.clipboard.writeText(text);
      if (gen === clipGen && app.layout.ui.sheet === 'clip') clipSay('local-copied');
    } catch (e) {
      if (gen !== clipGen || app.layout.ui.sheet !== 'clip') return;
      clipSelectAll();
      clipSay('local-selected');
    }
  }

  function clipPasteOnMac() {
    if (!app.connection.conn.ready) { clipSay('offline'); return; }
    app.keyboard.sendChord('ControlLeft+KeyV');
    clipSay('pasted');
  }

  function onClipInput() {
    el.clipPasteMac.hidden = true;
    el.clipCopyLocal.hidden = true;
    if (!clipBusy()) clipSay('');
    clipSyncUi();
  }

  function bindClipboard() {
    el.clipPasteLocal.hidden = !(navigator.clipboard && typeof navigator.clipboard.readText === 'function');
    el.clipSend.addEventListener('click', clipSendToMac);
    el.clipGet.addEventListener('click', () => clipGetFromMac(false));
    el.clipCopyGet.addEventListener('click', () => clipGetFromMac(true));
    el.clipPasteLocal.addEventListener('click', clipPasteFromDevice);
    el.clipCopyLocal.addEventListener('click', clipCopyToDevice);
    el.clipPasteMac.addEventListener('click', clipPasteOnMac);
    el.clipText.addEventListener('input', onClipInput);
    clipSyncUi();
  }

  return {
    messages: { 'clip': onClipMessage, 'clip-data': onClipMessage, 'clip-put-result': onClipMessage },
    clipReset,
    onClipMessage,
    bindClipboard,
  };
};
