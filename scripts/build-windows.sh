#!/usr/bin/env bash
# Cross-builds the Windows side of VELDON with MinGW-w64 into build-windows/ (or DIR) and, with
# --test, runs its tests under Wine in a fresh Wine prefix of their own, without a display.
# Usage: scripts/build-windows.sh [--test] [DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
test=false
if [ "${1:-}" = "--test" ]; then
    test=true
    shift
fi
dir=${1:-build-windows}
jobs=${BUILD_JOBS:-$(nproc)}

cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j "$jobs"

if $test; then
    prefix=$(mktemp -d /tmp/veldon-wine.XXXXXX)
    export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
    # The local databases through Wine's odbc32, unixODBC and the SQLite ODBC driver.
    export ODBCSYSINI=$PWD/tests/windows VELDON_ODBC_DRIVER=SQLite3
    # The tests call 127.0.0.1 only; Wine's WinHTTP would take a proxy named here as its default.
    unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
    trap 'wineserver -k 2>/dev/null || true; rm -rf "$prefix"' EXIT
    wineboot --init >/dev/null 2>&1
    (cd "$dir" && ctest --output-on-failure -j2)
fi
