'use strict';
// The relay the page's tests run beside the test host: morvane-relay itself,
// as a child process on loopback. It gives its origin, the sign-in code it
// sent to an address after a mark in its output, the records it carried
// (when asked to keep them) and where in them to look for plaintext, and
// its end.
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
async function startRelay(exe, args, env, ready) {
  const lines = [];
  let child = null;
  async function run() {
    child = spawn(exe, args, { stdio: ['ignore', 'pipe', 'pipe'], env: { ...process.env, ...env } });
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

// The relay service itself, on loopback, writing each code to its log. With
// `keepCarried` it also writes each record it carries to `carried`, so that a
// test can look for plaintext there once it has stopped: a hook the installed
// program does not have, so that relay is morvane-test-relay, the relay's own
// body with the tests' hooks.
async function startService(dir, { keepCarried = false } = {}) {
  const port = await freePort();
  const origin = `http://127.0.0.1:${port}`;
  const up = async () => { try { return (await fetch(origin + '/')).status === 200; } catch (e) { return false; } };
  const args = ['--listen', `127.0.0.1:${port}`, '--data', path.join(dir, 'relay'), '--codes-in-log'];
  const carried = keepCarried ? path.join(dir, 'carried.bin') : null;
  const relay = keepCarried
    ? await startRelay(built('morvane-test-relay'), ['--carried', carried, '--', ...args], {}, up)
    : await startRelay(built('morvane-relay'), args, {}, up);
  const code = async (from, email) => {
    const re = new RegExp('Sign-in code for ' + email.replace(/[.]/g, '\\.') + ': (\\d{6})');
    let found = null;
    await eventually(() => { found = relay.lines.slice(from).map((l) => re.exec(l)).find(Boolean); return !!found; }, 'a code in the relay\'s log');
    return found[1];
  };
  // The records it carried, once it has stopped: each is written behind its
  // length (4 bytes, big-endian).
  const carriedRecords = () => {
    const bytes = fs.readFileSync(carried);
    const records = [];
    for (let at = 0; at + 4 <= bytes.length;) {
      const size = bytes.readUInt32BE(at);
      records.push(bytes.subarray(at + 4, at + 4 + size));
      at += 4 + size;
    }
    return records;
  };
  return Object.assign(relay, { origin, carried, carriedRecords, code });
}

// Whether `text` (a string or bytes) is among what the records carry
// sealed, where plaintext sent unsealed would be: never in a record's clear
// header (the type byte and, in a transport record, the 8-byte counter,
// which in time holds any bytes: record 0x167's ends 00 00 01 67, an H.264
// start code and SPS byte), nor across two records. The C++ tests have the
// same rule (tests/relay/sealed_records.h).
function sealedPartsContain(records, text) {
  const transportHeader = 1 + 8;
  return records.some((r) => r.subarray(r[0] === 0x20 ? transportHeader : 1).indexOf(text) !== -1);
}

module.exports = { built, startService, sealedPartsContain };
