#!/usr/bin/env bash
# Builds the native table_controller module for x86_64-linux-musl against the
# musl interpreter's headers, through the project's own CMakeLists.txt (same
# sources, same flags as the normal build) with zig's C++ compiler, and
# prints the path of the built extension.
#
# Usage: build-extension.sh MUSL_PYTHON_PREFIX BUILD_DIR [EXTRA_COMPILER_FLAGS]
# (extra flags are for diagnostic builds only, e.g. sanitizers)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=common.sh
. "$here/common.sh"

[ $# -eq 2 ] || [ $# -eq 3 ] || die "usage: $0 MUSL_PYTHON_PREFIX BUILD_DIR [EXTRA_COMPILER_FLAGS]"
python_prefix=$1
build_dir=$2
extra_flags=${3:-}
repo=$(cd "$here/../.." && pwd)
interpreter=$python_prefix/bin/python3.11
[ -x "$interpreter" ] || die "no musl interpreter at $interpreter"

ensure_debian_packages cmake make

# zig bundles clang, libc++ and musl; it comes as a PyPI wheel, installed
# with the machine's own Python into the cache.
zig_home=$musl_cache_root/zig-$zig_version
zig=$zig_home/ziglang/zig
mkdir -p "$musl_cache_root"
exec 9>"$musl_cache_root/zig.lock"
flock 9
if [ ! -x "$zig" ]; then
    host_python=${PYTHON:-python3}
    log "installing ziglang $zig_version"
    rm -rf "$zig_home"
    mkdir -p "$musl_cache_root/logs"
    pip_log=$musl_cache_root/logs/ziglang.log
    if ! "$host_python" -m pip install --disable-pip-version-check --no-deps \
        --root-user-action=ignore --only-binary :all: --target "$zig_home" \
        "ziglang==$zig_version" >"$pip_log" 2>&1; then
        cat "$pip_log" >&2
        die "could not install ziglang $zig_version"
    fi
fi
flock -u 9
[ "$("$zig" version)" = "$zig_version" ] || die "$zig is not zig $zig_version"
export ZIG_GLOBAL_CACHE_DIR=$musl_cache_root/zig-cache
export ZIG_LOCAL_CACHE_DIR=$build_dir/zig-local-cache

# CMake takes the compiler as one program, so the target goes in a wrapper.
mkdir -p "$build_dir"
cxx=$build_dir/zig-c++-musl
cat >"$cxx" <<EOF
#!/bin/sh
exec "$zig" c++ -target x86_64-linux-musl $extra_flags "\$@"
EOF
chmod +x "$cxx"

# FindPython asks the interpreter itself for its headers and extension
# suffix; the musl interpreter runs on this machine, so it answers for musl.
# Release is what scikit-build-core builds by default.
if ! cmake -S "$repo" -B "$build_dir/cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_COMPILER="$cxx" \
    -DPython_EXECUTABLE="$interpreter" \
    -DPython_FIND_STRATEGY=LOCATION \
    -DPython_FIND_REGISTRY=NEVER \
    >"$build_dir/cmake-configure.log" 2>&1; then
    cat "$build_dir/cmake-configure.log" >&2
    die "CMake configure failed"
fi
if ! cmake --build "$build_dir/cmake" --verbose -j"$(nproc 2>/dev/null || echo 2)" \
    >"$build_dir/cmake-build.log" 2>&1; then
    cat "$build_dir/cmake-build.log" >&2
    die "build of the native module failed"
fi
# Compiler warnings are findings about the C++ under musl: show them.
grep -E 'warning:' "$build_dir/cmake-build.log" >&2 || true

suffix=$("$interpreter" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
extension=$build_dir/cmake/table_controller$suffix
[ -f "$extension" ] || die "expected $extension after the build"
printf '%s\n' "$extension"
