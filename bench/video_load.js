'use strict';
// H.264 sessions on a computer whose every core is busy: the test host
// capturing a private Xvfb painted with the benchmarks' moving scene, a
// Chromium page decoding it, and a busy loop per core. Each session asks for
// video, then is watched for a while; the table says whether and when it fell
// back to still pictures, what the page's log said and the load average.
// Measured here only; no test asserts it.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const support = path.resolve(__dirname, '../tests/web/support');
const { launch } = require(path.join(support, 'browser.js'));
const { startHarness } = require(path.join(support, 'harness.js'));
const { startXvfb } = require(path.join(support, 'xvfb.js'));
const { pairWithCode } = require(path.join(support, 'session.js'));

const pause = (ms) => new Promise((r) => setTimeout(r, ms));
const loadAverage = () => Number(fs.readFileSync('/proc/loadavg', 'utf8').split(' ')[0]);

function options(argv) {
  const o = { sessions: 10, watchSeconds: 12, loops: os.cpus().length, minLoad: 50, size: '1280x720', holdMs: 0, holdOnceMs: 0, together: 1, still: false };
  for (let i = 0; i < argv.length; i++) {
    const value = () => Number(argv[++i]);
    if (argv[i] === '--sessions') o.sessions = value();
    else if (argv[i] === '--watch-seconds') o.watchSeconds = value();
    else if (argv[i] === '--loops') o.loops = value();
    else if (argv[i] === '--min-load') o.minLoad = value();
    else if (argv[i] === '--size') o.size = argv[++i];
    else if (argv[i] === '--hold-ms') o.holdMs = value();
    else if (argv[i] === '--together') o.together = value();
    else if (argv[i] === '--still') o.still = true;
    else if (argv[i] === '--hold-once-ms') o.holdOnceMs = value();
    else throw new Error('unknown option ' + argv[i]);
  }
  return o;
}

// One busy shell loop per core, each ended by its own pid.
function busyLoops(count) {
  const loops = [];
  for (let i = 0; i < count; i++) loops.push(spawn('sh', ['-c', 'while :; do :; done'], { stdio: 'ignore' }));
  return { stop() { for (const l of loops) l.kill('SIGKILL'); } };
}

async function oneSession(build, o) {
  const [width, height] = o.size.split('x').map(Number);
  const xvfb = await startXvfb({ width, height, busy: true });
  // --still leaves the busy screen as it is: after its keyframe the host
  // only refines it now and then, so a frame fed may be the last for a while.
  const painter = o.still ? null
    : spawn(path.join(build, 'bench', 'morvane_scene_painter'), [xvfb.display], { stdio: 'ignore' });
  let harness = null;
  // The page as large as the screen, so the video is at its full size.
  const browser = await launch({ viewport: { width, height } });
  const logs = [];
  browser.page.on('console', (m) => { if (m.type() === 'warning') logs.push(m.text()); });
  try {
    harness = await startHarness({ args: ['--x11'], env: { DISPLAY: xvfb.display } });
    const page = browser.page;
    await page.goto(harness.url);
    // Still pictures first; video is asked for once the session runs, as a
    // person does from the More sheet.
    await page.evaluate(() => localStorage.setItem('morvane.picture', 'still'));
    await page.reload();
    await pairWithCode(page, harness);
    await pause(1000);
    await page.locator('[data-toggle="more"]:visible').first().click();
    // The page notes each change of picture mode itself, on its own clock,
    // so the page being held up below hides none.
    await page.evaluate(() => {
      const screen = document.getElementById('session-screen');
      window.pictureModes = [];
      new MutationObserver(() => window.pictureModes.push([performance.now(), screen.dataset.picture]))
        .observe(screen, { attributes: true, attributeFilter: ['data-picture'] });
    });
    const load = loadAverage();
    const asked = await page.evaluate(() => performance.now());
    await page.click('input[name="picture-pref"][value="auto"]');
    // With --hold-once-ms the page is held up once as it asks: the
    // announcement and the first frames wait, and the decoder is built with
    // many of them kept.
    if (o.holdOnceMs > 0) {
      await page.evaluate((ms) => { const until = performance.now() + ms; while (performance.now() < until); }, o.holdOnceMs);
    }
    const end = Date.now() + o.watchSeconds * 1000;
    while (Date.now() < end) {
      // With --hold-ms the page's thread is held up again and again from
      // the ask on, as a starved renderer is, while the decoder's own thread
      // goes on.
      if (o.holdMs > 0) {
        await page.evaluate((ms) => { const until = performance.now() + ms; while (performance.now() < until); }, o.holdMs);
      }
      await pause(100 + Math.random() * 200);
    }
    const modes = await page.evaluate(() => window.pictureModes);
    const on = modes.find(([, m]) => m === 'video');
    const videoAt = on ? Math.round(on[0] - asked) : null;
    const off = on ? modes.find(([t, m]) => t > on[0] && m !== 'video') : null;
    const fellAt = off ? Math.round(off[0] - asked) : null;
    const note = await page.textContent('#picture-note');
    const mode = await page.evaluate(() => document.getElementById('session-screen').dataset.picture);
    return { load, videoAt, fellAt, mode, note, logs };
  } finally {
    await browser.close();
    if (harness) await harness.close();
    if (painter) painter.kill('SIGKILL');
    await xvfb.stop();
  }
}

async function main() {
  const o = options(process.argv.slice(2));
  const build = process.env.MORVANE_BUILD_DIR || path.resolve(__dirname, '../build');
  const loops = busyLoops(o.loops);
  const rows = [];
  try {
    const warm = Date.now() + 120000;
    while (loadAverage() < o.minLoad && Date.now() < warm) await pause(1000);
    // --together N runs N sessions at once, as the browser tests' files run.
    const report = (r, i) => {
      console.log(`session ${i + 1}: load ${r.load.toFixed(1)}, video after ${r.videoAt ?? '-'} ms, ` +
        `${r.fellAt === null ? 'stayed on ' + r.mode : 'fell back after ' + r.fellAt + ' ms'}: "${r.note}"` +
        (r.logs.length ? ' log: ' + r.logs.join(' | ') : ''));
    };
    for (let i = 0; i < o.sessions; i += o.together) {
      const batch = [];
      for (let j = i; j < Math.min(o.sessions, i + o.together); j++) {
        batch.push(oneSession(build, o).then((r) => { rows.push(r); report(r, j); },
          (e) => console.log(`session ${j + 1}: not run: ${e.message.split('\n')[0]}`)));
      }
      await Promise.all(batch);
    }
  } finally {
    loops.stop();
  }
  const fell = rows.filter((r) => r.fellAt !== null || r.videoAt === null).length;
  const back = rows.filter((r) => r.fellAt !== null && r.mode === 'video').length;
  console.log(`${rows.length} sessions, ${fell} fell back to still pictures or never reached video, ` +
    `${back} of them back on video at the end`);
}

main().catch((e) => { console.error(e); process.exit(1); });
