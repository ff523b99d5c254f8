'use strict';
// Picture and video, the page half: the decoder or the still pictures on the
// canvas, the view (zoom and pan), and the picture choices in the More sheet.
const { encodeSimple, parseFrameHeader } = require('./encoders.js');
const { isFileMessage } = require('./files.js');
const { FOLLOW_MARGIN, followView, paintPlacement, stageGeometry } = require('./layout.js');
const { AUDIO_TAG } = require('./sound.js');
const {
  GLIDE_MS, PICTURE_KEY, VIDEO_ALIVE_MS, VIDEO_HEADER_BYTES, VIDEO_PROBE_CODEC, encodeVideoWant,
  normalizePicturePref, parseVideoHeader, pictureStatus, videoMaxSize, videoStart, videoStep,
} = require('./video.js');

// How long the video frame on screen stays open for redraws before it is
// copied and handed back to the decoder; a newer frame usually replaces it
// sooner, so playing video pays for no copy at all.
const FRAME_KEEP_MS = 100;

function pictureWidth(p) { return p.displayWidth || p.naturalWidth || p.width || 0; }
function pictureHeight(p) { return p.displayHeight || p.naturalHeight || p.height || 0; }

// What the page's log says of a decoder's or a canvas's failure.
function errorText(e) {
  return e && typeof e.message === 'string' && e.message ? (e.name ? e.name + ': ' : '') + e.message : String(e);
}

// Decoded pictures and video frames hold decoder or GPU memory until closed.
function releasePicture(p) {
  if (p && typeof p.close === 'function') { try { p.close(); } catch (e) { /* already closed */ } }
}

