'use strict';
// The browser's channel against the host's: the transcripts the host's code
// wrote from fixed keys (morvane-channel-transcripts, run first by CTest)
// must come out of the page's code byte for byte, and the host's records
// must open in it. Node's WebCrypto stands in for the browser's.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');

const sc = require('../../../src/relay_service/web/client/secure_channel.js');

const { SECURE } = sc;
const transcriptsPath = process.env.MORVANE_CHANNEL_TRANSCRIPTS
  || path.join(process.env.MORVANE_BUILD_DIR || path.join(__dirname, '../../../build'), 'channel-transcripts.json');
const T = JSON.parse(fs.readFileSync(transcriptsPath, 'utf8'));

const hex = (s) => Uint8Array.from(Buffer.from(s, 'hex'));
const toHex = (b) => Buffer.from(b).toString('hex');
const b64url = (b) => Buffer.from(b).toString('base64url');
const room = hex(T.room);

// Fixed keys go in as JWK, the one form WebCrypto imports a P-256 private
// scalar from.
async function keyPair(k) {
  const pub = hex(k.public);
  const jwk = { kty: 'EC', crv: 'P-256', d: b64url(hex(k.private)), x: b64url(pub.slice(1, 33)), y: b64url(pub.slice(33)) };
  const privateKey = await crypto.subtle.importKey('jwk', jwk, { name: 'ECDH', namedCurve: 'P-256' }, false, ['deriveBits']);
  return { privateKey, publicBytes: pub };
}

function pattern(size, seed) {
  const out = new Uint8Array(size);
  for (let i = 0; i < size; i += 1) out[i] = (i * 7 + seed) % 251;
  return out;
}

async function word(promiseOrFn) {
  try {
    await (typeof promiseOrFn === 'function' ? promiseOrFn() : promiseOrFn);
  } catch (e) {
    return e.word || String(e);
  }
  return '';
}

function flipped(bytes, at) {
  const out = Uint8Array.from(bytes);
  out[at] ^= 0x01;
  return out;
}

async function ikSession() {
  const ik = T.ik;
  const initiator = new sc.IKInitiator({
    staticKey: await keyPair(ik.deviceStatic), remoteStatic: hex(ik.macStatic.public), roomID: room, ephemeral: await keyPair(ik.deviceEphemeral),
  });
  const message1 = await initiator.writeMessage1();
  const result = await initiator.readMessage2(hex(ik.message2));
  return { initiator, message1, ...result };
}

test('an IK session is the host\'s byte for byte: message 1, the handshake hash and every record the device seals', async () => {
  const s = await ikSession();
  assert.equal(toHex(s.message1), T.ik.message1);
  assert.equal(s.message1.length, SECURE.ik1Length);
  assert.equal(toHex(s.handshakeHash), T.ik.handshakeHash);

  const sender = new sc.TransportSender(s.keys.send);
  const enc = new TextEncoder();
  assert.equal(toHex(await sender.message(SECURE.flagText, enc.encode(SECURE.helloMessage))), T.ik.toMac.hello);
  assert.equal(toHex(await sender.message(SECURE.flagBinary, hex(T.ik.toMac.binaryBody))), T.ik.toMac.binary);
  assert.equal(toHex(await sender.credit(T.ik.toMac.creditCount)), T.ik.toMac.credit);
  assert.equal(toHex(await sender.close()), T.ik.toMac.close);
});

test('the host\'s records open and reassemble at the device: a text, a fragmented binary message, an empty text, the close', async () => {
  const s = await ikSession();
  const receiver = new sc.TransportReceiver(s.keys.receive);
  const reassembler = new sc.Reassembler(SECURE.messageFromHostMax);
  const got = [];
  for (const r of T.ik.toDevice.records) {
    const { flags, data } = await receiver.open(hex(r));
    if (flags === SECURE.flagClose) { got.push({ close: true }); continue; }
    const m = reassembler.add(flags, data);
    if (m) got.push(m);
  }
  assert.equal(got.length, 4);
  assert.equal(got[0].kind, SECURE.flagText);
  assert.equal(new TextDecoder().decode(got[0].message), T.ik.toDevice.readyText);
  assert.equal(got[1].kind, SECURE.flagBinary);
  assert.deepEqual(got[1].message, pattern(T.ik.toDevice.bigSize, T.ik.toDevice.bigSeed));
  assert.deepEqual(got[2], { kind: SECURE.flagText, message: new Uint8Array(0) });
  assert.deepEqual(got[3], { close: true });
});

