#!/usr/bin/env bash
# scripts/fuzz.sh [SECONDS] [TARGET...]
#
# Builds the libFuzzer programs with clang in build-fuzz/ (KBZ_BUILD_FUZZERS: the
# library instrumented for coverage, AddressSanitizer and UndefinedBehaviorSanitizer)
# and runs each target in turn for SECONDS (default 60) from its committed corpus
# fuzz/corpus/<target>/. Inputs it finds are kept in build-fuzz/corpus/<target>/
# (the committed corpus is left as it is); a crash stops the script and leaves its
# input as build-fuzz/crashes/<target>-crash-*. Commit such an input to
# fuzz/corpus/<target>/ with the fix. TARGET names (e.g. frame_decoder) pick
# a subset; KBZ_FUZZ_BUILD names another build folder (one configured with
# KBZ_BUILD_FUZZERS=ON is used as it is).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
seconds=${1:-60}
[ $# -gt 0 ] && shift
kbz_install "${kbz_build_packages[@]}" "${kbz_fuzz_packages[@]}"

build=${KBZ_FUZZ_BUILD:-build-fuzz}
if [ -f "$kbz_root/$build/CMakeCache.txt" ]; then
    # A folder configured already (with KBZ_BUILD_FUZZERS, perhaps with tests too) keeps its settings.
    cmake --build "$kbz_root/$build" -j "$(nproc)" --target kbz_fuzzers >&2
else
    CC=clang CXX=clang++ kbz_build "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O1 -g" \
        -DKBZ_WARNINGS_AS_ERRORS=ON -DKBZ_BUILD_TESTS=OFF -DKBZ_BUILD_FUZZERS=ON -- kbz_fuzzers
fi

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for src in "$kbz_root"/fuzz/*.cpp; do
        name=$(basename "$src" .cpp)
        [ "$name" = replay_main ] || targets+=("$name")
    done
fi
out=$kbz_root/$build
mkdir -p "$out/crashes"
for name in "${targets[@]}"; do
    mkdir -p "$out/corpus/$name"
    echo "fuzz: $name for ${seconds}s" >&2
    # The first folder receives the new inputs.
    ASAN_OPTIONS=detect_leaks=1 "$out/fuzz/kbz_fuzz_$name" -max_total_time="$seconds" \
        -print_final_stats=1 -artifact_prefix="$out/crashes/$name-" \
        "$out/corpus/$name" "$kbz_root/fuzz/corpus/$name" 2>"$out/fuzz-$name.log" || {
        tail -n 60 "$out/fuzz-$name.log" >&2
        echo "fuzz: $name failed; its input is in $out/crashes/ (log: $out/fuzz-$name.log)" >&2
        exit 1
    }
    grep -E '^(INFO: Loaded|stat::number_of_executed_units|stat::new_units_added)' \
        "$out/fuzz-$name.log" >&2 || true
done
echo "fuzz: every target ran ${seconds}s without a finding" >&2
