'use strict';
// The relay's device side as the page calls it: sign-in with an e-mail code,
// the account's computers, and a single-use ticket for one computer's room
// (a browser cannot set headers on a WebSocket). Plain fetch on the page's
// own origin; the words a person can act on for each refusal.

const SESSION_KEY = 'morvane.relay.session';
const ROOM_PATTERN = /^[0-9a-f]{32}$/;

// What the relay says of a refused code beside its word: the relay's own
// list of those fields, which a test holds this table to, both ways.
const CODE_FIELDS = { expired: 'expired', triesLeft: 'tries_left' };
// Beside "ok" in the answer to a code request: false when no new code was
// mailed and the one mailed earlier to the address signs this login in too.
const SENT_FIELD = 'sent';

class AccountError extends Error {
  // word: the relay's error word, or "unreachable" / "bad-answer". A
  // refused code also says whether it expired, or how many tries it has
  // left, when the relay knows (`answer`: the refusal's body).
  constructor(word, status, retryAfter, answer) {
    super(word);
    this.word = word;
    this.status = status || 0;
    this.retryAfter = retryAfter;
    const body = answer && typeof answer === 'object' ? answer : {};
    const triesLeft = body[CODE_FIELDS.triesLeft];
    this.expired = body[CODE_FIELDS.expired] === true;
    this.triesLeft = Number.isInteger(triesLeft) && triesLeft >= 0 ? triesLeft : undefined;
  }
}

function waitText(seconds) {
  const s = Math.max(1, Math.ceil(seconds));
  return s < 90 ? s + (s === 1 ? ' second' : ' seconds') : Math.ceil(s / 60) + ' minutes';
}

const SIGNED_OUT = 'You were signed out. Sign in again.';

// A refused code: the relay says why when it knows; a relay that does not
// gets the one sentence that covers both.
function codeRefusedText(e) {
  if (e.expired) return 'That code has expired. Send a new code.';
  if (e.triesLeft === 0) return 'That code was tried too many times. Send a new code.';
  if (e.triesLeft > 0) {
    return 'That code is wrong. Check it, or send a new code (' + e.triesLeft + (e.triesLeft === 1 ? ' try' : ' tries') + ' left).';
  }
  return 'That code is wrong or has expired. Check it, or send a new code.';
}

// What a person reads for each refusal the relay answers this page's calls
// with: the relay's own list of those words, which a test holds this table
// to, both ways.
const REFUSALS = {
  'invalid-email': () => 'Could not send a code. Check the address and try again.',
  'invalid-code': codeRefusedText,
  'invalid-token': () => SIGNED_OUT,
  'unauthorized': () => SIGNED_OUT,
  'not-configured': () => 'Sign-in is not available on this relay.',
  'unknown-host': () => 'That computer is no longer on this account.',
  // The relay's owner lets only the addresses they listed sign in: a code
  // or a sign-in for another, or a sign-in whose address was taken off.
  'not-invited': () => "This relay's owner has not let this address sign in. Ask them to add it, or use another.",
  // 429: this page asked too often (for codes: more were asked for this
  // address, or from here, than the relay sends in its window, whatever was
  // typed); 503: the relay cannot answer for now.
  'try-later': (e, step) => {
    const wait = waitText(e.retryAfter || 30);
    if (e.status === 503) return 'The relay cannot answer right now. Try again in ' + wait + '.';
    if (step === 'code') return 'Too many codes were requested. Wait ' + wait + ', then try again.';
    return 'Too many tries. Try again in ' + wait + '.';
  },
};

// What the sign-in screens say for a refusal.
function accountErrorText(error, step) {
  const word = error && error.word;
  if (word === 'unreachable') return 'Could not reach the relay. Check your connection, then try again.';
  if (Object.prototype.hasOwnProperty.call(REFUSALS, word)) return REFUSALS[word](error, step);
  if (error && error.retryAfter) return 'Too many tries. Try again in ' + waitText(error.retryAfter) + '.';
  if (step === 'code') return 'Could not send a code. Check the address and try again.';
  if (step === 'verify') return 'Could not sign in. Send a new code and try again.';
  return 'The relay refused this (' + (word || 'no reason') + '). Try again.';
}

// Whether a refusal signed the page out: its sign-in is over, or its
// address may sign in here no more.
function signedOut(error) {
  const word = error && error.word;
  return word === 'unauthorized' || word === 'not-invited';
}

