// Silent connections against morvane-relay's connection total: ADDRESSES
// loopback addresses (127.0.1.x, each standing for one of a customer's
// networks) open 100 connections each that never say a word, then a
// newcomer asks for the page 17 times, 200 ms apart. Prints how many were
// answered. Run by bench/run_relay_flood, which raises the descriptor limit.
//   node relay_connection_flood.js RELAY_PROGRAM TOTAL ADDRESSES
'use strict';
const { spawn } = require('child_process');
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');

const [relayProgram, total, addresses] = [process.argv[2], Number(process.argv[3]), Number(process.argv[4])];
const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'relay-flood-'));
const sleep = (ms) => new Promise((done) => setTimeout(done, ms));

function freePort() {
  return new Promise((done) => {
    const server = net.createServer().listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => done(port));
    });
  });
}

function connect(port, localAddress) {
  return new Promise((done) => {
    const socket = net.connect({ host: '127.0.0.1', port, localAddress });
    socket.on('connect', () => done(socket));
    socket.on('error', () => done(null));
  });
}

function page(port) {
  return new Promise((done) => {
    const socket = net.connect({ host: '127.0.0.1', port });
    let answer = '';
    const timer = setTimeout(() => { socket.destroy(); done(false); }, 3000);
    socket.on('connect', () => socket.write('GET / HTTP/1.1\r\nHost: relay\r\nConnection: close\r\n\r\n'));
    socket.on('data', (data) => { answer += data; });
    socket.on('close', () => { clearTimeout(timer); done(answer.startsWith('HTTP/1.1 200')); });
    socket.on('error', () => {});
  });
}

(async () => {
  const port = await freePort();
  const config = path.join(folder, 'relay.json');
  fs.writeFileSync(config, JSON.stringify({
    listen: `127.0.0.1:${port}`, data_dir: path.join(folder, 'data'), trusted_proxies: [],
    limits: { connections: total },
  }));
  const log = fs.openSync(path.join(folder, 'relay.log'), 'w');
  const relay = spawn(relayProgram, ['--config', config], { stdio: ['ignore', log, log] });
  for (let i = 0; i < 200 && !(await connect(port).then((s) => s && (s.destroy(), true))); ++i) await sleep(50);
  const silent = [];
  for (let a = 0; a < addresses; ++a) {
    const opened = await Promise.all(Array.from({ length: 100 }, () => connect(port, `127.0.1.${a + 1}`)));
    for (const socket of opened) if (socket) { socket.on('error', () => {}); silent.push(socket); }
  }
  await sleep(1000);
  let answered = 0;
  const tries = 17;
  for (let t = 0; t < tries; ++t) {
    if (await page(port)) ++answered;
    await sleep(200);
  }
  console.log(`${silent.length} silent connections from ${addresses} addresses against limits.connections ${total}: ` +
              `${answered} of ${tries} newcomers answered`);
  for (const socket of silent) socket.destroy();
  relay.kill('SIGTERM');
  await new Promise((done) => relay.on('exit', done));
  const said = fs.readFileSync(path.join(folder, 'relay.log'), 'utf8').split('\n')
    .filter((line) => line.includes('connection'));
  for (const line of said.slice(0, 3)) console.log(`  relay: ${line.slice(24)}`);
  fs.rmSync(folder, { recursive: true, force: true });
})();
