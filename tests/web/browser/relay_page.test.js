'use strict';
// The relay's page as a phone meets it at morvane-relay, before any computer
// is involved: what the browser downloads on a first and a repeat visit, and
// the sign-in screens (the look of the e-mail field, wrong codes and a new
// one, too many codes asked for, where the focus goes).
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { launch } = require('../support/browser.js');
const { startService } = require('../support/relays.js');
const { until, eventually } = require('../support/session.js');
const { networkLog } = require('../support/network_log.js');

const PHONE = { viewport: { width: 390, height: 844 }, deviceScaleFactor: 2 };

async function visit(page, origin) {
  await page.goto(origin + '/');
  await until(page, () => !document.getElementById('relay-signin').hidden);
  await page.waitForLoadState('networkidle');
}

const sum = (list, key) => list.reduce((n, r) => n + r[key], 0);

test('the page arrives gzipped, and a repeat visit only asks whether it changed', async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'morvane-relay-page-'));
  const relay = await startService(dir);
  const browser = await launch(PHONE);
  try {
    const network = await networkLog(browser.page, relay.origin);
    await visit(browser.page, relay.origin);
    const first = network.take();
    // Every file came whole once (the icon, asked for twice, is revalidated
    // the second time).
    const paths = (list) => [...new Set(list.map((r) => r.path))].sort();
    assert.deepEqual(paths(first.filter((r) => r.status === 200)), paths(first), JSON.stringify(first));
    for (const name of ['/', '/app.js', '/style.css', '/relay.css']) {
      const got = first.find((r) => r.path === name);
      assert.ok(got, name + ' was loaded');
      assert.equal(got.encoding, 'gzip', name);
    }
    assert.ok(sum(first, 'wire') * 2 < sum(first, 'body'), JSON.stringify(first));

    await visit(browser.page, relay.origin);
    const repeat = network.take();
    assert.deepEqual(paths(repeat), paths(first), 'the same files were asked for');
    assert.deepEqual(repeat.filter((r) => r.status === 200), [], 'nothing was downloaded again');
    // The page itself was asked after, so a new one would have come.
    assert.equal(repeat.find((r) => r.path === '/').status, 304);
    assert.ok(sum(repeat, 'wire') < 2000 * repeat.length, JSON.stringify(repeat));
    browser.assertClean(assert);
  } finally {
    await browser.close();
    await relay.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

// The element that has the focus: its id, or a heading's text.
const focused = (page) => page.evaluate(() => {
  const e = document.activeElement;
  return e && e.tagName === 'H1' ? 'h1: ' + e.textContent : (e && e.id) || (e && e.tagName);
});

test('sign-in: the e-mail field looks like the others, a wrong code can be replaced, and each screen takes the focus', async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'morvane-relay-page-'));
  const relay = await startService(dir);
  const browser = await launch(PHONE);
  const page = browser.page;
  try {
    await visit(page, relay.origin);
    assert.equal(await focused(page), 'h1: Sign in to reach your computer');

    // In the dark scheme the browser's own grey field would stand out.
    const look = (id) => page.evaluate((i) => {
      const s = getComputedStyle(document.getElementById(i));
      return { height: document.getElementById(i).getBoundingClientRect().height, background: s.backgroundColor, color: s.color,
        border: s.borderTopColor + ' ' + s.borderTopWidth, radius: s.borderTopLeftRadius };
    }, id);
    const email = await look('relay-email');
    assert.ok(email.height >= 44, 'the e-mail field is ' + email.height + ' px tall');

    await page.fill('#relay-email', 'owner@example.com');
    let mark = relay.mark();
    await page.keyboard.press('Enter');
    await until(page, () => !document.getElementById('relay-code-field').hidden);
    const first = await relay.code(mark, 'owner@example.com');
    assert.equal(await focused(page), 'relay-code');
    const code = await look('relay-code');
    assert.deepEqual({ ...email, height: 0 }, { ...code, height: 0 }, 'the e-mail field is drawn as the code field');

    // A wrong code: the focus stays in the field, and the tries left are
    // told, until none is left and the next step is a new code.
    const wrong = first === '000000' ? '000001' : '000000';
    const told = [
      'That code is wrong. Check it, or send a new code (4 tries left).',
      'That code is wrong. Check it, or send a new code (3 tries left).',
      'That code is wrong. Check it, or send a new code (2 tries left).',
      'That code is wrong. Check it, or send a new code (1 try left).',
    ];
    for (const text of told) {
      await page.keyboard.type(wrong);
      await page.keyboard.press('Enter');
      await until(page, (t) => document.getElementById('relay-signin-error').textContent === t, text);
      assert.equal(await focused(page), 'relay-code');
    }
    await page.keyboard.type(wrong);
    await page.keyboard.press('Enter');
    await until(page, (t) => document.getElementById('relay-signin-error').textContent === t, 'That code was tried too many times. Send a new code.');
    assert.equal(await focused(page), 'relay-new-code');
    mark = relay.mark();
    await page.click('#relay-new-code');
    const fresh = await relay.code(mark, 'owner@example.com');
    await until(page, () => /^A new code was sent to owner@example\.com\.$/.test(document.getElementById('relay-code-hint').textContent));
    assert.equal(await page.isHidden('#relay-signin-error'), true);
    assert.equal(await focused(page), 'relay-code');
    assert.equal(await page.inputValue('#relay-code'), '');

    // The new code signs in; the list of computers takes the focus, and
    // signing out gives it back to the sign-in screen.
    await page.keyboard.type(fresh);
    await page.keyboard.press('Enter');
    await until(page, () => !document.getElementById('relay-computers').hidden);
    assert.equal(await focused(page), 'h1: Your computers');
    await until(page, () => !document.getElementById('relay-empty').hidden);
    await page.click('#relay-refresh');
    assert.equal(await focused(page), 'relay-refresh', 'the same screen again leaves the focus alone');
    await page.click('#relay-signout');
    await until(page, () => !document.getElementById('relay-signin').hidden);
    assert.equal(await focused(page), 'h1: Sign in to reach your computer');

    // From a network it signed in from, a person may ask more codes than a
    // stranger's network may, but not without end: past the address's mails
    // an ask mails nothing (the newest code in the mailbox stands for it),
    // past the network's allowance the next is refused, and the page says so
    // rather than blaming what was typed.
    await page.fill('#relay-email', 'owner@example.com');
    mark = relay.mark();
    await page.click('#relay-signin-button');
    await relay.code(mark, 'owner@example.com');
    await until(page, () => !document.getElementById('relay-code-field').hidden);
    let asked = 1;
    for (let refused = false; !refused;) {
      assert.ok(++asked <= 13, 'the relay takes ' + asked + ' asks from this network in its window');
      const answer = page.waitForResponse((r) => r.url().endsWith('/v1/auth/code'));
      await page.click('#relay-new-code');
      refused = (await answer).status() === 429;
    }
    assert.ok(asked > 4, 'refused at ask ' + asked + ', as a stranger\'s network would be');
    await until(page, () => !document.getElementById('relay-signin-error').hidden);
    const mails = () => relay.lines.filter((l) => l.includes('Sign-in code for owner@example.com')).length;
    await eventually(() => mails() >= 10, 'the address\'s mails');
    assert.equal(mails(), 10, 'the address is mailed no more than its window allows');
    assert.equal(await page.textContent('#relay-signin-error'), 'Too many codes were requested. Wait 10 minutes, then try again.');
    assert.equal(await page.textContent('#relay-code-hint'), 'No new code was sent to owner@example.com.');
    browser.assertClean(assert);
  } finally {
    await browser.close();
    await relay.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
