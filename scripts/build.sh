#!/usr/bin/env bash
# Configures and builds into build/ (or the folder given), with the CMake options given after it;
# BUILD_TARGETS (blank-separated) builds only those targets.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
targets=()
for t in ${BUILD_TARGETS:-}; do
    targets+=(--target "$t")
done
cmake --build "$dir" -j2 "${targets[@]}"
