'use strict';
// Runs the test host (morvane-harness) as a child process on a free loopback
// port with private data folders, and talks to it through its standard
// input and output.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');

function findHarness() {
  const candidates = [];
  if (process.env.MORVANE_HARNESS) candidates.push(process.env.MORVANE_HARNESS);
  if (process.env.MORVANE_BUILD_DIR) candidates.push(path.join(process.env.MORVANE_BUILD_DIR, 'morvane-harness'));
  candidates.push(path.resolve(__dirname, '../../../build/morvane-harness'));
  return candidates.find((p) => { try { fs.accessSync(p, fs.constants.X_OK); return true; } catch (e) { return false; } }) || null;
}

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.on('error', reject);
    s.listen(0, '127.0.0.1', () => { const { port } = s.address(); s.close(() => resolve(port)); });
  });
}

// `home`: a folder of the caller's, kept at the end, so that a host started
// again on it is the same computer (its relay identity and paired devices).
async function startHarness({ args = [], env = {}, home: kept = null } = {}) {
  const exe = findHarness();
  if (!exe) throw new Error('morvane-harness not found; build the target morvane-harness');
  const home = kept || fs.mkdtempSync(path.join(os.tmpdir(), 'morvane-harness-'));
  const port = await freePort();
  const child = spawn(exe, ['--port', String(port), ...args], {
    stdio: ['pipe', 'pipe', 'pipe'],
    env: Object.assign({}, process.env, {
      HOME: home, XDG_DATA_HOME: path.join(home, 'data'), XDG_CONFIG_HOME: path.join(home, 'config'),
    }, env),
  });
  const lines = [];
  const waiters = [];
  let stderr = '';
  child.stderr.on('data', (d) => { stderr += d; });
  readline.createInterface({ input: child.stdout }).on('line', (line) => {
    lines.push(line);
    for (const w of waiters.slice()) {
      if (w.test(line)) { waiters.splice(waiters.indexOf(w), 1); w.resolve(line); }
    }
  });
  const exited = new Promise((resolve) => child.on('exit', (code) => {
    // Nothing more will be said: whoever still waits hears why at once.
    for (const w of waiters.splice(0)) w.fail(new Error(`harness exited with ${code}; stderr: ${stderr}`));
    resolve(code);
  }));
  // Resolves with the first line from index `from` on that matches.
  const waitLine = (re, timeout = 10000, from = 0) => {
    const found = lines.slice(from).find((l) => re.test(l));
    if (found) return Promise.resolve(found);
    return new Promise((resolve, reject) => {
      const w = {
        test: (l) => re.test(l),
        resolve: (l) => { clearTimeout(t); resolve(l); },
        fail: (e) => { clearTimeout(t); reject(e); },
      };
      const t = setTimeout(() => {
        waiters.splice(waiters.indexOf(w), 1);
        reject(new Error(`harness said no ${re} within ${timeout} ms; stderr: ${stderr}`));
      }, timeout);
      waiters.push(w);
    });
  };
  const h = {
    port, url: `http://127.0.0.1:${port}/`, lines, pid: child.pid,
    command(text) { child.stdin.write(text + '\n'); },
    waitLine,
    async pairCode() {
      const from = lines.length;
      h.command('pair');
      const line = await waitLine(/^code /, 5000, from);
      return line.slice(5).trim();
    },
    async quit() {
      if (child.exitCode !== null) return child.exitCode;
      h.command('quit');
      const timer = setTimeout(() => child.kill('SIGKILL'), 5000);
      const code = await exited;
      clearTimeout(timer);
      return code;
    },
    async close() {
      await h.quit().catch(() => {});
      if (!kept) fs.rmSync(home, { recursive: true, force: true });
    },
    exited,
  };
  await waitLine(/^listening 127\.0\.0\.1:\d+$/, 10000);
  return h;
}

module.exports = { startHarness, findHarness, freePort };
