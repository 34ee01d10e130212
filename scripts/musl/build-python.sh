#!/usr/bin/env bash
# Builds a CPython 3.11 linked against musl libc, once, into the cache outside
# the clone, and prints its install prefix. Later runs find the finished
# build (keyed by the upstream release and this recipe) and return at once.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=common.sh
. "$here/common.sh"

# The stdlib modules the native tests and pytest need, checked after the
# build (_ctypes and _testcapi included: some tests call the C API directly
# or drive the allocation-failure hooks). Modules that need libraries Debian
# ships for glibc only (ssl, sqlite3, readline, ...) are left out.
required_modules="_posixsubprocess select math _struct zlib binascii _json
_datetime _decimal _pickle _random _socket _bisect _heapq array itertools
faulthandler _tracemalloc _thread fcntl mmap pyexpat unicodedata _sha256
_ctypes _testcapi"

ensure_debian_packages musl-tools gcc make dpkg-dev binutils
ensure_debian_sources python3.11
ensure_debian_sources zlib

read -r python_tarball _ < <(debian_orig_tarball python3.11)
python_version=${python_tarball#python3.11_}
python_version=${python_version%.orig.tar.*}
case "$python_version" in
3.11.*) ;;
*) die "unexpected CPython release in Debian's archive: $python_tarball" ;;
esac

# The build is redone when this recipe changes (its comments aside).
recipe=$(grep -v '^[[:space:]]*#' "$here/build-python.sh" | sha256sum | cut -c1-16)
prefix=$musl_cache_root/musl-python-$python_version
stamp=$prefix/.quorvalen-recipe
interpreter=$prefix/bin/python3.11

mkdir -p "$musl_cache_root"
# Concurrent runs on one machine wait for a single build instead of racing.
exec 9>"$musl_cache_root/musl-python.lock"
flock 9

if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$recipe" ] && [ -x "$interpreter" ]; then
    log "cached musl CPython $python_version at $prefix"
    printf '%s\n' "$prefix"
    exit 0
fi

log "building musl CPython $python_version into $prefix"
work=$(mktemp -d "$musl_cache_root/musl-python-build.XXXXXX")
# A failed build leaves its logs behind for inspection.
trap 'status=$?; if [ $status -eq 0 ]; then rm -rf "$work"; else log "build logs kept in $work"; fi' EXIT
cd "$work"

jobs=$(nproc 2>/dev/null || echo 2)
rm -rf "$prefix"
mkdir -p "$prefix/libexec"

# musl-gcc is gcc with musl's headers and startup files, but asked for its
# multiarch it answers with gcc's glibc triplet: configure rejects that
# against the musl triplet it detects, and setup.py would add that triplet's
# glibc header and library directories to every module's build. The wrapper
# answers with the musl triplet instead.
cc_wrapper=$prefix/libexec/musl-cc
cat >"$cc_wrapper" <<EOF
#!/bin/sh
for arg in "\$@"; do
    case "\$arg" in
    -print-multiarch | --print-multiarch)
        echo $(uname -m)-linux-musl
        exit 0
        ;;
    esac
done
exec musl-gcc "\$@"
EOF
chmod +x "$cc_wrapper"

# zlib and libffi (for ctypes, which some native tests use to make calls the
# Python syntax cannot express) are built static and position-independent,
# so that they end up inside the interpreter's modules: Debian has no musl
# builds of them.
deps=$work/deps
build_static_dependency() {
    local package=$1 tarball
    shift
    tarball=$(fetch_debian_orig_tarball "$package")
    mkdir "$package-src"
    tar -xf "$tarball" -C "$package-src" --strip-components=1
    if ! (
        cd "$package-src"
        CC=$cc_wrapper CFLAGS="-O2 -fPIC" ./configure --prefix="$deps" "$@"
        make -j"$jobs"
        make install
    ) >"$work/$package-build.log" 2>&1; then
        tail -n 30 "$work/$package-build.log" >&2
        die "$package build failed"
    fi
}
build_static_dependency zlib --static
build_static_dependency libffi --disable-shared --enable-static --with-pic \
    --disable-docs --disable-multi-os-directory --disable-exec-static-tramp

python_tarball=$(fetch_debian_orig_tarball python3.11)
mkdir python-src
tar -xf "$python_tarball" -C python-src --strip-components=1
cd python-src
# CC in the environment also reaches config.guess, which then reports a musl
# build system; that is what gives the interpreter its musl platform triplet
# and so its extension suffix. Host pkg-config files describe glibc builds:
# only the dependencies built above may be found. setup.py, which builds
# _ctypes, looks for libffi in the CPPFLAGS and LDFLAGS directories.
if ! CC=$cc_wrapper \
    PKG_CONFIG_LIBDIR="$deps/lib/pkgconfig" PKG_CONFIG_PATH= \
    ZLIB_CFLAGS="-I$deps/include" ZLIB_LIBS="-L$deps/lib -lz" \
    LIBFFI_CFLAGS="-I$deps/include" LIBFFI_LIBS="-L$deps/lib -lffi" \
    CPPFLAGS="-I$deps/include" LDFLAGS="-L$deps/lib" \
    ./configure --prefix="$prefix" --without-ensurepip \
    >"$work/python-configure.log" 2>&1; then
    tail -n 40 "$work/python-configure.log" >&2
    die "CPython configure failed"
fi
if ! make -j"$jobs" >"$work/python-make.log" 2>&1; then
    tail -n 60 "$work/python-make.log" >&2
    die "CPython build failed"
fi
if ! make install >"$work/python-install.log" 2>&1; then
    tail -n 40 "$work/python-install.log" >&2
    die "CPython install failed"
fi
# What is left out, for the record.
sed -n '/necessary bits to build these optional modules/,/^$/p' "$work/python-make.log" >&2

# The interpreter must be a musl program with the musl extension suffix, and
# must have every module the test run needs.
[[ "$(readelf -l "$interpreter")" == *"interpreter: /lib/ld-musl-x86_64.so.1"* ]] \
    || die "$interpreter is not loaded by musl's dynamic loader"
suffix=$("$interpreter" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
[ "$suffix" = .cpython-311-x86_64-linux-musl.so ] \
    || die "musl CPython has extension suffix $suffix"
# shellcheck disable=SC2086
"$interpreter" -c 'import importlib, sys
missing = []
for name in sys.argv[1:]:
    try:
        importlib.import_module(name)
    except ImportError as exc:
        missing.append(f"{name} ({exc})")
if missing:
    sys.exit("musl CPython lacks: " + ", ".join(missing))
' $required_modules

printf '%s\n' "$recipe" >"$stamp"
log "musl CPython $python_version ready"
printf '%s\n' "$prefix"
