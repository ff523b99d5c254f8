'use strict';
// Glass-to-glass latency: from the moment the X server has a new colour on
// the screen to the first browser frame that shows it. The same private
// Xvfb, the same headless Chromium and the same detector serve both sides:
// the built-in page on the test host (H.264 video and JPEG pictures) and
// noVNC through websockify on x11vnc. Prints p50/p95 for each and the ratio.
// Speed is measured here only; no test asserts it.
//
// Options: --samples N (per mode, default 40), --size WxH (default 1920x1080),
// --only host|peer.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');

const support = path.resolve(__dirname, '../tests/web/support');
const { launch } = require(path.join(support, 'browser.js'));
const { freePort, startHarness } = require(path.join(support, 'harness.js'));
const { startXvfb } = require(path.join(support, 'xvfb.js'));

const COLOURS = ['e03030', '30c040', '3050e0', 'e0d020', 'c040c0', '20c0c0'];
const SEEN_TIMEOUT_MS = 3000;
const NOVNC_DIR = '/usr/share/novnc';

function option(name, fallback) {
  const i = process.argv.indexOf('--' + name);
  return i >= 0 && i + 1 < process.argv.length ? process.argv[i + 1] : fallback;
}

const SAMPLES = Math.max(5, parseInt(option('samples', '40'), 10) || 40);
const [WIDTH, HEIGHT] = option('size', '1920x1080').split('x').map((v) => parseInt(v, 10));
const ONLY = option('only', '');
const BUILD = process.env.MORVANE_BUILD_DIR || path.resolve(__dirname, '../build');

const pause = (ms) => new Promise((r) => setTimeout(r, ms));

function waitPort(port, timeout = 10000) {
  const end = Date.now() + timeout;
  return new Promise((resolve, reject) => {
    const attempt = () => {
      const sock = net.connect(port, '127.0.0.1');
      sock.on('connect', () => { sock.destroy(); resolve(); });
      sock.on('error', () => {
        sock.destroy();
        if (Date.now() > end) reject(new Error('nothing listens on port ' + port));
        else setTimeout(attempt, 100);
      });
    };
    attempt();
  });
}

// The X client that paints; each colour answers with the wall-clock time
// at which the X server had it.
async function startPainter(display) {
  const exe = path.join(BUILD, 'bench', 'morvane_glass_painter');
  const child = spawn(exe, [], { stdio: ['pipe', 'pipe', 'inherit'], env: { ...process.env, DISPLAY: display } });
  const lines = [];
  let wake = null;
  readline.createInterface({ input: child.stdout }).on('line', (l) => { lines.push(l); if (wake) wake(); });
  const next = async () => {
    while (lines.length === 0) await new Promise((r) => { wake = r; });
    wake = null;
    return lines.shift();
  };
  if (await next() !== 'ready') throw new Error('the painter did not start');
  return {
    async paint(rgb) { child.stdin.write(rgb + '\n'); return parseFloat(await next()); },
    stop() { child.kill('SIGTERM'); },
  };
}

// Runs in the page: on every animation frame, reads one pixel of the
// picture's canvas (off the middle, where the X pointer sits) and notes the
// first frame that shows the awaited colour.
function installDetector(selector) {
  const g = { expect: null, seen: {} };
  window.glassBench = g;
  const near = (a, b) => Math.abs(a[0] - b[0]) <= 60 && Math.abs(a[1] - b[1]) <= 60 && Math.abs(a[2] - b[2]) <= 60;
  const check = () => {
    const e = g.expect;
    if (e) {
      const canvas = document.querySelector(selector);
      if (canvas && canvas.width > 0 && canvas.height > 0) {
        const x = Math.round(canvas.width * 0.3);
        const y = Math.round(canvas.height * 0.6);
        const d = canvas.getContext('2d').getImageData(x, y, 1, 1).data;
        if (near([d[0], d[1], d[2]], e.rgb)) {
          g.seen[e.id] = performance.timeOrigin + performance.now();
          g.expect = null;
        }
      }
    }
    requestAnimationFrame(check);
  };
  requestAnimationFrame(check);
}

async function measure(page, painter, label, selector) {
  const latencies = [];
  let missed = 0;
  for (let i = 0; i < SAMPLES + 3; i += 1) {
    const hex = COLOURS[i % COLOURS.length];
    const rgb = [0, 2, 4].map((k) => parseInt(hex.slice(k, k + 2), 16));
    await page.evaluate(({ id, rgb }) => { window.glassBench.expect = { id, rgb }; }, { id: i, rgb });
    const paintedAt = await painter.paint(hex);
    const seenAt = await page.waitForFunction((id) => window.glassBench.seen[id], i,
      { timeout: SEEN_TIMEOUT_MS, polling: 20 }).then((h) => h.jsonValue()).catch(() => null);
    // The first few only warm the path up (encoder, decoder, caches).
    if (i >= 3) {
      if (seenAt === null) missed += 1;
      else latencies.push(seenAt - paintedAt);
    }
    if (seenAt === null) {
      if (process.env.GLASS_DEBUG) {
        console.log(await page.evaluate((sel) => {
          const c = document.querySelector(sel);
          const d = c.getContext('2d').getImageData(Math.round(c.width * 0.3), Math.round(c.height * 0.6), 1, 1).data;
          return [c.width, c.height, d[0], d[1], d[2], JSON.stringify(window.glassBench.expect)].join(' ');
        }, selector));
      }
      await page.evaluate(() => { window.glassBench.expect = null; });
    }
    // Changes at uneven times, so none lines up with a capture tick.
    await pause(250 + Math.random() * 250);
  }
  latencies.sort((a, b) => a - b);
  const at = (q) => (latencies.length
    ? latencies[Math.min(latencies.length - 1, Math.floor(q * latencies.length))] : NaN);
  const r = { label, n: latencies.length, missed, p50: at(0.5), p95: at(0.95) };
  console.log(`${label.padEnd(26)} p50 ${r.p50.toFixed(1).padStart(6)} ms   p95 ${r.p95.toFixed(1).padStart(6)} ms` +
    `   (${r.n} samples, ${missed} missed)`);
  return r;
}

