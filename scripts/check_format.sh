#!/usr/bin/env bash
# scripts/check_format.sh [--fix]
#
# Every C++ source and header that git knows must be as clang-format (the
# project's .clang-format) writes it. Prints the files that differ and fails;
# --fix rewrites them in place instead.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
format=${CLANG_FORMAT:-clang-format}
command -v "$format" >/dev/null || { echo "check_format: $format not found" >&2; exit 1; }
mapfile -t files < <(git ls-files '*.h' '*.cpp' '*.hpp' '*.cc')
if [ "${1:-}" = "--fix" ]; then
    printf '%s\0' "${files[@]}" | xargs -0 "$format" -i
    exit 0
fi
# One run over every file; each line it complains about starts with the file's name.
mapfile -t differ < <(printf '%s\0' "${files[@]}" | xargs -0 "$format" --dry-run 2>&1 |
    sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: .*clang-format.*/\1/p' | sort -u)
if [ ${#differ[@]} -gt 0 ]; then
    echo "check_format: not formatted (scripts/check_format.sh --fix, or git clang-format):" >&2
    printf '  %s\n' "${differ[@]}" >&2
    exit 1
fi
