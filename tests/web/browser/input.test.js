'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const { openSession, until, eventually } = require('../support/session.js');
const { jpegFrame, makeJpeg } = require('../support/fake-host.js');

const connected = () => document.getElementById('conn-text').textContent === 'Connected';
// The input messages the page sent since `from`, in a compact form.
function inputs(host, from = 0) {
  return host.last().sent.slice(from).filter((m) => m && ['mm', 'mb', 'sc', 'k', 'text'].includes(m.t));
}
const arrived = (host, from, test) => eventually(() => test(inputs(host, from)), 'the input messages');

test('mouse, wheel and keys on the picture reach the computer at the right place', async () => {
  let conn = null;
  const s = await openSession({ host: { onSession: (c) => { conn = c; } } });
  const { page, host } = s;
  try {
    await until(page, connected);
    conn.ws.send(jpegFrame(await makeJpeg(page, 1600, 1000), 1600, 1000));
    await until(page, () => document.getElementById('fps').textContent !== '');
    const box = await page.locator('#stage').boundingBox();
    // The 16:10 picture fills the stage's height or width; click at its centre and a quarter in.
    const scale = Math.min(box.width / 1600, box.height / 1000);
    const left = box.x + (box.width - 1600 * scale) / 2;
    const top = box.y + (box.height - 1000 * scale) / 2;
    let from = host.last().sent.length;
    await page.mouse.click(left + 400 * scale, top + 250 * scale);
    await arrived(host, from, (m) => m.filter((x) => x.t === 'mb').length >= 2);
    const clicks = inputs(host, from).filter((m) => m.t === 'mb');
    assert.deepEqual(clicks.map((m) => [m.b, m.d, m.c]), [[0, true, 1], [0, false, 1]]);
    assert.ok(Math.abs(clicks[0].x - 0.25) < 0.01 && Math.abs(clicks[0].y - 0.25) < 0.01, JSON.stringify(clicks[0]));
    // A right click is button 1 on the host.
    from = host.last().sent.length;
    await page.mouse.click(left + 800 * scale, top + 500 * scale, { button: 'right' });
    await arrived(host, from, (m) => m.filter((x) => x.t === 'mb').length >= 2);
    assert.deepEqual(inputs(host, from).filter((m) => m.t === 'mb').map((m) => [m.b, m.d]), [[1, true], [1, false]]);
    // Moves are coalesced and carry the pointer's place.
    await page.mouse.move(left + 1200 * scale, top + 500 * scale, { steps: 5 });
    await arrived(host, from, (m) => m.some((x) => x.t === 'mm' && Math.abs(x.x - 0.75) < 0.01));
    const moves = inputs(host, from).filter((m) => m.t === 'mm');
    assert.ok(moves.length >= 1);
    assert.ok(Math.abs(moves.at(-1).x - 0.75) < 0.01);
    // Three wheel lines scroll 120 px.
    from = host.last().sent.length;
    await page.evaluate(() => document.getElementById('screen').dispatchEvent(new WheelEvent('wheel', { deltaY: 3, deltaMode: 1, bubbles: true, cancelable: true })));
    await arrived(host, from, (m) => m.length >= 1);
    await page.waitForTimeout(100); // nothing more may follow
    assert.deepEqual(inputs(host, from), [{ t: 'sc', dx: 0, dy: 120 }]);
    // Keys typed on the stage go as key codes, modifiers around them.
    from = host.last().sent.length;
    await page.focus('#stage');
    await page.keyboard.press('a');
    await page.keyboard.press('Shift+KeyB');
    await arrived(host, from, (m) => m.length >= 6);
    assert.deepEqual(inputs(host, from).map((m) => m.code + (m.d ? '+' : '-')),
      ['KeyA+', 'KeyA-', 'ShiftLeft+', 'KeyB+', 'KeyB-', 'ShiftLeft-']);
    s.browser.assertClean(assert);
  } finally {
    await s.close();
  }
});

