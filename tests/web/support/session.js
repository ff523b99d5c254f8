'use strict';
// One browser, one fake host and the site, opened on the session screen
// with a stored token (or on the pairing screen without one).
const { startSite } = require('./site.js');
const { launch } = require('./browser.js');
const { installFakeHost, TOKEN } = require('./fake-host.js');

async function openSession({ token = TOKEN, pair, host: hostOptions = {}, browser: browserOptions = {} } = {}) {
  const site = await startSite({ pair });
  const browser = await launch(browserOptions);
  const page = browser.page;
  const host = await installFakeHost(page, hostOptions);
  await page.goto(site.url);
  if (token) {
    await page.evaluate((t) => localStorage.setItem('morvane.token', t), token);
    await page.reload();
  }
  return {
    site, browser, page, host,
    text: (sel) => page.locator(sel).textContent(),
    async close() { await browser.close(); await site.close(); },
  };
}

// Waits for a condition evaluated in the page.
async function until(page, fn, arg, timeout = 10000) {
  await page.waitForFunction(fn, arg, { timeout, polling: 50 });
}

// Reads one canvas pixel at a point given as fractions of the drawn picture.
async function samplePicture(page, u, v, picW, picH) {
  return page.evaluate(({ u, v, picW, picH }) => {
    const canvas = document.getElementById('screen');
    const stage = document.getElementById('stage').getBoundingClientRect();
    const s = Math.min(stage.width / picW, stage.height / picH);
    const w = picW * s, h = picH * s;
    const x = (stage.width - w) / 2 + u * w, y = (stage.height - h) / 2 + v * h;
    const dpr = canvas.width / stage.width;
    const d = canvas.getContext('2d').getImageData(Math.floor(x * dpr), Math.floor(y * dpr), 1, 1).data;
    return [d[0], d[1], d[2]];
  }, { u, v, picW, picH });
}

// Polls a condition on the test's side (messages the fake host got, pixels)
// until it holds, so nothing depends on how fast a loaded machine is.
async function eventually(fn, what = 'condition', timeout = 10000) {
  const end = Date.now() + timeout;
  for (;;) {
    if (await fn()) return;
    if (Date.now() > end) throw new Error('timed out waiting for ' + what);
    await new Promise((r) => setTimeout(r, 25));
  }
}

// Pairs a page already on the host's site with the host's current code and
// waits until the session is connected.
async function pairWithCode(page, host) {
  await until(page, () => !document.getElementById('pair-screen').hidden);
  await page.fill('#pair-code', await host.pairCode());
  await page.click('#pair-button');
  await until(page, () => document.getElementById('conn-text').textContent === 'Connected');
}

// Waits until the stage has kept its place for a while: notices from the
// host (a banner, the status line) may still move it after the first picture.
async function settled(page) {
  let last = '', since = Date.now();
  await eventually(async () => {
    const box = JSON.stringify(await page.locator('#stage').boundingBox());
    if (box !== last) { last = box; since = Date.now(); }
    return Date.now() - since >= 400;
  }, 'a steady stage');
}

// Where a pixel of a picW x picH picture is drawn on the page, in page
// coordinates (the centre of the pixel).
async function stagePoint(page, x, y, picW, picH) {
  const box = await page.locator('#stage').boundingBox();
  const s = Math.min(box.width / picW, box.height / picH);
  return { x: box.x + (box.width - picW * s) / 2 + (x + 0.5) * s, y: box.y + (box.height - picH * s) / 2 + (y + 0.5) * s };
}

function near(actual, expected, tolerance = 40) {
  return actual.every((c, i) => Math.abs(c - expected[i]) <= tolerance);
}

// Touch events sent straight to the browser through `cdp`. A tap's length is
// what its events' stamps say (`at`, seconds since the epoch, as a phone's
// own clock would stamp them), not how soon a loaded machine gets the test or
// the browser to the lift.
const touchSender = (cdp) => (type, pts, at) => cdp.send('Input.dispatchTouchEvent',
  Object.assign({ type, touchPoints: pts.map(([x, y], id) => ({ x, y, id })) }, at === undefined ? {} : { timestamp: at }));

// A one-finger tap at (x, y) that lasted 50 ms by its stamps.
async function tapAt(touch, x, y) {
  const landed = Date.now() / 1000;
  await touch('touchStart', [[x, y]], landed);
  await touch('touchEnd', [], landed + 0.05);
}

module.exports = { openSession, until, samplePicture, near, eventually, pairWithCode, settled, stagePoint, touchSender, tapAt,
  TOKEN };
