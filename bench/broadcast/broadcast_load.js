// The client load of the broadcast benchmark: CONNECTIONS WebSocket clients in
// one process, the same for every server. Each client does the opening
// handshake and then only reads, with a small frame reader of its own (server
// frames are never masked) so that the load costs as little as possible and
// counts every text message.
//
//   node broadcast_load.js PORT CONNECTIONS LINES WARM_LINE LAST_LINE SECONDS
//
// Prints "ready" once every handshake is done, "warm" once every client has
// received WARM_LINE (those messages are not counted), and then, once every
// client has received LINES further text messages, "done LINES_TOTAL BYTES_TOTAL
// BAD" where BAD is the number of clients whose last message is not LAST_LINE.
// Each further message that every client has received prints "all K" (K: the
// message's number after the warm-up), for latency probes sent one at a time.
// After SECONDS without finishing it prints "timeout LINES_TOTAL BYTES_TOTAL".
// Any failure prints "failed: WHY". Standard input closed: the process ends.
'use strict';
const net = require('net');

const [port, connections, lines] = process.argv.slice(2, 5).map(Number);
const warmLine = Buffer.from(process.argv[5]);
const lastLine = process.argv[6];
const seconds = Number(process.argv[7]);

const request = 'GET / HTTP/1.1\r\nHost: 127.0.0.1:' + port +
  '\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n' +
  'Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n';
const pongEmpty = Buffer.from([0x8a, 0x80, 0, 0, 0, 0]);

let open = 0;
let warmed = 0;
let finished = 0;
let over = false;
const clients = [];
const extra = new Map(); // message number after LINES -> clients that have it

function say(text) {
  process.stdout.write(text + '\n');
}

function fail(why) {
  if (!over) {
    over = true;
    say('failed: ' + why);
  }
  process.exit(1);
}

function totals() {
  let count = 0;
  let bytes = 0;
  for (const c of clients) {
    count += c.count;
    bytes += c.bytes;
  }
  return count + ' ' + bytes;
}

function onMessage(c, buf, start, end) {
  if (!c.warm) {
    if (end - start === warmLine.length && warmLine.equals(buf.subarray(start, end))) {
      c.warm = true;
      if (++warmed === connections) say('warm');
    }
    return;
  }
  if (end - start === warmLine.length && warmLine.equals(buf.subarray(start, end))) {
    return; // a warm-up line still on its way
  }
  if (c.count >= lines) {
    const k = ++c.count;
    const n = (extra.get(k) || 0) + 1;
    extra.set(k, n);
    if (n === connections) {
      extra.delete(k);
      say('all ' + k);
    }
    return;
  }
  c.bytes += end - start;
  if (++c.count === lines) {
    c.last = buf.toString('utf8', start, end);
    if (++finished === connections) {
      over = true;
      const bad = clients.filter((x) => x.last !== lastLine).length;
      say('done ' + totals() + ' ' + bad);
    }
  }
}

// Reads every whole frame in buf; returns what is left of an incomplete one.
function onFrames(c, socket, buf) {
  let off = 0;
  while (buf.length - off >= 2) {
    const b0 = buf[off];
    const b1 = buf[off + 1];
    if (b1 & 0x80) fail('masked frame from the server');
    let len = b1 & 0x7f;
    let head = 2;
    if (len === 126) {
      if (buf.length - off < 4) break;
      len = buf.readUInt16BE(off + 2);
      head = 4;
    } else if (len === 127) {
      if (buf.length - off < 10) break;
      len = Number(buf.readBigUInt64BE(off + 2));
      head = 10;
    }
    if (buf.length - off < head + len) break;
    const opcode = b0 & 0x0f;
    const start = off + head;
    if (opcode === 0x1 || opcode === 0x0) {
      if (!(b0 & 0x80)) fail('fragmented message (not expected for short lines)');
      onMessage(c, buf, start, start + len);
    } else if (opcode === 0x9) {
      // Pongs carry the ping's payload, masked with a zero key.
      if (len === 0) socket.write(pongEmpty);
      else socket.write(Buffer.concat([Buffer.from([0x8a, 0x80 | len, 0, 0, 0, 0]),
        buf.subarray(start, start + len)]));
    } else if (opcode === 0x8) {
      fail('the server closed a connection');
    }
    off += head + len;
  }
  return off === buf.length ? null : Buffer.from(buf.subarray(off));
}

function connect() {
  const c = { count: 0, bytes: 0, last: null, warm: false, rest: null, upgraded: false };
  clients.push(c);
  const socket = net.connect({ host: '127.0.0.1', port });
  socket.setNoDelay(true);
  socket.on('connect', () => socket.write(request));
  socket.on('data', (chunk) => {
    let buf = c.rest ? Buffer.concat([c.rest, chunk]) : chunk;
    c.rest = null;
    if (!c.upgraded) {
      const end = buf.indexOf('\r\n\r\n');
      if (end < 0) {
        c.rest = buf;
        return;
      }
      if (!buf.toString('latin1', 0, 12).startsWith('HTTP/1.1 101')) {
        fail('handshake refused: ' + buf.toString('latin1', 0, end).split('\r\n')[0]);
      }
      c.upgraded = true;
      buf = buf.subarray(end + 4);
      if (++open === connections) say('ready');
    }
    c.rest = onFrames(c, socket, buf);
  });
  socket.on('error', (e) => fail(e.message));
  socket.on('close', () => {
    if (!over) fail('a connection ended');
  });
}

for (let i = 0; i < connections; ++i) connect();
setTimeout(() => {
  if (!over) {
    over = true;
    say('timeout ' + totals());
    process.exit(0);
  }
}, seconds * 1000);
process.stdin.on('data', () => {});
process.stdin.on('end', () => process.exit(0));
