#!/usr/bin/env bash
# Echo round trips per second: our echo server in each engine against node ws
# and python3-websockets, all on 127.0.0.1 and driven by the same client, and a
# 4 MiB message in small fragments; prints each measurement and our ratio to
# each peer.
#   bench/bench_server.sh [build folder, default build-bench] [benchmark filter]
# e.g. bench/bench_server.sh build-bench '(epoll|node)/1024B/50connx8' (default: all).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/${1:-build-bench}"
cmake -S "$root" -B "$build" -DKBZ_BUILD_BENCHMARKS=ON -DCMAKE_BUILD_TYPE=Release >&2
cmake --build "$build" -j 2 --target kbz_bench kbzEchoServer >&2
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$build/kbz_bench" --benchmark_filter="^Server/.*${2:-}" --benchmark_out="$out" \
    --benchmark_out_format=json >&2
python3 - "$out" <<'PY'
import json, sys
rates = {}
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    _, test, kind, size, load = b["name"].split("/")[:5]
    if "items_per_second" in b:
        rates[(test, size, load, kind)] = b["items_per_second"]
ratio = lambda a, b: f"{a / b:9.2f}" if a and b else f"{'-':>9}"
fmt = lambda v: f"{v:11.1f}" if v else f"{'-':>11}"
engines = ("kbz-threads", "kbz-pool", "kbz-epoll")
print("echo: connections x messages in flight on each")
print(f"{'size':>8} {'load':>9} {'engine':>12} {'kbz msg/s':>11} {'node msg/s':>11} {'python msg/s':>13} {'kbz/node':>9} {'kbz/python':>11}")
loads = [(s, l) for s in ("16B", "1024B", "65536B") for l in ("1connx1", "50connx8")]
loads += [("4194304B", "1connx1"), ("4194304B", "4connx1")]
for size, load in loads:
    n, p = (rates.get(("echo", size, load, x)) for x in ("node", "python"))
    if not any(rates.get(("echo", size, load, x)) for x in engines + ("node", "python")):
        continue
    for e in engines:
        k = rates.get(("echo", size, load, e))
        print(f"{size:>8} {load:>9} {e:>12} {fmt(k)} {fmt(n)} {fmt(p):>13} {ratio(k, n)} {ratio(k, p):>11}")
print()
print("4 MiB in fragments, echoed whole (seconds per message)")
print(f"{'fragment':>8} {'engine':>12} {'kbz s':>8} {'node s':>8} {'node/kbz':>9}")
sec = lambda v: f"{1 / v:8.3f}" if v else f"{'-':>8}"
for size in ("64B", "1024B"):
    n = rates.get(("fragments", size, "1conn", "node"))
    for e in engines:
        k = rates.get(("fragments", size, "1conn", e))
        if not (k or n):
            continue
        print(f"{size:>8} {e:>12} {sec(k)} {sec(n)} {ratio(k, n)}")
PY
