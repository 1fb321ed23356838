// An echo server on node ws for the server benchmark (no compression).
'use strict';
const WebSocket = require('ws');
const wss = new WebSocket.Server({ host: '127.0.0.1', port: 0, perMessageDeflate: false, maxPayload: 0 });
wss.on('listening', () => console.log('listening on 127.0.0.1:' + wss.address().port));
wss.on('connection', (ws) => ws.on('message', (data, isBinary) => ws.send(data, { binary: isBinary })));
