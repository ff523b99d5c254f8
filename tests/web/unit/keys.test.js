'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const {
  deskCaptureText, deskDefaults, deskHolds, deskKeptText, deskKeyStep, deskKeysStart, deskMapCode, deskPlatform,
  deskSetting, sessionChordQuestion,
} = require('../../../src/web/client/keyboard.js');
const {
  LT_SENTINEL, ltEncode, ltIsRealKey, ltStart, ltStep, normalizeTypeMode,
} = require('../../../src/web/client/typing.js');

// Drives the tracker with key events; each entry is [type, code, key, extra].
function keys(events, opts) {
  let s = deskKeysStart();
  const sent = [];
  const prevents = [];
  for (const [type, code, key, extra] of events) {
    const r = deskKeyStep(s, Object.assign({ type, code, key }, extra || {}), opts);
    s = r.state;
    prevents.push(r.prevent);
    for (const o of r.out) sent.push(o.s !== undefined ? 'text:' + o.s : o.k + (o.d ? '+' : '-'));
  }
  return { sent, state: s, prevents };
}

const MAC = { platform: 'mac', chars: false };

// The key beside Control reaches the computer as Control from an Apple
// keyboard (Command+C copies) and as Super from every other one; nothing
// else is turned into another key.
test('Command is Control from an Apple keyboard and the Windows key is Super from any other', () => {
  const rows = [
    ['mac', [['down', 'MetaLeft', 'Meta'], ['down', 'KeyC', 'c'], ['up', 'KeyC', 'c'], ['up', 'MetaLeft', 'Meta']],
      ['MetaLeft+', 'KeyC+', 'KeyC-', 'MetaLeft-']],
    ['ios', [['down', 'MetaRight', 'Meta'], ['up', 'MetaRight', 'Meta']], ['MetaRight+', 'MetaRight-']],
    ['mac', [['down', 'OSLeft', 'OS'], ['up', 'OSLeft', 'OS']], ['MetaLeft+', 'MetaLeft-']],
    ['windows', [['down', 'MetaLeft', 'Meta'], ['up', 'MetaLeft', 'Meta']], ['OSLeft+', 'OSLeft-']],
    ['linux', [['down', 'OSLeft', 'OS'], ['down', 'KeyE', 'e'], ['up', 'KeyE', 'e'], ['up', 'OSLeft', 'OS']],
      ['OSLeft+', 'KeyE+', 'KeyE-', 'OSLeft-']],
    ['chromeos', [['down', 'MetaRight', 'Meta'], ['up', 'MetaRight', 'Meta']], ['OSRight+', 'OSRight-']],
    ['other', [['down', 'MetaLeft', 'Meta'], ['up', 'MetaLeft', 'Meta']], ['OSLeft+', 'OSLeft-']],
    ['windows', [['down', 'ControlLeft', 'Control', { ctrl: true }], ['down', 'KeyC', 'c', { ctrl: true }],
      ['up', 'KeyC', 'c', { ctrl: true }], ['up', 'ControlLeft', 'Control', { ctrl: false }]],
    ['ControlLeft+', 'KeyC+', 'KeyC-', 'ControlLeft-']],
    ['windows', [['down', 'ControlLeft', 'Control', { ctrl: true }], ['down', 'ArrowLeft', 'ArrowLeft', { ctrl: true }],
      ['up', 'ArrowLeft', 'ArrowLeft', { ctrl: true }], ['up', 'ControlLeft', 'Control', { ctrl: false }]],
    ['ControlLeft+', 'ArrowLeft+', 'ArrowLeft-', 'ControlLeft-']],
    ['windows', [['down', 'Home', 'Home'], ['up', 'Home', 'Home']], ['Home+', 'Home-']],
    ['windows', [['down', 'AltLeft', 'Alt', { alt: true }], ['down', 'Tab', 'Tab', { alt: true }], ['up', 'Tab', 'Tab', { alt: true }],
      ['down', 'Tab', 'Tab', { alt: true }], ['up', 'Tab', 'Tab', { alt: true }], ['up', 'AltLeft', 'Alt', { alt: false }]],
    ['AltLeft+', 'Tab+', 'Tab-', 'Tab+', 'Tab-', 'AltLeft-']],
  ];
  for (const [platform, events, sent] of rows) {
    assert.deepEqual(keys(events, { platform, chars: false }).sent, sent, platform + ' ' + events[0][1]);
  }
  // With Super held a letter is a shortcut, sent as its key even when
  // characters are typed as text.
  const r = keys([['down', 'MetaLeft', 'Meta'], ['down', 'KeyE', 'e']], { platform: 'linux', chars: true });
  assert.deepEqual(r.sent, ['OSLeft+', 'KeyE+']);
});

