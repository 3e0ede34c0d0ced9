#!/usr/bin/env bash
# Lines of the test suite (tests/) against lines of code outside tests/ and bench/, as git tracks
# them: C++ sources and headers, and the suite's shell scripts. With --max P, exits 1 when the
# suite is above P percent.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { git ls-files -z "$@" | xargs -0 cat | wc -l; }
tests=$(count 'tests/*.cpp' 'tests/*.h' 'tests/*.sh')
code=$(git ls-files -z '*.cpp' '*.h' | tr '\0' '\n' | grep -vE '^(tests|bench)/' | tr '\n' '\0' |
    xargs -0 cat | wc -l)
percent=$((100 * tests / code))
echo "tests/ $tests lines, code outside tests/ and bench/ $code lines: $percent %"
if [ "${1:-}" = "--max" ] && [ "$percent" -gt "${2:?--max needs a percentage}" ]; then
    exit 1
fi