// The computers as the relay lists them; anything malformed is left out.
function parseHosts(body) {
  const list = body && Array.isArray(body.hosts) ? body.hosts : null;
  if (!list) return null;
  const out = [];
  for (const h of list) {
    if (!h || typeof h.room !== 'string' || !ROOM_PATTERN.test(h.room)) continue;
    const name = typeof h.name === 'string' && h.name.trim() ? h.name.trim().slice(0, 64) : 'Computer';
    out.push({ room: h.room, name, online: h.online === true });
  }
  return out;
}

function parseSession(body, email) {
  if (!body || typeof body.access_token !== 'string' || !body.access_token || typeof body.refresh_token !== 'string') return null;
  const user = body.user && typeof body.user === 'object' ? body.user : {};
  return { access: body.access_token, refresh: body.refresh_token, email: typeof user.email === 'string' ? user.email : email };
}

// The client: `fetchFn` is the page's fetch, `store` its storage.
function relayAccount(fetchFn, store) {
  let session = null;
  try { session = JSON.parse(store.get(SESSION_KEY) || 'null'); } catch (e) { session = null; }
  if (!session || typeof session.access !== 'string') session = null;

  function keep(next) {
    session = next;
    store.set(SESSION_KEY, next ? JSON.stringify(next) : '');
  }

  async function call(method, path, body, bearer) {
    const headers = { Accept: 'application/json' };
    if (body !== undefined) headers['Content-Type'] = 'application/json';
    if (bearer) headers.Authorization = 'Bearer ' + bearer;
    let response;
    let answer = null;
    try {
      response = await fetchFn(path, { method, headers, body: body === undefined ? undefined : JSON.stringify(body), credentials: 'omit', cache: 'no-store' });
      try { answer = await response.json(); } catch (e) { answer = null; }
    } catch (e) {
      throw new AccountError('unreachable');
    }
    if (!response.ok) {
      const word = answer && typeof answer.error === 'string' ? answer.error : 'http-' + response.status;
      const retry = answer && Number.isFinite(answer.retry_after) && answer.retry_after > 0 ? answer.retry_after : undefined;
      throw new AccountError(word, response.status, retry, answer);
    }
    return answer;
  }

  // A call with the access token, refreshed once when the relay says it
  // has run out. A refused refresh signs the page out.
  // Every POST carries a JSON object, as the relay takes no other body.
  async function authorised(method, path) {
    const body = method === 'POST' ? {} : undefined;
    if (!session) throw new AccountError('unauthorized', 401);
    try {
      return await call(method, path, body, session.access);
    } catch (e) {
      if (e.status !== 401) throw e;
    }
    try {
      const next = parseSession(await call('POST', '/v1/auth/refresh', { refresh_token: session.refresh }), session.email);
      if (!next) throw new AccountError('bad-answer');
      keep(next);
    } catch (e) {
      if (e.word !== 'unreachable') keep(null);
      if (e.word === 'unreachable' || e.word === 'not-invited') throw e;
      throw new AccountError('unauthorized', 401);
    }
    return call(method, path, body, session.access);
  }

  return {
    get session() { return session; },
    // True when a new code was mailed; a relay that does not say mailed one.
    async sendCode(email, loginId) {
      const body = await call('POST', '/v1/auth/code', { email, login_id: loginId });
      return !(body && body[SENT_FIELD] === false);
    },
    async verify(email, loginId, code) {
      const next = parseSession(await call('POST', '/v1/auth/verify', { email, login_id: loginId, code, client: 'web' }), email);
      if (!next) throw new AccountError('bad-answer');
      keep(next);
      return next;
    },
    async hosts() {
      const list = parseHosts(await authorised('GET', '/v1/hosts'));
      if (!list) throw new AccountError('bad-answer');
      return list;
    },
    async ticket(room) {
      const body = await authorised('POST', '/v1/hosts/' + room + '/ticket');
      // URL-safe characters only (base64url, joined with dots by the relay
      // service); it goes into the socket's address as it is.
      if (!body || typeof body.ticket !== 'string' || !/^[A-Za-z0-9._~-]{1,512}$/.test(body.ticket)) throw new AccountError('bad-answer');
      return body.ticket;
    },
    async signOut() {
      const old = session;
      keep(null);
      if (old) { try { await call('POST', '/v1/auth/signout', { refresh_token: old.refresh }); } catch (e) { /* signed out here anyway */ } }
    },
  };
}

module.exports = { relayAccount, accountErrorText, signedOut, parseHosts, AccountError, SESSION_KEY, REFUSALS, CODE_FIELDS, SENT_FIELD };