test('a changed byte anywhere in the host\'s messages or records is refused', async () => {
  const ik = T.ik;
  // Message 2: the type byte, the ephemeral key, the payload tag.
  const cases = [
    { at: 0, word: 'bad-state' },
    { at: 10, word: 'bad-key' },
    { at: 70, word: 'bad-tag' },
    { at: 81, word: 'bad-tag' },
  ];
  for (const c of cases) {
    const initiator = new sc.IKInitiator({
      staticKey: await keyPair(ik.deviceStatic), remoteStatic: hex(ik.macStatic.public), roomID: room, ephemeral: await keyPair(ik.deviceEphemeral),
    });
    await initiator.writeMessage1();
    const w = await word(initiator.readMessage2(flipped(hex(ik.message2), c.at)));
    // A flipped bit in the key may still be a point on the curve by chance;
    // it can then only fail at the tag.
    assert.ok(w === c.word || (c.word === 'bad-key' && w === 'bad-tag'), `byte ${c.at}: ${w}`);
    assert.equal(await word(initiator.readMessage2(hex(ik.message2))), 'bad-state', 'a failed handshake stays failed');
  }

  const s = await ikSession();
  const first = hex(ik.toDevice.records[0]);
  // Header (counter), flags inside the ciphertext, the tag.
  for (const at of [1, 8, 9, first.length - 1]) {
    const receiver = new sc.TransportReceiver(s.keys.receive);
    const w = await word(receiver.open(flipped(first, at)));
    assert.ok(w === 'bad-tag' || w === 'counter', `record byte ${at}: ${w}`);
    assert.equal(await word(receiver.open(first)), 'bad-state', 'one bad record ends the direction');
  }
});

test('the device\'s receiver takes records strictly in order and only what the host may send', async () => {
  const s = await ikSession();
  const records = T.ik.toDevice.records.map(hex);
  const rows = [
    { name: 'replay', feed: [records[0], records[0]], word: 'counter' },
    { name: 'gap', feed: [records[1]], word: 'counter' },
    { name: 'wrong type byte', feed: [Uint8Array.of(0x21, ...records[0].slice(1))], word: 'bad-state' },
    { name: 'empty', feed: [new Uint8Array(0)], word: 'bad-state' },
    { name: 'shorter than a tag', feed: [records[0].slice(0, 25)], word: 'bad-tag' },
    { name: 'over a record\'s size', feed: [new Uint8Array(SECURE.fragmentDataMax + SECURE.transportOverhead + 1)], word: 'too-large' },
  ];
  for (const row of rows) {
    const receiver = new sc.TransportReceiver(s.keys.receive);
    let w = '';
    for (const r of row.feed) {
      w = await word(receiver.open(r));
      if (w) break;
    }
    assert.equal(w, row.word, row.name);
  }
  // A device never accepts a credit record: only the computer's end does.
  const sender = new sc.TransportSender(s.keys.receive);
  const credit = await sender.credit(1);
  assert.equal(await word(new sc.TransportReceiver(s.keys.receive).open(credit)), 'bad-flags');
});

test('the reassembler refuses what the host never sends', () => {
  const frag = new Uint8Array(10);
  const rows = [
    { name: 'a whole message at once', feed: [[0x01, new Uint8Array(3)]], out: { kind: 1, size: 3 } },
    { name: 'short fragment', feed: [[0x81, new Uint8Array(9)]], word: 'bad-length' },
    { name: 'kind changes', feed: [[0x81, frag], [0x02, new Uint8Array(1)]], word: 'bad-flags' },
    { name: 'an empty last record', feed: [[0x81, frag], [0x01, new Uint8Array(0)]], word: 'bad-length' },
    { name: 'whole message', feed: [[0x82, frag], [0x82, frag], [0x02, new Uint8Array(5)]], out: { kind: 2, size: 25 } },
    { name: 'over the limit', feed: [[0x82, frag], [0x82, frag], [0x82, frag], [0x02, new Uint8Array(1)]], word: 'too-large' },
    { name: 'credit flags', feed: [[0x04, new Uint8Array(8)]], word: 'bad-flags' },
    { name: 'longer than a fragment', feed: [[0x01, new Uint8Array(11)]], word: 'too-large' },
  ];
  for (const row of rows) {
    const r = new sc.Reassembler(30, 10);
    let out = null;
    let w = '';
    for (const [flags, data] of row.feed) {
      try { out = r.add(flags, data); } catch (e) { w = e.word; break; }
    }
    if (row.word) {
      assert.equal(w, row.word, row.name);
      assert.throws(() => r.add(0x01, new Uint8Array(1)), (e) => e.word === 'bad-state', `${row.name}: failure is final`);
    } else {
      assert.equal(out.kind, row.out.kind, row.name);
      assert.equal(out.message.length, row.out.size, row.name);
    }
  }
});

