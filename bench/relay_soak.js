'use strict';
// The host's real tray session through morvane-relay for minutes: the real
// host (morvane-host) on a private 1920x1080 Xvfb with a tray (Debian's
// trayer) and the benchmarks' moving scene, linked to morvane-relay on
// loopback, and a phone-sized page in headless Chromium signed in at the
// relay and watching the desktop, first as H.264, then as still pictures
// (JPEG), at high quality. The host's relay is set up beforehand as its menu
// would leave it (identity and the page's device in its keychain folder,
// the computer registered on the account with the code from the relay's
// log); the page keeps its device keys as an enrolment would. Each second
// it reads, from the page, what was decoded and drawn (tests/web/support/
// picture_watch.js), and the relay's resident memory; it prints frames
// drawn per second, the sizes of pictures and keyframes, link drops (the
// relay's and the host's logs, the page's connection), and the relay's
// memory. It ends with status 1 when the link or the session dropped.
//
// Options: --minutes M (each way, default 3), --only h264|jpeg, --size WxH
// (default 1920x1080).
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');

const support = path.resolve(__dirname, '../tests/web/support');
const { launch } = require(path.join(support, 'browser.js'));
const { startXvfb } = require(path.join(support, 'xvfb.js'));
const { until } = require(path.join(support, 'session.js'));
const { watchPictures, picturesSeen } = require(path.join(support, 'picture_watch.js'));
const { startService } = require(path.join(support, 'relays.js'));
const { startRealHost } = require('./real_host.js');

function option(name, fallback) {
  const i = process.argv.indexOf('--' + name);
  return i >= 0 && i + 1 < process.argv.length ? process.argv[i + 1] : fallback;
}

const MINUTES = Math.max(0.25, parseFloat(option('minutes', '3')) || 3);
const MODES = option('only', '') ? [option('only', '')] : ['h264', 'jpeg'];
const [WIDTH, HEIGHT] = option('size', '1920x1080').split('x').map((v) => parseInt(v, 10));
const BUILD = process.env.MORVANE_BUILD_DIR || path.resolve(__dirname, '../build');
const EMAIL = 'owner@example.com';
// A phone held sideways: it asks for video as large as a phone may have it.
const PHONE = { viewport: { width: 844, height: 390 }, deviceScaleFactor: 3, isMobile: true, hasTouch: true };
const PREFERENCE = { h264: 'video', jpeg: 'still' };
const SHOWN_AS = { h264: 'video', jpeg: 'pictures' };

const pause = (ms) => new Promise((r) => setTimeout(r, ms));

