#!/usr/bin/env bash
# Installs the package's declared dependencies (pyproject.toml: [project]
# dependencies and the extras below) for the musl interpreter, from PyPI's
# musllinux and pure-Python wheels only, into a folder in the cache, and
# prints that folder. The musl interpreter has no pip: the machine's own pip
# resolves for the musl platform and unpacks the wheels. The folder is
# reused while the requirement list and the platform are unchanged.
#
# Usage: fetch-dependencies.sh MUSL_PYTHON_PREFIX
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=common.sh
. "$here/common.sh"

[ $# -eq 1 ] || die "usage: $0 MUSL_PYTHON_PREFIX"
interpreter=$1/bin/python3.11
repo=$(cd "$here/../.." && pwd)
[ -x "$interpreter" ] || die "no musl interpreter at $interpreter"

# The test suite's tools and the demo's server come with their extras.
extras=(test demo)
mapfile -t requirements < <("$interpreter" "$here/wheel_layout.py" requirements "$repo/pyproject.toml" "${extras[@]}")
[ "${#requirements[@]}" -gt 0 ] || die "pyproject.toml declares no requirements"
# musl 1.2 runs wheels tagged for musl 1.1 as well; pip takes each tag
# literally, so both are named.
wheel_platform=(--platform musllinux_1_2_x86_64 --platform musllinux_1_1_x86_64
    --python-version 3.11 --implementation cp --abi cp311)
key=$(printf '%s\n' "${requirements[@]}" "${wheel_platform[@]}" | sha256sum | cut -c1-16)
site=$musl_cache_root/musl-site-$key

mkdir -p "$musl_cache_root"
exec 9>"$musl_cache_root/musl-site.lock"
flock 9
if [ -f "$site/.complete" ]; then
    log "cached musllinux wheels at $site"
    printf '%s\n' "$site"
    exit 0
fi

host_python=${PYTHON:-python3}
log "installing ${#requirements[@]} requirements from musllinux and pure-Python wheels into $site"
rm -rf "$site"
mkdir -p "$musl_cache_root/logs"
pip_log=$musl_cache_root/logs/musl-site.log
if ! "$host_python" -m pip install --disable-pip-version-check --no-compile \
    --root-user-action=ignore --only-binary :all: "${wheel_platform[@]}" \
    --target "$site" "${requirements[@]}" >"$pip_log" 2>&1; then
    cat "$pip_log" >&2
    rm -rf "$site"
    # Which of the declared requirements has no wheel for musl at all: pip's
    # own message names it only when no constraint is in play.
    missing=()
    for requirement in "${requirements[@]}"; do
        if ! "$host_python" -m pip download --disable-pip-version-check --quiet --no-deps \
            --only-binary :all: "${wheel_platform[@]}" --dest "$site.probe" "$requirement" \
            >/dev/null 2>&1; then
            missing+=("$requirement")
        fi
    done
    rm -rf "$site.probe"
    if [ "${#missing[@]}" -gt 0 ]; then
        die "no musllinux or pure-Python wheel for CPython 3.11 satisfies: ${missing[*]} (a package that ships only glibc or source builds cannot be installed for musl)"
    fi
    die "the requirements resolve to no set of musllinux and pure-Python wheels (a dependency of theirs lacks one, or versions conflict: pip's output above)"
fi
glibc_builds=$(find "$site" -name '*-linux-gnu.so' -print;
    grep -l '^Tag: .*linux_' "$site"/*.dist-info/WHEEL | xargs -r grep -L '^Tag: .*musllinux_' || true)
if [ -n "$glibc_builds" ]; then
    rm -rf "$site"
    die "dependencies brought code built for glibc: $glibc_builds"
fi
# Compiled once by the musl interpreter, so that the test run's many
# interpreters (subprocesses, the demo) do not compile the web stack anew.
# A file meant for another Python version may not compile: it stays source.
"$interpreter" -m compileall -q -j 0 "$site" >"$musl_cache_root/logs/musl-site-compile.log" 2>&1 \
    || log "some files did not compile ($musl_cache_root/logs/musl-site-compile.log)"
touch "$site/.complete"
printf '%s\n' "$site"
