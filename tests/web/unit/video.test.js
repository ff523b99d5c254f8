'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const {
  encodeVideoWant, normalizePicturePref, parseVideoAnnounce, parseVideoHeader, pictureStatus, videoMaxSize,
  videoStart, videoStep,
} = require('../../../src/web/client/video.js');

// Feeds events in order and gathers every output; `at` stamps each event.
function machine(pref = 'auto') {
  const m = { state: videoStart(pref), last: null };
  m.step = (ev) => {
    m.last = videoStep(m.state, ev);
    m.state = m.last.state;
    return m.last.out.map((a) => a.type);
  };
  // Drives the machine from a fresh session to the computer's announce.
  m.announce = (now = 0, w = 1280, h = 800) => {
    m.step({ type: 'ready', capable: true, now });
    m.step({ type: 'probe', ok: true, now });
    m.step({ type: 'server', msg: { t: 'video', mode: 'h264', codec: 'avc1.42E01E', w, h }, now });
  };
  // ... and on to live with the given codec.
  m.goLive = (now = 0) => {
    m.announce(now);
    m.step({ type: 'configured', ok: true, gen: m.state.gen, now });
  };
  // A keyframe fed and painted.
  m.picture = (now) => {
    m.step({ type: 'chunk', bad: false, key: true, ts: 0, queue: 0, now });
    m.step({ type: 'paint', ts: 0, now });
  };
  return m;
}

function header(bytes) { return new Uint8Array(bytes).buffer; }

test('video messages are readable only with a whole header, a safe time stamp and a start code', () => {
  const good = [2, 1, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 1, 0x65];
  assert.deepEqual(parseVideoHeader(header(good)), { key: true, ts: 4294967298, offset: 10 });
  assert.deepEqual(parseVideoHeader(header([2, 0, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 1, 0x41])), { key: false, ts: 5, offset: 10 });
  assert.equal(parseVideoHeader(header(good.slice(0, 13))), null, '13 bytes are too few');
  assert.equal(parseVideoHeader(header([2, 1, 0, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1])), null, 'a high word of 0x200000 loses precision');
  assert.deepEqual(parseVideoHeader(header([2, 1, 0, 0x1f, 0xff, 0xff, 0, 0, 0, 0, 0, 0, 0, 1])).ts, 0x1FFFFF * 4294967296);
  assert.equal(parseVideoHeader(header([2, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 1])), null, 'no start code');
  assert.equal(parseVideoHeader(header([2, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1])), null);
  assert.equal(parseVideoHeader(header([1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1])), null);
});

test('announcements and requests are only taken in their exact shapes', () => {
  assert.deepEqual(parseVideoAnnounce({ t: 'video', mode: 'jpeg' }), { mode: 'jpeg' });
  assert.deepEqual(parseVideoAnnounce({ t: 'video', mode: 'h264', codec: 'avc1.64001f', w: 1920, h: 1080 }),
    { mode: 'h264', codec: 'avc1.64001f', w: 1920, h: 1080 });
  assert.equal(parseVideoAnnounce({ t: 'video', mode: 'h264', codec: 'hvc1.1.6', w: 1920, h: 1080 }), null);
  assert.equal(parseVideoAnnounce({ t: 'video', mode: 'h264', codec: 'avc1.64001f', w: 8193, h: 1080 }), null);
  assert.equal(parseVideoAnnounce({ t: 'video', mode: 'h264', codec: 'avc1.64001f', w: 1920.5, h: 1080 }), null);
  assert.equal(parseVideoAnnounce({ t: 'audio', mode: 'jpeg' }), null);
  assert.deepEqual(videoMaxSize(390, 844, 3, true), { maxW: 1920, maxH: 1920 });
  assert.deepEqual(videoMaxSize(700, 500, 1, false), { maxW: 1280, maxH: 1280 });
  assert.deepEqual(videoMaxSize(1441, 900, 1.5, false), { maxW: 2162, maxH: 2162 });
  assert.deepEqual(videoMaxSize(undefined, 1000, NaN, false), { maxW: 1280, maxH: 1280 });
  assert.equal(encodeVideoWant('h264', 1920.4, 1920), '{"t":"video","want":"h264","maxW":1920,"maxH":1920}');
  assert.equal(encodeVideoWant('h264', 15, 1920), null);
  assert.equal(encodeVideoWant('jpeg'), '{"t":"video","want":"jpeg"}');
  assert.equal(encodeVideoWant('vp9', 100, 100), null);
  assert.deepEqual(['video', 'still', 'other', undefined].map(normalizePicturePref), ['video', 'still', 'auto', 'auto']);
});

