'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const { openSession, until, TOKEN } = require('../support/session.js');

test('a new browser pairs with the code, keeps the token and reaches the session', async () => {
  let answer = { status: 403, body: { error: 'code-not-accepted' } };
  const s = await openSession({ token: null, pair: () => answer });
  const { page } = s;
  try {
    await until(page, () => !document.getElementById('pair-screen').hidden);
    assert.equal(await page.locator('#session-screen').isHidden(), true);
    assert.equal(await page.title(), 'Morvane');
    assert.equal(await page.inputValue('#pair-name'), 'Linux PC');

    // Letters outside the alphabet are dropped with the hint; the rest is grouped.
    await page.fill('#pair-code', '');
    await page.type('#pair-code', 'abc1defg');
    assert.equal(await page.inputValue('#pair-code'), 'ABCD EFG');
    assert.equal(await s.text('#pair-code-hint'), 'Codes never use the letters I and O or the digits 0 and 1.');

    // Too short a code is explained without asking the computer.
    await page.fill('#pair-code', 'abc');
    await page.click('#pair-button');
    assert.equal(await s.text('#pair-error'), 'The code has 8 letters and digits. 3 so far.');
    assert.equal(s.site.requests.length, 0);
    await page.fill('#pair-code', '');
    await page.click('#pair-button');
    assert.equal(await s.text('#pair-error'), 'Enter the code shown on the computer.');

    // A refused code.
    await page.fill('#pair-code', 'abcd-efgh');
    await page.click('#pair-button');
    await until(page, () => !document.getElementById('pair-error').hidden);
    assert.match(await s.text('#pair-error'), /^That code was not accepted\./);
    // A page on the computer itself names the tray's own item for it; the
    // tailnet's item only with the condition under which the tray has it.
    assert.match(await page.innerText('.pair .lede'), /then Pair a Browser on This Computer… \(or Pair a Device Over Tailscale… while access over Tailscale is on\)\. Enter/);
    assert.match(await s.text('#pair-error'), /then Pair a Browser on This Computer… \(or /);
    assert.deepEqual(s.site.requests[0].body, { code: 'ABCDEFGH', name: 'Linux PC' });
    assert.equal(s.site.requests[0].type, 'application/json');
    assert.equal(await s.text('#pair-button'), 'Pair this device');

    // A token one character short is no token.
    answer = { status: 200, body: { token: TOKEN.slice(1), deviceId: 'd1' } };
    await page.click('#pair-button');
    await until(page, () => document.getElementById('pair-error').textContent.startsWith('The computer did not'));

    // An answer that is not JSON is the general refusal too.
    answer = { status: 500, body: 'oops' };
    await page.evaluate(() => { document.getElementById('pair-error').textContent = ''; });
    await page.click('#pair-button');
    await until(page, () => document.getElementById('pair-error').textContent.startsWith('The computer did not'));

    // The right code on a computer that cannot save its device list: the
    // page says so and stays on pairing, with no token kept.
    answer = { status: 503, body: { error: 'cannot-save' } };
    await page.click('#pair-button');
    await until(page, () => document.getElementById('pair-error').textContent.startsWith('The code was right'));
    assert.match(await s.text('#pair-error'), /could not save its list of paired devices.*tray says why/);
    assert.equal(await page.evaluate(() => localStorage.getItem('morvane.token')), null);

    answer = { status: 200, body: { token: TOKEN, deviceId: 'd1' } };
    await page.fill('#pair-name', '  Kitchen laptop  ');
    await page.click('#pair-button');
    await until(page, () => document.getElementById('conn-text').textContent === 'Connected');
    assert.equal(s.site.requests.at(-1).body.name, 'Kitchen laptop');
    assert.equal(await page.evaluate(() => localStorage.getItem('morvane.token')), TOKEN);
    assert.equal(await page.locator('#pair-screen').isHidden(), true);
    assert.equal(await page.locator('#overlay').isHidden(), true);
    const first = s.host.last().sent;
    assert.deepEqual(first[0], { t: 'auth', token: TOKEN });
    assert.deepEqual(first[1], { t: 'quality', q: 'medium' });
    s.browser.assertClean(assert);
  } finally {
    await s.close();
  }
});

test('a page reached over the tailnet names only the tailnet pairing item', async () => {
  const s = await openSession({ token: null, pair: () => ({ status: 403, body: { error: 'paused' } }) });
  const { page } = s;
  try {
    // Chromium takes any name under .localhost for this machine, so the
    // page sees a host name that is not a loopback address.
    await page.goto(s.site.url.replace('127.0.0.1', 'desk.localhost'));
    await until(page, () => !document.getElementById('pair-screen').hidden);
    const lede = await page.innerText('.pair .lede');
    assert.match(lede, /then Pair a Device Over Tailscale…\. Enter the code it shows\.$/);
    assert.doesNotMatch(lede, /This Computer/);
    await page.fill('#pair-code', 'abcd-efgh');
    await page.click('#pair-button');
    await until(page, () => !document.getElementById('pair-error').hidden);
    assert.match(await s.text('#pair-error'), /then Resume Morvane, then Pair a Device Over Tailscale… for a new code\.$/);
    s.browser.assertClean(assert);
  } finally {
    await s.close();
  }
});

test('a token the computer no longer accepts sends the page back to pairing and forgets it', async () => {
  const s = await openSession({ token: 'cd'.repeat(32) });
  const { page } = s;
  try {
    await until(page, () => !document.getElementById('pair-screen').hidden);
    assert.equal(await s.text('#pair-error'), 'This device is no longer paired with the computer. Pair it again with a new code.');
    assert.equal(await page.evaluate(() => localStorage.getItem('morvane.token')), null);
    // A stored token of the wrong shape never reaches the socket at all.
    await page.evaluate(() => localStorage.setItem('morvane.token', 'not-a-token'));
    const before = s.host.connections.length;
    await page.reload();
    await until(page, () => !document.getElementById('pair-screen').hidden);
    assert.equal(s.host.connections.length, before);
    assert.equal(await page.evaluate(() => localStorage.getItem('morvane.token')), null);
    s.browser.assertClean(assert);
  } finally {
    await s.close();
  }
});