async function measureHost(xvfb, painter) {
  const harness = await startHarness({ args: ['--x11'], env: { DISPLAY: xvfb.display } });
  const browser = await launch();
  const results = [];
  try {
    const page = browser.page;
    await page.goto(harness.url);
    await page.evaluate(() => localStorage.setItem('morvane.picture', 'still'));
    await page.reload();
    await page.waitForFunction(() => !document.getElementById('pair-screen').hidden);
    await page.fill('#pair-code', await harness.pairCode());
    await page.click('#pair-button');
    await page.waitForFunction(() => document.getElementById('conn-text').textContent === 'Connected');
    await page.waitForFunction(() => document.getElementById('session-screen').dataset.picture === 'pictures');
    await page.evaluate(installDetector, '#screen');
    results.push(await measure(page, painter, 'built-in page, JPEG', '#screen'));

    await page.evaluate(() => localStorage.setItem('morvane.picture', 'auto'));
    await page.reload();
    await page.waitForFunction(() => document.getElementById('session-screen').dataset.picture === 'video', null,
      { timeout: 20000 });
    await page.evaluate(installDetector, '#screen');
    results.push(await measure(page, painter, 'built-in page, H.264', '#screen'));
  } finally {
    await browser.close();
    await harness.close();
  }
  return results;
}

async function measurePeer(xvfb, painter) {
  const vncPort = await freePort();
  const wsPort = await freePort();
  const quiet = { stdio: ['ignore', 'ignore', 'ignore'] };
  const x11vnc = spawn('x11vnc', ['-display', xvfb.display, '-rfbport', String(vncPort), '-localhost', '-nopw',
    '-forever', '-shared', '-quiet'], quiet);
  let websockify = null;
  const browser = await launch();
  try {
    await waitPort(vncPort);
    websockify = spawn('websockify', ['--web', NOVNC_DIR, String(wsPort), '127.0.0.1:' + vncPort], quiet);
    await waitPort(wsPort);
    const page = browser.page;
    await page.goto(`http://127.0.0.1:${wsPort}/vnc.html?autoconnect=true&reconnect=false&resize=scale` +
      `&host=127.0.0.1&port=${wsPort}&path=websockify`);
    await page.waitForFunction(() => {
      const c = document.querySelector('#noVNC_container canvas') || document.querySelector('canvas');
      return !!c && c.width > 100;
    }, null, { timeout: 20000 });
    await page.evaluate(installDetector, 'canvas');
    return [await measure(page, painter, 'noVNC + websockify + x11vnc', 'canvas')];
  } finally {
    await browser.close();
    if (websockify) websockify.kill('SIGTERM');
    x11vnc.kill('SIGTERM');
  }
}

async function main() {
  if (!fs.existsSync(path.join(NOVNC_DIR, 'vnc.html'))) {
    throw new Error('noVNC is not installed; run bench/run_glass_bench, which installs the peer');
  }
  const xvfb = await startXvfb({ width: WIDTH, height: HEIGHT });
  const painter = await startPainter(xvfb.display);
  console.log(`glass-to-glass, ${WIDTH}x${HEIGHT} Xvfb, headless Chromium 1280x800, ${SAMPLES} changes each;` +
    ` ${os.cpus().length} cores, load ${os.loadavg().map((v) => v.toFixed(1)).join(' ')}`);
  const results = [];
  try {
    if (ONLY !== 'peer') results.push(...await measureHost(xvfb, painter));
    if (ONLY !== 'host') results.push(...await measurePeer(xvfb, painter));
  } finally {
    painter.stop();
    await xvfb.stop();
  }
  const peer = results.find((r) => r.label.startsWith('noVNC'));
  if (peer) {
    for (const r of results) {
      if (r === peer) continue;
      console.log(`${r.label.padEnd(26)} ÷ peer: p50 ${(r.p50 / peer.p50).toFixed(2)}×   p95 ${(r.p95 / peer.p95).toFixed(2)}×`);
    }
  }
  console.log(`load at the end ${os.loadavg().map((v) => v.toFixed(1)).join(' ')}`);
}

main().catch((e) => { console.error(e.stack || String(e)); process.exit(1); });
