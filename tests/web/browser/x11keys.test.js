'use strict';
// The Keys panel against a real X display through the test host: every
// button gives the X keys its name says, the panel speaks this desktop's
// keys whatever the device (a Mac's only where the device is a Mac), the
// key beside Control is Super from a PC and Control from a Mac, and a
// keyboard can always leave the picture.
const test = require('node:test');
const assert = require('node:assert/strict');
const { launch } = require('../support/browser.js');
const { startHarness } = require('../support/harness.js');
const { startXvfb } = require('../support/xvfb.js');
const { eventually, pairWithCode } = require('../support/session.js');
const { startRecorder, findRecorder, skipWithout, keyStrokes } = require('../support/x-observer.js');

let xvfb = null, harness = null, recorder = null;

test.before(async () => {
  if (!findRecorder()) return;
  xvfb = await startXvfb({ width: 1280, height: 720 });
  harness = await startHarness({ args: ['--x11'], env: { DISPLAY: xvfb.display } });
  recorder = await startRecorder(xvfb.display);
});

test.after(async () => {
  if (recorder) await recorder.stop();
  if (harness) await harness.close();
  if (xvfb) await xvfb.stop();
});

const skipWithoutRecorder = (t) => skipWithout(t, recorder);

// The device the page believes it runs on comes from navigator.platform.
const DEVICES = {
  linux: 'Linux x86_64',
  windows: 'Win32',
  mac: 'MacIntel',
};

async function pairedPage(device = 'linux') {
  const browser = await launch({ viewport: { width: 1280, height: 1120 } });
  await browser.context.addInitScript((platform) => {
    Object.defineProperty(Navigator.prototype, 'platform', { get: () => platform });
    Object.defineProperty(Navigator.prototype, 'userAgentData', { get: () => undefined });
  }, DEVICES[device]);
  const page = browser.page;
  await page.goto(harness.url);
  await pairWithCode(page, harness);
  if (!(await page.isVisible('#keys [data-mod="ControlLeft"]'))) await page.click('#keys-toggle');
  return { browser, page };
}

// What a spoken key name is on X, by the first symbol of its key.
const SPOKEN = {
  Control: 'Control_L', Alt: 'Alt_L', Shift: 'Shift_L', Super: 'Super_L', Print: 'Print', Tab: 'Tab',
  Escape: 'Escape', Backspace: 'BackSpace', Return: 'Return',
  'Left arrow': 'Left', 'Right arrow': 'Right', 'Up arrow': 'Up', 'Down arrow': 'Down',
};
// The short forms a button shows ("Ctrl+C").
const SHOWN = { Ctrl: 'Control_L', Alt: 'Alt_L', Shift: 'Shift_L', Super: 'Super_L', Esc: 'Escape', Tab: 'Tab', Return: 'Return' };

function keyOf(word, table) {
  if (table[word]) return table[word];
  if (/^F\d{1,2}$/.test(word)) return word;
  if (/^[A-Z0-9]$/.test(word)) return word.toLowerCase();
  return null;
}

// The keys a button's spoken name says it sends: the first part of the
// name, between commas, made only of key names ("Screenshot of an area,
// Shift Print" says Shift_L, Print).
function spokenKeys(label) {
  for (const part of label.split(', ')) {
    if (SPOKEN[part]) return [SPOKEN[part]];
    const keys = part.split(' ').map((w) => keyOf(w, SPOKEN));
    if (keys.every(Boolean)) return keys;
  }
  return null;
}

// The keys a button's visible words say, when they are a chord ("Alt+Tab").
function shownKeys(text) {
  if (!/^[A-Za-z0-9]+(\+[A-Za-z0-9]+)*$/.test(text)) return null;
  const keys = text.split('+').map((w) => keyOf(w, SHOWN));
  return keys.every(Boolean) ? keys : null;
}

// Modifiers down in order, the key down and up, modifiers up in reverse.
function chordStrokes(keys) {
  const mods = keys.slice(0, -1);
  const key = keys[keys.length - 1];
  return [...mods.map((k) => k + '+'), key + '+', key + '-', ...mods.slice().reverse().map((k) => k + '-')];
}

async function strokesAfter(from, count, what) {
  const seen = await recorder.waitFor(from, (ev) => keyStrokes(ev).length >= count, what);
  return keyStrokes(seen);
}

