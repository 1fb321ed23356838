// A node ws server for the fragment benchmark (no compression): the text "N"
// makes it send one 4 MiB binary message in N-byte fragments; a binary message
// coming back (the client's echo) is answered with the text "ok LENGTH".
'use strict';
const WebSocket = require('ws');
const total = 4 * 1024 * 1024;
const payload = Buffer.alloc(total, 'f');
const wss = new WebSocket.Server({ host: '127.0.0.1', port: 0, perMessageDeflate: false, maxPayload: 0 });
wss.on('listening', () => console.log('listening on 127.0.0.1:' + wss.address().port));
wss.on('connection', (ws) => ws.on('message', (data, isBinary) => {
  if (isBinary) {
    ws.send('ok ' + data.length);
    return;
  }
  const size = Number(data.toString());
  for (let at = 0; at < total; at += size) {
    const end = Math.min(total, at + size);
    ws.send(payload.subarray(at, end), { binary: true, fin: end === total });
  }
}));