test('a session starts on pictures, probes the browser and asks the computer for video', () => {
  const m = machine();
  assert.deepEqual(m.step({ type: 'ready', capable: true, now: 0 }), ['probe']);
  assert.deepEqual(m.step({ type: 'probe', ok: true, now: 5 }), ['want-h264']);
  assert.equal(m.state.phase, 'asked');
  assert.equal(pictureStatus(m.state).text, 'Starting video. Still pictures until it is ready.');
  // No answer for 3 s: still pictures, and the note says the computer offers none.
  m.step({ type: 'tick', alive: true, now: 3005 });
  assert.equal(m.state.note, 'no-offer');
  assert.equal(pictureStatus(m.state).text, 'Using still pictures: the computer is not offering video.');
  assert.equal(pictureStatus(m.state).retry, false, 'no retry while the request is still out');
  // A browser that can't decode never asks.
  const n = machine();
  assert.deepEqual(n.step({ type: 'ready', capable: false, now: 0 }), []);
  assert.equal(pictureStatus(n.state).text, 'Using still pictures: this browser or address does not support video.');
  const p = machine();
  p.step({ type: 'ready', capable: true, now: 0 });
  assert.deepEqual(p.step({ type: 'probe', ok: false, now: 1 }), []);
  assert.equal(p.state.can, false);
  // Still pictures never tries.
  const s = machine('still');
  assert.deepEqual(s.step({ type: 'ready', capable: true, now: 0 }), []);
});

test('the computer confirming a JPEG request is neither "no offer" nor "the computer gave up"', () => {
  const m = machine();
  m.goLive();
  // The user picks still pictures: the page asks for JPEG, the computer confirms.
  assert.deepEqual(m.step({ type: 'pref', value: 'still', now: 10 }), ['want-jpeg', 'close']);
  m.step({ type: 'server', msg: { t: 'video', mode: 'jpeg' }, now: 20 });
  assert.equal(m.state.failed, '');
  assert.equal(m.state.note, '');
  assert.equal(pictureStatus(m.state).text, 'Using still pictures.');
  // Back to auto, asked again; this time the computer answers with JPEG: no offer.
  m.step({ type: 'pref', value: 'auto', now: 30 });
  m.step({ type: 'probe', ok: true, now: 31 });
  m.step({ type: 'server', msg: { t: 'video', mode: 'jpeg' }, now: 40 });
  assert.equal(m.state.note, 'no-offer');
  assert.equal(pictureStatus(m.state).retry, true);
  // While live, an unasked JPEG announcement means the computer's encoder gave up.
  const h = machine();
  h.goLive();
  assert.deepEqual(h.step({ type: 'server', msg: { t: 'video', mode: 'jpeg' }, now: 50 }), ['close']);
  assert.equal(h.state.failed, 'host');
  assert.equal(pictureStatus(h.state).text, 'The computer stopped sending video, so this is using still pictures.');
  // Auto remembers the failure on the next connection; Smooth video does not.
  h.step({ type: 'closed', now: 60 });
  assert.deepEqual(h.step({ type: 'ready', capable: true, now: 70 }), []);
  h.step({ type: 'pref', value: 'video', now: 80 });
  assert.equal(h.state.phase, 'probing');
});

