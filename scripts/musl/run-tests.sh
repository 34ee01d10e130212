#!/usr/bin/env bash
# Runs tests under the musl interpreter's virtual environment (made by
# install-package.sh: the package, its extension and its dependencies).
#
# Usage: run-tests.sh VENV_PYTHON SCOPE [PYTEST_ARGS...]
#   SCOPE "suite": every test under tests/, against the installed package
#   (SQLite, and PostgreSQL when QUORVALEN_TEST_POSTGRES_URL is set)
#   SCOPE a file: the native module's tests (tests/native, tests/hardening)
#   against that build of the extension instead of the installed one
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

# Nothing from the machine's own Python may leak in.
unset PYTHONPATH PYTHONHOME
if [ "$scope" = suite ]; then
    unset QUORVALEN_NATIVE_EXTENSION
    test_paths=(tests)
else
    [ -f "$scope" ] || die "no extension file at $scope"
    export QUORVALEN_NATIVE_EXTENSION
    QUORVALEN_NATIVE_EXTENSION=$(cd "$(dirname "$scope")" && pwd)/$(basename "$scope")
    test_paths=()
    for path in tests/native tests/hardening; do
        [ -d "$repo/$path" ] && test_paths+=("$path")
    done
    [ "${#test_paths[@]}" -gt 0 ] || die "no native test directory in $repo"
fi

cd "$repo"
# The cache provider stays off: the clone's pytest cache belongs to the
# normal suite. Every Python allocation goes to musl's allocator, which
# checks its heap metadata on each free and aborts on a double or foreign
# free, with the interpreter's debug hooks on top (guard bytes, allocator
# domain checks): faults that glibc's allocator and pymalloc would let pass.
export PYTHONMALLOC=${PYTHONMALLOC:-malloc_debug}
exec "$python" -m pytest -p no:cacheprovider "${test_paths[@]}" "$@"
