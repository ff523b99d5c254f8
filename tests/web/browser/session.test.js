'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const { openSession, until, samplePicture, near, eventually } = require('../support/session.js');
const { jpegFrame, makeJpeg } = require('../support/fake-host.js');

const connected = () => document.getElementById('conn-text').textContent === 'Connected';
const overlayTitle = (t) => !document.getElementById('overlay').hidden && document.getElementById('overlay-title').textContent === t;

test('JPEG pictures are drawn letterboxed on the canvas and the strip shows the readings', async () => {
  let conn = null;
  const s = await openSession({ host: { onSession: (c) => { conn = c; } } });
  const { page } = s;
  try {
    await until(page, connected);
    const jpeg = await makeJpeg(page, 1600, 1000);
    // A truncated picture and an unknown kind are skipped without harm.
    conn.ws.send(Buffer.from([1, 0, 5, 0]));
    conn.ws.send(Buffer.from([0x7f, 1, 2, 3]));
    conn.ws.send(jpegFrame(jpeg, 1600, 1000));
    await until(page, () => document.getElementById('fps').textContent !== '' && document.getElementById('rtt').textContent.endsWith(' ms'));
    await page.waitForFunction(() => {
      const c = document.getElementById('screen');
      return c.width > 0 && c.getContext('2d').getImageData(0, 0, c.width, c.height).data.some((v, i) => i % 4 !== 3 && v > 200);
    });
    assert.ok(near(await samplePicture(page, 0.02, 0.97, 1600, 1000), [255, 0, 0]), 'red corner at the bottom left');
    assert.ok(near(await samplePicture(page, 0.98, 0.97, 1600, 1000), [0, 255, 0]), 'green corner at the bottom right');
    assert.ok(near(await samplePicture(page, 0.98, 0.5, 1600, 1000), [0, 0, 255]), 'blue mark on the right edge');
    assert.match(await s.text('#rate'), /^\d+ kb\/s$|^\d+\.\d Mb\/s$/);
    assert.equal(await page.locator('#metrics').isVisible(), true);
    // A new picture of another size relays the picture out at its own aspect.
    const tall = await makeJpeg(page, 800, 1000);
    conn.ws.send(jpegFrame(tall, 800, 1000));
    await eventually(async () => near(await samplePicture(page, 0.04, 0.97, 800, 1000), [255, 0, 0]), 'the taller picture');
    s.browser.assertClean(assert);
  } finally {
    await s.close();
  }
});

test('the notices follow the status and stay out of the way until asked', async () => {
  let conn = null;
  const s = await openSession({
    host: { status: { t: 'status', capture: 'no-permission', input: false, locked: true, sleepDisabled: false, lidClosed: true }, onSession: (c) => { conn = c; } },
  });
  const { page } = s;
  try {
    await until(page, () => !document.getElementById('banner').hidden);
    assert.equal(await s.text('#banner-title'), 'The computer is not allowed to share its screen');
    assert.equal(await s.text('#banner-more'), '3 more');
    assert.equal(await page.locator('#banner-list').isHidden(), true);
    await page.click('#banner-more');
    assert.equal(await s.text('#banner-more'), 'Show less');
    assert.equal(await page.locator('#banner-list li').count(), 3);
    assert.equal(await page.evaluate(() => document.getElementById('lid-note').hidden), false);
    conn.ws.send(JSON.stringify({ t: 'status', capture: 'ok', input: true, locked: false, sleepDisabled: true, lidClosed: false }));
    await until(page, () => document.getElementById('banner').hidden);
    assert.equal(await page.evaluate(() => document.getElementById('lid-note').hidden), true);
    s.browser.assertClean(assert);
  } finally {
    await s.close();
  }
});

test('each ending is worded by its reason; owner decisions stop, everything else retries', async () => {
  const s = await openSession();
  const { page, host } = s;
  try {
    await until(page, connected);

    host.bye('taken-over');
    await until(page, overlayTitle, 'Another device took over control of the computer.');
    assert.equal(await s.text('#overlay-text'), 'Only one device controls the computer at a time. Reconnect to take it back.');
    assert.equal(await s.text('#reconnect'), 'Reconnect');
    assert.equal(await s.text('#conn-text'), 'Disconnected');
    assert.equal(await page.getAttribute('#conn-dot', 'data-state'), 'off');
    assert.equal(await page.locator('#metrics').isHidden(), true);
    let count = host.connections.length;
    await page.waitForTimeout(1500);
    assert.equal(host.connections.length, count, 'no retry after a takeover');
    await page.click('#reconnect');
    await until(page, connected);
    assert.equal(host.connections.length, count + 1);

    host.bye('host-quit');
    await until(page, overlayTitle, 'Morvane quit on the computer.');
    assert.equal(await s.text('#overlay-text'), 'Trying again in 1 second.');
    assert.equal(await s.text('#reconnect'), 'Try now');
    assert.equal(await s.text('#conn-text'), 'Reconnecting');
    await until(page, connected);

    host.bye('paused');
    await until(page, overlayTitle, 'Morvane is paused on the computer.');
    assert.match(await s.text('#overlay-text'), /^Nobody can connect while it is paused\./);
    assert.equal(await s.text('#reconnect'), 'Reconnect');
    await page.click('#reconnect');
    await until(page, connected);

    // The page's own Disconnect.
    await page.click('#cluster [data-toggle="more"]');
    await page.click('#disconnect');
    await until(page, overlayTitle, 'You disconnected.');
    assert.equal(await page.getAttribute('#session-screen', 'data-sheet'), 'none');
    await page.click('#reconnect');
    await until(page, connected);

    // A dropped socket without a bye retries with the general wording.
    count = host.connections.length;
    host.last().ws.close({ code: 1006 });
    await until(page, overlayTitle, 'The connection to the computer dropped.');
    await until(page, connected);
    assert.equal(host.connections.length, count + 1);

    host.bye('revoked');
    await until(page, overlayTitle, 'This device was removed on the computer.');
    assert.equal(await s.text('#reconnect'), 'Pair again');
    await page.click('#reconnect');
    await until(page, () => !document.getElementById('pair-screen').hidden);
    assert.equal(await page.evaluate(() => localStorage.getItem('morvane.token')), null);
    s.browser.assertClean(assert);
  } finally {
    await s.close();
  }
});

