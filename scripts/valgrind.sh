#!/usr/bin/env bash
# Runs scripts/valgrind/exercise.py, which drives every path of the native
# table_controller module, under valgrind's memcheck, and fails on any memory
# error or on a block lost by the module (scripts/valgrind/check_report.py).
#
# PYTHONMALLOC=malloc puts every Python object in its own malloc block, so
# memcheck sees a use after free or an overrun of an object; pymalloc would
# hide them inside its pools and report its own deliberate reads instead.
#
# Usage: bash scripts/valgrind.sh [rounds]
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3.11}
rounds=${1:-3}
report_dir=${QUORVALEN_VALGRIND_REPORT_DIR:-build/valgrind-reports}

if ! command -v valgrind >/dev/null; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "valgrind: not installed (apt-get install valgrind)" >&2
        exit 1
    fi
    apt-get update -q >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -q valgrind >/dev/null
fi
extension=$(bash scripts/valgrind/build.sh)
# The interpreter binary itself: a pyenv shim is a shell script.
python_executable=$("$python" -c 'import os, sys; print(os.path.realpath(sys.executable))')

mkdir -p "$report_dir"
report="$report_dir/memcheck.xml"
rm -f "$report"
PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect \
    --num-callers=40 --track-origins=yes \
    --suppressions=scripts/valgrind/python.supp \
    --xml=yes --xml-file="$report" --log-file="$report_dir/memcheck.log" \
    "$python_executable" -I scripts/valgrind/exercise.py "$extension" "$rounds"
"$python" scripts/valgrind/check_report.py "$report"
