'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const { formatRate } = require('../../../src/web/client/video.js');
const {
  byeText, dialText, pairErrorText, quietText, retryText, shouldAutoReconnect, statusBanners, stopAdvice,
} = require('../../../src/web/client/wording.js');

test('notices come from the status in order of importance, at most one about capture', () => {
  assert.deepEqual(statusBanners(null), []);
  assert.deepEqual(statusBanners('ok'), []);
  assert.deepEqual(statusBanners({ capture: 'ok', input: true, locked: false, sleepDisabled: true }), []);
  assert.deepEqual(statusBanners({ capture: 'error: stream failed -3801' }).map((n) => n.title), ['The picture stopped on the computer']);
  const four = statusBanners({ capture: 'no-permission', input: false, locked: true, sleepDisabled: false });
  assert.deepEqual(four.map((n) => n.id), ['no-screen', 'no-input', 'locked', 'may-sleep']);
  assert.equal(four[0].title, 'The computer is not allowed to share its screen');
  assert.deepEqual(statusBanners({ capture: 'starting', input: true }).map((n) => n.id), ['starting']);
  assert.deepEqual(statusBanners({ capture: 'no-display' }).map((n) => n.id), ['no-display']);
  assert.deepEqual(statusBanners({ capture: 42, input: 0, locked: 'yes' }), [], 'only exact values count');
  assert.deepEqual(statusBanners({ capture: 'stopped-on-mac' }), []);
});

test('end-of-session wording says what happened and what to do next', () => {
  assert.equal(byeText('host-quit'), 'Morvane quit on the computer.');
  assert.equal(byeText('taken-over'), 'Another device took over control of the computer.');
  assert.equal(byeText('revoked'), 'This device was removed on the computer.');
  assert.equal(byeText('paused'), 'Morvane is paused on the computer.');
  assert.equal(byeText('timeout'), 'The computer stopped hearing from this device.');
  assert.equal(byeText('whatever'), 'The connection to the computer dropped.');
  assert.equal(byeText('constructor'), 'The connection to the computer dropped.', 'no inherited names leak through');
  assert.equal(byeText(undefined), 'The connection to the computer dropped.');
  assert.equal(stopAdvice('taken-over'), 'Only one device controls the computer at a time. Reconnect to take it back.');
  assert.equal(stopAdvice('revoked'), 'Pair again with a new code from the computer.');
  assert.equal(stopAdvice('user'), 'Reconnect when you are ready.');
  assert.equal(stopAdvice('toString'), 'Reconnect when you are ready.');
});

test('the page retries after every bye except the owner decisions', () => {
  for (const r of ['taken-over', 'revoked', 'disconnected-by-host', 'stopped-on-mac', 'paused', 'relay-quota', 'user']) {
    assert.equal(shouldAutoReconnect(r), false, r);
  }
  for (const r of ['host-quit', 'timeout', 'renew', '', 'unknown']) assert.equal(shouldAutoReconnect(r), true, r);
});

test('retry wording counts whole seconds, at least one', () => {
  assert.equal(retryText(1500), 'Trying again in 2 seconds.');
  assert.equal(retryText(0), 'Trying again in 1 second.');
  assert.equal(retryText(1000), 'Trying again in 1 second.');
  assert.equal(retryText(10000), 'Trying again in 10 seconds.');
  assert.equal(retryText('soon'), 'Trying again in 1 second.');
});

test('pairing refusals are worded the same for a wrong code and a closed window', () => {
  assert.match(pairErrorText('code-not-accepted'), /^That code was not accepted\. Check it against the computer\. If the pairing window there has closed, choose Morvane/);
  assert.match(pairErrorText('paused'), /^Morvane is paused on the computer, so nothing can be paired\./);
  // The right code on a computer that cannot keep the device: the page sends
  // the person to the computer, not back to the code.
  assert.match(pairErrorText('cannot-save'), /^The code was right, but the computer could not save its list of paired devices/);
  assert.match(pairErrorText('cannot-save'), /tray says why/);
  assert.equal(pairErrorText('forbidden'), 'The computer did not accept the request. Try again with a new code.');
  assert.equal(pairErrorText(undefined), 'The computer did not accept the request. Try again with a new code.');
});

test('data rates read in kilobits below a megabit, then megabits with one decimal', () => {
  assert.equal(formatRate(999499), '999 kb/s');
  assert.equal(formatRate(1250000), '1.3 Mb/s');
  assert.equal(formatRate(2e6), '2.0 Mb/s');
  assert.equal(formatRate(-5), '0 kb/s');
  assert.equal(formatRate(NaN), '0 kb/s');
});

