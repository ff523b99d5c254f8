'use strict';
// The page drives a real X display through the test host: what a mouse,
// a keyboard, a phone's typing and the clipboard sheet do in the browser is
// read back from the X server by a separate client.
const test = require('node:test');
const assert = require('node:assert/strict');
const { launch, CHROMIUM } = require('../support/browser.js');
const { startHarness } = require('../support/harness.js');
const { startXvfb } = require('../support/xvfb.js');
const { spawnSync } = require('node:child_process');
const { until, eventually, samplePicture, near: nearColour, pairWithCode, settled, stagePoint, touchSender, tapAt } =
  require('../support/session.js');
const { startRecorder, findRecorder, skipWithout, typed, editedText, strokes, readClipboard, offerClipboard } = require('../support/x-observer.js');

const W = 1280, H = 720;
const PHONE = { viewport: { width: 390, height: 844 }, isMobile: true, hasTouch: true, deviceScaleFactor: 3 };
let xvfb = null, harness = null, recorder = null;

test.before(async () => {
  if (!findRecorder()) return;
  xvfb = await startXvfb({ width: W, height: H });
  harness = await startHarness({ args: ['--x11'], env: { DISPLAY: xvfb.display } });
  recorder = await startRecorder(xvfb.display);
});

test.after(async () => {
  if (recorder) await recorder.stop();
  if (harness) await harness.close();
  if (xvfb) await xvfb.stop();
});

// Pairs a fresh browser with the host and waits for the first picture.
async function pairedPage(options, host = harness) {
  const browser = await launch(options);
  const page = browser.page;
  await page.goto(host.url);
  await pairWithCode(page, host);
  // The page starts on still pictures and moves to video, and the notice
  // above the stage changes once the host's capture runs; both move the
  // stage, so points are taken after them.
  await until(page, () => document.getElementById('session-screen').dataset.picture === 'video' &&
    document.getElementById('banner-title').textContent !== 'Starting the picture', null, 20000);
  await settled(page);
  return { browser, page };
}

// Where an X pixel is drawn on the page, in page coordinates.
const pagePoint = (page, x, y) => stagePoint(page, x, y, W, H);

const near = (e, x, y, tolerance = 3) => Math.abs(e.x - x) <= tolerance && Math.abs(e.y - y) <= tolerance;
const buttons = (events, t, button) => events.filter((e) => e.t === t && e.button === button);
const BUTTON1_HELD = 0x100;

const skipWithoutRecorder = (t) => skipWithout(t, recorder);

test('mouse clicks, drags and wheel turns land on the X display where the picture shows them', async (t) => {
  if (skipWithoutRecorder(t)) return;
  const { browser, page } = await pairedPage();
  try {
    let from = recorder.mark();
    let p = await pagePoint(page, 320, 180);
    await page.mouse.click(p.x, p.y);
    let seen = await recorder.waitFor(from, (ev) => buttons(ev, 'release', 1).length >= 1, 'a left click');
    const press = buttons(seen, 'press', 1);
    assert.equal(press.length, 1, JSON.stringify(seen));
    assert.ok(near(press[0], 320, 180), 'pressed at ' + JSON.stringify(press[0]));
    assert.ok(near(buttons(seen, 'release', 1)[0], 320, 180));

    // A right click is X button 3.
    from = recorder.mark();
    p = await pagePoint(page, 1000, 600);
    await page.mouse.click(p.x, p.y, { button: 'right' });
    seen = await recorder.waitFor(from, (ev) => buttons(ev, 'release', 3).length >= 1, 'a right click');
    assert.ok(near(buttons(seen, 'press', 3)[0], 1000, 600));

    // A drag: pressed at the start, moved with the button held, let go at the end.
    from = recorder.mark();
    p = await pagePoint(page, 640, 360);
    await page.mouse.move(p.x, p.y);
    await page.mouse.down();
    const end = await pagePoint(page, 900, 500);
    await page.mouse.move(end.x, end.y, { steps: 8 });
    await page.mouse.up();
    seen = await recorder.waitFor(from, (ev) => buttons(ev, 'release', 1).length >= 1, 'the end of a drag');
    const down = seen.findIndex((e) => e.t === 'press' && e.button === 1);
    const up = seen.findIndex((e) => e.t === 'release' && e.button === 1);
    assert.ok(down >= 0 && near(seen[down], 640, 360), JSON.stringify(seen[down]));
    assert.ok(near(seen[up], 900, 500), JSON.stringify(seen.slice(down)));
    const held = seen.slice(down, up).filter((e) => e.t === 'motion' && (e.state & BUTTON1_HELD));
    assert.ok(held.length >= 2, 'moves with the button held: ' + held.length);
    assert.ok(held.every((e, i) => i === 0 || e.x >= held[i - 1].x), 'the drag goes one way');

    // The wheel: down is X button 5, up is 4, sideways 7 and 6. The host
    // clicks once for each 50 px scrolled, so each turn of 240 px is four
    // clicks; the next turn is watched only once all four have arrived, as
    // they reach the X display one by one.
    const clicksPerTurn = 4;
    for (const [dx, dy, button] of [[0, 240, 5], [0, -240, 4], [240, 0, 7], [-240, 0, 6]]) {
      from = recorder.mark();
      await page.mouse.wheel(dx, dy);
      seen = await recorder.waitFor(from, (ev) => buttons(ev, 'release', button).length >= clicksPerTurn,
        'wheel button ' + button);
      const other = seen.filter((e) => e.t === 'press' && e.button >= 4 && e.button !== button);
      assert.deepEqual(other, [], `wheel ${dx},${dy} turned only button ${button}`);
      assert.equal(buttons(seen, 'press', button).length, clicksPerTurn, `wheel ${dx},${dy}: ${JSON.stringify(seen)}`);
    }
    browser.assertClean(assert);
  } finally {
    await browser.close();
  }
});

