'use strict';
// A short H.264 stream made with ffmpeg: a plain background with coloured
// corner squares that tests can sample, split into access units.
const { spawnSync } = require('node:child_process');

function nalUnits(stream) {
  const starts = [];
  for (let i = 0; i + 3 <= stream.length; i++) {
    if (stream[i] === 0 && stream[i + 1] === 0 && stream[i + 2] === 1) {
      const begin = i > 0 && stream[i - 1] === 0 ? i - 1 : i;
      starts.push({ begin, payload: i + 3 });
      i += 2;
    }
  }
  return starts.map((s, k) => ({
    begin: s.begin,
    end: k + 1 < starts.length ? starts[k + 1].begin : stream.length,
    type: stream[s.payload] & 0x1f,
    payload: s.payload,
  }));
}

function makeH264({ width = 640, height = 400, frames = 60, rate = 30 } = {}) {
  const s = Math.round(height * 0.2);
  const filter = `drawbox=x=0:y=${height - s}:w=${s}:h=${s}:color=red:t=fill,` +
    `drawbox=x=${width - s}:y=${height - s}:w=${s}:h=${s}:color=lime:t=fill,` +
    `drawbox=x=${width - s}:y=${(height - s) / 2}:w=${s}:h=${s}:color=blue:t=fill`;
  const r = spawnSync('ffmpeg', ['-hide_banner', '-loglevel', 'error', '-f', 'lavfi',
    '-i', `color=c=0x304860:s=${width}x${height}:r=${rate}`, '-frames:v', String(frames), '-vf', filter,
    '-c:v', 'libx264', '-profile:v', 'baseline', '-level', '3.1', '-pix_fmt', 'yuv420p', '-g', '30',
    '-tune', 'zerolatency', '-x264-params', 'aud=1', '-bsf:v', 'h264_mp4toannexb', '-f', 'h264', '-'],
  { maxBuffer: 64 * 1024 * 1024 });
  if (r.status !== 0) throw new Error('ffmpeg failed: ' + String(r.stderr));
  const stream = r.stdout;
  const nals = nalUnits(stream);
  const units = [];
  let current = null;
  let codec = null;
  for (const n of nals) {
    if (n.type === 9) {
      if (current) units.push(current);
      current = { begin: n.begin, end: n.end, key: false };
    } else if (current) {
      current.end = n.end;
      if (n.type === 5) current.key = true;
    }
    if (n.type === 7 && !codec) {
      const hex = (b) => b.toString(16).padStart(2, '0').toUpperCase();
      codec = 'avc1.' + hex(stream[n.payload + 1]) + hex(stream[n.payload + 2]) + hex(stream[n.payload + 3]);
    }
  }
  if (current) units.push(current);
  return {
    codec, width, height,
    units: units.map((u, i) => ({ data: stream.subarray(u.begin, u.end), key: u.key, ts: Math.round(i * 1e6 / rate) })),
  };
}

module.exports = { makeH264 };
