'use strict';
// Sound, the page half: starts and ends the player (the worklet in
// audio-worklet.js) and keeps the sound row in step with the host.
const { isNum } = require('./numbers.js');
const {
  AUDIO_ANSWER_MS, AUDIO_RUNNING_MS, audioSamples, encodeAudio, parseAudioHeader, parseAudioState, soundStatus,
} = require('./sound.js');

module.exports = function soundPage(app) {
  const { el } = app;

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
    if (!app.connection.conn.ready || sound.state === 'starting' || sound.state === 'on') return;
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
      // Only now: the computer never captures for a player that could not be built.
      app.connection.send(encodeAudio(true));
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
    app.connection.send(encodeAudio(false));
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
      // The answer to a request taken back meanwhile: the computer must not go on capturing.
      if (sound.state !== 'on') app.connection.send(encodeAudio(false));
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

  return {
    messages: { 'audio': onAudioState },
    soundEnd,
    onAudioState,
    onAudioMessage,
    soundRender,
    onSoundButton,
  };
};
