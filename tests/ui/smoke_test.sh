#!/usr/bin/env bash
# The real tray program, offscreen, against a make-shop installation and the reference service on
# 127.0.0.1: it must transfer on its own (start-up's catch-up), keep a second start from running,
# and end cleanly when told to as at shutdown (what "종료" does).
# Usage: smoke_test.sh BUILD_DIR
set -uo pipefail
build=$1
work=$(mktemp -d)
central_pid=
veldon_pid=
cleanup() {
    [ -n "$veldon_pid" ] && kill -KILL "$veldon_pid" 2>/dev/null
    [ -n "$central_pid" ] && kill "$central_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "smoke_test: $*"
    tail -n 20 "$work"/*.log 2>/dev/null
    exit 1
}
export QT_QPA_PLATFORM=offscreen

central=$build/central/veldon-central
ctl=$build/tools/veldonctl
"$central" --db "$work/central.db" add-shop --store S0001 --store-name "데모 식당" --depot H01 \
    --depot-name 본사창고 --pos 01 --pos-name 카운터1 >/dev/null || fail "add-shop"
"$central" --listen 127.0.0.1:0 --db "$work/central.db" --account veldon:mv5529:veldon_demo \
    >"$work/central.log" 2>&1 &
central_pid=$!
for _ in $(seq 100); do
    grep -q "listening on" "$work/central.log" && break
    sleep 0.1
done
server=$(sed -n 's/.*listening on \([0-9.]*:[0-9]*\).*/\1/p' "$work/central.log")
[ -n "$server" ] || fail "veldon-central did not start"

"$ctl" make-shop --kind restaurant --sales 300 --seed 5 --server "$server" --store S0001 \
    --store-name "데모 식당" "$work/shop" >/dev/null || fail "make-shop"
cp "$build/ui/veldon" "$work/shop/program/" || fail "no veldon"
export XDG_CONFIG_HOME=$work/shop/config
unsent=$("$ctl" unsent --kind restaurant "$work/shop/data/FOOD.MDB" |
    sed -n 's/^unsent sales:\{0,1\} \([0-9]*\)$/\1/p')

"$work/shop/program/veldon" >"$work/veldon.log" 2>&1 &
veldon_pid=$!
held=0
for _ in $(seq 600); do
    held=$("$central" --db "$work/central.db" stats --store S0001 |
        sed -n 's/^sales \([0-9]*\)$/\1/p')
    [ "$held" = "$unsent" ] && break
    kill -0 "$veldon_pid" 2>/dev/null || fail "veldon ended on its own"
    sleep 0.1
done
[ "$held" = "$unsent" ] || fail "the service holds $held of $unsent sales"

# A second start ends at once, leaving the first alone.
timeout 10 "$work/shop/program/veldon" >"$work/second.log" 2>&1
[ $? = 0 ] || fail "the second start did not end at once with status 0"
kill -0 "$veldon_pid" 2>/dev/null || fail "the second start ended the first"

kill -TERM "$veldon_pid"
wait "$veldon_pid"
status=$?
veldon_pid=
[ "$status" = 0 ] || fail "veldon ended with status $status"
echo "smoke_test: veldon sent $held of $unsent sales on its own and ended cleanly"
