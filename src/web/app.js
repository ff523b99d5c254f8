// Morvane's browser client. One enclosed script: pure functions first (they
// touch no page and are loaded by the unit tests under node), then startApp,
// which owns the page and carries out what the pure functions decide.
(function () {
  'use strict';

  // ---------------------------------------------------------------------
  // Small numeric helpers
  // ---------------------------------------------------------------------

  function isNum(v) { return typeof v === 'number' && Number.isFinite(v); }
  function clamp(v, lo, hi) { return v < lo ? lo : (v > hi ? hi : v); }

  // ---------------------------------------------------------------------
  // Pairing
  // ---------------------------------------------------------------------

  const CODE_ALPHABET = 'ABCDEFGHJKLMNPQRSTUVWXYZ23456789';
  const CODE_LENGTH = 8;
  const NAME_MAX = 40;
  const TOKEN_KEY = 'morvane.token';

  function codeChars(raw) {
    const up = String(raw == null ? '' : raw).toUpperCase();
    let out = '';
    for (const ch of up) {
      if (out.length >= CODE_LENGTH) break;
      if (CODE_ALPHABET.indexOf(ch) >= 0) out += ch;
    }
    return out;
  }

  function formatCode(raw) {
    const c = codeChars(raw);
    return c.length > 4 ? c.slice(0, 4) + ' ' + c.slice(4) : c;
  }

  function isValidCode(code) {
    if (typeof code !== 'string' || code.length !== CODE_LENGTH) return false;
    for (const ch of code) if (CODE_ALPHABET.indexOf(ch) < 0) return false;
    return true;
  }

  function formatCodeInput(raw, caret) {
    const value = raw == null ? '' : String(raw);
    let at = isNum(caret) ? clamp(Math.round(caret), 0, value.length) : value.length;
    const text = formatCode(value);
    const before = codeChars(value.slice(0, at)).length;
    const kept = codeChars(value).length;
    const typed = (value.match(/[A-Za-z0-9]/g) || []).length;
    let next = before + (before > 4 ? 1 : 0);
    if (next > text.length) next = text.length;
    const rejected = kept < CODE_LENGTH && typed > kept;
    return { text: text, caret: next, rejected: rejected };
  }

  function cleanDeviceName(raw) {
    return String(raw == null ? '' : raw).trim().slice(0, NAME_MAX);
  }

  function guessDeviceName(userAgent, maxTouchPoints, platform) {
    const ua = String(userAgent || '');
    const pf = String(platform || '');
    const touch = isNum(maxTouchPoints) ? maxTouchPoints : 0;
    const agrees = (re) => pf === '' || re.test(pf);
    const answer = (re, name) => (agrees(re) ? name : 'This device');
    if (/iPhone|iPod/.test(ua)) return answer(/iPhone|iPod/, 'iPhone');
    if (/iPad/.test(ua)) return answer(/iPad|Mac/, 'iPad');
    if (/Android/.test(ua)) {
      if (!(agrees(/linux|android|arm|aarch/i) && touch >= 1)) return 'This device';
      return /Mobile/.test(ua) ? 'Android phone' : 'Android tablet';
    }
    if (/Windows/.test(ua)) return answer(/Win/, 'Windows PC');
    if (/CrOS/.test(ua)) return answer(/Linux/, 'Chromebook');
    if (/Macintosh|Mac OS X/.test(ua)) {
      if (!agrees(/Mac|iPad/)) return 'This device';
      const desktop = /(Chrome|Chromium|Firefox|Edg)\//.test(ua);
      return touch > 1 && !desktop ? 'iPad' : 'Mac';
    }
    if (/Linux|X11/.test(ua)) return answer(/Linux|X11/, 'Linux PC');
    return 'This device';
  }

  // ---------------------------------------------------------------------
  // Message encoders and the small conversions they rely on
  // ---------------------------------------------------------------------

  const TOKEN_RE = /^[0-9a-f]{64}$/;
  const KEY_CODE_RE = /^[A-Za-z0-9]{1,32}$/;
  const TEXT_MAX = 2000;
  const SCROLL_MAX = 2000;
  const BACKOFF_MS = [1000, 2000, 5000];
  const BACKOFF_STEADY_MS = 10000;
  const WHEEL_LINE_PX = 16;
  const WHEEL_PAGE_PX = 800;
  const QUALITIES = ['low', 'medium', 'high'];
  const SIMPLE_TYPES = ['lock', 'refresh', 'keyframe'];

  function unit(v) { return Math.round(clamp(v, 0, 1) * 100000) / 100000; }

  function clickCount(detail) { return isNum(detail) ? clamp(Math.round(detail), 1, 3) : 1; }

  function isKeyCode(code) { return typeof code === 'string' && KEY_CODE_RE.test(code); }

  function mapMouseButton(button) {
    if (button === 0) return 0;
    if (button === 2) return 1;
    if (button === 1) return 2;
    return null;
  }

  function wheelToPixels(delta, deltaMode, pagePx) {
    if (!isNum(delta)) return 0;
    if (deltaMode === 1) return delta * WHEEL_LINE_PX;
    if (deltaMode === 2) return delta * (pagePx > 0 ? pagePx : WHEEL_PAGE_PX);
    return delta;
  }

  function codePoints(s) { return Array.from(s == null ? '' : String(s)); }

  function chunkText(s, size) {
    const cps = codePoints(s);
    const n = Math.max(1, Math.floor(size) || 1);
    const out = [];
    for (let i = 0; i < cps.length; i += n) out.push(cps.slice(i, i + n).join(''));
    return out;
  }

  function parseChord(spec) {
    const parts = String(spec == null ? '' : spec).split('+').filter(isKeyCode);
    if (parts.length === 0) return null;
    return { modifiers: parts.slice(0, -1), key: parts[parts.length - 1] };
  }

  function backoffDelay(attempt) {
    return (attempt === 0 || attempt === 1 || attempt === 2) ? BACKOFF_MS[attempt] : BACKOFF_STEADY_MS;
  }

  function bytesOf(buffer) {
    if (buffer instanceof Uint8Array) return buffer;
    if (buffer instanceof ArrayBuffer) return new Uint8Array(buffer);
    if (buffer && buffer.buffer instanceof ArrayBuffer) return new Uint8Array(buffer.buffer, buffer.byteOffset, buffer.byteLength);
    return null;
  }

  function parseFrameHeader(buffer) {
    const b = buffer ? bytesOf(buffer) : null;
    if (!b || b.length < 6 || b[0] !== 0x01) return null;
    const width = (b[1] << 8) | b[2];
    const height = (b[3] << 8) | b[4];
    if (width === 0 || height === 0) return null;
    return { width: width, height: height, offset: 5 };
  }

  function encodeAuth(token) {
    return typeof token === 'string' && TOKEN_RE.test(token) ? JSON.stringify({ t: 'auth', token: token }) : null;
  }

  function encodePing(id) { return isNum(id) ? JSON.stringify({ t: 'ping', id: id }) : null; }

  function encodeMove(x, y) {
    return isNum(x) && isNum(y) ? JSON.stringify({ t: 'mm', x: unit(x), y: unit(y) }) : null;
  }

  function encodeButton(button, down, x, y, clicks) {
    if (button !== 0 && button !== 1 && button !== 2) return null;
    if (!isNum(x) || !isNum(y)) return null;
    return JSON.stringify({ t: 'mb', b: button, d: !!down, x: unit(x), y: unit(y), c: clickCount(clicks) });
  }

  function encodeScroll(dx, dy) {
    if (!isNum(dx) || !isNum(dy)) return null;
    const sx = Math.round(clamp(dx, -SCROLL_MAX, SCROLL_MAX)) + 0;
    const sy = Math.round(clamp(dy, -SCROLL_MAX, SCROLL_MAX)) + 0;
    if (sx === 0 && sy === 0) return null;
    return JSON.stringify({ t: 'sc', dx: sx, dy: sy });
  }

  function encodeKey(code, down) {
    return isKeyCode(code) ? JSON.stringify({ t: 'k', code: code, d: !!down }) : null;
  }

  // A lone surrogate (a field can hold one) would make the message invalid
  // JSON text for the host, which then closes the connection; it goes as
  // U+FFFD instead, one code point for one.
  function encodeText(s) {
    if (typeof s !== 'string' || s.length === 0) return null;
    if (codePoints(s).length > TEXT_MAX) return null;
    return JSON.stringify({ t: 'text', s: clipClean(s) });
  }

  function encodeQuality(q) { return QUALITIES.indexOf(q) >= 0 ? JSON.stringify({ t: 'quality', q: q }) : null; }

  function encodeSimple(type) { return SIMPLE_TYPES.indexOf(type) >= 0 ? JSON.stringify({ t: type }) : null; }

  // ---------------------------------------------------------------------
  // Layout arithmetic of the session screen
  // ---------------------------------------------------------------------

  const CUT_COMPACT_SIDE = 76;
  const CUT_COMPACT_BELOW = 64;
  const CUT_ROOMY_SIDE = 352;
  const BOX_MIN_PX = 40;
  const KEYBOARD_MIN_PX = 60;
  const MIN_PICTURE_PX = 140;
  const ZOOM_MIN = 1;
  const ZOOM_MAX = 4;
  const FOLLOW_MARGIN = 32;
  const DEFAULT_ASPECT = 1.6;

  function roomyBelowCut(width) { return width >= 710 ? 216 : 266; }

  function fitScale(boxW, boxH, picW, picH) {
    if (!(boxW > 0 && boxH > 0 && picW > 0 && picH > 0)) return 0;
    return Math.min(boxW / picW, boxH / picH);
  }

  function fitRect(box, picW, picH) {
    const s = box ? fitScale(box.w, box.h, picW, picH) : 0;
    if (!(s > 0)) return { x: 0, y: 0, w: 0, h: 0 };
    const w = picW * s, h = picH * s;
    return { x: (box.x || 0) + (box.w - w) / 2, y: (box.y || 0) + (box.h - h) / 2, w: w, h: h };
  }

  function visibleBox(stageW, stageH, cutRight, cutBottom) {
    const W = stageW > 0 ? stageW : 0;
    const H = stageH > 0 ? stageH : 0;
    const cut = (c, size) => {
      const v = isNum(c) ? c : 0;
      if (size < BOX_MIN_PX) return 0;
      return clamp(v, 0, size - BOX_MIN_PX);
    };
    return { x: 0, y: 0, w: W - cut(cutRight, W), h: H - cut(cutBottom, H) };
  }

  function pictureRect(basisW, basisH, box, picW, picH, view) {
    const v = view || {};
    const s = fitScale(basisW, basisH, picW, picH);
    if (!(s > 0) || !box || !(box.w > 0) || !(box.h > 0)) {
      return { x: 0, y: 0, w: 0, h: 0, zoom: 1, cx: 0.5, cy: 0.5 };
    }
    const zoom = clamp(isNum(v.zoom) ? v.zoom : 1, ZOOM_MIN, ZOOM_MAX);
    const w = picW * s * zoom;
    const h = picH * s * zoom;
    const place = (start, size, drawn, c) => {
      if (drawn <= size) return { pos: start + (size - drawn) / 2, c: 0.5 };
      const centre = clamp(isNum(c) ? c : 0.5, 0, 1);
      let pos = start + size / 2 - centre * drawn;
      pos = clamp(pos, start + size - drawn, start);
      return { pos: pos, c: (start + size / 2 - pos) / drawn };
    };
    const px = place(box.x || 0, box.w, w, v.cx);
    const py = place(box.y || 0, box.h, h, v.cy);
    return { x: px.pos, y: py.pos, w: w, h: h, zoom: zoom, cx: px.c, cy: py.c };
  }

  function stageGeometry(stageW, stageH, cutRight, cutBottom, basisW, basisH, picW, picH, view) {
    const box = visibleBox(stageW, stageH, cutRight, cutBottom);
    const bw = basisW > 0 ? basisW : stageW;
    const bh = basisH > 0 ? basisH : stageH;
    return { box: box, rect: pictureRect(bw, bh, box, picW, picH, view) };
  }

  function pointToNorm(px, py, rect) {
    if (!rect || !(rect.w > 0) || !(rect.h > 0)) return null;
    return { x: clamp((px - rect.x) / rect.w, 0, 1), y: clamp((py - rect.y) / rect.h, 0, 1) };
  }

  function normToPoint(u, v, rect) {
    return { x: rect.x + u * rect.w, y: rect.y + v * rect.h };
  }

  function viewForAnchor(box, w, h, u, v, sx, sy) {
    if (!(w > 0) || !(h > 0)) return { cx: 0.5, cy: 0.5 };
    return { cx: u + (box.x + box.w / 2 - sx) / w, cy: v + (box.y + box.h / 2 - sy) / h };
  }

  function followView(rect, box, pos, margin) {
    if (!rect || !(rect.w > 0) || !(rect.h > 0) || !box || !pos) return null;
    const axis = (start, size, rs, rsize, f) => {
      const m = Math.min(margin, size / 2);
      const p = rs + f * rsize;
      let shift = 0;
      if (p < start + m) shift = start + m - p;
      else if (p > start + size - m) shift = start + size - m - p;
      return { shift: shift, c: (start + size / 2 - (rs + shift)) / rsize };
    };
    const ax = axis(box.x, box.w, rect.x, rect.w, pos.x);
    const ay = axis(box.y, box.h, rect.y, rect.h, pos.y);
    if (ax.shift === 0 && ay.shift === 0) return null;
    return { cx: ax.c, cy: ay.c };
  }

  function fitBasis(stageW, stageH, kbInset, atRest, remembered, key) {
    if (atRest) return { w: stageW, h: stageH, key: key };
    if (remembered && remembered.key != null && remembered.key === key && remembered.w > 0 && remembered.h > 0) {
      return remembered;
    }
    return { w: stageW, h: stageH + (kbInset > 0 ? kbInset : 0), key: null };
  }

  function keyboardInset(innerHeight, visibleHeight) {
    const loss = innerHeight - visibleHeight;
    return isNum(loss) && loss > KEYBOARD_MIN_PX ? loss : 0;
  }

  function fittedArea(w, h, a) {
    if (!(w > 0) || !(h > 0)) return 0;
    const pw = Math.min(w, h * a);
    return pw * (pw / a);
  }

  function chooseLayout(width, height, aspect, prev, visibleHeight) {
    const a = aspect > 0 ? aspect : DEFAULT_ASPECT;
    const areas = (h) => ({
      compactSide: fittedArea(width - CUT_COMPACT_SIDE, h, a),
      compactBelow: fittedArea(width, h - CUT_COMPACT_BELOW, a),
      roomySide: fittedArea(width - CUT_ROOMY_SIDE, h, a),
      roomyBelow: fittedArea(width, h - roomyBelowCut(width), a),
    });
    const pickDock = (side, below, mode) => {
      let dock = side > below ? 'side' : 'below';
      if (prev && prev.mode === mode && prev.dock && prev.dock !== dock) {
        const big = Math.max(side, below);
        const small = Math.min(side, below);
        if (!(big >= small * 1.05)) dock = prev.dock;
      }
      return dock;
    };
    const wasRoomy = !!prev && (prev.rest || prev.mode) === 'roomy';
    const share = wasRoomy ? 0.8 : 0.85;
    const gate = (h) => (wasRoomy ? width >= 600 && h >= 460 : width >= 640 && h >= 500);
    const full = areas(height);
    const roomyDock = pickDock(full.roomySide, full.roomyBelow, 'roomy');
    const fits = (h) => {
      if (!gate(h)) return false;
      const ar = areas(h);
      const compact = Math.max(ar.compactSide, ar.compactBelow);
      const roomy = roomyDock === 'side' ? ar.roomySide : ar.roomyBelow;
      return compact > 0 && roomy >= share * compact;
    };
    const rest = fits(height) ? 'roomy' : 'compact';
    let mode = rest;
    if (mode === 'roomy' && isNum(visibleHeight) && visibleHeight < height && !fits(visibleHeight)) mode = 'compact';
    const dock = mode === 'roomy' ? roomyDock : pickDock(full.compactSide, full.compactBelow, 'compact');
    return { mode: mode, dock: dock, rest: rest };
  }

  // `heights` is a list of picture heights by level, or a function giving the
  // height at a level (so the page can measure lazily and stop early).
  function squeezeLevel(heights, minPx, levels) {
    const count = typeof heights === 'function' ? (levels || 4) : heights.length;
    const at = typeof heights === 'function' ? heights : (i) => heights[i];
    for (let i = 0; i < count; i++) if (at(i) >= minPx) return i;
    return count - 1;
  }

  // ---------------------------------------------------------------------
  // Wording: notices, overlay, end of session, pairing answers
  // ---------------------------------------------------------------------

  const NO_RECONNECT = ['taken-over', 'revoked', 'disconnected-by-host', 'stopped-on-mac', 'paused', 'relay-quota'];

  function statusBanners(status) {
    if (!status || typeof status !== 'object' || Array.isArray(status)) return [];
    const out = [];
    const capture = typeof status.capture === 'string' ? status.capture : '';
    if (capture === 'no-permission') {
      out.push({ id: 'no-screen', title: 'The Mac is not allowed to share its screen', detail: 'On the Mac, open Morvane in the menu bar and choose the Screen Recording item, switch Morvane on, then quit and reopen it.' });
    } else if (capture === 'no-display') {
      out.push({ id: 'no-display', title: 'The Mac has no display to show', detail: 'Wake the Mac or connect a display. The picture returns by itself.' });
    } else if (capture.indexOf('error') === 0) {
      out.push({ id: 'capture-error', title: 'The picture stopped on the Mac', detail: 'If it does not come back in a moment, quit and reopen Morvane on the Mac.' });
    } else if (capture === 'starting') {
      out.push({ id: 'starting', title: 'Starting the picture', detail: 'This takes a moment.' });
    }
    if (status.input === false) {
      out.push({ id: 'no-input', title: 'View only: the Mac is not accepting control', detail: 'On the Mac, open Morvane in the menu bar and choose the Accessibility item, then switch Morvane on.' });
    }
    if (status.locked === true) {
      out.push({ id: 'locked', title: 'The Mac is locked', detail: 'Open Type, enter your password with Plain on, and send it with Return.' });
    }
    if (status.sleepDisabled === false) {
      out.push({ id: 'may-sleep', title: 'The Mac may go to sleep', detail: "The Mac's sleep is on, so it may stop answering when idle or with the lid closed. Keep it on power, and turn off sleep on the Mac if it has to stay reachable." });
    }
    return out;
  }

  const BYE_TEXT = {
    'taken-over': 'Another device took over control of the Mac.',
    'revoked': 'This device was removed on the Mac.',
    'disconnected-by-host': 'The Mac ended this session.',
    'stopped-on-mac': 'Sharing was stopped on the Mac.',
    'paused': 'Morvane is paused on the Mac.',
    'timeout': 'The Mac stopped hearing from this device.',
    'host-quit': 'Morvane quit on the Mac.',
    'user': 'You disconnected.',
    'offline': 'This device is offline.',
    'mac-offline': 'Your Mac is not connected to the relay.',
    'relay-unreachable': 'The relay cannot be reached.',
    'relay-busy': 'Too many devices are connected to the relay.',
    'renew': 'Refreshing the secure connection.',
    'secure-failed': 'The secure connection failed a check and was closed.',
    'relay-quota': 'The relay has used up its daily allowance.',
  };
  const DROP_TEXT = 'The connection to the Mac dropped.';

  function byeText(reason) {
    return typeof reason === 'string' && Object.prototype.hasOwnProperty.call(BYE_TEXT, reason) ? BYE_TEXT[reason] : DROP_TEXT;
  }

  const STOP_ADVICE = {
    'taken-over': 'Only one device controls the Mac at a time. Reconnect to take it back.',
    'revoked': 'Pair again with a new code from the Mac.',
    'disconnected-by-host': 'Someone chose Disconnect on the Mac. Reconnect when you are ready.',
    'stopped-on-mac': 'Someone chose Stop Sharing there, and Morvane is now paused. On the Mac, choose Morvane in the menu bar, then Resume Morvane. After that, reconnect.',
    'paused': 'Nobody can connect while it is paused. On the Mac, choose Morvane in the menu bar, then Resume Morvane. After that, reconnect.',
    'relay-quota': 'It works again after midnight UTC. Tailscale still reaches the Mac.',
  };

  function stopAdvice(reason) {
    return typeof reason === 'string' && Object.prototype.hasOwnProperty.call(STOP_ADVICE, reason) ? STOP_ADVICE[reason] : 'Reconnect when you are ready.';
  }

  function retryText(delayMs) {
    const s = Math.max(1, isNum(delayMs) ? Math.round(delayMs / 1000) : 0);
    return 'Trying again in ' + s + (s === 1 ? ' second.' : ' seconds.');
  }

  function pairErrorText(error) {
    if (error === 'code-not-accepted') {
      return 'That code was not accepted. Check it against the Mac. If the pairing window there has closed, ' +
        'choose Morvane in the menu bar, then Pair a Device Over Tailscale… again (or Pair a Browser on This Mac…), and enter the new code.';
    }
    if (error === 'paused') {
      return 'Morvane is paused on the Mac, so nothing can be paired. On the Mac, choose Morvane in the menu bar, ' +
        'then Resume Morvane, then Pair a Device Over Tailscale… (or Pair a Browser on This Mac…) for a new code.';
    }
    return 'The Mac did not accept the request. Try again with a new code.';
  }

  function shouldAutoReconnect(reason) {
    return reason !== 'user' && NO_RECONNECT.indexOf(reason) < 0;
  }

  // ---------------------------------------------------------------------
  // Picture and video
  // ---------------------------------------------------------------------

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
      lagSince: null, base: null, fedTs: 0, fedAt: null, held: 0, heldKeyTs: 0, heldTs: 0,
    };
  }

  function videoStart(pref) {
    return Object.assign({
      pref: normalizePicturePref(pref), phase: 'idle', online: false, hidden: false, can: null,
      failed: '', note: '', codec: '', w: 0, h: 0, gen: 0, painted: false, expectJpeg: 0,
      askedAt: null, configAt: null, strayAt: null, rebuilt: false, errorAt: null,
    }, videoStreamStart());
  }

  // The one place where video decisions are taken. Returns the next state,
  // the actions in order, whether a chunk is to be decoded now and what to do
  // with the messages kept while the decoder is being built.
  function videoStep(prev, ev) {
    const s = Object.assign({}, prev);
    const out = [];
    let decode = false;
    let hold = null;
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
    const leave = (reason) => {
      if (active()) wantJpeg();
      if (s.phase !== 'idle') out.push({ type: 'close' });
      s.phase = 'idle';
      s.painted = false;
      s.failed = reason;
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
        s.note = ''; s.errorAt = null; s.strayAt = null; s.can = !!ev.capable;
        if (s.pref === 'video') s.failed = '';
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
            s.phase = 'idle'; s.painted = false; s.failed = 'host';
            resetStream();
          }
        } else if (a && a.mode === 'h264') {
          if (active()) { s.codec = a.codec; s.w = a.w; s.h = a.h; s.note = ''; configure(); }
          else if (s.online) wantJpeg();
        } else if (ev.msg && ev.msg.mode === 'h264') {
          if (active()) leave('unsupported');
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
            leave('unsupported');
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
          if (!s.needKey && ev.ts >= s.keyTs) s.waitSince = null;
          const lag = s.base === null ? 0 : now - ev.ts / 1000 - s.base;
          if (lag > VIDEO_LAG_MS) {
            if (s.lagSince === null) s.lagSince = now;
            if (now - s.lagSince >= VIDEO_LAG_HOLD_MS) leave('slow');
          } else {
            s.lagSince = null;
          }
        }
        break;
      case 'error':
        if (s.phase === 'configuring' || s.phase === 'live') {
          if (ev.fatal || (s.errorAt !== null && now - s.errorAt <= VIDEO_ERROR_WINDOW_MS)) leave('error');
          else { s.errorAt = now; s.rebuilt = true; configure(); }
        }
        break;
      case 'tick':
        if (s.phase === 'asked' && s.askedAt !== null && now - s.askedAt >= VIDEO_UNANSWERED_MS) s.note = 'no-offer';
        if (s.hidden) break;
        if (s.phase === 'configuring' && s.configAt !== null && now - s.configAt >= VIDEO_STALL_MS) {
          leave('unsupported');
        } else if (s.phase === 'live' && !ev.alive) {
          if (s.waitSince !== null) s.waitSince = now;
          if (s.fedSince !== null) s.fedSince = now;
          if (s.fedAt !== null) s.fedAt = now;
          s.lagSince = null;
        } else if (s.phase === 'live') {
          if ((s.waitSince !== null && now - s.waitSince >= VIDEO_STALL_MS) ||
              (s.fedSince !== null && now - s.fedSince >= VIDEO_STALL_MS)) {
            leave('stalled');
          } else if (s.painted && s.fedAt !== null && now - s.fedAt >= VIDEO_HELD_MS) {
            leave('stalled');
          } else if (s.needKey && s.waitSince !== null && now - s.waitSince >= VIDEO_KEY_RETRY_MS) {
            askKey();
          }
        }
        break;
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
        else { s.failed = ''; begin(); }
        break;
      case 'retry':
        s.failed = ''; s.note = '';
        begin();
        break;
      default:
        break;
    }
    if (s.phase !== 'configuring') s.rebuilt = false;
    return { state: s, out: out, decode: decode, hold: hold };
  }

  function pictureStatus(state) {
    const s = state || videoStart('auto');
    if ((s.phase === 'live' || s.phase === 'configuring') && s.painted) {
      return { mode: 'video', text: 'Smooth video is on.', retry: false };
    }
    const pictures = (text, retry) => ({ mode: 'pictures', text: text, retry: !!retry });
    if (s.pref === 'still') return pictures('Using still pictures.');
    if (s.failed) {
      if (s.failed === 'host') return pictures('The Mac stopped sending video, so this is using still pictures.', true);
      if (s.failed === 'slow') return pictures('Switched to still pictures because video was falling behind.', true);
      return pictures('Switched to still pictures after a video problem.', true);
    }
    if (s.can === false) return pictures('Using still pictures: this browser or address does not support video.');
    if (s.note === 'no-offer') return pictures('Using still pictures: the Mac is not offering video.', s.phase === 'idle');
    if (s.phase !== 'idle') return pictures('Starting video. Still pictures until it is ready.');
    return pictures('Using still pictures.');
  }

  // ---------------------------------------------------------------------
  // Pointer and touch
  // ---------------------------------------------------------------------

  const TAP_SLOP = 10;
  const TAP_MAX_MS = 300;
  const DOUBLE_TAP_MS = 350;
  const DOUBLE_TAP_DIST = 48;
  const PINCH_SLOP = 24;
  const SCROLL_SLOP = 10;
  const TOUCH_SCROLL_GAIN = 2;
  const TOUCH_SLOP = 10;
  const TOUCH_HOLD_MS = 500;
  const TOUCH_DOUBLE_DIST = 18;
  const TOUCH_DOUBLE_MS = 300;
  const GHOST_MOUSE_MS = 1000;
  const MARK_LINGER_MS = 2000;
  const TAP_MARK_MS = 600;
  const HINT_MS = 7000;
  const SWITCH_HINT_MS = 3000;
  const DESK_WHEEL_LINE_PX = 40;
  const DESK_WHEEL_PAGE_PX = 800;
  const POINTER_KEY = 'morvane.pointer';
  const TOUCH_HINT_KEY = 'morvane.touchHintSeen';

  function accelGain(distance, dt) {
    if (!isNum(distance) || !isNum(dt)) return 1;
    const speed = distance / Math.max(1, dt);
    return clamp(1 + (speed - 0.3) * 1.5, 1, 3);
  }

  function movePointer(pointer, dx, dy, dt, width, height) {
    if (!(width > 0) || !(height > 0)) return { x: pointer.x, y: pointer.y };
    const gain = accelGain(Math.hypot(dx, dy), dt);
    return {
      x: clamp(pointer.x + dx * gain / width, 0, 1),
      y: clamp(pointer.y + dy * gain / height, 0, 1),
    };
  }

  function classifyTwoFinger(spreadChange, centreMove) {
    const spread = Math.abs(spreadChange);
    if (spread >= PINCH_SLOP && spread > centreMove) return 'pinch';
    if (centreMove >= SCROLL_SLOP && centreMove > 0.6 * spread) return 'scroll';
    return null;
  }

  function tapCount(lastTap, landing, t, maxDist, maxMs) {
    if (!lastTap || !landing) return 1;
    if (t - lastTap.t > maxMs) return 1;
    if (Math.hypot(landing.x - lastTap.x, landing.y - lastTap.y) > maxDist) return 1;
    return Math.min(3, (lastTap.clicks || 1) + 1);
  }

  // Whether a lifted Trackpad finger is a click: not cancelled, not moved,
  // and a repeat or short enough.
  function classifyTouch(cancelled, moved, repeat, heldMs) {
    return !cancelled && !moved && (repeat || heldMs <= TAP_MAX_MS) ? 'click' : 'none';
  }

  function pointInPicture(px, py, rect) {
    if (!rect || !(rect.w > 0) || !(rect.h > 0)) return null;
    if (px < rect.x || py < rect.y || px > rect.x + rect.w || py > rect.y + rect.h) return null;
    return { x: (px - rect.x) / rect.w, y: (py - rect.y) / rect.h };
  }

  function directTouchStart() { return { one: null, lastTap: null }; }

  // The Touch pointer model: the finger is the pointer. Events carry stage
  // positions, the time and `norm`, the picture point under the finger.
  function directTouch(prev, ev) {
    const s = { one: prev.one ? Object.assign({}, prev.one) : null, lastTap: prev.lastTap };
    const out = [];
    const click = (b, p, clicks) => {
      out.push({ k: 'mm', x: p.x, y: p.y });
      out.push({ k: 'mb', b: b, d: true, x: p.x, y: p.y, c: clicks });
      out.push({ k: 'mb', b: b, d: false, x: p.x, y: p.y, c: clicks });
      out.push({ k: 'used' });
    };
    const hold = () => {
      s.lastTap = null;
      if (s.one.norm) { click(1, s.one.norm, 1); out.push({ k: 'mark', kind: 'hold' }); }
      s.one.phase = 'done';
    };
    const one = s.one;
    switch (ev.type) {
      case 'down':
        if (!one) {
          s.one = { id: ev.id, x: ev.x, y: ev.y, t: ev.t, norm: ev.norm || null, last: ev.norm || null, phase: 'pending' };
          out.push({ k: 'timer', ms: TOUCH_HOLD_MS });
        } else if (one.phase === 'pending' && ev.id !== one.id) {
          s.one = null;
          out.push({ k: 'timer-off' });
          out.push({ k: 'two' });
        }
        break;
      case 'move':
        if (!one || ev.id !== one.id) break;
        if (one.phase === 'pending' && Math.hypot(ev.x - one.x, ev.y - one.y) >= TOUCH_SLOP) {
          out.push({ k: 'timer-off' });
          s.lastTap = null;
          if (one.norm) {
            out.push({ k: 'mm', x: one.norm.x, y: one.norm.y });
            out.push({ k: 'mb', b: 0, d: true, x: one.norm.x, y: one.norm.y, c: 1 });
            one.phase = 'drag';
          } else {
            one.phase = 'done';
          }
        }
        if (one.phase === 'drag' && ev.norm) {
          out.push({ k: 'mm', x: ev.norm.x, y: ev.norm.y });
          one.last = ev.norm;
        }
        break;
      case 'timer':
        if (one && one.phase === 'pending') hold();
        break;
      case 'up':
        if (!one || ev.id !== one.id) break;
        out.push({ k: 'timer-off' });
        if (one.phase === 'drag') {
          if (!ev.cancelled && ev.norm) { out.push({ k: 'mm', x: ev.norm.x, y: ev.norm.y }); one.last = ev.norm; }
          out.push({ k: 'mb', b: 0, d: false, x: one.last.x, y: one.last.y, c: 1 });
          out.push({ k: 'used' });
        } else if (one.phase === 'pending') {
          if (ev.cancelled) s.lastTap = null;
          else if (ev.t - one.t >= TOUCH_HOLD_MS) hold();
          else if (one.norm) {
            const clicks = tapCount(s.lastTap, one, ev.t, TOUCH_DOUBLE_DIST, TOUCH_DOUBLE_MS);
            const at = clicks > 1 && s.lastTap.norm ? s.lastTap.norm : one.norm;
            click(0, at, clicks);
            out.push({ k: 'mark', kind: 'tap' });
            s.lastTap = { x: one.x, y: one.y, t: ev.t, norm: at, clicks: clicks };
          }
        }
        s.one = null;
        break;
      case 'release':
        out.push({ k: 'timer-off' });
        if (one && one.phase === 'drag') {
          out.push({ k: 'mb', b: 0, d: false, x: one.last.x, y: one.last.y, c: 1 });
          out.push({ k: 'used' });
        }
        s.one = null;
        s.lastTap = null;
        break;
      default:
        break;
    }
    return { state: s, out: out };
  }

  function normalizePointerMode(value) { return value === 'touch' ? 'touch' : 'trackpad'; }
  function pointerModeLabel(mode) { return mode === 'touch' ? 'Touch' : 'Trackpad'; }
  function pointerModeNote(mode) {
    return mode === 'touch'
      ? 'Tap where you want to click. Touch and hold for a right click, drag to move things or select. Two fingers scroll, a pinch zooms.'
      : 'Drag to move the pointer, tap to click where the ring is. Tap twice and drag to drag. Two fingers scroll, a two-finger tap is a right click, a pinch zooms.';
  }
  function pointerSwitchHint(mode) {
    return mode === 'touch' ? 'Pointer: Touch. Tap where you want to click.' : 'Pointer: Trackpad. Drag to move the ring, tap to click.';
  }

  function deskMouseButton(button) {
    if (button === 0 || button === 1 || button === 2) return 'send';
    if (button === 3 || button === 4) return 'block';
    return 'ignore';
  }

  // One wheel event to whole scroll pixels, carrying fractions forward.
  function deskWheelStep(rem, ev, pagePx) {
    const r = { x: rem && isNum(rem.x) ? rem.x : 0, y: rem && isNum(rem.y) ? rem.y : 0 };
    const scale = ev.deltaMode === 1 ? DESK_WHEEL_LINE_PX
      : ev.deltaMode === 2 ? 0.9 * (pagePx > 0 ? pagePx : DESK_WHEEL_PAGE_PX) : 1;
    if (ev.ctrlKey && !ev.ctrlHeld) return { dx: 0, dy: 0, rem: { x: 0, y: 0 } };
    let ex = isNum(ev.deltaX) ? ev.deltaX : 0;
    let ey = isNum(ev.deltaY) ? ev.deltaY : 0;
    if (ev.shiftKey && ex === 0) { ex = ey; ey = 0; }
    const axis = (delta, carried) => {
      const d = delta * scale;
      const total = d + (carried !== 0 && Math.sign(carried) === Math.sign(d) ? carried : 0);
      const whole = clamp(Math.trunc(total), -SCROLL_MAX, SCROLL_MAX) + 0;
      const left = d === 0 ? carried : clamp(total - whole, -1, 1);
      return { whole: whole, left: left };
    };
    const ax = axis(ex, r.x);
    const ay = axis(ey, r.y);
    return { dx: ax.whole, dy: ay.whole, rem: { x: ax.left, y: ay.left } };
  }

  // ---------------------------------------------------------------------
  // Keyboards
  // ---------------------------------------------------------------------

  const MOD_LOCK_MS = 400;
  const MODIFIER_CODES = ['MetaLeft', 'MetaRight', 'ControlLeft', 'ControlRight', 'AltLeft', 'AltRight', 'ShiftLeft', 'ShiftRight'];
  const MODIFIER_NAMES = { MetaLeft: 'Command', ControlLeft: 'Control', AltLeft: 'Option', ShiftLeft: 'Shift' };
  const DESK_MOD_CLASS = {
    ControlLeft: 'ctrl', ControlRight: 'ctrl', ShiftLeft: 'shift', ShiftRight: 'shift', AltLeft: 'alt', AltRight: 'alt',
    MetaLeft: 'meta', MetaRight: 'meta', OSLeft: 'meta', OSRight: 'meta',
  };
  const DESK_SWAP = {
    ControlLeft: 'MetaLeft', ControlRight: 'MetaRight', MetaLeft: 'ControlLeft', MetaRight: 'ControlRight',
    OSLeft: 'ControlLeft', OSRight: 'ControlRight',
  };
  const DESK_LOCAL = ['CapsLock', 'PrintScreen', 'ScrollLock', 'Pause'];
  const DESK_LOCAL_RE = /^(Audio|Media|Browser|Launch|Volume|Power$|Sleep$|WakeUp$|Eject$)/;
  const DESK_NUMPAD_NAV = ['Insert', 'End', 'ArrowDown', 'PageDown', 'ArrowLeft', 'ArrowRight', 'Home', 'ArrowUp', 'PageUp', 'Delete'];
  const DESK_NUMPAD_RE = /^Numpad([0-9]|Decimal)$/;
  const DESK_REWRITES = [
    { key: 'ArrowLeft', ctrl: true, alt: false, sends: null, letGo: 'ctrl', adds: 'AltLeft' },
    { key: 'ArrowRight', ctrl: true, alt: false, sends: null, letGo: 'ctrl', adds: 'AltLeft' },
    { key: 'Backspace', ctrl: true, alt: false, sends: null, letGo: 'ctrl', adds: 'AltLeft' },
    { key: 'Delete', ctrl: true, alt: false, sends: null, letGo: 'ctrl', adds: 'AltLeft' },
    { key: 'Home', ctrl: false, alt: false, sends: 'ArrowLeft', letGo: null, adds: 'MetaLeft' },
    { key: 'End', ctrl: false, alt: false, sends: 'ArrowRight', letGo: null, adds: 'MetaLeft' },
    { key: 'Home', ctrl: true, alt: false, sends: 'ArrowUp', letGo: null, adds: null },
    { key: 'End', ctrl: true, alt: false, sends: 'ArrowDown', letGo: null, adds: null },
    { key: 'Tab', ctrl: true, alt: false, sends: null, letGo: 'ctrl', adds: 'ControlLeft' },
    { key: 'Tab', ctrl: false, alt: true, sends: null, letGo: null, adds: null, altTab: true },
  ];

  function nextModifierState(state, msSinceLastTap) {
    if (state === 'off') return 'armed';
    if (state === 'armed') return msSinceLastTap <= MOD_LOCK_MS ? 'locked' : 'off';
    return 'off';
  }

  function modifierLabel(name, state) {
    if (state === 'armed') return name + ', on for the next key. Tap again quickly to lock.';
    if (state === 'locked') return name + ', locked on. Tap to release.';
    return name + ', off';
  }

  function deskPlatform(userAgent, platform, uaPlatform, maxTouchPoints) {
    const ua = String(userAgent || '');
    const pf = String(platform || '');
    const hint = String(uaPlatform || '');
    const touch = isNum(maxTouchPoints) ? maxTouchPoints : 0;
    const desktopEngine = /(Chrome|Chromium|Firefox|Edg)\//.test(ua);
    if (/iPhone|iPod|iPad/.test(pf)) return 'ios';
    if (/^win/i.test(pf)) return 'windows';
    if (/^Mac/.test(pf)) return touch > 1 && !desktopEngine ? 'ios' : 'mac';
    if (/android/i.test(pf) || (/linux|arm|aarch/i.test(pf) && (/android/i.test(hint) || /Android/.test(ua)))) return 'android';
    if (/linux|x11|cros/i.test(pf)) return /CrOS/.test(ua) || /chrome ?os|chromium ?os/i.test(hint) ? 'chromeos' : 'linux';
    if (pf) return 'other';
    if (/windows/i.test(hint)) return 'windows';
    if (/macos/i.test(hint)) return 'mac';
    if (/android/i.test(hint)) return 'android';
    if (/chrome ?os|chromium ?os/i.test(hint)) return 'chromeos';
    if (/linux/i.test(hint)) return 'linux';
    if (/iPhone|iPod|iPad/.test(ua)) return 'ios';
    if (/Android/.test(ua)) return 'android';
    if (/Windows/.test(ua)) return 'windows';
    if (/CrOS/.test(ua)) return 'chromeos';
    if (/Macintosh|Mac OS X/.test(ua)) return 'mac';
    if (/Linux|X11/.test(ua)) return 'linux';
    return 'other';
  }

  function isApple(platform) { return platform === 'mac' || platform === 'ios'; }

  function deskDefaults(platform) { return { winShortcuts: platform === 'windows', typeChars: false }; }

  function deskSetting(stored, fallback) {
    if (stored === '1') return true;
    if (stored === '0') return false;
    return !!fallback;
  }

  function deskIsLocal(code) { return DESK_LOCAL.indexOf(code) >= 0 || DESK_LOCAL_RE.test(code); }

  function deskMapCode(code, opts) {
    const o = opts || {};
    if (!isKeyCode(code) || deskIsLocal(code)) return null;
    if (code === 'NumLock') return isApple(o.platform) ? 'NumLock' : null;
    if (o.swap && DESK_SWAP[code]) return DESK_SWAP[code];
    if (code === 'OSLeft') return 'MetaLeft';
    if (code === 'OSRight') return 'MetaRight';
    return code;
  }

  function deskPrintable(key) {
    if (typeof key !== 'string') return '';
    const cps = Array.from(key);
    if (cps.length !== 1) return '';
    const cp = cps[0].codePointAt(0);
    return cp >= 0x20 && cp !== 0x7f ? key : '';
  }

  function deskKeyAction(ev, held, opts) {
    const o = opts || {};
    const mapped = deskMapCode(ev.code, o);
    if (mapped === null) return { kind: 'local' };
    if (!isApple(o.platform) && DESK_NUMPAD_RE.test(ev.code)) {
      if (ev.key === 'Clear') return { kind: 'quiet' };
      if (DESK_NUMPAD_NAV.indexOf(ev.key) >= 0) return { kind: 'key', code: ev.key, rule: null };
    }
    const shortcut = held.meta || held.sticky || (held.ctrl && !held.altGr);
    if (ev.key === 'Dead' && !shortcut && (held.altGr || o.chars)) return { kind: 'quiet' };
    if (ev.key === 'Process' && o.chars) return { kind: 'quiet' };
    const ch = deskPrintable(ev.key);
    if (ch && mapped === ev.code && ev.code !== 'Space' && !/^Numpad/.test(ev.code) && !shortcut) {
      if (held.altGr) return { kind: 'text', text: ch };
      if (held.alt) {
        if (isApple(o.platform) && o.chars) return { kind: 'text', text: ch };
      } else if (o.chars) {
        return { kind: 'text', text: ch };
      } else if (ev.caps && ch.toLowerCase() !== ch.toUpperCase()) {
        return { kind: 'text', text: ch };
      }
    }
    let rule = null;
    if (o.swap && !held.meta && !held.sticky) {
      rule = DESK_REWRITES.find((r) => r.key === ev.code && r.ctrl === !!held.ctrl && r.alt === !!held.alt) || null;
    }
    return { kind: 'key', code: rule && rule.sends ? rule.sends : mapped, rule: rule };
  }

  function deskKeysStart() { return { phys: [], sent: [], altTab: false }; }

  function deskHolds(state, cls) {
    return !!state && state.phys.some((e) => e.kind === 'mod' && e.cls === cls && e.send !== null);
  }

  // The physical-keyboard tracker: from the keys held here, what the Mac
  // should hold, sending only the difference.
  function deskKeyStep(prev, ev, opts) {
    const o = opts || {};
    let phys = prev.phys.map((e) => Object.assign({}, e));
    let altTab = prev.altTab;
    let prevent = true;
    let repeatCode = null;
    let text = null;
    if (ev.type === 'release') {
      phys = ev.modifiers ? [] : phys.filter((e) => e.kind === 'mod');
    } else if ((ev.type !== 'down' && ev.type !== 'up') || !isKeyCode(ev.code)) {
      return { state: prev, out: [], prevent: false };
    } else {
      for (const [cls, flag] of [['ctrl', ev.ctrl], ['alt', ev.alt], ['shift', ev.shift]]) {
        if (flag === false) {
          phys = phys.filter((e) => !(e.kind === 'mod' && e.cls === cls && !(ev.type === 'down' && e.code === ev.code)));
        }
      }
      const modClass = DESK_MOD_CLASS[ev.code];
      if (ev.type === 'down' && modClass) {
        if (!phys.some((e) => e.code === ev.code)) {
          if (ev.code === 'AltRight' && ev.key === 'AltGraph') {
            for (const e of phys) if (e.code === 'ControlLeft') e.send = null;
            phys.push({ code: ev.code, cls: 'altgr', kind: 'mod', send: null, rw: null });
          } else {
            phys.push({ code: ev.code, cls: modClass, kind: 'mod', send: deskMapCode(ev.code, o), rw: null });
          }
        }
      } else if (ev.type === 'down') {
        const has = (cls) => phys.some((e) => e.kind === 'mod' && e.cls === cls && e.send !== null);
        const held = {
          ctrl: has('ctrl'), alt: has('alt'), meta: has('meta'),
          altGr: phys.some((e) => e.cls === 'altgr') || !!ev.altGraph, sticky: !!ev.sticky,
        };
        const action = deskKeyAction(ev, held, o);
        if (action.kind === 'local') return { state: prev, out: [], prevent: false };
        const existing = phys.find((e) => e.code === ev.code);
        if (existing && existing.kind === 'key') {
          repeatCode = existing.send;
        } else {
          phys = phys.filter((e) => e.code !== ev.code);
          phys.push({ code: ev.code, cls: null, kind: action.kind, send: action.kind === 'key' ? action.code : null, rw: action.rule || null });
          if (action.kind === 'text') text = action.text;
          if (action.rule && action.rule.altTab) altTab = true;
        }
      } else {
        const entry = phys.find((e) => e.code === ev.code);
        phys = phys.filter((e) => e.code !== ev.code);
        if (entry && entry.kind === 'mod' && entry.cls === 'meta') phys = phys.filter((e) => e.kind === 'mod');
        if (!modClass && deskMapCode(ev.code, o) === null) prevent = false;
      }
    }
    if (!phys.some((e) => e.kind === 'mod' && e.cls === 'alt')) altTab = false;
    let newest = null;
    for (const e of phys) if (e.kind === 'key' || e.kind === 'text') newest = e;
    const rule = newest && newest.kind === 'key' ? newest.rw : null;
    const wantMods = [];
    for (const e of phys) {
      if (e.kind !== 'mod' || !e.send) continue;
      if (rule && rule.letGo === e.cls) continue;
      const code = altTab && e.cls === 'alt' ? 'MetaLeft' : e.send;
      if (wantMods.indexOf(code) < 0) wantMods.push(code);
    }
    if (rule && rule.adds && wantMods.indexOf(rule.adds) < 0) wantMods.push(rule.adds);
    const wantKeys = [];
    for (const e of phys) if (e.kind === 'key' && e.send && wantKeys.indexOf(e.send) < 0) wantKeys.push(e.send);
    const isMod = (c) => MODIFIER_CODES.indexOf(c) >= 0;
    const out = [];
    for (const c of prev.sent) if (!isMod(c) && wantKeys.indexOf(c) < 0) out.push({ k: c, d: false });
    for (const c of prev.sent) if (isMod(c) && wantMods.indexOf(c) < 0) out.push({ k: c, d: false });
    for (const c of wantMods) if (prev.sent.indexOf(c) < 0) out.push({ k: c, d: true });
    for (const c of wantKeys) if (prev.sent.indexOf(c) < 0) out.push({ k: c, d: true });
    if (repeatCode && wantKeys.indexOf(repeatCode) >= 0 && prev.sent.indexOf(repeatCode) >= 0) out.push({ k: repeatCode, d: true });
    if (text) out.push({ s: text });
    return { state: { phys: phys, sent: wantMods.concat(wantKeys), altTab: altTab }, out: out, prevent: prevent };
  }

  function deskKeptText(platform, canLock) {
    let t;
    if (platform === 'windows') {
      t = 'click the picture and type, and most keys go straight to the Mac. Windows and this browser keep a few: the Windows key alone, Alt+Tab, Alt+F4, Ctrl+Alt+Del, Print Screen, and usually Ctrl+W, Ctrl+T and Ctrl+N. Send those with these buttons.';
    } else if (platform === 'mac') {
      t = 'click the picture and type, and most keys go straight to the other Mac. This Mac keeps a few: ⌘Tab, ⌘Space, ⌘Q, ⌘H, ⌘W and ⌘`. Send those with these buttons.';
    } else {
      t = 'click the picture and type, and most keys go straight to the Mac. This browser takes a few shortcuts first, such as ⌘Tab, ⌘W and ⌘Q. Send those with these buttons.';
    }
    return canLock ? t + ' Or use Capture all keys in More.' : t;
  }

  function deskCaptureText(state, platform) {
    if (state === 'unsupported') return 'This browser cannot capture system shortcuts. Chrome and Edge can, in full screen. Here, use the buttons in Keys.';
    if (state === 'refused') return 'The browser did not allow it. Use the buttons in Keys instead.';
    if (state === 'on') return 'Capturing: every key the browser can take goes to the Mac. Hold Esc to stop.';
    if (platform === 'mac') return 'Goes full screen and sends the shortcuts this browser would keep, such as ⌘W and ⌘T. macOS may still keep ⌘Tab and ⌘Space. Hold Esc to stop.';
    return 'Goes full screen and sends shortcuts this computer would keep, such as Alt+Tab, to the Mac. Hold Esc to stop.';
  }

  // ---------------------------------------------------------------------
  // Live typing
  // ---------------------------------------------------------------------

  const LT_SENTINEL = '\u200B';
  const LT_ECHO_MAX = 48;
  const LT_ECHO_KEEP = 24;
  const LT_FORWARD_DELETES = ['deleteContentForward', 'deleteWordForward', 'deleteSoftLineForward', 'deleteHardLineForward'];
  const LT_COMPOSITION_INPUTS = ['insertCompositionText', 'deleteCompositionText', 'insertFromComposition', 'deleteByComposition'];
  const TYPING_KEY = 'morvane.typing';
  const LT_KEYS = (() => {
    const map = {};
    for (let i = 0; i < 26; i++) {
      const lower = String.fromCharCode(97 + i);
      map[lower] = { code: 'Key' + lower.toUpperCase(), shift: false };
      map[lower.toUpperCase()] = { code: 'Key' + lower.toUpperCase(), shift: true };
    }
    for (let d = 0; d < 10; d++) map[String(d)] = { code: 'Digit' + d, shift: false };
    const plain = { ' ': 'Space', '`': 'Backquote', '-': 'Minus', '=': 'Equal', '[': 'BracketLeft', ']': 'BracketRight',
      '\\': 'Backslash', ';': 'Semicolon', "'": 'Quote', ',': 'Comma', '.': 'Period', '/': 'Slash', '\t': 'Tab', '\n': 'Enter' };
    const shifted = { '~': 'Backquote', '_': 'Minus', '+': 'Equal', '{': 'BracketLeft', '}': 'BracketRight', '|': 'Backslash',
      ':': 'Semicolon', '"': 'Quote', '<': 'Comma', '>': 'Period', '?': 'Slash', '!': 'Digit1', '@': 'Digit2', '#': 'Digit3',
      '$': 'Digit4', '%': 'Digit5', '^': 'Digit6', '&': 'Digit7', '*': 'Digit8', '(': 'Digit9', ')': 'Digit0' };
    for (const ch of Object.keys(plain)) map[ch] = { code: plain[ch], shift: false };
    for (const ch of Object.keys(shifted)) map[ch] = { code: shifted[ch], shift: true };
    return map;
  })();

  function normalizeTypeMode(value) { return value === 'live' ? 'live' : 'send'; }

  function ltKeyForChar(ch) {
    return Object.prototype.hasOwnProperty.call(LT_KEYS, ch) ? LT_KEYS[ch] : null;
  }

  function ltGraphemes(s) {
    const text = s == null ? '' : String(s);
    if (typeof Intl !== 'undefined' && typeof Intl.Segmenter === 'function') {
      return Array.from(new Intl.Segmenter(undefined, { granularity: 'grapheme' }).segment(text), (x) => x.segment);
    }
    return Array.from(text);
  }

  function ltIsRealKey(ev) {
    if (ev.composing || ev.keyCode === 229) return false;
    if (!isKeyCode(ev.code) || ev.code === 'Unidentified') return false;
    if (ev.key === 'Unidentified' || ev.key === 'Process' || ev.key === 'Dead') return false;
    if (typeof ev.key === 'string' && Array.from(ev.key).length === 1 && !ev.ctrl && !ev.meta && !ev.alt) {
      const k = ltKeyForChar(ev.key);
      return !!k && k.code === ev.code && k.shift === !!ev.shift;
    }
    return true;
  }

  function ltStart() { return { tail: '', composing: false, hw: false }; }

  function ltTrim(graphemes) {
    return graphemes.length > LT_ECHO_MAX ? graphemes.slice(-LT_ECHO_KEEP) : graphemes;
  }

  // Compares the field's new value with the tail the Mac is taken to mirror
  // and turns the difference into Backspaces and typed text.
  function ltSync(state, value, ev, ops) {
    const raw = value == null ? '' : String(value);
    const next = raw.split(LT_SENTINEL).join('');
    if (state.tail === '' && next === '' && raw.indexOf(LT_SENTINEL) < 0) {
      ops.push({ op: 'tap', code: 'Backspace' });
      return;
    }
    const was = ltGraphemes(state.tail);
    const now = ltGraphemes(next);
    let same = 0;
    while (same < was.length && same < now.length && was[same] === now[same]) same++;
    const back = was.length - same;
    const added = now.slice(same).join('');
    if (added === '\n' && back === 0) {
      ops.push({ op: 'tap', code: 'Enter' });
      state.tail = '';
      return;
    }
    const addedG = now.slice(same);
    if (ev.anyMod && back === 0 && addedG.length === 1 && ltKeyForChar(addedG[0])) {
      const k = ltKeyForChar(addedG[0]);
      if (k.shift && !ev.shiftOn) {
        ops.push({ op: 'down', code: 'ShiftLeft' });
        ops.push({ op: 'tap', code: k.code });
        ops.push({ op: 'up', code: 'ShiftLeft' });
      } else {
        ops.push({ op: 'tap', code: k.code });
      }
      state.tail = '';
      return;
    }
    for (let i = 0; i < back; i++) ops.push({ op: 'tap', code: 'Backspace' });
    if (added) ops.push({ op: 'text', s: added });
    state.tail = ltTrim(now).join('');
  }

  function ltStep(prev, ev) {
    const s = Object.assign({}, prev);
    const ops = [];
    let prevent = false;
    let real = false;
    let field = null;
    const echo = () => LT_SENTINEL + s.tail;
    switch (ev.type) {
      case 'focus':
        s.tail = ''; s.composing = false; s.hw = false;
        field = echo();
        break;
      case 'blur':
        s.tail = ''; s.composing = false; s.hw = false;
        field = '';
        break;
      case 'reset':
        if (!s.composing) { s.tail = ''; field = echo(); }
        break;
      case 'keydown':
        real = ltIsRealKey(ev);
        s.hw = real;
        if (real) {
          prevent = true;
          const one = typeof ev.key === 'string' && Array.from(ev.key).length === 1;
          if (one && !ev.ctrl && !ev.meta && !ev.alt && !ev.anyMod) s.tail = ltTrim(ltGraphemes(s.tail + ev.key)).join('');
          else if (ev.key === 'Backspace' && !ev.ctrl && !ev.meta && !ev.alt && !ev.anyMod) s.tail = ltGraphemes(s.tail).slice(0, -1).join('');
          else if (DESK_MOD_CLASS[ev.code] === undefined && ev.code !== 'CapsLock') s.tail = '';
        }
        if (real && !s.composing) field = echo();
        break;
      case 'keyup':
        s.hw = false;
        if (!s.composing) field = echo();
        break;
      case 'compositionstart':
        s.composing = true;
        break;
      case 'compositionend':
        s.composing = false;
        ltSync(s, ev.value, ev, ops);
        field = echo();
        break;
      case 'beforeinput':
        if (s.hw) { prevent = true; break; }
        if (s.composing || LT_COMPOSITION_INPUTS.indexOf(ev.inputType) >= 0) break;
        if (ev.inputType === 'insertLineBreak' || ev.inputType === 'insertParagraph') {
          prevent = true; ops.push({ op: 'tap', code: 'Enter' }); s.tail = ''; field = echo();
        } else if (LT_FORWARD_DELETES.indexOf(ev.inputType) >= 0) {
          prevent = true; ops.push({ op: 'tap', code: 'Delete' });
        } else if (ev.inputType === 'historyUndo' || ev.inputType === 'historyRedo') {
          prevent = true;
        }
        break;
      case 'input':
        if (s.hw || s.composing) break;
        ltSync(s, ev.value, ev, ops);
        field = echo();
        break;
      default:
        break;
    }
    return { state: s, ops: ops, prevent: prevent, real: real, field: field };
  }

  function ltEncode(ops) {
    const out = [];
    for (const o of ops) {
      if (o.op === 'text') for (const piece of chunkText(o.s, TEXT_MAX)) out.push(encodeText(piece));
      else if (o.op === 'tap') { out.push(encodeKey(o.code, true)); out.push(encodeKey(o.code, false)); }
      else if (o.op === 'down' || o.op === 'up') out.push(encodeKey(o.code, o.op === 'down'));
    }
    return out.filter((m) => m !== null);
  }

  // ---------------------------------------------------------------------
  // Clipboard sheet
  // ---------------------------------------------------------------------

  const CLIP_MAX = 100000;
  const CLIP_CHUNK = 2000;
  const CLIP_MAX_CHUNKS = 128;
  const CLIP_ID_MAX = 999999;
  const MESSAGE_MAX_BYTES = 16384;
  const CLIP_PUT_TIMEOUT_MS = 20000;
  const CLIP_GET_TIMEOUT_MS = 65000;
  const CLIP_COPY_WAIT_MS = 450;
  const CLIP_FINAL_STATES = ['empty', 'private', 'denied', 'needs-permission', 'busy', 'too-soon'];

  const isHigh = (c) => c >= 0xD800 && c <= 0xDBFF;
  const isLow = (c) => c >= 0xDC00 && c <= 0xDFFF;

  function isClipId(id) { return Number.isInteger(id) && id >= 1 && id <= CLIP_ID_MAX; }

  function clipClean(text) {
    const s = text == null ? '' : String(text);
    let out = '';
    for (let i = 0; i < s.length; i++) {
      const c = s.charCodeAt(i);
      if (isHigh(c)) {
        if (i + 1 < s.length && isLow(s.charCodeAt(i + 1))) { out += s[i] + s[i + 1]; i++; } else out += '\uFFFD';
      } else if (isLow(c)) {
        out += '\uFFFD';
      } else {
        out += s[i];
      }
    }
    return out;
  }

  function clipChunks(text, size) {
    const n = Math.max(2, Math.floor(size) || 0);
    const out = [];
    let i = 0;
    while (i < text.length) {
      let end = Math.min(i + n, text.length);
      if (end < text.length && isHigh(text.charCodeAt(end - 1))) end -= 1;
      out.push(text.slice(i, end));
      i = end;
    }
    return out;
  }

  function utf8Length(s) {
    let n = 0;
    for (const ch of String(s == null ? '' : s)) {
      const cp = ch.codePointAt(0);
      n += cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    }
    return n;
  }

  function encodeClipGet(id) { return isClipId(id) ? JSON.stringify({ t: 'clip-get', id: id }) : null; }

  function clipPutMessages(id, raw) {
    if (!isClipId(id)) return { error: 'bad-id' };
    const text = clipClean(raw);
    if (text.length === 0) return { error: 'empty' };
    if (text.length > CLIP_MAX) return { error: 'too-long' };
    const parts = clipChunks(text, CLIP_CHUNK);
    const messages = [JSON.stringify({ t: 'clip-put', id: id, n: parts.length, len: text.length })];
    parts.forEach((s, i) => messages.push(JSON.stringify({ t: 'clip-chunk', id: id, i: i, s: s })));
    if (messages.some((m) => utf8Length(m) > MESSAGE_MAX_BYTES)) return { error: 'too-long' };
    return { messages: messages, len: text.length };
  }

  function clipAnswer(msg, id) {
    if (!msg || msg.t !== 'clip' || msg.id !== id) return { kind: 'ignore' };
    if (msg.state === 'asking') return { kind: 'asking' };
    if (CLIP_FINAL_STATES.indexOf(msg.state) >= 0) return { kind: 'final', state: msg.state };
    if (msg.state === 'text' && Number.isInteger(msg.n) && msg.n >= 1 && msg.n <= CLIP_MAX_CHUNKS &&
        Number.isInteger(msg.len) && msg.len >= 1 && msg.len <= CLIP_MAX && msg.n <= msg.len && typeof msg.cut === 'boolean') {
      return { kind: 'receive', rx: { id: id, n: msg.n, len: msg.len, cut: msg.cut, next: 0, got: 0, parts: [] } };
    }
    return { kind: 'broken' };
  }

  function clipChunkIn(rx, msg) {
    if (!msg || msg.t !== 'clip-data' || msg.id !== rx.id) return { kind: 'ignore', rx: rx };
    if (msg.i !== rx.next || typeof msg.s !== 'string' || msg.s.length === 0 || rx.got + msg.s.length > rx.len) {
      return { kind: 'broken', rx: rx };
    }
    const next = { id: rx.id, n: rx.n, len: rx.len, cut: rx.cut, next: rx.next + 1, got: rx.got + msg.s.length, parts: rx.parts.concat([msg.s]) };
    if (next.next < next.n) return { kind: 'more', rx: next };
    if (next.got !== next.len) return { kind: 'broken', rx: next };
    return { kind: 'done', rx: next, text: next.parts.join('') };
  }

  function clipPutAnswer(msg, id) {
    if (!msg || msg.t !== 'clip-put-result' || msg.id !== id) return null;
    if (msg.ok === true) return 'ok';
    return typeof msg.error === 'string' && msg.error ? msg.error : 'failed';
  }

  function clipCountText(length) {
    if (!(length > 0)) return '';
    const fmt = (n) => n.toLocaleString('en-US');
    return fmt(length) + ' of ' + fmt(CLIP_MAX) + ' characters' + (length > CLIP_MAX ? ': too long to send' : '');
  }

  const CLIP_STATUS = {
    'sending': ['busy', 'Sending to the Mac.'],
    'sent': ['ok', 'On the Mac’s clipboard.'],
    'getting': ['busy', 'Asking the Mac for its clipboard.'],
    'copying': ['busy', 'Copying on the Mac, then asking for its clipboard.'],
    'got': ['ok', 'This is the text on the Mac’s clipboard.'],
    'got-cut': ['ok', 'This is the first 100,000 characters of the Mac’s clipboard. There was more, and it was cut.'],
    'asking': ['busy', 'The Mac is asking for permission to share its clipboard. Allow it on the Mac’s screen; you can press the button from here.'],
    'needs-permission': ['error', 'The Mac asked for permission to share its clipboard and got no answer. Allow it on the Mac once, then try again.'],
    'denied': ['error', 'Not allowed. The Mac did not let Morvane read its clipboard. If the Mac showed a question, choose Allow there and try again. Otherwise allow Morvane to paste from other apps in System Settings on the Mac, under Privacy & Security.'],
    'private': ['error', 'The Mac’s clipboard holds something marked private, such as a password. It was not sent.'],
    'empty': ['error', 'The Mac’s clipboard has no text. A picture or a file cannot be fetched.'],
    'busy': ['error', 'The Mac is still busy with the last clipboard request. Try again in a moment.'],
    'too-soon': ['error', 'That was too quick after the last one. Wait a second and try again.'],
    'nothing': ['error', 'There is no text in the box to send.'],
    'too-long': ['error', 'Too long to send. The limit is 100,000 characters.'],
    'too-large': ['error', 'Too long to send. The limit is 100,000 characters.'],
    'write-failed': ['error', 'The Mac could not change its clipboard.'],
    'timeout': ['error', 'The Mac did not answer in time. Try again.'],
    'offline': ['error', 'Not connected to the Mac.'],
    'local-read-failed': ['error', 'This device did not hand over its clipboard. Tap in the box and paste there instead.'],
    'local-copied': ['ok', 'Copied to this device.'],
    'local-selected': ['ok', 'The text is selected. Copy it with this device’s own Copy.'],
    'local-nothing': ['error', 'This device’s clipboard has no text.'],
    'pasted': ['ok', 'Sent Cmd V to the Mac.'],
  };

  function clipStatusText(what) {
    const row = Object.prototype.hasOwnProperty.call(CLIP_STATUS, what) ? CLIP_STATUS[what] : null;
    return row ? { kind: row[0], text: row[1] } : { kind: 'error', text: 'The text did not arrive whole. Try again.' };
  }

  // ---------------------------------------------------------------------
  // Display chooser
  // ---------------------------------------------------------------------

  const DISPLAY_MAX = 16;
  const DISPLAY_NAME_MAX = 48;
  const DISPLAY_ID_MAX = 4294967295;
  const DISPLAY_SWITCH_TIMEOUT_MS = 6500;

  function isDisplayId(id) { return Number.isInteger(id) && id >= 0 && id <= DISPLAY_ID_MAX; }

  function parseDisplayList(msg) {
    if (!msg || msg.t !== 'disp-list' || !Array.isArray(msg.displays)) return null;
    const displays = [];
    for (const d of msg.displays.slice(0, DISPLAY_MAX)) {
      if (!d || typeof d !== 'object' || Array.isArray(d) || !isDisplayId(d.id)) continue;
      if (displays.some((x) => x.id === d.id)) continue;
      const side = (v) => (Number.isInteger(v) && v >= 1 && v <= 65535 ? v : 0);
      const builtin = d.builtin === true;
      let name = typeof d.name === 'string' ? d.name.replace(/[\u0000-\u001F\u007F]/g, ' ').trim().slice(0, DISPLAY_NAME_MAX) : '';
      if (!name) name = builtin ? 'Built-in Display' : 'Display ' + (displays.length + 1);
      displays.push({ id: d.id, name: name, w: side(d.w), h: side(d.h), builtin: builtin, main: d.main === true });
    }
    const current = isDisplayId(msg.current) && displays.some((x) => x.id === msg.current) ? msg.current : null;
    return { displays: displays, current: current, lost: msg.lost === true };
  }

  function encodeDisplaySelect(id) { return isDisplayId(id) ? JSON.stringify({ t: 'disp-select', id: id }) : null; }

  function displaySizeText(d) { return d && d.w > 0 && d.h > 0 ? d.w + ' × ' + d.h : ''; }

  function displayStart() { return { displays: [], current: null, pending: null, note: '' }; }

  function displayStep(prev, ev) {
    const s = Object.assign({}, prev);
    let sendId = null;
    let moved = false;
    switch (ev && ev.type) {
      case 'list': {
        const l = ev.listing;
        if (!l) break;
        moved = prev.current !== null && l.current !== null && l.current !== prev.current;
        s.displays = l.displays;
        s.current = l.current;
        if (l.lost) { s.pending = null; s.note = 'lost'; }
        else if (!s.pending) s.note = '';
        else if (s.pending.id === s.current) { s.pending = null; s.note = ''; }
        else if (!s.displays.some((d) => d.id === s.pending.id)) { s.pending = null; s.note = 'unknown-display'; }
        break;
      }
      case 'result': {
        const m = ev.msg || {};
        if (s.pending && m.id === s.pending.id && m.ok !== true) {
          s.pending = null;
          s.note = m.error === 'too-soon' || m.error === 'unknown-display' ? m.error : 'failed';
        }
        break;
      }
      case 'choose':
        if (s.pending || ev.id === s.current || !s.displays.some((d) => d.id === ev.id)) break;
        s.pending = { id: ev.id, at: ev.now };
        s.note = 'switching';
        sendId = ev.id;
        break;
      case 'tick':
        if (s.pending && ev.now - s.pending.at > DISPLAY_SWITCH_TIMEOUT_MS) { s.pending = null; s.note = 'timeout'; }
        break;
      case 'closed':
        return { state: displayStart(), send: null, moved: false };
      default:
        break;
    }
    return { state: s, send: sendId, moved: moved };
  }

  function displayView(state) {
    const current = state.displays.find((d) => d.id === state.current) || null;
    const notes = {
      switching: 'Switching display',
      lost: 'That display was disconnected.' + (current ? ' Showing ' + current.name + '.' : ''),
      'too-soon': 'That was too quick after the last switch. Wait a second and try again.',
      'unknown-display': 'That display is no longer connected.',
      timeout: 'The Mac did not switch displays. Try again.',
      failed: 'The Mac could not switch displays.',
    };
    const note = notes[state.note] || '';
    return {
      visible: state.displays.length > 1,
      busy: !!state.pending,
      note: note,
      noteKind: !note ? '' : state.note === 'switching' ? 'busy' : 'error',
      options: state.displays.map((d) => {
        const isCurrent = d.id === state.current;
        const isPending = !!state.pending && state.pending.id === d.id;
        return {
          id: d.id, name: d.name, size: displaySizeText(d), current: isCurrent, pending: isPending,
          word: isPending ? 'Switching' : isCurrent ? 'Showing' : '',
          label: d.name + (d.w > 0 && d.h > 0 ? ', ' + d.w + ' by ' + d.h : '') + (isPending ? ', switching' : isCurrent ? ', showing now' : ''),
        };
      }),
    };
  }

  // ---------------------------------------------------------------------
  // File sheet
  // ---------------------------------------------------------------------

  const FILE_MAX = 200 * 1024 * 1024;
  const FILE_ID_MAX = 999999;
  const FILE_UP_CHUNK_MAX = 16000;
  const FILE_UP_WINDOW_MAX = 64;
  const FILE_DOWN_CHUNK_MAX = 65536;
  const FILE_CHUNK_HEADER = 9;
  const FILE_TAG_DOWN = 0x10;
  const FILE_TAG_UP = 0x11;
  const FILE_NAME_SEND_MAX = 200;
  const FILE_NAME_WIRE_MAX = 1024;
  const FILE_LIST_MAX = 200;
  const FILE_BLOCK_CHUNKS = 32;
  const FILE_BUFFERED_MAX = 256 * 1024;
  const FILE_FOLD_BYTES = 4 * 1024 * 1024;
  const FILE_LIST_PACE_MS = 1200;
  const SHA256_RE = /^[0-9a-f]{64}$/;

  function isFileId(id) { return Number.isInteger(id) && id >= 1 && id <= FILE_ID_MAX; }
  function isFileSize(n) { return Number.isInteger(n) && n >= 1 && n <= FILE_MAX; }
  function isSha256(s) { return typeof s === 'string' && SHA256_RE.test(s); }
  function inRange(n, lo, hi) { return Number.isInteger(n) && n >= lo && n <= hi; }

  // SHA-256 a block at a time: the browser's own digest wants the whole
  // file in memory at once and is missing on a plain-http origin.
  const SHA256_K = new Uint32Array([
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
  ]);
  const SHA256_H0 = [0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19];

  function sha256Start() {
    return { h: Uint32Array.from(SHA256_H0), w: new Uint32Array(64), tail: new Uint8Array(64), fill: 0, total: 0 };
  }

  function sha256Block(st, b, at) {
    const w = st.w;
    const h = st.h;
    for (let i = 0; i < 16; i++, at += 4) w[i] = (b[at] << 24) | (b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3];
    for (let i = 16; i < 64; i++) {
      const x = w[i - 15];
      const y = w[i - 2];
      const s0 = ((x >>> 7) | (x << 25)) ^ ((x >>> 18) | (x << 14)) ^ (x >>> 3);
      const s1 = ((y >>> 17) | (y << 15)) ^ ((y >>> 19) | (y << 13)) ^ (y >>> 10);
      w[i] = (w[i - 16] + s0 + w[i - 7] + s1) | 0;
    }
    let a = h[0] | 0, bb = h[1] | 0, c = h[2] | 0, d = h[3] | 0, e = h[4] | 0, f = h[5] | 0, g = h[6] | 0, hh = h[7] | 0;
    for (let i = 0; i < 64; i++) {
      const S1 = ((e >>> 6) | (e << 26)) ^ ((e >>> 11) | (e << 21)) ^ ((e >>> 25) | (e << 7));
      const t1 = (hh + S1 + ((e & f) ^ (~e & g)) + SHA256_K[i] + w[i]) | 0;
      const S0 = ((a >>> 2) | (a << 30)) ^ ((a >>> 13) | (a << 19)) ^ ((a >>> 22) | (a << 10));
      const t2 = (S0 + ((a & bb) ^ (a & c) ^ (bb & c))) | 0;
      hh = g; g = f; f = e; e = (d + t1) | 0; d = c; c = bb; bb = a; a = (t1 + t2) | 0;
    }
    h[0] += a; h[1] += bb; h[2] += c; h[3] += d; h[4] += e; h[5] += f; h[6] += g; h[7] += hh;
  }

  function sha256Update(st, bytes) {
    const b = bytesOf(bytes);
    if (!b) return st;
    let i = 0;
    st.total += b.length;
    if (st.fill > 0) {
      while (st.fill < 64 && i < b.length) st.tail[st.fill++] = b[i++];
      if (st.fill < 64) return st;
      sha256Block(st, st.tail, 0);
      st.fill = 0;
    }
    for (; i + 64 <= b.length; i += 64) sha256Block(st, b, i);
    while (i < b.length) st.tail[st.fill++] = b[i++];
    return st;
  }

  function sha256Hex(st) {
    const c = { h: st.h.slice(), w: new Uint32Array(64), tail: st.tail.slice(), fill: st.fill, total: st.total };
    c.tail[c.fill++] = 0x80;
    if (c.fill > 56) {
      c.tail.fill(0, c.fill);
      sha256Block(c, c.tail, 0);
      c.fill = 0;
    }
    c.tail.fill(0, c.fill, 56);
    const hi = Math.floor(c.total / 0x20000000);
    const lo = (c.total % 0x20000000) * 8;
    for (let i = 0; i < 4; i++) {
      c.tail[56 + i] = (hi >>> (24 - 8 * i)) & 0xff;
      c.tail[60 + i] = (lo >>> (24 - 8 * i)) & 0xff;
    }
    sha256Block(c, c.tail, 0);
    let out = '';
    for (const word of c.h) out += word.toString(16).padStart(8, '0');
    return out;
  }

  function fileSendName(raw) {
    return Array.from(clipClean(raw)).slice(-FILE_NAME_SEND_MAX).join('');
  }

  // A name from the Mac is shown and offered as a download name: nothing in
  // it may steer text direction, hide characters or climb into a folder.
  const FILE_UNSAFE_RE = /[\u0000-\u001F\u007F-\u009F\u200B-\u200F\u2028-\u202E\u2066-\u2069\uFEFF]/g;

  function fileSafeName(raw) {
    let s = clipClean(raw).replace(FILE_UNSAFE_RE, '');
    s = s.slice(Math.max(s.lastIndexOf('/'), s.lastIndexOf('\\')) + 1);
    s = s.replace(/^[.\s]+/, '').trim();
    s = Array.from(s).slice(0, FILE_NAME_SEND_MAX).join('');
    return s || 'file';
  }

  const FILE_TYPES = {
    jpg: 'image/jpeg', jpeg: 'image/jpeg', png: 'image/png', gif: 'image/gif', heic: 'image/heic',
    webp: 'image/webp', pdf: 'application/pdf', mp3: 'audio/mpeg', txt: 'text/plain', csv: 'text/csv',
    json: 'application/json', zip: 'application/zip', mp4: 'video/mp4', mov: 'video/quicktime', m4a: 'audio/mp4',
  };

  function fileTypeFor(name) {
    const s = String(name == null ? '' : name);
    const dot = s.lastIndexOf('.');
    const ext = dot > 0 ? s.slice(dot + 1).toLowerCase() : '';
    return Object.prototype.hasOwnProperty.call(FILE_TYPES, ext) ? FILE_TYPES[ext] : 'application/octet-stream';
  }

  function encodeFileList(id) { return isFileId(id) ? JSON.stringify({ t: 'file-list', id: id }) : null; }

  function encodeFilePut(id, name, size) {
    const sent = fileSendName(name);
    if (!isFileId(id) || !isFileSize(size) || sent === '') return null;
    return JSON.stringify({ t: 'file-put', id: id, name: sent, size: size });
  }

  function encodeFilePutEnd(id, sha256) {
    return isFileId(id) && isSha256(sha256) ? JSON.stringify({ t: 'file-put-end', id: id, sha256: sha256 }) : null;
  }

  function encodeFileGet(id, name) {
    if (!isFileId(id) || typeof name !== 'string' || name === '' || utf8Length(name) > FILE_NAME_WIRE_MAX) return null;
    return JSON.stringify({ t: 'file-get', id: id, name: name });
  }

  function encodeFileCancel(id) { return isFileId(id) ? JSON.stringify({ t: 'file-cancel', id: id }) : null; }

  function encodeFileChunk(id, offset, bytes) {
    const b = bytes == null ? null : bytesOf(bytes);
    if (!isFileId(id) || !inRange(offset, 0, FILE_MAX) || !b || b.length < 1 || b.length > FILE_UP_CHUNK_MAX) return null;
    const frame = new Uint8Array(FILE_CHUNK_HEADER + b.length);
    const view = new DataView(frame.buffer);
    frame[0] = FILE_TAG_UP;
    view.setUint32(1, id);
    view.setUint32(5, offset);
    frame.set(b, FILE_CHUNK_HEADER);
    return frame;
  }

  function parseFileChunk(buffer) {
    const b = buffer == null ? null : bytesOf(buffer);
    if (!b || b.length <= FILE_CHUNK_HEADER || b[0] !== FILE_TAG_DOWN) return null;
    const view = new DataView(b.buffer, b.byteOffset, b.byteLength);
    const id = view.getUint32(1);
    const offset = view.getUint32(5);
    if (!isFileId(id) || offset > FILE_MAX) return null;
    return { id: id, offset: offset, data: b.subarray(FILE_CHUNK_HEADER) };
  }

  function isFileMessage(buffer) {
    const b = buffer == null ? null : bytesOf(buffer);
    return !!b && b.length > 0 && b[0] === FILE_TAG_DOWN;
  }

  function fileUpStart(id, size) {
    return { id: id, size: size, phase: 'asking', chunk: 0, window: 0, sent: 0, acked: 0, name: '', error: '' };
  }

  function fileUpNext(s) {
    if (!s || s.phase !== 'sending') return 0;
    const n = Math.min(s.chunk, s.size - s.sent);
    return n > 0 && s.sent - s.acked + n <= s.chunk * s.window ? n : 0;
  }

  function fileErrorWord(msg) {
    return msg.ok === false && typeof msg.error === 'string' && msg.error !== '' ? msg.error : 'broken';
  }

  function fileUpStep(s, ev) {
    if (!s || !ev || s.phase === 'done' || s.phase === 'failed') return s;
    const next = (changes) => Object.assign({}, s, changes);
    const fail = (error) => next({ phase: 'failed', error: error });
    if (ev.type === 'sent') {
      if (s.phase !== 'sending' || !(ev.count > 0) || s.sent + ev.count > s.size) return fail('broken');
      const sent = s.sent + ev.count;
      return next({ sent: sent, phase: sent === s.size ? 'ending' : 'sending' });
    }
    if (ev.id !== s.id) return s;
    switch (ev.t) {
      case 'file-put-ready':
        if (s.phase === 'asking' && inRange(ev.chunk, 1, FILE_UP_CHUNK_MAX) && inRange(ev.window, 1, FILE_UP_WINDOW_MAX)) {
          return next({ phase: 'sending', chunk: ev.chunk, window: ev.window });
        }
        return fail('broken');
      case 'file-ack':
        if (s.phase === 'asking' || !Number.isInteger(ev.n) || ev.n < s.acked || ev.n > s.sent) return fail('broken');
        return next({ acked: ev.n });
      case 'file-put-result':
        if (ev.ok === true && s.phase === 'ending' && typeof ev.name === 'string' && ev.name !== '') {
          return next({ phase: 'done', acked: s.size, name: ev.name });
        }
        return fail(fileErrorWord(ev));
      default:
        return s;
    }
  }

  function fileDownStart(id, name) {
    return { id: id, name: name, phase: 'asking', size: 0, chunk: 0, got: 0, sha256: '', error: '', keep: false };
  }

  function fileDownStep(s, ev) {
    if (!s || !ev || s.phase === 'done' || s.phase === 'failed') return s;
    const next = (changes) => Object.assign({}, s, { keep: false }, changes);
    const fail = (error) => next({ phase: 'failed', error: error });
    if (ev.type === 'chunk') {
      if (ev.id !== s.id) return s;
      if (s.phase !== 'receiving' || ev.offset !== s.got || !(ev.length >= 1) || ev.length > s.chunk ||
          s.got + ev.length > s.size) return fail('broken');
      return next({ got: s.got + ev.length, keep: true });
    }
    if (ev.type === 'hash') {
      if (s.phase !== 'checking') return s;
      return ev.hex === s.sha256 ? next({ phase: 'done' }) : fail('broken');
    }
    if (ev.id !== s.id) return s;
    switch (ev.t) {
      case 'file-get-ready':
        if (s.phase === 'asking' && isFileSize(ev.size) && inRange(ev.chunk, 1, FILE_DOWN_CHUNK_MAX)) {
          return next({ phase: 'receiving', size: ev.size, chunk: ev.chunk });
        }
        return fail('broken');
      case 'file-get-result':
        if (ev.ok === true && s.phase === 'receiving' && s.got === s.size && isSha256(ev.sha256)) {
          return next({ phase: 'checking', sha256: ev.sha256 });
        }
        return fail(fileErrorWord(ev));
      default:
        return s;
    }
  }

  function fileListAnswer(msg, id) {
    if (!msg || msg.t !== 'file-list-result' || msg.id !== id) return { kind: 'ignore' };
    if (msg.ok !== true || !Array.isArray(msg.files)) return { kind: 'error', error: fileErrorWord(msg) };
    const files = [];
    let more = msg.more === true;
    for (const f of msg.files) {
      if (files.length >= FILE_LIST_MAX) { more = true; break; }
      const ok = f && typeof f === 'object' && typeof f.name === 'string' && f.name !== '' &&
        utf8Length(f.name) <= FILE_NAME_WIRE_MAX && Number.isInteger(f.size) && f.size >= 0;
      if (!ok) { more = true; continue; }
      const mtime = Number.isInteger(f.mtime) && f.mtime > 0 ? f.mtime : 0;
      files.push({ name: f.name, size: f.size, mtime: mtime, can: isFileSize(f.size) });
    }
    return { kind: 'list', files: files, more: more };
  }

  function fileSizeText(bytes) {
    const n = Math.max(0, Math.floor(Number(bytes) || 0));
    if (n < 1000) return n + (n === 1 ? ' byte' : ' bytes');
    if (n < 999500) return Math.round(n / 1000) + ' KB';
    const mb = n / 1000000;
    return (mb < 99.95 ? mb.toFixed(1) : String(Math.round(mb))) + ' MB';
  }

  function fileProgressText(done, total) {
    if (!(total > 0)) return '';
    const d = Math.min(Math.max(0, done), total);
    const percent = done >= total ? 100 : Math.min(99, Math.floor(d * 100 / total));
    return fileSizeText(d) + ' of ' + fileSizeText(total) + ' (' + percent + '%)';
  }

  const FILE_STATUS = {
    'up-asking': ['busy', 'Asking the Mac.'],
    'up-sending': ['busy', 'Sending to the Mac. '],
    'up-checking': ['busy', 'All sent. The Mac is checking the file.'],
    'up-waiting': ['busy', 'Waiting for the connection to the Mac, then sending.'],
    'down-asking': ['busy', 'Asking the Mac for the file.'],
    'down-receiving': ['busy', 'Getting it from the Mac. '],
    'down-checking': ['busy', 'All here. Checking the file.'],
    'down-done': ['ok', 'Here, checked and complete. Save it to keep it on this device.'],
    'list-asking': ['busy', 'Asking the Mac what is in the Outbox.'],
    'list-empty': ['ok', 'The Outbox is empty. On the Mac, open the Morvane menu, Files, Send Files to My Devices, pick the file, then look again.'],
    'list-more': ['ok', 'These are the newest 200 files. There are more in the Outbox.'],
    'list-timeout': ['error', 'The Mac did not answer. Try again in a moment.'],
    'cancelled': ['ok', 'Cancelled. Nothing was kept.'],
    'empty': ['error', 'That file is empty, so there is nothing to send.'],
    'too-large': ['error', 'Too large. The limit is 200 MB for one file.'],
    'bad-name': ['error', 'The Mac could not use that file\u2019s name.'],
    'busy': ['error', 'The Mac is still busy with another file. Try again when it is done.'],
    'too-soon': ['error', 'That was too quick after the last one. Wait a second and try again.'],
    'hash-mismatch': ['error', 'The file did not arrive intact, so the Mac did not keep it. Try again.'],
    'write-failed': ['error', 'The Mac could not save the file. Its disk may be full, or Morvane may not be allowed to use the Downloads folder: look for a question on the Mac\u2019s screen.'],
    'not-found': ['error', 'That file is no longer in the Outbox. Look again for what is there now.'],
    'read-failed': ['error', 'The Mac could not read the file, or it changed while it was being sent. Try again.'],
    'timeout': ['error', 'Nothing moved for 30 seconds, so the Mac gave up. Try again.'],
    'offline': ['error', 'The connection to the Mac was lost, so the transfer ended. Nothing was kept.'],
    'not-connected': ['error', 'Not connected to the Mac.'],
    'unavailable': ['error', 'This Mac does not offer file transfer.'],
    'local-read-failed': ['error', 'This device could not read that file. If it is in iCloud, download it first, then try again.'],
    'share-failed': ['error', 'This device did not open its share sheet. Use Save instead.'],
  };

  function fileStatusText(what, detail) {
    if (what === 'up-done') {
      return { kind: 'ok', text: 'On the Mac, checked and complete. It is in Downloads, in the Morvane folder, as \u201c' + (detail || '') + '\u201d.' };
    }
    const row = Object.prototype.hasOwnProperty.call(FILE_STATUS, what) ? FILE_STATUS[what] : null;
    if (!row) return { kind: 'error', text: 'The file did not arrive whole and was not kept. Try again.' };
    const withProgress = what === 'up-sending' || what === 'down-receiving';
    return { kind: row[0], text: row[1] + (withProgress ? (detail || '') : '') };
  }

  // ---------------------------------------------------------------------
  // Sound
  // ---------------------------------------------------------------------

  const AUDIO_TAG = 0x20;
  const AUDIO_HEADER_BYTES = 16;
  const AUDIO_ANSWER_MS = 8000;
  const AUDIO_RUNNING_MS = 3000;
  const AUDIO_RATE_MIN = 8000;
  const AUDIO_RATE_MAX = 48000;
  // Above this high word a frame index no longer fits a script number exactly.
  const AUDIO_TS_HIGH_MAX = 0x1FFFFF;

  function encodeAudio(on) { return JSON.stringify({ t: on ? 'audio-start' : 'audio-stop' }); }

  function parseAudioHeader(buffer) {
    const b = buffer ? bytesOf(buffer) : null;
    if (!b || b.length <= AUDIO_HEADER_BYTES) return null;
    if (b[0] !== AUDIO_TAG || b[1] !== 1 || b[3] !== 0) return null;
    const channels = b[2];
    if (channels !== 1 && channels !== 2) return null;
    const u32 = (at) => b[at] * 16777216 + ((b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3]);
    const rate = u32(4);
    if (rate < AUDIO_RATE_MIN || rate > AUDIO_RATE_MAX) return null;
    const high = u32(8);
    if (high > AUDIO_TS_HIGH_MAX) return null;
    const sampleBytes = b.length - AUDIO_HEADER_BYTES;
    if (sampleBytes % (2 * channels) !== 0) return null;
    return {
      channels: channels, rate: rate, ts: high * 4294967296 + u32(12),
      frames: sampleBytes / (2 * channels), offset: AUDIO_HEADER_BYTES,
    };
  }

  // Mono floats for the player: the channels of a frame are averaged.
  function audioSamples(buffer, head) {
    const b = bytesOf(buffer);
    const out = new Float32Array(head.frames);
    const view = new DataView(b.buffer, b.byteOffset + head.offset, head.frames * 2 * head.channels);
    const scale = 32768 * head.channels;
    let at = 0;
    for (let i = 0; i < head.frames; i++) {
      let sum = 0;
      for (let c = 0; c < head.channels; c++) { sum += view.getInt16(at, true); at += 2; }
      out[i] = sum / scale;
    }
    return out;
  }

  function parseAudioState(msg) {
    if (!msg || typeof msg !== 'object' || msg.t !== 'audio') return null;
    if (msg.state === 'on') {
      const rate = msg.rate;
      if (msg.codec === 'pcm16' && isNum(rate) && rate >= AUDIO_RATE_MIN && rate <= AUDIO_RATE_MAX &&
        (msg.ch === 1 || msg.ch === 2)) {
        return { on: true, rate: rate, channels: msg.ch };
      }
      return { on: false, reason: 'format' };
    }
    if (msg.state === 'off') return { on: false, reason: typeof msg.reason === 'string' ? msg.reason : '' };
    return null;
  }

  const SOUND_OFF_TEXT = 'Plays the Mac\u2019s own sound here, never its microphone. About 3 MB a minute while the Mac ' +
    'is making sound: mind mobile data.';
  const SOUND_ENDED = {
    'unavailable': ['error', 'This Mac\u2019s Morvane cannot send sound.'],
    'no-permission': ['error', 'The Mac does not let Morvane capture it. Allow Screen Recording for Morvane on the Mac.'],
    'no-display': ['error', 'Sound needs a display on the Mac, and none is on right now.'],
    'browser': ['error', 'This browser cannot play the sound. It needs a secure (https) page and Web Audio.'],
    'blocked': ['error', 'The browser did not let sound start. Press the button again.'],
    'interrupted': ['error', 'This device stopped the sound (a call, or another app). Turn it on again when you want it.'],
    'hidden': ['off', 'Sound was turned off while this page was in the background. ' + SOUND_OFF_TEXT],
    'timeout': ['error', 'The Mac did not answer. Try again.'],
  };

  function soundStatus(state, reason) {
    if (state === 'starting') return { kind: 'busy', text: 'Turning sound on\u2026' };
    if (state === 'on') {
      return { kind: 'ok', text: 'Sound is on: the Mac\u2019s own output, not its microphone. About 3 MB a minute while it plays.' };
    }
    if (state !== 'ended') return { kind: 'off', text: SOUND_OFF_TEXT };
    const row = Object.prototype.hasOwnProperty.call(SOUND_ENDED, reason) ? SOUND_ENDED[reason] : null;
    if (!row) return { kind: 'error', text: 'The Mac could not capture its sound. Try again.' };
    return { kind: row[0], text: row[1] };
  }

  // ---------------------------------------------------------------------
  // The page
  // ---------------------------------------------------------------------

  function startApp() {
    const relay = (typeof window.MorvaneRelay === 'object' && window.MorvaneRelay) ? window.MorvaneRelay : null;
    const $ = (id) => document.getElementById(id);
    const root = document.documentElement;
    const ids = [
      'pair-screen', 'pair-form', 'pair-code', 'pair-code-hint', 'pair-name', 'pair-error', 'pair-button',
      'session-screen', 'conn-dot', 'conn-text', 'keys-chip', 'kb-chip', 'hide-chip', 'metrics', 'rtt', 'fps',
      'pic-mode', 'rate', 'zoom-reset', 'zoom-text', 'pointer-toggle', 'pointer-word',
      'banner', 'banner-title', 'banner-detail', 'banner-list', 'banner-more',
      'work', 'stage', 'screen', 'pointer-mark', 'tap-mark', 'hint', 'overlay', 'overlay-title', 'overlay-text', 'reconnect',
      'compose', 'compose-close', 'compose-text', 'lt-strip', 'lt-field', 'lt-toggle', 'compose-send', 'lt-done',
      'compose-plain', 'compose-return', 'lt-note', 'compose-note',
      'keys', 'more', 'clip', 'files', 'cluster', 'type-toggle', 'keys-toggle',
      'files-open', 'fullscreen', 'lock-mac', 'disconnect', 'lid-note', 'quality', 'forget',
      'picture-note', 'video-retry', 'clip-text', 'pointer-note', 'kb-swap', 'kb-chars', 'kb-kept', 'kb-capture',
      'kb-capture-note', 'clip-count', 'clip-status', 'clip-paste-local', 'clip-send', 'clip-paste-mac', 'clip-get',
      'clip-copy-get', 'clip-copy-local', 'display-set', 'display-list', 'display-note', 'fit-row', 'sound-set',
      'sound-toggle', 'sound-note',
      'confirm', 'confirm-text', 'confirm-cancel', 'confirm-ok',
      'files-input', 'files-pick', 'files-up', 'files-up-bar', 'files-up-cancel', 'files-up-status', 'files-list-get',
      'files-list', 'files-down', 'files-down-bar', 'files-down-cancel', 'files-down-status', 'files-saved', 'files-save',
      'files-share',
    ];
    const el = {};
    for (const id of ids) el[id.replace(/-([a-z])/g, (m, c) => c.toUpperCase())] = $(id);
    const session = el.sessionScreen;
    const sheets = { keys: el.keys, more: el.more, clip: el.clip, files: el.files };

    const reducedMotion = window.matchMedia('(prefers-reduced-motion: reduce)');
    const coarsePointer = window.matchMedia('(pointer: coarse)');
    const onPhone = () => coarsePointer.matches && Math.min(screen.width, screen.height) < 600;
    const mono = () => performance.now();

    function soon(fn) {
      let done = false;
      const run = () => { if (!done) { done = true; fn(); } };
      requestAnimationFrame(run);
      setTimeout(run, 50);
    }

    // Storage can throw (private browsing); a failed write keeps the value
    // for this page's life only.
    const memoryStore = {};
    function storeGet(key) {
      try { const v = localStorage.getItem(key); if (v !== null) return v; } catch (e) { /* memory only */ }
      return Object.prototype.hasOwnProperty.call(memoryStore, key) ? memoryStore[key] : null;
    }
    function storeSet(key, value) {
      memoryStore[key] = value;
      try { localStorage.setItem(key, value); } catch (e) { /* memory only */ }
    }

    let memoryToken = null;
    function loadToken() {
      try { const v = localStorage.getItem(TOKEN_KEY); if (v) return v; } catch (e) { /* memory copy */ }
      return memoryToken;
    }
    function saveToken(token) {
      memoryToken = token;
      try { localStorage.setItem(TOKEN_KEY, token); } catch (e) { /* memory copy */ }
    }
    function clearToken() {
      memoryToken = null;
      try { localStorage.removeItem(TOKEN_KEY); } catch (e) { /* nothing stored */ }
    }

    // Sections not built yet answer the spine's calls with nothing to do.
    const fxEvent = () => {};
    const parseFxState = (msg) => msg;
    const parseFxResult = (msg) => msg;
    const isTypeField = (node) => !!node && (node === el.composeText || node === el.ltField);
    const typeField = () => (el.ltStrip.hidden ? el.composeText : el.ltField);

    // -------------------------------------------------------------------
    // Connection and pairing
    // -------------------------------------------------------------------

    const PING_MS = 2000;
    const SILENCE_MS = 10000;
    const CONNECT_MS = 10000;

    const conn = {
      screen: '', ws: null, ready: false, denied: false, stopReason: null, byeNote: '', attempt: 0,
      wantRefresh: false, lastRx: 0, pingId: 0, pingSentAt: 0,
      connectTimer: null, pingTimer: null, retryTimer: null,
    };
    let firstMessage = null;

    function guessName() {
      return guessDeviceName(navigator.userAgent, navigator.maxTouchPoints || 0, navigator.platform || '');
    }

    function setPairError(message) {
      el.pairError.textContent = message || '';
      el.pairError.hidden = !message;
    }

    function showPairing(message) {
      conn.screen = 'pair';
      session.hidden = true;
      el.pairScreen.hidden = false;
      if (!el.pairName.value) el.pairName.value = guessName();
      setPairError(message || '');
      if (!coarsePointer.matches) el.pairCode.focus();
    }

    function showSession() {
      if (!session.hidden && conn.screen === 'session') return;
      conn.screen = 'session';
      el.pairScreen.hidden = true;
      session.hidden = false;
      relayout();
    }

    function leaveForSetup(why) {
      conn.screen = '';
      session.hidden = true;
      if (relay && typeof relay.needSetup === 'function') relay.needSetup(why);
    }

    function onCodeInput() {
      const f = el.pairCode;
      const r = formatCodeInput(f.value, f.selectionStart);
      f.value = r.text;
      try { f.setSelectionRange(r.caret, r.caret); } catch (e) { /* unfocused field */ }
      if (r.rejected) el.pairCodeHint.textContent = 'Codes never use the letters I and O or the digits 0 and 1.';
      else if (r.text === '') el.pairCodeHint.textContent = 'Eight letters and digits. You can paste it.';
      setPairError('');
    }

    let pairing = false;
    async function submitPairing(event) {
      if (event) event.preventDefault();
      if (pairing) return;
      const code = codeChars(el.pairCode.value);
      const name = cleanDeviceName(el.pairName.value) || guessName();
      if (!isValidCode(code)) {
        setPairError(code.length === 0 ? 'Enter the code shown on the Mac.'
          : 'The code has 8 letters and digits. ' + code.length + ' so far.');
        el.pairCode.focus();
        return;
      }
      setPairError('');
      pairing = true;
      el.pairButton.disabled = true;
      el.pairButton.textContent = 'Pairing…';
      let response = null;
      let body = null;
      try {
        response = await fetch('/api/pair', {
          method: 'POST', headers: { 'Content-Type': 'application/json' },
          body: JSON.stringify({ code: code, name: name }), credentials: 'omit', cache: 'no-store',
        });
        try { body = await response.json(); } catch (e) { body = null; }
      } catch (e) {
        response = null;
      }
      pairing = false;
      el.pairButton.disabled = false;
      el.pairButton.textContent = 'Pair this device';
      if (!response) {
        setPairError('Could not reach Morvane on the Mac. Check that it is running, then try again.');
        return;
      }
      const token = body && typeof body === 'object' ? body.token : null;
      if (response.status === 200 && encodeAuth(token)) {
        saveToken(token);
        el.pairCode.value = '';
        el.pairCodeHint.textContent = 'Eight letters and digits. You can paste it.';
        startSession();
        return;
      }
      setPairError(pairErrorText(body && typeof body === 'object' ? body.error : null));
    }

    function startSession() {
      conn.stopReason = null;
      conn.attempt = 0;
      conn.byeNote = '';
      openSocket();
    }

    function clearTimers() {
      clearTimeout(conn.connectTimer); conn.connectTimer = null;
      clearInterval(conn.pingTimer); conn.pingTimer = null;
      clearTimeout(conn.retryTimer); conn.retryTimer = null;
    }

    function openSocket() {
      clearTimeout(conn.retryTimer); conn.retryTimer = null;
      if (relay) {
        firstMessage = relay.firstMessage || null;
      } else {
        const token = loadToken();
        firstMessage = encodeAuth(token);
      }
      if (!firstMessage) {
        clearToken();
        showPairing('');
        return;
      }
      showSession();
      if (conn.attempt > 0) {
        setConn('busy', 'Reconnecting');
        showOverlay('Reconnecting to your Mac', '', '');
      } else {
        setConn('busy', 'Connecting');
        showOverlay('Connecting to your Mac', '', '');
      }
      let ws;
      try {
        if (relay) ws = relay.openSocket();
        else ws = new WebSocket((location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + '/ws');
      } catch (e) {
        decideAfterEnd();
        return;
      }
      ws.binaryType = 'arraybuffer';
      conn.ws = ws;
      conn.ready = false;
      conn.denied = false;
      const sent = firstMessage;
      conn.connectTimer = setTimeout(() => {
        if (conn.ws === ws && !conn.ready) dropSocket();
      }, CONNECT_MS);
      ws.onopen = () => {
        if (conn.ws !== ws) return;
        conn.lastRx = Date.now();
        try { ws.send(sent); } catch (e) { /* the close that follows decides */ }
      };
      ws.onmessage = (event) => {
        if (conn.ws !== ws) return;
        conn.lastRx = Date.now();
        const data = event.data;
        if (typeof data === 'string') {
          rxBytes += data.length;
          onText(data);
        } else {
          rxBytes += data.byteLength || 0;
          if (conn.ready) onBinary(data);
        }
      };
      ws.onclose = () => {
        if (conn.ws !== ws) return;
        teardown();
        decideAfterEnd();
      };
      ws.onerror = () => {};
    }

    function send(message) {
      if (message == null || !conn.ready || !conn.ws || conn.ws.readyState !== 1) return false;
      try { conn.ws.send(message); return true; } catch (e) { return false; }
    }

    function teardown() {
      const ws = conn.ws;
      conn.ws = null;
      conn.ready = false;
      clearTimers();
      if (ws) {
        ws.onopen = ws.onmessage = ws.onclose = ws.onerror = null;
        try { ws.close(); } catch (e) { /* already closed */ }
      }
      pendingFrame = null;
      clipReset(true);
      fileReset();
      soundEnd('');
      videoEvent({ type: 'closed' });
      displayEvent({ type: 'closed' });
      fxEvent({ type: 'closed' });
      el.metrics.hidden = true;
      hideMark();
      renderStatus(null);
      resetInputState();
    }

    function dropSocket() {
      teardown();
      decideAfterEnd();
    }

    function stopSession(reason) {
      conn.stopReason = reason;
      dropSocket();
    }

    function endSession() {
      conn.stopReason = 'user';
      teardown();
      hideOverlay();
      setSheet(null, false);
      conn.screen = '';
      session.hidden = true;
    }

    function decideAfterEnd() {
      if (conn.denied) {
        conn.denied = false;
        if (relay) { leaveForSetup('denied'); return; }
        clearToken();
        showPairing('This device is no longer paired with the Mac. Pair it again with a new code.');
        return;
      }
      if (conn.stopReason) {
        const reason = conn.stopReason;
        setConn('off', 'Disconnected');
        let advice = stopAdvice(reason);
        let button = 'Reconnect';
        if (reason === 'revoked') {
          advice = relay && relay.text && relay.text.revokedAdvice ? relay.text.revokedAdvice : advice;
          button = relay && relay.text && relay.text.revokedButton ? relay.text.revokedButton : 'Pair again';
        }
        showOverlay(byeText(reason), advice, button);
        return;
      }
      const delay = backoffDelay(conn.attempt);
      conn.attempt += 1;
      const title = conn.byeNote || (navigator.onLine === false ? byeText('offline') : DROP_TEXT);
      showOverlay(title, retryText(delay), 'Try now');
      setConn('busy', 'Reconnecting');
      clearTimeout(conn.retryTimer);
      conn.retryTimer = setTimeout(() => { conn.retryTimer = null; openSocket(); }, delay);
    }

    function onText(data) {
      let msg;
      try { msg = JSON.parse(data); } catch (e) { return; }
      if (!msg || typeof msg !== 'object' || Array.isArray(msg)) return;
      switch (msg.t) {
        case 'ready': onReady(); break;
        case 'status': if (conn.ready) renderStatus(msg); break;
        case 'pong': onPong(msg); break;
        case 'video': if (conn.ready) videoEvent({ type: 'server', msg: msg }); break;
        case 'audio': if (conn.ready) onAudioState(msg); break;
        case 'clip': case 'clip-data': case 'clip-put-result':
          if (conn.ready) onClipMessage(msg);
          break;
        case 'disp-list': if (conn.ready) displayEvent({ type: 'list', listing: parseDisplayList(msg) }); break;
        case 'disp-result': if (conn.ready) displayEvent({ type: 'result', msg: msg }); break;
        case 'fx-state': if (conn.ready) fxEvent({ type: 'state', state: parseFxState(msg) }); break;
        case 'fx-result': if (conn.ready) fxEvent({ type: 'result', result: parseFxResult(msg) }); break;
        case 'file-put-ready': case 'file-ack': case 'file-put-result':
        case 'file-get-ready': case 'file-get-result': case 'file-list-result':
          if (conn.ready) onFileMessage(msg);
          break;
        case 'bye': onBye(msg.reason); break;
        case 'denied': conn.denied = true; dropSocket(); break;
        default: break;
      }
    }

    function onReady() {
      if (conn.ready) return;
      conn.ready = true;
      conn.attempt = 0;
      conn.byeNote = '';
      clearTimeout(conn.connectTimer); conn.connectTimer = null;
      hideOverlay();
      setConn('on', 'Connected');
      el.rtt.textContent = '';
      el.fps.textContent = '';
      el.rate.textContent = '';
      rxBytes = 0;
      rxSeconds = [];
      frameCount = 0;
      el.metrics.hidden = false;
      send(encodeQuality(el.quality.value));
      videoEvent({ type: 'ready', capable: videoCapable() });
      if (conn.wantRefresh) { conn.wantRefresh = false; send(encodeSimple('refresh')); }
      sendPing();
      conn.pingTimer = setInterval(pingTick, PING_MS);
      fileOnReady();
      fxEvent({ type: 'ready' });
      showMark();
      if (!coarsePointer.matches && (!document.activeElement || document.activeElement === document.body)) {
        el.stage.focus({ preventScroll: true });
      }
    }

    function onBye(reason) {
      const r = typeof reason === 'string' ? reason : '';
      if (shouldAutoReconnect(r)) conn.byeNote = byeText(r);
      else conn.stopReason = r;
      dropSocket();
    }

    function sendPing() {
      conn.pingId += 1;
      conn.pingSentAt = mono();
      send(encodePing(conn.pingId));
    }

    function pingTick() {
      if (Date.now() - conn.lastRx > SILENCE_MS) { dropSocket(); return; }
      sendPing();
    }

    function onPong(msg) {
      if (msg.id !== conn.pingId) return;
      el.rtt.textContent = Math.max(0, Math.round(mono() - conn.pingSentAt)) + ' ms';
    }

    function onReconnectButton() {
      if (conn.stopReason === 'revoked') {
        conn.stopReason = null;
        hideOverlay();
        if (relay) { leaveForSetup('revoked'); return; }
        clearToken();
        showPairing('');
        return;
      }
      teardown();
      startSession();
    }

    function forgetDevice() {
      const question = relay && relay.text && relay.text.forget ? relay.text.forget
        : 'Forget this device? You will need a new pairing code to connect again. The Mac keeps it in its list until you remove it there.';
      askConfirm(question, 'Forget', () => {
        conn.stopReason = 'user';
        teardown();
        hideOverlay();
        setSheet(null, false);
        if (relay) { leaveForSetup('forget'); return; }
        clearToken();
        showPairing('');
      });
    }

    function onVisible() {
      if (document.visibilityState === 'hidden') {
        releaseAllInput();
        if (ui.sheet === 'clip') setSheet(null, false);
        ltBlur();
        soundEnd('hidden');
        videoEvent({ type: 'hidden' });
        return;
      }
      videoEvent({ type: 'visible' });
      if (conn.screen !== 'session' || conn.stopReason) return;
      const ws = conn.ws;
      if (ws && (ws.readyState === 0 || ws.readyState === 1)) {
        if (conn.ready) {
          conn.lastRx = Date.now();
          sendPing();
          send(encodeSimple('refresh'));
        }
        return;
      }
      teardown();
      conn.attempt = 0;
      conn.wantRefresh = true;
      openSocket();
    }

    function onPageHide() {
      releaseAllInput();
      if (ui.sheet === 'clip') setSheet(null, false);
      soundEnd('hidden');
    }

    // -------------------------------------------------------------------
    // Sound
    // -------------------------------------------------------------------

    // Every start and every end moves `run` on, so a callback left over from
    // an earlier run (a late worklet load, a time limit, a context change)
    // finds it changed and does nothing.
    const sound = { state: 'off', reason: '', run: 0, ctx: null, node: null, ran: false, timer: null, stats: null };

    function setAudioSession(type) {
      try { if (navigator.audioSession) navigator.audioSession.type = type; } catch (e) { /* not offered */ }
    }

    function quietly(fn) {
      try {
        const p = fn();
        if (p && typeof p.catch === 'function') p.catch(() => {});
      } catch (e) { /* nothing to undo */ }
    }

    function soundStart() {
      if (!conn.ready || sound.state === 'starting' || sound.state === 'on') return;
      const Ctor = window.AudioContext || window.webkitAudioContext;
      let ctx = null;
      if (window.isSecureContext && typeof Ctor === 'function') {
        try { ctx = new Ctor({ latencyHint: 'interactive' }); } catch (e) { ctx = null; }
      }
      if (!ctx || !ctx.audioWorklet || typeof window.AudioWorkletNode !== 'function') {
        if (ctx) quietly(() => ctx.close());
        sound.state = 'ended';
        sound.reason = 'browser';
        soundRender();
        return;
      }
      sound.run += 1;
      const run = sound.run;
      sound.state = 'starting';
      sound.reason = '';
      sound.ctx = ctx;
      sound.node = null;
      sound.ran = ctx.state === 'running';
      sound.stats = null;
      setAudioSession('playback');
      ctx.onstatechange = () => {
        if (run !== sound.run) return;
        if (ctx.state === 'running') sound.ran = true;
        else if (sound.ran) { soundEnd('interrupted'); return; }
        soundRender();
      };
      // Browsers let audio start only inside the press itself.
      quietly(() => ctx.resume());
      let loading;
      try { loading = ctx.audioWorklet.addModule('/audio-worklet.js'); } catch (e) { loading = Promise.reject(e); }
      Promise.resolve(loading).then(() => {
        if (run !== sound.run) return;
        const node = new window.AudioWorkletNode(ctx, 'morvane-audio',
          { numberOfInputs: 0, numberOfOutputs: 1, outputChannelCount: [1] });
        node.port.onmessage = (ev) => {
          if (run !== sound.run) return;
          sound.stats = ev.data && typeof ev.data === 'object' ? ev.data : null;
          soundRender();
        };
        node.connect(ctx.destination);
        sound.node = node;
        // Only now: the Mac never captures for a player that could not be built.
        send(encodeAudio(true));
      }).catch(() => { if (run === sound.run) soundEnd('browser'); });
      sound.timer = setTimeout(() => {
        if (run === sound.run && sound.state === 'starting') soundEnd('timeout');
      }, AUDIO_ANSWER_MS);
      soundRender();
    }

    // The only way sound ends; '' is the owner's own doing.
    function soundEnd(reason) {
      if (sound.state !== 'starting' && sound.state !== 'on') {
        if (reason === '' && sound.state === 'ended') {
          sound.state = 'off';
          sound.reason = '';
          soundRender();
        }
        return;
      }
      sound.run += 1;
      clearTimeout(sound.timer);
      sound.timer = null;
      send(encodeAudio(false));
      const node = sound.node;
      const ctx = sound.ctx;
      sound.node = null;
      sound.ctx = null;
      if (node) {
        quietly(() => node.port.postMessage({ type: 'stop' }));
        node.port.onmessage = null;
        quietly(() => node.disconnect());
      }
      if (ctx) {
        ctx.onstatechange = null;
        quietly(() => ctx.close());
      }
      sound.stats = null;
      setAudioSession('auto');
      sound.state = reason ? 'ended' : 'off';
      sound.reason = reason || '';
      soundRender();
    }

    function onAudioState(msg) {
      const a = parseAudioState(msg);
      if (!a) return;
      if (!a.on) {
        // "stopped" answers this page's own stop.
        if (a.reason !== 'stopped') soundEnd(a.reason || 'failed');
        return;
      }
      if (sound.state !== 'starting') {
        // The answer to a request taken back meanwhile: the Mac must not go on capturing.
        if (sound.state !== 'on') send(encodeAudio(false));
        return;
      }
      clearTimeout(sound.timer);
      sound.state = 'on';
      const run = sound.run;
      sound.timer = setTimeout(() => {
        if (run !== sound.run) return;
        sound.timer = null;
        if (!sound.ctx || sound.ctx.state !== 'running') soundEnd('blocked');
      }, AUDIO_RUNNING_MS);
      soundRender();
    }

    function onAudioMessage(buffer) {
      if (sound.state !== 'on' || !sound.node) return;
      const head = parseAudioHeader(buffer);
      if (!head) return;
      const samples = audioSamples(buffer, head);
      quietly(() => sound.node.port.postMessage({ type: 'pcm', ts: head.ts, rate: head.rate, samples: samples },
        [samples.buffer]));
    }

    function soundRender() {
      const active = sound.state === 'starting' || sound.state === 'on';
      el.soundToggle.setAttribute('aria-pressed', active ? 'true' : 'false');
      el.soundToggle.textContent = active ? 'Turn off' : 'Turn on';
      const status = soundStatus(sound.state, sound.reason);
      el.soundNote.textContent = status.text;
      el.soundNote.dataset.kind = status.kind;
      const d = el.soundSet.dataset;
      const st = sound.stats || {};
      const count = (v) => String(isNum(v) ? v : 0);
      d.state = sound.state;
      d.context = sound.ctx ? String(sound.ctx.state) : 'none';
      d.fillMs = count(st.fillMs);
      d.playing = st.playing === true ? 'true' : 'false';
      d.packets = count(st.packets);
      d.played = count(st.played);
      d.gaps = count(st.gaps);
      d.drains = count(st.drains);
    }

    function onSoundButton() {
      if (sound.state === 'starting' || sound.state === 'on') soundEnd('');
      else soundStart();
    }

    // -------------------------------------------------------------------
    // Status strip, notices and overlay
    // -------------------------------------------------------------------

    let notices = [];
    let noticesExpanded = false;
    let rxBytes = 0;
    let rxSeconds = [];
    let frameCount = 0;

    function setConn(state, text) {
      el.connDot.dataset.state = state;
      el.connText.textContent = text;
    }

    function showOverlay(title, text, buttonLabel) {
      el.overlayTitle.textContent = title || '';
      el.overlayText.textContent = text || '';
      el.overlayText.hidden = !text;
      el.reconnect.textContent = buttonLabel || '';
      el.reconnect.hidden = !buttonLabel;
      el.overlay.hidden = false;
    }

    function hideOverlay() { el.overlay.hidden = true; }

    function renderBanner() {
      if (notices.length === 0) {
        el.banner.hidden = true;
        noticesExpanded = false;
        el.bannerList.replaceChildren();
        return;
      }
      el.banner.hidden = false;
      el.bannerTitle.textContent = notices[0].title;
      el.bannerDetail.textContent = notices[0].detail;
      const items = notices.slice(1).map((n) => {
        const li = document.createElement('li');
        const b = document.createElement('b');
        b.textContent = n.title;
        const p = document.createElement('span');
        p.className = 'muted';
        p.textContent = n.detail;
        li.append(b, p);
        return li;
      });
      el.bannerList.replaceChildren(...items);
      el.bannerMore.hidden = items.length === 0;
      el.bannerMore.textContent = noticesExpanded ? 'Show less' : items.length + ' more';
      el.bannerMore.setAttribute('aria-expanded', noticesExpanded ? 'true' : 'false');
      el.bannerList.hidden = !(noticesExpanded && items.length > 0);
    }

    function renderStatus(status) {
      notices = statusBanners(status);
      renderBanner();
      el.lidNote.hidden = !(status && status.lidClosed === true);
      relayout();
    }

    function tickFps() {
      rxSeconds.push(rxBytes);
      rxBytes = 0;
      if (rxSeconds.length > 3) rxSeconds.shift();
      if (!conn.ready) { frameCount = 0; return; }
      el.fps.textContent = frameCount + ' fps';
      frameCount = 0;
      const sum = rxSeconds.reduce((a, b) => a + b, 0);
      el.rate.textContent = formatRate(sum * 8 / rxSeconds.length);
    }

    // -------------------------------------------------------------------
    // Layout of the session screen
    // -------------------------------------------------------------------

    const ui = { compose: false, sheet: null };
    let layout = { mode: '', dock: '', rest: '' };
    let kbInset = 0;
    let picW = 1600;
    let picH = 1000;
    let restBasis = null;

    function basisKey() {
      return window.innerWidth + 'x' + window.innerHeight + '|' + layout.mode + '|' + layout.dock + '|' +
        notices.map((n) => n.id).join(',') + (noticesExpanded ? '+' : '');
    }

    function atRest() { return kbInset === 0 && !(layout.mode === 'compact' && ui.compose); }

    function syncViewport() {
      const vv = window.visualViewport;
      let height = window.innerHeight;
      let top = 0;
      if (vv && Math.abs(vv.scale - 1) <= 0.01) { height = vv.height; top = vv.offsetTop; }
      const inset = keyboardInset(window.innerHeight, height);
      if (inset !== kbInset) { kbInset = inset; startGlide(); }
      root.style.setProperty('--app-h', height + 'px');
      root.style.setProperty('--app-top', top + 'px');
      relayout();
      if (kbInset > 0) keepPointerInView();
    }

    function onPageScroll() {
      if (window.scrollX !== 0 || window.scrollY !== 0) window.scrollTo(0, 0);
      syncViewport();
    }

    function applyLayout() {
      if (session.hidden) return;
      session.dataset.level = '0';
      const work = el.work.getBoundingClientRect();
      if (!(work.width > 0)) return;
      const choice = chooseLayout(work.width, work.height + kbInset, picW / picH, layout.mode ? layout : null, work.height);
      const modeChanged = choice.mode !== layout.mode;
      if (modeChanged || choice.dock !== layout.dock) {
        session.dataset.mode = choice.mode;
        session.dataset.dock = choice.dock;
      }
      layout = choice;
      if (modeChanged) {
        if (ui.sheet) { if (ui.sheet === 'clip') clipReset(true); ui.sheet = null; }
        ui.compose = choice.mode === 'compact' ? isTypeField(document.activeElement) : false;
        syncComposeState();
      }
      let level = 0;
      if (layout.mode === 'compact' && ui.compose) {
        level = squeezeLevel((lv) => {
          session.dataset.level = String(lv);
          const stage = el.stage.getBoundingClientRect();
          return stage.height - el.compose.getBoundingClientRect().height;
        }, MIN_PICTURE_PX, 4);
      }
      session.dataset.level = String(level);
    }

    function relayout() {
      applyLayout();
      draw();
      syncScrollCues();
    }

    function syncScrollCues() {
      for (const name of Object.keys(sheets)) {
        const s = sheets[name];
        const scroller = s.querySelector('.sheet-body, .keypad') || s;
        const hiddenBelow = scroller.scrollHeight - scroller.clientHeight - scroller.scrollTop;
        s.dataset.more = hiddenBelow > 4 ? 'true' : 'false';
      }
    }

    function syncSheetState() {
      session.dataset.sheet = ui.sheet || 'none';
      el.keysToggle.setAttribute('aria-expanded', ui.sheet === 'keys' ? 'true' : 'false');
      for (const b of document.querySelectorAll('[data-toggle="more"]')) b.setAttribute('aria-expanded', ui.sheet === 'more' ? 'true' : 'false');
      for (const b of document.querySelectorAll('[data-open="clip"]')) b.setAttribute('aria-expanded', ui.sheet === 'clip' ? 'true' : 'false');
      el.filesOpen.setAttribute('aria-expanded', ui.sheet === 'files' ? 'true' : 'false');
      for (const name of ['more', 'clip', 'files']) sheets[name].inert = ui.sheet !== name;
      el.keys.inert = layout.mode !== 'roomy' && ui.sheet !== 'keys';
    }

    function syncComposeState() {
      session.dataset.compose = ui.compose ? 'open' : 'closed';
      el.typeToggle.setAttribute('aria-expanded', ui.compose ? 'true' : 'false');
      el.compose.inert = layout.mode !== 'roomy' && !ui.compose;
      syncSheetState();
    }

    function setSheet(name, focusIt) {
      const next = name || null;
      if (next === ui.sheet) return;
      startGlide();
      if (ui.sheet === 'clip') clipReset(true);
      ui.sheet = next;
      if (next && layout.mode === 'compact' && ui.compose) {
        ui.compose = false;
        if (isTypeField(document.activeElement)) document.activeElement.blur();
      }
      syncComposeState();
      relayout();
      if (next) {
        keepPointerInView();
        if (focusIt) sheets[next].focus({ preventScroll: true });
      }
    }

    function toggleSheet(name, event) {
      if (ui.sheet === name) { setSheet(null, false); return; }
      setSheet(name, !!event && event.detail === 0);
    }

    function setCompose(open) {
      if (open !== ui.compose) {
        startGlide();
        if (open && layout.mode === 'compact' && ui.sheet) {
          if (ui.sheet === 'clip') clipReset(true);
          ui.sheet = null;
        }
        ui.compose = open;
        syncComposeState();
        relayout();
      }
      if (open) {
        typeField().focus({ preventScroll: true });
        keepPointerInView();
      } else if (isTypeField(document.activeElement)) {
        document.activeElement.blur();
      }
    }

    function applyPlainMode() {
      const plain = el.composePlain.checked;
      const box = el.composeText;
      box.setAttribute('autocapitalize', plain ? 'off' : 'sentences');
      box.setAttribute('autocorrect', plain ? 'off' : 'on');
      box.setAttribute('autocomplete', 'off');
      box.spellcheck = !plain;
      el.composeNote.textContent = plain
        ? 'Plain: typed exactly as entered, with no autocorrect or capitals. Best for passwords and commands.'
        : 'Normal typing: autocorrect and capitals are on.';
      if (document.activeElement === box) { box.blur(); box.focus({ preventScroll: true }); }
    }

    function sendCompose() {
      if (!conn.ready) return;
      const text = el.composeText.value;
      if (text.length > 0) {
        for (const piece of chunkText(text, TEXT_MAX)) send(encodeText(piece));
        el.composeText.value = '';
      }
      if (el.composeReturn.checked) tapKey('Enter');
      consumeArmed();
      el.composeText.focus({ preventScroll: true });
    }

    function onComposeKey(event) {
      if (event.key === 'Enter' && !event.shiftKey && !event.isComposing) {
        event.preventDefault();
        sendCompose();
      } else if (event.key === 'Escape' && layout.mode === 'compact') {
        event.preventDefault();
        setCompose(false);
      }
    }

    let confirmAction = null;
    let confirmReturn = null;
    function askConfirm(text, okLabel, action) {
      confirmAction = action;
      confirmReturn = document.activeElement;
      el.confirmText.textContent = text;
      el.confirmOk.textContent = okLabel;
      el.confirm.hidden = false;
      el.confirmCancel.focus();
    }

    function closeConfirm(accepted) {
      const action = confirmAction;
      confirmAction = null;
      el.confirm.hidden = true;
      if (confirmReturn && typeof confirmReturn.focus === 'function') confirmReturn.focus({ preventScroll: true });
      confirmReturn = null;
      if (accepted && action) action();
    }

    function onEscapeAnywhere(event) {
      if (event.key !== 'Escape') return;
      if (!el.confirm.hidden) { event.preventDefault(); closeConfirm(false); return; }
      if (!ui.sheet) return;
      const t = event.target;
      if (t === el.stage || isTypeField(t)) return;
      const which = ui.sheet;
      setSheet(null, false);
      const opener = which === 'keys' ? el.keysToggle
        : Array.from(document.querySelectorAll('[data-toggle="more"]')).find((b) => b.offsetParent !== null);
      if (opener) opener.focus({ preventScroll: true });
    }

    // -------------------------------------------------------------------
    // Picture and video
    // -------------------------------------------------------------------

    const ctx = el.screen.getContext('2d');
    let picture = null;
    let pendingFrame = null;
    let decoding = false;
    let glide = null;
    let shown = null;
    let view = { zoom: 1, cx: 0.5, cy: 0.5 };
    let drawQueued = false;
    let video = videoStart(storeGet(PICTURE_KEY));
    let vdec = null;
    let nextVideoFrame = null;
    let videoPaintQueued = false;
    let videoCopy = null;
    let heldChunks = [];
    const videoEvents = [];
    let videoBusy = false;
    let pictureUiKey = '';

    function geometry() {
      const stage = el.stage.getBoundingClientRect();
      let cutRight = 0;
      let cutBottom = 0;
      if (layout.mode === 'compact') {
        if (ui.compose) cutBottom = el.compose.getBoundingClientRect().height;
        if (ui.sheet === 'keys' || ui.sheet === 'more') {
          const r = sheets[ui.sheet].getBoundingClientRect();
          if (layout.dock === 'side') cutRight = r.width;
          else cutBottom = Math.max(cutBottom, r.height);
        }
      }
      const key = basisKey();
      const basis = fitBasis(stage.width, stage.height, kbInset, atRest(), restBasis, key);
      if (atRest()) restBasis = basis;
      const g = stageGeometry(stage.width, stage.height, cutRight, cutBottom, basis.w, basis.h, picW, picH, view);
      g.stage = stage;
      return g;
    }

    function setView(zoom, cx, cy) {
      view = { zoom: zoom, cx: cx, cy: cy };
      const g = geometry();
      if (g.rect.w > 0) view = { zoom: g.rect.zoom, cx: g.rect.cx, cy: g.rect.cy };
      el.zoomReset.hidden = !(view.zoom > 1.01);
      el.zoomText.textContent = Math.round(view.zoom * 10) / 10 + '×';
      draw();
    }

    function keepPointerInView() {
      const g = geometry();
      const next = followView(g.rect, g.box, pointer, FOLLOW_MARGIN);
      if (next) setView(view.zoom, next.cx, next.cy);
    }

    function startGlide() {
      if (!shown || reducedMotion.matches) return;
      glide = { from: shown, at: mono() };
    }

    function queueDraw() {
      if (drawQueued) return;
      drawQueued = true;
      requestAnimationFrame(() => { drawQueued = false; draw(); });
    }

    function draw() {
      if (session.hidden) return;
      const g = geometry();
      const stage = g.stage;
      if (!(stage.width > 0) || !(stage.height > 0)) return;
      const dpr = window.devicePixelRatio || 1;
      const bw = Math.max(1, Math.round(stage.width * dpr));
      const bh = Math.max(1, Math.round(stage.height * dpr));
      if (el.screen.width !== bw || el.screen.height !== bh) { el.screen.width = bw; el.screen.height = bh; }
      let rect = g.rect;
      if (glide) {
        const t = reducedMotion.matches ? 1 : Math.min(1, (mono() - glide.at) / GLIDE_MS);
        const k = 1 - (1 - t) * (1 - t);
        const f = glide.from;
        rect = Object.assign({}, rect, {
          x: f.x + (rect.x - f.x) * k, y: f.y + (rect.y - f.y) * k,
          w: f.w + (rect.w - f.w) * k, h: f.h + (rect.h - f.h) * k,
        });
        if (t >= 1) glide = null; else queueDraw();
      }
      ctx.setTransform(1, 0, 0, 1, 0, 0);
      ctx.clearRect(0, 0, bw, bh);
      if (picture && rect.w > 0) {
        ctx.imageSmoothingEnabled = true;
        ctx.imageSmoothingQuality = 'high';
        ctx.drawImage(picture, rect.x * dpr, rect.y * dpr, rect.w * dpr, rect.h * dpr);
      }
      shown = rect;
      placeMark();
    }

    function onFrame(buffer) {
      if (!parseFrameHeader(buffer)) return;
      pendingFrame = buffer;
      if (!decoding) decodeNext();
    }

    function decodeImage(blob) {
      if (typeof createImageBitmap === 'function') return createImageBitmap(blob);
      return new Promise((resolve, reject) => {
        const url = URL.createObjectURL(blob);
        const img = new Image();
        img.onload = () => { URL.revokeObjectURL(url); resolve(img); };
        img.onerror = () => { URL.revokeObjectURL(url); reject(new Error('bad picture')); };
        img.src = url;
      });
    }

    async function decodeNext() {
      decoding = true;
      while (pendingFrame) {
        const buffer = pendingFrame;
        pendingFrame = null;
        const blob = new Blob([new Uint8Array(buffer, 5)], { type: 'image/jpeg' });
        try {
          const image = await decodeImage(blob);
          if (!conn.ready) { if (image.close) image.close(); continue; }
          showPicture(image);
        } catch (e) {
          // A picture that does not decode is skipped; the next one follows.
        }
      }
      decoding = false;
    }

    function showPicture(next) {
      if (picture && picture !== next && typeof ImageBitmap !== 'undefined' && picture instanceof ImageBitmap) picture.close();
      picture = next;
      frameCount += 1;
      const w = next.width || next.naturalWidth || 0;
      const h = next.height || next.naturalHeight || 0;
      if (w > 0 && h > 0 && (w !== picW || h !== picH)) {
        picW = w;
        picH = h;
        relayout();
        setView(view.zoom, view.cx, view.cy);
      } else {
        draw();
      }
    }

    function onBinary(buffer) {
      const b = new Uint8Array(buffer);
      if (b.length === 0) return;
      if (isFileMessage(b)) { onFileChunk(buffer); return; }
      if (b[0] === 0x02) { onVideoMessage(buffer); return; }
      if (b[0] === AUDIO_TAG) { onAudioMessage(buffer); return; }
      onFrame(buffer);
    }

    function videoEvent(ev) {
      ev.now = mono();
      videoEvents.push(ev);
      if (videoBusy) return null;
      videoBusy = true;
      let first = null;
      let isFirst = true;
      while (videoEvents.length) {
        const e = videoEvents.shift();
        const r = videoStep(video, e);
        video = r.state;
        if (isFirst) { first = r; isFirst = false; }
        for (const action of r.out) videoAction(action);
      }
      videoBusy = false;
      syncPictureUi();
      return first;
    }

    function videoAction(a) {
      switch (a.type) {
        case 'probe': {
          const ws = conn.ws;
          videoSupported({ codec: VIDEO_PROBE_CODEC, optimizeForLatency: true }).then((ok) => {
            if (conn.ws === ws) videoEvent({ type: 'probe', ok: ok });
          });
          break;
        }
        case 'want-h264': {
          const stage = el.stage.getBoundingClientRect();
          const size = videoMaxSize(stage.width, stage.height, window.devicePixelRatio, onPhone());
          send(encodeVideoWant('h264', size.maxW, size.maxH));
          break;
        }
        case 'want-jpeg': send(encodeVideoWant('jpeg')); break;
        case 'keyframe': send(encodeSimple('keyframe')); break;
        case 'close': closeDecoder(); break;
        case 'feed-held': {
          const chunks = heldChunks;
          heldChunks = [];
          if (chunks.length !== a.count || !vdec || vdec.state !== 'configured') {
            videoEvents.push({ type: 'chunk', bad: true, key: false, ts: 0, queue: 0, now: mono() });
            break;
          }
          try {
            for (const c of chunks) vdec.decode(c);
          } catch (e) {
            videoEvents.push({ type: 'error', fatal: true, now: mono() });
          }
          break;
        }
        case 'configure': configureDecoder(a); break;
        default: break;
      }
    }

    async function videoSupported(config) {
      try {
        const r = await VideoDecoder.isConfigSupported(config);
        return !!r && r.supported === true;
      } catch (e) {
        return false;
      }
    }

    function configureDecoder(a) {
      closeDecoder();
      const ws = conn.ws;
      const config = { codec: a.codec, codedWidth: a.w, codedHeight: a.h, optimizeForLatency: true };
      videoSupported(config).then((ok) => {
        if (conn.ws !== ws || video.gen !== a.gen || video.phase !== 'configuring') return;
        if (ok && !buildDecoder(config, a.gen)) { videoEvent({ type: 'error', fatal: true }); return; }
        videoEvent({ type: 'configured', ok: ok, gen: a.gen });
      });
    }

    function buildDecoder(config, gen) {
      let dec = null;
      try {
        dec = new VideoDecoder({
          output: (frame) => onVideoFrame(frame, gen),
          error: () => {
            if (vdec !== dec) return;
            vdec = null;
            videoEvent({ type: 'error', fatal: false });
          },
        });
        dec.configure(config);
        vdec = dec;
        return true;
      } catch (e) {
        try { if (dec && dec.state !== 'closed') dec.close(); } catch (e2) { /* already closed */ }
        return false;
      }
    }

    function closeDecoder() {
      const dec = vdec;
      vdec = null;
      heldChunks = [];
      if (dec && dec.state !== 'closed') { try { dec.close(); } catch (e) { /* already closed */ } }
      if (nextVideoFrame) { nextVideoFrame.frame.close(); nextVideoFrame = null; }
    }

    function onVideoMessage(buffer) {
      const h = parseVideoHeader(buffer);
      const queue = vdec ? vdec.decodeQueueSize : 0;
      const r = videoEvent({
        type: 'chunk', bad: !h, key: h ? h.key : false, ts: h ? h.ts : 0, queue: queue,
      });
      if (!r) return;
      const chunk = h ? new EncodedVideoChunk({
        type: h.key ? 'key' : 'delta', timestamp: h.ts, data: new Uint8Array(buffer, VIDEO_HEADER_BYTES),
      }) : null;
      if (r.hold === 'key') heldChunks = [chunk];
      else if (r.hold === 'add') heldChunks.push(chunk);
      else if (r.hold === 'drop') heldChunks = [];
      if (r.decode && chunk && vdec && vdec.state === 'configured') {
        try { vdec.decode(chunk); } catch (e) { videoEvent({ type: 'error', fatal: true }); }
      }
    }

    function onVideoFrame(frame, gen) {
      if (gen !== video.gen || video.phase !== 'live') { frame.close(); return; }
      if (nextVideoFrame) nextVideoFrame.frame.close();
      nextVideoFrame = { frame: frame, gen: gen };
      if (!videoPaintQueued) {
        videoPaintQueued = true;
        soon(paintVideo);
      }
    }

    function paintVideo() {
      videoPaintQueued = false;
      const next = nextVideoFrame;
      nextVideoFrame = null;
      if (!next) return;
      const frame = next.frame;
      if (video.phase !== 'live' || next.gen !== video.gen || !(frame.displayWidth > 0)) { frame.close(); return; }
      const ts = frame.timestamp;
      let canvas = videoCopy;
      try {
        if (!canvas || canvas.width !== frame.displayWidth || canvas.height !== frame.displayHeight) {
          canvas = document.createElement('canvas');
          canvas.width = frame.displayWidth;
          canvas.height = frame.displayHeight;
        }
        canvas.getContext('2d').drawImage(frame, 0, 0, canvas.width, canvas.height);
      } catch (e) {
        frame.close();
        videoEvent({ type: 'error', fatal: true });
        return;
      }
      frame.close();
      if (video.phase !== 'live') return;
      videoCopy = canvas;
      showPicture(canvas);
      videoEvent({ type: 'paint', ts: ts });
    }

    function videoTick() {
      if (!conn.ready) return;
      videoEvent({ type: 'tick', alive: Date.now() - conn.lastRx < VIDEO_ALIVE_MS });
    }

    function setPicturePref(value) {
      const pref = normalizePicturePref(value);
      storeSet(PICTURE_KEY, pref);
      videoEvent({ type: 'pref', value: pref });
    }

    function syncPictureUi() {
      const st = pictureStatus(video);
      const key = [video.pref, st.mode, st.text, st.retry].join('|');
      if (key === pictureUiKey) return;
      pictureUiKey = key;
      const radio = document.querySelector('input[name="picture-pref"][value="' + video.pref + '"]');
      if (radio) radio.checked = true;
      el.picMode.textContent = st.mode;
      el.pictureNote.textContent = st.text;
      el.videoRetry.hidden = !st.retry;
      session.dataset.picture = st.mode;
      syncScrollCues();
    }

    function videoCapable() {
      return !!window.isSecureContext && typeof VideoDecoder === 'function' &&
        typeof VideoDecoder.isConfigSupported === 'function' && typeof EncodedVideoChunk === 'function';
    }

    // -------------------------------------------------------------------
    // Pointer and touch input
    // -------------------------------------------------------------------

    let pointer = { x: 0.5, y: 0.5 };
    let pointerMode = 'trackpad';
    let touchSeen = false;
    let markTimer = null;
    let tapMarkTimer = null;
    let hintTimer = null;
    let scrollAcc = { dx: 0, dy: 0 };
    let moveDirty = false;
    let flushQueued = false;
    const heldButtons = new Set();
    let wheelRem = { x: 0, y: 0 };
    let lastTouchAt = -Infinity;
    let touch = { points: new Map(), mode: 'idle', one: null, two: null, lastTap: null };
    let direct = directTouchStart();
    let directTimer = null;

    function scheduleFlush() {
      if (flushQueued) return;
      flushQueued = true;
      soon(flushInput);
    }

    function queueMove() {
      moveDirty = true;
      placeMark();
      scheduleFlush();
    }

    function queueScroll(dx, dy) {
      scrollAcc.dx += dx;
      scrollAcc.dy += dy;
      scheduleFlush();
    }

    function flushInput() {
      flushQueued = false;
      if (moveDirty) { moveDirty = false; send(encodeMove(pointer.x, pointer.y)); }
      if (scrollAcc.dx !== 0 || scrollAcc.dy !== 0) {
        send(encodeScroll(scrollAcc.dx, scrollAcc.dy));
        scrollAcc = { dx: 0, dy: 0 };
      }
    }

    function sendButton(button, down, clicks) {
      if (moveDirty) { moveDirty = false; send(encodeMove(pointer.x, pointer.y)); }
      send(encodeButton(button, down, pointer.x, pointer.y, clicks));
    }

    function sendClick(button, clicks) {
      sendButton(button, true, clicks);
      sendButton(button, false, clicks);
      consumeArmed();
    }

    function tapKey(code) {
      send(encodeKey(code, true));
      send(encodeKey(code, false));
    }

    function markPoint() {
      if (!shown || !(shown.w > 0)) return null;
      return normToPoint(pointer.x, pointer.y, shown);
    }

    function placeMark() {
      const p = markPoint();
      if (!p) return;
      const t = 'translate(' + Math.round(p.x * 10) / 10 + 'px, ' + Math.round(p.y * 10) / 10 + 'px)';
      if (el.pointerMark.dataset.state !== 'off') el.pointerMark.style.transform = t;
    }

    function showMark() {
      if (!conn.ready || pointerMode !== 'trackpad' || !(touchSeen || coarsePointer.matches)) return;
      el.pointerMark.dataset.state = 'on';
      placeMark();
      clearTimeout(markTimer);
      markTimer = setTimeout(() => {
        if (el.pointerMark.dataset.state === 'on') el.pointerMark.dataset.state = 'idle';
      }, MARK_LINGER_MS);
    }

    function hideMark() {
      clearTimeout(markTimer);
      el.pointerMark.dataset.state = 'off';
    }

    function showTapMark(kind) {
      const p = markPoint();
      if (!p) return;
      clearTimeout(tapMarkTimer);
      el.tapMark.dataset.state = 'off';
      void el.tapMark.offsetWidth; // restart the animation cleanly
      el.tapMark.style.transform = 'translate(' + p.x + 'px, ' + p.y + 'px)';
      el.tapMark.dataset.state = kind;
      tapMarkTimer = setTimeout(() => { el.tapMark.dataset.state = 'off'; }, TAP_MARK_MS);
    }

    function showHint(text, ms) {
      clearTimeout(hintTimer);
      el.hint.textContent = text;
      el.hint.hidden = false;
      hintTimer = setTimeout(hideHint, ms || HINT_MS);
    }

    function hideHint() {
      clearTimeout(hintTimer);
      el.hint.hidden = true;
    }

    function noteTouchDevice() {
      session.dataset.touch = touchSeen || coarsePointer.matches || navigator.maxTouchPoints > 0 ? 'yes' : 'no';
    }

    function setPointerMode(next, chosen, fromStrip) {
      const mode = normalizePointerMode(next);
      if (mode !== pointerMode) { releaseTouch(); releaseButtons(); }
      if (chosen) storeSet(POINTER_KEY, mode);
      pointerMode = mode;
      session.dataset.pointer = mode;
      const radio = document.querySelector('input[name="pointer-mode"][value="' + mode + '"]');
      if (radio) radio.checked = true;
      const label = pointerModeLabel(mode);
      const other = pointerModeLabel(mode === 'touch' ? 'trackpad' : 'touch');
      el.pointerWord.textContent = label;
      el.pointerToggle.setAttribute('aria-label', 'Pointer: ' + label + '. Switch to ' + other + '.');
      el.pointerNote.textContent = pointerModeNote(mode);
      let hinted = false;
      if (mode === 'touch') {
        hideMark();
        if (chosen && storeGet(TOUCH_HINT_KEY) !== '1') {
          storeSet(TOUCH_HINT_KEY, '1');
          showHint('Touch: tap where you want to click. Pinch to zoom in for small targets.', HINT_MS);
          hinted = true;
        }
      } else {
        hideHint();
        showMark();
      }
      if (fromStrip && !hinted) showHint(pointerSwitchHint(mode), SWITCH_HINT_MS);
    }

    function releaseButtons() {
      for (const b of Array.from(heldButtons)) sendButton(b, false, 1);
      heldButtons.clear();
    }

    function releaseTouch() {
      if (touch.mode === 'one' && touch.one && touch.one.drag) {
        sendButton(0, false, 1);
        consumeArmed();
      }
      runDirect({ type: 'release', t: mono() });
      clearTimeout(directTimer);
      directTimer = null;
      touch.mode = touch.points.size > 0 ? 'spent' : 'idle';
      touch.one = null;
      touch.two = null;
    }

    function releaseAllInput() {
      releaseKeys(true);
      releaseButtons();
      releaseTouch();
    }

    // The host has already let go of everything: only the page's own
    // bookkeeping returns to rest, nothing is sent.
    function resetInputState() {
      deskKeys = deskKeysStart();
      wheelRem = { x: 0, y: 0 };
      heldButtons.clear();
      moveDirty = false;
      scrollAcc = { dx: 0, dy: 0 };
      for (const code of Object.keys(mods)) setModifier(code, 'off', true);
      ltResetState();
      direct = directTouchStart();
      clearTimeout(directTimer);
      directTimer = null;
      touch = { points: new Map(), mode: 'idle', one: null, two: null, lastTap: null };
    }

    function mousePoint(e) {
      const g = geometry();
      return pointToNorm(e.clientX - g.stage.left, e.clientY - g.stage.top, g.rect);
    }

    function ghostMouse() { return mono() - lastTouchAt < GHOST_MOUSE_MS; }

    function onMouseDown(e) {
      if (ghostMouse()) return;
      const b = mapMouseButton(e.button);
      e.preventDefault();
      el.stage.focus({ preventScroll: true });
      const p = mousePoint(e);
      if (b === null || !p) return;
      hideMark();
      pointer = p;
      heldButtons.add(b);
      sendButton(b, true, clickCount(e.detail));
    }

    function onMouseMove(e) {
      if (ghostMouse()) return;
      if (heldButtons.size === 0 && e.target !== el.screen) return;
      const p = mousePoint(e);
      if (!p) return;
      hideMark();
      pointer = p;
      queueMove();
    }

    function onMouseUp(e) {
      if (ghostMouse()) return;
      const b = mapMouseButton(e.button);
      if (b === null || !heldButtons.has(b)) return;
      heldButtons.delete(b);
      const p = mousePoint(e);
      if (p) pointer = p;
      sendButton(b, false, clickCount(e.detail));
      consumeArmed();
    }

    function onWheel(e) {
      e.preventDefault();
      const r = deskWheelStep(wheelRem, {
        deltaX: e.deltaX, deltaY: e.deltaY, deltaMode: e.deltaMode, ctrlKey: e.ctrlKey, shiftKey: e.shiftKey,
        ctrlHeld: deskHolds(deskKeys, 'ctrl'),
      }, el.stage.clientHeight);
      wheelRem = r.rem;
      if (r.dx !== 0 || r.dy !== 0) queueScroll(r.dx, r.dy);
    }

    function stagePoint(e) {
      const r = el.stage.getBoundingClientRect();
      return { x: e.clientX - r.left, y: e.clientY - r.top };
    }

    function runDirect(ev) {
      const r = directTouch(direct, ev);
      direct = r.state;
      for (const o of r.out) {
        if (o.k === 'mm') { pointer = { x: o.x, y: o.y }; queueMove(); }
        else if (o.k === 'mb') { pointer = { x: o.x, y: o.y }; sendButton(o.b, o.d, o.c); }
        else if (o.k === 'used') consumeArmed();
        else if (o.k === 'mark') showTapMark(o.kind);
        else if (o.k === 'timer') {
          clearTimeout(directTimer);
          directTimer = setTimeout(() => { directTimer = null; runDirect({ type: 'timer', t: mono() }); }, o.ms);
        } else if (o.k === 'timer-off') { clearTimeout(directTimer); directTimer = null; }
        else if (o.k === 'two') startTwo();
      }
    }

    function trackpadDown(id, p) {
      const now = mono();
      if (touch.mode === 'idle') {
        const lt = touch.lastTap;
        const repeat = !!lt && now - lt.t <= DOUBLE_TAP_MS && Math.hypot(p.x - lt.x, p.y - lt.y) <= DOUBLE_TAP_DIST;
        touch.one = { id: id, start: p, last: p, lastT: now, t: now, moved: false, repeat: repeat,
          clicks: repeat ? Math.min(3, lt.clicks + 1) : 1, drag: false };
        touch.mode = 'one';
      } else if (touch.mode === 'one' && touch.one && !touch.one.drag) {
        startTwo();
      }
    }

    function trackpadMove(id, p) {
      const one = touch.one;
      if (!one || id !== one.id) return;
      const now = mono();
      if (!one.moved) {
        if (Math.hypot(p.x - one.start.x, p.y - one.start.y) < TAP_SLOP) return;
        one.moved = true;
        one.last = p;
        one.lastT = now;
        if (one.repeat) { one.drag = true; sendButton(0, true, 1); }
        return;
      }
      const g = geometry();
      pointer = movePointer(pointer, p.x - one.last.x, p.y - one.last.y, now - one.lastT, g.rect.w, g.rect.h);
      one.last = p;
      one.lastT = now;
      queueMove();
      showMark();
      const next = followView(g.rect, g.box, pointer, FOLLOW_MARGIN);
      if (next) setView(view.zoom, next.cx, next.cy);
    }

    function trackpadUp(id, cancelled) {
      const one = touch.one;
      if (!one || id !== one.id) return;
      const now = mono();
      touch.lastTap = null;
      if (one.drag) {
        sendButton(0, false, 1);
        consumeArmed();
      } else if (classifyTouch(cancelled, one.moved, one.repeat, now - one.t) === 'click') {
        sendClick(0, one.clicks);
        touch.lastTap = { t: now, x: one.start.x, y: one.start.y, clicks: one.clicks };
      }
      touch.one = null;
      touch.mode = 'spent';
    }

    function startTwo() {
      const ids = Array.from(touch.points.keys()).slice(0, 2);
      if (ids.length < 2) return;
      const a = touch.points.get(ids[0]);
      const b = touch.points.get(ids[1]);
      const c = { x: (a.x + b.x) / 2, y: (a.y + b.y) / 2 };
      touch.two = { ids: ids, t: mono(), direct: pointerMode === 'touch', dist0: Math.hypot(a.x - b.x, a.y - b.y),
        c0: c, prevC: c, kind: null, refDist: 1, zoom0: 1, u: 0.5, v: 0.5 };
      touch.one = null;
      touch.mode = 'two';
    }

    function twoMove() {
      const t2 = touch.two;
      const a = touch.points.get(t2.ids[0]);
      const b = touch.points.get(t2.ids[1]);
      if (!a || !b) return;
      const d = Math.hypot(a.x - b.x, a.y - b.y);
      const c = { x: (a.x + b.x) / 2, y: (a.y + b.y) / 2 };
      if (!t2.kind) {
        const kind = classifyTwoFinger(d - t2.dist0, Math.hypot(c.x - t2.c0.x, c.y - t2.c0.y));
        if (!kind) return;
        const g = geometry();
        t2.kind = kind;
        t2.refDist = Math.max(1, d);
        t2.zoom0 = view.zoom;
        const uv = pointToNorm(c.x, c.y, g.rect) || { x: 0.5, y: 0.5 };
        t2.u = uv.x;
        t2.v = uv.y;
        if (t2.direct && kind === 'scroll') {
          const on = pointInPicture(c.x, c.y, g.rect);
          if (on) { pointer = on; queueMove(); }
        }
        t2.prevC = c;
        return;
      }
      if (t2.kind === 'pinch') {
        const zoom = clamp(t2.zoom0 * d / t2.refDist, ZOOM_MIN, ZOOM_MAX);
        const g = geometry();
        const w = g.rect.w / g.rect.zoom * zoom;
        const h = g.rect.h / g.rect.zoom * zoom;
        const v = viewForAnchor(g.box, w, h, t2.u, t2.v, c.x, c.y);
        setView(zoom, v.cx, v.cy);
      } else {
        queueScroll((t2.prevC.x - c.x) * TOUCH_SCROLL_GAIN, (t2.prevC.y - c.y) * TOUCH_SCROLL_GAIN);
      }
      t2.prevC = c;
    }

    function twoEnd(cancelled) {
      const t2 = touch.two;
      if (!t2.direct && !t2.kind && !cancelled && mono() - t2.t <= TAP_MAX_MS) sendClick(1, 1);
      touch.two = null;
      touch.mode = 'spent';
    }

    function touchNorm(p, landing) {
      const g = geometry();
      return landing ? pointInPicture(p.x, p.y, g.rect) : pointToNorm(p.x, p.y, g.rect);
    }

    function onPointerDown(e) {
      if (e.pointerType !== 'touch') return;
      lastTouchAt = mono();
      if (!touchSeen) { touchSeen = true; noteTouchDevice(); }
      e.preventDefault();
      if (!isTypeField(document.activeElement)) el.stage.focus({ preventScroll: true });
      try { el.screen.setPointerCapture(e.pointerId); } catch (err) { /* already released */ }
      const p = stagePoint(e);
      touch.points.set(e.pointerId, p);
      if (pointerMode === 'trackpad') showMark();
      if (touch.mode === 'spent' || touch.mode === 'two') return;
      if (pointerMode === 'touch' && (touch.mode === 'idle' || touch.mode === 'direct')) {
        touch.mode = 'direct';
        runDirect({ type: 'down', id: e.pointerId, x: p.x, y: p.y, t: mono(), norm: touchNorm(p, true) });
        return;
      }
      trackpadDown(e.pointerId, p);
    }

    function onPointerMove(e) {
      if (e.pointerType !== 'touch' || !touch.points.has(e.pointerId)) return;
      lastTouchAt = mono();
      e.preventDefault();
      const p = stagePoint(e);
      touch.points.set(e.pointerId, p);
      if (touch.mode === 'one') trackpadMove(e.pointerId, p);
      else if (touch.mode === 'two' && touch.two && touch.two.ids.indexOf(e.pointerId) >= 0) twoMove();
      else if (touch.mode === 'direct') runDirect({ type: 'move', id: e.pointerId, x: p.x, y: p.y, t: mono(), norm: touchNorm(p, false) });
    }

    function onPointerEnd(e) {
      if (e.pointerType !== 'touch' || !touch.points.has(e.pointerId)) return;
      lastTouchAt = mono();
      const cancelled = e.type === 'pointercancel';
      const p = stagePoint(e);
      touch.points.delete(e.pointerId);
      if (touch.mode === 'one') trackpadUp(e.pointerId, cancelled);
      else if (touch.mode === 'two' && touch.two && touch.two.ids.indexOf(e.pointerId) >= 0) twoEnd(cancelled);
      else if (touch.mode === 'direct') {
        runDirect({ type: 'up', id: e.pointerId, x: p.x, y: p.y, t: mono(), norm: touchNorm(p, false), cancelled: cancelled });
        touch.mode = 'spent';
      }
      if (touch.points.size === 0) { touch.mode = 'idle'; touch.one = null; touch.two = null; }
    }

    function blockBackForward(e) {
      if ((e.button === 3 || e.button === 4) && !session.hidden) e.preventDefault();
    }

    // -------------------------------------------------------------------
    // Keyboards: sticky modifiers, key buttons, the physical keyboard
    // -------------------------------------------------------------------

    const mods = {};
    let deskKeys = deskKeysStart();
    const desk = { platform: 'other', swap: false, chars: false, capture: 'unsupported' };

    function deskOpts() { return { platform: desk.platform, swap: desk.swap, chars: desk.chars }; }

    function initModifiers() {
      for (const b of document.querySelectorAll('[data-mod]')) {
        const code = b.dataset.mod;
        if (!mods[code]) mods[code] = { state: 'off', tapAt: -Infinity, buttons: [] };
        mods[code].buttons.push(b);
      }
      for (const code of Object.keys(mods)) setModifier(code, 'off', true);
    }

    function anyModifierOn() { return Object.values(mods).some((m) => m.state !== 'off'); }

    function setModifier(code, next, silent) {
      const m = mods[code];
      if (!m) return;
      const was = m.state;
      m.state = next;
      const name = MODIFIER_NAMES[code] || code;
      for (const b of m.buttons) {
        b.dataset.state = next;
        b.setAttribute('aria-pressed', next === 'off' ? 'false' : 'true');
        b.setAttribute('aria-label', modifierLabel(name, next));
      }
      if (!silent && (was === 'off') !== (next === 'off')) send(encodeKey(code, next !== 'off'));
    }

    function tapModifier(code) {
      if (!conn.ready) return;
      const m = mods[code];
      if (!m) return;
      const now = mono();
      const next = nextModifierState(m.state, now - m.tapAt);
      m.tapAt = now;
      setModifier(code, next, false);
    }

    function consumeArmed() {
      for (const code of Object.keys(mods)) if (mods[code].state === 'armed') setModifier(code, 'off', false);
      ltOutsideInput();
    }

    function sendChord(chord) {
      const c = parseChord(chord);
      if (!c) return;
      const pressed = c.modifiers.filter((m) => !(mods[m] && mods[m].state !== 'off'));
      for (const m of pressed) send(encodeKey(m, true));
      tapKey(c.key);
      for (const m of pressed.slice().reverse()) send(encodeKey(m, false));
      consumeArmed();
    }

    function onControlClick(event) {
      const b = event.target.closest('button');
      if (!b) return;
      if (b.dataset.mod) { tapModifier(b.dataset.mod); return; }
      if (b.dataset.key) {
        if (!conn.ready) return;
        tapKey(b.dataset.key);
        consumeArmed();
        return;
      }
      if (b.dataset.chord) {
        if (!conn.ready) return;
        const chord = b.dataset.chord;
        if (b.dataset.confirm) askConfirm(b.dataset.confirm, 'Send', () => sendChord(chord));
        else sendChord(chord);
      }
    }

    // A press on a key button must not take focus from the stage or the
    // type box, so a phone keyboard stays up and keys keep going.
    function keepFocus(event) {
      if (event.target.closest('button')) event.preventDefault();
    }

    function feedKeys(ev) {
      ev.sticky = anyModifierOn();
      const r = deskKeyStep(deskKeys, ev, deskOpts());
      deskKeys = r.state;
      for (const o of r.out) {
        if (o.s !== undefined) for (const piece of chunkText(o.s, TEXT_MAX)) send(encodeText(piece));
        else send(encodeKey(o.k, o.d));
      }
      return r;
    }

    function physicalKeyDown(code) { return deskKeys.phys.some((e) => e.code === code); }

    function keyEvent(type, e) {
      return {
        type: type, code: e.code, key: e.key, ctrl: e.ctrlKey, alt: e.altKey, shift: e.shiftKey,
        altGraph: !!(e.getModifierState && e.getModifierState('AltGraph')),
        caps: !!(e.getModifierState && e.getModifierState('CapsLock')),
      };
    }

    function onKeyDown(e) {
      if (!conn.ready || e.isComposing || !isKeyCode(e.code)) return;
      const r = feedKeys(keyEvent('down', e));
      if (r.prevent) e.preventDefault();
    }

    function onKeyUp(e) {
      if (!isKeyCode(e.code)) return;
      const r = feedKeys(keyEvent('up', e));
      if (r.prevent && conn.ready) {
        e.preventDefault();
        if (!DESK_MOD_CLASS[e.code]) consumeArmed();
      }
    }

    function releaseKeys(includeModifiers) { feedKeys({ type: 'release', modifiers: !!includeModifiers }); }

    function onStageFocus() { el.keysChip.hidden = coarsePointer.matches; }

    function onStageBlur() {
      el.keysChip.hidden = true;
      releaseKeys(true);
      releaseButtons();
    }

    function syncCaptureUi() {
      el.kbCapture.hidden = desk.capture === 'unsupported';
      el.kbCapture.textContent = desk.capture === 'on' ? 'Stop capturing keys' : 'Capture all keys';
      el.kbCapture.setAttribute('aria-pressed', desk.capture === 'on' ? 'true' : 'false');
      el.kbChip.hidden = desk.capture !== 'on';
      el.kbCaptureNote.textContent = deskCaptureText(desk.capture, desk.platform);
    }

    function initDesk() {
      const hint = navigator.userAgentData && navigator.userAgentData.platform;
      desk.platform = deskPlatform(navigator.userAgent, navigator.platform, hint, navigator.maxTouchPoints || 0);
      const defaults = deskDefaults(desk.platform);
      desk.swap = deskSetting(storeGet('morvane.kb.winShortcuts'), defaults.winShortcuts);
      desk.chars = deskSetting(storeGet('morvane.kb.typeChars'), defaults.typeChars);
      el.kbSwap.checked = desk.swap;
      el.kbChars.checked = desk.chars;
      el.kbSwap.addEventListener('change', () => {
        releaseKeys(true);
        desk.swap = el.kbSwap.checked;
        storeSet('morvane.kb.winShortcuts', desk.swap ? '1' : '0');
      });
      el.kbChars.addEventListener('change', () => {
        releaseKeys(true);
        desk.chars = el.kbChars.checked;
        storeSet('morvane.kb.typeChars', desk.chars ? '1' : '0');
      });
      const canLock = !!(navigator.keyboard && typeof navigator.keyboard.lock === 'function' && document.fullscreenEnabled);
      desk.capture = canLock ? 'off' : 'unsupported';
      el.kbKept.textContent = deskKeptText(desk.platform, canLock);
      el.kbCapture.addEventListener('click', toggleCapture);
      document.addEventListener('fullscreenchange', onFullscreenChange);
      syncCaptureUi();
    }

    async function toggleCapture() {
      if (desk.capture === 'on') {
        try { navigator.keyboard.unlock(); } catch (e) { /* not locked */ }
        desk.capture = 'off';
        if (document.fullscreenElement) document.exitFullscreen().catch(() => {});
        syncCaptureUi();
        return;
      }
      try {
        if (!document.fullscreenElement) await document.documentElement.requestFullscreen();
        await navigator.keyboard.lock();
        desk.capture = document.fullscreenElement ? 'on' : 'off';
        if (desk.capture === 'on') el.stage.focus({ preventScroll: true });
      } catch (e) {
        try { navigator.keyboard.unlock(); } catch (e2) { /* not locked */ }
        desk.capture = 'refused';
      }
      syncCaptureUi();
    }

    function onFullscreenChange() {
      releaseAllInput();
      if (!document.fullscreenElement && desk.capture === 'on') {
        try { navigator.keyboard.unlock(); } catch (e) { /* not locked */ }
        desk.capture = 'off';
      }
      syncCaptureUi();
    }

    // -------------------------------------------------------------------
    // Live typing
    // -------------------------------------------------------------------

    const lt = { mode: 'send', state: ltStart(), own: false };

    function ltShow(text) {
      const f = el.ltField;
      if (f.value !== text) f.value = text;
      el.ltStrip.dataset.empty = text.length <= LT_SENTINEL.length ? 'true' : 'false';
      ltCaretToEnd();
    }

    function ltCaretToEnd() {
      const f = el.ltField;
      if (document.activeElement !== f || lt.state.composing) return;
      const n = f.value.length;
      if (f.selectionStart !== n || f.selectionEnd !== n) {
        try { f.setSelectionRange(n, n); } catch (e) { /* not a text field any more */ }
      }
    }

    function ltApply(result) {
      lt.state = result.state;
      const messages = ltEncode(result.ops);
      for (const m of messages) send(m);
      if (messages.length > 0) {
        lt.own = true;
        consumeArmed();
        lt.own = false;
      }
      if (result.field !== null) ltShow(result.field);
    }

    function ltEvent(e) {
      if (lt.mode !== 'live') return;
      const shift = mods.ShiftLeft;
      const ev = {
        type: e.type, inputType: e.inputType, composing: !!e.isComposing, code: e.code, key: e.key,
        keyCode: e.keyCode, shift: e.shiftKey, ctrl: e.ctrlKey, meta: e.metaKey, alt: e.altKey,
        value: el.ltField.value, anyMod: anyModifierOn(), shiftOn: !!shift && shift.state !== 'off',
      };
      const r = ltStep(lt.state, ev);
      if (r.prevent) e.preventDefault();
      if (r.real) onKeyDown(e);
      if (e.type === 'keyup' && isKeyCode(e.code) && physicalKeyDown(e.code)) {
        lt.own = true;
        onKeyUp(e);
        lt.own = false;
      }
      ltApply(r);
    }

    function ltOutsideInput() {
      if (lt.own || lt.mode !== 'live' || lt.state.tail === '') return;
      ltApply(ltStep(lt.state, { type: 'reset' }));
    }

    function ltResetState() {
      if (lt.mode === 'live') ltApply(ltStep(lt.state, { type: 'reset' }));
    }

    function ltBlur() {
      if (lt.mode !== 'live') return;
      releaseKeys(true);
      ltApply(ltStep(lt.state, { type: 'blur' }));
      if (document.activeElement === el.ltField) el.ltField.blur();
    }

    function setTypeMode(next, chosen) {
      const mode = normalizeTypeMode(next);
      if (lt.mode === 'live' && mode !== 'live') ltBlur();
      if (chosen) storeSet(TYPING_KEY, mode);
      lt.mode = mode;
      el.compose.dataset.lt = mode;
      el.ltToggle.setAttribute('aria-pressed', mode === 'live' ? 'true' : 'false');
      el.ltStrip.hidden = mode !== 'live';
      el.ltDone.hidden = mode !== 'live';
      if (chosen) {
        relayout();
        typeField().focus({ preventScroll: true });
        showHint(mode === 'live' ? 'Live: every key goes to the Mac as you press it.' : 'Send: write here, then press Send.', 3000);
      }
    }

    function bindLive() {
      const f = el.ltField;
      for (const type of ['keydown', 'keyup', 'beforeinput', 'input', 'compositionstart', 'compositionend']) {
        f.addEventListener(type, ltEvent);
      }
      f.addEventListener('focus', () => { if (lt.mode === 'live') ltApply(ltStep(lt.state, { type: 'focus' })); });
      f.addEventListener('blur', () => {
        if (lt.mode !== 'live') return;
        releaseKeys(true);
        ltApply(ltStep(lt.state, { type: 'blur' }));
      });
      f.addEventListener('select', ltCaretToEnd);
      f.addEventListener('click', ltCaretToEnd);
      document.addEventListener('selectionchange', ltCaretToEnd);
      el.ltDone.addEventListener('click', () => f.blur());
      el.ltToggle.addEventListener('click', () => setTypeMode(lt.mode === 'live' ? 'send' : 'live', true));
    }

    // -------------------------------------------------------------------
    // Clipboard sheet
    // -------------------------------------------------------------------

    let clipSeq = 0;
    let clipPut = null;
    let clipGet = null;
    let clipCopyTimer = null;
    let clipGen = 0;
    const clipButtons = () => [el.clipSend, el.clipGet, el.clipCopyGet, el.clipPasteLocal, el.clipCopyLocal, el.clipPasteMac];

    function clipBusy() { return !!(clipPut || clipGet || clipCopyTimer); }

    function clipSay(what) {
      if (!what) {
        el.clipStatus.textContent = '';
        delete el.clipStatus.dataset.kind;
        el.clipStatus.hidden = true;
      } else {
        const st = clipStatusText(what);
        el.clipStatus.textContent = st.text;
        el.clipStatus.dataset.kind = st.kind;
        el.clipStatus.hidden = false;
      }
      syncScrollCues();
    }

    function clipSyncUi() {
      const busy = clipBusy();
      for (const b of clipButtons()) b.disabled = busy;
      const n = el.clipText.value.length;
      el.clipCount.textContent = clipCountText(n);
      el.clipCount.dataset.over = n > CLIP_MAX ? 'true' : 'false';
    }

    function clipSetText(text) {
      el.clipText.value = text;
      clipSyncUi();
    }

    function clipNextId() {
      clipSeq = clipSeq >= CLIP_ID_MAX ? 1 : clipSeq + 1;
      return clipSeq;
    }

    function clipReset(clearText) {
      if (clipPut) clearTimeout(clipPut.timer);
      if (clipGet) clearTimeout(clipGet.timer);
      clearTimeout(clipCopyTimer);
      clipPut = null;
      clipGet = null;
      clipCopyTimer = null;
      clipGen += 1;
      el.clipPasteMac.hidden = true;
      if (clearText) {
        el.clipText.value = '';
        el.clipCopyLocal.hidden = true;
        clipSay('');
      }
      clipSyncUi();
    }

    function clipSendToMac() {
      if (clipBusy()) return;
      el.clipPasteMac.hidden = true;
      if (!conn.ready) { clipSay('offline'); return; }
      const id = clipNextId();
      const plan = clipPutMessages(id, el.clipText.value);
      if (plan.error) { clipSay(plan.error === 'empty' ? 'nothing' : plan.error); return; }
      clipGen += 1;
      clipPut = { id: id, timer: setTimeout(() => { clipPut = null; clipSay('timeout'); clipSyncUi(); }, CLIP_PUT_TIMEOUT_MS) };
      for (const m of plan.messages) send(m);
      clipSay('sending');
      clipSyncUi();
    }

    function clipAsk() {
      const id = clipNextId();
      clipGet = { id: id, rx: null, timer: setTimeout(() => clipEndGet('timeout'), CLIP_GET_TIMEOUT_MS) };
      send(encodeClipGet(id));
      clipSyncUi();
    }

    function clipGetFromMac(copyFirst) {
      if (clipBusy()) return;
      el.clipPasteMac.hidden = true;
      if (!conn.ready) { clipSay('offline'); return; }
      clipGen += 1;
      if (!copyFirst) {
        clipSay('getting');
        clipAsk();
        return;
      }
      sendChord('MetaLeft+KeyC');
      clipSay('copying');
      clipCopyTimer = setTimeout(() => {
        clipCopyTimer = null;
        if (!conn.ready) { clipSay('offline'); clipSyncUi(); return; }
        clipAsk();
      }, CLIP_COPY_WAIT_MS);
      clipSyncUi();
    }

    function clipEndGet(what) {
      if (clipGet) clearTimeout(clipGet.timer);
      clipGet = null;
      clipSay(what);
      clipSyncUi();
    }

    function onClipMessage(msg) {
      if (msg.t === 'clip-put-result') {
        if (!clipPut) return;
        const answer = clipPutAnswer(msg, clipPut.id);
        if (answer === null) return;
        clearTimeout(clipPut.timer);
        clipPut = null;
        el.clipPasteMac.hidden = answer !== 'ok';
        clipSay(answer === 'ok' ? 'sent' : answer);
        clipSyncUi();
        return;
      }
      if (!clipGet) return;
      if (msg.t === 'clip') {
        if (clipGet.rx) return;
        const a = clipAnswer(msg, clipGet.id);
        if (a.kind === 'asking') clipSay('asking');
        else if (a.kind === 'final') clipEndGet(a.state);
        else if (a.kind === 'broken') clipEndGet('broken');
        else if (a.kind === 'receive') clipGet.rx = a.rx;
        return;
      }
      if (msg.t === 'clip-data' && clipGet.rx) {
        const r = clipChunkIn(clipGet.rx, msg);
        if (r.kind === 'ignore') return;
        if (r.kind === 'broken') { clipEndGet('broken'); return; }
        clipGet.rx = r.rx;
        if (r.kind === 'done') {
          clipSetText(r.text);
          el.clipCopyLocal.hidden = false;
          clipEndGet(r.rx.cut ? 'got-cut' : 'got');
        }
      }
    }

    async function clipPasteFromDevice() {
      if (!(navigator.clipboard && typeof navigator.clipboard.readText === 'function')) { clipSay('local-read-failed'); return; }
      el.clipPasteMac.hidden = true;
      clipGen += 1;
      const gen = clipGen;
      try {
        const text = await navigator.clipboard.readText();
        if (gen !== clipGen || ui.sheet !== 'clip') return;
        if (!text) { clipSay('local-nothing'); return; }
        clipSetText(text);
        clipSay('');
      } catch (e) {
        if (gen === clipGen) clipSay('local-read-failed');
      }
    }

    function clipSelectAll() {
      el.clipText.focus({ preventScroll: true });
      el.clipText.select();
    }

    async function clipCopyToDevice() {
      el.clipPasteMac.hidden = true;
      const text = el.clipText.value;
      if (!text) { clipSay('nothing'); return; }
      const gen = clipGen;
      if (!(navigator.clipboard && typeof navigator.clipboard.writeText === 'function')) {
        clipSelectAll();
        clipSay('local-selected');
        return;
      }
      try {
        await navigator.clipboard.writeText(text);
        if (gen === clipGen && ui.sheet === 'clip') clipSay('local-copied');
      } catch (e) {
        if (gen !== clipGen || ui.sheet !== 'clip') return;
        clipSelectAll();
        clipSay('local-selected');
      }
    }

    function clipPasteOnMac() {
      if (!conn.ready) { clipSay('offline'); return; }
      sendChord('MetaLeft+KeyV');
      clipSay('pasted');
    }

    function onClipInput() {
      el.clipPasteMac.hidden = true;
      el.clipCopyLocal.hidden = true;
      if (!clipBusy()) clipSay('');
      clipSyncUi();
    }

    function bindClipboard() {
      el.clipPasteLocal.hidden = !(navigator.clipboard && typeof navigator.clipboard.readText === 'function');
      el.clipSend.addEventListener('click', clipSendToMac);
      el.clipGet.addEventListener('click', () => clipGetFromMac(false));
      el.clipCopyGet.addEventListener('click', () => clipGetFromMac(true));
      el.clipPasteLocal.addEventListener('click', clipPasteFromDevice);
      el.clipCopyLocal.addEventListener('click', clipCopyToDevice);
      el.clipPasteMac.addEventListener('click', clipPasteOnMac);
      el.clipText.addEventListener('input', onClipInput);
      clipSyncUi();
    }

    // -------------------------------------------------------------------
    // Display chooser
    // -------------------------------------------------------------------

    let displays = displayStart();
    let displayTimer = null;
    let displayUiKey = '';

    function displayEvent(ev) {
      const r = displayStep(displays, Object.assign({ now: mono() }, ev));
      displays = r.state;
      if (r.send !== null) send(encodeDisplaySelect(r.send));
      if (r.moved) {
        pointer = { x: 0.5, y: 0.5 };
        startGlide();
        setView(1, 0.5, 0.5);
        queueMove();
        showMark();
      }
      if (displays.pending && !displayTimer) {
        displayTimer = setInterval(() => displayEvent({ type: 'tick' }), 500);
      } else if (!displays.pending && displayTimer) {
        clearInterval(displayTimer);
        displayTimer = null;
      }
      syncDisplayUi();
    }

    function syncDisplayUi() {
      const v = displayView(displays);
      const key = JSON.stringify(v);
      if (key === displayUiKey) return;
      displayUiKey = key;
      const focused = document.activeElement && document.activeElement.dataset ? document.activeElement.dataset.display : undefined;
      const buttons = v.options.map((o) => {
        const b = document.createElement('button');
        b.type = 'button';
        b.className = 'key display-option';
        b.dataset.display = String(o.id);
        b.dataset.state = o.pending ? 'pending' : o.current ? 'current' : 'other';
        b.setAttribute('role', 'radio');
        b.setAttribute('aria-checked', o.current ? 'true' : 'false');
        b.setAttribute('aria-label', o.label);
        if (v.busy) b.setAttribute('aria-disabled', 'true');
        const name = document.createElement('span');
        name.className = 'display-name';
        name.textContent = o.name;
        const detail = document.createElement('span');
        detail.className = 'display-detail';
        detail.textContent = [o.size, o.word].filter(Boolean).join(' · ');
        b.append(name, detail);
        return b;
      });
      el.displayList.replaceChildren(...buttons);
      if (focused !== undefined) {
        const again = buttons.find((b) => b.dataset.display === focused);
        if (again) again.focus({ preventScroll: true });
      }
      el.displaySet.hidden = !(v.visible || v.note || !el.fitRow.hidden);
      el.displayList.hidden = !v.visible;
      el.displayNote.textContent = v.note;
      el.displayNote.hidden = !v.note;
      if (v.noteKind) el.displayNote.dataset.kind = v.noteKind; else delete el.displayNote.dataset.kind;
      session.dataset.display = v.busy ? 'switching' : 'steady';
      relayout();
    }

    function onDisplayClick(event) {
      const b = event.target.closest('[data-display]');
      if (!b || !el.displayList.contains(b)) return;
      displayEvent({ type: 'choose', id: Number(b.dataset.display) });
    }

    // -------------------------------------------------------------------
    // File sheet
    // -------------------------------------------------------------------

    let fileSeq = 0;
    let fileUp = null;        // { state, file, hash, block, reading, timer }
    let fileWaiting = null;   // a File chosen while not connected
    let fileDown = null;      // { state, hash, parts, partBytes, blobs }
    let fileSaved = null;     // { url, file }
    let fileListing = null;   // { id }
    let fileListTimer = null;
    let fileEntries = [];
    const fileDateFormat = (() => {
      try { return new Intl.DateTimeFormat(undefined, { dateStyle: 'medium', timeStyle: 'short' }); } catch (e) { return null; }
    })();

    function fileNextId() {
      fileSeq = fileSeq >= FILE_ID_MAX ? 1 : fileSeq + 1;
      return fileSeq;
    }

    function fileSay(line, what, detail) {
      if (!what) {
        line.textContent = '';
        delete line.dataset.kind;
        line.hidden = true;
        return;
      }
      const st = fileStatusText(what, detail);
      line.textContent = st.text;
      line.dataset.kind = st.kind;
      line.hidden = false;
    }

    function fileSync() {
      el.filesPick.disabled = !!(fileUp || fileWaiting);
      el.filesUp.hidden = !fileUp;
      el.filesDown.hidden = !fileDown;
      el.filesListGet.disabled = !!(fileDown || fileListing || fileListTimer);
      for (const b of el.filesList.querySelectorAll('button')) {
        const entry = fileEntries[Number(b.dataset.index)];
        b.disabled = !entry || !entry.can || !!fileDown;
      }
      syncScrollCues();
    }

    // The socket's own send: chunk frames are binary, and the file messages
    // must go out in order with them.
    function fileSend(message) {
      if (message == null || !conn.ready || !conn.ws || conn.ws.readyState !== 1) return false;
      try { conn.ws.send(message); return true; } catch (e) { return false; }
    }

    function onFilePicked() {
      const file = el.filesInput.files && el.filesInput.files[0];
      el.filesInput.value = '';
      if (!file || fileUp || fileWaiting) return;
      if (file.size === 0) fileSay(el.filesUpStatus, 'empty');
      else if (file.size > FILE_MAX) fileSay(el.filesUpStatus, 'too-large');
      else if (!conn.ready) { fileWaiting = file; fileSay(el.filesUpStatus, 'up-waiting'); }
      else fileStartUpload(file);
      fileSync();
    }

    function fileStartUpload(file) {
      const id = fileNextId();
      const message = encodeFilePut(id, file.name || 'file', file.size);
      if (!message) { fileSay(el.filesUpStatus, 'bad-name'); fileSync(); return; }
      fileUp = { state: fileUpStart(id, file.size), file: file, hash: sha256Start(), block: null, reading: false, timer: null };
      el.filesUpBar.value = 0;
      fileSay(el.filesUpStatus, 'up-asking');
      fileSend(message);
      fileSync();
    }

    function fileEndUpload(word, detail) {
      if (fileUp) clearTimeout(fileUp.timer);
      fileUp = null;
      fileSay(el.filesUpStatus, word, detail);
      fileSync();
    }

    function fileFailUpload(word) {
      if (fileUp) fileSend(encodeFileCancel(fileUp.state.id));
      fileEndUpload(word);
    }

    function fileReadBlock(up, start, length) {
      up.reading = true;
      const piece = up.file.slice(start, start + length);
      let reading;
      if (typeof piece.arrayBuffer === 'function') {
        reading = piece.arrayBuffer();
      } else {
        reading = new Promise((resolve, reject) => {
          const reader = new FileReader();
          reader.onload = () => resolve(reader.result);
          reader.onerror = () => reject(reader.error);
          reader.readAsArrayBuffer(piece);
        });
      }
      reading.then((buffer) => {
        if (fileUp !== up) return;
        up.reading = false;
        // A different length means the file changed since it was chosen.
        if (!buffer || buffer.byteLength !== length) { fileFailUpload('local-read-failed'); return; }
        up.block = { start: start, bytes: new Uint8Array(buffer) };
        filePump();
      }, () => {
        if (fileUp !== up) return;
        up.reading = false;
        fileFailUpload('local-read-failed');
      });
    }

    function filePumpChunks() {
      const up = fileUp;
      for (;;) {
        const n = fileUpNext(up.state);
        if (n === 0) return;
        // Pointer and key messages must not queue behind file data.
        if (conn.ws.bufferedAmount > FILE_BUFFERED_MAX) {
          up.timer = setTimeout(() => { up.timer = null; if (fileUp === up) filePump(); }, 40);
          return;
        }
        const s = up.state;
        if (!up.block || s.sent < up.block.start || s.sent + n > up.block.start + up.block.bytes.length) {
          up.block = null;
          fileReadBlock(up, s.sent, Math.min(s.chunk * FILE_BLOCK_CHUNKS, s.size - s.sent));
          return;
        }
        const at = s.sent - up.block.start;
        const bytes = up.block.bytes.subarray(at, at + n);
        const frame = encodeFileChunk(s.id, s.sent, bytes);
        if (!frame) { fileFailUpload('broken'); return; }
        sha256Update(up.hash, bytes);
        fileSend(frame);
        up.state = fileUpStep(s, { type: 'sent', count: n });
        if (up.state.phase === 'failed') { fileFailUpload(up.state.error); return; }
        if (up.state.phase === 'ending') {
          up.block = null;
          fileSend(encodeFilePutEnd(s.id, sha256Hex(up.hash)));
          return;
        }
      }
    }

    function filePump() {
      const up = fileUp;
      if (!up || up.reading || up.timer || !conn.ready || !conn.ws) return;
      filePumpChunks();
      if (fileUp !== up) return;
      const s = up.state;
      el.filesUpBar.value = s.size > 0 ? s.acked / s.size : 0;
      if (s.phase === 'ending') fileSay(el.filesUpStatus, 'up-checking');
      else fileSay(el.filesUpStatus, 'up-sending', fileProgressText(s.acked, s.size));
    }

    function onFileUpMessage(msg) {
      if (!fileUp) return;
      const next = fileUpStep(fileUp.state, msg);
      if (next === fileUp.state) return;
      fileUp.state = next;
      if (next.phase === 'done') fileEndUpload('up-done', fileSafeName(next.name));
      else if (next.phase === 'failed') {
        // A word from the Mac means it has already ended its side.
        if (next.error === 'broken') fileFailUpload('broken');
        else fileEndUpload(next.error);
      } else filePump();
    }

    function cancelUpload() {
      if (!fileUp) return;
      fileFailUpload('cancelled');
    }

    function fileListClicked() {
      if (fileDown || fileListing || fileListTimer) return;
      if (!conn.ready) { fileSay(el.filesDownStatus, 'not-connected'); return; }
      const id = fileNextId();
      fileListing = { id: id };
      fileListTimer = setTimeout(() => {
        fileListTimer = null;
        if (fileListing && fileListing.id === id) {
          fileListing = null;
          fileSay(el.filesDownStatus, 'list-timeout');
        }
        fileSync();
      }, FILE_LIST_PACE_MS);
      fileSay(el.filesDownStatus, 'list-asking');
      fileSend(encodeFileList(id));
      fileSync();
    }

    function onFileListMessage(msg) {
      if (!fileListing) return;
      const answer = fileListAnswer(msg, fileListing.id);
      if (answer.kind === 'ignore') return;
      fileListing = null;
      if (answer.kind === 'error') {
        fileSay(el.filesDownStatus, answer.error);
      } else {
        fileRenderList(answer.files);
        fileSay(el.filesDownStatus, answer.files.length === 0 ? 'list-empty' : answer.more ? 'list-more' : '');
      }
      fileSync();
    }

    function fileRenderList(files) {
      fileEntries = files;
      el.filesList.textContent = '';
      files.forEach((f, i) => {
        const item = document.createElement('li');
        const b = document.createElement('button');
        b.type = 'button';
        b.className = 'file-item';
        b.dataset.index = String(i);
        const name = document.createElement('span');
        name.className = 'file-name';
        name.textContent = fileSafeName(f.name);
        const meta = document.createElement('span');
        meta.className = 'file-meta';
        let line = f.size === 0 ? 'empty' : fileSizeText(f.size) + (f.size > FILE_MAX ? ', over the 200 MB limit' : '');
        if (f.mtime > 0 && fileDateFormat) line += ' \u00B7 ' + fileDateFormat.format(new Date(f.mtime * 1000));
        meta.textContent = line;
        b.append(name, meta);
        item.append(b);
        el.filesList.append(item);
      });
      el.filesList.hidden = files.length === 0;
    }

    function onFileListClick(event) {
      const b = event.target.closest('button');
      if (!b || !el.filesList.contains(b)) return;
      const entry = fileEntries[Number(b.dataset.index)];
      if (entry) fileStartDownload(entry);
    }

    function fileLetGoSaved() {
      if (fileSaved) URL.revokeObjectURL(fileSaved.url);
      fileSaved = null;
      el.filesSave.setAttribute('href', '#');
      el.filesSaved.hidden = true;
      el.filesShare.hidden = true;
    }

    function fileStartDownload(entry) {
      if (fileDown || !entry.can) return;
      if (!conn.ready) { fileSay(el.filesDownStatus, 'not-connected'); return; }
      const id = fileNextId();
      const message = encodeFileGet(id, entry.name);
      if (!message) { fileSay(el.filesDownStatus, 'bad-name'); return; }
      fileLetGoSaved();
      fileDown = { state: fileDownStart(id, entry.name), hash: sha256Start(), parts: [], partBytes: 0, blobs: [] };
      el.filesDownBar.value = 0;
      fileSay(el.filesDownStatus, 'down-asking');
      fileSend(message);
      fileSync();
    }

    function fileEndDownload(word) {
      fileDown = null;
      fileSay(el.filesDownStatus, word);
      fileSync();
    }

    function fileDownFailed(state) {
      if (state.error === 'broken') fileSend(encodeFileCancel(state.id));
      fileEndDownload(state.error);
    }

    // Kept parts go into a Blob every few megabytes, which the browser may
    // hold outside the page, so a large file is not in memory twice.
    function fileFold(down) {
      if (down.parts.length === 0) return;
      down.blobs = [new Blob(down.blobs.concat(down.parts))];
      down.parts = [];
      down.partBytes = 0;
    }

    function onFileChunk(buffer) {
      const chunk = parseFileChunk(buffer);
      const down = fileDown;
      if (!chunk || !down) return;
      const next = fileDownStep(down.state, { type: 'chunk', id: chunk.id, offset: chunk.offset, length: chunk.data.length });
      if (next === down.state) return;
      down.state = next;
      if (next.phase === 'failed') { fileDownFailed(next); return; }
      if (next.keep) {
        sha256Update(down.hash, chunk.data);
        down.parts.push(chunk.data);
        down.partBytes += chunk.data.length;
        if (down.partBytes >= FILE_FOLD_BYTES) fileFold(down);
      }
      fileShowDownProgress(next);
    }

    function fileShowDownProgress(s) {
      el.filesDownBar.value = s.size > 0 ? s.got / s.size : 0;
      fileSay(el.filesDownStatus, 'down-receiving', fileProgressText(s.got, s.size));
    }

    function onFileDownMessage(msg) {
      const down = fileDown;
      if (!down) return;
      let next = fileDownStep(down.state, msg);
      if (next === down.state) return;
      if (next.phase === 'checking') {
        fileSay(el.filesDownStatus, 'down-checking');
        next = fileDownStep(next, { type: 'hash', hex: sha256Hex(down.hash) });
        // The Mac has finished its side: a mismatch is ours to report only.
        if (next.phase === 'failed') { fileEndDownload(next.error); return; }
      }
      down.state = next;
      if (next.phase === 'failed') fileDownFailed(next);
      else if (next.phase === 'done') fileOfferSave(down);
      else fileShowDownProgress(next);
    }

    function fileOfferSave(down) {
      fileFold(down);
      const name = fileSafeName(down.state.name);
      const type = fileTypeFor(name);
      const blob = new Blob(down.blobs, { type: type });
      const url = URL.createObjectURL(blob);
      fileSaved = { url: url, file: null };
      el.filesSave.href = url;
      el.filesSave.download = name;
      el.filesSave.textContent = 'Save \u201c' + name + '\u201d (' + fileSizeText(down.state.size) + ')';
      el.filesSaved.hidden = false;
      try {
        const file = new File([blob], name, { type: type });
        if (navigator.canShare && navigator.share && navigator.canShare({ files: [file] })) {
          fileSaved.file = file;
          el.filesShare.hidden = false;
        }
      } catch (e) { /* no sharing of files here */ }
      fileEndDownload('down-done');
    }

    function fileShare() {
      if (!fileSaved || !fileSaved.file) return;
      let sharing;
      try { sharing = navigator.share({ files: [fileSaved.file] }); } catch (e) { sharing = Promise.reject(e); }
      Promise.resolve(sharing).catch((e) => {
        if (!e || e.name !== 'AbortError') fileSay(el.filesDownStatus, 'share-failed');
      });
    }

    function cancelDownload() {
      if (!fileDown) return;
      fileSend(encodeFileCancel(fileDown.state.id));
      fileEndDownload('cancelled');
    }

    function onFileMessage(msg) {
      if (msg.t === 'file-list-result') onFileListMessage(msg);
      else if (msg.t === 'file-get-ready' || msg.t === 'file-get-result') onFileDownMessage(msg);
      else onFileUpMessage(msg);
    }

    function fileReset() {
      if (fileUp) fileEndUpload('offline');
      if (fileDown) fileEndDownload('offline');
      fileListing = null;
      fileSync();
    }

    function fileOnReady() {
      if (!fileWaiting || fileUp) return;
      const file = fileWaiting;
      fileWaiting = null;
      fileStartUpload(file);
    }

    function bindFiles() {
      // The picker opens only from the tap itself on a phone.
      el.filesPick.addEventListener('click', () => el.filesInput.click());
      el.filesInput.addEventListener('change', onFilePicked);
      el.filesUpCancel.addEventListener('click', cancelUpload);
      el.filesListGet.addEventListener('click', fileListClicked);
      el.filesList.addEventListener('click', onFileListClick);
      el.filesDownCancel.addEventListener('click', cancelDownload);
      el.filesShare.addEventListener('click', fileShare);
      fileSync();
    }

    // -------------------------------------------------------------------
    // Start-up
    // -------------------------------------------------------------------

    function bindPairing() {
      el.pairForm.addEventListener('submit', submitPairing);
      el.pairCode.addEventListener('input', onCodeInput);
    }

    function bindStage() {
      const c = el.screen;
      c.addEventListener('pointerdown', onPointerDown);
      c.addEventListener('pointermove', onPointerMove);
      c.addEventListener('pointerup', onPointerEnd);
      c.addEventListener('pointercancel', onPointerEnd);
      c.addEventListener('mousedown', onMouseDown);
      c.addEventListener('wheel', onWheel, { passive: false });
      c.addEventListener('contextmenu', (e) => e.preventDefault());
      c.addEventListener('dragstart', (e) => e.preventDefault());
      c.addEventListener('selectstart', (e) => e.preventDefault());
      c.addEventListener('auxclick', (e) => e.preventDefault());
      window.addEventListener('mousemove', onMouseMove);
      window.addEventListener('mouseup', onMouseUp);
      for (const type of ['mousedown', 'mouseup', 'auxclick']) window.addEventListener(type, blockBackForward, true);
      document.addEventListener('gesturestart', (e) => e.preventDefault());
      el.stage.addEventListener('keydown', onKeyDown);
      el.stage.addEventListener('keyup', onKeyUp);
      el.stage.addEventListener('focus', onStageFocus);
      el.stage.addEventListener('blur', onStageBlur);
      window.addEventListener('blur', () => releaseAllInput());
      window.addEventListener('beforeunload', (e) => {
        if (!conn.ready) return;
        e.preventDefault();
        e.returnValue = '';
      });
    }

    function bindKeyButtons() {
      for (const area of [el.compose, el.keys, el.more, el.clip, el.files]) area.addEventListener('click', onControlClick);
      for (const area of [el.compose, el.keys]) area.addEventListener('mousedown', keepFocus);
    }

    function bindLayout() {
      window.addEventListener('resize', syncViewport);
      window.addEventListener('orientationchange', syncViewport);
      window.addEventListener('scroll', onPageScroll);
      if (window.visualViewport) {
        window.visualViewport.addEventListener('resize', syncViewport);
        window.visualViewport.addEventListener('scroll', syncViewport);
      }
      if (typeof ResizeObserver === 'function') {
        const ro = new ResizeObserver(() => relayout());
        ro.observe(el.work);
        ro.observe(el.stage);
      }
      for (const s of Object.values(sheets)) {
        const scroller = s.querySelector('.sheet-body, .keypad');
        if (scroller) scroller.addEventListener('scroll', syncScrollCues, { passive: true });
      }
      el.bannerMore.addEventListener('click', () => {
        noticesExpanded = !noticesExpanded;
        renderBanner();
        relayout();
      });
    }

    function bindControls() {
      el.typeToggle.addEventListener('click', () => setCompose(!ui.compose));
      el.keysToggle.addEventListener('click', (e) => toggleSheet('keys', e));
      for (const b of document.querySelectorAll('[data-toggle="more"]')) b.addEventListener('click', (e) => toggleSheet('more', e));
      for (const b of document.querySelectorAll('[data-open="clip"]')) b.addEventListener('click', (e) => toggleSheet('clip', e));
      for (const b of document.querySelectorAll('[data-close="sheet"]')) b.addEventListener('click', () => setSheet(null, false));
      el.filesOpen.addEventListener('click', (e) => toggleSheet('files', e));
      el.composeClose.addEventListener('click', () => setCompose(false));
      el.composeSend.addEventListener('click', sendCompose);
      el.composeText.addEventListener('keydown', onComposeKey);
      el.composePlain.addEventListener('change', applyPlainMode);
      el.quality.addEventListener('change', () => send(encodeQuality(el.quality.value)));
      el.lockMac.addEventListener('click', () => send(encodeSimple('lock')));
      el.soundToggle.addEventListener('click', onSoundButton);
      el.disconnect.addEventListener('click', () => { setSheet(null, false); stopSession('user'); });
      el.forget.addEventListener('click', forgetDevice);
      el.reconnect.addEventListener('click', onReconnectButton);
      el.confirmOk.addEventListener('click', () => closeConfirm(true));
      el.confirmCancel.addEventListener('click', () => closeConfirm(false));
      document.addEventListener('keydown', onEscapeAnywhere);
      el.zoomReset.addEventListener('click', () => { startGlide(); setView(1, 0.5, 0.5); });
      if (document.fullscreenEnabled && document.documentElement.requestFullscreen) {
        el.fullscreen.hidden = false;
        el.fullscreen.addEventListener('click', () => {
          const p = document.fullscreenElement ? document.exitFullscreen() : document.documentElement.requestFullscreen();
          if (p && p.catch) p.catch(() => {});
        });
      }
      for (const r of document.querySelectorAll('input[name="picture-pref"]')) {
        r.addEventListener('change', () => { if (r.checked) setPicturePref(r.value); });
      }
      el.videoRetry.addEventListener('click', () => videoEvent({ type: 'retry' }));
      el.pointerToggle.addEventListener('click', () => setPointerMode(pointerMode === 'touch' ? 'trackpad' : 'touch', true, true));
      for (const r of document.querySelectorAll('input[name="pointer-mode"]')) {
        r.addEventListener('change', () => { if (r.checked) setPointerMode(r.value, true, false); });
      }
    }

    function bindLifecycle() {
      document.addEventListener('visibilitychange', onVisible);
      window.addEventListener('pageshow', onVisible);
      window.addEventListener('online', onVisible);
      window.addEventListener('pagehide', onPageHide);
      setInterval(tickFps, 1000);
      setInterval(videoTick, VIDEO_TICK_MS);
    }

    initModifiers();
    bindPairing();
    bindStage();
    bindLayout();
    bindControls();
    bindKeyButtons();
    bindLifecycle();
    initDesk();
    bindLive();
    bindClipboard();
    bindFiles();
    el.displayList.addEventListener('click', onDisplayClick);
    setTypeMode(storeGet(TYPING_KEY), false);
    applyPlainMode();
    noteTouchDevice();
    setPointerMode(storeGet(POINTER_KEY), false, false);
    syncPictureUi();
    syncComposeState();
    syncViewport();
    soundRender();

    if (relay && typeof relay.start === 'function') {
      relay.start({ startSession: startSession, endSession: endSession });
    } else if (loadToken()) {
      startSession();
    } else {
      showPairing('');
    }
  }

  const pure = {
    CODE_ALPHABET, TOKEN_RE, KEY_CODE_RE, NO_RECONNECT, VIDEO_PROBE_CODEC,
    codeChars, formatCode, isValidCode, formatCodeInput, cleanDeviceName, guessDeviceName,
    unit, clickCount, isKeyCode, mapMouseButton, wheelToPixels, chunkText, parseChord, backoffDelay,
    parseFrameHeader, encodeAuth, encodePing, encodeMove, encodeButton, encodeScroll, encodeKey,
    encodeText, encodeQuality, encodeSimple,
    roomyBelowCut, fitScale, fitRect, visibleBox, pictureRect, stageGeometry, pointToNorm, normToPoint,
    viewForAnchor, followView, fitBasis, keyboardInset, chooseLayout, squeezeLevel,
    statusBanners, byeText, stopAdvice, retryText, pairErrorText, shouldAutoReconnect,
    normalizePicturePref, parseVideoHeader, parseVideoAnnounce, videoMaxSize, encodeVideoWant,
    formatRate, videoStart, videoStep, pictureStatus,
    accelGain, movePointer, classifyTwoFinger, tapCount, classifyTouch, pointInPicture, directTouchStart,
    directTouch, normalizePointerMode, pointerModeLabel, pointerModeNote, pointerSwitchHint, deskMouseButton,
    deskWheelStep,
    nextModifierState, modifierLabel, deskPlatform, deskDefaults, deskSetting, deskMapCode, deskPrintable,
    deskKeyAction, deskKeysStart, deskHolds, deskKeyStep, deskKeptText, deskCaptureText,
    LT_SENTINEL, normalizeTypeMode, ltKeyForChar, ltGraphemes, ltIsRealKey, ltStart, ltStep, ltEncode,
    isClipId, clipClean, clipChunks, utf8Length, encodeClipGet, clipPutMessages, clipAnswer, clipChunkIn,
    clipPutAnswer, clipCountText, clipStatusText,
    isDisplayId, parseDisplayList, encodeDisplaySelect, displaySizeText, displayStart, displayStep, displayView,
    FILE_MAX, FILE_LIST_PACE_MS, sha256Start, sha256Update, sha256Hex, fileSendName, fileSafeName, fileTypeFor,
    encodeFileList, encodeFilePut, encodeFilePutEnd, encodeFileGet, encodeFileCancel, encodeFileChunk,
    parseFileChunk, isFileMessage, fileUpStart, fileUpNext, fileUpStep, fileDownStart, fileDownStep,
    fileListAnswer, fileSizeText, fileProgressText, fileStatusText,
    AUDIO_TAG, AUDIO_HEADER_BYTES, AUDIO_ANSWER_MS, AUDIO_RUNNING_MS,
    encodeAudio, parseAudioHeader, audioSamples, parseAudioState, soundStatus,
  };

  if (typeof module !== 'undefined' && module.exports) {
    module.exports = pure;
  } else if (typeof document !== 'undefined') {
    if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', startApp, { once: true });
    else startApp();
  }
})();