test('keys typed on the picture and a sticky Shift from the Keys sheet arrive as X key events', async (t) => {
  if (skipWithoutRecorder(t)) return;
  const { browser, page } = await pairedPage({ viewport: { width: 1280, height: 1120 } });
  try {
    let from = recorder.mark();
    await page.focus('#stage');
    await page.keyboard.press('Shift+KeyH');
    await page.keyboard.type('i 2');
    await page.keyboard.press('Enter');
    let seen = await recorder.waitFor(from, (ev) => strokes(ev).includes('Return-'), 'the typed keys');
    assert.equal(typed(seen), 'Hi 2\n');
    assert.deepEqual(strokes(seen).slice(0, 6), ['Shift_L+', 'H+', 'H-', 'Shift_L-', 'i+', 'i-']);

    // A sticky Shift from the sheet holds for the next key only.
    if (!(await page.isVisible('#keys [data-mod="ShiftLeft"]'))) await page.click('#keys-toggle');
    from = recorder.mark();
    await page.click('#keys [data-mod="ShiftLeft"]');
    await page.focus('#stage');
    await page.keyboard.press('KeyA');
    await page.keyboard.press('KeyB');
    seen = await recorder.waitFor(from, (ev) => strokes(ev).includes('b-'), 'the keys after a sticky Shift');
    assert.equal(typed(seen.filter((e) => e.keysym !== 'Shift_L')), 'Ab');
    browser.assertClean(assert);
  } finally {
    await browser.close();
  }
});

test('on a phone, a tap clicks where the pointer is and live typing arrives as the text typed', async (t) => {
  if (skipWithoutRecorder(t)) return;
  const { browser, page } = await pairedPage(PHONE);
  try {
    // A tap in the trackpad model clicks where the pointer already is (the
    // middle at first), not where the finger is.
    let from = recorder.mark();
    const p = await pagePoint(page, 200, 100);
    await tapAt(touchSender(await browser.context.newCDPSession(page)), p.x, p.y);
    let seen = await recorder.waitFor(from, (ev) => buttons(ev, 'release', 1).length >= 1, 'a tap');
    assert.ok(near(buttons(seen, 'press', 1)[0], W / 2, H / 2), JSON.stringify(buttons(seen, 'press', 1)[0]));

    await page.click('#type-toggle');
    if ((await page.getAttribute('#compose', 'data-lt')) !== 'live') await page.click('#lt-toggle');
    await until(page, () => document.activeElement && document.activeElement.id === 'lt-field');
    from = recorder.mark();
    // A phone keyboard hands over text, not keys: one insertion per letter.
    for (const ch of 'hello wörld') await page.keyboard.insertText(ch);
    let seen2 = await recorder.waitFor(from, (ev) => typed(ev).length >= 11, 'the live-typed text');
    assert.equal(typed(seen2), 'hello wörld');

    // Autocorrect takes the last word back into a composition and commits
    // its fix, and an input method composes before it commits: the machine
    // ends up with the field's text and sees nothing of a composition
    // until it is committed.
    const cdp = await browser.context.newCDPSession(page);
    const length = (await page.inputValue('#lt-field')).length;
    await cdp.send('Input.imeSetComposition', { text: 'wörld', selectionStart: 5, selectionEnd: 5,
      replacementStart: length - 5, replacementEnd: length });
    await cdp.send('Input.imeSetComposition', { text: 'world', selectionStart: 5, selectionEnd: 5 });
    await cdp.send('Input.insertText', { text: 'world ' });
    await cdp.send('Input.imeSetComposition', { text: 'にほ', selectionStart: 2, selectionEnd: 2 });
    await cdp.send('Input.imeSetComposition', { text: 'にほん', selectionStart: 3, selectionEnd: 3 });
    await cdp.send('Input.insertText', { text: '日本' });
    // The last character's key comes up after it went down: the check for
    // Backspace below starts only once that key is up too.
    const lastKeyUp = (ev) => (strokes(ev).at(-1) || '').endsWith('-');
    seen2 = await recorder.waitFor(from, (ev) => editedText(ev).endsWith('日本') && lastKeyUp(ev), 'the corrected and composed text');
    assert.equal(editedText(seen2), 'hello world 日本');
    assert.ok(!typed(seen2).includes('に'), 'nothing of the composition before it was committed');

    // The Backspace key goes as that key.
    from = recorder.mark();
    await page.keyboard.press('Backspace');
    seen = await recorder.waitFor(from, (ev) => strokes(ev).includes('BackSpace-'), 'a backspace');
    assert.deepEqual(strokes(seen), ['BackSpace+', 'BackSpace-']);
    browser.assertClean(assert);
  } finally {
    await browser.close();
  }
});

