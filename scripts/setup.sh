#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running VELDON need. Idempotent: asks apt
# only when something is missing.
set -euo pipefail

packages=(
    g++ make cmake pkg-config
    libsqlite3-dev          # local databases (SQLite stand-ins) and the central store
    nlohmann-json3-dev      # the wire protocol's JSON
    libcpp-httplib-dev      # the agent's HTTP client
    qt6-base-dev qt6-svg-dev  # the tray program's window (Widgets) and its SVG icon
    libgtest-dev libgmock-dev
    libssl-dev              # HTTPS of the central service and its page's session tokens
    chromium chromium-driver  # the browser of the head-office page's test (headless, on loopback)
    # the MariaDB central store: Connector/C to build it, the server for its tests and benchmark
    libmariadb-dev mariadb-server
    # the Windows build: MinGW-w64 (posix threads), GoogleTest's sources, Wine to run the tests
    g++-mingw-w64-x86-64-posix googletest wine wine64
    unixodbc libsqliteodbc  # ...whose databases Wine's odbc32 reaches through unixODBC
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "setup: run as root (or install these packages): ${missing[*]}" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
