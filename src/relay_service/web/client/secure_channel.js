'use strict';
// The device's half of the end-to-end channel to the computer, in the
// browser: the IK handshake that opens a session, the XX handshake that
// enrols a new device (with its commitment and six-digit code), and the
// record layer that carries the session. Every hash, HMAC, key derivation,
// key agreement and AES-GCM sealing is WebCrypto's; this file only lays out
// the bytes. The same bytes as the computer's side, checked byte for byte
// against transcripts the host's code writes (tests/web/relay).
//
// Everything is asynchronous (WebCrypto is). Nothing here does I/O.

const C = Object.freeze({
  ikName: 'Morvane_IK_P256_AESGCM_SHA256',
  xxName: 'Morvane_XX_P256_AESGCM_SHA256',
  ikPattern: 0x49,
  xxPattern: 0x58,
  publicKeyLength: 65,
  tagLength: 16,
  roomIDLength: 16,
  typeIK1: 0x01,
  typeIK2: 0x02,
  typeXX1: 0x11,
  typeXX2: 0x12,
  typeXX3: 0x13,
  typeTransport: 0x20,
  ik1Length: 163,
  ik2Length: 82,
  xx1Length: 98,
  xx2Length: 163,
  xx3BaseLength: 131,
  nameMaxBytes: 160,
  saltLength: 32,
  transportOverhead: 26,
  flagText: 1,
  flagBinary: 2,
  flagClose: 3,
  flagCredit: 4,
  flagMore: 0x80,
  fragmentDataMax: 240000,
  deviceDataMax: 16384,
  messageFromHostMax: 16777216,
  creditAckBytes: 262144,
  maxRecords: 0xFFFFFFFF,
  helloMessage: '{"t":"hello","v":1}',
  enrolledMessage: '{"t":"enrolled"}',
});

// One error type; `word` is the computer's reason word for the same fault.
class ChannelError extends Error {
  constructor(word) {
    super(word);
    this.word = word;
  }
}

const subtle = () => globalThis.crypto.subtle;
const utf8 = new TextEncoder();
const EMPTY = new Uint8Array(0);

function concat(...parts) {
  let n = 0;
  for (const p of parts) n += p.length;
  const out = new Uint8Array(n);
  let at = 0;
  for (const p of parts) { out.set(p, at); at += p.length; }
  return out;
}

function label(text) { return concat(utf8.encode(text), new Uint8Array([0])); }

// Counters stay below 2^32, so a Number holds them exactly.
function bigEndian(value) {
  const out = new Uint8Array(8);
  const view = new DataView(out.buffer);
  view.setUint32(0, Math.floor(value / 0x100000000));
  view.setUint32(4, value >>> 0);
  return out;
}

function readBigEndian(bytes, at) {
  const view = new DataView(bytes.buffer, bytes.byteOffset + at, 8);
  return view.getUint32(0) * 0x100000000 + view.getUint32(4);
}

function nonce(counter) { return concat(new Uint8Array(4), bigEndian(counter)); }

async function sha256(...parts) { return new Uint8Array(await subtle().digest('SHA-256', concat(...parts))); }

// Noise's two-output HKDF is HKDF-SHA-256 with the chaining key as salt, no
// info and 64 bytes of output.
async function hkdf2(chainingKey, inputKeyMaterial) {
  const k = await subtle().importKey('raw', inputKeyMaterial, 'HKDF', false, ['deriveBits']);
  const bits = new Uint8Array(await subtle().deriveBits({ name: 'HKDF', hash: 'SHA-256', salt: chainingKey, info: EMPTY }, k, 512));
  return [bits.slice(0, 32), bits.slice(32)];
}

function aesKey(raw) { return subtle().importKey('raw', raw, { name: 'AES-GCM' }, false, ['encrypt', 'decrypt']); }

async function encrypt(key, counter, associated, plaintext) {
  try {
    return new Uint8Array(await subtle().encrypt({ name: 'AES-GCM', iv: nonce(counter), additionalData: associated, tagLength: 128 }, key, plaintext));
  } catch (e) {
    throw new ChannelError('bad-tag');
  }
}

async function decrypt(key, counter, associated, sealed) {
  if (sealed.length < C.tagLength) throw new ChannelError('bad-tag');
  try {
    return new Uint8Array(await subtle().decrypt({ name: 'AES-GCM', iv: nonce(counter), additionalData: associated, tagLength: 128 }, key, sealed));
  } catch (e) {
    throw new ChannelError('bad-tag');
  }
}

