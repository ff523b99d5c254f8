'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const {
  CODE_ALPHABET, cleanDeviceName, codeChars, formatCode, formatCodeInput, guessDeviceName, isLoopbackHost, isValidCode,
} = require('../../../src/web/client/pairing.js');

test('code field keeps only code symbols, groups them by four and keeps the caret after the last symbol typed', () => {
  let r = formatCodeInput('abc1defg', 8);
  assert.deepEqual(r, { text: 'ABCD EFG', caret: 8, rejected: true });
  r = formatCodeInput('abcd-efgh', 9);
  assert.deepEqual(r, { text: 'ABCD EFGH', caret: 9, rejected: false });
  r = formatCodeInput('abcd1efgh', 9);
  assert.equal(r.text, 'ABCD EFGH');
  assert.equal(r.rejected, false, 'eight symbols were kept, so the dropped 1 is not a rejection');
  // Typing X in the middle of "ABCD EFG" (after the space, before E).
  r = formatCodeInput('ABCD XEFG', 6);
  assert.deepEqual(r, { text: 'ABCD XEFG', caret: 6, rejected: false });
  // Typing the fifth symbol right after the fourth steps over the space.
  r = formatCodeInput('ABCDE', 5);
  assert.deepEqual(r, { text: 'ABCD E', caret: 6, rejected: false });
  // A ninth symbol is dropped without the hint.
  r = formatCodeInput('ABCD EFGHJ', 10);
  assert.deepEqual(r, { text: 'ABCD EFGH', caret: 9, rejected: false });
  // A caret that is no number means the end of the text.
  assert.equal(formatCodeInput('abcd', undefined).caret, 4);
  assert.equal(formatCodeInput(null, 3).text, '');
});

test('a code is exactly eight symbols of the alphabet without I, O, 0 and 1', () => {
  assert.equal(codeChars('io01abcdefghjk'), 'ABCDEFGH');
  assert.equal(formatCode('abc'), 'ABC');
  assert.equal(formatCode('abcd'), 'ABCD');
  assert.equal(isValidCode('ABCDEFGH'), true);
  assert.equal(isValidCode('ABCDEFGI'), false);
  assert.equal(isValidCode('ABCD EFGH'), false);
  assert.equal(isValidCode('ABCDEFG'), false);
  assert.equal(isValidCode(12345678), false);
  assert.equal(CODE_ALPHABET.length, 32);
});

test('device names are trimmed and cut to 40 units', () => {
  assert.equal(cleanDeviceName('  My phone  '), 'My phone');
  assert.equal(cleanDeviceName('x'.repeat(50)), 'x'.repeat(40));
  assert.equal(cleanDeviceName(undefined), '');
});

test('the guessed device name needs the platform to agree with the user agent', () => {
  const iphone = 'Mozilla/5.0 (iPhone; CPU iPhone OS 17_0 like Mac OS X) AppleWebKit/605.1.15 Mobile/15E148';
  const ipadAsMac = 'Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 Version/17.0 Safari/605.1.15';
  const macChrome = 'Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36 Chrome/120.0 Safari/537.36';
  const androidPhone = 'Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 Chrome/120.0 Mobile Safari/537.36';
  const androidTablet = 'Mozilla/5.0 (Linux; Android 14; Tab) AppleWebKit/537.36 Chrome/120.0 Safari/537.36';
  const cases = [
    [iphone, 5, 'iPhone', 'iPhone'],
    [iphone, 0, 'Win32', 'This device'],
    [iphone, 5, '', 'iPhone'],
    [ipadAsMac, 5, 'MacIntel', 'iPad'],
    [ipadAsMac, 0, 'MacIntel', 'Mac'],
    [macChrome, 5, 'MacIntel', 'Mac'],
    [androidPhone, 5, 'Linux armv8l', 'Android phone'],
    [androidTablet, 5, 'Linux aarch64', 'Android tablet'],
    [androidPhone, 0, 'Linux armv8l', 'This device'],
    ['Mozilla/5.0 (Windows NT 10.0; Win64; x64)', 0, 'Win32', 'Windows PC'],
    ['Mozilla/5.0 (X11; CrOS x86_64 14541.0.0)', 0, 'Linux x86_64', 'Chromebook'],
    ['Mozilla/5.0 (X11; Linux x86_64)', 0, 'Linux x86_64', 'Linux PC'],
    ['Mozilla/5.0 (X11; Linux x86_64)', 0, 'MacIntel', 'This device'],
    ['Something else', 'many', undefined, 'This device'],
  ];
  for (const [ua, touch, platform, want] of cases) {
    assert.equal(guessDeviceName(ua, touch, platform), want, `${ua} / ${platform}`);
  }
});

test('a page opened at a loopback address is on the computer itself; a tailnet name is not', () => {
  for (const [host, local] of [['127.0.0.1', true], ['127.1.2.3', true], ['localhost', true], ['[::1]', true],
    ['desk.tail1234.ts.net', false], ['127.0.0.1.example.net', false], ['100.64.0.1', false], ['', false], [undefined, false]]) {
    assert.equal(isLoopbackHost(host), local, String(host));
  }
});
