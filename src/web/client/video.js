'use strict';
// Picture and video, the pure half: the video messages' shapes, the sizes
// the page asks for, and `videoStep`, where every video decision is taken.
const { bytesOf } = require('./encoders.js');
const { clamp, isNum } = require('./numbers.js');

const VIDEO_PROBE_CODEC = 'avc1.42E01E';
const VIDEO_CODEC_RE = /^avc1\.[0-9A-Fa-f]{6}$/;
const VIDEO_HEADER_BYTES = 10;
const VIDEO_QUEUE_MAX = 3;
const VIDEO_STALL_MS = 3000;
const VIDEO_HELD_MS = 500;
const VIDEO_HOLD_MAX = 30;
const VIDEO_KEY_RETRY_MS = 1000;
const VIDEO_ERROR_WINDOW_MS = 10000;
const VIDEO_LAG_MS = 1500;
const VIDEO_LAG_HOLD_MS = 4000;
const VIDEO_UNANSWERED_MS = 3000;
const VIDEO_STRAY_MS = 1000;
const VIDEO_SIDE_MIN = 1280;
const VIDEO_SIDE_PHONE = 1920;
const VIDEO_SIDE_MAX = 2560;
const VIDEO_TICK_MS = 250;
const VIDEO_ALIVE_MS = 5000;
const VIDEO_LATE_MS = 500;
const VIDEO_RETRY_MS = 15000;
const VIDEO_RETRY_MAX_MS = 240000;
const GLIDE_MS = 180;
const PICTURE_KEY = 'morvane.picture';

function normalizePicturePref(value) {
  return value === 'video' || value === 'still' ? value : 'auto';
}

function parseVideoHeader(buffer) {
  const b = buffer ? bytesOf(buffer) : null;
  if (!b || b.length < 14 || b[0] !== 0x02) return null;
  const high = ((b[2] << 24) >>> 0) + (b[3] << 16) + (b[4] << 8) + b[5];
  if (high > 0x1FFFFF) return null;
  if (b[10] !== 0 || b[11] !== 0) return null;
  if (!((b[12] === 0 && b[13] === 1) || b[12] === 1)) return null;
  const low = ((b[6] << 24) >>> 0) + (b[7] << 16) + (b[8] << 8) + b[9];
  return { key: (b[1] & 1) === 1, ts: high * 4294967296 + low, offset: VIDEO_HEADER_BYTES };
}

function parseVideoAnnounce(msg) {
  if (!msg || typeof msg !== 'object' || msg.t !== 'video') return null;
  if (msg.mode === 'jpeg') return { mode: 'jpeg' };
  if (msg.mode !== 'h264') return null;
  const side = (v) => Number.isInteger(v) && v >= 16 && v <= 8192;
  if (typeof msg.codec !== 'string' || !VIDEO_CODEC_RE.test(msg.codec) || !side(msg.w) || !side(msg.h)) return null;
  return { mode: 'h264', codec: msg.codec, w: msg.w, h: msg.h };
}

function videoMaxSize(stageW, stageH, dpr, phone) {
  const ratio = isNum(dpr) && dpr > 0 ? dpr : 1;
  const longer = Math.max(isNum(stageW) ? stageW : 0, isNum(stageH) ? stageH : 0);
  const side = clamp(ratio * longer, VIDEO_SIDE_MIN, phone ? VIDEO_SIDE_PHONE : VIDEO_SIDE_MAX);
  const even = Math.round(side / 2) * 2;
  return { maxW: even, maxH: even };
}

function encodeVideoWant(kind, maxW, maxH) {
  if (kind === 'jpeg') return JSON.stringify({ t: 'video', want: 'jpeg' });
  if (kind === 'h264' && isNum(maxW) && isNum(maxH) && maxW >= 16 && maxH >= 16) {
    return JSON.stringify({ t: 'video', want: 'h264', maxW: Math.round(maxW), maxH: Math.round(maxH) });
  }
  return null;
}

function formatRate(bitsPerSecond) {
  const kb = isNum(bitsPerSecond) && bitsPerSecond > 0 ? bitsPerSecond / 1000 : 0;
  if (kb < 1000) return Math.round(kb) + ' kb/s';
  return (Math.round(kb / 100) / 10).toFixed(1) + ' Mb/s';
}

function videoStreamStart() {
  return {
    needKey: true, missed: false, keyTs: 0, keyAskedAt: null, waitSince: null, fedSince: null,
    lagSince: null, base: null, fedTs: 0, fedAt: null, paintAt: null, held: 0, heldKeyTs: 0, heldTs: 0,
  };
}

