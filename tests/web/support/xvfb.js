'use strict';
// A private Xvfb for a test, with a two-colour pattern on its root window:
// the left half red, the right half blue. A busy screen has the top and the
// bottom three tenths in red and blue noise instead, so that its pictures
// and keyframes are several times 64 KB, as a real desktop's are; the middle
// rows keep the halves. The server must not reset when its last client
// leaves, or the pattern set by xsetroot is gone at once.
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

function patternXbm(width, height, busy) {
  const rowBytes = Math.ceil(width / 8);
  const bytes = [];
  let state = 0x9e3779b9;
  const noise = () => {
    state ^= state << 13; state ^= state >>> 17; state ^= state << 5;
    return '0x' + ((state >>> 0) & 0xff).toString(16);
  };
  for (let y = 0; y < height; y++) {
    const band = busy && (y < height * 0.3 || y >= height * 0.7);
    for (let x = 0; x < rowBytes; x++) bytes.push(band ? noise() : x < rowBytes / 2 ? '0xff' : '0x00');
  }
  return `#define pattern_width ${width}\n#define pattern_height ${height}\n` +
    `static unsigned char pattern_bits[] = {\n${bytes.join(',')}\n};\n`;
}

async function startXvfb({ width = 1280, height = 720, busy = false } = {}) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'morvane-xvfb-'));
  // The key tests count every press: with the server's usual 660 ms
  // autorepeat delay a host starved of CPU between a press and its release
  // would see the key repeat, so the delay is put out of reach.
  const child = spawn('Xvfb', ['-displayfd', '3', '-screen', '0', `${width}x${height}x24`, '-nolisten', 'tcp', '-noreset',
    '-ardelay', '30000'],
    { stdio: ['ignore', 'ignore', 'pipe', 'pipe'] });
  const display = await new Promise((resolve, reject) => {
    let text = '';
    const timer = setTimeout(() => reject(new Error('Xvfb did not start')), 10000);
    child.stdio[3].on('data', (d) => {
      text += d;
      if (text.includes('\n')) { clearTimeout(timer); resolve(':' + text.trim()); }
    });
    child.on('exit', () => { clearTimeout(timer); reject(new Error('Xvfb exited')); });
  });
  const xbm = path.join(dir, 'pattern.xbm');
  fs.writeFileSync(xbm, patternXbm(width, height, busy));
  const r = spawnSync('xsetroot', ['-fg', '#ff0000', '-bg', '#0000ff', '-bitmap', xbm], { env: { ...process.env, DISPLAY: display } });
  if (r.status !== 0) throw new Error('xsetroot failed: ' + String(r.stderr));
  return {
    display, width, height,
    async stop() {
      if (child.exitCode === null) {
        const done = new Promise((resolve) => child.on('exit', resolve));
        child.kill('SIGTERM');
        await done;
      }
      fs.rmSync(dir, { recursive: true, force: true });
    },
  };
}

module.exports = { startXvfb };
