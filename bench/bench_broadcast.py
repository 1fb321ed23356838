#!/usr/bin/python3
"""Broadcast of relay lines to many connected clients: lines per second delivered.

Each server gets the same load in the same run: one node process opens 100 WebSocket
connections to it (bench/broadcast/broadcast_load.js), then the server is handed LINES lines
of about 100 bytes on its standard input, all at once, and broadcasts each one to every
client. The clock runs from the first line handed over until every client has received
every line; the figure is LINES x CLIENTS / elapsed. Then PROBES single lines follow one at
a time, 10 to 20 ms apart, and the time from handing one over until every client has it is
the line's latency (median and worst reported). Servers:
  kbz     bench/broadcast/kbzBroadcastServer: TkbzWebSocketHTTPServer::Broadcast per line,
          default settings as in the relay (Nagle's algorithm on)
  kbz-nodelay  the same with Nagle's algorithm off, as the node and python servers have it
  relay   the console with -server: each line is a heartbeat command whose options line
          goes through DoLog (printed, then broadcast by the relay), 80 bytes
  node    node ws (bench/broadcast/broadcast_server.js)
  python  python3-websockets with websockets.broadcast (bench/broadcast/broadcast_server.py)
Every run is bounded in time; everything stays on 127.0.0.1. Servers take turns within each
round and the median of the rounds is reported, with our ratios to each peer.

Usage: bench/bench_broadcast.py [--build DIR] [--no-build] [--lines N] [--clients C]
                                [--size B] [--rounds R] [--probes P]
                                [--servers kbz,kbz-nodelay,relay,node,python]
"""
import argparse
import os
import random
import socket
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PEERS = os.path.join(HERE, "broadcast")
NODE_ENV = dict(os.environ, NODE_PATH="/usr/share/nodejs")
PYTHON = "/usr/bin/python3"  # the Debian interpreter that has websockets
STEP_TIMEOUT = 30.0


class Child:
    """A child process whose standard output is read by a thread into a list of lines."""

    def __init__(self, argv, env=None):
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, env=env)
        self.lines = []
        self.changed = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            with self.changed:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
                self.changed.notify_all()
        with self.changed:
            self.lines.append(None)  # end of output
            self.changed.notify_all()

    def wait_line(self, predicate, timeout):
        """The first line (from the start) that satisfies predicate, or None."""
        deadline = time.monotonic() + timeout
        seen = 0
        with self.changed:
            while True:
                while seen < len(self.lines):
                    line = self.lines[seen]
                    seen += 1
                    if line is None:
                        return None
                    if predicate(line):
                        return line
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.changed.wait(left)

    def feed(self, data):
        try:
            self.proc.stdin.write(data)
            self.proc.stdin.flush()
        except (BrokenPipeError, OSError):
            pass

    def stop(self):
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def cpu_seconds(child):
    """User and system CPU time the child has used so far (Linux)."""
    try:
        with open("/proc/%d/stat" % child.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, IndexError, ValueError):
        return 0.0


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def relay_command(interval):
    return '{"message":"heartbeat","params":{"heartbeat":{"enabled": false, "interval": %d}}}' \
        % interval


def relay_line(interval):
    return '{"event": "options", "params":{"heartbeat": {"enabled": false, "interval": %d}}}' \
        % interval


def numbered_line(i, size):
    head = "line %06d " % i
    return head + "x" * max(0, size - len(head))


def start_server(kind, build):
    """Starts a server; returns (child, port), or (None, 0) when it did not start."""
    if kind in ("kbz", "kbz-nodelay"):
        child = Child([os.path.join(build, "kbzBroadcastServer")] +
                      (["-nodelay"] if kind == "kbz-nodelay" else []) + ["0"])
    elif kind == "node":
        child = Child(["node", os.path.join(PEERS, "broadcast_server.js")], NODE_ENV)
    elif kind == "python":
        child = Child([PYTHON, os.path.join(PEERS, "broadcast_server.py")])
    else:
        port = free_port()
        child = Child([os.path.join(build, "kbzWebSocketClient"), "-server", "-server.ip",
                       "127.0.0.1", "-server.port", str(port)])
        if child.wait_line(lambda l: l.startswith("Server Listening on "), STEP_TIMEOUT):
            return child, port
        child.stop()
        return None, 0
    line = child.wait_line(lambda l: l.startswith("listening on "), STEP_TIMEOUT)
    if not line:
        child.stop()
        return None, 0
    return child, int(line.rsplit(":", 1)[1])