test('a keyframe arriving while the decoder is built is held with what follows and fed once ready', () => {
  const m = machine();
  m.step({ type: 'ready', capable: true, now: 0 });
  m.step({ type: 'probe', ok: true, now: 0 });
  assert.deepEqual(m.step({ type: 'server', msg: { t: 'video', mode: 'h264', codec: 'avc1.42E01E', w: 1280, h: 800 }, now: 10 }), ['configure']);
  m.step({ type: 'chunk', bad: false, key: false, ts: 1, queue: 0, now: 11 });
  assert.equal(m.last.hold, 'drop', 'a delta with no keyframe before it is not kept');
  m.step({ type: 'chunk', bad: false, key: true, ts: 2000, queue: 0, now: 12 });
  assert.equal(m.last.hold, 'key');
  for (let i = 0; i < 29; i++) {
    m.step({ type: 'chunk', bad: false, key: false, ts: 3000 + i, queue: 0, now: 13 });
    assert.equal(m.last.hold, 'add');
  }
  assert.equal(m.state.held, 30);
  const out = m.step({ type: 'configured', ok: true, gen: m.state.gen, now: 20 });
  assert.deepEqual(out, ['feed-held'], 'no keyframe is asked for');
  assert.equal(m.last.out[0].count, 30);
  assert.equal(m.state.phase, 'live');
  assert.equal(m.state.needKey, false);
  // One more than 30 while configuring drops everything and asks once live.
  const n = machine();
  n.step({ type: 'ready', capable: true, now: 0 });
  n.step({ type: 'probe', ok: true, now: 0 });
  n.step({ type: 'server', msg: { t: 'video', mode: 'h264', codec: 'avc1.42E01E', w: 1280, h: 800 }, now: 0 });
  n.step({ type: 'chunk', bad: false, key: true, ts: 1, queue: 0, now: 1 });
  for (let i = 0; i < 30; i++) n.step({ type: 'chunk', bad: false, key: false, ts: 2, queue: 0, now: 1 });
  assert.equal(n.last.hold, 'drop');
  assert.deepEqual(n.step({ type: 'configured', ok: true, gen: n.state.gen, now: 5 }), ['keyframe']);
  // An answer for an older decoder generation is ignored.
  assert.deepEqual(n.step({ type: 'configured', ok: false, gen: n.state.gen - 1, now: 6 }), []);
});

test('a decoder falling behind skips to the next keyframe instead of queueing deltas', () => {
  const m = machine();
  m.goLive(0);
  // The computer sends a keyframe on its own after announcing; none is asked.
  m.step({ type: 'chunk', bad: false, key: true, ts: 0, queue: 0, now: 100 });
  assert.equal(m.last.decode, true);
  m.step({ type: 'chunk', bad: false, key: false, ts: 33000, queue: 3, now: 133 });
  assert.equal(m.last.decode, true);
  assert.deepEqual(m.step({ type: 'chunk', bad: false, key: false, ts: 66000, queue: 4, now: 166 }), ['keyframe']);
  assert.equal(m.last.decode, false);
  assert.equal(m.state.needKey, true);
  // Deltas are not decoded until the keyframe; asks are at most once a second.
  assert.deepEqual(m.step({ type: 'chunk', bad: false, key: false, ts: 99000, queue: 0, now: 500 }), []);
  assert.deepEqual(m.step({ type: 'chunk', bad: false, key: false, ts: 99000, queue: 0, now: 1166 }), ['keyframe']);
  m.step({ type: 'chunk', bad: false, key: true, ts: 132000, queue: 0, now: 1200 });
  assert.equal(m.last.decode, true);
  // An unreadable message while live asks for a keyframe too.
  m.step({ type: 'chunk', bad: true, key: false, ts: 0, queue: 0, now: 2300 });
  assert.equal(m.state.needKey, true);
  assert.deepEqual(m.last.out.map((a) => a.type), ['keyframe']);
});

test('decoder errors rebuild once; a second within ten seconds ends video', () => {
  const m = machine();
  m.goLive(0);
  assert.deepEqual(m.step({ type: 'error', fatal: false, now: 1000 }), ['configure']);
  m.step({ type: 'configured', ok: true, gen: m.state.gen, now: 1100 });
  assert.deepEqual(m.last.out.map((a) => a.type), ['keyframe'], 'a rebuilt decoder asks for a keyframe');
  assert.deepEqual(m.step({ type: 'error', fatal: false, now: 10000 }), ['want-jpeg', 'close']);
  assert.equal(m.state.failed, 'error');
  assert.equal(pictureStatus(m.state).text, 'Switched to still pictures after a video problem.');
  const n = machine();
  n.goLive(0);
  assert.deepEqual(n.step({ type: 'error', fatal: false, now: 1000 }), ['configure']);
  n.step({ type: 'configured', ok: true, gen: n.state.gen, now: 1100 });
  assert.deepEqual(n.step({ type: 'error', fatal: false, now: 12000 }), ['configure']);
  assert.equal(n.state.failed, '');
  const f = machine();
  f.goLive(0);
  assert.deepEqual(f.step({ type: 'error', fatal: true, now: 1 }), ['want-jpeg', 'close']);
});

