#!/usr/bin/env bash
# Builds the native table_controller module for musl (x86_64-linux-musl) and
# runs the whole framework under a musl CPython 3.11, the platform its users
# run it on.
#
#   1. builds a musl CPython 3.11 from Debian's source archive, with SQLite,
#      OpenSSL, zlib and libffi from Debian's sources linked in, once; it is
#      cached in ${XDG_CACHE_HOME:-~/.cache}/quorvalen (QUORVALEN_MUSL_CACHE)
#   2. builds the extension from the same CMakeLists.txt with zig's C++
#      compiler targeting musl, the C++ runtime linked in
#   3. installs the package's declared dependencies (pyproject.toml, with the
#      test and demo extras) from PyPI's musllinux and pure-Python wheels,
#      cached while the requirement list is unchanged
#   4. installs the package with that extension into a virtual environment
#      of the musl interpreter
#   5. runs the whole test suite there, on musl's allocator (extra arguments
#      go to pytest): SQLite, and PostgreSQL on the server named by
#      QUORVALEN_TEST_POSTGRES_URL, or on a throwaway one started for the run
#   6. checks the built file: musl suffix, no glibc dependency, every
#      undefined symbol provided by the interpreter or musl's libc
#   7. starts the demo under musl and sends it a public and a guarded request
#   8. builds the extension again with undefined-behaviour checks that trap
#      (no sanitizer runtime needed) and runs the native module's tests
#      (tests/native, tests/hardening) against that build
#
# Runs from anywhere; needs root (or sudo) on a fresh Debian machine for the
# musl toolchain, the source packages and PostgreSQL. Build output goes to
# build/musl (QUORVALEN_MUSL_BUILD_DIR).
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
musl=$repo/scripts/musl
build_dir=$(realpath -m "${QUORVALEN_MUSL_BUILD_DIR:-$repo/build/musl}")

durations=()
current_stage=""
stop_postgres=0
report_durations() {
    local status=$? line
    if [ "$stop_postgres" -eq 1 ]; then
        bash "$repo/scripts/postgres.sh" stop || true
    fi
    if [ "${#durations[@]}" -gt 0 ]; then
        printf '[musl] stage durations:\n'
        for line in "${durations[@]}"; do
            printf '[musl]   %s\n' "$line"
        done
    fi
    if [ "$status" -ne 0 ]; then
        printf '[musl] FAILED in stage: %s\n' "${current_stage:-setup}" >&2
    fi
}
trap report_durations EXIT

# Runs one stage, printing its duration; the stage's stdout goes to the file
# named first (for the value a later stage needs) or to stdout if it is "-".
run_stage() {
    local label=$1 output=$2 start end
    shift 2
    current_stage=$label
    printf '[musl] === %s\n' "$label"
    start=$(date +%s)
    if [ "$output" = - ]; then
        "$@"
    else
        "$@" >"$output"
    fi
    end=$(date +%s)
    durations+=("$(printf '%-34s %4ds' "$label" "$((end - start))")")
    printf '[musl] --- %s: %ds\n' "$label" "$((end - start))"
}

# The PostgreSQL variants of the tests need a server; .ci/run has one running.
if [ -z "${QUORVALEN_TEST_POSTGRES_URL:-}" ]; then
    printf '[musl] starting a throwaway PostgreSQL server for the run\n'
    postgres_env=$(bash "$repo/scripts/postgres.sh" start)
    eval "$postgres_env"
    stop_postgres=1
fi

mkdir -p "$build_dir/ubsan"
run_stage "1 musl CPython 3.11" "$build_dir/python-prefix" bash "$musl/build-python.sh"
python_prefix=$(tail -n 1 "$build_dir/python-prefix")

run_stage "2 extension for x86_64-linux-musl" "$build_dir/extension-path" \
    bash "$musl/build-extension.sh" "$python_prefix" "$build_dir"
extension=$(tail -n 1 "$build_dir/extension-path")
printf '[musl] built %s\n' "$extension"

run_stage "3 dependencies from musllinux wheels" "$build_dir/dependencies-path" \
    bash "$musl/fetch-dependencies.sh" "$python_prefix"
dependencies=$(tail -n 1 "$build_dir/dependencies-path")

run_stage "4 package into a musl environment" "$build_dir/venv-python" \
    bash "$musl/install-package.sh" "$python_prefix" "$dependencies" "$build_dir" "$build_dir/venv"
venv_python=$(tail -n 1 "$build_dir/venv-python")

run_stage "5 whole test suite under musl" - bash "$musl/run-tests.sh" "$venv_python" suite "$@"

run_stage "6 checks of the built file" - "$python_prefix/bin/python3.11" "$musl/check-extension.py" "$extension"

run_stage "7 demo under musl" - "$venv_python" "$musl/check-demo.py"

# A diagnostic build: each undefined-behaviour check compiles to a trap, so
# a test that reaches undefined behaviour dies on the spot.
run_stage "8a extension, UB checks trapping" "$build_dir/ubsan/extension-path" \
    bash "$musl/build-extension.sh" "$python_prefix" "$build_dir/ubsan" \
    "-fsanitize=undefined -fsanitize-trap=undefined"
run_stage "8b native tests on that build" - bash "$musl/run-tests.sh" "$venv_python" \
    "$(tail -n 1 "$build_dir/ubsan/extension-path")" "$@"
current_stage=""
printf '[musl] all stages passed\n'
