#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, and runs every test:
# once on the normal build and once under AddressSanitizer + UndefinedBehaviorSanitizer.
# The normal build is also installed, packaged and used by examples/consumer
# (scripts/check_package.sh).
# KBZ_SKIP_SANITIZE=1 skips the sanitizer pass (quicker local runs).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
kbz_install "${kbz_build_packages[@]}" "${kbz_test_packages[@]}" "${kbz_check_packages[@]}"
bash "$kbz_root/scripts/check_format.sh"

# Tests are switched on explicitly: the folder may have been configured by
# run.sh without them. Release builds without debug information keep the two
# builds quick on small machines.
kbz_build build -DCMAKE_BUILD_TYPE=Release -DKBZ_WARNINGS_AS_ERRORS=ON -DKBZ_BUILD_TESTS=ON \
    -DKBZ_BUILD_BENCHMARKS=ON
# Each layer's tests linked against only the layers below it, and no include reaching upward.
cmake --build "$kbz_root/build" -j "$(nproc)" --target kbz_layers >&2
kbz_ctest build
bash "$kbz_root/scripts/check_package.sh" "$kbz_root/build"

if [ "${KBZ_SKIP_SANITIZE:-0}" != "1" ]; then
    kbz_build build-asan -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-O1 \
        -DKBZ_WARNINGS_AS_ERRORS=ON -DKBZ_BUILD_TESTS=ON -DKBZ_SANITIZE=address,undefined
    ASAN_OPTIONS=detect_leaks=1 kbz_ctest build-asan
fi
echo "All tests passed." >&2