test('video that stops painting or falls behind goes back to pictures, but a dead socket is not blamed', () => {
  const m = machine();
  m.goLive(0);
  m.step({ type: 'chunk', bad: false, key: true, ts: 0, queue: 0, now: 10 });
  m.step({ type: 'paint', ts: 0, now: 20 });
  assert.equal(pictureStatus(m.state).text, 'Smooth video is on.');
  // A frame fed at 100 ms never paints: 500 ms later video has stalled.
  m.step({ type: 'chunk', bad: false, key: false, ts: 90000, queue: 0, now: 100 });
  assert.deepEqual(m.step({ type: 'tick', alive: true, now: 550 }), []);
  assert.deepEqual(m.step({ type: 'tick', alive: true, now: 600 }), ['want-jpeg', 'close']);
  assert.equal(m.state.failed, 'stalled');
  // Same wait with a silent socket: the clocks move on instead.
  const n = machine();
  n.goLive(0);
  n.step({ type: 'chunk', bad: false, key: true, ts: 0, queue: 0, now: 10 });
  n.step({ type: 'paint', ts: 0, now: 20 });
  n.step({ type: 'chunk', bad: false, key: false, ts: 90000, queue: 0, now: 100 });
  assert.deepEqual(n.step({ type: 'tick', alive: false, now: 5000 }), []);
  assert.deepEqual(n.step({ type: 'tick', alive: true, now: 5250 }), []);
  assert.equal(n.state.phase, 'live');
  // Lagging 1.5 s behind the quickest frame for 4 s is "slow".
  const s = machine();
  s.goLive(0);
  s.step({ type: 'chunk', bad: false, key: true, ts: 0, queue: 0, now: 0 });
  s.step({ type: 'paint', ts: 0, now: 10 });
  let t = 0;
  for (let i = 1; i <= 60 && s.state.phase === 'live'; i++) {
    t = i * 100;
    s.step({ type: 'chunk', bad: false, key: false, ts: t * 1000, queue: 0, now: t + 10 });
    s.step({ type: 'paint', ts: t * 1000, now: t + 1600 });
  }
  assert.equal(s.state.failed, 'slow');
  assert.equal(pictureStatus(s.state).text, 'Switched to still pictures because video was falling behind.');
  // Configuring that never finishes is unsupported after 3 s.
  const c = machine();
  c.step({ type: 'ready', capable: true, now: 0 });
  c.step({ type: 'probe', ok: true, now: 0 });
  c.step({ type: 'server', msg: { t: 'video', mode: 'h264', codec: 'avc1.42E01E', w: 1280, h: 800 }, now: 0 });
  assert.deepEqual(c.step({ type: 'tick', alive: true, now: 3000 }), ['want-jpeg', 'close']);
  assert.equal(c.state.failed, 'unsupported');
});

test('a hidden page decodes nothing and judges nothing; coming back rebuilds the decoder', () => {
  const m = machine();
  m.goLive(0);
  m.step({ type: 'hidden', now: 100 });
  m.step({ type: 'chunk', bad: false, key: true, ts: 0, queue: 0, now: 200 });
  assert.equal(m.last.decode, false);
  assert.equal(m.last.hold, 'drop');
  assert.deepEqual(m.step({ type: 'tick', alive: true, now: 60000 }), []);
  assert.equal(m.state.phase, 'live');
  const gen = m.state.gen;
  assert.deepEqual(m.step({ type: 'visible', now: 60100 }), ['configure']);
  assert.equal(m.state.gen, gen + 1);
  m.step({ type: 'configured', ok: true, gen: m.state.gen, now: 60200 });
  assert.deepEqual(m.last.out.map((a) => a.type), ['keyframe']);
  // Visible without having been hidden changes nothing.
  assert.deepEqual(m.step({ type: 'visible', now: 60300 }), []);
});

