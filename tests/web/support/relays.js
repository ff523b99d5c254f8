'use strict';
// The relays the page's tests run beside the test host, as child processes
// on loopback: the relay double, and morvane-relay itself. Each gives its
// origin, the sign-in code it sent to an address after a mark in its
// output, the arguments the test host needs to sign in there, and its end.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const readline = require('node:readline');
const { freePort } = require('./harness.js');
const { eventually } = require('./session.js');

function built(relative) {
  const build = process.env.MORVANE_BUILD_DIR || path.resolve(__dirname, '../../../build');
  const exe = path.join(build, relative);
  if (!fs.existsSync(exe)) throw new Error(exe + ' is not built');
  return exe;
}

// A relay as a child process: its origin, the sign-in code it sent to an
// address after a mark in its output, its pid, its end, and a start again
// with the same arguments (its data kept) once it has ended.
async function startRelay(exe, args, ready) {
  const lines = [];
  let child = null;
  async function run() {
    child = spawn(exe, args, { stdio: ['ignore', 'pipe', 'pipe'] });
    const started = child;
    for (const stream of [started.stdout, started.stderr]) readline.createInterface({ input: stream }).on('line', (l) => lines.push(l));
    await eventually(async () => started.exitCode !== null || await ready(lines), 'the relay', 10000);
    if (started.exitCode !== null) throw new Error('the relay exited: ' + lines.join('\n'));
  }
  await run();
  const relay = {
    lines,
    get pid() { return child.pid; },
    mark: () => lines.length,
    async stop() {
      if (child.exitCode !== null || child.signalCode !== null) return;
      const done = new Promise((r) => child.on('exit', r));
      child.kill('SIGTERM');
      await done;
    },
    async restart() {
      await relay.stop();
      await run();
    },
  };
  return relay;
}

// The relay double: every e-mail gets 123456, and it keeps what it carried.
async function startDouble(dir) {
  const port = await freePort();
  const forwarded = path.join(dir, 'forwarded.bin');
  const relay = await startRelay(built('tests/relay/morvane_relay_double_run'), ['--port', String(port), '--keep-forwarded', forwarded],
    async (lines) => lines.some((l) => l.startsWith('relay double on')));
  // It says no more of a wrong code than its word.
  return Object.assign(relay, {
    origin: `http://127.0.0.1:${port}`, forwarded, code: async () => '123456', harnessArgs: [],
    firstWrongCode: 'That code is wrong or has expired. Check it, or send a new code.',
  });
}

// The relay service itself, on loopback, writing each code to its log.
async function startService(dir) {
  const port = await freePort();
  const origin = `http://127.0.0.1:${port}`;
  const up = async () => { try { return (await fetch(origin + '/')).status === 200; } catch (e) { return false; } };
  const relay = await startRelay(built('morvane-relay'),
    ['--listen', `127.0.0.1:${port}`, '--data', path.join(dir, 'relay'), '--codes-in-log'], up);
  const code = async (from, email) => {
    const re = new RegExp('Sign-in code for ' + email.replace(/[.]/g, '\\.') + ': (\\d{6})');
    let found = null;
    await eventually(() => { found = relay.lines.slice(from).map((l) => re.exec(l)).find(Boolean); return !!found; }, 'a code in the relay\'s log');
    return found[1];
  };
  return Object.assign(relay, {
    origin, forwarded: null, code, harnessArgs: ['--relay-ask-code'],
    firstWrongCode: 'That code is wrong. Check it, or send a new code (4 tries left).',
  });
}

module.exports = { built, startDouble, startService };
