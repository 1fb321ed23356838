// A plain HTTP/1.1 server for interoperability tests (node's http module).
// Prints "listening PORT" once it accepts connections. Bodies are sent
// chunked (node's default without a length); X-Client-Port names the client's port.
//   GET  /hello        "hello"
//   GET  /big?n=N      N bytes of "x", written in pieces of 1000
//   POST /echo         the request body, with X-Method and X-Content-Type
// Options: --port N (0: any).
const http = require('http');

const args = process.argv.slice(2);
const port = args.includes('--port') ? Number(args[args.indexOf('--port') + 1]) : 0;

const server = http.createServer((req, res) => {
    const url = new URL(req.url, 'http://x');
    res.setHeader('X-Client-Port', String(req.socket.remotePort));
    if (req.method === 'POST' && url.pathname === '/echo') {
        const parts = [];
        req.on('data', (d) => parts.push(d));
        req.on('end', () => {
            res.setHeader('X-Method', req.method);
            res.setHeader('X-Content-Type', req.headers['content-type'] || '');
            res.end(Buffer.concat(parts));
        });
        return;
    }
    if (url.pathname === '/hello') {
        res.write('hel');
        res.end('lo');
    } else if (url.pathname === '/big') {
        let left = Number(url.searchParams.get('n') || 0);
        while (left > 0) {
            const n = Math.min(left, 1000);
            res.write('x'.repeat(n));
            left -= n;
        }
        res.end();
    } else {
        res.statusCode = 404;
        res.end('not found');
    }
});
server.listen(port, '127.0.0.1', () => {
    console.log('listening ' + server.address().port);
});