function rssMB(pid) {
  try {
    return parseInt(/VmRSS:\s+(\d+) kB/.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'))[1], 10) / 1024;
  } catch (e) {
    return NaN;
  }
}

// A child whose output lines can be waited for.
function talk(child) {
  const lines = [];
  readline.createInterface({ input: child.stdout }).on('line', (l) => lines.push(l));
  let errors = '';
  child.stderr.on('data', (d) => { errors += d; });
  return async (re, what) => {
    const end = Date.now() + 20000;
    for (;;) {
      const found = lines.map((l) => re.exec(l)).find(Boolean);
      if (found) return found;
      if (child.exitCode !== null || Date.now() > end) throw new Error(`no ${what}: ${errors}`);
      await pause(25);
    }
  };
}

// In the page: a device key pair for the computer, kept as an enrolment
// keeps it (device_keys.js); gives the public key as base64url.
async function keepDeviceKeys({ room, macKey }) {
  const bytes = (b64u) => {
    const text = b64u.replace(/-/g, '+').replace(/_/g, '/');
    return Uint8Array.from(atob(text + '='.repeat((4 - text.length % 4) % 4)), (c) => c.charCodeAt(0));
  };
  const pair = await crypto.subtle.generateKey({ name: 'ECDH', namedCurve: 'P-256' }, false, ['deriveBits']);
  const publicBytes = new Uint8Array(await crypto.subtle.exportKey('raw', pair.publicKey));
  const db = await new Promise((resolve, reject) => {
    const r = indexedDB.open('morvane-relay', 1);
    r.onupgradeneeded = () => r.result.createObjectStore('computers', { keyPath: 'room' });
    r.onsuccess = () => resolve(r.result);
    r.onerror = () => reject(r.error);
  });
  await new Promise((resolve, reject) => {
    const tx = db.transaction('computers', 'readwrite');
    tx.objectStore('computers').put({ room, deviceName: 'Soak Phone', privateKey: pair.privateKey, publicBytes, macKey: bytes(macKey) });
    tx.oncomplete = resolve;
    tx.onerror = () => reject(tx.error);
  });
  db.close();
  return btoa(String.fromCharCode(...publicBytes)).replace(/\+/g, '-').replace(/\//g, '_').replace(/=+$/, '');
}

async function signIn(page, relay) {
  await page.goto(relay.origin + '/');
  await until(page, () => !document.getElementById('relay-signin').hidden);
  await page.fill('#relay-email', EMAIL);
  const from = relay.mark();
  await page.click('#relay-signin-button');
  await until(page, () => !document.getElementById('relay-code-field').hidden);
  await page.fill('#relay-code', await relay.code(from, EMAIL));
  await page.click('#relay-signin-button');
  await until(page, () => !document.getElementById('relay-computers').hidden);
}

// The computer's relay as the menu leaves it, and the page's device added.
async function setUpRelay(env, relay, page) {
  const helper = spawn(path.join(BUILD, 'bench', 'morvane_relay_set_up'), [relay.origin, EMAIL, 'Soak Machine'],
    { env, stdio: ['pipe', 'pipe', 'pipe'] });
  const said = talk(helper);
  const from = relay.mark();
  const room = (await said(/^room ([0-9a-f]{32})$/, 'room'))[1];
  const macKey = (await said(/^mac-key (\S+)$/, 'computer key'))[1];
  await said(/^code-sent$/, 'code request');
  helper.stdin.write(await relay.code(from, EMAIL) + '\n');
  await said(/^registered$/, 'registration');
  helper.stdin.write(await page.evaluate(keepDeviceKeys, { room, macKey }) + ' Soak Phone\n');
  await said(/^enrolled$/, 'device added');
  return room;
}

async function choose(page, mode) {
  await page.evaluate(({ preference }) => {
    const q = document.getElementById('quality');
    q.value = 'high';
    q.dispatchEvent(new Event('change', { bubbles: true }));
    const radio = document.querySelector(`input[name="picture-pref"][value="${preference}"]`);
    radio.checked = true;
    radio.dispatchEvent(new Event('change', { bubbles: true }));
  }, { preference: PREFERENCE[mode] });
  await until(page, (shownAs) => document.getElementById('session-screen').dataset.picture === shownAs, SHOWN_AS[mode], 20000);
}

const count = (text, re) => (text.match(re) || []).length;
const tallyDelta = (a, b) => ({ count: b.count - a.count, bytes: b.bytes - a.bytes, max: b.max, over64k: b.over64k - a.over64k });
const kb = (n) => (n / 1024).toFixed(1);

async function soak(mode, page, relay, host, room) {
  await choose(page, mode);
  await pause(5000);  // the stream's start: encoder, first keyframe or picture
  const seconds = Math.round(MINUTES * 60);
  const first = await picturesSeen(page);
  const relayDownBefore = count(relay.lines.join('\n'), new RegExp('link down for room ' + room, 'g'));
  const hostDownBefore = count(host.log(), /link: down/g);
  const drawn = [], memory = [];
  let notConnected = 0, fpsShown = [];
  let last = first;
  for (let s = 0; s < seconds; s += 1) {
    await pause(1000);
    last = await picturesSeen(page);
    drawn.push(last.drawn);
    memory.push(rssMB(relay.pid));
    const state = await page.evaluate(() => ({
      conn: document.getElementById('conn-text').textContent, fps: document.getElementById('fps').textContent,
      picture: document.getElementById('session-screen').dataset.picture,
    }));
    if (state.conn !== 'Connected' || state.picture !== SHOWN_AS[mode]) notConnected += 1;
    fpsShown.push(parseInt(state.fps, 10) || 0);
  }
  // The fewest pictures drawn in any ten seconds in a row.
  let slowest = Infinity;
  const counts = [first.drawn, ...drawn];
  for (let i = 10; i < counts.length; i += 1) slowest = Math.min(slowest, (counts[i] - counts[i - 10]) / 10);
  const jpeg = tallyDelta(first.jpeg, last.jpeg), key = tallyDelta(first.key, last.key), delta = tallyDelta(first.delta, last.delta);
  fpsShown = fpsShown.sort((a, b) => a - b);
  return {
    mode, seconds, size: last.lastSize,
    drawnPerSecond: (last.drawn - first.drawn) / seconds, slowest, pageFps: fpsShown[Math.floor(fpsShown.length / 2)],
    jpeg, key, delta,
    relayDrops: count(relay.lines.join('\n'), new RegExp('link down for room ' + room, 'g')) - relayDownBefore,
    hostDrops: count(host.log(), /link: down/g) - hostDownBefore, notConnected,
    memory: { first: memory[0], max: Math.max(...memory), last: memory[memory.length - 1] },
  };
}

function report(r) {
  console.log(`${r.mode === 'h264' ? 'H.264' : 'JPEG'}, ${r.seconds} s, pictures of ${r.size}:`);
  console.log(`  drawn ${r.drawnPerSecond.toFixed(1)} a second (page's reading, median ${r.pageFps} fps;` +
    ` fewest in 10 s: ${r.slowest.toFixed(1)} a second)`);
  if (r.jpeg.count) {
    console.log(`  JPEG pictures: ${r.jpeg.count}, average ${kb(r.jpeg.bytes / r.jpeg.count)} KB, largest ${kb(r.jpeg.max)} KB,` +
      ` ${r.jpeg.over64k} over 64 KB`);
  }
  if (r.key.count || r.delta.count) {
    console.log(`  H.264 keyframes: ${r.key.count}, average ${kb(r.key.bytes / Math.max(1, r.key.count))} KB, largest` +
      ` ${kb(r.key.max)} KB, ${r.key.over64k} over 64 KB; other frames: ${r.delta.count}, average` +
      ` ${kb(r.delta.bytes / Math.max(1, r.delta.count))} KB, largest ${kb(r.delta.max)} KB, ${r.delta.over64k} over 64 KB`);
  }
  console.log(`  link drops: relay ${r.relayDrops}, host ${r.hostDrops}; seconds the page was not showing the session:` +
    ` ${r.notConnected}`);
  console.log(`  relay resident memory: ${r.memory.first.toFixed(1)} MB at the start, ${r.memory.max.toFixed(1)} MB at most,` +
    ` ${r.memory.last.toFixed(1)} MB at the end`);
}

async function main() {
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'morvane-relay-soak-'));
  const xvfb = await startXvfb({ width: WIDTH, height: HEIGHT });
  const env = Object.assign({}, process.env, { DISPLAY: xvfb.display });
  const tray = spawn('trayer', ['--edge', 'top', '--align', 'right', '--widthtype', 'request', '--height', '24',
    '--SetDockType', 'true', '--SetPartialStrut', 'true'], { env, stdio: 'ignore' });
  const painter = spawn(path.join(BUILD, 'bench', 'morvane_scene_painter'), [xvfb.display], { stdio: ['ignore', 'ignore', 'inherit'] });
  let relay = null, host = null, browser = null;
  let failed = false;
  try {
    relay = await startService(work);
    browser = await launch(PHONE);
    const page = browser.page;
    await watchPictures(page);
    await signIn(page, relay);
    let room = null;
    host = await startRealHost({
      build: BUILD, display: xvfb.display,
      // The address the owner typed at the set-up; MORVANE_RELAY_ORIGIN sends
      // the link to the relay on loopback whatever the address.
      settings: { relayEnabled: true, relayAccountEmail: EMAIL, relayHost: 'relay.example.com' },
      env: { MORVANE_RELAY_ORIGIN: relay.origin },
      prepare: async (hostEnv) => { room = await setUpRelay(hostEnv, relay, page); },
    });
    const up = Date.now() + 30000;
    while (!relay.lines.some((l) => l.includes('link up for room ' + room))) {
      if (Date.now() > up) throw new Error('the host\'s link did not come up:\n' + host.log());
      await pause(100);
    }
    await page.reload();
    await until(page, () => document.querySelector('.relay-computer[data-online="true"]') !== null, null, 20000);
    await page.click('.relay-computer');
    await until(page, () => document.getElementById('conn-text').textContent === 'Connected', null, 20000);
    console.log(`the real host through morvane-relay, ${WIDTH}x${HEIGHT} Xvfb with the moving scene and a tray,` +
      ` a ${PHONE.viewport.width}x${PHONE.viewport.height} page at ${PHONE.deviceScaleFactor}x, high quality,` +
      ` ${MINUTES} min each way; ${os.cpus().length} cores, load ${os.loadavg().map((v) => v.toFixed(1)).join(' ')}`);
    for (const mode of MODES) {
      const r = await soak(mode, page, relay, host, room);
      report(r);
      failed = failed || r.relayDrops > 0 || r.hostDrops > 0 || r.notConnected > 0;
    }
    const ups = count(host.log(), /link: up/g);
    console.log(`the host's link came up ${ups} time${ups === 1 ? '' : 's'} in all;` +
      ` load at the end ${os.loadavg().map((v) => v.toFixed(1)).join(' ')}`);
    failed = failed || ups !== 1;
    browser.assertClean(require('node:assert/strict'));
  } catch (e) {
    if (relay) console.error('the relay\'s last lines:\n' + relay.lines.slice(-6).join('\n'));
    throw e;
  } finally {
    if (browser) await browser.close();
    if (host) await host.close();
    if (relay) await relay.stop();
    painter.kill('SIGTERM');
    tray.kill('SIGTERM');
    await xvfb.stop();
    fs.rmSync(work, { recursive: true, force: true });
  }
  if (failed) process.exitCode = 1;
}

main().catch((e) => { console.error(e.stack || String(e)); process.exit(1); });