test('key buttons, sticky modifiers, chords and live typing', async () => {
  const s = await openSession({ browser: { viewport: { width: 1280, height: 1120 } } });
  const { page, host } = s;
  try {
    await until(page, connected);
    let from = host.last().sent.length;
    await page.click('#keys [data-key="Escape"]');
    await page.click('#keys [data-chord="ControlLeft+KeyC"]');
    await arrived(host, from, (m) => m.length >= 6);
    assert.deepEqual(inputs(host, from).map((m) => m.code + (m.d ? '+' : '-')),
      ['Escape+', 'Escape-', 'ControlLeft+', 'KeyC+', 'KeyC-', 'ControlLeft-']);
    assert.equal(await page.evaluate(() => document.activeElement.id), 'stage', 'the buttons leave focus on the stage');

    // Shift armed for one key, then released by that key; two quick taps lock it.
    from = host.last().sent.length;
    await page.click('#keys [data-mod="ShiftLeft"]');
    assert.equal(await page.getAttribute('#keys [data-mod="ShiftLeft"]', 'data-state'), 'armed');
    assert.equal(await page.getAttribute('#compose [data-mod="ShiftLeft"]', 'data-state'), 'armed', 'both buttons show it');
    await page.click('#keys [data-key="Tab"]');
    assert.equal(await page.getAttribute('#keys [data-mod="ShiftLeft"]', 'data-state'), 'off');
    // As a person taps twice: two separate clicks wait for the page each,
    // which on a busy machine can take longer than the taps' window.
    await page.dblclick('#keys [data-mod="AltLeft"]');
    assert.equal(await page.getAttribute('#keys [data-mod="AltLeft"]', 'data-state'), 'locked');
    // A chord whose modifier is locked sends only the key.
    await page.click('#keys [data-chord="AltLeft+Tab"]');
    await page.click('#keys [data-mod="AltLeft"]');
    await arrived(host, from, (m) => m.length >= 8);
    assert.deepEqual(inputs(host, from).map((m) => m.code + (m.d ? '+' : '-')),
      ['ShiftLeft+', 'Tab+', 'Tab-', 'ShiftLeft-', 'AltLeft+', 'Tab+', 'Tab-', 'AltLeft-']);

    // Ctrl Q asks first.
    from = host.last().sent.length;
    await page.click('#keys [data-chord="ControlLeft+KeyQ"]');
    assert.equal(await page.textContent('#confirm-text'), 'Send Ctrl+Q? This quits the app in front on the computer.');
    assert.equal(await page.textContent('#confirm-ok'), 'Send');
    await page.click('#confirm-cancel');
    await page.waitForTimeout(100);
    assert.deepEqual(inputs(host, from), []);

    // So does a chord that ends the session, composed in any order: Ctrl,
    // Alt, then ⌫ from the panel, or Alt, Ctrl and Delete on the keyboard.
    const keysSince = (n) => inputs(host, n).map((m) => m.code + (m.d ? '+' : '-'));
    const asked = async (re) => { await until(page, () => !document.getElementById('confirm').hidden); assert.match(await page.textContent('#confirm-text'), re); };
    from = host.last().sent.length;
    for (const m of ['ControlLeft', 'AltLeft']) await page.click(`#keys [data-mod="${m}"]`);
    await page.click('#keys [data-key="Backspace"]');
    await asked(/^Send Ctrl\+Alt\+Backspace\? /);
    await page.click('#confirm-ok');
    await arrived(host, from, (m) => m.length >= 6);
    assert.deepEqual(keysSince(from), ['ControlLeft+', 'AltLeft+', 'Backspace+', 'Backspace-', 'ControlLeft-', 'AltLeft-']);
    from = host.last().sent.length;
    for (const m of ['AltLeft', 'ControlLeft']) await page.click(`#keys [data-mod="${m}"]`);
    await page.focus('#stage');
    await page.keyboard.press('Delete');
    await asked(/^Send Ctrl\+Alt\+Delete\? /);
    await page.click('#confirm-cancel');
    await page.waitForTimeout(100);
    assert.deepEqual(keysSince(from), ['AltLeft+', 'ControlLeft+'], 'cancelled, nothing but the modifiers');
    await page.waitForTimeout(450); // past the lock's time: a tap lets each go
    for (const m of ['AltLeft', 'ControlLeft']) await page.click(`#keys [data-mod="${m}"]`);

    // Live typing sends each letter as it is typed.
    await page.click('#lt-toggle');
    assert.equal(await page.evaluate(() => document.activeElement.id), 'lt-field');
    from = host.last().sent.length;
    await page.keyboard.type('hi');
    await page.keyboard.press('Backspace');
    await arrived(host, from, (m) => m.length >= 6);
    assert.deepEqual(inputs(host, from).map((m) => m.code + (m.d ? '+' : '-')),
      ['KeyH+', 'KeyH-', 'KeyI+', 'KeyI-', 'Backspace+', 'Backspace-']);
    // The phone keyboard's delete with Ctrl and Alt on asks first too.
    for (const m of ['ControlLeft', 'AltLeft']) await page.click(`#keys [data-mod="${m}"]`);
    from = host.last().sent.length;
    await page.evaluate(() => {
      const f = document.getElementById('lt-field');
      f.value = f.value.slice(0, -1);
      f.dispatchEvent(new InputEvent('input', { inputType: 'deleteContentBackward', bubbles: true }));
    });
    await asked(/^Send Ctrl\+Alt\+Backspace\? /);
    await page.click('#confirm-cancel');
    await page.waitForTimeout(100);
    assert.deepEqual(keysSince(from), []);
    assert.equal(await page.evaluate(() => localStorage.getItem('morvane.typing')), 'live');
    s.browser.assertClean(assert);
  } finally {
    await s.close();
  }
});
