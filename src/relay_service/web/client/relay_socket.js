'use strict';
// The relayed road to the computer. `relaySocket` is a socket-like object
// with a browser WebSocket's interface (binaryType, readyState, the four
// handlers, send, close, bufferedAmount), so the session screen uses it as
// it uses the direct socket. Underneath, one WebSocket to the relay's room
// carries bare records: the IK handshake opens it, every message goes out
// sealed as one record, the computer's records are opened, reassembled and
// acknowledged with credit records. `startEnrolment` adds this device to a
// computer with the XX handshake and its six-digit code.
//
// What the relay or the channel says when a session cannot go on reaches
// the page as the computer's own words: a "bye" with the reason ("mac-offline",
// "relay-busy", "relay-unreachable", "secure-failed") or, when the computer
// refuses this device's key, "denied".
const {
  SECURE, IKInitiator, XXInitiator, TransportSender, TransportReceiver, Reassembler, generateKeyPair,
} = require('./secure_channel.js');

const utf8 = new TextEncoder();
const fromUtf8 = new TextDecoder();

// Every close the relay gives a device's socket, with its word: the relay's
// own list, which a test holds this table to, both ways. `bye` reaches the
// session screen as the computer's own reason; null is a plain drop, after
// which the screen dials again with a new ticket, and a ticket the relay
// no longer gives says why (onDialFailure).
const RELAY_CLOSES = {
  1001: { word: '', bye: null },  // the relay is restarting
  1008: { word: 'slow', bye: null },  // this page fell behind reading
  1011: { word: 'try-later', bye: 'relay-unreachable' },
  4401: { word: 'ticket-refused', bye: null },  // spent or expired on the way: the next one is fresh
  4403: { word: 'refused', bye: null },  // the computer dropped this device: see onclose
  4404: { word: 'unknown-host', bye: null },  // the computer left the account: the next ticket says so
  4408: { word: 'rate', bye: null },
  4413: { word: 'too-large', bye: null },
  4429: { word: 'too-many', bye: 'relay-busy' },
  4503: { word: 'mac-offline', bye: 'mac-offline' },
};

// The word the page shows for a close of the relay's, or null.
function relayCloseWord(code) {
  return Object.prototype.hasOwnProperty.call(RELAY_CLOSES, code) ? RELAY_CLOSES[code].bye : null;
}

// How long the session screen waits before dialling again: attempt 0 is
// the first retry, `awayMs` how long ago the first one was planned. A relay
// or computer that comes back is found within a few seconds: a quick first
// try, then a short steady pace; after two minutes of nothing the pace
// slows to the host page's. Each wait is drawn from the upper half of its
// step, so that the phones a restarted relay let go do not all come back in
// the same instant.
const RELAY_RETRY_MS = [1000, 2000, 3000];
const RELAY_RETRY_STEADY_MS = 4000;
const RELAY_RETRY_QUICK_MS = 120000;
const RELAY_RETRY_SLOW_MS = 10000;
// A relay that does not answer costs nothing to dial: within those two
// minutes it is dialled at the first step's pace, and found within a
// second of its return.
const RELAY_RETRY_AWAY_MS = 1000;
// A relay that says the computer is not connected, just after this page
// lost a session, is most likely back ahead of the computer's link, which
// follows within seconds: it is dialled again at this pace for this long
// after it first says so in a run, then at the paced steps, so that a
// computer really gone costs the relay some 12 to 25 quick dials, once.
const RELAY_RETRY_COMING_MS = 800;
const RELAY_RETRY_COMING_FOR_MS = 10000;

function upperHalf(ms, random) {
  const r = Math.min(1, Math.max(0, Number(random()) || 0));
  return Math.round(ms * (0.5 + 0.5 * r));
}