// A 65-byte uncompressed point, or "bad-key".
async function publicKey(bytes) {
  if (!bytes || bytes.length !== C.publicKeyLength || bytes[0] !== 0x04) throw new ChannelError('bad-key');
  try {
    return await subtle().importKey('raw', bytes, { name: 'ECDH', namedCurve: 'P-256' }, true, []);
  } catch (e) {
    throw new ChannelError('bad-key');
  }
}

async function dh(privateKey, theirPublic) {
  try {
    return new Uint8Array(await subtle().deriveBits({ name: 'ECDH', public: theirPublic }, privateKey, 256));
  } catch (e) {
    throw new ChannelError('bad-key');
  }
}

// A key pair as this file uses it: the private CryptoKey (non-extractable
// when it was made here) and the 65 public bytes.
async function generateKeyPair() {
  const pair = await subtle().generateKey({ name: 'ECDH', namedCurve: 'P-256' }, false, ['deriveBits']);
  const publicBytes = new Uint8Array(await subtle().exportKey('raw', pair.publicKey));
  return { privateKey: pair.privateKey, publicBytes };
}

function prologue(pattern, roomID) { return concat(utf8.encode('morvane/1'), new Uint8Array([0, pattern]), roomID); }

function enrolCommit(devicePublicKey, salt, name) {
  return sha256(label('morvane-enrol-commit/1'), devicePublicKey, salt, new Uint8Array([name.length & 0xff]), name);
}

async function sas(handshakeHash) {
  const d = await sha256(label('morvane-sas/1'), handshakeHash);
  const n = new DataView(d.buffer).getUint32(0) % 1000000;
  return String(n).padStart(6, '0');
}

class SymmetricState {
  static async create(name, prologueBytes) {
    const s = new SymmetricState();
    const h = await sha256(utf8.encode(name));
    s.ck = h;
    s.h = await sha256(h, prologueBytes);
    s.k = null;
    s.n = 0;
    return s;
  }

  async mixHash(data) { this.h = await sha256(this.h, data); }

  async mixKey(inputKeyMaterial) {
    const [first, second] = await hkdf2(this.ck, inputKeyMaterial);
    this.ck = first;
    this.k = await aesKey(second);
    this.n = 0;
  }

  async encryptAndHash(plaintext) {
    if (!this.k) { await this.mixHash(plaintext); return plaintext; }
    const c = await encrypt(this.k, this.n, this.h, plaintext);
    this.n += 1;
    await this.mixHash(c);
    return c;
  }

  async decryptAndHash(ciphertext) {
    if (!this.k) { await this.mixHash(ciphertext); return ciphertext; }
    const p = await decrypt(this.k, this.n, this.h, ciphertext);
    this.n += 1;
    await this.mixHash(ciphertext);
    return p;
  }

  // The device sends with the first key and receives with the second.
  async deviceKeys() {
    const [d2m, m2d] = await hkdf2(this.ck, EMPTY);
    return { send: await aesKey(d2m), receive: await aesKey(m2d) };
  }
}

// Runs one step of a handshake: a wrong stage is "bad-state", and any
// failure leaves the handshake failed for good.
async function step(hs, from, to, work) {
  if (hs.stage !== from) { hs.stage = 'failed'; throw new ChannelError('bad-state'); }
  hs.stage = 'busy';
  try {
    const out = await work();
    hs.stage = to;
    return out;
  } catch (e) {
    hs.stage = 'failed';
    hs.state = null;
    throw e instanceof ChannelError ? e : new ChannelError('bad-state');
  }
}

function checkShape(message, length, type) {
  if (!(message instanceof Uint8Array) || message.length !== length) throw new ChannelError('bad-length');
  if (message[0] !== type) throw new ChannelError('bad-state');
}

// A known device opens a session: it knows the computer's static key.
class IKInitiator {
  // staticKey and ephemeral are key pairs (see generateKeyPair); the
  // ephemeral one is made afresh when not given.
  constructor({ staticKey, remoteStatic, roomID, ephemeral }) {
    Object.assign(this, { staticKey, remoteStatic, roomID, ephemeral, stage: 'start', state: null });
  }