def measure(kind, build, clients, lines, size, probes):
    """(lines per second delivered, CPU seconds of the server, of the load, probe latencies
    in ms) or a text saying why there is none."""
    if kind == "relay":
        fed = [relay_command(30)] * lines
        delivered_last = relay_line(30)
        warm_fed, warm_delivered = relay_command(29), relay_line(29)
        line_bytes = len(relay_line(30))
    else:
        fed = [numbered_line(i, size) for i in range(lines)]
        delivered_last = fed[-1]
        warm_fed = warm_delivered = "warm-up"
        line_bytes = size
    server, port = start_server(kind, build)
    if not server:
        return "server did not start"
    load = None
    try:
        load = Child(["node", os.path.join(PEERS, "broadcast_load.js"), str(port), str(clients),
                      str(lines), warm_delivered, delivered_last, str(STEP_TIMEOUT * 2)],
                     NODE_ENV)
        ready = load.wait_line(lambda l: l == "ready" or l.startswith("failed"), STEP_TIMEOUT)
        if ready != "ready":
            return "clients did not connect: %s" % ready
        # Warm-up lines until every client has one: every connection is then known to
        # the server as open, and the threads and buffers of each stack are warm.
        deadline = time.monotonic() + STEP_TIMEOUT
        while not load.wait_line(lambda l: l == "warm", 0.05):
            if time.monotonic() > deadline:
                return "warm-up did not reach every client"
            server.feed((warm_fed + "\n").encode())
        data = ("\n".join(fed) + "\n").encode()
        cpu = (cpu_seconds(server), cpu_seconds(load))
        start = time.perf_counter()
        feeder = threading.Thread(target=server.feed, args=(data,), daemon=True)
        feeder.start()
        result = load.wait_line(lambda l: l.split()[0] in ("done", "timeout", "failed:"),
                                STEP_TIMEOUT * 2 + 5)
        elapsed = time.perf_counter() - start
        cpu = (cpu_seconds(server) - cpu[0], cpu_seconds(load) - cpu[1])
        if not result or not result.startswith("done"):
            return "not delivered: %s" % result
        _, count, nbytes, bad = result.split()
        if int(count) != lines * clients or int(nbytes) != lines * clients * line_bytes \
                or int(bad) != 0:
            return "wrong delivery: %s" % result
        latencies = []
        for i in range(1, probes + 1):
            time.sleep(random.uniform(0.01, 0.02))
            probe = relay_command(30) if kind == "relay" else numbered_line(lines + i, size)
            start = time.perf_counter()
            server.feed((probe + "\n").encode())
            if not load.wait_line(lambda l, k=lines + i: l == "all %d" % k, STEP_TIMEOUT):
                return "probe %d not delivered" % i
            latencies.append((time.perf_counter() - start) * 1000)
        return lines * clients / elapsed, cpu[0], cpu[1], latencies
    finally:
        if load:
            load.stop()
        server.stop()


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--build", default=os.path.join(ROOT, "build-bench"))
    p.add_argument("--no-build", action="store_true", help="use the binaries as they are")
    p.add_argument("--lines", type=int, default=2000)
    p.add_argument("--clients", type=int, default=100)
    p.add_argument("--size", type=int, default=100, help="bytes per line (not the relay's)")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--probes", type=int, default=40, help="single lines timed one at a time")
    p.add_argument("--servers", default="kbz,kbz-nodelay,relay,node,python")
    args = p.parse_args()
    kinds = args.servers.split(",")
    build = os.path.abspath(args.build)
    if not args.no_build:
        subprocess.run(["cmake", "-S", ROOT, "-B", build, "-DKBZ_BUILD_BENCHMARKS=ON",
                        "-DCMAKE_BUILD_TYPE=Release"], check=True, stdout=sys.stderr)
        subprocess.run(["cmake", "--build", build, "-j", "2", "--target", "kbzBroadcastServer",
                        "kbzWebSocketClient"], check=True, stdout=sys.stderr)

    results = {k: [] for k in kinds}
    latencies = {k: [] for k in kinds}
    for r in range(args.rounds):
        for kind in kinds:
            value = measure(kind, build, args.clients, args.lines, args.size, args.probes)
            if isinstance(value, str):
                print("round %d %-11s %s" % (r + 1, kind, value), file=sys.stderr)
            else:
                print("round %d %-11s %10.0f lines/s  cpu: server %.2f s, load %.2f s;"
                      " one line: median %.2f ms" % (r + 1, kind, *value[:3],
                                                    statistics.median(value[3])),
                      file=sys.stderr)
                results[kind].append(value[0])
                latencies[kind].extend(value[3])

    median = {k: statistics.median(v) for k, v in results.items() if v}
    print("%d lines of %d B (relay: %d B) to %d clients, median of %d rounds"
          % (args.lines, args.size, len(relay_line(30)), args.clients, args.rounds))
    print("%-11s %14s %9s %11s %12s %10s" % ("server", "lines/s", "vs node", "vs python",
                                              "1 line, ms", "worst ms"))
    for kind in kinds:
        if kind not in median:
            print("%-11s %14s" % (kind, "-"))
            continue
        ratio = lambda peer: ("%9.2f" % (median[kind] / median[peer])) if peer in median \
            else "%9s" % "-"
        print("%-11s %14.0f %s %11s %12.2f %10.2f"
              % (kind, median[kind], ratio("node"), ratio("python").strip(),
                 statistics.median(latencies[kind]), max(latencies[kind])))
    return 0 if len(median) == len(kinds) else 1


if __name__ == "__main__":
    sys.exit(main())
