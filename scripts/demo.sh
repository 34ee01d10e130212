#!/usr/bin/env bash
# Sets up a virtual environment, builds and installs the package, and serves
# the demo application (a shop's product table, users alice and bob with
# printed tokens, OpenAPI docs at http://127.0.0.1:8000/docs) on the embedded
# SQLite database ./quorvalen.db. Ctrl-C stops it.
# Arguments go to the demo: --host, --port.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/install.sh

install_package demo
exec "$venv/bin/python" -m quorvalen_core.demo "$@"
