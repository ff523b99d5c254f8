'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const { disconnectAdvice, lockHint, lockStart, lockStep, lockView, lockedNow } = require('../../../src/web/client/lock.js');
const { statusBanners } = require('../../../src/web/client/wording.js');

const run = (events) => events.reduce(lockStep, lockStart());
const state = (can, onDisconnect) => ({ type: 'state', state: { can, onDisconnect } });
const result = (locked) => ({ type: 'result', result: { locked } });
const screen = (locked) => ({ type: 'screen', locked });

test('the line under Lock and Disconnect says what the host said, before and after a lock', () => {
  const cannot = 'This computer cannot lock itself: no screen locker answers on it.';
  const notLocked = 'The computer was not locked.';
  // name, events, the line and its kind, the hint over the picture
  const rows = [
    ['an older host says nothing, and is never waited for', [{ type: 'ask' }], '', '', ''],
    ['one that cannot', [state(false, false)], cannot, 'problem', ''],
    ['one that cannot, set to lock on disconnect', [state(false, true)],
      cannot + ' When you disconnect, it stays unlocked.', 'problem', ''],
    ['asked', [state(true, true), { type: 'ask' }], 'Locking the computer…', 'busy', ''],
    ['locked', [state(true, true), { type: 'ask' }, result(true)], 'The computer is locked.', 'good', ''],
    ['not locked', [state(true, true), { type: 'ask' }, result(false)],
      'The computer was not locked. Try again, or lock it at the computer.', 'problem', notLocked],
    ['not locked, as it cannot', [state(false, true), { type: 'ask' }, result(false)],
      'The computer was not locked: it cannot lock itself, as no screen locker answers on it. Lock it at the computer.',
      'problem', notLocked],
    ['unlocked at the computer after a lock', [state(true, true), { type: 'ask' }, result(true), screen(true),
      screen(false)], '', '', ''],
    ['said not locked, then locked late', [state(true, true), { type: 'ask' }, result(false), screen(true)],
      'The computer is locked.', 'good', 'The computer is locked.'],
    ['... and told so by the host too', [state(true, true), { type: 'ask' }, result(false), screen(true), result(true)],
      'The computer is locked.', 'good', ''],
    ['a late "no" after the screen locked', [state(true, true), { type: 'ask' }, screen(true), result(false)],
      'The computer is locked.', 'good', ''],
    ['a status without the word changes nothing', [state(true, true), { type: 'ask' }, result(true), screen(undefined)],
      'The computer is locked.', 'good', ''],
    ['the session ended while asking', [state(false, false), { type: 'ask' }, { type: 'closed' }], cannot, 'problem',
      ''],
  ];
  for (const [name, events, note, kind, hint] of rows) {
    const s = run(events);
    assert.deepEqual(lockView(s), { note, kind }, name);
    assert.equal(lockHint(s), hint, name);
  }
});

test('after Disconnect, a computer that cannot lock says it stays unlocked only when it would have locked', () => {
  const advice = 'Reconnect when you are ready.';
  const rows = [
    [[state(false, true)], 'This computer cannot lock itself, so it stays unlocked. ' + advice],
    [[state(false, false)], advice],
    [[state(true, true)], advice],
    [[], advice],
  ];
  for (const [events, want] of rows) {
    assert.equal(disconnectAdvice(lockStep(run(events), { type: 'closed' }), advice), want, JSON.stringify(events));
  }
});

test('the locked banner comes with the host\'s answer and goes with the screen, never beside "not locked"', () => {
  const unlocked = { capture: 'ok', input: true, locked: false, sleepDisabled: true };
  const banner = (s, status) => statusBanners(status, lockedNow(s)).some((n) => n.id === 'locked');
  // name, events, the banner over an unlocked status, the line's kind
  const rows = [
    ['asked, not answered yet', [state(true, true), { type: 'ask' }], false, 'busy'],
    ['answered locked, before the status says so', [state(true, true), { type: 'ask' }, result(true)], true, 'good'],
    ['answered not locked', [state(true, true), { type: 'ask' }, result(false)], false, 'problem'],
    ['not locked, then locked after all', [state(true, true), { type: 'ask' }, result(false), result(true)], true, 'good'],
    ['locked, then the screen unlocked', [state(true, true), { type: 'ask' }, result(true), screen(false)], false, ''],
    ['locked, then the session closed', [state(true, true), { type: 'ask' }, result(true), { type: 'closed' }], false, ''],
  ];
  for (const [name, events, shown, kind] of rows) {
    const s = run(events);
    assert.equal(banner(s, unlocked), shown, name);
    assert.equal(lockView(s).kind, kind, name);
  }
  assert.equal(banner(lockStart(), { locked: true }), true, 'the status alone still says it');
});
