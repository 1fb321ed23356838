// The broadcast side of the broadcast benchmark on node ws: every line read
// from standard input goes to every open client (no compression). Prints
// "listening on 127.0.0.1:PORT" once it accepts connections; ends at the end of
// its input.
'use strict';
const readline = require('readline');
const WebSocket = require('ws');

const wss = new WebSocket.Server({ host: '127.0.0.1', port: 0, perMessageDeflate: false });
wss.on('listening', () => console.log('listening on 127.0.0.1:' + wss.address().port));
readline.createInterface({ input: process.stdin })
  .on('line', (line) => {
    // Encoded once, as the other servers do.
    const data = Buffer.from(line);
    for (const ws of wss.clients) {
      if (ws.readyState === WebSocket.OPEN) ws.send(data, { binary: false });
    }
  })
  .on('close', () => process.exit(0));
