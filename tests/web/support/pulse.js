'use strict';
// A throw-away PulseAudio server for one test, with a null sink as its
// default output, reached only by the processes given its address. It never
// touches the developer's own sound server.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const SINK = 'morvane_test';

async function startPulse() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'morvane-pulse-'));
  fs.mkdirSync(path.join(dir, 'run'));
  const socket = path.join(dir, 'native');
  const server = 'unix:' + socket;
  const env = { ...process.env, HOME: dir, XDG_RUNTIME_DIR: path.join(dir, 'run'), PULSE_SERVER: server };
  delete env.DISPLAY;
  const children = [];
  const run = (args) => {
    const child = spawn(args[0], args.slice(1), { env, stdio: ['ignore', 'ignore', 'ignore'] });
    child.on('error', () => {});
    children.push(child);
    return child;
  };
  const daemon = run(['pulseaudio', '--daemonize=no', '--exit-idle-time=-1', '-n', '--use-pid-file=no',
    `--load=module-null-sink sink_name=${SINK}`, `--load=module-native-protocol-unix auth-anonymous=1 socket=${socket}`]);
  const end = Date.now() + 15000;
  while (!fs.existsSync(socket)) {
    if (daemon.exitCode !== null || Date.now() > end) {
      for (const c of children) if (c.exitCode === null) c.kill('SIGKILL');
      fs.rmSync(dir, { recursive: true, force: true });
      return null;
    }
    await new Promise((r) => setTimeout(r, 20));
  }
  return {
    server,
    // Plays a sine into the null sink for `seconds`.
    playTone(hz = 440, seconds = 20) {
      const rate = 48000;
      const samples = new Float32Array(rate * seconds);
      for (let i = 0; i < samples.length; i++) samples[i] = 0.4 * Math.sin(2 * Math.PI * hz * i / rate);
      const file = path.join(dir, 'tone.raw');
      fs.writeFileSync(file, Buffer.from(samples.buffer));
      run(['pacat', '--playback', '--raw', '--format=float32le', `--rate=${rate}`, '--channels=1', `--device=${SINK}`, file]);
    },
    async stop() {
      for (const c of children.slice().reverse()) {
        if (c.exitCode !== null || c.signalCode !== null) continue;
        const gone = new Promise((r) => c.once('exit', r));
        c.kill('SIGTERM');
        const timer = setTimeout(() => c.kill('SIGKILL'), 3000);
        await gone;
        clearTimeout(timer);
      }
      fs.rmSync(dir, { recursive: true, force: true });
    },
  };
}

module.exports = { startPulse };
