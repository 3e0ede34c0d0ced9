#!/usr/bin/env bash
# The README's demo end to end: it must succeed and reconcile every one of its three shops.
set -uo pipefail
out=$(mktemp)
trap 'rm -f "$out"' EXIT
if ! "$(dirname "$0")/../scripts/demo.sh" >"$out" 2>&1; then
    cat "$out"
    echo "demo_test: the demo failed"
    exit 1
fi
verdicts=$(grep -c "verdict               all sales and card approvals accounted for" "$out")
if [ "$verdicts" != 3 ] || grep -q "NOT all accounted for" "$out"; then
    cat "$out"
    echo "demo_test: $verdicts of 3 shops reconciled"
    exit 1
fi
echo "demo_test: 3 of 3 shops reconciled"
