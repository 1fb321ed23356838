// A WebSocket server for interoperability tests (node ws), the counterpart of ws_server.py.
//
// Run with NODE_PATH=/usr/share/nodejs. Prints "listening PORT [PORT...]" once it accepts
// connections: one listener per --config (one with permessage-deflate defaults when none is
// given), all in the same mode. Modes:
//   echo            send back every message as the same type (default)
//   echo-fragmented send back every message as the same type, cut into three fragments at byte
//                   offsets (a text's characters may be split between fragments)
//   close:CODE      close each connection with CODE right after the handshake
//   driver          send the driver messages and a ping, expect every message back unchanged,
//                   print "driver ok" (then close with 1000) or "driver failed: WHY" (then 4001)
//   badutf8         send a text frame that is not UTF-8, print "closed CODE" once it is closed
//   pattern:SIZE:FRAGMENT  send one binary message of SIZE bytes (byte i is i mod 256) cut into
//                   FRAGMENT-byte frames (0: one frame), expect it back unchanged: print
//                   "pattern ok" (then close with 1000), "closed CODE" when the client closed
//                   instead, or "pattern failed: WHY" (then close with 4001)
// Options: --port N (the first listener), --tls CERT KEY, --config JSON | none (ws'
// perMessageDeflate options, e.g. {"serverMaxWindowBits": 10}; compression threshold 0 unless
// given); may be repeated.
'use strict';

const fs = require('fs');
const http = require('http');
const https = require('https');
const { WebSocketServer } = require('ws');

const args = process.argv.slice(2);
let mode = 'echo';
let firstPort = 0;
let tls = null;
const configs = [];
for (let i = 0; i < args.length; ++i) {
  switch (args[i]) {
    case '--mode': mode = args[++i]; break;
    case '--port': firstPort = Number(args[++i]); break;
    case '--tls': tls = { cert: fs.readFileSync(args[++i]), key: fs.readFileSync(args[++i]) }; break;
    case '--config': configs.push(args[++i]); break;
    default: throw new Error(`unknown argument ${args[i]}`);
  }
}
if (configs.length === 0) {
  configs.push('{}');
}

const DRIVER_MESSAGES = [
  '',
  'a',
  'h\u00e9llo w\u00f6rld \u2713 \u{1F600} "quoted" \\ back\nslash',
  Array.from({ length: 1024 }, (_, i) => String.fromCharCode(97 + (i % 26))).join(''),
  '0123456789abcdef'.repeat(4096),
  Buffer.alloc(0),
  Buffer.from([0]),
  Buffer.from(Array.from({ length: 1024 }, (_, i) => i % 256)),
  ['frag', 'm\u00e9nt', 'ed \u{1F600}'],
  [Buffer.from([1, 2]), Buffer.alloc(0), Buffer.from([3])],
];

function sendFragments(ws, pieces, binary) {
  pieces.forEach((piece, i) => ws.send(piece, { binary, fin: i === pieces.length - 1 }));
}

function send(ws, message) {
  if (Array.isArray(message)) {
    sendFragments(ws, message, Buffer.isBuffer(message[0]));
  } else {
    ws.send(message, { binary: Buffer.isBuffer(message) });
  }
}

function expected(message) {
  if (Array.isArray(message)) {
    return Buffer.isBuffer(message[0]) ? Buffer.concat(message) : message.join('');
  }
  return message;
}

function drive(ws) {
  const received = [];
  let pong = false;
  let done = false;
  const finish = (failure) => {
    if (done) return;
    done = true;
    clearTimeout(timer);
    if (failure) {
      console.log(`driver failed: ${failure}`);
      ws.close(4001, 'echo mismatch');
    } else {
      console.log('driver ok');
      ws.close(1000);
    }
  };
  const check = () => {
    if (received.length < DRIVER_MESSAGES.length || !pong) return;
    for (let i = 0; i < DRIVER_MESSAGES.length; ++i) {
      const want = expected(DRIVER_MESSAGES[i]);
      const [data, isBinary] = received[i];
      const same = Buffer.isBuffer(want)
        ? isBinary && data.equals(want)
        : !isBinary && data.toString('utf8') === want;
      if (!same) {
        finish(`message ${i} came back changed`);
        return;
      }
    }
    finish(null);
  };
  const timer = setTimeout(() => finish('timed out'), 20000);
  ws.on('message', (data, isBinary) => { received.push([data, isBinary]); check(); });
  ws.on('pong', () => { pong = true; check(); });
  ws.on('close', () => finish('connection closed'));
  DRIVER_MESSAGES.forEach((m) => send(ws, m));
  ws.ping('driver');
}

function pattern(size) {
  const data = Buffer.alloc(size);
  for (let i = 0; i < size; ++i) data[i] = i & 0xff;
  return data;
}

function sendPattern(ws, size, fragment) {
  const data = pattern(size);
  let done = false;
  ws.on('message', (got) => {
    if (done) return;
    done = true;
    if (got.equals(data)) {
      console.log('pattern ok');
      ws.close(1000);
    } else {
      console.log(`pattern failed: came back as ${got.length} bytes`);
      ws.close(4001);
    }
  });
  ws.on('close', (code) => { if (!done) { done = true; console.log(`closed ${code}`); } });
  if (fragment <= 0 || fragment >= size) {
    ws.send(data, { binary: true });
    return;
  }
  // The frames leave in large writes, as a fast sender's do.
  ws._socket.cork();
  for (let pos = 0; pos < size; pos += fragment) {
    ws.send(data.subarray(pos, Math.min(size, pos + fragment)), { binary: true, fin: pos + fragment >= size });
  }
  ws._socket.uncork();
}

function onConnection(ws) {
  ws.on('error', () => {});
  if (mode.startsWith('close:')) {
    ws.close(Number(mode.split(':')[1]), 'bye');
    return;
  }
  if (mode === 'driver') {
    drive(ws);
    return;
  }
  if (mode.startsWith('pattern:')) {
    const [, size, fragment] = mode.split(':');
    sendPattern(ws, Number(size), Number(fragment));
    return;
  }
  if (mode === 'badutf8') {
    ws.on('close', (code) => console.log(`closed ${code}`));
    ws.send(Buffer.from([0x6f, 0x6b, 0x20, 0xff, 0xfe]), { binary: false });
    return;
  }
  ws.on('message', (data, isBinary) => {
    if (mode === 'echo-fragmented' && data.length >= 3) {
      const third = Math.floor(data.length / 3);
      sendFragments(ws, [data.subarray(0, third), data.subarray(third, 2 * third),
        data.subarray(2 * third)], isBinary);
    } else {
      ws.send(data, { binary: isBinary });
    }
  });
}

async function listen(config, port) {
  let perMessageDeflate = false;
  if (config !== 'none') {
    perMessageDeflate = Object.assign({ threshold: 0 }, JSON.parse(config));
  }
  const server = tls ? https.createServer(tls) : http.createServer();
  const wss = new WebSocketServer({ server, perMessageDeflate, maxPayload: 0 });
  wss.on('connection', onConnection);
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, '127.0.0.1', resolve);
  });
  return server.address().port;
}

(async () => {
  const ports = [];
  for (let i = 0; i < configs.length; ++i) {
    ports.push(await listen(configs[i], i === 0 ? firstPort : 0));
  }
  console.log(`listening ${ports.join(' ')}`);
})().catch((e) => {
  console.error(e);
  process.exit(1);
});
