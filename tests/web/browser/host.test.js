'use strict';
// The page against the real server in the test host.
const test = require('node:test');
const assert = require('node:assert/strict');
const { launch } = require('../support/browser.js');
const { startHarness } = require('../support/harness.js');
const { until } = require('../support/session.js');

const connected = () => document.getElementById('conn-text').textContent === 'Connected';
const overlayTitle = (t) => !document.getElementById('overlay').hidden && document.getElementById('overlay-title').textContent === t;

async function pairPage(page, harness) {
  await page.goto(harness.url);
  await until(page, () => !document.getElementById('pair-screen').hidden);
  const code = await harness.pairCode();
  await page.fill('#pair-code', code.toLowerCase());
  await page.fill('#pair-name', 'Test browser');
  const answer = page.waitForResponse((r) => r.url().endsWith('/api/pair'));
  await page.click('#pair-button');
  const body = await (await answer).json();
  await until(page, connected);
  return body.deviceId;
}

test('a fresh browser pairs with the code the host shows and is told of takeover, pause and quit', async () => {
  const harness = await startHarness();
  const browser = await launch();
  try {
    const page = browser.page;
    // A wrong code first: the host's refusal is shown in the page's words.
    await page.goto(harness.url);
    await until(page, () => !document.getElementById('pair-screen').hidden);
    await page.fill('#pair-code', 'ABCD-EFGH');
    await page.click('#pair-button');
    await until(page, () => !document.getElementById('pair-error').hidden);
    assert.match(await page.textContent('#pair-error'), /^That code was not accepted\./);

    await pairPage(page, harness);
    assert.equal(await page.getAttribute('#conn-dot', 'data-state'), 'on');
    await until(page, () => document.getElementById('rtt').textContent.endsWith(' ms'));
    // The host answers the video request (JPEG until it can encode video).
    await until(page, () => document.getElementById('picture-note').textContent !== 'Starting video. Still pictures until it is ready.', null, 8000);

    // Keys typed on the stage reach the host's input as the same key codes.
    const seen = harness.lines.length;
    await page.focus('#stage');
    await page.keyboard.press('Shift+KeyM');
    await harness.waitLine(/"code":"ShiftLeft","down":false/, 5000, seen);
    const keys = harness.lines.slice(seen).filter((l) => l.startsWith('{')).map((l) => JSON.parse(l))
      .filter((e) => e.event === 'input' && e.kind === 'key');
    assert.deepEqual(keys.map((e) => e.code + (e.down ? '+' : '-')), ['ShiftLeft+', 'KeyM+', 'KeyM-', 'ShiftLeft-']);

    // A second page of the same device takes over; the first says so and stays put.
    const second = await browser.context.newPage();
    await second.goto(harness.url);
    await until(second, connected);
    await until(page, overlayTitle, 'Another device took over control of the computer.');
    assert.equal(await page.textContent('#reconnect'), 'Reconnect');
    await second.close();
    await page.click('#reconnect');
    await until(page, connected);

    harness.command('pause');
    await until(page, overlayTitle, 'Morvane is paused on the computer.');
    assert.match(await page.textContent('#overlay-text'), /Resume Morvane/);
    harness.command('resume');
    await page.click('#reconnect');
    await until(page, connected);

    harness.command('quit');
    await until(page, overlayTitle, 'Morvane quit on the computer.');
    assert.match(await page.textContent('#overlay-text'), /^Trying again in \d+ seconds?\.$/);
    assert.equal(await page.textContent('#reconnect'), 'Try now');
    await harness.exited;
    // The page keeps retrying a host that is gone; the attempts may be
    // logged by the browser as refused connections, which is not a fault.
    browser.problems.splice(0, browser.problems.length,
      ...browser.problems.filter((p) => !/WebSocket connection to .* failed/.test(p)));
    browser.assertClean(assert);
  } finally {
    await browser.close();
    await harness.close();
  }
});

test('a device removed on the host goes back to pairing', async () => {
  const harness = await startHarness();
  const browser = await launch({ viewport: { width: 390, height: 844 }, isMobile: true, hasTouch: true });
  try {
    const page = browser.page;
    const id = await pairPage(page, harness);
    assert.ok(id, 'the host gave a device id');
    const token = await page.evaluate(() => localStorage.getItem('morvane.token'));
    harness.command('revoke ' + id);
    await until(page, overlayTitle, 'This device was removed on the computer.');
    assert.equal(await page.textContent('#reconnect'), 'Pair again');
    await page.click('#reconnect');
    await until(page, () => !document.getElementById('pair-screen').hidden);
    assert.equal(await page.evaluate(() => localStorage.getItem('morvane.token')), null);
    // The old token is now refused by the host too.
    await page.evaluate((t) => localStorage.setItem('morvane.token', t), token);
    await page.reload();
    await until(page, () => !document.getElementById('pair-screen').hidden && !document.getElementById('pair-error').hidden);
    assert.equal(await page.textContent('#pair-error'), 'This device is no longer paired with the computer. Pair it again with a new code.');
    browser.assertClean(assert);
  } finally {
    await browser.close();
    await harness.close();
  }
});
