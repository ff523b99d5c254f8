'use strict';
// The connection: one socket per session, its start, keep-alive, end and
// reconnecting, and the table that hands each message a ready session
// receives to the module that owns it. The socket comes from the page's one
// road to the computer: a plain WebSocket on loopback and the
// tailnet, sealed records over the relay. Both offer the same WebSocket-like
// object, so nothing here or in the other modules knows which road it is on.
const { backoffDelay, encodeAuth, encodePing, encodeQuality, encodeSimple } = require('./encoders.js');
const { DROP_TEXT, byeText, dialText, quietText, retryText, shouldAutoReconnect, stopAdvice } = require('./wording.js');

module.exports = function connectionPage(app) {
  const { relay, el, session, coarsePointer, mono } = app;

  // The direct road: the host's own socket, opened with the stored token.
  const road = relay || {
    firstMessage: () => encodeAuth(app.pairing.loadToken()),
    openSocket: () => new WebSocket((location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + '/ws'),
  };

  const PING_MS = 2000;
  const SILENCE_MS = 10000;
  const CONNECT_MS = 10000;

  // How the current socket ended, beside a bye: `endWord` the bye's reason,
  // "silent" (a session that heard nothing) or "unanswered" (not ready in
  // time); `reached` whether the relay had let it in; `endedReady` whether
  // it was a session. `afterSession`: this run of retries began with the end
  // of a session. `why`: what the last wait said, said again while dialling.
  const conn = {
    screen: '', ws: null, ready: false, denied: false, stopReason: null, byeNote: '', attempt: 0,
    wantRefresh: false, lastRx: 0, pingId: 0, pingSentAt: 0,
    connectTimer: null, pingTimer: null, retryTimer: null,
    endWord: '', reached: false, endedReady: false, afterSession: false, why: '', whyWord: '',
  };
  let firstMessage = null;

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
    firstMessage = road.firstMessage() || null;
    if (!firstMessage) {
      app.pairing.clearToken();
      app.pairing.showPairing('');
      return;
    }
    app.pairing.showSession();
    // A button the overlay shows stays where it is while this dial is on
    // its way, disabled: a second tap on "Try now" must not land on what
    // would take its place.
    const kept = app.wording.overlayButton();
    const again = conn.attempt > 0;
    const title = again ? 'Reconnecting to your computer' : 'Connecting to your computer';
    const why = again ? conn.why : '';
    app.wording.setConn('busy', again ? 'Reconnecting' : 'Connecting');
    app.wording.showOverlay(title, dialText(why, conn.whyWord, false), kept, true);
    conn.endWord = '';
    conn.reached = false;
    let ws;
    try {
      ws = road.openSocket();
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
      if (conn.ws === ws && !conn.ready) { conn.endWord = 'unanswered'; dropSocket(); }
    }, CONNECT_MS);
    // The relay holds this dial and the computer has yet to answer: said,
    // so that a long wait has its reason on screen.
    ws.onreached = () => {
      if (conn.ws !== ws || conn.ready) return;
      conn.reached = true;
      app.wording.showOverlay(title, dialText(why, conn.whyWord, true), kept, true);
    };
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
        app.wording.countBytes(data.length);
        onText(data);
      } else {
        app.wording.countBytes(data.byteLength || 0);
        if (conn.ready) app.video.onBinary(data);
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
    conn.endedReady = conn.ready;
    conn.ready = false;
    clearTimers();
    if (ws) {
      ws.onopen = ws.onmessage = ws.onclose = ws.onerror = ws.onreached = null;
      try { ws.close(); } catch (e) { /* already closed */ }
    }
    app.video.dropPendingFrame();
    app.clipboard.clipReset(true);
    app.files.fileReset();
    app.sound.soundEnd('');
    app.video.videoEvent({ type: 'closed' });
    app.displays.displayEvent({ type: 'closed' });
    app.screenControls.fxEvent({ type: 'closed' });
    app.lock.lockEvent({ type: 'closed' });
    el.metrics.hidden = true;
    app.pointer.hideMark();
    app.wording.renderStatus(null);
    app.pointer.resetInputState();
    app.keyboard.syncKeysChip();
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
    app.wording.hideOverlay();
    app.layout.setSheet(null, false);
    conn.screen = '';
    session.hidden = true;
  }

  function decideAfterEnd() {
    if (conn.denied) {
      conn.denied = false;
      if (relay) { app.pairing.leaveForSetup('denied'); return; }
      app.pairing.clearToken();
      app.pairing.showPairing('This device is no longer paired with the computer. Pair it again with a new code.');
      return;
    }
    if (conn.stopReason) {
      const reason = conn.stopReason;
      app.wording.setConn('off', 'Disconnected');
      let advice = stopAdvice(reason);
      if (reason === 'user') advice = app.lock.afterDisconnect(advice);
      let button = 'Reconnect';
      if (reason === 'revoked') {
        advice = relay && relay.text && relay.text.revokedAdvice ? relay.text.revokedAdvice : advice;
        button = relay && relay.text && relay.text.revokedButton ? relay.text.revokedButton : 'Pair again';
      }
      app.wording.showOverlay(byeText(reason), advice, button);
      return;
    }
    if (conn.attempt === 0) conn.afterSession = conn.endedReady;
    const delay = road.retryDelay ? road.retryDelay(conn.attempt, { afterSession: conn.afterSession })
      : backoffDelay(conn.attempt);
    conn.attempt += 1;
    const offline = navigator.onLine === false;
    const title = (!offline && quietText(conn.endWord, conn.reached)) || conn.byeNote ||
      (offline ? byeText('offline') : DROP_TEXT);
    conn.why = title;
    conn.whyWord = conn.endWord;
    app.wording.showOverlay(title, retryText(delay), 'Try now');
    app.wording.setConn('busy', 'Reconnecting');
    clearTimeout(conn.retryTimer);
    conn.retryTimer = setTimeout(() => { conn.retryTimer = null; openSocket(); }, delay);
  }

  // Message types a ready session hands on, each to the module that owns
  // it (every page module may list its own as `messages`).
  const routes = new Map();
  function route(modules) {
    for (const m of modules) for (const [type, handler] of Object.entries(m.messages || {})) routes.set(type, handler);
  }

  function onText(data) {
    let msg;
    try { msg = JSON.parse(data); } catch (e) { return; }
    if (!msg || typeof msg !== 'object' || Array.isArray(msg)) return;
    switch (msg.t) {
      case 'ready': onReady(); return;
      case 'pong': onPong(msg); return;
      case 'bye': onBye(msg.reason); return;
      case 'denied': conn.denied = true; dropSocket(); return;
      default: break;
    }
    const handler = routes.get(msg.t);
    if (handler && conn.ready) handler(msg);
  }

  function onReady() {
    if (conn.ready) return;
    conn.ready = true;
    conn.attempt = 0;
    conn.byeNote = '';
    clearTimeout(conn.connectTimer); conn.connectTimer = null;
    app.wording.hideOverlay();
    app.wording.setConn('on', 'Connected');
    el.rtt.textContent = '';
    el.fps.textContent = '';
    el.rate.textContent = '';
    app.wording.resetMetrics();
    el.metrics.hidden = false;
    send(encodeQuality(el.quality.value));
    app.video.videoEvent({ type: 'ready', capable: app.video.videoCapable() });
    if (conn.wantRefresh) { conn.wantRefresh = false; send(encodeSimple('refresh')); }
    sendPing();
    conn.pingTimer = setInterval(pingTick, PING_MS);
    app.files.fileOnReady();
    app.screenControls.fxEvent({ type: 'ready' });
    app.pointer.showMark();
    if (!coarsePointer.matches && (!document.activeElement || document.activeElement === document.body)) {
      el.stage.focus({ preventScroll: true });
    }
    app.keyboard.syncKeysChip();
  }

  function onBye(reason) {
    const r = typeof reason === 'string' ? reason : '';
    conn.endWord = r;
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
    if (Date.now() - conn.lastRx > SILENCE_MS) { conn.endWord = 'silent'; dropSocket(); return; }
    sendPing();
  }

  function onPong(msg) {
    if (msg.id !== conn.pingId) return;
    el.rtt.textContent = Math.max(0, Math.round(mono() - conn.pingSentAt)) + ' ms';
  }

  function onReconnectButton() {
    if (conn.stopReason === 'revoked') {
      conn.stopReason = null;
      app.wording.hideOverlay();
      if (relay) { app.pairing.leaveForSetup('revoked'); return; }
      app.pairing.clearToken();
      app.pairing.showPairing('');
      return;
    }
    teardown();
    startSession();
  }

  function forgetDevice() {
    const question = relay && relay.text && relay.text.forget ? relay.text.forget
      : 'Forget this device? You will need a new pairing code to connect again. The computer keeps it in its list until you remove it there.';
    app.layout.askConfirm(question, 'Forget', () => {
      conn.stopReason = 'user';
      teardown();
      app.wording.hideOverlay();
      app.layout.setSheet(null, false);
      if (relay) { app.pairing.leaveForSetup('forget'); return; }
      app.pairing.clearToken();
      app.pairing.showPairing('');
    });
  }

  function onVisible() {
    if (document.visibilityState === 'hidden') {
      app.pointer.releaseAllInput();
      if (app.layout.ui.sheet === 'clip') app.layout.setSheet(null, false);
      app.typing.ltBlur();
      app.sound.soundEnd('hidden');
      app.video.videoEvent({ type: 'hidden' });
      return;
    }
    app.video.videoEvent({ type: 'visible' });
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
    app.pointer.releaseAllInput();
    if (app.layout.ui.sheet === 'clip') app.layout.setSheet(null, false);
    app.sound.soundEnd('hidden');
  }

  return {
    conn,
    route,
    startSession,
    send,
    stopSession,
    endSession,
    onReconnectButton,
    forgetDevice,
    onVisible,
    onPageHide,
  };
};
