'use strict';
// Watches a private X display from outside the host: the recorder client
// (morvane-x-recorder, built with the tests) reports pointer and key events
// as JSON lines, and xclip reads and offers the CLIPBOARD selection.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const readline = require('node:readline');
const { eventually } = require('./session.js');

function findRecorder() {
  const candidates = [];
  if (process.env.MORVANE_BUILD_DIR) candidates.push(path.join(process.env.MORVANE_BUILD_DIR, 'morvane-x-recorder'));
  candidates.push(path.resolve(__dirname, '../../../build/morvane-x-recorder'));
  return candidates.find((p) => { try { fs.accessSync(p, fs.constants.X_OK); return true; } catch (e) { return false; } }) || null;
}

async function startRecorder(display) {
  const exe = findRecorder();
  if (!exe) return null;
  const child = spawn(exe, [], { stdio: ['pipe', 'pipe', 'pipe'], env: { ...process.env, DISPLAY: display } });
  const events = [];
  let ready = false;
  let stderr = '';
  child.stderr.on('data', (d) => { stderr += d; });
  readline.createInterface({ input: child.stdout }).on('line', (line) => {
    if (line === 'ready') { ready = true; return; }
    try { events.push(JSON.parse(line)); } catch (e) { /* not one of ours */ }
  });
  const exited = new Promise((resolve) => child.on('exit', resolve));
  await eventually(() => ready || child.exitCode !== null, 'the X recorder', 10000);
  if (!ready) throw new Error('the X recorder did not start: ' + stderr);
  return {
    events,
    // Index to pass to `since`/`waitFor` so a check sees only what follows.
    mark: () => events.length,
    since: (from) => events.slice(from),
    async waitFor(from, test, what, timeout = 10000) {
      await eventually(() => test(events.slice(from)), what + ' on the X display', timeout);
      return events.slice(from);
    },
    async stop() {
      child.stdin.end();
      const timer = setTimeout(() => child.kill('SIGKILL'), 3000);
      await exited;
      clearTimeout(timer);
    },
  };
}

// The text typed on the X display since `from`: the characters of key presses.
function typed(events) {
  return events.filter((e) => e.t === 'keydown' && e.char !== undefined).map((e) => e.char).join('');
}

// What a plain text field on the X display would hold after these key
// presses: characters are added, BackSpace takes the last one away.
function editedText(events) {
  const out = [];
  for (const e of events) {
    if (e.t !== 'keydown') continue;
    if (e.keysym === 'BackSpace') out.pop();
    else if (e.char !== undefined) out.push(e.char);
  }
  return out.join('');
}

// Key presses and releases in a compact form: "Control_L+", "v-".
function strokes(events) {
  return events.filter((e) => e.t === 'keydown' || e.t === 'keyup').map((e) => e.keysym + (e.t === 'keydown' ? '+' : '-'));
}

// The same by the key's own first symbol, whatever modifiers are held:
// Shift+Print is "Shift_L+", "Print+", not Sys_Req.
function keyStrokes(events) {
  return events.filter((e) => e.t === 'keydown' || e.t === 'keyup').map((e) => e.key + (e.t === 'keydown' ? '+' : '-'));
}

function readClipboard(display) {
  return new Promise((resolve) => {
    const child = spawn('xclip', ['-selection', 'clipboard', '-o'], { env: { ...process.env, DISPLAY: display } });
    const chunks = [];
    child.stdout.on('data', (d) => chunks.push(d));
    const timer = setTimeout(() => child.kill('SIGKILL'), 3000);
    child.on('exit', (code) => { clearTimeout(timer); resolve(code === 0 ? Buffer.concat(chunks).toString('utf8') : null); });
  });
}

// Owns the CLIPBOARD with the text until `release` (xclip stays in the
// foreground with -quiet, so it is ended by its own process id).
function offerClipboard(display, text) {
  const child = spawn('xclip', ['-quiet', '-selection', 'clipboard', '-i'], {
    env: { ...process.env, DISPLAY: display }, stdio: ['pipe', 'ignore', 'ignore'],
  });
  child.stdin.end(text);
  const exited = new Promise((resolve) => child.on('exit', resolve));
  return {
    async release() {
      if (child.exitCode === null && child.signalCode === null) { child.kill('SIGTERM'); await exited; }
    },
  };
}

// Skips a test that needs the recorder when this build has none.
function skipWithout(t, recorder) {
  if (recorder) return false;
  t.skip('morvane-x-recorder is not built');
  return true;
}

module.exports = { startRecorder, findRecorder, skipWithout, typed, editedText, strokes, keyStrokes, readClipboard, offerClipboard };
