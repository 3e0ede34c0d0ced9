#!/usr/bin/env bash
# Lines of the test suite (C++ under tests/) against lines of C++ code outside tests/ and bench/,
# as git tracks the files, in their working-tree state. A line counts unless it is blank or holds
# only a // comment. With --max P, exits 1 when the suite is above P percent.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { tr '\n' '\0' | xargs -0 cat | grep -cvE '^[[:space:]]*(//.*)?$'; }
sources() { git ls-files '*.cpp' '*.h'; }
tests=$(sources | grep -E '^tests/' | count)
code=$(sources | grep -vE '^(tests|bench)/' | count)
percent=$(awk -v t="$tests" -v c="$code" 'BEGIN { printf "%.1f", 100 * t / c }')
echo "tests/ $tests lines, code outside tests/ and bench/ $code lines: $percent %" \
    "(blank and comment-only lines not counted)"
if [ "${1:-}" = "--max" ]; then
    awk -v p="$percent" -v m="${2:?--max needs a percentage}" 'BEGIN { exit !(p <= m) }'
fi
