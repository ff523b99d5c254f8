'use strict';
// The page against the test host capturing a real X display.
const test = require('node:test');
const assert = require('node:assert/strict');
const { launch } = require('../support/browser.js');
const { startHarness } = require('../support/harness.js');
const { startXvfb } = require('../support/xvfb.js');
const { until, samplePicture, near, eventually, pairWithCode } = require('../support/session.js');

test('the X display reaches the canvas as pictures and then as H.264 video', async (t) => {
  const xvfb = await startXvfb({ width: 1280, height: 720 });
  let harness = null;
  const browser = await launch();
  try {
    try {
      harness = await startHarness({ args: ['--x11'], env: { DISPLAY: xvfb.display } });
    } catch (e) {
      if (/not-built/.test(e.message)) { t.skip('this test host has no X11 capture yet'); return; }
      throw e;
    }
    const page = browser.page;
    // Still pictures first, so the JPEG path is seen on its own.
    await page.goto(harness.url);
    await page.evaluate(() => localStorage.setItem('morvane.picture', 'still'));
    await page.reload();
    await pairWithCode(page, harness);
    await eventually(async () => near(await samplePicture(page, 0.25, 0.5, 1280, 720), [255, 0, 0]), 'red on the left', 15000);
    assert.ok(near(await samplePicture(page, 0.75, 0.5, 1280, 720), [0, 0, 255]), 'right half is blue');

    await page.locator('[data-toggle="more"]:visible').first().click();
    await page.click('input[name="picture-pref"][value="auto"]');
    await until(page, () => document.getElementById('session-screen').dataset.picture === 'video', null, 20000);
    assert.equal(await page.textContent('#picture-note'), 'Smooth video is on.');
    await page.keyboard.press('Escape');
    await eventually(async () => near(await samplePicture(page, 0.25, 0.5, 1280, 720), [255, 0, 0], 60), 'red on the left in video');
    assert.ok(near(await samplePicture(page, 0.75, 0.5, 1280, 720), [0, 0, 255], 60), 'right half is blue in video');
    browser.assertClean(assert);
  } finally {
    await browser.close();
    if (harness) await harness.close();
    await xvfb.stop();
  }
});