  writeMessage1() {
    return step(this, 'start', 'wrote1', async () => {
      const s = await SymmetricState.create(C.ikName, prologue(C.ikPattern, this.roomID));
      await s.mixHash(this.remoteStatic);
      const remote = await publicKey(this.remoteStatic);
      if (!this.ephemeral) this.ephemeral = await generateKeyPair();
      await s.mixHash(this.ephemeral.publicBytes);
      await s.mixKey(await dh(this.ephemeral.privateKey, remote));
      const c1 = await s.encryptAndHash(this.staticKey.publicBytes);
      await s.mixKey(await dh(this.staticKey.privateKey, remote));
      const c2 = await s.encryptAndHash(EMPTY);
      this.state = s;
      return concat(new Uint8Array([C.typeIK1]), this.ephemeral.publicBytes, c1, c2);
    });
  }

  // Returns the transport keys and the handshake hash.
  readMessage2(message) {
    return step(this, 'wrote1', 'done', async () => {
      checkShape(message, C.ik2Length, C.typeIK2);
      const s = this.state;
      const e = message.slice(1, 66);
      const theirs = await publicKey(e);
      await s.mixHash(e);
      await s.mixKey(await dh(this.ephemeral.privateKey, theirs));
      await s.mixKey(await dh(this.staticKey.privateKey, theirs));
      const payload = await s.decryptAndHash(message.slice(66, 82));
      if (payload.length !== 0) throw new ChannelError('bad-length');
      const keys = await s.deviceKeys();
      this.state = null;
      this.ephemeral = null;
      return { keys, handshakeHash: s.h };
    });
  }
}

// A new device enrols: it commits to its key, salt and name before it
// learns anything of the computer's keys.
class XXInitiator {
  constructor({ staticKey, roomID, name, salt, ephemeral }) {
    Object.assign(this, { staticKey, roomID, name, salt, ephemeral, stage: 'start', state: null, commit: null, macEphemeral: null });
  }

  writeMessage1() {
    return step(this, 'start', 'wrote1', async () => {
      if (this.name.length < 1 || this.name.length > C.nameMaxBytes || this.salt.length !== C.saltLength) throw new ChannelError('bad-length');
      const s = await SymmetricState.create(C.xxName, prologue(C.xxPattern, this.roomID));
      if (!this.ephemeral) this.ephemeral = await generateKeyPair();
      this.commit = await enrolCommit(this.staticKey.publicBytes, this.salt, this.name);
      await s.mixHash(this.ephemeral.publicBytes);
      await s.encryptAndHash(this.commit);
      this.state = s;
      return concat(new Uint8Array([C.typeXX1]), this.ephemeral.publicBytes, this.commit);
    });
  }

  // Returns the computer's static key as it arrived (65 bytes).
  readMessage2(message) {
    return step(this, 'wrote1', 'read2', async () => {
      checkShape(message, C.xx2Length, C.typeXX2);
      const s = this.state;
      const e = message.slice(1, 66);
      this.macEphemeral = await publicKey(e);
      await s.mixHash(e);
      await s.mixKey(await dh(this.ephemeral.privateKey, this.macEphemeral));
      const macStatic = await s.decryptAndHash(message.slice(66, 147));
      const macKey = await publicKey(macStatic);
      await s.mixKey(await dh(this.ephemeral.privateKey, macKey));
      const payload = await s.decryptAndHash(message.slice(147, 163));
      if (payload.length !== 0) throw new ChannelError('bad-length');
      return macStatic;
    });
  }

  // Returns message 3, the transport keys and the handshake hash, whose
  // six-digit code the computer's owner must see too.
  writeMessage3() {
    return step(this, 'read2', 'done', async () => {
      const s = this.state;
      const c1 = await s.encryptAndHash(this.staticKey.publicBytes);
      await s.mixKey(await dh(this.staticKey.privateKey, this.macEphemeral));
      const c2 = await s.encryptAndHash(concat(this.salt, new Uint8Array([this.name.length & 0xff]), this.name));
      const keys = await s.deviceKeys();
      this.state = null;
      this.ephemeral = null;
      this.macEphemeral = null;
      return { record: concat(new Uint8Array([C.typeXX3]), c1, c2), keys, handshakeHash: s.h, code: await sas(s.h) };
    });
  }
}

// Seals the device's records. Counters are taken when a seal is asked for,
// so callers that seal several records must send them in the order asked.
class TransportSender {
  constructor(key) {
    this.key = key;
    this.count = 0;
  }

