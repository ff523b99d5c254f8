'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const { openSession, until, eventually } = require('../support/session.js');

const connected = () => document.getElementById('conn-text').textContent === 'Connected';

test('the clipboard sheet sends and fetches text, and forgets it when closed', async () => {
  let conn = null;
  const s = await openSession({ host: { onSession: (c) => { conn = c; } } });
  const { page } = s;
  try {
    await until(page, connected);
    // The fake Mac answers a put and serves "hello from the Mac" in two chunks,
    // once the test has seen it ask, so a page kept off the cores cannot take
    // the question and the text in one turn.
    let answerGet = null;
    conn.ws.onMessage((m) => {
      const msg = JSON.parse(m);
      conn.sent.push(msg);
      if (msg.t === 'clip-chunk') conn.ws.send(JSON.stringify({ t: 'clip-put-result', id: msg.id, ok: true }));
      if (msg.t === 'clip-get') {
        conn.ws.send(JSON.stringify({ t: 'clip', id: msg.id, state: 'asking' }));
        answerGet = () => {
          conn.ws.send(JSON.stringify({ t: 'clip', id: msg.id, state: 'text', n: 2, len: 18, cut: false }));
          conn.ws.send(JSON.stringify({ t: 'clip-data', id: msg.id, i: 0, s: 'hello from' }));
          conn.ws.send(JSON.stringify({ t: 'clip-data', id: msg.id, i: 1, s: ' the Mac' }));
        };
      }
      if (msg.t === 'ping') conn.ws.send(JSON.stringify({ t: 'pong', id: msg.id }));
    });
    await page.click('#cluster [data-toggle="more"]');
    await page.click('#more [data-open="clip"]');
    assert.equal(await page.getAttribute('#session-screen', 'data-sheet'), 'clip');
    await page.click('#clip-send');
    assert.equal(await page.textContent('#clip-status'), 'There is no text in the box to send.');
    assert.equal(await page.getAttribute('#clip-status', 'data-kind'), 'error');
    await page.fill('#clip-text', 'x'.repeat(1234));
    assert.equal(await page.textContent('#clip-count'), '1,234 of 100,000 characters');
    await page.click('#clip-send');
    await until(page, () => document.getElementById('clip-status').textContent === 'On the computer’s clipboard.');
    assert.equal(await page.isVisible('#clip-paste-mac'), true);

    await page.click('#clip-get');
    await until(page, () => document.getElementById('clip-status').textContent.startsWith('The computer is asking for permission'));
    assert.equal(await page.isDisabled('#clip-send'), true, 'one transfer at a time');
    answerGet();
    await until(page, () => document.getElementById('clip-status').textContent === 'This is the text on the computer’s clipboard.');
    assert.equal(await page.inputValue('#clip-text'), 'hello from the Mac');
    assert.equal(await page.isVisible('#clip-copy-local'), true);

    // Closing the sheet empties the box.
    await page.click('#clip [data-close="sheet"]');
    assert.equal(await page.inputValue('#clip-text'), '');
    const puts = conn.sent.filter((m) => m && m.t === 'clip-put');
    assert.deepEqual(puts.map((m) => [m.n, m.len]), [[1, 1234]]);
    s.browser.assertClean(assert);
  } finally {
    await s.close();
  }
});

test('with two displays the More sheet offers a switch and follows the computer', async () => {
  let conn = null;
  const s = await openSession({ host: { onSession: (c) => { conn = c; } } });
  const { page } = s;
  try {
    await until(page, connected);
    const list = (current) => JSON.stringify({ t: 'disp-list', current, displays: [
      { id: 1, name: 'Built-in Retina Display', w: 3024, h: 1964, builtin: true, main: true },
      { id: 7, name: 'Studio <b>Display</b>', w: 5120, h: 2880 }] });
    conn.ws.send(list(1));
    await page.click('#cluster [data-toggle="more"]');
    await until(page, () => !document.getElementById('display-set').hidden);
    assert.equal(await page.locator('#display-list button').count(), 2);
    assert.equal(await page.textContent('#display-list [data-display="7"] .display-name'), 'Studio <b>Display</b>', 'names are text, never markup');
    assert.equal(await page.getAttribute('#display-list [data-display="1"]', 'aria-checked'), 'true');
    await page.click('#display-list [data-display="7"]');
    assert.equal(await page.getAttribute('#session-screen', 'data-display'), 'switching');
    assert.equal(await page.textContent('#display-note'), 'Switching display');
    await eventually(() => conn.sent.some((m) => m && m.t === 'disp-select'), 'the display request');
    assert.deepEqual(conn.sent.filter((m) => m && m.t === 'disp-select'), [{ t: 'disp-select', id: 7 }]);
    conn.ws.send(list(7));
    await until(page, () => document.getElementById('session-screen').dataset.display === 'steady');
    assert.equal(await page.getAttribute('#display-list [data-display="7"]', 'aria-checked'), 'true');
    assert.equal(await page.isHidden('#display-note'), true);
    // The computer's pointer is brought to the middle of the display now shown.
    await eventually(() => conn.sent.some((m) => m && m.t === 'mm'), 'the pointer move');
    assert.deepEqual(conn.sent.filter((m) => m && m.t === 'mm').at(-1), { t: 'mm', x: 0.5, y: 0.5 });
    s.browser.assertClean(assert);
  } finally {
    await s.close();
  }
});