module.exports = function videoPage(app) {
  const { el, session, sheets, reducedMotion, onPhone, mono, storeGet, storeSet } = app;

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
  let videoCopy = null;
  let keepTimer = null;
  let heldChunks = [];
  const videoEvents = [];
  let videoBusy = false;
  let pictureUiKey = '';

  function geometry() {
    const stage = el.stage.getBoundingClientRect();
    let cutRight = 0;
    let cutBottom = 0;
    if (app.layout.layout.mode === 'compact') {
      if (app.layout.ui.compose) cutBottom = el.compose.getBoundingClientRect().height;
      if (app.layout.ui.sheet === 'keys' || app.layout.ui.sheet === 'more') {
        const r = sheets[app.layout.ui.sheet].getBoundingClientRect();
        if (app.layout.layout.dock === 'side') cutRight = r.width;
        else cutBottom = Math.max(cutBottom, r.height);
      }
    }
    const basis = app.layout.basisFor(stage.width, stage.height);
    const g = stageGeometry(stage.width, stage.height, cutRight, cutBottom, basis.w, basis.h, app.layout.picW, app.layout.picH, view);
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
    const next = followView(g.rect, g.box, app.pointer.pointer, FOLLOW_MARGIN);
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
    const place = picture ? paintPlacement(rect, dpr, pictureWidth(picture), pictureHeight(picture)) : null;
    if (place) {
      ctx.imageSmoothingEnabled = place.smooth;
      if (place.smooth) ctx.imageSmoothingQuality = 'high';
      ctx.drawImage(picture, place.x, place.y, place.w, place.h);
    }
    shown = rect;
    app.pointer.placeMark();
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
        if (!app.connection.conn.ready) { if (image.close) image.close(); continue; }
        showPicture(image);
      } catch (e) {
        // A picture that does not decode is skipped; the next one follows.
      }
    }
    decoding = false;
  }

  // Paints at once: the picture is drawn in the same task that decoded it.
  function showPicture(next) {
    if (picture !== next) releasePicture(picture === videoCopy ? null : picture);
    picture = next;
    app.wording.countFrame();
    if (app.layout.setPictureSize(pictureWidth(next), pictureHeight(next))) {
      app.layout.relayout();
      setView(view.zoom, view.cx, view.cy);
    } else {
      draw();
    }
  }

  function onBinary(buffer) {
    const b = new Uint8Array(buffer);
    if (b.length === 0) return;
    if (isFileMessage(b)) { app.files.onFileChunk(buffer); return; }
    if (b[0] === 0x02) { onVideoMessage(buffer); return; }
    if (b[0] === AUDIO_TAG) { app.sound.onAudioMessage(buffer); return; }
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
      if (r.log) console.warn(r.log);
      for (const action of r.out) videoAction(action);
    }
    videoBusy = false;
    syncPictureUi();
    return first;
  }

  function videoAction(a) {
    switch (a.type) {
      case 'probe': {
        const ws = app.connection.conn.ws;
        videoSupported({ codec: VIDEO_PROBE_CODEC, optimizeForLatency: true }).then((ok) => {
          if (app.connection.conn.ws === ws) videoEvent({ type: 'probe', ok: ok });
        });
        break;
      }
      case 'want-h264': {
        const stage = el.stage.getBoundingClientRect();
        const size = videoMaxSize(stage.width, stage.height, window.devicePixelRatio, onPhone());
        app.connection.send(encodeVideoWant('h264', size.maxW, size.maxH));
        break;
      }
      case 'want-jpeg': app.connection.send(encodeVideoWant('jpeg')); break;
      case 'keyframe': app.connection.send(encodeSimple('keyframe')); break;
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
          const what = 'kept chunks could not be fed: ' + errorText(e);
          videoEvents.push({ type: 'error', fatal: true, what: what, now: mono() });
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
    const ws = app.connection.conn.ws;
    const config = { codec: a.codec, codedWidth: a.w, codedHeight: a.h, optimizeForLatency: true };
    videoSupported(config).then((ok) => {
      if (app.connection.conn.ws !== ws || video.gen !== a.gen || video.phase !== 'configuring') return;
      if (ok && !buildDecoder(config, a.gen)) {
        videoEvent({ type: 'error', fatal: true, what: 'the decoder could not be built for ' + a.codec });
        return;
      }
      videoEvent({ type: 'configured', ok: ok, gen: a.gen });
    });
  }

  function buildDecoder(config, gen) {
    let dec = null;
    try {
      dec = new VideoDecoder({
        output: (frame) => onVideoFrame(frame, gen),
        error: (e) => {
          if (vdec !== dec) return;
          vdec = null;
          videoEvent({ type: 'error', fatal: false, what: 'the decoder failed: ' + errorText(e) });
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
    keepVideoCopy();
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
      try {
        vdec.decode(chunk);
      } catch (e) {
        videoEvent({ type: 'error', fatal: true, what: 'a chunk could not be fed: ' + errorText(e) });
      }
    }
  }

  // The decoder's output goes straight onto the screen canvas; the frame
  // stays the picture for redraws only until a newer one replaces it.
  function onVideoFrame(frame, gen) {
    if (gen !== video.gen || video.phase !== 'live' || !(frame.displayWidth > 0)) { frame.close(); return; }
    const ts = frame.timestamp;
    try {
      showPicture(frame);
    } catch (e) {
      if (picture === frame) picture = null;
      frame.close();
      videoEvent({ type: 'error', fatal: true, what: 'a frame could not be drawn: ' + errorText(e) });
      return;
    }
    clearTimeout(keepTimer);
    keepTimer = setTimeout(keepVideoCopy, FRAME_KEEP_MS);
    videoEvent({ type: 'paint', ts: ts });
  }

  // When no newer frame came, the one on screen is copied for redraws and
  // closed, so the decoder is never short of buffers and a still screen holds
  // no frame.
  function keepVideoCopy() {
    clearTimeout(keepTimer);
    keepTimer = null;
    const frame = picture;
    if (!frame || typeof VideoFrame === 'undefined' || !(frame instanceof VideoFrame)) return;
    const w = frame.displayWidth;
    const h = frame.displayHeight;
    try {
      if (!videoCopy || videoCopy.width !== w || videoCopy.height !== h) {
        videoCopy = document.createElement('canvas');
        videoCopy.width = w;
        videoCopy.height = h;
      }
      videoCopy.getContext('2d').drawImage(frame, 0, 0, w, h);
      picture = videoCopy;
    } catch (e) {
      picture = null;
    }
    frame.close();
  }

  function videoTick() {
    if (!app.connection.conn.ready) return;
    videoEvent({ type: 'tick', alive: Date.now() - app.connection.conn.lastRx < VIDEO_ALIVE_MS });
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
    app.layout.syncScrollCues();
  }

  function videoCapable() {
    return !!window.isSecureContext && typeof VideoDecoder === 'function' &&
      typeof VideoDecoder.isConfigSupported === 'function' && typeof EncodedVideoChunk === 'function';
  }

  return {
    messages: { 'video': (msg) => videoEvent({ type: 'server', msg: msg }) },
    dropPendingFrame() { pendingFrame = null; },
    get shown() { return shown; },
    get view() { return view; },
    geometry,
    setView,
    keepPointerInView,
    startGlide,
    draw,
    onBinary,
    videoEvent,
    videoTick,
    setPicturePref,
    syncPictureUi,
    videoCapable,
  };
};
