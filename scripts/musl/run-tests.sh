#!/usr/bin/env bash
# Runs tests under the musl interpreter's virtual environment (made by
# install-package.sh: the package, its extension and its dependencies).
#
# Usage: run-tests.sh VENV_PYTHON SCOPE [PYTEST_ARGS...]
#   SCOPE "suite": every test under tests/ (or the test paths among the
#   arguments), against the installed package (SQLite, and PostgreSQL when
#   QUORVALEN_TEST_POSTGRES_URL is set)
#   SCOPE a file: the native module's tests (tests/native, tests/hardening)
#   against that build of the extension instead of the installed one; test
#   paths among the arguments are left out
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=common.sh
. "$here/common.sh"

[ $# -ge 2 ] || die "usage: $0 VENV_PYTHON suite|EXTENSION [PYTEST_ARGS...]"
python=$1
scope=$2
shift 2
repo=$(cd "$here/../.." && pwd)
[ -x "$python" ] || die "no musl environment at $python"
python=$(realpath -s "$python")
if [ "$scope" != suite ]; then
    [ -f "$scope" ] || die "no extension file at $scope"
    scope=$(realpath "$scope")
fi

cd "$repo"
# Arguments naming existing files or folders (node ids included) are test
# paths; the rest are options, passed on in their order.
given_paths=()
options=()
for arg in "$@"; do
    if [[ "$arg" != -* && -e "${arg%%::*}" ]]; then
        given_paths+=("$arg")
    else
        options+=("$arg")
    fi
done

# Nothing from the machine's own Python may leak in.
unset PYTHONPATH PYTHONHOME
if [ "$scope" = suite ]; then
    unset QUORVALEN_NATIVE_EXTENSION
    test_paths=(tests)
    [ "${#given_paths[@]}" -eq 0 ] || test_paths=("${given_paths[@]}")
else
    export QUORVALEN_NATIVE_EXTENSION=$scope
    test_paths=()
    for path in tests/native tests/hardening; do
        [ -d "$path" ] && test_paths+=("$path")
    done
    [ "${#test_paths[@]}" -gt 0 ] || die "no native test directory in $repo"
fi

# The cache provider stays off: the clone's pytest cache belongs to the
# normal suite. Every Python allocation goes to musl's allocator, which
# checks its heap metadata on each free and aborts on a double or foreign
# free, with the interpreter's debug hooks on top (guard bytes, allocator
# domain checks): faults that glibc's allocator and pymalloc would let pass.
export PYTHONMALLOC=${PYTHONMALLOC:-malloc_debug}
exec "$python" -m pytest -p no:cacheprovider "${test_paths[@]}" "${options[@]}"