test('every button of the Keys panel gives the X keys its name says', async (t) => {
  if (skipWithoutRecorder(t)) return;
  const { browser, page } = await pairedPage('linux');
  try {
    const buttons = await page.$$eval('#keys button[data-key], #keys button[data-chord], #keys button[data-mod]', (list) =>
      list.map((b) => ({ label: b.getAttribute('aria-label') || b.textContent.trim(), text: b.textContent.trim(),
        mod: b.dataset.mod || null, confirm: !!b.dataset.confirm })));
    assert.ok(buttons.length >= 27, 'the panel has its buttons: ' + buttons.length);
    const all = page.locator('#keys button[data-key], #keys button[data-chord], #keys button[data-mod]');
    const leftArrow = page.locator('#keys button[data-key="ArrowLeft"]');
    for (const [i, b] of buttons.entries()) {
      // A modifier's name comes first in its spoken state ("Control, off");
      // it is held for the next key, here the left arrow.
      const keys = b.mod ? spokenKeys(b.label.split(', ')[0]).concat('Left') : spokenKeys(b.label);
      assert.ok(keys, `the button "${b.label}" names the keys it sends`);
      const shown = shownKeys(b.text);
      if (shown && !b.mod) assert.deepEqual(shown, keys, `"${b.text}" shows what "${b.label}" says`);
      const from = recorder.mark();
      await all.nth(i).click();
      if (b.confirm) await page.click('#confirm-ok');
      if (b.mod) await leftArrow.click();
      const want = chordStrokes(keys);
      assert.deepEqual(await strokesAfter(from, want.length, b.label), want, b.label);
    }
    // Nothing was left held on the X display.
    const from = recorder.mark();
    await leftArrow.click();
    assert.deepEqual(await strokesAfter(from, 2, 'a last key'), ['Left+', 'Left-']);
    browser.assertClean(assert);
  } finally {
    await browser.close();
  }
});

const MAC_WORDS = /⌘|\bCmd\b|\bOption\b|\bCommand\b/;

test("the panel names this desktop's keys, and the key beside Control is Super from a PC and Control from a Mac", async (t) => {
  if (skipWithoutRecorder(t)) return;
  const rows = [
    ['linux', ['Super_L+', 'v+', 'v-', 'Super_L-']],
    ['windows', ['Super_L+', 'v+', 'v-', 'Super_L-']],
    ['mac', ['Control_L+', 'v+', 'v-', 'Control_L-']],
  ];
  for (const [device, metaV] of rows) {
    const { browser, page } = await pairedPage(device);
    try {
      const texts = await page.$$eval('#keys, #compose .keystrip, #clip', (areas) => areas.flatMap((a) => [a.innerText,
        ...Array.from(a.querySelectorAll('[aria-label], [data-confirm]'), (e) => (e.getAttribute('aria-label') || '') + ' ' + (e.dataset.confirm || ''))]));
      const named = texts.filter((s) => MAC_WORDS.test(s));
      if (device === 'mac') {
        // Only what the Mac itself keeps is named in its own keys.
        assert.ok(named.length > 0 && named.every((s) => /This Mac keeps a few/.test(s)), JSON.stringify(named));
      } else {
        assert.deepEqual(named, [], device);
      }
      assert.deepEqual(await page.$$eval('#keys [data-mod]', (l) => l.map((b) => b.textContent)), ['Ctrl', 'Alt', 'Super', 'Shift']);

      const from = recorder.mark();
      await page.focus('#stage');
      await page.keyboard.press('Meta+KeyV');
      assert.deepEqual(await strokesAfter(from, 4, device + ' Meta V'), metaV, device);
      browser.assertClean(assert);
    } finally {
      await browser.close();
    }
  }
});

test('holding Escape leaves the picture without sending it, and says so to a screen reader; Tab and a short Escape go to the computer', async (t) => {
  if (skipWithoutRecorder(t)) return;
  const { browser, page } = await pairedPage('linux');
  try {
    const described = await page.$eval('#stage', (s) => document.getElementById(s.getAttribute('aria-describedby')).textContent);
    assert.match(described, /Hold Escape for a second to leave the picture\./);
    await page.focus('#stage');
    assert.match(await page.textContent('#keys-chip'), /hold Esc to leave/);
    let from = recorder.mark();
    await page.keyboard.press('Tab');
    await page.keyboard.press('Escape');
    assert.deepEqual(await strokesAfter(from, 4, 'Tab and Escape'), ['Tab+', 'Tab-', 'Escape+', 'Escape-']);
    assert.equal(await page.evaluate(() => document.activeElement.id), 'stage', 'Tab and a tap of Escape go to the computer');

    from = recorder.mark();
    await page.keyboard.down('Escape');
    await eventually(() => page.evaluate(() => document.activeElement !== document.getElementById('stage')), 'focus leaving the picture');
    await page.keyboard.up('Escape');
    const next = await page.evaluate(() => {
      const a = document.activeElement;
      const stage = document.getElementById('stage');
      return { control: /^(BUTTON|INPUT|TEXTAREA|SELECT)$/.test(a.tagName),
        after: !!(stage.compareDocumentPosition(a) & Node.DOCUMENT_POSITION_FOLLOWING), shown: a.getClientRects().length > 0 };
    });
    assert.deepEqual(next, { control: true, after: true, shown: true }, 'the next control after the picture has focus');
    assert.equal(await page.getAttribute('#hint', 'role'), 'status');
    assert.match(await page.textContent('#hint'), /^Keys stay on this page now\./);
    assert.equal(await page.isVisible('#keys-chip'), false);
    // The Escape held to leave never reached the computer: the next key
    // that does is the first thing the X display sees.
    await page.click('#keys [data-key="ArrowLeft"]');
    assert.deepEqual(await strokesAfter(from, 2, 'a key after leaving'), ['Left+', 'Left-']);
    browser.assertClean(assert);
  } finally {
    await browser.close();
  }
});
