'use strict';
// What a browser downloads to open the relay's page, on a first visit (a
// fresh profile) and on a repeat visit (the same profile, the page opened
// again), beside noVNC's page served by websockify as Debian installs both.
// Headless Chromium's own network events count the bytes on the wire,
// headers included; a file the cache gives without asking costs nothing.
// Measured here only; no test asserts it.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const support = path.resolve(__dirname, '../tests/web/support');
const { launch } = require(path.join(support, 'browser.js'));
const { freePort } = require(path.join(support, 'harness.js'));
const { startService } = require(path.join(support, 'relays.js'));
const { networkLog } = require(path.join(support, 'network_log.js'));
const { eventually } = require(path.join(support, 'session.js'));

const NOVNC_DIR = '/usr/share/novnc';
const PHONE = { viewport: { width: 390, height: 844 }, deviceScaleFactor: 2 };

function tally(list) {
  return {
    requests: list.filter((r) => r.status !== 0).length,
    whole: list.filter((r) => r.status === 200).length,
    notModified: list.filter((r) => r.status === 304).length,
    wire: list.reduce((n, r) => n + r.wire, 0),
    files: list.reduce((n, r) => n + r.body, 0),
  };
}

// Opens `url` twice in one fresh profile; `ready` waits for the page.
async function visits(name, origin, url, ready) {
  const browser = await launch(PHONE);
  try {
    const network = await networkLog(browser.page, origin);
    const rows = [];
    for (const visit of ['first visit', 'repeat visit']) {
      await browser.page.goto(url);
      await ready(browser.page);
      await browser.page.waitForLoadState('networkidle');
      rows.push({ page: name, visit, ...tally(network.take()) });
    }
    return rows;
  } finally {
    await browser.close();
  }
}

async function relayPage() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'morvane-page-bench-'));
  const relay = await startService(dir);
  try {
    return await visits('relay page (morvane-relay)', relay.origin, relay.origin + '/',
      (page) => page.waitForFunction(() => !document.getElementById('relay-signin').hidden));
  } finally {
    await relay.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

async function noVNCPage() {
  if (!fs.existsSync(path.join(NOVNC_DIR, 'vnc.html'))) throw new Error('noVNC is not installed; run bench/run_page_bench');
  const port = await freePort();
  // The page only: nothing needs to answer behind websockify.
  const websockify = spawn('websockify', ['--web', NOVNC_DIR, String(port), '127.0.0.1:9'], { stdio: 'ignore' });
  try {
    const origin = `http://127.0.0.1:${port}`;
    await eventually(async () => { try { return (await fetch(origin + '/vnc.html')).ok; } catch (e) { return false; } },
      'websockify', 10000);
    return await visits('noVNC (websockify --web)', origin, origin + '/vnc.html',
      (page) => page.waitForFunction(() => !!document.getElementById('noVNC_connect_button')));
  } finally {
    websockify.kill('SIGTERM');
  }
}

async function main() {
  const rows = [...await relayPage(), ...await noVNCPage()];
  console.log('| page | visit | requests | 200 | 304 | bytes on the wire | bytes of the files |');
  console.log('|---|---|---|---|---|---|---|');
  for (const r of rows) {
    console.log(`| ${r.page} | ${r.visit} | ${r.requests} | ${r.whole} | ${r.notModified} | ${r.wire} | ${r.files} |`);
  }
}

main().catch((e) => { console.error(e); process.exit(1); });
