// permessage-deflate peer for the interop tests, built on node ws' own extension.
//
// Usage: node deflate_peer.js ROLE FOLDER OPTIONS
//   ROLE     "server": reads our offer, answers it; "client": offers, reads our answer.
//   OPTIONS  JSON options of ws' PerMessageDeflate, e.g. {"serverMaxWindowBits": 10}.
// The line protocol and files are those of deflate_peer.py.
'use strict';

const fs = require('fs');
const path = require('path');
const readline = require('readline');
// ws does not export its internals; reach them next to its resolved entry point.
const wsDir = path.dirname(require.resolve('ws/package.json'));
const PerMessageDeflate = require(path.join(wsDir, 'lib', 'permessage-deflate.js'));
const { parse, format } = require(path.join(wsDir, 'lib', 'extension.js'));

const [role, folder, optionsText] = process.argv.slice(2);
const isServer = role === 'server';
const extension = new PerMessageDeflate(JSON.parse(optionsText || '{}'), isServer, 0);

const input = readline.createInterface({ input: process.stdin });
const lines = input[Symbol.asyncIterator]();

async function readLine(prefix) {
  const { value, done } = await lines.next();
  if (done || !value.startsWith(prefix)) {
    throw new Error(`expected ${prefix}, got ${value}`);
  }
  return value.slice(prefix.length);
}

function call(method, data) {
  return new Promise((resolve, reject) => {
    extension[method](data, true, (err, result) => (err ? reject(err) : resolve(result)));
  });
}

function file(name) {
  return path.join(folder, name);
}

async function main() {
  if (isServer) {
    const offer = await readLine('OFFER ');
    const params = extension.accept(parse(offer)['permessage-deflate']);
    console.log('ANSWER ' + format({ 'permessage-deflate': params }));
  } else {
    console.log('OFFER ' + format({ 'permessage-deflate': extension.offer() }));
    const answer = await readLine('ANSWER ');
    extension.accept(parse(answer)['permessage-deflate']);
  }
  console.log('READY');

  const count = parseInt(await readLine('GO '), 10);
  for (let i = 0; i < count; i++) {
    const plain = fs.readFileSync(file(`plain_${i}.bin`));
    const wire = fs.readFileSync(file(`ours_${i}.bin`));
    const rsv1 = fs.existsSync(file(`ours_${i}.rsv1`));
    let status;
    try {
      const data = rsv1 ? await call('decompress', wire) : wire;
      status = Buffer.compare(data, plain) === 0 ? 'ok' : 'mismatch';
    } catch (e) {
      status = `error ${e.message}`;
    }
    console.log(`RESULT ${i} ${status}`);
    fs.writeFileSync(file(`theirs_${i}.bin`), await call('compress', plain));
  }
  console.log('DONE');
  extension.cleanup();
  input.close();
}

main().catch((e) => {
  console.log(`FAIL ${e.message}`);
  process.exitCode = 1;
  input.close();
});
