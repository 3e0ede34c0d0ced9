#!/usr/bin/env bash
# The demo: installs what is missing, builds, creates a restaurant and a retail shop installation
# with generated sales and shows what the program starts with in each.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build >/dev/null

out=demo-out
rm -rf "$out"
mkdir -p "$out"
ctl=build/tools/veldonctl

for kind in restaurant retail; do
    shop="$out/$kind"
    extra=()
    [ "$kind" = restaurant ] && extra=(--delivery)
    echo
    echo "== A $kind shop with 2,000 sales of the last 30 days"
    "$ctl" make-shop --kind "$kind" --sales 2000 --server 127.0.0.1:8750 "${extra[@]}" "$shop"
    echo
    echo "-- veldonctl status"
    XDG_CONFIG_HOME="$PWD/$shop/config" "$ctl" --program-folder "$shop/program" status
done
