#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, and runs every test:
# once on the normal build and once under AddressSanitizer + UndefinedBehaviorSanitizer,
# then the threaded layers' unit tests under ThreadSanitizer, and every fuzzer for a while.
# The normal build is also installed, packaged and used by examples/consumer
# (scripts/check_package.sh).
# KBZ_SKIP_SANITIZE=1 skips the ASan/UBSan pass, KBZ_SKIP_TSAN=1 the
# ThreadSanitizer pass (quicker local runs); KBZ_FUZZ_SECONDS=N runs each fuzzer N seconds
# instead of 5 (0: no fuzzing).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
# Each step says when it starts (seconds since the start), to see where the time goes.
kbz_step() { echo "==== $* (at ${SECONDS} s)" >&2; }
kbz_step install
kbz_install "${kbz_build_packages[@]}" "${kbz_test_packages[@]}" "${kbz_check_packages[@]}" \
    "${kbz_fuzz_packages[@]}"
kbz_fuzz_seconds=${KBZ_FUZZ_SECONDS:-5}
kbz_step format check
bash "$kbz_root/scripts/check_format.sh"

# Tests are switched on explicitly: the folder may have been configured by
# run.sh without them. Release builds without debug information keep the builds
# quick on small machines. The tests' precompiled headers stay off: g++ 12 then
# reports false string overflows inside the standard headers. (-O2 instead of
# Release's -O3 would not be quicker by much, and g++ 12 reports false bounds faults at -O2.)
kbz_step release build
kbz_build build -DCMAKE_BUILD_TYPE=Release -DKBZ_WARNINGS_AS_ERRORS=ON -DKBZ_BUILD_TESTS=ON \
    -DKBZ_BUILD_BENCHMARKS=ON
# Each layer's tests linked against only the layers below it, and no include reaching upward.
kbz_step layer check
cmake --build "$kbz_root/build" -j "$(nproc)" --target kbz_layers >&2
kbz_step release tests
kbz_ctest build
kbz_step package check
bash "$kbz_root/scripts/check_package.sh" "$kbz_root/build"

if [ "${KBZ_SKIP_SANITIZE:-0}" != "1" ]; then
    kbz_step sanitizer build
    kbz_build build-asan -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-O1 \
        -DKBZ_WARNINGS_AS_ERRORS=ON -DKBZ_BUILD_TESTS=ON -DKBZ_SANITIZE=address,undefined
    kbz_step sanitizer tests
    # One job per core under the sanitizers: their tests run several times slower.
    ASAN_OPTIONS=detect_leaks=1 KBZ_TEST_JOBS="${KBZ_TEST_JOBS:-$(nproc)}" kbz_ctest build-asan
fi
# The threaded layers' unit tests (foundation to server) under ThreadSanitizer.
# The single-threaded codec and compression tables are left to the passes
# above; ASLR is off for the run (some kernels map memory where TSan cannot).
if [ "${KBZ_SKIP_TSAN:-0}" != "1" ]; then
    kbz_tsan_layers=(base transport websocket client server)
    kbz_tsan_targets=()
    for layer in "${kbz_tsan_layers[@]}"; do kbz_tsan_targets+=("kbz_${layer}_tests"); done
    kbz_step thread sanitizer build
    kbz_build build-tsan -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-O1 \
        -DKBZ_WARNINGS_AS_ERRORS=ON -DKBZ_BUILD_TESTS=ON -DKBZ_SANITIZE=thread -- \
        "${kbz_tsan_targets[@]}"
    kbz_step thread sanitizer tests
    for layer in "${kbz_tsan_layers[@]}"; do
        TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" setarch "$(uname -m)" -R \
            "$kbz_root/build-tsan/tests/kbz_${layer}_tests" --gtest_brief=1 \
            --gtest_filter='-Codec.*:FrameDecoder.*:*RoundTrip*' >&2
    done
fi
# Every fuzzer a short while from its corpus (scripts/fuzz.sh: clang, its own build in
# build-fuzz/). The committed corpus is replayed by ctest in any case.
if [ "$kbz_fuzz_seconds" -gt 0 ]; then
    kbz_step fuzzing
    bash "$kbz_root/scripts/fuzz.sh" "$kbz_fuzz_seconds"
fi
echo "All tests passed (${SECONDS} s)." >&2