// The texts the page shows, as written in its files: the quoted strings of
// every client module (comment lines left out) and the page itself.
function pageTexts() {
  const fs = require('node:fs');
  const path = require('node:path');
  const web = path.join(__dirname, '../../../src/web');
  const texts = [];
  const client = path.join(web, 'client');
  for (const name of fs.readdirSync(client).filter((n) => n.endsWith('.js'))) {
    const code = fs.readFileSync(path.join(client, name), 'utf8').split('\n')
      .filter((line) => !/^\s*(\/\/|\*|\/\*)/.test(line)).join('\n');
    for (const m of code.matchAll(/'(?:[^'\\\n]|\\.)*'|"(?:[^"\\\n]|\\.)*"|`(?:[^`\\]|\\.)*`/g)) texts.push({ file: name, text: m[0] });
  }
  const html = fs.readFileSync(path.join(web, 'index.html'), 'utf8').replace(/<!--[\s\S]*?-->/g, '');
  for (const m of html.matchAll(/>([^<]+)</g)) texts.push({ file: 'index.html', text: m[1] });
  for (const m of html.matchAll(/(?:aria-label|placeholder|title|data-confirm)="([^"]*)"/g)) texts.push({ file: 'index.html', text: m[1] });
  return texts;
}

test('no text the page shows names a Mac: the computer it reaches is a Linux machine', () => {
  // Where "Mac" is the device the page runs on, it stays: the name a Mac
  // browser suggests for itself, and the keys such a device keeps.
  const deviceWords = ["'Mac'", 'This Mac keeps a few'];
  const texts = pageTexts();
  assert.ok(texts.length > 300, 'the page texts were found');
  const offending = texts.filter(({ text }) => /\bMac\b|menu bar|System Settings|Privacy & Security/.test(text) &&
    !deviceWords.some((w) => text.includes(w)));
  assert.deepEqual(offending, []);
  // Wire words keep their spelling.
  assert.ok(texts.some(({ text }) => text === "'stopped-on-mac'"));
  assert.ok(texts.some(({ text }) => text === "'mac-offline'"));
});

test("no text the page shows names a Mac's keys, except those a Mac device keeps itself", () => {
  const macDevice = ['This Mac keeps a few', 'macOS may still keep'];
  const offending = pageTexts().filter(({ text }) => /⌘|&#8984;|\bCmd\b|\bOption\b|\bCommand\b/.test(text) &&
    !macDevice.some((w) => text.includes(w)));
  assert.deepEqual(offending, []);
});

test('the changed texts read as this platform has them', () => {
  const rows = [
    [statusBanners({ input: false })[0].title, 'View only: the computer is not accepting control'],
    [statusBanners({ input: false })[0].detail, 'The computer\u2019s X server lacks the XTEST extension that Morvane types and points with.'],
    [statusBanners({ capture: 'no-permission' })[0].detail, 'On the computer, start Morvane from the desktop session, so that it can read the X display.'],
    [statusBanners({ sleepDisabled: false })[0].title, 'The computer may go to sleep'],
    [statusBanners({ locked: true })[0].title, 'The computer is locked'],
    [byeText('mac-offline'), 'Your computer is not connected to the relay.'],
    [byeText('stopped-on-mac'), 'Sharing was stopped on the computer.'],
    [stopAdvice('paused'), 'Nobody can connect while it is paused. On the computer, choose Morvane in the tray, then Resume Morvane. After that, reconnect.'],
    [pairErrorText('code-not-accepted', false), 'That code was not accepted. Check it against the computer. If the pairing window there has closed, ' +
      'choose Morvane in the tray, then Pair a Device Over Tailscale… again, and enter the new code.'],
    // On the computer itself the tray offers its own item unless the
    // tailnet's has taken its place.
    [pairErrorText('paused', true), 'Morvane is paused on the computer, so nothing can be paired. On the computer, choose Morvane in the tray, ' +
      'then Resume Morvane, then Pair a Browser on This Computer… (or Pair a Device Over Tailscale… while access over Tailscale is on) for a new code.'],
  ];
  for (const [shown, wanted] of rows) assert.equal(shown, wanted);
});

test('a dial the computer did not answer says whether the relay held it, and a bye says its own words', () => {
  assert.equal(quietText('unanswered', false), 'Your computer did not answer.');
  assert.equal(quietText('unanswered', true), 'The relay is reachable, but your computer did not answer.');
  assert.equal(quietText('mac-offline', true), null);
  assert.equal(dialText('Your computer is not connected to the relay.', 'mac-offline', true), 'The relay is reachable; waiting for your computer to answer.');
});