test('on a phone in Touch mode, a tap clicks under the finger and two fingers scroll the machine', async (t) => {
  if (skipWithoutRecorder(t)) return;
  const { browser, page } = await pairedPage(PHONE);
  try {
    await page.locator('[data-toggle="more"]:visible').first().click();
    await page.click('input[name="pointer-mode"][value="touch"]');
    await page.locator('#more [data-close="sheet"]').click();
    await until(page, () => document.getElementById('session-screen').dataset.sheet === 'none');
    await settled(page);

    const touch = touchSender(await browser.context.newCDPSession(page));
    let from = recorder.mark();
    const p = await pagePoint(page, 200, 100);
    await tapAt(touch, p.x, p.y);
    let seen = await recorder.waitFor(from, (ev) => buttons(ev, 'release', 1).length >= 1, 'a tap');
    assert.ok(near(buttons(seen, 'press', 1)[0], 200, 100, 4), JSON.stringify(buttons(seen, 'press', 1)[0]));

    // Two fingers moving up together scroll down, as on a phone.
    const c = await pagePoint(page, 640, 360);
    from = recorder.mark();
    await touch('touchStart', [[c.x - 30, c.y + 40], [c.x + 30, c.y + 40]]);
    for (let i = 1; i <= 8; i++) await touch('touchMove', [[c.x - 30, c.y + 40 - i * 10], [c.x + 30, c.y + 40 - i * 10]]);
    await touch('touchEnd', []);
    seen = await recorder.waitFor(from, (ev) => buttons(ev, 'release', 5).length >= 1, 'a scroll down');
    assert.deepEqual(seen.filter((e) => e.t === 'press' && e.button !== 5), [], 'only the wheel moved');
    browser.assertClean(assert);
  } finally {
    await browser.close();
  }
});

test('the clipboard sheet puts its text on the X CLIPBOARD and shows what another X client copied', async (t) => {
  if (skipWithoutRecorder(t)) return;
  const { browser, page } = await pairedPage();
  let owner = null;
  try {
    await page.locator('[data-toggle="more"]:visible').first().click();
    await page.click('#more [data-open="clip"]');
    const sent = 'Grüße from the browser ✓\nsecond line';
    await page.fill('#clip-text', sent);
    await page.click('#clip-send');
    await until(page, () => document.getElementById('clip-status').textContent === 'On the computer’s clipboard.');
    await eventually(async () => (await readClipboard(xvfb.display)) === sent, 'the text on the X CLIPBOARD');

    // "Paste on the computer" sends the paste chord, Control V here.
    const from = recorder.mark();
    await page.click('#clip-paste-mac');
    const seen = await recorder.waitFor(from, (ev) => strokes(ev).includes('Control_L-'), 'the paste chord');
    assert.deepEqual(strokes(seen), ['Control_L+', 'v+', 'v-', 'Control_L-']);

    const copied = 'copied in X — ½ price';
    owner = offerClipboard(xvfb.display, copied);
    await eventually(async () => (await readClipboard(xvfb.display)) === copied, 'another client owning the CLIPBOARD');
    await page.click('#clip-get');
    await until(page, () => document.getElementById('clip-status').textContent === 'This is the text on the computer’s clipboard.');
    assert.equal(await page.inputValue('#clip-text'), copied);
    browser.assertClean(assert);
  } finally {
    if (owner) await owner.release();
    await browser.close();
  }
});

