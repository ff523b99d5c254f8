'use strict';
// This device's keys for each computer it was added to, in IndexedDB (so,
// per relay origin), one record per room: the device's P-256 key pair, whose
// private key WebCrypto made non-extractable and stores as it is, and the
// computer's static public key learnt at enrolment. Forgetting a computer
// deletes its record.

const DB_NAME = 'morvane-relay';
const STORE = 'computers';

function request(r) {
  return new Promise((resolve, reject) => {
    r.onsuccess = () => resolve(r.result);
    r.onerror = () => reject(r.error);
  });
}

let opened = null;
function open() {
  if (!opened) {
    const r = indexedDB.open(DB_NAME, 1);
    r.onupgradeneeded = () => { r.result.createObjectStore(STORE, { keyPath: 'room' }); };
    opened = request(r).catch((e) => { opened = null; throw e; });
  }
  return opened;
}

async function run(mode, work) {
  const db = await open();
  const tx = db.transaction(STORE, mode);
  const result = await request(work(tx.objectStore(STORE)));
  await new Promise((resolve, reject) => {
    tx.oncomplete = resolve;
    tx.onerror = () => reject(tx.error);
    tx.onabort = () => reject(tx.error);
  });
  return result;
}

// A stored record is used only when every part has its shape; anything
// else counts as not added.
function usable(rec) {
  return !!rec && rec.privateKey && typeof rec.privateKey === 'object' && rec.publicBytes instanceof Uint8Array
    && rec.publicBytes.length === 65 && rec.macKey instanceof Uint8Array && rec.macKey.length === 65;
}

module.exports = {
  // { room, privateKey, publicBytes, macKey, deviceName } or null.
  async load(room) {
    const rec = await run('readonly', (s) => s.get(room));
    return usable(rec) ? rec : null;
  },
  async rooms() { return run('readonly', (s) => s.getAllKeys()); },
  save(rec) { return run('readwrite', (s) => s.put(rec)); },
  forget(room) { return run('readwrite', (s) => s.delete(room)); },
};
