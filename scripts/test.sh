#!/usr/bin/env bash
# Sets up a virtual environment, builds and installs the package with its test
# dependencies, and runs the test suite. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

venv=${QUORVALEN_VENV:-.venv}
python=${PYTHON:-python3.11}

if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip install --quiet --upgrade pip
"$venv/bin/python" -m pip install --quiet ".[test]"
exec "$venv/bin/python" -m pytest "$@"
