'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const { openSession, until, samplePicture, near, eventually } = require('../support/session.js');
const { videoFrame, jpegFrame, makeJpeg } = require('../support/fake-host.js');
const { makeH264 } = require('../support/h264.js');

const stream = makeH264({ width: 640, height: 400 });

// Plays video for one connection: the announcement on request, then the
// access units at 30 per second, time stamps always rising.
function videoHost() {
  const state = { conn: null, timer: null, requests: [], sent: 0 };
  state.onSession = (conn) => {
    state.conn = conn;
    conn.onVideo = (msg) => {
      state.requests.push(msg);
      if (msg.want === 'h264') {
        conn.ws.send(JSON.stringify({ t: 'video', mode: 'h264', codec: stream.codec, w: stream.width, h: stream.height }));
        clearInterval(state.timer);
        let i = 0;
        state.timer = setInterval(() => {
          if (!conn.open) { clearInterval(state.timer); return; }
          const u = stream.units[i % stream.units.length];
          conn.ws.send(videoFrame(u.data, u.key, i * 33333));
          state.sent += 1;
          i += 1;
        }, 33);
      } else {
        clearInterval(state.timer);
        conn.ws.send(JSON.stringify({ t: 'video', mode: 'jpeg' }));
      }
    };
  };
  state.stop = () => clearInterval(state.timer);
  return state;
}

test('H.264 video decodes onto the canvas, and pictures take over when the computer stops sending it', async () => {
  const vh = videoHost();
  const s = await openSession({ host: { onSession: vh.onSession } });
  const { page } = s;
  const warnings = [];
  page.on('console', (m) => { if (m.type() === 'warning' && /^Video /.test(m.text())) warnings.push(m.text()); });
  try {
    await until(page, () => document.getElementById('session-screen').dataset.picture === 'video', null, 15000);
    assert.equal(await s.text('#pic-mode'), 'video');
    assert.equal(await s.text('#picture-note'), 'Smooth video is on.');
    const ask = vh.requests[0];
    assert.equal(ask.want, 'h264');
    assert.ok(ask.maxW >= 1280 && ask.maxW === ask.maxH, 'asks for a square bound of at least 1280');
    await eventually(async () => near(await samplePicture(page, 0.05, 0.95, 640, 400), [255, 0, 0], 60), 'the red corner');
    assert.ok(near(await samplePicture(page, 0.95, 0.95, 640, 400), [0, 255, 0], 60), 'green corner');
    assert.ok(near(await samplePicture(page, 0.95, 0.5, 640, 400), [0, 0, 255], 60), 'blue edge');

    // The computer's encoder gives up: it announces JPEG unasked and sends pictures.
    vh.stop();
    const jpeg = await makeJpeg(page, 1600, 1000);
    vh.conn.ws.send(JSON.stringify({ t: 'video', mode: 'jpeg' }));
    vh.conn.ws.send(jpegFrame(jpeg, 1600, 1000));
    await until(page, () => document.getElementById('session-screen').dataset.picture === 'pictures');
    assert.equal(await s.text('#picture-note'), 'The computer stopped sending video, so this is using still pictures.');
    assert.equal(await page.evaluate(() => document.getElementById('video-retry').hidden), false);
    await eventually(async () => near(await samplePicture(page, 0.02, 0.97, 1600, 1000), [255, 0, 0]), 'the JPEG after video');
    assert.equal(vh.requests.filter((r) => r.want === 'jpeg').length, 0, 'nothing was asked: the computer already switched');
    // The page's log names what ended video and when it tries again.
    assert.deepEqual(warnings, ['Video ended (host): the computer went back to still pictures; trying again in 15 s.']);

    // "Try video again" asks once more and video returns.
    await page.click('#cluster [data-toggle="more"]');
    await page.click('#video-retry');
    await until(page, () => document.getElementById('session-screen').dataset.picture === 'video', null, 15000);
    assert.equal(vh.requests.filter((r) => r.want === 'h264').length, 2);

    // Still pictures: the page asks for JPEG and the computer's confirmation is no failure.
    await page.click('input[name="picture-pref"][value="still"]');
    await until(page, () => document.getElementById('picture-note').textContent === 'Using still pictures.');
    await eventually(() => vh.requests.at(-1).want === 'jpeg', 'the request for pictures');
    assert.equal(await page.evaluate(() => localStorage.getItem('morvane.picture')), 'still');
    assert.equal(vh.requests.at(-1).want, 'jpeg');
    s.browser.assertClean(assert);
  } finally {
    vh.stop();
    await s.close();
  }
});

test('a host that never answers a video request leaves the page on pictures saying so', async () => {
  const s = await openSession();
  const { page } = s;
  try {
    await until(page, () => document.getElementById('picture-note').textContent === 'Using still pictures: the computer is not offering video.', null, 8000);
    assert.equal(await page.getAttribute('#session-screen', 'data-picture'), 'pictures');
    s.browser.assertClean(assert);
  } finally {
    await s.close();
  }
});

// Counts the decoder's frames and their closing, in the page.
function countFrames() {
  const Real = window.VideoDecoder;
  if (typeof Real !== 'function') return;
  const tally = { out: 0, closed: 0, mostOpen: 0 };
  window.frameTally = tally;
  window.VideoDecoder = class extends Real {
    constructor(init) {
      super({
        error: init.error,
        output: (frame) => {
          tally.out += 1;
          const close = frame.close.bind(frame);
          let closed = false;
          frame.close = () => { if (!closed) { closed = true; tally.closed += 1; } close(); };
          init.output(frame);
          tally.mostOpen = Math.max(tally.mostOpen, tally.out - tally.closed);
        },
      });
    }
  };
}

test('decoded frames are closed: one at most stays open while video plays, none once it stops', async () => {
  const vh = videoHost();
  const s = await openSession({ host: { onSession: vh.onSession } });
  const { page } = s;
  try {
    await page.addInitScript(countFrames);
    await page.reload();
    await until(page, () => document.getElementById('session-screen').dataset.picture === 'video', null, 15000);
    await until(page, () => window.frameTally.out >= 20, null, 15000);
    assert.equal(await page.evaluate(() => window.frameTally.mostOpen), 1, 'most frames open at once while playing');
    // A still screen: the host stops sending, and the frame on screen is let go.
    vh.stop();
    await until(page, () => window.frameTally.out === window.frameTally.closed);
    assert.ok(near(await samplePicture(page, 0.05, 0.95, 640, 400), [255, 0, 0], 60), 'the kept picture after the frame closed');
    // A redraw from the kept copy (the window resized) still shows the picture.
    await page.setViewportSize({ width: 1000, height: 700 });
    await eventually(async () => near(await samplePicture(page, 0.95, 0.95, 640, 400), [0, 255, 0], 60), 'the redrawn picture');
    s.browser.assertClean(assert);
  } finally {
    vh.stop();
    await s.close();
  }
});
