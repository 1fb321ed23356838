// An interactive WebSocket client on node ws, driven by lines (the same
// protocol as ws_peer.py). usage: node ws_peer.js URL [deflate|plain]
'use strict';
const WebSocket = require('ws');
const readline = require('readline');

const url = process.argv[2];
const deflate = process.argv[3] === 'deflate';
const ws = new WebSocket(url, { perMessageDeflate: deflate, maxPayload: 0 });

ws.on('open', () => {
    console.log('open ' + ws.extensions);
    const rl = readline.createInterface({ input: process.stdin });
    rl.on('line', (line) => {
        const space = line.indexOf(' ');
        const command = space < 0 ? line : line.slice(0, space);
        const rest = space < 0 ? '' : line.slice(space + 1);
        if (command === 'text') {
            ws.send(rest);
        } else if (command === 'binary') {
            ws.send(Buffer.from(rest, 'hex'));
        } else if (command === 'long') {
            ws.send('a'.repeat(Number(rest)));
        } else if (command === 'fragments') {
            const parts = rest.split(' ');
            parts.forEach((p, i) => ws.send(p, { fin: i === parts.length - 1 }));
        } else if (command === 'pattern') {
            // pattern SIZE FRAGMENT: one binary message, byte i = i mod 256, in FRAGMENT-byte frames
            const [size, fragment] = rest.split(' ').map(Number);
            const data = Buffer.alloc(size);
            for (let i = 0; i < size; ++i) data[i] = i & 0xff;
            if (fragment <= 0 || fragment >= size) {
                ws.send(data);
            } else {
                ws._socket.cork();
                for (let pos = 0; pos < size; pos += fragment) {
                    ws.send(data.subarray(pos, Math.min(size, pos + fragment)), { fin: pos + fragment >= size });
                }
                ws._socket.uncork();
            }
        } else if (command === 'close') {
            ws.close(1000);
        }
    });
});
ws.on('message', (data, isBinary) => {
    if (isBinary) {
        if (data.length > 1000) {
            let pattern = true;
            for (let i = 0; i < data.length && pattern; ++i) pattern = data[i] === (i & 0xff);
            console.log('binary-len ' + data.length + (pattern ? ' pattern' : ' mixed'));
        } else {
            console.log('binary ' + Buffer.from(data).toString('hex'));
        }
        return;
    }
    const text = data.toString();
    if (text.length > 1000) {
        console.log('text-len ' + text.length + (/^a*$/.test(text) ? ' all-a' : ' mixed'));
    } else {
        console.log('text ' + text);
    }
});
ws.on('close', (code) => {
    console.log('closed ' + code);
    process.exit(0);
});
ws.on('error', (e) => {
    console.log('error ' + e.message);
});
