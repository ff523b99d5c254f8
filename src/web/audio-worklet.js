// Morvane's sound player, run on the browser's audio thread. The jitter
// buffer is plain code (the unit tests load it under node); the processor
// only feeds it the page's packets and pulls an even stream out of it.
'use strict';

class AudioJitterBuffer {
  constructor(options) {
    const o = options || {};
    const valid = (v, ok) => typeof v === 'number' && Number.isFinite(v) && ok(v);
    this.sourceRate = valid(o.sourceRate, (v) => v > 0) ? o.sourceRate : 24000;
    this.targetFrames = Math.round(this.sourceRate * (valid(o.targetMs, (v) => v > 0) ? o.targetMs : 150) / 1000);
    this.maxFrames = Math.round(this.sourceRate * (valid(o.maxMs, (v) => v > 0) ? o.maxMs : 450) / 1000);
    this.maxAdjust = valid(o.maxAdjust, (v) => v >= 0) ? o.maxAdjust : 0.005;
    // Room for the limit plus the largest packet accepted, so a write never
    // laps the read position.
    this.ring = new Float32Array(this.maxFrames + Math.ceil(this.sourceRate));
    this.reset();
  }

  reset() {
    this.read = 0;
    this.fill = 0;
    this.frac = 0;
    this.playing = false;
    this.nextTs = null;
    this.avgFill = this.targetFrames;
    this.fade = 0;
    this.packets = 0;
    this.frames = 0;
    this.played = 0;
    this.gaps = 0;
    this.gapFrames = 0;
    this.late = 0;
    this.skipped = 0;
    this.trimmed = 0;
    this.drains = 0;
  }

  push(ts, samples) {
    const count = samples ? samples.length : 0;
    if (!(count > 0) || !(ts >= 0) || count > this.sourceRate) return false;
    if (this.nextTs !== null) {
      if (ts < this.nextTs) { this.late += 1; return false; }
      if (ts > this.nextTs) { this.gaps += 1; this.gapFrames += ts - this.nextTs; }
    }
    this.nextTs = ts + count;
    const size = this.ring.length;
    if (this.fill + count > size) this.skip(this.fill + count - size, false);
    let write = (this.read + this.fill) % size;
    for (let i = 0; i < count; i++) {
      this.ring[write] = samples[i];
      write += 1;
      if (write === size) write = 0;
    }
    this.fill += count;
    this.packets += 1;
    this.frames += count;
    return true;
  }

  skip(frames, beforePlaying) {
    const n = Math.min(frames, this.fill);
    if (!(n > 0)) return;
    this.read = (this.read + n) % this.ring.length;
    this.fill -= n;
    this.frac = 0;
    if (beforePlaying) this.trimmed += n; else this.skipped += n;
    this.fade = 0;
  }

  pull(out, outRate) {
    const rate = outRate > 0 ? outRate : this.sourceRate;
    const size = this.ring.length;
    if (!this.playing) {
      if (this.fill < this.targetFrames) { out.fill(0); return; }
      this.skip(this.fill - this.targetFrames, true);
      this.playing = true;
      this.frac = 0;
      this.fade = 0;
      this.avgFill = this.fill;
    } else if (this.fill > this.maxFrames) {
      this.skip(this.fill - this.targetFrames, false);
      this.avgFill = this.fill;
    }
    this.avgFill += (this.fill - this.avgFill) * 0.02;
    const error = (this.avgFill - this.targetFrames) / this.targetFrames;
    const adjust = Math.max(-this.maxAdjust, Math.min(this.maxAdjust, error * 0.02));
    const step = this.sourceRate / rate * (1 + adjust);
    const fadeLength = Math.max(1, Math.round(rate * 0.004));
    let i = 0;
    for (; i < out.length && this.fill >= 2; i++) {
      const a = this.ring[this.read];
      const b = this.ring[this.read + 1 === size ? 0 : this.read + 1];
      let v = a + (b - a) * this.frac;
      if (this.fade < fadeLength) { v *= this.fade / fadeLength; this.fade += 1; }
      out[i] = v;
      this.frac += step;
      while (this.frac >= 1 && this.fill > 0) {
        this.frac -= 1;
        this.read = this.read + 1 === size ? 0 : this.read + 1;
        this.fill -= 1;
        this.played += 1;
      }
    }
    if (i < out.length) {
      // Ran dry: a quiet Mac sends nothing, so this is normal. Fill to the
      // target again before playing on.
      out.fill(0, i);
      this.read = (this.read + this.fill) % size;
      this.fill = 0;
      this.playing = false;
      this.drains += 1;
    }
  }

  fillMs() { return this.fill * 1000 / this.sourceRate; }

  stats() {
    const ms = (frames) => Math.round(frames * 1000 / this.sourceRate);
    return {
      fillMs: Math.round(this.fillMs()), playing: this.playing, packets: this.packets, frames: this.frames,
      played: this.played, gaps: this.gaps, gapMs: ms(this.gapFrames), late: this.late,
      skippedMs: ms(this.skipped), trimmedMs: ms(this.trimmed), drains: this.drains,
    };
  }
}

if (typeof AudioWorkletProcessor === 'function' && typeof registerProcessor === 'function') {
  class MorvaneAudio extends AudioWorkletProcessor {
    constructor() {
      super();
      this.buffer = null;
      this.alive = true;
      this.produced = 0;
      this.port.onmessage = (event) => this.onMessage(event.data);
    }

    onMessage(msg) {
      if (!msg || typeof msg !== 'object') return;
      if (msg.type === 'pcm' && msg.samples instanceof Float32Array) {
        if (!this.buffer || this.buffer.sourceRate !== msg.rate) {
          this.buffer = new AudioJitterBuffer({ sourceRate: msg.rate });
        }
        this.buffer.push(msg.ts, msg.samples);
      } else if (msg.type === 'stop') {
        this.alive = false;
        this.buffer = null;
      }
    }

    process(inputs, outputs) {
      const output = outputs && outputs[0];
      if (!output || !output[0]) return this.alive;
      const channel = output[0];
      if (this.alive && this.buffer) this.buffer.pull(channel, sampleRate);
      else channel.fill(0);
      for (let c = 1; c < output.length; c++) output[c].set(channel);
      this.produced += channel.length;
      if (this.alive && this.produced >= sampleRate / 4) {
        this.produced = 0;
        this.port.postMessage(this.buffer ? this.buffer.stats() : { fillMs: 0, playing: false, packets: 0 });
      }
      return this.alive;
    }
  }
  registerProcessor('morvane-audio', MorvaneAudio);
}

if (typeof module !== 'undefined' && module.exports) module.exports = { AudioJitterBuffer };
