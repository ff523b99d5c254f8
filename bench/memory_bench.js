'use strict';
// Memory of the host: its resident set idle (running, nobody connected),
// while the built-in page in headless Chromium watches 1080p H.264 of a
// moving screen, and 10 s after the page has gone. The screen is a private
// Xvfb painted with the capture benchmark's moving scene. The test host is
// paired through its standard input; the real host (morvane-host, with its
// tray and windows) runs with a private home whose keychain folder already
// holds the page's device, as its menu would have left it. Memory is
// measured here only; no test asserts it.
//
// Options: --seconds N (streaming time, default 15), --size WxH (default
// 1920x1080), --runs N (default 1), --host test|real|both (default both),
// --smaps DIR.
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const support = path.resolve(__dirname, '../tests/web/support');
const { launch } = require(path.join(support, 'browser.js'));
const { startHarness } = require(path.join(support, 'harness.js'));
const { startXvfb } = require(path.join(support, 'xvfb.js'));
const { startRealHost } = require('./real_host.js');

function option(name, fallback) {
  const i = process.argv.indexOf('--' + name);
  return i >= 0 && i + 1 < process.argv.length ? process.argv[i + 1] : fallback;
}

const SECONDS = Math.max(5, parseInt(option('seconds', '15'), 10) || 15);
const RUNS = Math.max(1, parseInt(option('runs', '1'), 10) || 1);
const [WIDTH, HEIGHT] = option('size', '1920x1080').split('x').map((v) => parseInt(v, 10));
const BUILD = process.env.MORVANE_BUILD_DIR || path.resolve(__dirname, '../build');
const HOSTS = option('host', 'both') === 'both' ? ['test', 'real'] : [option('host', 'both')];
const AFTER_MS = 10000;
// --smaps DIR keeps each host's /proc/PID/smaps idle and while streaming, to
// see where the memory goes.
const SMAPS = option('smaps', '');
if (SMAPS) fs.mkdirSync(SMAPS, { recursive: true });

const pause = (ms) => new Promise((r) => setTimeout(r, ms));

// Resident set of a process in MB (VmRSS), or NaN once it is gone.
function rssMB(pid) {
  try {
    const m = /VmRSS:\s+(\d+) kB/.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'));
    return m ? parseInt(m[1], 10) / 1024 : NaN;
  } catch (e) {
    return NaN;
  }
}

function threadsOf(pid) {
  try {
    return parseInt(/Threads:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'))[1], 10);
  } catch (e) {
    return NaN;
  }
}

// The real host with one paired device in its keychain folder; the page is
// given that device's token.
async function startPairedRealHost(display) {
  const host = await startRealHost({
    build: BUILD, display,
    prepare: async (env) => {
      const paired = spawnSync(path.join(BUILD, 'bench', 'morvane_pair_device'), [], { env, encoding: 'utf8' });
      if (paired.status !== 0) throw new Error('pairing failed: ' + paired.stderr);
      return paired.stdout.trim();
    },
  });
  return Object.assign(host, { token: host.prepared });
}

async function connectForVideo(host) {
  // The page asks for video no larger than its stage: a 1080p stage gets the
  // screen at full size (the stage is the window less the bars).
  const browser = await launch({ viewport: { width: WIDTH + 160, height: HEIGHT + 160 } });
  const page = browser.page;
  await page.goto(host.url);
  await page.evaluate((token) => {
    localStorage.setItem('morvane.picture', 'video');
    if (token) localStorage.setItem('morvane.token', token);
  }, host.token || null);
  await page.reload();
  if (!host.token) {
    await page.waitForFunction(() => !document.getElementById('pair-screen').hidden);
    await page.fill('#pair-code', await host.pairCode());
    await page.click('#pair-button');
  }
  await page.waitForFunction(() => document.getElementById('conn-text').textContent === 'Connected');
  // The quality menu sits in a closed sheet: choose as the menu would.
  await page.evaluate(() => {
    const q = document.getElementById('quality');
    q.value = 'high';
    q.dispatchEvent(new Event('change'));
  });
  await page.waitForFunction(() => document.getElementById('session-screen').dataset.picture === 'video', null,
    { timeout: 20000 });
  return browser;
}

async function once(display, kind) {
  const harness = kind === 'real' ? await startPairedRealHost(display)
    : await startHarness({ args: ['--x11'], env: { DISPLAY: display } });
  try {
    await pause(3000);
    const idle = rssMB(harness.pid);
    if (SMAPS) fs.writeFileSync(path.join(SMAPS, `${kind}-idle.smaps`), fs.readFileSync(`/proc/${harness.pid}/smaps`));
    const idleThreads = threadsOf(harness.pid);
    const browser = await connectForVideo(harness);
    const samples = [];
    let threads = 0;
    const end = Date.now() + SECONDS * 1000;
    await pause(2000);  // the stream's start: encoder, pools
    while (Date.now() < end) {
      samples.push(rssMB(harness.pid));
      if (SMAPS && samples.length === 20) {
        fs.writeFileSync(path.join(SMAPS, `${kind}-streaming.smaps`), fs.readFileSync(`/proc/${harness.pid}/smaps`));
      }
      threads = Math.max(threads, threadsOf(harness.pid));
      await pause(250);
    }
    const size = await browser.page.evaluate(() => {
      const c = document.querySelector('#screen');
      return c ? `${c.width}x${c.height}` : '?';
    });
    await browser.close();
    await pause(AFTER_MS);
    const after = rssMB(harness.pid);
    const afterThreads = threadsOf(harness.pid);
    samples.sort((a, b) => a - b);
    return {
      idle, idleThreads, median: samples[Math.floor(samples.length / 2)], peak: samples[samples.length - 1],
      threads, after, afterThreads, size,
    };
  } finally {
    await harness.close();
  }
}

async function main() {
  const xvfb = await startXvfb({ width: WIDTH, height: HEIGHT });
  const painter = spawn(path.join(BUILD, 'bench', 'morvane_scene_painter'), [xvfb.display],
    { stdio: ['ignore', 'ignore', 'inherit'] });
  console.log(`host memory, ${WIDTH}x${HEIGHT} Xvfb with the moving scene, H.264 at high quality for ${SECONDS} s;` +
    ` ${os.cpus().length} cores, load ${os.loadavg().map((v) => v.toFixed(1)).join(' ')}`);
  console.log('host run  idle MB  streaming MB (median / peak)  10 s after MB  after - idle  threads idle/streaming/after' +
    '  video');
  try {
    for (let run = 1; run <= RUNS; run += 1) for (const kind of HOSTS) {
      const r = await once(xvfb.display, kind);
      console.log(`${kind.padEnd(4)} ${String(run).padStart(3)}  ${r.idle.toFixed(1).padStart(7)}  ` +
        `${r.median.toFixed(1).padStart(13)} / ${r.peak.toFixed(1).padStart(6)}      ` +
        `${r.after.toFixed(1).padStart(12)}  ${(r.after - r.idle).toFixed(1).padStart(11)}  ` +
        `${String(r.idleThreads).padStart(10)}/${r.threads}/${r.afterThreads}  ${r.size}`);
    }
  } finally {
    painter.kill('SIGTERM');
    await xvfb.stop();
  }
  console.log(`load at the end ${os.loadavg().map((v) => v.toFixed(1)).join(' ')}`);
}

main().catch((e) => { console.error(e.stack || String(e)); process.exit(1); });
