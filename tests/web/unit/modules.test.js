'use strict';
// The page's modules reach each other only through `app.<module>.<name>`,
// resolved when the page runs: a wrong name breaks the page only when that
// path is taken in a browser. These checks find such faults under node.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');

const client = path.resolve(__dirname, '../../../src/web/client');
const files = fs.readdirSync(client).filter((f) => f.endsWith('.js')).sort();
const source = (file) => fs.readFileSync(path.join(client, file), 'utf8');

// The start-up table: the name each page half is reached by, and its file.
const pageModules = {};
for (const m of source('main.js').matchAll(/^\s+(\w+): require\('\.\/(\w+_page\.js)'\),$/gm)) pageModules[m[1]] = m[2];

// A stand-in for the shared context: any property, call or construction
// gives the stand-in again, so a page half can be built without a page.
const stub = new Proxy(function () {}, {
  get: (target, key) => (key === Symbol.toPrimitive ? () => 0 : stub),
  apply: () => stub,
  construct: () => stub,
});
const built = {};
for (const [name, file] of Object.entries(pageModules)) built[name] = require(path.join(client, file))(stub);

test('every page half is built at start-up, and the pure halves never reach for the page', () => {
  assert.deepEqual(Object.values(pageModules).sort(), files.filter((f) => f.endsWith('_page.js')));
  for (const file of files.filter((f) => !f.endsWith('_page.js') && f !== 'main.js')) {
    const required = [...source(file).matchAll(/require\('\.\/([\w.]+)'\)/g)].map((m) => m[1]);
    assert.deepEqual(required.filter((r) => r.endsWith('_page.js')), [], file);
  }
});

test('every call from one page module into another names something that module offers', () => {
  const missing = [];
  for (const file of files) {
    for (const m of source(file).matchAll(/\bapp\.(\w+)\.(\w+)/g)) {
      const offers = built[m[1]];
      if (!offers) missing.push(`${file}: there is no module ${m[1]}`);
      else if (!Object.getOwnPropertyNames(offers).includes(m[2])) missing.push(`${file}: ${m[1]} offers no ${m[2]}`);
    }
  }
  assert.deepEqual(missing, []);
});

test('each message type a ready session receives goes to exactly one module', () => {
  const owners = new Map();
  for (const [name, m] of Object.entries(built)) {
    for (const [type, handler] of Object.entries(m.messages || {})) {
      assert.equal(typeof handler, 'function', type);
      owners.set(type, [...(owners.get(type) || []), name]);
    }
  }
  assert.deepEqual([...owners].filter(([, o]) => o.length > 1), [], 'one owner each');
  assert.deepEqual([...owners.keys()].sort(), [
    'audio', 'clip', 'clip-data', 'clip-put-result', 'disp-list', 'disp-result', 'file-ack', 'file-get-ready',
    'file-get-result', 'file-list-result', 'file-put-ready', 'file-put-result', 'fx-result', 'fx-state',
    'lock-result', 'lock-state', 'status', 'video',
  ], 'every type the host sends during a session has a home; the connection keeps ready, pong, bye and denied');
});