function relayRetryDelay(attempt, awayMs, random = Math.random) {
  const n = Number.isInteger(attempt) && attempt > 0 ? attempt : 0;
  let base = RELAY_RETRY_STEADY_MS;
  if (n < RELAY_RETRY_MS.length) base = RELAY_RETRY_MS[n];
  else if (awayMs >= RELAY_RETRY_QUICK_MS) base = RELAY_RETRY_SLOW_MS;
  return upperHalf(base, random);
}

// The pace of one run of failed dials, as a value: `pace` is what the run
// has seen (null before its first retry); `found` what the last dial found
// (a relay socket's `found`: "relay-away", "mac-offline" or ""), and
// `afterSession` whether the run began with the end of a session that was
// up. Gives the next pace and the wait.
function relayRetryStep(pace, { attempt, nowMs, found, afterSession }, random = Math.random) {
  const first = !pace || !(attempt > 0);
  const next = first ? { since: nowMs, afterSession: !!afterSession, comingSince: null } : Object.assign({}, pace);
  const away = nowMs - next.since;
  let delay = relayRetryDelay(attempt, away, random);
  if (found === 'mac-offline' && next.afterSession) {
    if (next.comingSince === null) next.comingSince = nowMs;
    if (nowMs - next.comingSince < RELAY_RETRY_COMING_FOR_MS) delay = upperHalf(RELAY_RETRY_COMING_MS, random);
  } else {
    // The relay away or restarting again: the computer's link comes back
    // after it anew.
    next.comingSince = null;
    if (found === 'relay-away' && away < RELAY_RETRY_QUICK_MS) {
      delay = Math.min(delay, upperHalf(RELAY_RETRY_AWAY_MS, random));
    }
  }
  return { pace: next, delay };
}

function bytesOf(data) {
  if (typeof data === 'string') return utf8.encode(data);
  if (data instanceof ArrayBuffer) return new Uint8Array(data.slice(0));
  if (ArrayBuffer.isView(data)) return new Uint8Array(data.buffer.slice(data.byteOffset, data.byteOffset + data.byteLength));
  throw new TypeError('a string or bytes');
}

function detach(inner) {
  if (!inner) return;
  inner.onopen = inner.onmessage = inner.onclose = inner.onerror = null;
  try { inner.close(1000); } catch (e) { /* already closed */ }
}

// What a ticket's answer says of a relay that never answered: the network
// refused or dropped it, or a gateway in front of it found nothing behind
// it (502, 504). A 503 may be a gateway holding back a crowd, and is not
// dialled faster.
function relayAway(error) {
  const word = error && error.word;
  return word === 'unreachable' || word === 'http-502' || word === 'http-504';
}

// dial() resolves to a WebSocket on the room (a fresh ticket each time);
// computer holds this device's key pair and the computer's static key;
// onDialFailure(error) hears why the relay could not be dialled.
//
// Beside a WebSocket's interface: `found`, once it has ended, is what the
// dial found, for the pace of the next ("relay-away": nothing answered;
// "mac-offline": the relay, but not the computer's link; else ""); and
// `onreached` is called when the relay has held the socket in the
// computer's room for a moment and the computer has yet to answer.
const REACHED_AFTER_MS = 1000;

