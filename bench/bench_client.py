#!/usr/bin/python3
"""Round trips through our client against python3-websockets, node ws and our own echo server,
side by side with the python and node clients against the same servers, in one run.

Usage: bench/bench_client.py [--bench BUILD/kbz_bench] [--seconds S]
Needs a build with -DKBZ_BUILD_BENCHMARKS=ON (kbz_bench and kbzEchoServer in the same
folder), python3-websockets and node-ws. Everything runs on 127.0.0.1; compression is off on
both sides so that the framing paths are compared. Prints one line per server and size:
round trips per second of our client, the python client and the node client, and our ratios.
Then one 4 MiB message that a node ws server sends in 64-byte and 1 KiB fragments, received
whole and echoed back, by our client and by the node client: seconds per message and the ratio.
"""
import argparse
import asyncio
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PEERS = os.path.join(HERE, "..", "tests", "interop", "peers")
SIZES = [16, 1024, 65536]
NODE_ENV = dict(os.environ, NODE_PATH="/usr/share/nodejs")

NODE_CLIENT = r"""
const { WebSocket } = require('ws');
const [url, size, seconds] = [process.argv[1], Number(process.argv[2]), Number(process.argv[3])];
const ws = new WebSocket(url, { perMessageDeflate: false });
const message = 'x'.repeat(size);
ws.on('open', () => {
  let count = 0;
  const start = process.hrtime.bigint();
  const end = start + BigInt(Math.round(seconds * 1e9));
  ws.on('message', () => {
    ++count;
    const now = process.hrtime.bigint();
    if (now >= end) {
      console.log(count / (Number(now - start) / 1e9));
      ws.close();
      return;
    }
    ws.send(message);
  });
  ws.send(message);
});
"""


NODE_FRAGMENT_CLIENT = r"""
const { WebSocket } = require('ws');
const [url, size, seconds] = [process.argv[1], process.argv[2], Number(process.argv[3])];
const ws = new WebSocket(url, { perMessageDeflate: false, maxPayload: 0 });
let count = 0;
let start;
ws.on('open', () => {
  start = process.hrtime.bigint();
  ws.send(size);
});
ws.on('message', (data, isBinary) => {
  if (isBinary) {
    ws.send(data, { binary: true });
    return;
  }
  ++count;
  const elapsed = Number(process.hrtime.bigint() - start) / 1e9;
  if (elapsed >= seconds) {
    console.log(elapsed / count);
    ws.close();
    return;
  }
  ws.send(size);
});
"""


def start_peer(argv, env=None):
    """Starts a server that prints "listening PORT" or "listening on ADDRESS:PORT"."""
    p = subprocess.Popen(argv, stdout=subprocess.PIPE, text=True, env=env)
    line = p.stdout.readline()
    if not line.startswith("listening "):
        p.kill()
        sys.exit("peer did not start: %s" % " ".join(argv))
    return p, int(line.split()[-1].rsplit(":", 1)[-1])


async def python_client(port, size, seconds):
    import websockets
    async with websockets.connect("ws://127.0.0.1:%d/" % port, compression=None,
                                  max_size=None) as ws:
        message = "x" * size
        count = 0
        start = time.perf_counter()
        while time.perf_counter() - start < seconds:
            await ws.send(message)
            await ws.recv()
            count += 1
        return count / (time.perf_counter() - start)


def node_client(port, size, seconds):
    out = subprocess.run(["node", "-e", NODE_CLIENT, "ws://127.0.0.1:%d/" % port, str(size),
                          str(seconds)], env=NODE_ENV, capture_output=True, text=True,
                         timeout=60, check=True)
    return float(out.stdout.strip())


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--bench", default=os.path.join(HERE, "..", "build", "kbz_bench"))
    p.add_argument("--seconds", type=float, default=1.0)
    args = p.parse_args()

    servers = {}
    try:
        servers["python"] = start_peer(
            [sys.executable, os.path.join(PEERS, "ws_server.py"), "--config", "none"])
        servers["node"] = start_peer(
            ["node", os.path.join(PEERS, "ws_server.js"), "--config", "none"], NODE_ENV)
        servers["kbz"] = start_peer(
            [os.path.join(os.path.dirname(args.bench), "kbzEchoServer"), "0"])
        env = dict(os.environ, **{"KBZ_BENCH_%s_WS_PORT" % name.upper(): str(port)
                                  for name, (_, port) in servers.items()})
        out = subprocess.run(
            [args.bench, "--benchmark_filter=BM_ClientRoundTrip",
             "--benchmark_min_time=%g" % args.seconds, "--benchmark_format=json"],
            env=env, capture_output=True, text=True, check=True, timeout=600)
        ours = {}
        for b in json.loads(out.stdout)["benchmarks"]:
            name, size = b["name"].split("/")[:2]
            ours[(name.rsplit("_", 1)[1].lower(), int(size))] = b.get("round_trips_per_s", 0.0)

        ratio = lambda a, b: a / b if b else 0.0
        print("%-8s %8s %12s %12s %12s %10s %10s" % (
            "server", "size", "kbz rt/s", "python rt/s", "node rt/s", "kbz/python", "kbz/node"))
        for server, (_, port) in servers.items():
            for size in SIZES:
                python_rate = asyncio.run(python_client(port, size, args.seconds))
                node_rate = node_client(port, size, args.seconds)
                mine = ours.get((server, size), 0.0)
                print("%-8s %8d %12.0f %12.0f %12.0f %10.2f %10.2f" % (
                    server, size, mine, python_rate, node_rate, ratio(mine, python_rate),
                    ratio(mine, node_rate)))

        fragment_server = start_peer(
            ["node", os.path.join(HERE, "server_peers", "fragment_server.js")], NODE_ENV)
        servers["fragments"] = fragment_server
        env = dict(os.environ, KBZ_BENCH_FRAGMENT_PORT=str(fragment_server[1]))
        out = subprocess.run(
            [args.bench, "--benchmark_filter=BM_ClientFragments", "--benchmark_format=json"],
            env=env, capture_output=True, text=True, check=True, timeout=600)
        print()
        print("4 MiB in fragments from node ws, received and echoed (seconds per message)")
        print("%8s %10s %10s %10s" % ("fragment", "kbz s", "node s", "node/kbz"))
        for b in json.loads(out.stdout)["benchmarks"]:
            size = b["name"].split("/")[1]
            mine = 1.0 / b["items_per_second"] if b.get("items_per_second") else 0.0
            node = float(subprocess.run(
                ["node", "-e", NODE_FRAGMENT_CLIENT, "ws://127.0.0.1:%d/" % fragment_server[1],
                 size, str(max(args.seconds, 1.0))], env=NODE_ENV, capture_output=True,
                text=True, timeout=120, check=True).stdout.strip())
            print("%8s %10.3f %10.3f %10.2f" % (size, mine, node, ratio(node, mine)))
    finally:
        for process, _ in servers.values():
            process.kill()

if __name__ == "__main__":
    main()