test('characters a layout makes with AltGr or Caps Lock are typed as text; local keys stay local', () => {
  let r = keys([['down', 'ControlLeft', 'Control', { ctrl: true }], ['down', 'AltRight', 'AltGraph', { ctrl: true, alt: true }],
    ['down', 'KeyE', '€', { ctrl: true, alt: true }], ['up', 'KeyE', '€', { ctrl: true, alt: true }]],
  { platform: 'windows', chars: false });
  assert.deepEqual(r.sent, ['ControlLeft+', 'ControlLeft-', 'text:€'], "Windows' extra Control is let go before the euro sign");
  assert.equal(r.state.sent.length, 0);
  r = keys([['down', 'CapsLock', 'CapsLock'], ['down', 'KeyA', 'A', { caps: true }], ['up', 'KeyA', 'A', { caps: true }]], MAC);
  assert.deepEqual(r.sent, ['text:A']);
  assert.equal(r.prevents[0], false, 'Caps Lock is neither sent nor prevented');
  for (const code of ['AudioVolumeUp', 'MediaPlayPause', 'PrintScreen', 'ScrollLock', 'Pause']) {
    const k = keys([['down', code, code]], MAC);
    assert.deepEqual(k.sent, []);
    assert.equal(k.prevents[0], false, code);
  }
  // The keypad with NumLock off on Windows: 5 is quiet, 8 is an arrow.
  r = keys([['down', 'Numpad5', 'Clear'], ['down', 'Numpad8', 'ArrowUp']], { platform: 'windows' });
  assert.deepEqual(r.sent, ['ArrowUp+']);
  assert.equal(deskMapCode('NumLock', { platform: 'mac' }), 'NumLock');
  assert.equal(deskMapCode('NumLock', { platform: 'windows' }), null);
  assert.equal(deskMapCode('OSLeft', {}), 'OSLeft');
  assert.equal(deskMapCode('Key-A', {}), null);
});

test('held keys repeat as downs, and letting go of Command lets go of everything', () => {
  let r = keys([['down', 'KeyA', 'a'], ['down', 'KeyA', 'a'], ['down', 'KeyA', 'a'], ['up', 'KeyA', 'a']], MAC);
  assert.deepEqual(r.sent, ['KeyA+', 'KeyA+', 'KeyA+', 'KeyA-']);
  r = keys([['down', 'MetaLeft', 'Meta'], ['down', 'KeyZ', 'z'], ['up', 'MetaLeft', 'Meta']], MAC);
  assert.deepEqual(r.sent, ['MetaLeft+', 'KeyZ+', 'KeyZ-', 'MetaLeft-']);
  assert.deepEqual(r.state.phys, []);
  // A Control key-up that went to another window is noticed on the next key.
  r = keys([['down', 'ControlLeft', 'Control', { ctrl: true }], ['down', 'KeyB', 'b', { ctrl: false }]], MAC);
  assert.deepEqual(r.sent, ['ControlLeft+', 'ControlLeft-', 'KeyB+']);
  // Release everything, modifiers included, sends every key-up once.
  let s = r.state;
  const rel = deskKeyStep(s, { type: 'release', modifiers: true }, MAC);
  assert.deepEqual(rel.out, [{ k: 'KeyB', d: false }]);
  assert.deepEqual(rel.state, deskKeysStart());
  assert.equal(deskKeyStep(s, { type: 'down', code: 'Bad code' }, MAC).prevent, false);
  // An on-screen modifier makes a letter a shortcut key, not text.
  r = keys([['down', 'KeyC', 'c', { sticky: true }]], { platform: 'mac', chars: true });
  assert.deepEqual(r.sent, ['KeyC+']);
  r = keys([['down', 'KeyC', 'c']], { platform: 'mac', chars: true });
  assert.deepEqual(r.sent, ['text:c']);
  assert.equal(deskHolds(deskKeysStart(), 'ctrl'), false);
});

