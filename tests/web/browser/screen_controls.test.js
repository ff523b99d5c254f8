'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const { openSession, until, eventually } = require('../support/session.js');
const { effectsHost } = require('../support/fake-host.js');

const connected = () => document.getElementById('conn-text').textContent === 'Connected';

const sentOf = (conn, t) => conn.sent.filter((m) => m && m.t === t);

test('fit and hide: the More sheet asks the computer, and shows what the computer says', async () => {
  let conn = null;
  const s = await openSession({ host: { onSession: (c) => { conn = c; effectsHost(c); } } });
  const { page } = s;
  try {
    await until(page, connected);
    await eventually(() => sentOf(conn, 'fx-hello').length === 1, 'the greeting');
    await page.click('#cluster [data-toggle="more"]');
    await until(page, () => !document.getElementById('fit-row').hidden && !document.getElementById('mac-set').hidden);
    assert.equal(await page.isVisible('#display-set'), true, 'the Display group holds the fit row');
    await eventually(() => sentOf(conn, 'fx-probe').length === 1, 'the probe');
    const [probe] = sentOf(conn, 'fx-probe');
    const inner = await page.evaluate(() => [window.innerWidth, window.innerHeight]);
    assert.ok(probe.w > probe.h && probe.w <= inner[0] && probe.h <= inner[1], 'the shape is the picture area of a wide window');
    assert.equal(await page.textContent('#fit-button'), 'Fit the computer’s screen to this window');

    await page.click('#fit-button');
    await until(page, () => document.getElementById('fit-button').textContent === 'Restore the computer’s resolution');
    const [match] = sentOf(conn, 'fx-match');
    assert.deepEqual([match.w, match.h, match.scale], [probe.w, probe.h, probe.scale]);
    assert.equal(await page.textContent('#fit-note'), 'The computer’s screen now fits this window.');
    assert.equal(await page.getAttribute('#fit-note', 'data-kind'), 'good');
    await page.click('#fit-button');
    await until(page, () => document.getElementById('fit-button').textContent === 'Fit the computer’s screen to this window');
    assert.equal(sentOf(conn, 'fx-restore').length, 1);

    assert.equal(await page.isVisible('#hide-chip'), false);
    await page.click('#hide-button');
    await until(page, () => !document.getElementById('hide-chip').hidden);
    assert.equal(await page.textContent('#hide-button'), 'Show the computer’s screen');
    assert.match(await page.textContent('#hide-note'), /^Hidden\. It shows again when you disconnect, after 10 minutes/);
    await page.click('#hide-button');
    await until(page, () => document.getElementById('hide-chip').hidden);
    assert.deepEqual(sentOf(conn, 'fx-hide').map((m) => m.on), [true, false]);
    s.browser.assertClean(assert);
  } finally {
    await s.close();
  }
});

test('a computer that does not know the effects shows nothing of them', async () => {
  let conn = null;
  const s = await openSession({ host: { onSession: (c) => { conn = c; } } });
  const { page } = s;
  try {
    await until(page, connected);
    await eventually(() => conn.sent.some((m) => m && m.t === 'fx-hello'), 'the greeting');
    // The rows could only show after a state the computer never sends.
    await page.click('#cluster [data-toggle="more"]');
    await until(page, () => document.getElementById('session-screen').dataset.sheet === 'more');
    for (const id of ['#fit-row', '#mac-set', '#display-set', '#hide-chip']) assert.equal(await page.isVisible(id), false, id);
    assert.equal(sentOf(conn, 'fx-probe').length, 0);
    s.browser.assertClean(assert);
  } finally {
    await s.close();
  }
});

test('a dimmed button sends nothing, and an unanswered request says so', async () => {
  let conn = null;
  const s = await openSession({ host: { onSession: (c) => { conn = c; effectsHost(c, { verdict: 'no-better-mode', silent: true }); } } });
  const { page } = s;
  try {
    await until(page, connected);
    await page.click('#cluster [data-toggle="more"]');
    await until(page, () => document.getElementById('fit-note').textContent === 'The computer already fits this window.');
    assert.equal(await page.getAttribute('#fit-button', 'aria-disabled'), 'true');
    assert.equal(await page.evaluate(() => document.getElementById('fit-button').disabled), false,
      'never really disabled, so focus stays');
    // Clicked on the element itself: a pointer click aimed at it while the
    // sheet still slides in could land on what lies behind.
    await page.$eval('#fit-button', (b) => b.click());
    await page.click('#hide-button');
    await until(page, () => document.getElementById('hide-note').textContent === 'Hiding the computer’s screen…');
    assert.equal(sentOf(conn, 'fx-match').length, 0);
    await until(page, () => document.getElementById('hide-note').textContent === 'The computer did not answer.', undefined, 15000);
    assert.equal(await page.getAttribute('#hide-note', 'data-kind'), 'problem');
    assert.equal(await page.getAttribute('#hide-button', 'aria-disabled'), 'false');
    s.browser.assertClean(assert);
  } finally {
    await s.close();
  }
});

test('on a phone held upright the fit row asks for the phone to be turned', async () => {
  const browser = { viewport: { width: 390, height: 844 }, isMobile: true, hasTouch: true, deviceScaleFactor: 3 };
  let conn = null;
  const s = await openSession({ browser, host: { onSession: (c) => { conn = c; effectsHost(c); } } });
  const { page } = s;
  try {
    await until(page, connected);
    await page.click('#cluster [data-toggle="more"]');
    await until(page, () => document.getElementById('fit-note').textContent === 'Turn the phone sideways to use this.');
    assert.equal(await page.getAttribute('#fit-button', 'aria-disabled'), 'true');
    assert.equal(sentOf(conn, 'fx-probe').length, 0, 'an upright window asks nothing');
    s.browser.assertClean(assert);
  } finally {
    await s.close();
  }
});
