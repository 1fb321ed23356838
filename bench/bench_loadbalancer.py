#!/usr/bin/python3
"""Broadcast through the load balancer: lines per second reaching 100 clients.

A chat line sent by one client is broadcast to every client. The same 100 reading
clients (two node processes of bench/broadcast/broadcast_load.js, 50 connections each)
and the same sender (bench/loadbalancer/chat_sender.py) are used in three set-ups:
  single  one kbzEchoServer -chat: the 100 clients on it, broadcast locally
  lb      kbzLoadBalancer and two kbzEchoServer -chat -lb linked to it, 50 clients on
          each; every line goes from the sender's server to the balancer and back to both
  redis   redis-server, two kbzLoadBalancer -redis and one chat server linked to each, 50
          clients on each server; every line is fanned out over Redis pub/sub
The sender is a client of the first server. The clock runs from the first of LINES lines
of about SIZE bytes until every client has received all of them; the figure is
LINES x 100 / elapsed. Set-ups take turns within each round; the median of the rounds is
reported with the ratios to the single server. Everything stays on 127.0.0.1 and every
step is bounded in time.

Usage: bench/bench_loadbalancer.py [--build DIR] [--lines N] [--size B] [--rounds R]
                                   [--setups single,lb,redis]
"""
import argparse
import os
import shutil
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
from bench_broadcast import Child, free_port, NODE_ENV, PYTHON  # noqa: E402

LOAD = os.path.join(HERE, "broadcast", "broadcast_load.js")
SENDER = os.path.join(HERE, "loadbalancer", "chat_sender.py")
STEP = 60.0
CLIENTS = 100


def listening(child):
    line = child.wait_line(lambda l: l.startswith("listening on 127.0.0.1:"), STEP)
    if not line:
        raise RuntimeError("a program did not start")
    return int(line.rsplit(":", 1)[1])


def registered(balancer, port):
    if not balancer.wait_line(lambda l: l == "registered ws://127.0.0.1:%d" % port, STEP):
        raise RuntimeError("a server did not register")


def setup(kind, build, children):
    """Starts the servers of a set-up; returns the two ports the clients use."""
    echo = os.path.join(build, "kbzEchoServer")
    balancer = os.path.join(build, "kbzLoadBalancer")
    if kind == "single":
        server = Child([echo, "-chat", "0"])
        children.append(server)
        port = listening(server)
        return port, port
    lbs = []
    if kind == "lb":
        lb = Child([balancer, "0"])
        children.append(lb)
        lbs = [(lb, listening(lb))] * 2
    else:
        redis_port = free_port()
        redis = Child(["redis-server", "--port", str(redis_port), "--bind", "127.0.0.1",
                       "--save", "", "--appendonly", "no"])
        children.append(redis)
        if not redis.wait_line(lambda l: "Ready to accept connections" in l, STEP):
            raise RuntimeError("redis-server did not start")
        for _ in range(2):
            lb = Child([balancer, "-redis", "127.0.0.1:%d" % redis_port, "0"])
            children.append(lb)
            lbs.append((lb, listening(lb)))
    ports = []
    for lb, lb_port in lbs:
        server = Child([echo, "-chat", "-lb", "127.0.0.1:%d" % lb_port, "0"])
        children.append(server)
        port = listening(server)
        registered(lb, port)
        ports.append(port)
    return ports[0], ports[1]


def run(kind, build, lines, size):
    children = []
    try:
        a, b = setup(kind, build, children)
        loads = []
        for port in (a, b):
            load = Child(["node", LOAD, str(port), str(CLIENTS // 2), str(lines), "warm",
                          "last", "120"], NODE_ENV)
            children.append(load)
            loads.append(load)
        for load in loads:
            if not load.wait_line(lambda l: l == "ready", STEP):
                raise RuntimeError("the clients did not connect")
        sender = Child([PYTHON, SENDER, "ws://127.0.0.1:%d/" % a])
        children.append(sender)
        if not sender.wait_line(lambda l: l == "open", STEP):
            raise RuntimeError("the sender did not connect")
        sender.feed(b"line warm\n")
        for load in loads:
            if not load.wait_line(lambda l: l == "warm", STEP):
                raise RuntimeError("the warm-up line did not arrive")
        start = time.monotonic()
        sender.feed(("burst %d %d last\n" % (lines, size)).encode())
        for load in loads:
            done = load.wait_line(lambda l: l.startswith(("done", "timeout", "failed")), 150)
            if not done or not done.startswith("done") or not done.endswith(" 0"):
                raise RuntimeError("lines were lost: %s" % done)
        return lines * CLIENTS / (time.monotonic() - start)
    finally:
        for child in reversed(children):
            try:
                child.proc.terminate()  # the servers end on SIGTERM
            except OSError:
                pass
            child.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--lines", type=int, default=2000)
    parser.add_argument("--size", type=int, default=100)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--setups", default="single,lb,redis")
    args = parser.parse_args()
    kinds = args.setups.split(",")
    if "redis" in kinds and not shutil.which("redis-server"):
        print("redis-server not installed: the redis set-up is left out")
        kinds.remove("redis")
    rates = {k: [] for k in kinds}
    for r in range(args.rounds):
        for kind in kinds:
            try:
                rate = run(kind, args.build, args.lines, args.size)
            except RuntimeError as e:
                print("round %d %-6s failed: %s" % (r + 1, kind, e))
                continue
            rates[kind].append(rate)
            print("round %d %-6s %10.0f lines/s reaching clients" % (r + 1, kind, rate))
    median = {k: statistics.median(v) for k, v in rates.items() if v}
    print("median lines/s reaching %d clients (%d lines of %d bytes):" %
          (CLIENTS, args.lines, args.size))
    for kind in kinds:
        if kind in median:
            line = "  %-6s %10.0f" % (kind, median[kind])
            if "single" in median and kind != "single":
                line += "   ratio to single %.2f" % (median[kind] / median["single"])
            print(line)
    return 0 if len(median) == len(kinds) else 1


if __name__ == "__main__":
    sys.exit(main())
