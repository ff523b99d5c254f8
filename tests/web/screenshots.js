'use strict';
// Writes screenshots of the pairing and session screens at a phone size
// (390x844) and a desktop size (1440x900), dark and light, against the fake
// host, for looking at the page as a new user would.
//   NODE_PATH=tests/web/node_modules node tests/web/screenshots.js OUTPUT_FOLDER
const fs = require('node:fs');
const path = require('node:path');
const { openSession, until } = require('./support/session.js');
const { jpegFrame, makeJpeg } = require('./support/fake-host.js');

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
      await s.close();
    }
  }
  console.log('screenshots in ' + out);
}

main().catch((e) => { console.error(e); process.exit(1); });
