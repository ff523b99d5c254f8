'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const { disconnectAdvice, lockHint, lockStart, lockStep, lockView } = require('../../../src/web/client/lock.js');

const run = (events) => events.reduce(lockStep, lockStart());
const state = (can, onDisconnect) => ({ type: 'state', state: { can, onDisconnect } });
const result = (locked) => ({ type: 'result', result: { locked } });

test('the line under Lock and Disconnect says what the host said, before and after a lock', () => {
  const cannot = 'This computer cannot lock itself: no screen locker answers on it.';
  const rows = [
    ['an older host says nothing, and is never waited for', [{ type: 'ask' }], '', ''],
    ['one that cannot', [state(false, false)], cannot, 'problem'],
    ['one that cannot, set to lock on disconnect', [state(false, true)],
      cannot + ' When you disconnect, it stays unlocked.', 'problem'],
    ['asked', [state(true, true), { type: 'ask' }], 'Locking the computer…', 'busy'],
    ['locked', [state(true, true), { type: 'ask' }, result(true)], 'The computer is locked.', 'good'],
    ['not locked', [state(true, true), { type: 'ask' }, result(false)],
      'The computer was not locked. Try again, or lock it at the computer.', 'problem'],
    ['not locked, as it cannot', [state(false, true), { type: 'ask' }, result(false)],
      'The computer was not locked: it cannot lock itself, as no screen locker answers on it. Lock it at the computer.',
      'problem'],
    ['the session ended while asking', [state(false, false), { type: 'ask' }, { type: 'closed' }], cannot, 'problem'],
  ];
  for (const [name, events, note, kind] of rows) assert.deepEqual(lockView(run(events)), { note, kind }, name);
  assert.equal(lockHint(run([state(true, true), { type: 'ask' }, result(false)])), 'The computer was not locked.');
  assert.equal(lockHint(run([state(true, true), { type: 'ask' }, result(true)])), '');
});

test('after Disconnect, a computer that cannot lock says it stays unlocked only when it would have locked', () => {
  const advice = 'Reconnect when you are ready.';
  const after = (events) => disconnectAdvice(lockStep(run(events), { type: 'closed' }), advice);
  assert.equal(after([state(false, true)]), 'This computer cannot lock itself, so it stays unlocked. ' + advice);
  assert.equal(after([state(false, false)]), advice);
  assert.equal(after([state(true, true)]), advice);
  assert.equal(after([]), advice);
});
