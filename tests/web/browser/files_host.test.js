'use strict';
// The file sheet against the real server and disk store of the test host.
const test = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { launch } = require('../support/browser.js');
const { startHarness } = require('../support/harness.js');
const { until } = require('../support/session.js');

const connected = () => document.getElementById('conn-text').textContent === 'Connected';
const statusOf = (id) => document.getElementById(id).textContent;

async function pairPage(page, harness) {
  await page.goto(harness.url);
  await until(page, () => !document.getElementById('pair-screen').hidden);
  const code = await harness.pairCode();
  await page.fill('#pair-code', code);
  await page.fill('#pair-name', 'Test browser');
  await page.click('#pair-button');
  await until(page, connected);
}

test('a file sent from the page lands in the received folder whole, and an Outbox file downloads byte for byte', async () => {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'morvane-files-'));
  fs.mkdirSync(path.join(root, 'Outbox'));
  const outgoing = crypto.randomBytes(150000);
  fs.writeFileSync(path.join(root, 'Outbox', 'notes from the computer.txt'), outgoing);
  const harness = await startHarness({ args: ['--files', root] });
  const browser = await launch();
  try {
    const page = browser.page;
    await pairPage(page, harness);
    await page.click('#cluster [data-toggle="more"]');
    await page.click('#files-open');

    const sent = crypto.randomBytes(40001);
    await page.setInputFiles('#files-input', { name: 'photo.jpg', mimeType: 'image/jpeg', buffer: sent });
    await until(page, () => document.getElementById('files-up-status').dataset.kind !== 'busy' &&
      !document.getElementById('files-up-status').hidden, undefined, 20000);
    const upText = await page.evaluate(statusOf, 'files-up-status');
    const saved = /as \u201c(.+)\u201d\.$/.exec(upText);
    assert.ok(saved, upText);
    assert.ok(fs.readFileSync(path.join(root, saved[1])).equals(sent), 'the received file is what the page read');
    await harness.waitLine(/"event":"file-transfer".*upload of \\".+\\": 40001 of 40001 bytes, ok/, 5000);

    await page.click('#files-list-get');
    await until(page, () => document.querySelectorAll('#files-list button').length === 1, undefined, 5000);
    assert.equal(await page.textContent('#files-list .file-name'), 'notes from the computer.txt');
    await page.click('#files-list button');
    await until(page, () => !document.getElementById('files-saved').hidden, undefined, 20000);
    assert.equal(await page.evaluate(statusOf, 'files-down-status'), 'Here, checked and complete. Save it to keep it on this device.');
    const [download] = await Promise.all([page.waitForEvent('download'), page.click('#files-save')]);
    assert.equal(download.suggestedFilename(), 'notes from the computer.txt');
    assert.ok(fs.readFileSync(await download.path()).equals(outgoing), 'the saved file is the Outbox file');
    browser.assertClean(assert);
  } finally {
    await browser.close();
    await harness.close();
    fs.rmSync(root, { recursive: true, force: true });
  }
});
