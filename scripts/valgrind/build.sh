#!/usr/bin/env bash
# Builds table_controller for the valgrind tools: the release build's flags
# plus debug information (-g changes no generated code, so the callgrind
# counts are those of the shipped build), unstripped, in its own build
# directory.  Prints the path of the library.
set -euo pipefail
cd "$(dirname "$0")/../.."

build_dir=${QUORVALEN_VALGRIND_BUILD_DIR:-build/valgrind}
python=${PYTHON:-python3.11}
python_executable=$("$python" -c 'import os, sys; print(os.path.realpath(sys.executable))')

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g \
    -DPython_EXECUTABLE="$python_executable" >"$build_dir.configure.log" 2>&1 \
    || { cat "$build_dir.configure.log" >&2; exit 1; }
cmake --build "$build_dir" -j 2 >"$build_dir.build.log" 2>&1 || { cat "$build_dir.build.log" >&2; exit 1; }
find "$build_dir" -maxdepth 1 -name 'table_controller*.so' -print -quit
