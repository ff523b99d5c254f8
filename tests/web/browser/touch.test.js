'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const { openSession, until, eventually, touchSender, tapAt } = require('../support/session.js');
const { jpegFrame, makeJpeg } = require('../support/fake-host.js');

test('a phone drives the computer like a trackpad: tap, drag the pointer, scroll, right-click, pinch', async () => {
  let conn = null;
  const s = await openSession({
    host: { onSession: (c) => { conn = c; } },
    browser: { viewport: { width: 390, height: 844 }, isMobile: true, hasTouch: true, deviceScaleFactor: 2 },
  });
  const { page } = s;
  try {
    await until(page, () => document.getElementById('conn-text').textContent === 'Connected');
    conn.ws.send(jpegFrame(await makeJpeg(page, 1600, 1000), 1600, 1000));
    await until(page, () => document.getElementById('fps').textContent !== '');
    const cdp = await page.context().newCDPSession(page);
    const touch = touchSender(cdp);
    const since = (n) => conn.sent.slice(n).filter((m) => m && ['mm', 'mb', 'sc'].includes(m.t));
    const pause = () => page.waitForTimeout(450); // past the double-tap window

    // Bright when shown, dimmed once two seconds pass untouched, which a
    // busy machine may take before this reads it: shown either way.
    assert.ok(['on', 'idle'].includes(await page.getAttribute('#pointer-mark', 'data-state')),
      'the ring shows where a tap clicks');
    let n = conn.sent.length;
    await tapAt(touch, 200, 400);
    await eventually(() => since(n).length >= 2, 'the click');
    assert.deepEqual(since(n).map((m) => [m.t, m.b, m.d, m.x, m.y]), [['mb', 0, true, 0.5, 0.5], ['mb', 0, false, 0.5, 0.5]],
      'a tap clicks where the ring is, not under the finger');

    await pause();
    n = conn.sent.length;
    await touch('touchStart', [[100, 400]]);
    for (let i = 1; i <= 10; i++) { await touch('touchMove', [[100 + i * 8, 400]]); await page.waitForTimeout(16); }
    await touch('touchEnd', []);
    await eventually(() => since(n).some((m) => m.x > 0.55), 'the pointer moves');
    let got = since(n);
    assert.ok(got.length > 0 && got.every((m) => m.t === 'mm'), 'a drag moves the pointer and clicks nothing');
    assert.ok(got.at(-1).x > 0.55 && got.at(-1).y === 0.5);

    await pause();
    n = conn.sent.length;
    await touch('touchStart', [[150, 400], [250, 400]]);
    for (let i = 1; i <= 8; i++) { await touch('touchMove', [[150, 400 - i * 10], [250, 400 - i * 10]]); await page.waitForTimeout(16); }
    await touch('touchEnd', []);
    await eventually(() => since(n).length >= 2, 'the scrolls');
    got = since(n);
    assert.ok(got.length > 0 && got.every((m) => m.t === 'sc' && m.dx === 0 && m.dy > 0), 'two fingers up scroll the content up');

    await pause();
    n = conn.sent.length;
    // The page is kept busy past a tap's time between the fingers' landing
    // and their lift, as a phone drawing a picture may be: still a tap.
    const landed = Date.now() / 1000;
    await touch('touchStart', [[150, 400], [250, 400]], landed);
    const busy = page.evaluate(() => { const end = performance.now() + 600; while (performance.now() < end); });
    await touch('touchEnd', [], landed + 0.1);
    await busy;
    await eventually(() => since(n).length >= 2, 'the right click');
    assert.deepEqual(since(n).map((m) => [m.t, m.b, m.d]), [['mb', 1, true], ['mb', 1, false]], 'a two-finger tap is a right click');

    await pause();
    n = conn.sent.length;
    await touch('touchStart', [[180, 400], [220, 400]]);
    for (let i = 1; i <= 20; i++) { await touch('touchMove', [[180 - i * 10, 400], [220 + i * 10, 400]]); await page.waitForTimeout(16); }
    await touch('touchEnd', []);
    await until(page, () => document.getElementById('zoom-text').textContent === '4×');
    assert.deepEqual(since(n), [], 'a pinch zooms here and sends nothing');
    assert.equal(await page.textContent('#zoom-text'), '4×', 'never past 4x');
    await page.click('#zoom-reset');
    assert.equal(await page.isHidden('#zoom-reset'), true);
    s.browser.assertClean(assert);
  } finally {
    await s.close();
  }
});

test('Touch mode: a tap is a left click however late a busy page gets to it; only a finger held is a right click', async () => {
  let conn = null;
  const s = await openSession({ host: { onSession: (c) => { conn = c; } },
    browser: { viewport: { width: 390, height: 844 }, isMobile: true, hasTouch: true, deviceScaleFactor: 2 } });
  const { page } = s;
  try {
    await page.evaluate(() => localStorage.setItem('morvane.pointer', 'touch'));
    await page.reload();
    await until(page, () => document.getElementById('conn-text').textContent === 'Connected');
    conn.ws.send(jpegFrame(await makeJpeg(page, 1600, 1000), 1600, 1000));
    await until(page, () => document.getElementById('fps').textContent !== '');
    const cdp = await page.context().newCDPSession(page);
    const touch = touchSender(cdp);
    // The finger lifts `liftMs` after it lands, the page busy for `busyMs`
    // from the landing, as a phone drawing a picture may be.
    const buttons = async (busyMs, liftMs) => {
      await page.waitForTimeout(400); // past the double-tap window
      const n = conn.sent.length;
      const landed = Date.now() / 1000;
      await touch('touchStart', [[200, 400]], landed);
      const busy = page.evaluate((ms) => { const end = performance.now() + ms; while (performance.now() < end); }, busyMs);
      await page.waitForTimeout(liftMs);
      await touch('touchEnd', [], landed + Math.max(liftMs, 50) / 1000);
      await busy;
      await eventually(() => conn.sent.slice(n).filter((m) => m && m.t === 'mb').length >= 2, 'a click');
      await page.waitForTimeout(150);
      return conn.sent.slice(n).filter((m) => m && m.t === 'mb').map((m) => [m.b, m.d]);
    };
    assert.deepEqual(await buttons(600, 0), [[0, true], [0, false]], 'a tap held back');
    assert.deepEqual(await buttons(0, 700), [[1, true], [1, false]], 'a finger held');
    assert.deepEqual(await buttons(600, 800), [[1, true], [1, false]], 'a finger held on a busy page');
    s.browser.assertClean(assert);
  } finally {
    await s.close();
  }
});