function videoStart(pref) {
  return Object.assign({
    pref: normalizePicturePref(pref), phase: 'idle', online: false, hidden: false, can: null,
    failed: '', note: '', codec: '', w: 0, h: 0, gen: 0, painted: false, expectJpeg: 0,
    askedAt: null, configAt: null, strayAt: null, rebuilt: false, errorAt: null, tickAt: null,
    retryAt: null, retryMs: 0,
  }, videoStreamStart());
}

// The one place where video decisions are taken. Returns the next state,
// the actions in order, whether a chunk is to be decoded now, what to do
// with the messages kept while the decoder is being built, and the page's
// log line when video ended or is tried again (null otherwise).
function videoStep(prev, ev) {
  const s = Object.assign({}, prev);
  const out = [];
  let decode = false;
  let hold = null;
  let log = null;
  const now = ev && isNum(ev.now) ? ev.now : 0;

  const active = () => s.phase === 'asked' || s.phase === 'configuring' || s.phase === 'live';
  const resetStream = () => Object.assign(s, videoStreamStart());
  const begin = () => {
    if (s.online && s.phase === 'idle' && s.pref !== 'still' && s.can !== false && !s.failed) {
      s.phase = 'probing';
      s.note = '';
      out.push({ type: 'probe' });
    }
  };
  const askKey = () => {
    if (s.keyAskedAt === null || now - s.keyAskedAt >= VIDEO_KEY_RETRY_MS) {
      s.keyAskedAt = now;
      out.push({ type: 'keyframe' });
    }
    if (s.waitSince === null) s.waitSince = now;
  };
  const wantJpeg = () => { s.expectJpeg += 1; out.push({ type: 'want-jpeg' }); };
  // Video left for a problem is tried again later, each time twice as late:
  // a moment the computer or the page was too busy is no reason to give up
  // video for the session, and a lasting fault costs one try a few minutes.
  const fail = (reason, why) => {
    s.failed = reason;
    s.retryMs = s.retryMs > 0 ? Math.min(s.retryMs * 2, VIDEO_RETRY_MAX_MS) : VIDEO_RETRY_MS;
    s.retryAt = now + s.retryMs;
    log = 'Video ended (' + reason + '): ' + why + '; trying again in ' + Math.round(s.retryMs / 1000) + ' s.';
  };
  const noRetry = () => { s.retryAt = null; s.retryMs = 0; };
  // Every way out of video names the rule that ended it, for the page's log.
  const leave = (reason, why) => {
    if (active()) wantJpeg();
    if (s.phase !== 'idle') out.push({ type: 'close' });
    s.phase = 'idle';
    s.painted = false;
    if (reason) fail(reason, why);
    else { s.failed = ''; noRetry(); }
    resetStream();
  };
  const configure = () => {
    s.gen += 1;
    s.phase = 'configuring';
    s.configAt = now;
    resetStream();
    out.push({ type: 'configure', codec: s.codec, w: s.w, h: s.h, gen: s.gen });
  };

  switch (ev && ev.type) {
    case 'ready':
      s.online = true; s.hidden = false; s.phase = 'idle'; s.expectJpeg = 0; s.painted = false;
      s.note = ''; s.errorAt = null; s.strayAt = null; s.tickAt = null; s.can = !!ev.capable;
      if (s.pref === 'video') { s.failed = ''; noRetry(); }
      resetStream();
      begin();
      break;
    case 'closed':
      if (s.phase !== 'idle') out.push({ type: 'close' });
      s.online = false; s.phase = 'idle'; s.painted = false; s.expectJpeg = 0; s.note = '';
      resetStream();
      break;
    case 'probe':
      if (s.phase === 'probing') {
        if (ev.ok) { s.phase = 'asked'; s.askedAt = now; out.push({ type: 'want-h264' }); }
        else { s.phase = 'idle'; s.can = false; }
      }
      break;
    case 'server': {
      const a = parseVideoAnnounce(ev.msg);
      if (a && a.mode === 'jpeg') {
        if (s.expectJpeg > 0) s.expectJpeg -= 1;
        else if (s.phase === 'asked') { s.phase = 'idle'; s.note = 'no-offer'; }
        else if (s.phase === 'configuring' || s.phase === 'live') {
          out.push({ type: 'close' });
          s.phase = 'idle'; s.painted = false;
          fail('host', 'the computer went back to still pictures');
          resetStream();
        }
      } else if (a && a.mode === 'h264') {
        if (active()) { s.codec = a.codec; s.w = a.w; s.h = a.h; s.note = ''; configure(); }
        else if (s.online) wantJpeg();
      } else if (ev.msg && ev.msg.mode === 'h264') {
        if (active()) leave('unsupported', 'the computer announced video this browser cannot take');
        else if (s.online) wantJpeg();
      }
      break;
    }
    case 'configured':
      if (s.phase === 'configuring' && ev.gen === s.gen) {
        if (ev.ok) {
          const missed = s.missed;
          s.phase = 'live'; s.missed = false; s.waitSince = now;
          if (s.held > 0) {
            s.needKey = false; s.keyTs = s.heldKeyTs; s.fedTs = s.heldTs; s.fedAt = now; s.fedSince = now;
            out.push({ type: 'feed-held', count: s.held });
            s.held = 0;
          } else {
            s.needKey = true;
            if (missed || s.rebuilt) askKey();
          }
        } else {
          leave('unsupported', 'this browser refused the decoder for ' + s.codec + ' at ' + s.w + 'x' + s.h);
        }
      }
      break;
    case 'chunk':
      if (s.hidden) {
        s.needKey = true; s.held = 0;
        if (s.phase === 'configuring') s.missed = true;
        hold = 'drop';
      } else if (s.phase === 'configuring') {
        if (!ev.bad && ev.key) {
          s.held = 1; s.heldKeyTs = ev.ts; s.heldTs = ev.ts; s.missed = false; hold = 'key';
        } else if (!ev.bad && s.held >= 1 && s.held < VIDEO_HOLD_MAX) {
          s.held += 1; s.heldTs = ev.ts; hold = 'add';
        } else {
          s.held = 0; s.missed = true; hold = 'drop';
        }
      } else if (s.phase !== 'live') {
        if (s.online && s.phase === 'idle' && (s.strayAt === null || now - s.strayAt >= VIDEO_STRAY_MS)) {
          s.strayAt = now;
          wantJpeg();
        }
      } else if (ev.bad) {
        s.needKey = true;
        askKey();
      } else {
        const transit = now - ev.ts / 1000;
        if (s.base === null || transit < s.base) s.base = transit;
        if (s.needKey) {
          if (ev.key) { s.needKey = false; s.keyTs = ev.ts; decode = true; }
          else askKey();
        } else if (!ev.key && ev.queue > VIDEO_QUEUE_MAX) {
          s.needKey = true;
          askKey();
        } else {
          decode = true;
        }
        if (decode) {
          if (s.fedSince === null) s.fedSince = now;
          s.fedTs = ev.ts;
          s.fedAt = now;
        }
      }
      break;
    case 'paint':
      if (s.phase === 'live') {
        s.painted = true;
        s.fedSince = null;
        if (ev.ts >= s.fedTs) s.fedAt = null;
        s.paintAt = now;
        if (!s.needKey && ev.ts >= s.keyTs) s.waitSince = null;
        const lag = s.base === null ? 0 : now - ev.ts / 1000 - s.base;
        if (lag > VIDEO_LAG_MS) {
          if (s.lagSince === null) s.lagSince = now;
          if (now - s.lagSince >= VIDEO_LAG_HOLD_MS) {
            leave('slow', 'pictures were more than ' + VIDEO_LAG_MS + ' ms behind for ' + VIDEO_LAG_HOLD_MS + ' ms');
          }
        } else {
          s.lagSince = null;
        }
      }
      break;
    case 'error':
      if (s.phase === 'configuring' || s.phase === 'live') {
        const what = typeof ev.what === 'string' && ev.what ? ev.what : 'the decoder failed';
        if (ev.fatal) leave('error', what);
        else if (s.errorAt !== null && now - s.errorAt <= VIDEO_ERROR_WINDOW_MS) {
          leave('error', what + ', again within ' + VIDEO_ERROR_WINDOW_MS + ' ms');
        } else { s.errorAt = now; s.rebuilt = true; configure(); }
      }
      break;
    case 'tick': {
      // A tick that comes late means the page itself was held up (a busy
      // computer): what the decoder did meanwhile waits behind this tick, so
      // the time lost is nobody's to blame and nothing is judged now.
      const lost = s.tickAt !== null && now - s.tickAt > VIDEO_LATE_MS ? now - s.tickAt - VIDEO_TICK_MS : 0;
      s.tickAt = now;
      if (s.phase === 'asked' && s.askedAt !== null && now - s.askedAt >= VIDEO_UNANSWERED_MS) s.note = 'no-offer';
      if (s.hidden) break;
      if (s.phase === 'idle' && s.failed && s.retryAt !== null && now >= s.retryAt && s.online && s.pref !== 'still') {
        log = 'Trying video again after "' + s.failed + '".';
        s.failed = ''; s.retryAt = null;
        begin();
      } else if (lost > 0) {
        for (const k of ['configAt', 'waitSince', 'fedSince', 'fedAt', 'paintAt']) if (s[k] !== null) s[k] += lost;
      } else if (s.phase === 'configuring' && s.configAt !== null && now - s.configAt >= VIDEO_STALL_MS) {
        leave('unsupported', 'the decoder was not ready after ' + (now - s.configAt) + ' ms');
      } else if (s.phase === 'live' && !ev.alive) {
        if (s.waitSince !== null) s.waitSince = now;
        if (s.fedSince !== null) s.fedSince = now;
        if (s.fedAt !== null) s.fedAt = now;
        s.lagSince = null;
      } else if (s.phase === 'live') {
        if (s.waitSince !== null && now - s.waitSince >= VIDEO_STALL_MS) {
          leave('stalled', 'no picture came for ' + (now - s.waitSince) + ' ms');
        } else if (s.fedSince !== null && now - s.fedSince >= VIDEO_STALL_MS) {
          leave('stalled', 'frames fed to the decoder did not paint for ' + (now - s.fedSince) + ' ms');
        } else if (s.painted && s.fedAt !== null && now - s.fedAt >= VIDEO_HELD_MS &&
                   (s.paintAt === null || now - s.paintAt >= VIDEO_HELD_MS)) {
          // Held back, not slow: the decoder has painted nothing since either.
          leave('stalled', 'the decoder held the newest frame back for ' + (now - s.fedAt) + ' ms');
        } else if (s.needKey && s.waitSince !== null && now - s.waitSince >= VIDEO_KEY_RETRY_MS) {
          askKey();
        }
      }
      break;
    }
    case 'hidden':
      s.hidden = true;
      if (s.phase === 'live') {
        s.needKey = true; s.waitSince = null; s.fedSince = null; s.fedAt = null; s.lagSince = null;
      }
      break;
    case 'visible':
      if (s.hidden) {
        s.hidden = false;
        if (s.phase === 'live' || s.phase === 'configuring') { s.rebuilt = true; configure(); }
      }
      break;
    case 'pref':
      s.pref = normalizePicturePref(ev.value);
      s.note = '';
      if (s.pref === 'still') leave('');
      else { s.failed = ''; noRetry(); begin(); }
      break;
    case 'retry':
      s.failed = ''; s.note = ''; noRetry();
      begin();
      break;
    default:
      break;
  }
  if (s.phase !== 'configuring') s.rebuilt = false;
  return { state: s, out: out, decode: decode, hold: hold, log: log };
}

