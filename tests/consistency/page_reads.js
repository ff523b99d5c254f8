'use strict';
// Prints, one JSON line each, what the web page's own parsers make of the
// messages the host built (one JSON line each in the file named first).
// Usage: node page_reads.js <host messages file> <the joined app.js the build made>
const fs = require('node:fs');

const page = require(process.argv[3]);
const readers = new Map([
  ['fx-state', page.parseFxState], ['fx-result', page.parseFxResult],
  ['lock-state', page.parseLockState], ['lock-result', page.parseLockResult],
]);
for (const line of fs.readFileSync(process.argv[2], 'utf8').split('\n')) {
  if (!line) continue;
  const msg = JSON.parse(line);
  const read = readers.get(msg.t);
  process.stdout.write(JSON.stringify(read ? read(msg) : 'no reader for ' + msg.t) + '\n');
}
