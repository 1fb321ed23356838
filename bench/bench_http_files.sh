#!/usr/bin/env bash
# Static file requests per second over keep-alive connections: kbzEchoServer -root (each
# engine) against node's http module and python's http.server, serving the same small file
# on 127.0.0.1, all driven by wrk (one thread, 50 connections, 5 s each); prints each rate
# and our ratio to each peer.
#   bench/bench_http_files.sh [build folder, default build-bench]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/${1:-build-bench}"
source "$root/scripts/setup.sh"
kbz_install "${kbz_bench_packages[@]}" nodejs python3
cmake -S "$root" -B "$build" -DKBZ_BUILD_BENCHMARKS=ON -DCMAKE_BUILD_TYPE=Release >&2
cmake --build "$build" -j 2 --target kbzEchoServer >&2

work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/site"
python3 -c "print('<p>' + 'x' * 1000 + '</p>')" > "$work/site/small.html"

# Starts a server in the background; its first output line that ends in ":PORT" or is a
# bare port number gives the port.
start() {
    local log="$work/log.$RANDOM"
    "$@" > "$log" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do
        local port
        port=$(grep -oE '(^|:)[0-9]+$' "$log" | head -1 | tr -d ':' || true)
        if [ -n "$port" ]; then
            echo "$port"
            return
        fi
        sleep 0.1
    done
    echo "server did not start: $*" >&2
    cat "$log" >&2
    exit 1
}

cat > "$work/node.js" <<'JS'
const http = require('http'), fs = require('fs'), path = require('path');
const dir = process.argv[2];
const server = http.createServer((req, res) => {
  const file = path.join(dir, path.normalize(decodeURIComponent(req.url.split('?')[0])));
  fs.stat(file, (err, st) => {
    if (err || !st.isFile()) { res.writeHead(404); res.end(); return; }
    res.writeHead(200, {'Content-Type': 'text/html; charset=utf-8', 'Content-Length': st.size});
    fs.createReadStream(file).pipe(res);
  });
});
server.keepAliveTimeout = 10000;
server.listen(0, '127.0.0.1', () => console.log(server.address().port));
JS
cat > "$work/python.py" <<'PY'
import functools, http.server, sys
class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive, as the others
    def log_message(self, *args):
        pass
server = http.server.ThreadingHTTPServer(
    ("127.0.0.1", 0), functools.partial(Handler, directory=sys.argv[1]))
print(server.server_address[1], flush=True)
server.serve_forever()
PY

rate() {
    wrk -t1 -c50 -d5s "http://127.0.0.1:$1/small.html" | awk '/^Requests\/sec:/ {print $2}'
}
declare -A rates
for engine in threads pool; do
    port=$(start "$build/kbzEchoServer" -io "$engine" -root "$work/site" 0)
    rates[kbz-$engine]=$(rate "$port")
done
rates[node]=$(rate "$(start node "$work/node.js" "$work/site")")
rates[python]=$(rate "$(start python3 "$work/python.py" "$work/site")")

printf '%-12s %12s %10s %12s\n' server 'requests/s' 'vs node' 'vs python'
for s in kbz-threads kbz-pool node python; do
    awk -v s="$s" -v r="${rates[$s]}" -v n="${rates[node]}" -v p="${rates[python]}" \
        'BEGIN { printf "%-12s %12.0f %10.2f %12.2f\n", s, r, r / n, r / p }'
done