test('the device never sends what the computer refuses: over-long messages and other kinds', async () => {
  const s = await ikSession();
  const sender = new sc.TransportSender(s.keys.send);
  assert.equal(await word(sender.message(SECURE.flagBinary, new Uint8Array(SECURE.deviceDataMax + 1))), 'too-large');
  assert.equal(await word(sender.message(SECURE.flagCredit, new Uint8Array(8))), 'bad-flags');
  assert.equal(sender.count, 0, 'a refused message takes no counter');
  sender.discard();
  assert.equal(await word(sender.close()), 'bad-state');
});

test('an XX enrolment is the host\'s byte for byte, with the same six-digit code and the enrolled record opening', async () => {
  const xx = T.xx;
  const initiator = new sc.XXInitiator({
    staticKey: await keyPair(xx.deviceStatic), roomID: room, name: hex(xx.name), salt: hex(xx.salt), ephemeral: await keyPair(xx.deviceEphemeral),
  });
  const message1 = await initiator.writeMessage1();
  assert.equal(toHex(message1), xx.message1);
  const macKey = await initiator.readMessage2(hex(xx.message2));
  assert.equal(toHex(macKey), xx.macStatic.public);
  const m3 = await initiator.writeMessage3();
  assert.equal(toHex(m3.record), xx.message3);
  assert.equal(toHex(m3.handshakeHash), xx.handshakeHash);
  assert.equal(m3.code, xx.code);
  assert.match(m3.code, /^\d{6}$/);

  const opened = await new sc.TransportReceiver(m3.keys.receive).open(hex(xx.enrolled));
  assert.equal(opened.flags, SECURE.flagText);
  assert.equal(new TextDecoder().decode(opened.data), SECURE.enrolledMessage);
});

test('an XX enrolment refuses a changed message 2 and a name the computer would refuse', async () => {
  const xx = T.xx;
  for (const at of [0, 100, 150, 162]) {
    const initiator = new sc.XXInitiator({
      staticKey: await keyPair(xx.deviceStatic), roomID: room, name: hex(xx.name), salt: hex(xx.salt), ephemeral: await keyPair(xx.deviceEphemeral),
    });
    await initiator.writeMessage1();
    const w = await word(initiator.readMessage2(flipped(hex(xx.message2), at)));
    assert.equal(w, at === 0 ? 'bad-state' : 'bad-tag', `byte ${at}`);
    assert.equal(await word(initiator.writeMessage3()), 'bad-state');
  }
  for (const name of [new Uint8Array(0), new Uint8Array(SECURE.nameMaxBytes + 1)]) {
    const initiator = new sc.XXInitiator({ staticKey: await keyPair(xx.deviceStatic), roomID: room, name, salt: hex(xx.salt) });
    assert.equal(await word(initiator.writeMessage1()), 'bad-length');
  }
});

test('keys made in the page are P-256, non-extractable, and agree with a peer', async () => {
  const a = await sc.generateKeyPair();
  const b = await sc.generateKeyPair();
  assert.equal(a.publicBytes.length, 65);
  assert.equal(a.publicBytes[0], 4);
  assert.equal(a.privateKey.extractable, false);
  await assert.rejects(crypto.subtle.exportKey('pkcs8', a.privateKey));
  for (const bad of [new Uint8Array(64), Uint8Array.of(2, ...a.publicBytes.slice(1)), new Uint8Array(65).fill(4)]) {
    assert.equal(await word(sc.publicKey(bad)), 'bad-key');
  }
  assert.ok(await sc.publicKey(b.publicBytes));
});
