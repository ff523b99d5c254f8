'use strict';
// What the phone is told of locking the computer: by the real host, whose
// shell finds no screen locker (none answers in the environment it is given),
// and, for the words after Disconnect, by a stand-in host that locks on
// disconnect.
const test = require('node:test');
const assert = require('node:assert/strict');
const { launch } = require('../support/browser.js');
const { startHarness } = require('../support/harness.js');
const { openSession, until } = require('../support/session.js');

const connected = () => document.getElementById('conn-text').textContent === 'Connected';
const note = () => document.getElementById('lock-note').textContent;

test('a lock that does not happen is said on the phone within 3 s, and a computer that cannot lock says so first', async () => {
  // No display and no bus for the host's screen locker to reach: whatever
  // desktop the test runs under stays out of it.
  const nowhere = 'unix:path=/nonexistent/morvane-test-bus';
  const harness = await startHarness({
    env: { DISPLAY: '', DBUS_SESSION_BUS_ADDRESS: nowhere, DBUS_SYSTEM_BUS_ADDRESS: nowhere, XDG_SESSION_ID: '' },
  });
  const browser = await launch({ viewport: { width: 390, height: 844 }, isMobile: true, hasTouch: true });
  try {
    const page = browser.page;
    await page.goto(harness.url);
    await until(page, () => !document.getElementById('pair-screen').hidden);
    await page.fill('#pair-code', await harness.pairCode());
    await page.click('#pair-button');
    await until(page, connected);

    // Before Lock is used, beside it.
    await page.click('#cluster [data-toggle="more"]');
    await until(page, (t) => document.getElementById('lock-note').textContent === t,
      'This computer cannot lock itself: no screen locker answers on it.');
    assert.equal(await page.getAttribute('#lock-note', 'data-kind'), 'problem');

    const seen = harness.lines.length;
    const tapped = Date.now();
    await page.click('#lock-mac');
    await until(page, () => document.getElementById('lock-note').textContent.startsWith('The computer was not locked'));
    const took = Date.now() - tapped;
    assert.ok(took < 3000, `told after ${took} ms`);
    assert.equal(await page.evaluate(note),
      'The computer was not locked: it cannot lock itself, as no screen locker answers on it. Lock it at the computer.');
    assert.equal(await page.textContent('#hint'), 'The computer was not locked.');
    // The lock itself went to the computer's input, and the host says what it found.
    await harness.waitLine(/"event":"input","kind":"lock"/, 5000, seen);
    await harness.waitLine(/the controller asked to lock the computer, but it did not lock/, 5000, seen);
    browser.assertClean(assert);
  } finally {
    await browser.close();
    await harness.close();
  }
});

test('Disconnect on a computer that locks on disconnect but cannot lock says it stays unlocked', async () => {
  const s = await openSession({
    browser: { viewport: { width: 390, height: 844 }, isMobile: true, hasTouch: true },
    host: { onSession: (conn) => conn.ws.send(JSON.stringify({ t: 'lock-state', can: false, onDisconnect: true })) },
  });
  const { page } = s;
  try {
    await until(page, connected);
    await page.click('#cluster [data-toggle="more"]');
    await until(page, (t) => document.getElementById('lock-note').textContent === t,
      'This computer cannot lock itself: no screen locker answers on it. When you disconnect, it stays unlocked.');
    await page.click('#disconnect');
    await until(page, () => !document.getElementById('overlay').hidden);
    assert.equal(await s.text('#overlay-title'), 'You disconnected.');
    assert.equal(await s.text('#overlay-text'),
      'This computer cannot lock itself, so it stays unlocked. Reconnect when you are ready.');
    s.browser.assertClean(assert);
  } finally {
    await s.close();
  }
});
