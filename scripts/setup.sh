#!/usr/bin/env bash
# Installs what the build (and, with "test", the test suite) needs on Debian,
# then configures and builds in the given folder. Sourced by run.sh and test.sh;
# everything it prints goes to standard error so the console's own output stays clean.

kbz_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

kbz_build_packages=(g++ make cmake pkg-config libssl-dev zlib1g-dev libgtest-dev libgmock-dev
                    libbenchmark-dev openssl ca-certificates libhiredis-dev)
# The checks of CI beyond the tests: Debian packages (cpack needs dpkg-shlibdeps and file),
# the source format.
kbz_check_packages=(dpkg-dev file clang-format)
# The benchmark scripts' load generator (bench/bench_http_files.sh installs it).
kbz_bench_packages=(wrk)
# The fuzzers: clang with libFuzzer and the sanitizer runtimes.
kbz_fuzz_packages=(clang libclang-rt-14-dev)
# The programs the README uses.
kbz_programs=(kbzWebSocketClient kbzEchoServer kbzEchoClient kbzJWT kbzLoadBalancer kbzOAuth2Server)
# Real peers the interoperability tests start on loopback.
kbz_test_packages=(python3 python3-websockets nodejs node-ws socat chromium libnss3-tools python3-jwt python3-cryptography curl
                   tinyproxy microsocks dante-server redis-server)

kbz_install() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}" >&2
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    # The tests start their peers (proxies, servers) themselves: their packages must not start
    # system services, which could also fail the install where no init system runs.
    local policy=/usr/sbin/policy-rc.d made_policy=""
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null && $sudo chmod 755 "$policy" &&
            made_policy=1
    fi
    local rc=0
    $sudo apt-get update -qq >&2 && $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2 ||
        rc=$?
    [ -n "$made_policy" ] && $sudo rm -f "$policy"
    return $rc
}

# kbz_build <folder> [cmake options...] -- [build targets...]
kbz_build() {
    local dir=$1
    shift
    local opts=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do opts+=("$1"); shift; done
    [ "${1:-}" = "--" ] && shift
    local targets=()
    [ $# -gt 0 ] && targets=(--target "$@")
    cmake -S "$kbz_root" -B "$kbz_root/$dir" "${opts[@]}" >&2 &&
        cmake --build "$kbz_root/$dir" -j "$(nproc)" "${targets[@]}" >&2
}

# kbz_ctest <folder> [ctest options...]: every test of the folder; fails when
# none ran (a folder configured without tests is an error, not a pass).
# Most tests wait on peers and sockets rather than compute, so two run per core
# (KBZ_TEST_JOBS=N sets the number).
kbz_ctest() {
    local dir=$1
    shift
    (cd "$kbz_root/$dir" && ctest -j "${KBZ_TEST_JOBS:-$((2 * $(nproc)))}" --output-on-failure --no-tests=error "$@")
}
