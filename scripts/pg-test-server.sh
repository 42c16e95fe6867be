#!/usr/bin/env bash
# Starts (start) or stops (stop) a throwaway PostgreSQL cluster on loopback for
# the tests. "start" prints the environment lines the tests read.
set -euo pipefail
# runuser and the PostgreSQL tools live in sbin folders that a minimal PATH lacks.
export PATH="$PATH:/usr/sbin:/sbin"
dir="${MMS_PG_DIR:-/tmp/mms-pg-test}"
port="${MMS_PG_PORT:-55432}"
bindir="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)"
[ -n "$bindir" ] || { echo "pg-test-server: PostgreSQL is not installed" >&2; exit 1; }

as_pg() {
    if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

case "${1:-}" in
start)
    if [ -f "$dir/postmaster.pid" ] && as_pg "$bindir/pg_ctl" -D "$dir" status >/dev/null 2>&1; then
        :
    else
        rm -rf "$dir"
        mkdir -p "$dir"
        [ "$(id -u)" -eq 0 ] && chown postgres:postgres "$dir"
        as_pg "$bindir/initdb" -A trust -U postgres -D "$dir" >/dev/null
        as_pg "$bindir/pg_ctl" -D "$dir" -l "$dir/server.log" -w \
            -o "-p $port -c listen_addresses=127.0.0.1 -k $dir" start >/dev/null
    fi
    echo "MMS_PG_HOST=127.0.0.1"
    echo "MMS_PG_PORT=$port"
    echo "MMS_PG_USER=postgres"
    ;;
stop)
    if [ -d "$dir" ]; then
        as_pg "$bindir/pg_ctl" -D "$dir" -m fast stop >/dev/null 2>&1 || true
        rm -rf "$dir"
    fi
    ;;
*)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
