#!/usr/bin/env bash
# Cross-builds the Windows side of VELDON with MinGW-w64 into build-windows/ (or DIR) and, with
# --test, runs its tests under Wine in a fresh Wine prefix of their own, without a display, and
# then veldonctl.exe end to end against the reference service (which needs the Linux build).
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
    # veldonctl.exe end to end: a test of the Linux build (VELDON_LINUX_BUILD, default build/)
    # scans shops with it against the reference service and compares with the Linux agent.
    linux=${VELDON_LINUX_BUILD:-build}
    if [ -x "$linux/tests/tools_tests" ]; then
        VELDON_WINDOWS_VELDONCTL="$(cd "$dir" && pwd)/tools/veldonctl.exe" \
            ctest --test-dir "$linux" --output-on-failure -R '^WindowsAgent\.'
    else
        echo "build-windows: no Linux build in $linux: the end-to-end scan is left out" >&2
    fi
fi