test('video nobody asked for is refused, at most once a second', () => {
  const m = machine('still');
  m.step({ type: 'ready', capable: true, now: 0 });
  assert.deepEqual(m.step({ type: 'chunk', bad: false, key: true, ts: 0, queue: 0, now: 10 }), ['want-jpeg']);
  assert.deepEqual(m.step({ type: 'chunk', bad: false, key: false, ts: 0, queue: 0, now: 500 }), []);
  assert.deepEqual(m.step({ type: 'chunk', bad: false, key: false, ts: 0, queue: 0, now: 1010 }), ['want-jpeg']);
  assert.deepEqual(m.step({ type: 'server', msg: { t: 'video', mode: 'h264', codec: 'avc1.42E01E', w: 64, h: 64 }, now: 1100 }), ['want-jpeg']);
  assert.equal(m.state.expectJpeg, 3);
  // An unusable announcement while asked ends the attempt as unsupported.
  const n = machine();
  n.step({ type: 'ready', capable: true, now: 0 });
  n.step({ type: 'probe', ok: true, now: 0 });
  assert.deepEqual(n.step({ type: 'server', msg: { t: 'video', mode: 'h264', codec: 'vp09', w: 64, h: 64 }, now: 1 }), ['want-jpeg', 'close']);
  assert.equal(n.state.failed, 'unsupported');
  assert.deepEqual(n.step({ type: 'retry', now: 2 }), ['probe']);
});

test('every way out of video names its rule in the page\'s log and when video is tried again', () => {
  const playing = (m) => {
    m.goLive(0);
    m.picture(10);
  };
  const ticksTo3s = (m) => { for (let t = 250; t <= 3000; t += 250) m.step({ type: 'tick', alive: true, now: t }); };
  const rows = [
    ['a fatal decoder error', playing, (m) => m.step({ type: 'error', fatal: true, what: 'a chunk could not be fed: DataError: x', now: 100 }),
      'Video ended (error): a chunk could not be fed: DataError: x; trying again in 15 s.'],
    ['a second decoder error', playing, (m) => {
      m.step({ type: 'error', fatal: false, what: 'the decoder failed: EncodingError: y', now: 100 });
      m.step({ type: 'error', fatal: false, what: 'the decoder failed: EncodingError: z', now: 200 });
    }, 'Video ended (error): the decoder failed: EncodingError: z, again within 10000 ms; trying again in 15 s.'],
    ['a decoder never built', (m) => m.announce(0), ticksTo3s,
      'Video ended (unsupported): the decoder was not ready after 3000 ms; trying again in 15 s.'],
    ['a configuration refused', (m) => m.announce(0), (m) => m.step({ type: 'configured', ok: false, gen: m.state.gen, now: 50 }),
      'Video ended (unsupported): this browser refused the decoder for avc1.42E01E at 1280x800; trying again in 15 s.'],
    ['no picture at all', (m) => m.goLive(0), ticksTo3s,
      'Video ended (stalled): no picture came for 3000 ms; trying again in 15 s.'],
    ['a frame held back', playing, (m) => {
      m.step({ type: 'chunk', bad: false, key: false, ts: 33000, queue: 0, now: 100 });
      for (let t = 250; t <= 750; t += 250) m.step({ type: 'tick', alive: true, now: t });
    }, 'Video ended (stalled): the decoder held the newest frame back for 650 ms; trying again in 15 s.'],
    ['the computer giving up', playing, (m) => m.step({ type: 'server', msg: { t: 'video', mode: 'jpeg' }, now: 100 }),
      'Video ended (host): the computer went back to still pictures; trying again in 15 s.'],
  ];
  for (const [what, before, road, line] of rows) {
    const m = machine();
    before(m);
    const logs = [];
    const step = m.step;
    m.step = (ev) => { const r = step(ev); if (m.last.log) logs.push(m.last.log); return r; };
    road(m);
    assert.deepEqual(logs, [line], what);
    assert.equal(m.state.phase, 'idle', what);
  }
  // The person's own choice of still pictures is no failure and says nothing.
  const m = machine();
  m.goLive(0);
  m.step({ type: 'pref', value: 'still', now: 5 });
  assert.equal(m.last.log, null);
});

test('a page held up by a busy computer is not a broken decoder: late ticks judge nothing', () => {
  // The page's thread stops for 850 ms just after a frame was fed; the
  // decoder's output waits behind the late tick and paints right after it.
  const m = machine();
  m.goLive(0);
  m.picture(10);
  m.step({ type: 'chunk', bad: false, key: false, ts: 90000, queue: 0, now: 100 });
  assert.deepEqual(m.step({ type: 'tick', alive: true, now: 250 }), []);
  assert.deepEqual(m.step({ type: 'tick', alive: true, now: 1100 }), [], 'the late tick blames nobody');
  m.step({ type: 'paint', ts: 90000, now: 1105 });
  for (let t = 1350; t <= 5000; t += 250) m.step({ type: 'tick', alive: true, now: t });
  assert.equal(m.state.phase, 'live');
  assert.equal(m.state.failed, '');
  // Building the decoder on a page that loses two of its three seconds is
  // not "unsupported" either.
  const c = machine();
  c.announce(0);
  c.step({ type: 'tick', alive: true, now: 250 });
  c.step({ type: 'tick', alive: true, now: 2500 });
  assert.deepEqual(c.step({ type: 'tick', alive: true, now: 3000 }), []);
  assert.equal(c.state.phase, 'configuring');
});

