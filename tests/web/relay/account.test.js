'use strict';
// The relay page's account client against a scripted relay: the calls it
// makes, the token it refreshes once, what it keeps and what it forgets.
const test = require('node:test');
const assert = require('node:assert/strict');

const { relayAccount, accountErrorText, signedOut, parseHosts, SESSION_KEY } = require('../../../src/relay_service/web/client/relay_account.js');

const ROOM = 'a'.repeat(32);

// A relay that answers from a table of (method path) → [status, body], in
// order, and keeps every request it saw.
function scriptedRelay(script) {
  const seen = [];
  const fetchFn = async (url, init) => {
    seen.push({ method: init.method, url, auth: init.headers.Authorization || '', body: init.body ? JSON.parse(init.body) : null, headers: init.headers });
    const key = init.method + ' ' + url;
    const answers = script[key];
    if (!answers || answers.length === 0) throw new TypeError('network down');
    const [status, body] = answers.shift();
    return { ok: status >= 200 && status < 300, status, json: async () => { if (body === undefined) throw new SyntaxError('no body'); return body; } };
  };
  const kept = {};
  const store = { get: (k) => (k in kept ? kept[k] : null), set: (k, v) => { kept[k] = v; } };
  return { fetchFn, store, seen, kept };
}

const signedIn = (access, refresh) => ({ access_token: access, refresh_token: refresh, expires_in: 900, user: { id: 'u', email: 'a@b.c' } });

test('sign-in sends the web client word, keeps the tokens, and a later page starts signed in', async () => {
  const r = scriptedRelay({
    'POST /v1/auth/code': [[200, { ok: true }]],
    'POST /v1/auth/verify': [[200, signedIn('A1', 'R1')]],
  });
  const a = relayAccount(r.fetchFn, r.store);
  assert.equal(a.session, null);
  await a.sendCode('a@b.c', 'L');
  await a.verify('a@b.c', 'L', '123456');
  assert.deepEqual(r.seen[1].body, { email: 'a@b.c', login_id: 'L', code: '123456', client: 'web' });
  assert.equal(r.seen[1].headers['Content-Type'], 'application/json');
  assert.equal(r.seen[1].headers.Accept, 'application/json');
  assert.equal(relayAccount(r.fetchFn, r.store).session.access, 'A1');
});

test('a code request says when no new code was mailed, and an older relay that says nothing mailed one', async () => {
  const r = scriptedRelay({
    'POST /v1/auth/code': [[200, { ok: true }], [200, { ok: true, sent: false }], [200, { ok: true, sent: true }]],
  });
  const a = relayAccount(r.fetchFn, r.store);
  assert.deepEqual([await a.sendCode('a@b.c', 'L1'), await a.sendCode('a@b.c', 'L2'), await a.sendCode('a@b.c', 'L3')],
    [true, false, true]);
});

test('an expired access token is refreshed once; a refused refresh signs the page out', async () => {
  const rows = [
    {
      name: 'refreshed',
      script: { 'GET /v1/hosts': [[401, { error: 'unauthorized' }], [200, { hosts: [{ room: ROOM, name: 'Desk', online: true }] }]], 'POST /v1/auth/refresh': [[200, signedIn('A2', 'R2')]] },
      hosts: [{ room: ROOM, name: 'Desk', online: true }], session: 'A2', auths: ['Bearer A1', '', 'Bearer A2'],
    },
    {
      name: 'refresh refused',
      script: { 'GET /v1/hosts': [[401, { error: 'unauthorized' }]], 'POST /v1/auth/refresh': [[401, { error: 'invalid-token' }]] },
      error: 'unauthorized', session: null, auths: ['Bearer A1', ''],
    },
    {
      name: 'refresh refused: the address was taken off the relay\'s list',
      script: { 'GET /v1/hosts': [[401, { error: 'unauthorized' }]], 'POST /v1/auth/refresh': [[403, { error: 'not-invited' }]] },
      error: 'not-invited', session: null, auths: ['Bearer A1', ''],
    },
    {
      name: 'relay unreachable while refreshing',
      script: { 'GET /v1/hosts': [[401, { error: 'unauthorized' }]] },
      error: 'unreachable', session: 'A1', auths: ['Bearer A1', ''],
    },
    {
      name: 'other refusals are not a sign-out',
      script: { 'GET /v1/hosts': [[429, { error: 'rate', retry_after: 30 }]] },
      error: 'rate', session: 'A1', auths: ['Bearer A1'],
    },
  ];
  for (const row of rows) {
    const r = scriptedRelay(row.script);
    r.kept[SESSION_KEY] = JSON.stringify({ access: 'A1', refresh: 'R1', email: 'a@b.c' });
    const a = relayAccount(r.fetchFn, r.store);
    let error = null;
    let hosts = null;
    try { hosts = await a.hosts(); } catch (e) { error = e.word; }
    assert.equal(error, row.error || null, row.name);
    if (row.hosts) assert.deepEqual(hosts, row.hosts, row.name);
    assert.equal(a.session ? a.session.access : null, row.session, row.name);
    assert.deepEqual(r.seen.map((s) => s.auth), row.auths, row.name);
    // What sends the page back to its sign-in screen.
    assert.equal(signedOut({ word: error }), row.session === null, row.name);
  }
});

