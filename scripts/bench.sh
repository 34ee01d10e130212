#!/usr/bin/env bash
# Runs a benchmark in .venv-bench: the package with its test extras, plus what
# only the benchmarks need (FastCRUD to compare with, aiosqlite for its async
# sessions, with greenlet), and Debian's wrk to load servers (installed where missing and
# root). Usage: bash scripts/bench.sh bench/bench_fastcrud.py [arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
QUORVALEN_VENV=${QUORVALEN_BENCH_VENV:-.venv-bench}
export QUORVALEN_VENV
source scripts/install.sh

install_package test
if ! "$venv/bin/python" -c 'import fastcrud, aiosqlite, greenlet' 2>/dev/null; then
    "$venv/bin/python" -m pip install --quiet "fastcrud==0.23.0" "aiosqlite>=0.20" greenlet
fi
if ! command -v wrk >/dev/null && [ "$(id -u)" = 0 ]; then
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq wrk; } >/dev/null \
        || echo "bench.sh: could not install wrk; the uvicorn runs are skipped" >&2
fi
exec "$venv/bin/python" "$@"
