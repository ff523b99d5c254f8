'use strict';
// The real host (morvane-host, with its tray and windows) for the benchmarks:
// a private home, settings of a host that has run before (no Welcome
// window) plus the benchmark's own, and whatever `prepare(env)` puts in its
// keychain folder first, as the menu would have left it. It listens on its
// fixed port, 8722, which must be free.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const PORT = 8722;
const pause = (ms) => new Promise((r) => setTimeout(r, ms));

// Resolves once it listens, with its pid, address, home and log.
async function startRealHost({ build, display, settings = {}, env: extra = {}, prepare = async () => {} }) {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'morvane-real-host-'));
  const env = Object.assign({}, process.env, {
    HOME: home, XDG_DATA_HOME: path.join(home, 'data'), XDG_CONFIG_HOME: path.join(home, 'config'),
    XDG_RUNTIME_DIR: path.join(home, 'run'), DISPLAY: display,
  }, extra);
  fs.mkdirSync(path.join(home, 'run'), { mode: 0o700 });
  const prepared = await prepare(env);
  fs.mkdirSync(path.join(home, 'config', 'Morvane'), { recursive: true });
  fs.writeFileSync(path.join(home, 'config', 'Morvane', 'settings.json'),
    JSON.stringify(Object.assign({ askedForPermissions: true, relayAccountsVersion: 2, welcomeOffered: true }, settings)));
  const child = spawn(path.join(build, 'morvane-host'), [], { env, stdio: ['ignore', 'ignore', 'inherit'] });
  const logFile = path.join(home, 'data', 'Morvane', 'host.log');
  const log = () => { try { return fs.readFileSync(logFile, 'utf8'); } catch (e) { return ''; } };
  const until = Date.now() + 20000;
  while (!log().includes(`listening on 127.0.0.1:${PORT}`)) {
    if (child.exitCode !== null || Date.now() > until) {
      child.kill('SIGKILL');
      throw new Error(`the real host did not listen on ${PORT} (taken?):\n${log()}`);
    }
    await pause(200);
  }
  return {
    pid: child.pid, url: `http://127.0.0.1:${PORT}/`, home, log, prepared,
    close: () => new Promise((resolve) => {
      if (child.exitCode !== null) { fs.rmSync(home, { recursive: true, force: true }); resolve(); return; }
      child.on('exit', () => { fs.rmSync(home, { recursive: true, force: true }); resolve(); });
      child.kill('SIGTERM');
    }),
  };
}

module.exports = { startRealHost, PORT };
