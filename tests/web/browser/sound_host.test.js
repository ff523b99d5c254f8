'use strict';
// The page against the test host capturing the sound of a private sound server.
const test = require('node:test');
const assert = require('node:assert/strict');
const { launch } = require('../support/browser.js');
const { startHarness } = require('../support/harness.js');
const { startXvfb } = require('../support/xvfb.js');
const { startPulse } = require('../support/pulse.js');
const { until, pairWithCode } = require('../support/session.js');

test('a tone played on the host reaches the page\u2019s player, and turning sound off ends the host\u2019s session', async () => {
  const pulse = await startPulse();
  assert.ok(pulse, 'no PulseAudio server could be started (scripts/setup installs PulseAudio)');
  const xvfb = await startXvfb({ width: 640, height: 400 });
  let harness = null;
  const browser = await launch();
  try {
    harness = await startHarness({ args: ['--x11'], env: { DISPLAY: xvfb.display, PULSE_SERVER: pulse.server } });
    pulse.playTone(440, 30);
    const page = browser.page;
    await page.goto(harness.url);
    await pairWithCode(page, harness);
    await page.locator('[data-toggle="more"]:visible').first().click();
    await page.click('#sound-toggle');
    await until(page, () => document.getElementById('sound-set').dataset.state === 'on', null, 15000);
    await until(page, () => {
      const d = document.getElementById('sound-set').dataset;
      return d.playing === 'true' && Number(d.packets) >= 20 && Number(d.played) > 0;
    }, null, 20000);
    const d = await page.evaluate(() => ({ ...document.getElementById('sound-set').dataset }));
    assert.equal(d.context, 'running');
    await page.click('#sound-toggle');
    assert.equal(await page.evaluate(() => document.getElementById('sound-set').dataset.state), 'off');
    const line = JSON.parse(await harness.waitLine(/"event":"audio-session"/, 10000));
    assert.ok(line.sent >= 20, 'packets sent: ' + line.sent);
    browser.assertClean(assert);
  } finally {
    await browser.close();
    if (harness) await harness.close();
    await xvfb.stop();
    await pulse.stop();
  }
});
