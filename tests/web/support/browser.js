'use strict';
// Launches Debian's Chromium through playwright-core with a fresh profile and
// keeps a guard on every page: any page error, console error or refused
// resource (a CSP violation shows up as one) fails the test at the end.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const CHROMIUM = process.env.MORVANE_CHROMIUM || '/usr/bin/chromium';
const ARGS = ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
  '--disable-sync', '--disable-quic', '--no-first-run'];

function haveChromium() { return fs.existsSync(CHROMIUM); }

async function launch({ viewport = { width: 1280, height: 800 }, deviceScaleFactor = 1, isMobile = false,
  hasTouch = false, colorScheme = 'dark', reducedMotion = 'no-preference' } = {}) {
  const { chromium } = require('playwright-core');
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'morvane-web-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM, headless: true, args: ARGS, viewport, deviceScaleFactor, isMobile, hasTouch,
    colorScheme, reducedMotion,
  });
  const problems = [];
  const watch = (page) => {
    page.on('pageerror', (e) => problems.push('page error: ' + e.message));
    page.on('console', (m) => {
      if (m.type() !== 'error') return;
      // A refused pairing request, sign-in code or request for a code is
      // an answer the page shows, not a fault.
      const where = (m.location() && m.location().url) || '';
      if (/^Failed to load resource/.test(m.text()) && /\/api\/pair$|\/v1\/auth\/(verify|code)$/.test(where)) return;
      problems.push('console error: ' + m.text() + (where ? ' (' + where + ')' : ''));
    });
  };
  context.on('page', watch);
  for (const p of context.pages()) watch(p);
  const page = context.pages()[0] || await context.newPage();
  return {
    context, page, problems,
    async close() {
      await context.close();
      fs.rmSync(profile, { recursive: true, force: true });
    },
    assertClean(assert) { assert.deepStrictEqual(problems, [], 'the page reported problems'); },
  };
}

module.exports = { launch, haveChromium, CHROMIUM };
