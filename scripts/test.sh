#!/usr/bin/env bash
# Sets up a virtual environment, builds and installs the package with its test
# dependencies, and runs the test suite. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/install.sh

install_package test
exec "$venv/bin/python" -m pytest "$@"