  seal(flags, data) {
    if (!this.key) return Promise.reject(new ChannelError('bad-state'));
    if (this.count >= C.maxRecords) return Promise.reject(new ChannelError('counter'));
    const counter = this.count;
    this.count += 1;
    const header = concat(new Uint8Array([C.typeTransport]), bigEndian(counter));
    const plaintext = concat(new Uint8Array([flags]), data || EMPTY);
    return encrypt(this.key, counter, header, plaintext).then((sealed) => concat(header, sealed));
  }

  // One message of the device: the computer takes one record per message,
  // of at most 16,384 data bytes.
  message(kind, body) {
    if (kind !== C.flagText && kind !== C.flagBinary) return Promise.reject(new ChannelError('bad-flags'));
    if (body.length > C.deviceDataMax) return Promise.reject(new ChannelError('too-large'));
    return this.seal(kind, body);
  }

  credit(count) { return this.seal(C.flagCredit, bigEndian(count)); }
  close() { return this.seal(C.flagClose, EMPTY); }
  discard() { this.key = null; }
}

// Opens the computer's records at the device's end, strictly in order. The
// counter is checked and advanced when the open is asked for; any failure
// ends the direction.
class TransportReceiver {
  constructor(key) {
    this.key = key;
    this.expected = 0;
  }

  open(record) {
    return this.check(record).catch((e) => {
      this.key = null;
      throw e instanceof ChannelError ? e : new ChannelError('bad-state');
    });
  }

  async check(record) {
    if (!this.key) throw new ChannelError('bad-state');
    if (record.length > C.fragmentDataMax + C.transportOverhead) throw new ChannelError('too-large');
    if (record.length === 0 || record[0] !== C.typeTransport) throw new ChannelError('bad-state');
    if (record.length < C.transportOverhead) throw new ChannelError('bad-tag');
    const counter = readBigEndian(record, 1);
    if (counter !== this.expected || counter >= C.maxRecords) throw new ChannelError('counter');
    this.expected = counter + 1;
    const key = this.key;
    const plaintext = await decrypt(key, counter, record.subarray(0, 9), record.subarray(9));
    const flags = plaintext[0];
    const data = plaintext.slice(1);
    const ok = flags === C.flagText || flags === C.flagBinary || flags === (C.flagText | C.flagMore)
      || flags === (C.flagBinary | C.flagMore) || (flags === C.flagClose && data.length === 0);
    if (!ok) throw new ChannelError('bad-flags');
    return { flags, data };
  }

  discard() { this.key = null; }
}

// Puts the computer's fragments back together.
class Reassembler {
  constructor(limit, fragmentSize = C.fragmentDataMax) {
    Object.assign(this, { limit, fragmentSize, kind: 0, parts: [], size: 0, failed: false });
  }

  get inProgress() { return this.kind !== 0; }

  // The whole message ({kind, message}) or null while it is incomplete.
  add(flags, data) {
    try {
      return this.addChecked(flags, data);
    } catch (e) {
      this.failed = true;
      this.kind = 0;
      this.parts = [];
      this.size = 0;
      throw e;
    }
  }

  addChecked(flags, data) {
    if (this.failed) throw new ChannelError('bad-state');
    const k = flags & ~C.flagMore;
    const more = (flags & C.flagMore) !== 0;
    if (k !== C.flagText && k !== C.flagBinary) throw new ChannelError('bad-flags');
    if (this.kind !== 0 && this.kind !== k) throw new ChannelError('bad-flags');
    if (more && data.length !== this.fragmentSize) throw new ChannelError('bad-length');
    if (!more && this.kind !== 0 && data.length === 0) throw new ChannelError('bad-length');
    if (data.length > this.fragmentSize) throw new ChannelError('too-large');
    if (this.size + data.length > this.limit) throw new ChannelError('too-large');
    if (more) {
      this.kind = k;
      this.parts.push(data);
      this.size += data.length;
      return null;
    }
    if (this.kind === 0) return { kind: k, message: data };
    const message = concat(...this.parts, data);
    this.kind = 0;
    this.parts = [];
    this.size = 0;
    return { kind: k, message };
  }
}

module.exports = {
  SECURE: C,
  ChannelError,
  concat,
  generateKeyPair,
  publicKey,
  sas,
  enrolCommit,
  IKInitiator,
  XXInitiator,
  TransportSender,
  TransportReceiver,
  Reassembler,
};
