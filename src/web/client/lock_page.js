'use strict';
// Locking the computer, the page half: sends Lock, and draws the line under
// Lock and Disconnect from what the host says (see lock.js), with a hint
// over the picture when a lock did not happen.
const { encodeSimple } = require('./encoders.js');
const {
  LOCK_HINT_MS, disconnectAdvice, lockHint, lockStart, lockStep, lockView, lockedNow, parseLockResult, parseLockState,
} = require('./lock.js');

module.exports = function lockPage(app) {
  const { el } = app;

  let lock = lockStart();
  let viewKey = '';

  function lockEvent(ev) {
    const wasLate = lock.late;
    const wasLocked = lockedNow(lock);
    lock = lockStep(lock, ev);
    // The banner follows the host's word at once, not the next status.
    if (lockedNow(lock) !== wasLocked && app.wording) app.wording.lockChanged();
    if (ev.type === 'result' || (lock.late && !wasLate)) {
      const hint = lockHint(lock);
      if (hint) app.pointer.showHint(hint, LOCK_HINT_MS);
    }
    const view = lockView(lock);
    const key = view.kind + '|' + view.note;
    if (key === viewKey) return;
    viewKey = key;
    el.lockNote.textContent = view.note;
    if (view.kind) el.lockNote.dataset.kind = view.kind; else delete el.lockNote.dataset.kind;
    app.layout.relayout();
  }

  function askLock() {
    if (app.connection.send(encodeSimple('lock'))) lockEvent({ type: 'ask' });
  }

  // The advice the overlay gives after this device disconnected.
  function afterDisconnect(advice) { return disconnectAdvice(lock, advice); }

  return {
    messages: {
      'lock-state': (msg) => lockEvent({ type: 'state', state: parseLockState(msg) }),
      'lock-result': (msg) => lockEvent({ type: 'result', result: parseLockResult(msg) }),
    },
    lockEvent,
    lockedNow: () => lockedNow(lock),
    askLock,
    afterDisconnect,
  };
};