function pictureStatus(state) {
  const s = state || videoStart('auto');
  if ((s.phase === 'live' || s.phase === 'configuring') && s.painted) {
    return { mode: 'video', text: 'Smooth video is on.', retry: false };
  }
  const pictures = (text, retry) => ({ mode: 'pictures', text: text, retry: !!retry });
  if (s.pref === 'still') return pictures('Using still pictures.');
  if (s.failed) {
    if (s.failed === 'host') return pictures('The computer stopped sending video, so this is using still pictures.', true);
    if (s.failed === 'slow') return pictures('Switched to still pictures because video was falling behind.', true);
    return pictures('Switched to still pictures after a video problem.', true);
  }
  if (s.can === false) return pictures('Using still pictures: this browser or address does not support video.');
  if (s.note === 'no-offer') return pictures('Using still pictures: the computer is not offering video.', s.phase === 'idle');
  if (s.phase !== 'idle') return pictures('Starting video. Still pictures until it is ready.');
  return pictures('Using still pictures.');
}

module.exports = { VIDEO_PROBE_CODEC, normalizePicturePref, parseVideoHeader, parseVideoAnnounce, videoMaxSize,
  encodeVideoWant, formatRate, videoStart, videoStep, pictureStatus, VIDEO_HEADER_BYTES, VIDEO_TICK_MS,
  VIDEO_ALIVE_MS, GLIDE_MS, PICTURE_KEY };
