#!/usr/bin/env bash
# Runs the native module's tests under the musl interpreter against a built
# extension file. The tests bring their own stand-in collaborators; only the
# test tools are put on the interpreter's path, as wheels unpacked with the
# machine's own Python (nothing compiled for glibc can be loaded there, and
# the web stack is not needed).
#
# Usage: run-tests.sh MUSL_PYTHON_PREFIX EXTENSION [PYTEST_ARGS...]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=common.sh
. "$here/common.sh"

[ $# -ge 2 ] || die "usage: $0 MUSL_PYTHON_PREFIX EXTENSION [PYTEST_ARGS...]"
python_prefix=$1
extension=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
shift 2
repo=$(cd "$here/../.." && pwd)
interpreter=$python_prefix/bin/python3.11
[ -x "$interpreter" ] || die "no musl interpreter at $interpreter"
[ -f "$extension" ] || die "no extension file at $extension"

# The test tools, resolved for the musl interpreter's platform: pure-Python
# wheels, plus musllinux wheels where a tool ships compiled code (hypothesis
# does). The unpacked set is reused while this list is unchanged.
test_requirements=(pytest hypothesis)
wheel_platform=(--platform musllinux_1_2_x86_64 --python-version 3.11 --implementation cp --abi cp311)
key=$(printf '%s\n' "${test_requirements[@]}" "${wheel_platform[@]}" | sha256sum | cut -c1-16)
site=$musl_cache_root/musl-test-site-$key

mkdir -p "$musl_cache_root"
exec 9>"$musl_cache_root/musl-test-site.lock"
flock 9
if [ ! -f "$site/.complete" ]; then
    host_python=${PYTHON:-python3}
    log "unpacking test tools (${test_requirements[*]}) for musl into $site"
    rm -rf "$site"
    mkdir -p "$musl_cache_root/logs"
    pip_log=$musl_cache_root/logs/musl-test-site.log
    if ! "$host_python" -m pip install --disable-pip-version-check --no-compile \
        --root-user-action=ignore --only-binary :all: "${wheel_platform[@]}" \
        --target "$site" "${test_requirements[@]}" >"$pip_log" 2>&1; then
        cat "$pip_log" >&2
        die "could not fetch the test tools"
    fi
    glibc_builds=$(find "$site" -name '*-linux-gnu.so' -print)
    if [ -n "$glibc_builds" ]; then
        rm -rf "$site"
        die "test tools brought code built for glibc: $glibc_builds"
    fi
    touch "$site/.complete"
fi
flock -u 9

cd "$repo"
# PYTHONPATH carries the test tools; the extension is named explicitly, so
# the tests never look for an installed quorvalen_core. The cache provider
# stays off: the clone's pytest cache belongs to the normal suite.
# Every Python allocation goes to musl's allocator, which checks its heap
# metadata on each free and aborts on a double or foreign free, with the
# interpreter's debug hooks on top (guard bytes, allocator domain checks):
# faults that glibc's allocator and pymalloc would let pass unseen.
export PYTHONPATH=$site
export QUORVALEN_NATIVE_EXTENSION=$extension
export PYTHONMALLOC=${PYTHONMALLOC:-malloc_debug}
# The native module's test directories: both run on stand-ins alone.
test_paths=()
for path in tests/native tests/hardening; do
    [ -d "$path" ] && test_paths+=("$path")
done
[ "${#test_paths[@]}" -gt 0 ] || die "no native test directory in $repo"
exec "$interpreter" -m pytest -p no:cacheprovider "${test_paths[@]}" "$@"
