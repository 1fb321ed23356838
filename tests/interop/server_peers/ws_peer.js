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
        } else if (command === 'close') {
            ws.close(1000);
        }
    });
});
ws.on('message', (data, isBinary) => {
    if (isBinary) {
        console.log('binary ' + Buffer.from(data).toString('hex'));
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
