#!/usr/bin/env bash
# A private MariaDB server for the tests and benchmarks of the MariaDB central store.
#
#   scripts/mariadb-test-server.sh start DIR   prints HOST:PORT once the server answers
#   scripts/mariadb-test-server.sh stop DIR
#
# `start` makes a data directory under DIR (mariadb-install-db) on first use and starts mariadbd
# on 127.0.0.1 on a free port, its socket and pid file in DIR (nothing in /run), durable commits
# (innodb_flush_log_at_trx_commit=1), no host name look-ups. It runs as root (--user=root) and
# makes the account veldon@127.0.0.1, password veldon, allowed everything: the tests create a
# database each. The address is also written to DIR/address. Use it as
#   export VELDON_TEST_MARIADB=$(scripts/mariadb-test-server.sh start build/mariadb-test)
set -euo pipefail

usage() {
    echo "usage: $0 start|stop DIR" >&2
    exit 2
}
[ $# -eq 2 ] || usage
command=$1
dir=$(mkdir -p "$2" && cd "$2" && pwd)
data=$dir/data
pidfile=$dir/mariadbd.pid
log=$dir/mariadbd.err

running() {
    [ -s "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null
}

stop() {
    if running; then
        local pid
        pid=$(cat "$pidfile")
        kill "$pid"
        for _ in $(seq 1 300); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        if kill -0 "$pid" 2>/dev/null; then
            echo "mariadb-test-server: mariadbd $pid did not stop within 30 s" >&2
            exit 1
        fi
    fi
    rm -f "$pidfile" "$dir/address"
}

port_in_use() {
    ss -Htln "sport = :$1" | grep -q .
}

start() {
    if running && [ -s "$dir/address" ]; then
        cat "$dir/address"
        return
    fi
    if [ ! -d "$data/mysql" ]; then
        rm -rf "$data"
        mariadb-install-db --no-defaults --datadir="$data" --user=root \
            --auth-root-authentication-method=socket --skip-test-db >"$dir/install.log" 2>&1 || {
            echo "mariadb-test-server: mariadb-install-db failed, see $dir/install.log" >&2
            exit 1
        }
    fi
    cat >"$dir/init.sql" <<'SQL'
CREATE USER IF NOT EXISTS 'veldon'@'127.0.0.1' IDENTIFIED BY 'veldon';
GRANT ALL PRIVILEGES ON *.* TO 'veldon'@'127.0.0.1';
SQL
    for _ in $(seq 1 20); do
        local port=$((20000 + RANDOM % 30000))
        port_in_use "$port" && continue
        : >"$log"
        mariadbd --no-defaults --user=root --datadir="$data" --bind-address=127.0.0.1 \
            --port="$port" --socket="$dir/mariadbd.sock" --pid-file="$pidfile" \
            --log-error="$log" --skip-name-resolve --innodb-flush-log-at-trx-commit=1 \
            --innodb-buffer-pool-size=128M --max-connections=400 --init-file="$dir/init.sql" \
            >/dev/null 2>&1 &
        local pid=$!
        for _ in $(seq 1 600); do
            if ! kill -0 "$pid" 2>/dev/null; then
                break  # did not start: a port taken meanwhile, or worse (see the log)
            fi
            if mariadb-admin --no-defaults --protocol=tcp -h127.0.0.1 -P"$port" -uveldon \
                -pveldon ping >/dev/null 2>&1; then
                echo "127.0.0.1:$port" >"$dir/address"
                echo "127.0.0.1:$port"
                return
            fi
            sleep 0.1
        done
        if kill -0 "$pid" 2>/dev/null; then
            kill "$pid"
            echo "mariadb-test-server: mariadbd did not answer within 60 s, see $log" >&2
            exit 1
        fi
        grep -q "Bind on TCP/IP port" "$log" || {
            echo "mariadb-test-server: mariadbd stopped, see $log" >&2
            exit 1
        }
    done
    echo "mariadb-test-server: no free port found" >&2
    exit 1
}

case $command in
start) start ;;
stop) stop ;;
*) usage ;;
esac
