'use strict';
// Prints, as one JSON line, the relay's words the relay's page handles: the
// closes of a device's socket (code and word), the refusals of its account
// calls, the fields a refused code comes with and the one a code request's
// answer says whether a code was mailed in, read from the page's own
// modules.
// Usage: node page_words.js <the page's client folder>
const path = require('node:path');

const folder = path.resolve(process.argv[2]);
const { RELAY_CLOSES } = require(path.join(folder, 'relay_socket.js'));
const { REFUSALS, CODE_FIELDS, SENT_FIELD } = require(path.join(folder, 'relay_account.js'));
process.stdout.write(JSON.stringify({
  closes: Object.entries(RELAY_CLOSES).map(([code, close]) => [Number(code), close.word]),
  refusals: Object.keys(REFUSALS),
  codeFields: Object.values(CODE_FIELDS),
  sentField: SENT_FIELD,
}) + '\n');
