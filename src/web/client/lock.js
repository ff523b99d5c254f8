'use strict';
// Locking the computer, the pure half. The host says whether the computer
// can lock at all and whether it locks when this device disconnects (at the
// start of each session and at every change), and whether a lock the page
// asked for happened; `lockStep` keeps that, and what the host's status says
// of the screen, and `lockView` says what the line under Lock and Disconnect
// shows, before they are used and after. The screen's word has the last say:
// a lock the host first said did not happen, that came late, reads locked,
// and an unlocked screen is no longer said to be locked.
// A host that says none of it (an older build) leaves the line empty, as it
// always was. Nothing here reads a clock or touches the page.

const LOCK_HINT_MS = 8000;

const isObject = (v) => v !== null && typeof v === 'object' && !Array.isArray(v);

// What the host says of locking, or null. A field it garbles reads as the
// host that says nothing would mean: it locks when asked, and does not lock
// on disconnect.
function parseLockState(msg) {
  if (!isObject(msg) || msg.t !== 'lock-state') return null;
  return { can: msg.can !== false, onDisconnect: msg.onDisconnect === true };
}

function parseLockResult(msg) {
  if (!isObject(msg) || msg.t !== 'lock-result') return null;
  return { locked: msg.locked === true };
}

function lockStart() { return { mac: null, asking: false, result: '', screen: null, late: false }; }

// `late`: a "not locked" that the screen proved wrong, until the next word.
function settle(s, change) {
  const next = Object.assign({}, s, change);
  next.late = s.result === 'not-locked' && next.result === 'locked';
  return next;
}

// Events: state (the host's facts, parsed), ask (Lock was pressed and sent),
// result (the host's answer, parsed), screen (the status's `locked`: true,
// false, or anything else when it does not say), closed (the session ended:
// what was asked is over, what the host said of itself is kept for the
// words after a disconnect).
function lockStep(s, ev) {
  switch (ev.type) {
    case 'state': return ev.state ? Object.assign({}, s, { mac: ev.state }) : s;
    // Only a host that speaks of locking answers an ask.
    case 'ask': return s.mac ? Object.assign({}, s, { asking: true, result: '' }) : s;
    case 'result':
      if (!ev.result) return s;
      return settle(s, { asking: false, result: ev.result.locked || s.screen === true ? 'locked' : 'not-locked' });
    case 'screen': {
      const screen = typeof ev.locked === 'boolean' ? ev.locked : null;
      if (screen === true) return settle(s, { screen, asking: false, result: 'locked' });
      if (screen === false && s.result === 'locked') return settle(s, { screen, result: '' });
      return Object.assign({}, s, { screen });
    }
    case 'closed': return Object.assign({}, s, { asking: false, result: '', screen: null, late: false });
    default: return s;
  }
}

const CANNOT = 'This computer cannot lock itself: no screen locker answers on it.';

// The line under Lock and Disconnect: its text and kind ('' when empty).
function lockView(s) {
  const cannot = !!s.mac && !s.mac.can;
  if (s.asking) return { note: 'Locking the computer…', kind: 'busy' };
  if (s.result === 'locked') return { note: 'The computer is locked.', kind: 'good' };
  if (s.result === 'not-locked') {
    return {
      note: cannot ? 'The computer was not locked: it cannot lock itself, as no screen locker answers on it. ' +
        'Lock it at the computer.' : 'The computer was not locked. Try again, or lock it at the computer.',
      kind: 'problem',
    };
  }
  if (cannot) {
    return { note: CANNOT + (s.mac.onDisconnect ? ' When you disconnect, it stays unlocked.' : ''), kind: 'problem' };
  }
  return { note: '', kind: '' };
}

// Over the picture, for whoever closed the sheet at once; a lock that came
// after "not locked" is said there too.
function lockHint(s) {
  if (s.result === 'not-locked') return 'The computer was not locked.';
  return s.late ? 'The computer is locked.' : '';
}

// Whether the page holds the computer locked now: the host's answer said so,
// or the screen's status, and no status said otherwise since.
function lockedNow(s) { return s.result === 'locked'; }

// The advice after "You disconnected.": a computer set to lock when this
// device disconnects, that cannot, stays unlocked.
function disconnectAdvice(s, advice) {
  if (!s.mac || s.mac.can || !s.mac.onDisconnect) return advice;
  return 'This computer cannot lock itself, so it stays unlocked. ' + advice;
}

module.exports = {
  LOCK_HINT_MS, parseLockState, parseLockResult, lockStart, lockStep, lockView, lockHint, lockedNow, disconnectAdvice,
};
