#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, runs every test, cross-builds the Windows
# side and runs its tests under Wine, then builds again with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test under them. Both Linux runs test the MariaDB store
# on a private server (scripts/mariadb-test-server.sh), stopped however the script ends.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

scripts/build.sh build
root=$(pwd)
mariadb_dir=$root/build/mariadb-test
trap '"$root/scripts/mariadb-test-server.sh" stop "$mariadb_dir"' EXIT
VELDON_TEST_MARIADB=$("$root/scripts/mariadb-test-server.sh" start "$mariadb_dir")
export VELDON_TEST_MARIADB
# WindowsAgent.* drives the Windows build: build-windows.sh runs it.
(cd build && ctest --output-on-failure -j2 -E '^WindowsAgent\.')

# The Windows side, cross-built with MinGW-w64 and run under Wine.
scripts/build-windows.sh --test

scripts/build.sh build-asan -DVELDON_SANITIZE=ON -DVELDON_BUILD_BENCH=OFF
cd build-asan
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j2 \
    -E '^WindowsAgent\.'

