'use strict';
// Serves the web folder the way the host does: the fixed path table, GET
// only, and the host's security headers on every answer. Pairing answers
// come from a handler the test supplies.
const http = require('node:http');
const fs = require('node:fs');
const path = require('node:path');

const WEB = path.resolve(__dirname, '../../../src/web');
// The script is joined from its modules by the build; the tests serve the
// build's copy, the bytes the host embeds.
const BUILT = path.join(process.env.MORVANE_BUILD_DIR || path.resolve(__dirname, '../../../build'), 'src/web');
const CSP = "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob: data:; " +
  "connect-src 'self'; manifest-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'";
const TABLE = {
  '/': ['index.html', 'text/html; charset=utf-8'],
  '/app.js': ['app.js', 'text/javascript; charset=utf-8', BUILT],
  '/style.css': ['style.css', 'text/css; charset=utf-8'],
  '/manifest.webmanifest': ['manifest.webmanifest', 'application/manifest+json'],
  '/icon.svg': ['icon.svg', 'image/svg+xml'],
  '/apple-touch-icon.png': ['apple-touch-icon.png', 'image/png'],
  '/audio-worklet.js': ['audio-worklet.js', 'text/javascript; charset=utf-8'],
};

function headers(type, length) {
  return {
    'Content-Type': type,
    'Content-Length': String(length),
    'Connection': 'close',
    'Content-Security-Policy': CSP,
    'X-Content-Type-Options': 'nosniff',
    'Referrer-Policy': 'no-referrer',
    'Cache-Control': 'no-store',
    'Cross-Origin-Opener-Policy': 'same-origin',
  };
}

function answer(res, status, type, body) {
  const bytes = Buffer.isBuffer(body) ? body : Buffer.from(body);
  res.writeHead(status, headers(type, bytes.length));
  res.end(bytes);
}

// `pair(body)` returns {status, body} for POST /api/pair.
function startSite({ pair } = {}) {
  const requests = [];
  const server = http.createServer((req, res) => {
    const url = new URL(req.url, 'http://127.0.0.1');
    if (url.pathname === '/api/pair' && req.method === 'POST') {
      let raw = '';
      req.on('data', (c) => { raw += c; if (raw.length > 4096) req.destroy(); });
      req.on('end', () => {
        let body = null;
        try { body = JSON.parse(raw); } catch (e) { body = null; }
        requests.push({ path: url.pathname, body, type: req.headers['content-type'] });
        const r = pair ? pair(body) : { status: 403, body: { error: 'code-not-accepted' } };
        answer(res, r.status, 'application/json', typeof r.body === 'string' ? r.body : JSON.stringify(r.body));
      });
      return;
    }
    const row = TABLE[url.pathname];
    if (!row) { answer(res, 404, 'text/plain; charset=utf-8', 'not found'); return; }
    if (req.method !== 'GET') { res.setHeader('Allow', 'GET'); answer(res, 405, 'text/plain; charset=utf-8', 'method not allowed'); return; }
    answer(res, 200, row[1], fs.readFileSync(path.join(row[2] || WEB, row[0])));
  });
  return new Promise((resolve) => {
    server.listen(0, '127.0.0.1', () => {
      const port = server.address().port;
      resolve({ url: `http://127.0.0.1:${port}/`, port, requests, close: () => new Promise((r) => server.close(r)) });
    });
  });
}

module.exports = { startSite, CSP, TABLE, WEB };
