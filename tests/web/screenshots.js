'use strict';
// Writes screenshots of the pairing and session screens, the Keys panel, the
// file sheet and the controls for the computer's screen at a phone size
// (390x844) and a desktop size (1440x900), dark and light, against the fake
// host, for looking at the page as a new user would.
//   MORVANE_BUILD_DIR=build NODE_PATH=tests/web/node_modules node tests/web/screenshots.js OUTPUT_FOLDER
const fs = require('node:fs');
const path = require('node:path');
const { openSession, until } = require('./support/session.js');
const { effectsHost, jpegFrame, makeJpeg } = require('./support/fake-host.js');

const SIZES = {
  phone: { viewport: { width: 390, height: 844 }, isMobile: true, hasTouch: true, deviceScaleFactor: 3 },
  desktop: { viewport: { width: 1440, height: 900 }, deviceScaleFactor: 1 },
};

async function main() {
  const out = path.resolve(process.argv[2] || 'web-screenshots');
  fs.mkdirSync(out, { recursive: true });
  for (const [size, options] of Object.entries(SIZES)) {
    for (const colorScheme of ['dark', 'light']) {
      const browser = Object.assign({ colorScheme }, options);
      const pairing = await openSession({ token: null, browser });
      await until(pairing.page, () => !document.getElementById('pair-screen').hidden);
      await pairing.page.screenshot({ path: path.join(out, `pairing-${size}-${colorScheme}.png`) });
      await pairing.close();

      let conn = null;
      const s = await openSession({ browser, host: { onSession: (c) => { conn = c; } } });
      await until(s.page, () => document.getElementById('conn-text').textContent === 'Connected');
      conn.ws.send(jpegFrame(await makeJpeg(s.page, 1600, 1000), 1600, 1000));
      await until(s.page, () => document.getElementById('fps').textContent !== '');
      await s.page.screenshot({ path: path.join(out, `session-${size}-${colorScheme}.png`) });

      // The Keys panel, open over the picture.
      await s.page.click('#keys-toggle');
      await until(s.page, () => document.getElementById('session-screen').dataset.sheet === 'keys');
      await s.page.screenshot({ path: path.join(out, `keys-${size}-${colorScheme}.png`) });
      await s.page.click('#keys-toggle');

      // The file sheet with an Outbox listing and a download under way.
      conn.ws.onMessage((m) => {
        if (typeof m !== 'string') return;
        const msg = JSON.parse(m);
        if (msg.t === 'ping') conn.ws.send(JSON.stringify({ t: 'pong', id: msg.id }));
        if (msg.t === 'file-list') {
          conn.ws.send(JSON.stringify({ t: 'file-list-result', id: msg.id, ok: true, more: false, files: [
            { name: 'Quarterly report (2).pdf', size: 2345678, mtime: 1767225600 },
            { name: 'IMG_4021.HEIC', size: 3812345, mtime: 1767139200 },
            { name: 'screen recording.mov', size: 312000000, mtime: 1767052800 }] }));
        }
        if (msg.t === 'file-get') {
          conn.ws.send(JSON.stringify({ t: 'file-get-ready', id: msg.id, size: 2345678, chunk: 32768 }));
          const chunk = Buffer.alloc(9 + 32768);
          chunk[0] = 0x10;
          chunk.writeUInt32BE(msg.id, 1);
          for (let i = 0; i < 24; i++) { chunk.writeUInt32BE(i * 32768, 5); conn.ws.send(Buffer.from(chunk)); }
        }
      });
      await s.page.click('#cluster [data-toggle="more"]');
      await s.page.click('#files-open');
      await s.page.click('#files-list-get');
      await until(s.page, () => document.querySelectorAll('#files-list button').length === 3);
      await s.page.click('#files-list button >> nth=0');
      await until(s.page, () => document.getElementById('files-down-status').textContent.includes('(33%)'));
      await new Promise((r) => setTimeout(r, 500));
      await s.page.screenshot({ path: path.join(out, `files-${size}-${colorScheme}.png`) });
      await s.close();

      // The More sheet with the controls for the computer's screen: as
      // offered, then with the screen fitted and hidden.
      const c = await openSession({ browser, host: { onSession: (x) => { conn = x; effectsHost(x); } } });
      await until(c.page, () => document.getElementById('conn-text').textContent === 'Connected');
      conn.ws.send(jpegFrame(await makeJpeg(c.page, 1600, 1000), 1600, 1000));
      await c.page.click('#cluster [data-toggle="more"]');
      await until(c.page, () => !document.getElementById('mac-set').hidden);
      await c.page.locator('#display-set').scrollIntoViewIfNeeded();
      await c.page.screenshot({ path: path.join(out, `controls-${size}-${colorScheme}.png`) });
      if (await c.page.getAttribute('#fit-button', 'aria-disabled') === 'false') {
        await c.page.click('#fit-button');
        await until(c.page, () => document.getElementById('fit-note').dataset.kind === 'good');
      }
      await c.page.click('#hide-button');
      await until(c.page, () => !document.getElementById('hide-chip').hidden);
      await c.page.locator('#display-set').scrollIntoViewIfNeeded();
      await c.page.screenshot({ path: path.join(out, `controls-active-${size}-${colorScheme}.png`) });
      await c.close();
    }
  }
  console.log('screenshots in ' + out);
}

main().catch((e) => { console.error(e); process.exit(1); });
