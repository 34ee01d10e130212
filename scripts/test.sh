#!/usr/bin/env bash
# Sets up a virtual environment, builds and installs the package with its test
# dependencies, installs the browser the browser tests drive (where missing and
# root), and runs the test suite. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/install.sh

install_package test
bash scripts/browser.sh
exec "$venv/bin/python" -m pytest "$@"
