#!/usr/bin/env bash
# scripts/check_package.sh [BUILD_FOLDER]   (default: build)
#
# Uses a finished build as another project would: installs it into a scratch prefix, checks the
# installed header set, builds examples/consumer against it with find_package(kbzws CONFIG),
# makes the Debian packages with cpack and builds the consumer again through pkg-config against
# the unpacked -dev package, then runs both builds against the installed echo server on
# 127.0.0.1. Everything goes under BUILD_FOLDER/package-check.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
work=$build/package-check
prefix=$work/prefix
rm -rf "$work"
mkdir -p "$work"

fail() {
    echo "check_package: $*" >&2
    exit 1
}

cmake --install "$build" --prefix "$prefix" >"$work/install.log" || fail "install failed"
for p in kbzWebSocketClient kbzEchoServer kbzEchoClient; do
    [ -x "$prefix/bin/$p" ] || fail "$p was not installed"
done

# Only public headers go out, and each of them finds what it includes within the installed set.
include_dir=$prefix/include/kbzws
[ -f "$include_dir/kbzWebSocket.h" ] || fail "kbzWebSocket.h was not installed"
if find "$include_dir" -name '*_Internal.h' | grep -q .; then
    fail "internal headers were installed"
fi
while IFS= read -r header; do
    while IFS= read -r included; do
        [ -f "$include_dir/$included" ] ||
            fail "${header#"$include_dir"/} includes $included, which is not installed"
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$header")
done < <(find "$include_dir" -name '*.h')

# The consumer through the CMake package.
cmake -S "$root/examples/consumer" -B "$work/consumer" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" >"$work/consumer.log" || fail "consumer: configure failed"
cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 ||
    { cat "$work/consumer.log" >&2; fail "consumer: build failed"; }

# The Debian packages, checked by name, contents and dependencies.
(cd "$build" && cpack -G DEB -B "$work/deb" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log" >&2; fail "cpack failed"; }
version=$(sed -n 's/^#define KBZ_VERSION "\(.*\)"$/\1/p' "$include_dir/base/kbzWebSocket_Version.h")
runtime_deb=$work/deb/kbzwebsockets_${version}_amd64.deb
dev_deb=$work/deb/kbzwebsockets-dev_${version}_amd64.deb
[ -f "$runtime_deb" ] && [ -f "$dev_deb" ] || fail "packages missing: $(ls "$work/deb")"
runtime_files=$(dpkg-deb -c "$runtime_deb")
dev_files=$(dpkg-deb -c "$dev_deb")
grep -q '\./usr/bin/kbzWebSocketClient$' <<<"$runtime_files" || fail "console not packaged"
grep -q '/kbzws/kbzwsConfig\.cmake$' <<<"$dev_files" || fail "CMake package not packaged"
grep -q 'libssl3' <<<"$(dpkg-deb -f "$runtime_deb" Depends)" || fail "runtime package lacks libssl3"
grep -q 'libssl-dev' <<<"$(dpkg-deb -f "$dev_deb" Depends)" || fail "-dev package lacks libssl-dev"
dpkg-deb -x "$dev_deb" "$work/dev-root"

# The consumer through pkg-config, against the unpacked -dev package, with the build's compiler.
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$(find "$work/dev-root" -name kbzws.pc)")
# shellcheck disable=SC2046 # the flags are separate words
"${cxx:-c++}" -std=c++20 -O1 "$root/examples/consumer/kbzConsumer.cpp" -o "$work/kbzConsumer-pkgconfig" \
    $(pkg-config --cflags --libs kbzws) || fail "consumer: pkg-config build failed"

# Both consumers against the installed echo server, on a port the system chooses.
exec 3< <(exec "$prefix/bin/kbzEchoServer" 0)
server=$!
trap 'kill "$server" 2>/dev/null || true' EXIT
read -r -t 20 -u 3 line || fail "echo server did not start"
port=${line##*:}
[[ $port =~ ^[0-9]+$ ]] || fail "unexpected line from the echo server: $line"
for consumer in "$work/consumer/kbzConsumer" "$work/kbzConsumer-pkgconfig"; do
    answer=$("$consumer" "ws://127.0.0.1:$port/") || fail "${consumer##*/} failed"
    [ "$answer" = "Hello from another project" ] || fail "${consumer##*/} printed: $answer"
done
kill -TERM "$server"
wait "$server" || fail "echo server did not end cleanly"
trap - EXIT
echo "Package check passed: installed, packaged, consumer built and run." >&2