test('with two X monitors the chooser switches the picture and the pointer to the one chosen', async (t) => {
  if (skipWithoutRecorder(t)) return;
  // A display of its own, split into two monitors: red on the left, blue on the right.
  const split = await startXvfb({ width: W, height: H });
  let host = null, watcher = null, browser = null;
  try {
    const env = { ...process.env, DISPLAY: split.display };
    for (const [name, place] of [['Left', '640/169x720/254+0+0'], ['Right', '640/169x720/254+640+0']]) {
      const r = spawnSync('xrandr', ['--setmonitor', name, place, 'none'], { env });
      assert.equal(r.status, 0, 'xrandr: ' + String(r.stderr));
    }
    host = await startHarness({ args: ['--x11'], env: { DISPLAY: split.display } });
    watcher = await startRecorder(split.display);
    // The layout follows the shape of the picture, so the More button is
    // looked for once the picture is there.
    ({ browser } = await pairedPage(undefined, host));
    const page = browser.page;

    await page.locator('[data-toggle="more"]:visible').first().click();
    await until(page, () => !document.getElementById('display-set').hidden);
    const options = await page.$$eval('#display-list button', (bs) => bs.map((b) => ({
      id: b.dataset.display, state: b.dataset.state, name: b.querySelector('.display-name').textContent })));
    const left = options.find((o) => o.name === 'Left');
    const right = options.find((o) => o.name === 'Right');
    assert.ok(left && right, JSON.stringify(options));
    assert.equal(left.state, 'current', 'the main monitor is shown first');
    await eventually(async () => nearColour(await samplePicture(page, 0.3, 0.3, 640, 720), [255, 0, 0]), 'the left monitor', 15000);

    await page.click(`#display-list [data-display="${right.id}"]`);
    await until(page, () => document.getElementById('session-screen').dataset.display === 'steady', null, 10000);
    assert.equal(await page.getAttribute(`#display-list [data-display="${right.id}"]`, 'data-state'), 'current');
    assert.equal(await page.isHidden('#display-note'), true, 'no complaint about the switch');
    await page.keyboard.press('Escape');
    // Sampled away from the middle, where the machine's pointer is drawn.
    await eventually(async () => nearColour(await samplePicture(page, 0.3, 0.3, 640, 720), [0, 0, 255], 60), 'the right monitor', 15000);

    // A click in the middle of the picture is a click in the middle of that monitor.
    await settled(page);
    const box = await page.locator('#stage').boundingBox();
    const from = watcher.mark();
    await page.mouse.click(box.x + box.width / 2, box.y + box.height / 2);
    const seen = await watcher.waitFor(from, (ev) => buttons(ev, 'release', 1).length >= 1, 'a click on the right monitor');
    assert.ok(near(buttons(seen, 'press', 1)[0], 960, 360), JSON.stringify(buttons(seen, 'press', 1)[0]));
    browser.assertClean(assert);
  } finally {
    if (browser) await browser.close();
    if (watcher) await watcher.stop();
    if (host) await host.close();
    await split.stop();
  }
});

// An X application that reads keys through XKB (here Chromium itself on the
// private display) must get every character sent as text, also those the
// host first has to bind to a spare key. Chromium reads the keymap on a
// connection other than its keys': each text after the first begins with a
// character new to the keyboard, pressed as soon as the host lets a binding
// be pressed, and they are more than the spare keys, so keys change
// characters too.
test('text sent from the page reaches an X application whole', async (t) => {
  if (skipWithoutRecorder(t)) return;
  const own = await startXvfb({ width: W, height: H });
  let app = null, host = null, browser = null;
  try {
    const { chromium } = require('playwright-core');
    app = await chromium.launch({ executablePath: CHROMIUM, headless: false, env: { ...process.env, DISPLAY: own.display },
      args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--window-position=0,0', `--window-size=${W},${H}`] });
    const xpage = await app.newPage();
    await xpage.setContent('<textarea id="t" style="width:90vw;height:80vh"></textarea>');
    await xpage.focus('#t');
    host = await startHarness({ args: ['--x11'], env: { DISPLAY: own.display } });
    ({ browser } = await pairedPage(undefined, host));
    const page = browser.page;
    await page.click('#type-toggle');
    if ((await page.getAttribute('#compose', 'data-lt')) === 'live') await page.click('#lt-toggle');
    const texts = ['naïve Grüße 日本 ½ ok', 'Äa', 'Øb', 'Łc', 'Ñd', 'Çe', 'Ūf', 'Ėg', 'Ħh', 'Ŋi', 'Ŧj', 'Ƶk', 'Ǆl'];
    let whole = '';
    for (const text of texts) {
      whole += text;
      await page.fill('#compose-text', text);
      await page.click('#compose-send');
      let value = '';
      await eventually(async () => { value = await xpage.inputValue('#t'); return value.endsWith(text.slice(-1)); }, 'the text in the X application');
      assert.equal(value, whole);
    }
  } finally {
    if (browser) await browser.close();
    if (host) await host.close();
    if (app) await app.close();
    await own.stop();
  }
});
