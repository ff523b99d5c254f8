'use strict';
// What every part of the page shares: the elements by id, the relay's hooks
// when the page runs at the relay (its road to the computer and its own
// set-up screens, joined in at build time), the device's traits, the page
// clock and a storage that survives private browsing. Built once at
// start-up; each page module is handed it (with the other modules on it) as
// `app`.

module.exports = function pageContext(relayRoad) {
  const relay = relayRoad || null;
  const $ = (id) => document.getElementById(id);
  const root = document.documentElement;
  const ids = [
    'pair-screen', 'pair-form', 'pair-code', 'pair-code-hint', 'pair-name', 'pair-error', 'pair-button', 'pair-item-local',
    'pair-item-tailnet',
    'session-screen', 'conn-dot', 'conn-text', 'keys-chip', 'kb-chip', 'hide-chip', 'metrics', 'rtt', 'fps',
    'pic-mode', 'rate', 'zoom-reset', 'zoom-text', 'pointer-toggle', 'pointer-word',
    'banner', 'banner-title', 'banner-detail', 'banner-list', 'banner-more',
    'work', 'stage', 'screen', 'pointer-mark', 'tap-mark', 'hint', 'overlay', 'overlay-title', 'overlay-text', 'reconnect',
    'compose', 'compose-close', 'compose-text', 'lt-strip', 'lt-field', 'lt-toggle', 'compose-send', 'lt-done',
    'compose-plain', 'compose-return', 'lt-note', 'compose-note',
    'keys', 'more', 'clip', 'files', 'cluster', 'type-toggle', 'keys-toggle',
    'files-open', 'fullscreen', 'lock-mac', 'disconnect', 'lock-note', 'lid-note', 'quality', 'forget',
    'picture-note', 'video-retry', 'clip-text', 'pointer-note', 'kb-chars', 'kb-kept', 'kb-capture',
    'kb-capture-note', 'clip-count', 'clip-status', 'clip-paste-local', 'clip-send', 'clip-paste-mac', 'clip-get',
    'clip-copy-get', 'clip-copy-local', 'display-set', 'display-list', 'display-note', 'fit-row', 'fit-button', 'fit-restore', 'fit-note',
    'mac-set', 'hide-button', 'hide-note', 'sound-set',
    'sound-toggle', 'sound-note',
    'confirm', 'confirm-text', 'confirm-cancel', 'confirm-ok',
    'files-input', 'files-pick', 'files-up', 'files-up-bar', 'files-up-cancel', 'files-up-status', 'files-list-get',
    'files-list', 'files-down', 'files-down-bar', 'files-down-cancel', 'files-down-status', 'files-saved', 'files-save',
    'files-share',
  ];
  const el = {};
  for (const id of ids) el[id.replace(/-([a-z])/g, (m, c) => c.toUpperCase())] = $(id);
  const session = el.sessionScreen;
  const sheets = { keys: el.keys, more: el.more, clip: el.clip, files: el.files };

  const reducedMotion = window.matchMedia('(prefers-reduced-motion: reduce)');
  const coarsePointer = window.matchMedia('(pointer: coarse)');
  const onPhone = () => coarsePointer.matches && Math.min(screen.width, screen.height) < 600;
  const mono = () => performance.now();

  function soon(fn) {
    let done = false;
    const run = () => { if (!done) { done = true; fn(); } };
    requestAnimationFrame(run);
    setTimeout(run, 50);
  }

  // Storage can throw (private browsing); a failed write keeps the value
  // for this page's life only.
  const memoryStore = {};
  function storeGet(key) {
    try { const v = localStorage.getItem(key); if (v !== null) return v; } catch (e) { /* memory only */ }
    return Object.prototype.hasOwnProperty.call(memoryStore, key) ? memoryStore[key] : null;
  }
  function storeSet(key, value) {
    memoryStore[key] = value;
    try { localStorage.setItem(key, value); } catch (e) { /* memory only */ }
  }

  const isTypeField = (node) => !!node && (node === el.composeText || node === el.ltField);
  const typeField = () => (el.ltStrip.hidden ? el.composeText : el.ltField);

  return {
    relay, root, el, session, sheets, reducedMotion, coarsePointer, onPhone, mono, soon, storeGet, storeSet,
    isTypeField, typeField,
  };
};
