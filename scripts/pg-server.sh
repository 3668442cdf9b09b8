#!/usr/bin/env bash
# A throwaway PostgreSQL server (Debian's postgresql) for the tests and the bench, in a folder
# of its own under /tmp, listening on a Unix socket in that folder only (no TCP port at all).
# initdb refuses to run as root, so as root the server is made and run as the postgres user.
# Made for speed, not for keeping: no fsync.
#
#   scripts/pg-server.sh new            makes and starts one; prints its folder
#   scripts/pg-server.sh start DIR      starts it again (after stop)
#   scripts/pg-server.sh stop DIR       stops it (fast: open connections are ended)
#   scripts/pg-server.sh remove DIR     stops it and removes the folder
#   scripts/pg-server.sh conninfo DIR   prints the conninfo of its superuser
#
# The user "postgres" connects without a password; every other role must give its own
# (scram-sha-256), so that a password in a test's target is really used.
set -euo pipefail

BIN=${TORVAN_PG_BIN:-/usr/lib/postgresql/15/bin}
PORT=55432

as_server() {
    if [ "$(id -u)" -eq 0 ]; then
        runuser -u postgres -- "$@"
    else
        "$@"
    fi
}

conninfo() { echo "host=$1 port=$PORT user=postgres dbname=postgres"; }

case "${1:-}" in
new)
    dir=$(mktemp -d /tmp/torvan-pg-XXXXXX)
    [ "$(id -u)" -eq 0 ] && chown postgres: "$dir"
    as_server "$BIN/initdb" -D "$dir/data" -U postgres -A trust -E UTF8 --locale=C --no-sync \
        >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
    as_server tee "$dir/data/pg_hba.conf" >/dev/null <<EOF
local all postgres trust
local all all scram-sha-256
EOF
    as_server tee -a "$dir/data/postgresql.conf" >/dev/null <<EOF
listen_addresses = ''
unix_socket_directories = '$dir'
port = $PORT
fsync = off
synchronous_commit = off
full_page_writes = off
max_connections = 60
EOF
    as_server "$BIN/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 start >/dev/null ||
        { cat "$dir/server.log" >&2; exit 1; }
    echo "$dir"
    ;;
start)
    as_server "$BIN/pg_ctl" -D "$2/data" -l "$2/server.log" -w -t 60 start >/dev/null
    ;;
stop)
    as_server "$BIN/pg_ctl" -D "$2/data" -m fast -w -t 60 stop >/dev/null
    ;;
remove)
    [ -d "$2/data" ] || exit 0
    as_server "$BIN/pg_ctl" -D "$2/data" status >/dev/null 2>&1 &&
        as_server "$BIN/pg_ctl" -D "$2/data" -m immediate -w -t 60 stop >/dev/null
    case "$2" in /tmp/torvan-pg-*) rm -rf "$2" ;; esac
    ;;
conninfo)
    conninfo "$2"
    ;;
*)
    echo "usage: $0 new | start DIR | stop DIR | remove DIR | conninfo DIR" >&2
    exit 2
    ;;
esac
