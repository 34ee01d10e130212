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

ensure_zig
export ZIG_LOCAL_CACHE_DIR=$build_dir/zig-local-cache

mkdir -p "$build_dir"
cxx=$build_dir/zig-c++-musl
write_zig_cxx "$cxx" x86_64-linux-musl "$extra_flags"

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