test('video left for a problem is tried again, each time twice as late, until the person chooses', () => {
  const m = machine();
  const fatal = (now) => {
    m.picture(now);
    m.step({ type: 'error', fatal: true, what: 'broken', now });
  };
  const backLive = (now) => {
    m.step({ type: 'probe', ok: true, now });
    m.step({ type: 'server', msg: { t: 'video', mode: 'h264', codec: 'avc1.42E01E', w: 1280, h: 800 }, now });
    m.step({ type: 'configured', ok: true, gen: m.state.gen, now });
  };
  // Ticks every quarter second from `from` until a probe goes out; returns its time.
  const probeAfter = (from) => {
    for (let t = from; t < from + 600000; t += 250) {
      if (m.step({ type: 'tick', alive: true, now: t }).includes('probe')) return t;
    }
    return null;
  };
  m.goLive(0);
  let at = 1000;
  for (const wait of [15000, 30000, 60000, 120000, 240000, 240000]) {
    fatal(at);
    assert.equal(m.state.failed, 'error');
    assert.equal(pictureStatus(m.state).text, 'Switched to still pictures after a video problem.');
    const probed = probeAfter(at + 250);
    assert.equal(probed - at, wait);
    assert.equal(m.last.log, 'Trying video again after "error".');
    backLive(probed);
    at = probed + 100;
  }
  // "Try video again" starts over at 15 s; Still pictures never tries.
  fatal(at);
  m.step({ type: 'retry', now: at + 1 });
  backLive(at + 1);
  fatal(at + 10);
  assert.equal(probeAfter(at + 260) - (at + 10), 15000);
  m.step({ type: 'probe', ok: true, now: at + 20000 });
  m.step({ type: 'pref', value: 'still', now: at + 20001 });
  assert.equal(probeAfter(at + 20250), null);
  // A page that is hidden or offline waits; it tries once it is back.
  const h = machine();
  h.goLive(0);
  h.step({ type: 'error', fatal: true, now: 100 });
  h.step({ type: 'hidden', now: 200 });
  assert.deepEqual(h.step({ type: 'tick', alive: true, now: 20000 }), []);
  h.step({ type: 'visible', now: 20100 });
  assert.deepEqual(h.step({ type: 'tick', alive: true, now: 20250 }), ['probe']);
});

test('a decoder working through what was kept while it was built is not holding frames back', () => {
  // The road of a busy computer: the decoder takes 700 ms to build, 22
  // messages are kept meanwhile and fed at once; the frames paint one by one
  // over the next second while newer deltas, arriving with the decoder's queue
  // full, wait for a keyframe.
  const m = machine();
  m.announce(0, 1920, 1080);
  const events = [];
  for (let i = 0; i <= 21; i++) events.push({ type: 'chunk', bad: false, key: i === 0, ts: i * 33333, queue: 0, now: 300 + i * 19 });
  events.push({ type: 'configured', ok: true, gen: m.state.gen, now: 700 });
  for (let i = 22; i <= 60; i++) events.push({ type: 'chunk', bad: false, key: false, ts: i * 33333, queue: 8, now: 300 + i * 19 });
  for (let i = 0; i <= 21; i++) events.push({ type: 'paint', ts: i * 33333, now: 800 + i * 45 });
  for (let t = 250; t <= 3000; t += 250) events.push({ type: 'tick', alive: true, now: t });
  events.sort((a, b) => a.now - b.now);
  const logs = [];
  for (const ev of events) {
    m.step(ev);
    if (m.last.log) logs.push(m.last.log);
  }
  assert.deepEqual(logs, []);
  assert.equal(m.state.phase, 'live');
  assert.equal(pictureStatus(m.state).text, 'Smooth video is on.');
});
