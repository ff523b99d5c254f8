'use strict';
// Plays the host's side of the session socket through Playwright's WebSocket
// routing, so the page can be driven through every ending without a real
// host. Each connection is recorded with what the page sent.
const TOKEN = 'ab'.repeat(32);

function jpegFrame(jpeg, width, height) {
  const head = Buffer.alloc(5);
  head[0] = 0x01;
  head.writeUInt16BE(width, 1);
  head.writeUInt16BE(height, 3);
  return Buffer.concat([head, jpeg]);
}

function videoFrame(accessUnit, keyframe, timestampMicros) {
  const head = Buffer.alloc(10);
  head[0] = 0x02;
  head[1] = keyframe ? 1 : 0;
  head.writeBigUInt64BE(BigInt(Math.round(timestampMicros)), 2);
  return Buffer.concat([head, accessUnit]);
}

// Options: token (accepted token), device (name in "ready"), status (first
// status message or null), onSession(conn) called once a session is ready.
async function installFakeHost(page, { token = TOKEN, device = 'Test phone', status, onSession, answerPings = true } = {}) {
  const host = { connections: [], sessions: [] };
  await page.routeWebSocket(/\/ws$/, (ws) => {
    const conn = { ws, sent: [], open: true, ready: false };
    host.connections.push(conn);
    ws.onClose(() => { conn.open = false; });
    ws.onMessage((message) => {
      if (typeof message !== 'string') { conn.sent.push({ binary: message }); return; }
      let msg = null;
      try { msg = JSON.parse(message); } catch (e) { msg = null; }
      conn.sent.push(msg);
      if (!msg) return;
      if (!conn.ready) {
        if (msg.t === 'auth' && msg.token === token) {
          conn.ready = true;
          ws.send(JSON.stringify({ t: 'ready', device, version: 1 }));
          const first = status === undefined
            ? { t: 'status', capture: 'ok', input: true, locked: false, sleepDisabled: true, lidClosed: false }
            : status;
          if (first) ws.send(JSON.stringify(first));
          host.sessions.push(conn);
          if (onSession) onSession(conn);
        } else {
          ws.send(JSON.stringify({ t: 'denied' }));
          ws.close({ code: 1008 });
        }
        return;
      }
      if (msg.t === 'ping' && answerPings) ws.send(JSON.stringify({ t: 'pong', id: msg.id }));
      if (msg.t === 'video' && conn.onVideo) conn.onVideo(msg);
    });
  });
  host.last = () => host.connections[host.connections.length - 1];
  host.bye = (reason) => {
    const c = host.last();
    c.ws.send(JSON.stringify({ t: 'bye', reason }));
    c.ws.close({ code: 1000 });
  };
  return host;
}

// A computer that knows the display effects: it answers the greeting with
// its state, probes with `verdict`, and carries out fit and hide at once
// unless `silent` (then it never answers a request).
function effectsHost(conn, { verdict = 'fit', silent = false, allowed = true } = {}) {
  const fx = { display: 1, match: null, hidden: false };
  const state = () => JSON.stringify({
    t: 'fx-state', v: 1, display: fx.display,
    match: fx.match ? { available: true, allowed, active: true, w: fx.match.w, h: fx.match.h, smaller: false }
      : { available: true, allowed, active: false },
    hide: { available: true, allowed, active: fx.hidden, idle: 600, others: 0, locks: true },
  });
  const answer = (id, what, extra = {}) => conn.ws.send(JSON.stringify(Object.assign({ t: 'fx-result', id, what, ok: true }, extra)));
  conn.ws.onMessage((m) => {
    if (typeof m !== 'string') return;
    const msg = JSON.parse(m);
    conn.sent.push(msg);
    if (msg.t === 'ping') conn.ws.send(JSON.stringify({ t: 'pong', id: msg.id }));
    if (msg.t === 'fx-hello') conn.ws.send(state());
    if (msg.t === 'fx-probe') answer(msg.id, 'probe', { verdict, before: 300, after: 20, smaller: false });
    if (silent) return;
    if (msg.t === 'fx-match') { fx.match = { w: msg.w * msg.scale, h: msg.h * msg.scale }; conn.ws.send(state()); answer(msg.id, 'match'); }
    if (msg.t === 'fx-restore') { fx.match = null; conn.ws.send(state()); answer(msg.id, 'restore'); }
    if (msg.t === 'fx-hide') { fx.hidden = msg.on; conn.ws.send(state()); answer(msg.id, 'hide'); }
  });
  return fx;
}

// A JPEG made by the browser itself: a desktop-like picture with four
// coloured corners that tests can sample.
async function makeJpeg(page, width, height) {
  const data = await page.evaluate(async ({ width, height }) => {
    const c = new OffscreenCanvas(width, height);
    const g = c.getContext('2d');
    const grad = g.createLinearGradient(0, 0, width, height);
    grad.addColorStop(0, '#2b4a6b');
    grad.addColorStop(1, '#6b3f5e');
    g.fillStyle = grad;
    g.fillRect(0, 0, width, height);
    g.fillStyle = 'rgba(240,240,245,0.92)';
    g.fillRect(0, 0, width, Math.round(height * 0.03));
    const wx = width * 0.18, wy = height * 0.16, ww = width * 0.56, wh = height * 0.58;
    g.fillStyle = 'rgba(0,0,0,0.35)';
    g.fillRect(wx + 8, wy + 12, ww, wh);
    g.fillStyle = '#f6f6f8';
    g.fillRect(wx, wy, ww, wh);
    g.fillStyle = '#e2e4e8';
    g.fillRect(wx, wy, ww, height * 0.045);
    for (const [i, col] of ['#ff5f57', '#febc2e', '#28c840'].entries()) {
      g.fillStyle = col;
      g.beginPath();
      g.arc(wx + 18 + i * 20, wy + height * 0.0225, 6, 0, Math.PI * 2);
      g.fill();
    }
    g.fillStyle = '#c8ccd3';
    for (let i = 0; i < 9; i++) g.fillRect(wx + 30, wy + height * 0.09 + i * height * 0.045, ww * (0.4 + ((i * 37) % 50) / 100), height * 0.015);
    // Sample corners: red, green, blue, white squares.
    const s = Math.round(Math.min(width, height) * 0.08);
    g.fillStyle = '#ff0000'; g.fillRect(0, height - s, s, s);
    g.fillStyle = '#00ff00'; g.fillRect(width - s, height - s, s, s);
    g.fillStyle = '#0000ff'; g.fillRect(width - s, height * 0.5 - s / 2, s, s);
    const blob = await c.convertToBlob({ type: 'image/jpeg', quality: 0.92 });
    return Array.from(new Uint8Array(await blob.arrayBuffer()));
  }, { width, height });
  return Buffer.from(data);
}

module.exports = { installFakeHost, effectsHost, jpegFrame, videoFrame, makeJpeg, TOKEN };