function relaySocket({ dial, computer, roomID, onDialFailure }) {
  let inner = null;
  let stage = 'dialing';
  let opened = false;
  let reachedTimer = null;
  let sender = null;
  let receiver = null;
  let reassembler = null;
  let received = 0;
  let credited = 0;
  let pending = 0;
  // Records go out, and come in, strictly in order.
  let outbound = Promise.resolve();
  let inbound = Promise.resolve();
  const ik = new IKInitiator({ staticKey: computer, remoteStatic: computer.macKey, roomID });

  const sock = {
    binaryType: 'blob',
    readyState: 0,
    onopen: null,
    onmessage: null,
    onclose: null,
    onerror: null,
    onreached: null,
    found: '',
    get bufferedAmount() { return pending + (inner ? inner.bufferedAmount : 0); },
    send(data) {
      if (sock.readyState === 0) throw new Error('InvalidStateError');
      if (stage !== 'open') return;
      const body = bytesOf(data);
      sendRecord(sender.message(typeof data === 'string' ? SECURE.flagText : SECURE.flagBinary, body), body.length);
    },
    close() {
      if (stage === 'closed') return;
      const wasOpen = stage === 'open';
      stage = 'closed';
      clearTimeout(reachedTimer);
      sock.readyState = 3;
      if (!wasOpen) { detach(inner); return; }
      const record = sender.close();
      const last = inner;
      outbound = outbound.then(() => record).then((r) => { try { last.send(r); } catch (e) { /* gone */ } }, () => {})
        .then(() => detach(last));
    },
  };

  function emit(handler, event) { if (typeof sock[handler] === 'function') sock[handler](event); }

  function sendRecord(sealed, size) {
    pending += size;
    const on = inner;
    // What was sent before a close still goes out ahead of the close record.
    outbound = outbound.then(() => sealed).then((record) => {
      pending -= size;
      if (on === inner && on.readyState === 1) on.send(record);
    }, () => {
      pending -= size;
      finish('secure-failed');
    });
  }

  // Ends the socket once; a word first reaches the page as the computer's.
  function finish(word) {
    if (stage === 'closed') return;
    stage = 'closed';
    clearTimeout(reachedTimer);
    sock.readyState = 3;
    if (word) emit('onmessage', { data: JSON.stringify(word === 'denied' ? { t: 'denied' } : { t: 'bye', reason: word }) });
    detach(inner);
    if (sender) sender.discard();
    if (receiver) receiver.discard();
    emit('onclose', { code: 1000, reason: '', wasClean: true });
  }

  async function onRecord(record) {
    if (stage === 'handshake') {
      const { keys } = await ik.readMessage2(record);
      sender = new TransportSender(keys.send);
      receiver = new TransportReceiver(keys.receive);
      reassembler = new Reassembler(SECURE.messageFromHostMax);
      clearTimeout(reachedTimer);
      stage = 'open';
      sock.readyState = 1;
      emit('onopen', {});
      return;
    }
    if (stage !== 'open') return;
    const { flags, data } = await receiver.open(record);
    if (flags === SECURE.flagClose) { finish(null); return; }
    const whole = reassembler.add(flags, data);
    if (!whole) return;
    received += whole.message.length;
    // The computer holds its writes once a window of bytes is unacknowledged.
    if (received - credited >= SECURE.creditAckBytes) {
      credited = received;
      sendRecord(sender.credit(received), 0);
    }
    if (stage !== 'open') return;
    if (whole.kind === SECURE.flagText) emit('onmessage', { data: fromUtf8.decode(whole.message) });
    else emit('onmessage', { data: whole.message.buffer });
  }

  dial().then((socket) => {
    if (stage === 'closed') { detach(socket); return; }
    inner = socket;
    stage = 'handshake';
    inner.binaryType = 'arraybuffer';
    inner.onopen = () => {
      opened = true;
      ik.writeMessage1().then((m1) => { if (stage === 'handshake') inner.send(m1); }, () => finish('secure-failed'));
      // A relay that refuses closes at once; one still holding the socket
      // has let it in, and waits with it for the computer.
      reachedTimer = setTimeout(() => { if (stage === 'handshake') emit('onreached', {}); }, REACHED_AFTER_MS);
    };
    inner.onmessage = (event) => {
      if (typeof event.data === 'string') return;
      const record = new Uint8Array(event.data);
      inbound = inbound.then(() => onRecord(record)).catch(() => finish('secure-failed'));
    };
    inner.onerror = () => {};
    inner.onclose = (event) => {
      // A refusal while the handshake is on its way is the computer
      // refusing this device's key: it was removed there.
      let word = relayCloseWord(event.code) || (stage === 'handshake' && event.code === 4403 ? 'denied' : null);
      if (event.code === 4503) sock.found = 'mac-offline';
      // Gave a ticket, then did not take the socket: gone in between.
      if (!opened && event.code === 1006) { sock.found = 'relay-away'; word = 'relay-unreachable'; }
      inbound = inbound.then(() => finish(word), () => finish(word));
    };
  }, (error) => {
    if (onDialFailure) onDialFailure(error);
    const away = relayAway(error);
    if (away) sock.found = 'relay-away';
    finish(away ? 'relay-unreachable' : null);
  });

  return sock;
}

