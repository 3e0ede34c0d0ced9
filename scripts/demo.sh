#!/usr/bin/env bash
# The demo: installs what is missing, builds, generates a restaurant and a retail database in the
# POS program's form and shows what is waiting to be sent.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build >/dev/null

out=demo-out
rm -rf "$out"
mkdir -p "$out"
ctl=build/tools/veldonctl

echo
echo "== Restaurant shop: FOOD.MDB with 2,000 sales of the last 30 days"
"$ctl" make-db --kind restaurant --sales 2000 --days 30 --seed 7 --out "$out/FOOD.MDB"
"$ctl" unsent --kind restaurant "$out/FOOD.MDB"

echo
echo "== Retail shop: POS.MDB with 2,000 sales of the last 30 days"
"$ctl" make-db --kind retail --sales 2000 --days 30 --seed 7 --out "$out/POS.MDB"
"$ctl" unsent --kind retail "$out/POS.MDB"
