'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const { openSession, until, eventually } = require('../support/session.js');

const connected = () => document.getElementById('conn-text').textContent === 'Connected';
const data = (page) => page.evaluate(() => Object.assign({}, document.getElementById('session-screen').dataset));

test('a phone in portrait gets the picture first, with the controls one tap away', async () => {
  const s = await openSession({
    browser: { viewport: { width: 390, height: 844 }, isMobile: true, hasTouch: true, deviceScaleFactor: 2 },
  });
  const { page } = s;
  try {
    await until(page, connected);
    let d = await data(page);
    assert.equal(d.mode, 'compact');
    assert.equal(d.dock, 'below');
    assert.equal(d.touch, 'yes');
    // Strip words give way under 400 px.
    assert.equal(await page.locator('#pointer-word').isHidden(), true);
    assert.equal(await page.locator('#pointer-toggle').isVisible(), true);

    await page.click('#keys-toggle');
    d = await data(page);
    assert.equal(d.sheet, 'keys');
    assert.equal(await page.getAttribute('#keys-toggle', 'aria-expanded'), 'true');
    // Opening the compose bar closes the sheet; the cluster then gives way.
    await page.click('#type-toggle');
    d = await data(page);
    assert.equal(d.sheet, 'none');
    assert.equal(d.compose, 'open');
    assert.equal(await page.locator('#cluster').isHidden(), true);
    assert.equal(await page.evaluate(() => document.activeElement.id), 'compose-text');
    // Typed text goes out in one message and the box empties.
    await page.fill('#compose-text', 'hello Mac');
    await page.click('#compose-send');
    await until(page, () => document.getElementById('compose-text').value === '');
    assert.deepEqual(s.host.last().sent.find((m) => m && m.t === 'text'), { t: 'text', s: 'hello Mac' });
    await page.click('#compose-close');
    assert.equal((await data(page)).compose, 'closed');

    // Lock and Disconnect are in view without scrolling the More sheet.
    await page.click('#cluster [data-toggle="more"]');
    const inside = async (id) => {
      const sheet = await page.locator('#more').boundingBox();
      const b = await page.locator(id).boundingBox();
      return b.y >= sheet.y && b.y + b.height <= sheet.y + sheet.height;
    };
    await eventually(async () => await inside('#lock-mac') && await inside('#disconnect'), 'Lock and Disconnect in view');
    await page.click('#lock-mac');
    await eventually(() => s.host.last().sent.some((m) => m && m.t === 'lock'), 'the lock message');
    // Escape outside the stage closes the sheet and returns focus to its opener.
    await page.focus('#quality');
    await page.keyboard.press('Escape');
    assert.equal((await data(page)).sheet, 'none');
    s.browser.assertClean(assert);
  } finally {
    await s.close();
  }
});

test('a tall desktop window turns roomy; the confirm dialog guards Forget', async () => {
  const s = await openSession({ browser: { viewport: { width: 1280, height: 1120 }, colorScheme: 'light' } });
  const { page } = s;
  try {
    await until(page, connected);
    const d = await data(page);
    assert.equal(d.mode, 'roomy');
    assert.equal(d.dock, 'below');
    assert.equal(await page.locator('#cluster').isHidden(), true);
    assert.equal(await page.locator('#keys').isVisible(), true);
    assert.equal(await page.locator('#compose').isVisible(), true);
    // The light theme's colours apply.
    assert.equal(await page.evaluate(() => getComputedStyle(document.documentElement).getPropertyValue('--bg').trim()), '#f3f4f6');
    // The stage took focus so keys go to the computer at once.
    assert.equal(await page.evaluate(() => document.activeElement.id), 'stage');

    await page.click('.strip [data-toggle="more"]');
    await page.click('#forget');
    assert.equal(await page.locator('#confirm').isVisible(), true);
    assert.equal(await page.textContent('#confirm-ok'), 'Forget');
    assert.equal(await page.evaluate(() => document.activeElement.id), 'confirm-cancel');
    await page.keyboard.press('Escape');
    assert.equal(await page.locator('#confirm').isHidden(), true);
    assert.ok(await page.evaluate(() => localStorage.getItem('morvane.token')), 'refusing keeps the token');
    await page.click('#forget');
    await page.click('#confirm-ok');
    await until(page, () => !document.getElementById('pair-screen').hidden);
    assert.equal(await page.evaluate(() => localStorage.getItem('morvane.token')), null);
    s.browser.assertClean(assert);
  } finally {
    await s.close();
  }
});