test('the platform is read from the platform string first and the wording follows it', () => {
  const chromeMac = 'Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) Chrome/120.0';
  assert.equal(deskPlatform(chromeMac, 'MacIntel', '', 0), 'mac');
  assert.equal(deskPlatform('Mozilla/5.0 (Macintosh) Version/17 Safari/605', 'MacIntel', '', 5), 'ios');
  assert.equal(deskPlatform('', 'Win32', '', 0), 'windows');
  assert.equal(deskPlatform('Mozilla/5.0 (Linux; Android 14)', 'Linux armv8l', '', 5), 'android');
  assert.equal(deskPlatform('Mozilla/5.0 (X11; CrOS x86_64)', 'Linux x86_64', '', 0), 'chromeos');
  assert.equal(deskPlatform('Mozilla/5.0 (X11; Linux x86_64)', 'Linux x86_64', '', 0), 'linux');
  assert.equal(deskPlatform('', '', 'macOS', 0), 'mac');
  assert.equal(deskPlatform('Mozilla/5.0 (Windows NT 10.0)', '', '', 0), 'windows');
  assert.equal(deskPlatform('', 'Plan9', '', 0), 'other');
  assert.deepEqual(deskDefaults('windows'), { typeChars: false });
  assert.equal(deskSetting('0', true), false);
  assert.equal(deskSetting('yes', true), true);
  assert.match(deskKeptText('mac', true), /where ⌘ acts as Ctrl: ⌘C copies\. This Mac keeps a few: .* Or use Capture all keys in More\.$/);
  assert.match(deskKeptText('linux', false), /^click the picture and type, and most keys go straight to the computer\. This device and this browser take/);
  assert.equal(deskCaptureText('refused', 'mac'), 'The browser did not allow it. Use the buttons in Keys instead.');
  assert.match(deskCaptureText('off', 'windows'), /Alt\+Tab, to the computer/);
  // Only a Mac's own keys are named with a Mac's words.
  for (const platform of ['windows', 'linux', 'chromeos', 'android', 'ios', 'other']) {
    for (const text of [deskKeptText(platform, true), deskCaptureText('off', platform)]) {
      assert.doesNotMatch(text, /⌘|\bCmd\b|\bCommand\b|\bOption\b/, platform);
    }
  }
});

// Live typing: feeds events to the step function, gathering the messages.
function live(events) {
  let s = ltStart();
  const msgs = [];
  let last = null;
  for (const ev of events) {
    last = ltStep(s, ev);
    s = last.state;
    msgs.push(...ltEncode(last.ops).map((m) => JSON.parse(m)));
  }
  return { msgs, state: s, last };
}
const Z = LT_SENTINEL;

test('live typing mirrors the field: new letters are typed, changes become Backspaces', () => {
  const word = [{ type: 'focus' }];
  let value = Z;
  for (const ch of 'hello') { value += ch; word.push({ type: 'input', value }); }
  let r = live(word);
  assert.deepEqual(r.msgs.map((m) => m.s), ['h', 'e', 'l', 'l', 'o']);
  assert.equal(r.last.field, Z + 'hello');
  // Autocorrect replaces "cat" by "dog " in one input: three Backspaces, then the new word.
  r = live([{ type: 'focus' }, { type: 'input', value: Z + 'cat' }, { type: 'input', value: Z + 'dog ' }]);
  assert.deepEqual(r.msgs.slice(1).map((m) => m.t === 'k' ? m.code + (m.d ? '+' : '-') : m.s),
    ['Backspace+', 'Backspace-', 'Backspace+', 'Backspace-', 'Backspace+', 'Backspace-', 'dog ']);
  // Only what follows the common start is replaced.
  r = live([{ type: 'focus' }, { type: 'input', value: Z + 'teh' }, { type: 'input', value: Z + 'the' }]);
  assert.deepEqual(r.msgs.slice(1).map((m) => m.t === 'k' ? m.code + (m.d ? '+' : '-') : m.s),
    ['Backspace+', 'Backspace-', 'Backspace+', 'Backspace-', 'he']);
  // Backspace in a field that looks empty.
  r = live([{ type: 'focus' }, { type: 'input', value: '' }]);
  assert.deepEqual(r.msgs.map((m) => m.code + m.d), ['Backspacetrue', 'Backspacefalse']);
  assert.equal(r.last.field, Z);
  // An IME composition sends only the final text, once.
  r = live([{ type: 'focus' }, { type: 'compositionstart' }, { type: 'input', value: Z + 'に' },
    { type: 'compositionend', value: Z + '日本' }, { type: 'input', value: Z + '日本' }]);
  assert.deepEqual(r.msgs, [{ t: 'text', s: '日本' }]);
  // A Return from the on-screen keyboard taps Enter and nothing else.
  r = live([{ type: 'focus' }, { type: 'beforeinput', inputType: 'insertLineBreak' }]);
  assert.deepEqual(r.msgs.map((m) => m.code), ['Enter', 'Enter']);
  assert.equal(r.last.prevent, true);
  // A paste of 5000 characters goes in pieces of 2000.
  r = live([{ type: 'focus' }, { type: 'input', value: Z + 'x'.repeat(5000) }]);
  assert.deepEqual(r.msgs.map((m) => m.s.length), [2000, 2000, 1000]);
  assert.equal(r.state.tail.length, 24, 'the tail is cut to its last 24 graphemes');
  // Losing focus empties the field; the next focus starts afresh.
  r = live([{ type: 'focus' }, { type: 'input', value: Z + 'ab' }, { type: 'blur' }, { type: 'focus' }, { type: 'input', value: Z + 'c' }]);
  assert.deepEqual(r.msgs.map((m) => m.s), ['ab', 'c']);
});

