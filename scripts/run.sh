#!/usr/bin/env bash
# Installs what is missing, builds the console and the example programs the
# README uses, and starts the console with the given arguments.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
kbz_install "${kbz_build_packages[@]}"
kbz_build build -DKBZ_BUILD_TESTS=OFF -- "${kbz_programs[@]}"
exec "$kbz_root/build/kbzWebSocketClient" "$@"
