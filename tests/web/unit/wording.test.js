'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const { formatRate } = require('../../../src/web/client/video.js');
const {
  byeText, pairErrorText, retryText, shouldAutoReconnect, statusBanners, stopAdvice,
} = require('../../../src/web/client/wording.js');

test('notices come from the status in order of importance, at most one about capture', () => {
  assert.deepEqual(statusBanners(null), []);
  assert.deepEqual(statusBanners('ok'), []);
  assert.deepEqual(statusBanners({ capture: 'ok', input: true, locked: false, sleepDisabled: true }), []);
  assert.deepEqual(statusBanners({ capture: 'error: stream failed -3801' }).map((n) => n.title), ['The picture stopped on the Mac']);
  const four = statusBanners({ capture: 'no-permission', input: false, locked: true, sleepDisabled: false });
  assert.deepEqual(four.map((n) => n.id), ['no-screen', 'no-input', 'locked', 'may-sleep']);
  assert.equal(four[0].title, 'The Mac is not allowed to share its screen');
  assert.deepEqual(statusBanners({ capture: 'starting', input: true }).map((n) => n.id), ['starting']);
  assert.deepEqual(statusBanners({ capture: 'no-display' }).map((n) => n.id), ['no-display']);
  assert.deepEqual(statusBanners({ capture: 42, input: 0, locked: 'yes' }), [], 'only exact values count');
  assert.deepEqual(statusBanners({ capture: 'stopped-on-mac' }), []);
});

test('end-of-session wording says what happened and what to do next', () => {
  assert.equal(byeText('host-quit'), 'Morvane quit on the Mac.');
  assert.equal(byeText('taken-over'), 'Another device took over control of the Mac.');
  assert.equal(byeText('revoked'), 'This device was removed on the Mac.');
  assert.equal(byeText('paused'), 'Morvane is paused on the Mac.');
  assert.equal(byeText('timeout'), 'The Mac stopped hearing from this device.');
  assert.equal(byeText('whatever'), 'The connection to the Mac dropped.');
  assert.equal(byeText('constructor'), 'The connection to the Mac dropped.', 'no inherited names leak through');
  assert.equal(byeText(undefined), 'The connection to the Mac dropped.');
  assert.equal(stopAdvice('taken-over'), 'Only one device controls the Mac at a time. Reconnect to take it back.');
  assert.equal(stopAdvice('revoked'), 'Pair again with a new code from the Mac.');
  assert.equal(stopAdvice('user'), 'Reconnect when you are ready.');
  assert.equal(stopAdvice('toString'), 'Reconnect when you are ready.');
});

test('the page retries after every bye except the owner decisions', () => {
  for (const r of ['taken-over', 'revoked', 'disconnected-by-host', 'stopped-on-mac', 'paused', 'relay-quota', 'user']) {
    assert.equal(shouldAutoReconnect(r), false, r);
  }
  for (const r of ['host-quit', 'timeout', 'renew', '', 'unknown']) assert.equal(shouldAutoReconnect(r), true, r);
});

test('retry wording counts whole seconds, at least one', () => {
  assert.equal(retryText(1500), 'Trying again in 2 seconds.');
  assert.equal(retryText(0), 'Trying again in 1 second.');
  assert.equal(retryText(1000), 'Trying again in 1 second.');
  assert.equal(retryText(10000), 'Trying again in 10 seconds.');
  assert.equal(retryText('soon'), 'Trying again in 1 second.');
});

test('pairing refusals are worded the same for a wrong code and a closed window', () => {
  assert.match(pairErrorText('code-not-accepted'), /^That code was not accepted\. Check it against the Mac\. If the pairing window there has closed, choose Morvane/);
  assert.match(pairErrorText('paused'), /^Morvane is paused on the Mac, so nothing can be paired\./);
  assert.equal(pairErrorText('forbidden'), 'The Mac did not accept the request. Try again with a new code.');
  assert.equal(pairErrorText(undefined), 'The Mac did not accept the request. Try again with a new code.');
});

test('data rates read in kilobits below a megabit, then megabits with one decimal', () => {
  assert.equal(formatRate(999499), '999 kb/s');
  assert.equal(formatRate(1250000), '1.3 Mb/s');
  assert.equal(formatRate(2e6), '2.0 Mb/s');
  assert.equal(formatRate(-5), '0 kb/s');
  assert.equal(formatRate(NaN), '0 kb/s');
});