test('live typing sends shortcuts as keys when an on-screen modifier is on, and real keys go the keyboard road', () => {
  let r = live([{ type: 'focus' }, { type: 'input', value: Z + 'c', anyMod: true }]);
  assert.deepEqual(r.msgs.map((m) => m.code + (m.d ? '+' : '-')), ['KeyC+', 'KeyC-']);
  assert.equal(r.state.tail, '');
  r = live([{ type: 'focus' }, { type: 'input', value: Z + 'C', anyMod: true, shiftOn: false }]);
  assert.deepEqual(r.msgs.map((m) => m.code + (m.d ? '+' : '-')), ['ShiftLeft+', 'KeyC+', 'KeyC-', 'ShiftLeft-']);
  assert.equal(ltIsRealKey({ code: 'KeyA', key: 'a', shift: false }), true);
  assert.equal(ltIsRealKey({ code: 'KeyQ', key: 'a', shift: false }), false, 'a French layout types text');
  assert.equal(ltIsRealKey({ code: 'KeyA', key: 'Unidentified' }), false);
  assert.equal(ltIsRealKey({ code: 'Enter', key: 'Enter' }), true);
  assert.equal(ltIsRealKey({ code: 'KeyA', key: 'a', keyCode: 229 }), false);
  r = live([{ type: 'focus' }, { type: 'keydown', code: 'KeyA', key: 'a' }, { type: 'beforeinput', inputType: 'insertText' },
    { type: 'input', value: Z + 'a' }, { type: 'keyup', code: 'KeyA', key: 'a' }]);
  assert.deepEqual(r.msgs, [], 'the keyboard road sends real keys, not the field');
  assert.equal(r.state.tail, 'a');
  assert.equal(normalizeTypeMode('live'), 'live');
  assert.equal(normalizeTypeMode('x'), 'send');
});

test('no button of the page sends a chord that kills a program or ends the session on an X desktop', () => {
  const fs = require('node:fs');
  const path = require('node:path');
  const { parseChord } = require('../../../src/web/client/encoders.js');
  const html = fs.readFileSync(path.join(__dirname, '../../../src/web/index.html'), 'utf8');
  const chords = Array.from(html.matchAll(/data-chord="([^"]+)"/g), (m) => parseChord(m[1]));
  assert.ok(chords.length >= 15 && chords.every(Boolean), 'the page reads its own chords');
  // Ctrl+Alt+Escape is xkill, Ctrl+Alt+Backspace ends the X server and
  // Ctrl+Alt+Delete logs out on most desktops.
  const held = (c, cls) => c.modifiers.some((m) => m.startsWith(cls));
  const fatal = chords.filter((c) => held(c, 'Control') && held(c, 'Alt') && ['Escape', 'Backspace', 'Delete'].includes(c.key));
  assert.deepEqual(fatal, []);
});

test('a chord the on-screen keys compose that ends or interrupts the session is asked about, whatever the order', () => {
  const rows = [
    // modifiers held, key, the question's start (null: sent at once)
    [['ControlLeft', 'AltLeft'], 'Backspace', 'Send Ctrl+Alt+Backspace? Where the computer allows it, this ends its desktop session'],
    [['AltLeft', 'ControlLeft'], 'Delete', 'Send Ctrl+Alt+Delete? On many desktops this logs out'],
    [['AltLeft', 'ShiftLeft', 'MetaLeft'], 'Escape', 'Send Ctrl+Alt+Shift+Escape? On some desktops this turns the pointer'],
    [['ControlLeft', 'AltLeft', 'OSLeft'], 'F12', 'Send Ctrl+Alt+Super+F12? This switches the computer to a text console'],
    [['ControlLeft', 'AltLeft'], 'F13', null],
    [['ControlLeft', 'ShiftLeft'], 'Backspace', null],
    [['OSLeft', 'AltLeft'], 'Delete', null],
    [['ControlLeft', 'AltLeft'], 'constructor', null],
  ];
  for (const [mods, key, start] of rows) {
    const q = sessionChordQuestion(mods, key);
    assert.ok(start === null ? q === null : q.startsWith(start), JSON.stringify([mods, key, q]));
  }
});
