#!/usr/bin/env bash
# Builds table_controller with AddressSanitizer and UndefinedBehaviorSanitizer
# into its own virtual environment and runs the test suite against it.
#
# The interpreter itself is not instrumented, so the sanitizer runtimes are
# preloaded, and PYTHONMALLOC=malloc sends every Python object through the
# sanitized allocator: a use after free of an object the module released too
# early is reported instead of landing in a pymalloc pool.  LeakSanitizer is
# off because the interpreter never frees much of what it allocates at start
# up; leaks are checked by tests/hardening (reference counts, tracemalloc) and
# by scripts/valgrind.sh.
#
# Any sanitizer report fails the run, also one from a subprocess whose exit
# status a test did not look at: ASan reports go to files under the log
# directory, which must stay empty, and the output is searched for reports.
#
# Extra arguments replace the default test selection, e.g.
#   bash scripts/sanitize.sh tests/hardening -x
set -euo pipefail
cd "$(dirname "$0")/.."

venv=${QUORVALEN_ASAN_VENV:-.venv-asan}
build_dir=${QUORVALEN_ASAN_BUILD_DIR:-build/asan}
python=${PYTHON:-python3.11}
log_dir=${QUORVALEN_ASAN_LOG_DIR:-$build_dir/reports}

if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet --upgrade pip
fi
# The package with its test dependencies (as the project lists them now),
# then the package alone again, forced, so that the sanitized extension
# always matches the sources.  The build directory keeps the second build
# incremental.
sanitize_build=(-C cmake.define.QUORVALEN_SANITIZE=ON -C "build-dir=$build_dir" -C install.strip=false)
"$venv/bin/python" -m pip install --quiet ".[test]" "${sanitize_build[@]}"
"$venv/bin/python" -m pip install --quiet --no-deps --force-reinstall . "${sanitize_build[@]}"

extension=$("$venv/bin/python" -c 'import sys; sys.path.insert(0, "tests/support")
from native_support import installed_extension; print(installed_extension())')
if ! readelf -d "$extension" | grep -q 'libasan'; then
    echo "sanitize: $extension is not linked against libasan" >&2
    exit 1
fi
# The module's asserts on its invariants are compiled in (no NDEBUG).
if ! nm -D --undefined-only "$extension" | grep -q '__assert_fail'; then
    echo "sanitize: $extension has no live asserts (built with NDEBUG)" >&2
    exit 1
fi

asan_runtime=$(g++ -print-file-name=libasan.so)
ubsan_runtime=$(g++ -print-file-name=libubsan.so)
for runtime in "$asan_runtime" "$ubsan_runtime"; do
    if [ ! -e "$runtime" ]; then
        echo "sanitize: sanitizer runtime $runtime not found" >&2
        exit 1
    fi
done

rm -rf "$log_dir"
mkdir -p "$log_dir"
log_dir=$(cd "$log_dir" && pwd)

if [ "$#" -eq 0 ]; then
    set -- tests/native tests/hardening tests/generic tests/auth tests/db tests/attacks
fi

# UBSan prints its reports on standard error whatever its log_path says when
# it shares the process with the ASan runtime, so the run's output is kept
# and searched as well.
output="$build_dir/pytest-under-sanitizers.log"
status=0
env \
    LD_PRELOAD="$asan_runtime $ubsan_runtime" \
    ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=0:strict_init_order=1:check_initialization_order=1:detect_stack_use_after_return=1:log_path=$log_dir/asan" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$log_dir/ubsan" \
    PYTHONMALLOC=malloc \
    QUORVALEN_NATIVE_EXTENSION="$extension" \
    "$venv/bin/python" -m pytest -p no:cacheprovider "$@" 2>&1 | tee "$output" || status=${PIPESTATUS[0]}
if grep -E -q 'runtime error:|ERROR: AddressSanitizer|SUMMARY: (Address|UndefinedBehavior)Sanitizer' "$output"; then
    grep -E -n -A20 'runtime error:|ERROR: AddressSanitizer' "$output" >&2 || true
    echo "sanitize: sanitizer reports in the test output ($output)" >&2
    exit 1
fi

reports=$(find "$log_dir" -type f | sort)
if [ -n "$reports" ]; then
    for report in $reports; do
        echo "=== sanitizer report $report" >&2
        cat "$report" >&2
    done
    echo "sanitize: sanitizer reports found" >&2
    exit 1
fi
if [ "$status" -ne 0 ]; then
    echo "sanitize: tests failed under the sanitizers (exit $status)" >&2
    exit "$status"
fi
echo "sanitize: no sanitizer reports"