test('the computers list keeps only well-formed rooms and never trusts a name to be there', () => {
  const hosts = parseHosts({
    hosts: [
      { room: ROOM, name: ' Desk ', online: true },
      { room: 'A'.repeat(32), name: 'upper-case room', online: true },
      { room: ROOM.slice(1), name: 'short room' },
      { room: ROOM, online: 'yes' },
      null,
    ],
  });
  assert.deepEqual(hosts, [{ room: ROOM, name: 'Desk', online: true }, { room: ROOM, name: 'Computer', online: false }]);
  assert.equal(parseHosts({}), null);
  assert.equal(parseHosts(null), null);
});

test('a ticket must look like one before it goes into the socket address', async () => {
  for (const [ticket, ok] of [['abc_-123', true], ['NzZp.kAgM-_', true], ['a b', false], ['x&ticket=y', false], ['a/b', false], ['', false]]) {
    const r = scriptedRelay({ [`POST /v1/hosts/${ROOM}/ticket`]: [[200, { ticket, expires_in: 30 }]] });
    r.kept[SESSION_KEY] = JSON.stringify({ access: 'A1', refresh: 'R1', email: 'a@b.c' });
    const a = relayAccount(r.fetchFn, r.store);
    let word = '';
    try { await a.ticket(ROOM); } catch (e) { word = e.word; }
    assert.equal(word, ok ? '' : 'bad-answer', JSON.stringify(ticket));
    // The relay takes a POST only with a JSON object in it.
    assert.deepEqual(r.seen[0].body, {});
    assert.equal(r.seen[0].headers['Content-Type'], 'application/json');
  }
});

test('refusals read as what a person can do about them', () => {
  const rows = [
    [{ word: 'unreachable' }, 'code', 'Could not reach the relay. Check your connection, then try again.'],
    [{ word: 'rate', retryAfter: 30 }, 'code', 'Too many tries. Try again in 30 seconds.'],
    [{ word: 'rate', retryAfter: 600 }, 'verify', 'Too many tries. Try again in 10 minutes.'],
    [{ word: 'invalid-code' }, 'verify', 'That code is wrong or has expired. Check it, or send a new code.'],
    [{ word: 'invalid-email' }, 'code', 'Could not send a code. Check the address and try again.'],
    [{ word: 'http-500' }, 'code', 'Could not send a code. Check the address and try again.'],
    [{ word: 'invalid-code', triesLeft: 4 }, 'verify', 'That code is wrong. Check it, or send a new code (4 tries left).'],
    [{ word: 'invalid-code', triesLeft: 1 }, 'verify', 'That code is wrong. Check it, or send a new code (1 try left).'],
    [{ word: 'invalid-code', triesLeft: 0 }, 'verify', 'That code was tried too many times. Send a new code.'],
    [{ word: 'invalid-code', expired: true }, 'verify', 'That code has expired. Send a new code.'],
    // Codes asked for too often is not a wrong try: nothing was typed wrong.
    [{ word: 'try-later', status: 429, retryAfter: 120 }, 'code', 'Too many codes were requested. Wait 2 minutes, then try again.'],
    [{ word: 'try-later', status: 429, retryAfter: 45 }, 'code', 'Too many codes were requested. Wait 45 seconds, then try again.'],
    [{ word: 'try-later', status: 429, retryAfter: 120 }, 'verify', 'Too many tries. Try again in 2 minutes.'],
    [{ word: 'try-later', status: 503, retryAfter: 30 }, 'list', 'The relay cannot answer right now. Try again in 30 seconds.'],
    [{ word: 'try-later', status: 503 }, 'verify', 'The relay cannot answer right now. Try again in 30 seconds.'],
    [{ word: 'not-configured', status: 503 }, 'code', 'Sign-in is not available on this relay.'],
    [{ word: 'invalid-token', status: 401 }, 'list', 'You were signed out. Sign in again.'],
    [{ word: 'unknown-host', status: 404 }, 'list', 'That computer is no longer on this account.'],
    [{ word: 'not-invited', status: 403 }, 'code', "This relay's owner has not let this address sign in. Ask them to add it, or use another."],
    [{ word: 'not-invited', status: 403 }, 'list', "This relay's owner has not let this address sign in. Ask them to add it, or use another."],
  ];
  for (const [error, step, text] of rows) assert.equal(accountErrorText(error, step), text, JSON.stringify(error));
});

test('a refused code carries what the relay said of it, and nothing it did not say', async () => {
  const rows = [
    [{ error: 'invalid-code', tries_left: 3 }, { expired: false, triesLeft: 3 }],
    [{ error: 'invalid-code', tries_left: 0 }, { expired: false, triesLeft: 0 }],
    [{ error: 'invalid-code', expired: true }, { expired: true, triesLeft: undefined }],
    [{ error: 'invalid-code' }, { expired: false, triesLeft: undefined }],
    [{ error: 'invalid-code', tries_left: -1, expired: 'yes' }, { expired: false, triesLeft: undefined }],
    [{ error: 'invalid-code', tries_left: 2.5 }, { expired: false, triesLeft: undefined }],
  ];
  for (const [body, want] of rows) {
    const r = scriptedRelay({ 'POST /v1/auth/verify': [[400, body]] });
    const a = relayAccount(r.fetchFn, r.store);
    let error = null;
    try { await a.verify('a@b.c', 'L', '123456'); } catch (e) { error = e; }
    assert.equal(error.word, 'invalid-code');
    assert.deepEqual({ expired: error.expired, triesLeft: error.triesLeft }, want, JSON.stringify(body));
  }
});
