#!/usr/bin/python3
"""Idle connections: N WebSocket connections held open on our echo server in each engine
(kbzEchoServer -io threads, pool, epoll) and on node ws, in one run. For each server: its CPU
over a window while nothing is sent (percent of one core), its thread count, its resident memory
per connection, and whether every connection still echoes afterwards; our ratios to node ws at
the same N.

Usage: bench/bench_idle.py [--build BUILD] [--connections N] [--epoll-connections N]
                           [--seconds S]
Needs kbzEchoServer in BUILD (default build) and node-ws. Everything runs on 127.0.0.1; the
connections are plain sockets of this script (no compression), opened one after another.
An engine that the server does not offer is shown as unavailable.
"""
import argparse
import os
import resource
import socket
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
NODE_ENV = dict(os.environ, NODE_PATH="/usr/share/nodejs")
REQUEST = (b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
TICKS = os.sysconf("SC_CLK_TCK")


def start(argv, env=None):
    p = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                         env=env)
    line = p.stdout.readline()
    if not line.startswith("listening "):
        p.wait()
        return None, 0
    return p, int(line.rsplit(":", 1)[1])


def status(pid, field):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def connect(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    s.sendall(REQUEST)
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = s.recv(4096)
        if not chunk:
            raise OSError("closed during the handshake")
        head += chunk
    if not head.startswith(b"HTTP/1.1 101"):
        raise OSError("refused: " + head.split(b"\r\n", 1)[0].decode())
    return s


def echoes(s, text=b"ping"):
    # A masked text frame with a zero mask, so the payload goes as it is.
    s.sendall(struct.pack("!BB", 0x81, 0x80 | len(text)) + b"\0\0\0\0" + text)
    got = b""
    while len(got) < 2 + len(text):
        chunk = s.recv(4096)
        if not chunk:
            return False
        got += chunk
    return got == struct.pack("!BB", 0x81, len(text)) + text


def measure(argv, env, n, seconds):
    server, port = start(argv, env)
    if server is None:
        return None
    sockets = []
    try:
        time.sleep(0.5)
        rss_before = status(server.pid, "VmRSS")
        for _ in range(n):
            sockets.append(connect(port))
        time.sleep(1.0)  # handshakes finished, the server at rest
        cpu0, t0 = cpu_seconds(server.pid), time.monotonic()
        time.sleep(seconds)
        cpu1, t1 = cpu_seconds(server.pid), time.monotonic()
        result = {
            "cpu": 100.0 * (cpu1 - cpu0) / (t1 - t0),
            "threads": status(server.pid, "Threads"),
            "kib": (status(server.pid, "VmRSS") - rss_before) / n,
            "echoed": sum(1 for s in sockets if echoes(s)),
        }
        return result
    finally:
        for s in sockets:
            s.close()
        server.terminate()
        server.wait()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    p.add_argument("--connections", type=int, default=1000)
    p.add_argument("--epoll-connections", type=int, default=10000)
    p.add_argument("--seconds", type=float, default=5.0)
    args = p.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))  # inherited by the servers

    server = os.path.join(args.build, "kbzEchoServer")
    runs = [("threads", args.connections), ("pool", args.connections),
            ("epoll", args.connections), ("epoll", args.epoll_connections)]
    node = {}
    print("%-8s %7s %8s %8s %9s %9s %10s %10s" % (
        "engine", "conns", "cpu %", "threads", "KiB/conn", "echoed", "cpu/node", "mem/node"))
    for engine, n in runs:
        r = measure([server, "-io", engine, "0"], None, n, args.seconds)
        if r is None:
            print("%-8s %7d   (not available)" % (engine, n))
            continue
        if n not in node:
            nd = node[n] = measure(["node", os.path.join(HERE, "server_peers", "echo_server.js")],
                                   NODE_ENV, n, args.seconds)
            if nd:
                print("%-8s %7d %8.2f %8d %9.1f %9d %10s %10s" % (
                    "node ws", n, nd["cpu"], nd["threads"], nd["kib"], nd["echoed"], "", ""))
        nd = node[n]
        cpu_ratio = "%10.2f" % (r["cpu"] / nd["cpu"]) if nd and nd["cpu"] > 0 else "%10s" % "-"
        mem_ratio = "%10.2f" % (r["kib"] / nd["kib"]) if nd and nd["kib"] > 0 else "%10s" % "-"
        print("%-8s %7d %8.2f %8d %9.1f %9d %s %s" % (
            engine, n, r["cpu"], r["threads"], r["kib"], r["echoed"], cpu_ratio, mem_ratio))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
