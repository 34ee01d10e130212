#!/usr/bin/env bash
# A throwaway PostgreSQL server for the test suite.
#
#   eval "$(bash scripts/postgres.sh start)"   # installs PostgreSQL if needed,
#                                              # starts a fresh cluster and
#                                              # prints the export lines
#   bash scripts/postgres.sh stop              # stops it, removes its files
#   bash scripts/postgres.sh halt | resume     # stops the server and starts it
#                                              # again on the same data and port
#                                              # (outage tests)
#
# `start` prints shell lines that export QUORVALEN_TEST_POSTGRES_URL (the
# SQLAlchemy URL the tests use) and QUORVALEN_TEST_POSTGRES_DIR (the cluster's
# directory, which `stop` reads). The server listens on 127.0.0.1 only, on a
# free port, with trust authentication: it is for tests, never for data.
# Everything but the export lines goes to stderr.
set -euo pipefail

log() { echo "postgres.sh: $*" >&2; }

find_bindir() {
    local dir
    dir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)
    if [ -n "$dir" ] && [ -x "$dir/initdb" ]; then
        echo "$dir"
    elif command -v initdb >/dev/null 2>&1; then
        dirname "$(command -v initdb)"
    fi
}

install_postgres() {
    if [ "$(id -u)" != 0 ]; then
        log "PostgreSQL is not installed and installing it needs root (apt-get install postgresql)"
        exit 1
    fi
    log "installing PostgreSQL from the distribution's packages"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update >&2
    apt-get install -y --no-install-recommends postgresql >&2
}

# Runs a server command as the cluster's owner: PostgreSQL refuses to run as root.
as_owner() {
    if [ "$(id -u)" = 0 ]; then
        runuser -u postgres -- "$@"
    else
        "$@"
    fi
}

free_port() {
    "${PYTHON:-python3.11}" - <<'EOF'
import socket
with socket.socket() as s:
    s.bind(("127.0.0.1", 0))
    print(s.getsockname()[1])
EOF
}

start() {
    local bindir dir port
    bindir=$(find_bindir)
    if [ -z "$bindir" ]; then
        install_postgres
        bindir=$(find_bindir)
    fi
    [ -n "$bindir" ] || { log "initdb not found after installing PostgreSQL"; exit 1; }

    if [ "$(id -u)" = 0 ] && ! id postgres >/dev/null 2>&1; then
        useradd --system --home-dir /var/lib/postgresql --shell /bin/sh postgres
    fi
    dir=$(mktemp -d "${TMPDIR:-/tmp}/quorvalen-pg.XXXXXX")
    chmod 700 "$dir"
    [ "$(id -u)" = 0 ] && chown postgres: "$dir"
    port=$(free_port)

    as_owner "$bindir/initdb" -D "$dir/data" -U quorvalen --auth=trust \
        --encoding=UTF8 --locale=C >"$dir/initdb.log" 2>&1 \
        || { cat "$dir/initdb.log" >&2; exit 1; }
    echo "-h 127.0.0.1 -p $port -k $dir -c fsync=off -c full_page_writes=off" >"$dir/options"
    as_owner "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
        -o "$(cat "$dir/options")" start >&2 \
        || { cat "$dir/server.log" >&2; exit 1; }
    as_owner "$bindir/createdb" -h 127.0.0.1 -p "$port" -U quorvalen quorvalen_test
    echo "$bindir" >"$dir/bindir"
    log "PostgreSQL $("$bindir/postgres" --version | awk '{print $3}') on 127.0.0.1:$port ($dir)"

    echo "export QUORVALEN_TEST_POSTGRES_URL=postgresql+psycopg://quorvalen@127.0.0.1:$port/quorvalen_test"
    echo "export QUORVALEN_TEST_POSTGRES_DIR=$dir"
}

stop() {
    local dir=${1:-${QUORVALEN_TEST_POSTGRES_DIR:-}}
    if [ -z "$dir" ] || [ ! -d "$dir/data" ]; then
        log "no cluster to stop (give its directory or set QUORVALEN_TEST_POSTGRES_DIR)"
        return 0
    fi
    as_owner "$(cat "$dir/bindir")/pg_ctl" -D "$dir/data" -m fast -w stop >&2 || true
    rm -rf "$dir"
}

# Stops the server of a running cluster but keeps its files, or starts it
# again with the options it was first started with.
halt() {
    local dir=${1:-${QUORVALEN_TEST_POSTGRES_DIR:-}}
    [ -n "$dir" ] && [ -d "$dir/data" ] || { log "no cluster (give its directory or set QUORVALEN_TEST_POSTGRES_DIR)"; exit 1; }
    as_owner "$(cat "$dir/bindir")/pg_ctl" -D "$dir/data" -m fast -w stop >&2
}

resume() {
    local dir=${1:-${QUORVALEN_TEST_POSTGRES_DIR:-}}
    [ -n "$dir" ] && [ -d "$dir/data" ] || { log "no cluster (give its directory or set QUORVALEN_TEST_POSTGRES_DIR)"; exit 1; }
    as_owner "$(cat "$dir/bindir")/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
        -o "$(cat "$dir/options")" start >&2
}

case "${1:-start}" in
    start) start ;;
    stop) stop "${2:-}" ;;
    halt) halt "${2:-}" ;;
    resume) resume "${2:-}" ;;
    *) log "usage: $0 [start|stop [DIR]|halt [DIR]|resume [DIR]]"; exit 2 ;;
esac