// The six digits as the computer shows them beside its Approve button, in
// two groups of three, so the two screens can be compared at a glance.
function groupedCode(code) {
  return /^\d{6}$/.test(code) ? code.slice(0, 3) + ' ' + code.slice(3) : code;
}

class EnrolError extends Error {
  constructor(word) {
    super(word);
    this.word = word;
  }
}

// Adds this device to a computer whose owner has opened its window for a
// new device. onCode(code) shows the six digits the owner must see on the
// computer too. Resolves to the record device_keys.js keeps; rejects with an
// EnrolError: "no-window" (the computer was not waiting for a device),
// "refused" (the owner did not approve in time, or cancelled), "mac-offline",
// "secure-failed", "dropped".
function startEnrolment({ dial, roomID, name, onCode }) {
  let inner = null;
  let cancelled = false;
  let settle = null;
  const done = new Promise((resolve, reject) => { settle = { resolve, reject }; });
  let finished = false;
  function end(error, value) {
    if (finished) return;
    finished = true;
    detach(inner);
    if (error) settle.reject(error instanceof EnrolError ? error : new EnrolError('secure-failed'));
    else settle.resolve(value);
  }

  (async () => {
    const staticKey = await generateKeyPair();
    const salt = crypto.getRandomValues(new Uint8Array(SECURE.saltLength));
    const xx = new XXInitiator({ staticKey, roomID, name: utf8.encode(name), salt });
    let stage = 'message1';
    let keys = null;
    let macKey = null;
    let chain = Promise.resolve();
    const socket = await dial().catch((e) => { throw new EnrolError(e && e.word === 'unreachable' ? 'unreachable' : 'dropped'); });
    if (cancelled) { detach(socket); return; }
    inner = socket;
    inner.binaryType = 'arraybuffer';
    inner.onopen = () => {
      xx.writeMessage1().then((m1) => { stage = 'message2'; inner.send(m1); }, end);
    };
    inner.onerror = () => {};
    inner.onmessage = (event) => {
      if (typeof event.data === 'string') return;
      const record = new Uint8Array(event.data);
      chain = chain.then(async () => {
        if (stage === 'message2') {
          macKey = await xx.readMessage2(record);
          const m3 = await xx.writeMessage3();
          keys = m3.keys;
          stage = 'approval';
          inner.send(m3.record);
          onCode(m3.code);
        } else if (stage === 'approval') {
          const { flags, data } = await new TransportReceiver(keys.receive).open(record);
          if (flags !== SECURE.flagText || fromUtf8.decode(data) !== SECURE.enrolledMessage) throw new EnrolError('secure-failed');
          stage = 'done';
          end(null, { privateKey: staticKey.privateKey, publicBytes: staticKey.publicBytes, macKey });
        }
      }).catch(end);
    };
    inner.onclose = (event) => {
      chain = chain.then(() => {
        const offline = relayCloseWord(event.code);
        if (offline) end(new EnrolError(offline));
        else if (event.code === 4403) end(new EnrolError(stage === 'approval' ? 'refused' : 'no-window'));
        else end(new EnrolError('dropped'));
      });
    };
  })().catch(end);

  return {
    done,
    cancel() {
      cancelled = true;
      end(new EnrolError('cancelled'));
    },
  };
}

module.exports = { relaySocket, startEnrolment, relayCloseWord, relayRetryDelay, relayRetryStep, groupedCode, EnrolError,
  RELAY_CLOSES };