test('the chip saying keys go to the computer shows only while a session is up to take them', async () => {
  const s = await openSession();
  const { page, host } = s;
  const chipShown = () => page.isVisible('#keys-chip');
  try {
    await until(page, connected);
    await page.focus('#stage');
    assert.equal(await chipShown(), true, 'connected, with the picture focused');
    for (const reason of ['taken-over', 'paused']) {
      host.bye(reason);
      await until(page, () => !document.getElementById('overlay').hidden);
      assert.equal(await chipShown(), false, 'over the disconnected page after ' + reason);
      await page.focus('#stage');
      assert.equal(await chipShown(), false, 'focusing the picture while disconnected after ' + reason);
      await page.click('#reconnect');
      await until(page, connected);
      await page.focus('#stage');
      assert.equal(await chipShown(), true, 'connected again after ' + reason);
    }
    s.browser.assertClean(assert);
  } finally {
    await s.close();
  }
});

test('retries back off 1, 2 and 5 seconds and "Try now" starts the count again, staying put while it dials', async () => {
  const s = await openSession();
  const { page, host } = s;
  try {
    await until(page, connected);
    // From now on the fake host refuses to be reached: every socket closes at once.
    await page.routeWebSocket(/\/ws$/, (ws) => ws.close({ code: 1006 }));
    // Every wording the overlay shows, as the page shows it: a busy machine
    // may read the page only after the first wait is over.
    await page.evaluate(() => {
      const text = document.getElementById('overlay-text');
      window.shownTexts = [];
      new MutationObserver(() => {
        if (window.shownTexts.at(-1) !== text.textContent) window.shownTexts.push(text.textContent);
      }).observe(text, { childList: true, characterData: true, subtree: true });
    });
    host.bye('timeout');
    await until(page, overlayTitle, 'The computer stopped hearing from this device.');
    await until(page, () => window.shownTexts.includes('Trying again in 5 seconds.'));
    const waits = (await page.evaluate(() => window.shownTexts)).filter((t) => t.startsWith('Trying again'));
    assert.deepEqual(waits, ['Trying again in 1 second.', 'Trying again in 2 seconds.', 'Trying again in 5 seconds.']);
    const tapped = await page.evaluate(() => {
      const b = document.getElementById('reconnect');
      const before = JSON.stringify(b.getBoundingClientRect());
      b.click();
      return [JSON.stringify(b.getBoundingClientRect()) === before, b.hidden, b.disabled, b.textContent,
        document.getElementById('overlay-title').textContent];
    });
    assert.deepEqual(tapped, [true, false, true, 'Try now', 'Connecting to your computer']);
    await until(page, () => document.getElementById('overlay-text').textContent === 'Trying again in 1 second.');
    s.browser.assertClean(assert);
  } finally {
    await s.close();
  }
});

test('messages before "ready" have no effect, and a silent socket is dropped', async () => {
  const s = await openSession({ token: null, host: { answerPings: false } });
  const { page, host } = s;
  try {
    const jpeg = await makeJpeg(page, 1600, 1000);
    // This host says everything before "ready", which it sends a moment later.
    await page.routeWebSocket(/\/ws$/, (ws) => {
      const conn = { ws, sent: [] };
      host.connections.push(conn);
      ws.onMessage(() => {
        if (conn.sent.push(1) > 1) return;
        ws.send(JSON.stringify({ t: 'status', capture: 'no-display', input: true }));
        ws.send(jpegFrame(jpeg, 1600, 1000));
        ws.send(JSON.stringify({ t: 'pong', id: 1 }));
        setTimeout(() => ws.send(JSON.stringify({ t: 'ready', device: 'x', version: 1 })), 300);
      });
    });
    await page.evaluate((t) => localStorage.setItem('morvane.token', t), 'ab'.repeat(32));
    await page.reload();
    await until(page, connected);
    await page.waitForTimeout(500);
    assert.equal(await page.locator('#banner').isHidden(), true, 'the early status was not rendered');
    await until(page, () => document.getElementById('fps').textContent !== '');
    assert.equal(await s.text('#fps'), '0 fps', 'the early picture was dropped');
    const count = host.connections.length;
    // Nothing heard for more than ten seconds: the page drops and retries,
    // and says why.
    await until(page, overlayTitle, 'Your computer stopped answering.', 20000);
    await until(page, connected, null, 10000);
    assert.ok(host.connections.length > count);
    s.browser.assertClean(assert);
  } finally {
    await s.close();
  }
});
