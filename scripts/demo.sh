#!/usr/bin/env bash
# The demo: installs what is missing, builds, starts the reference central service on loopback,
# creates two restaurant shops and a retail shop with generated sales, sends their backlog with
# veldonctl scan (one restaurant with delivery data, one without; the retail shop with its card
# approvals and deleted lines), shows the agent's summaries and what the service stored, scans
# once more to show that nothing is sent twice, and stops the service.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
echo "== Building veldonctl and veldon-central into build/ (a few minutes on a fresh machine)"
started=$(date +%s)
BUILD_TARGETS="veldonctl veldon-central" scripts/build.sh build >/dev/null
echo "built in $(($(date +%s) - started)) s"
echo

out=demo-out
rm -rf "$out"
mkdir -p "$out"
ctl=build/tools/veldonctl
central=build/central/veldon-central
db="$out/central.db"

echo "== The head office registers its three shops"
"$central" --db "$db" add-shop --store S0001 --store-name "데모 식당" --depot H01 \
    --depot-name 본사창고 --pos 01 --pos-name 카운터1
"$central" --db "$db" add-shop --store S0002 --store-name "데모 분식" --depot H01 \
    --depot-name 본사창고 --pos 01 --pos-name 카운터1
"$central" --db "$db" add-shop --store S0003 --store-name "데모 마트" --depot H01 \
    --depot-name 본사창고 --pos 01 --pos-name 카운터1

"$central" --listen 127.0.0.1:0 --db "$db" --account veldon:mv5529:veldon_demo \
    >"$out/central.log" 2>&1 &
central_pid=$!
trap 'kill "$central_pid" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
    grep -q "listening on" "$out/central.log" && break
    sleep 0.1
done
server=$(sed -n 's/.*listening on \([0-9.]*:[0-9]*\).*/\1/p' "$out/central.log")
echo "veldon-central listens on $server"

scan() {
    XDG_CONFIG_HOME="$PWD/$1/config" "$ctl" --program-folder "$1/program" scan || true
}

# One number of `veldonctl unsent` or `veldon-central stats --store`.
count() { sed -n "s/^$1:\{0,1\} \([0-9]*\)$/\1/p"; }

# A shop's transfer with its reconciliation: what was unsent before, what is unsent after, and
# what the service holds for the store, sales and card approvals alike.
transfer() {
    local shop=$1 kind=$2 store=$3 file
    file=$(ls "$shop/data")
    local before after held
    before=$("$ctl" unsent --kind "$kind" "$shop/data/$file")
    scan "$shop"
    after=$("$ctl" unsent --kind "$kind" "$shop/data/$file")
    held=$("$central" --db "$db" stats --store "$store")
    local verdict="all sales and card approvals accounted for"
    for what in sales "card approvals"; do
        local b a h
        b=$(echo "$before" | count "unsent $what")
        a=$(echo "$after" | count "unsent $what")
        h=$(echo "$held" | count "$what")
        echo "  reconciliation        $what: $b unsent before, $((b - a)) sent, $a left unsent, $h held by the service"
        if [ $((b - a)) -ne "$h" ] || [ "$a" -ne 0 ]; then
            verdict="NOT all accounted for: see above"
        fi
    done
    echo "  verdict               $verdict"
    for dump in "$shop"/program/log/DC*; do
        [ -e "$dump" ] || continue
        echo "  $(basename "$dump"): a discount line whose amounts do not add up to the header's discount, recorded and sent as computed"
    done
}

echo
echo "== Shop 1: a restaurant sending delivery data, 2,000 sales of the last 30 days"
"$ctl" make-shop --kind restaurant --sales 2000 --server "$server" --delivery \
    --store S0001 --store-name "데모 식당" "$out/shop1" >/dev/null
transfer "$out/shop1" restaurant S0001

echo
echo "== Shop 2: a restaurant without delivery data, 1,500 sales"
"$ctl" make-shop --kind restaurant --sales 1500 --seed 2 --server "$server" \
    --store S0002 --store-name "데모 분식" "$out/shop2" >/dev/null
transfer "$out/shop2" restaurant S0002

echo
echo "== Shop 3: a retail shop, 1,000 sales with card approvals and deleted lines"
"$ctl" make-shop --kind retail --sales 1000 --seed 3 --server "$server" \
    --store S0003 --store-name "데모 마트" "$out/shop3" >/dev/null
transfer "$out/shop3" retail S0003

echo
echo "== Shop 1 once more: nothing is left to send"
scan "$out/shop1"

kill -TERM "$central_pid"
wait "$central_pid" || true
trap - EXIT

echo
echo "== What the central service holds"
"$central" --db "$db" stats
