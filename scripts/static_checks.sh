#!/usr/bin/env bash
# The package's static checks, in the test environment (scripts/install.sh
# builds it): the import-layer contracts of pyproject.toml and mypy --strict.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/install.sh

install_package test
# The checks read the sources under src/, not the installed copy.
PYTHONPATH=src "$venv/bin/lint-imports"
"$venv/bin/mypy" src/quorvalen_core
