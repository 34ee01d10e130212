#!/usr/bin/env bash
# Builds a CPython 3.11 linked against musl libc, once, into the cache outside
# the clone, and prints its install prefix. Later runs find the finished
# build (keyed by the upstream release and this recipe) and return at once.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=common.sh
. "$here/common.sh"

# The stdlib modules the test suite and the framework need, checked after
# the build: _ctypes and _testcapi because some native tests call the C API
# directly or drive the allocation-failure hooks; _sqlite3 for the embedded
# database; _ssl and _hashlib because httpx, anyio, uvicorn and PyJWT import
# ssl when they load, TLS or not. Modules nothing here uses (readline,
# curses, dbm, lzma, bz2, tkinter, ...) are left out.
required_modules="_posixsubprocess select math _struct zlib binascii _json
_datetime _decimal _pickle _random _socket _bisect _heapq array itertools
faulthandler _tracemalloc _thread fcntl mmap pyexpat unicodedata _sha256
_ctypes _testcapi _sqlite3 _ssl _hashlib"

# tclsh generates SQLite's single-file source; perl runs OpenSSL's Configure.
ensure_debian_packages gcc make dpkg-dev binutils tcl perl linux-libc-dev
for package in python3.11 zlib libffi sqlite3 openssl; do
    ensure_debian_sources "$package"
done

read -r python_tarball _ < <(debian_orig_tarball python3.11)
python_version=${python_tarball#python3.11_}
python_version=${python_version%.orig.tar.*}
case "$python_version" in
3.11.*) ;;
*) die "unexpected CPython release in Debian's archive: $python_tarball" ;;
esac

# A build is kept per upstream release and recipe (its comments aside):
# clones whose recipes differ share the cache without undoing each other.
recipe=$(grep -v '^[[:space:]]*#' "$here/build-python.sh" | sha256sum | cut -c1-16)
prefix=$musl_cache_root/musl-python-$python_version-$recipe
stamp=$prefix/.quorvalen-recipe
interpreter=$prefix/bin/python3.11

mkdir -p "$musl_cache_root"
# Concurrent runs of one recipe wait for a single build instead of racing.
exec 9>"$prefix.lock"
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

# musl itself comes from a Debian release newer than this machine's: the
# musllinux wheels on PyPI are built on current Alpine, whose toolchain packs
# relocations in the DT_RELR form, which musl loads from 1.2.4 on (Debian 12
# has 1.2.3, and dies loading psycopg-binary's bundled libraries). It is
# installed inside the interpreter's prefix; its dynamic loader is the one
# everything built here names, and its musl-gcc wrapper builds the rest.
musl_suite=trixie
musl_home=$prefix/musl
use_debian_suite "$musl_suite"
musl_tarball=$(fetch_debian_orig_tarball musl)
use_debian_suite
mkdir musl-src
tar -xf "$musl_tarball" -C musl-src --strip-components=1
log "building musl ($musl_tarball)"
if ! (cd musl-src \
    && CC=gcc ./configure --prefix="$musl_home" --syslibdir="$musl_home/lib" --enable-wrapper=gcc \
    && make -j"$jobs" \
    && make install) >"$work/musl-build.log" 2>&1; then
    tail -n 30 "$work/musl-build.log" >&2
    die "musl build failed"
fi
musl_loader=$musl_home/lib/ld-musl-$(uname -m).so.1
[ -x "$musl_loader" ] || die "musl installed no dynamic loader at $musl_loader"

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
exec "$musl_home/bin/musl-gcc" "\$@"
EOF
chmod +x "$cc_wrapper"

# The libraries behind the modules above are built static and
# position-independent from Debian's sources, so that they end up inside the
# interpreter's extension modules: Debian has no musl builds of them. libffi
# is for ctypes, which some native tests use to make calls the Python syntax
# cannot express.
deps=$work/deps
# Builds one library in its unpacked upstream source tree with the function
# named second (given the remaining arguments), its output in a log.
build_static_dependency() {
    local package=$1 tarball
    shift
    tarball=$(fetch_debian_orig_tarball "$package")
    mkdir "$package-src"
    tar -xf "$tarball" -C "$package-src" --strip-components=1
    log "building $package for musl"
    if ! (cd "$package-src" && "$@") >"$work/$package-build.log" 2>&1; then
        tail -n 30 "$work/$package-build.log" >&2
        die "$package build failed"
    fi
}

autoconf_build() {
    CC=$cc_wrapper CFLAGS="-O2 -fPIC" ./configure --prefix="$deps" "$@" \
        && make -j"$jobs" \
        && make install
}

# Debian's compile-time options of its libsqlite3 that an application can
# notice, so that the embedded database behaves as on the glibc machines.
sqlite_options="-DSQLITE_ENABLE_COLUMN_METADATA -DSQLITE_ENABLE_FTS3
-DSQLITE_ENABLE_FTS3_PARENTHESIS -DSQLITE_ENABLE_FTS5 -DSQLITE_ENABLE_RTREE=1
-DSQLITE_SOUNDEX=1 -DSQLITE_ENABLE_UNLOCK_NOTIFY -DSQLITE_ENABLE_DBSTAT_VTAB
-DSQLITE_SECURE_DELETE -DSQLITE_ENABLE_UPDATE_DELETE_LIMIT=1
-DSQLITE_LIKE_DOESNT_MATCH_BLOBS -DSQLITE_MAX_SCHEMA_RETRY=25
-DSQLITE_ENABLE_PREUPDATE_HOOK -DSQLITE_ENABLE_STMTVTAB
-DSQLITE_MAX_VARIABLE_NUMBER=250000"
# configure still matters for the library alone: it detects usleep and the
# like, without which a busy wait sleeps in whole seconds. Only the library
# is built (the shell would want readline).
sqlite_build() {
    CC=$cc_wrapper CFLAGS="-O2 -fPIC $(echo $sqlite_options)" ./configure \
        --prefix="$deps" --disable-shared --enable-static --disable-tcl \
        --disable-readline --disable-editline \
        && make -j"$jobs" libsqlite3.la \
        && mkdir -p "$deps/lib" "$deps/include" \
        && cp .libs/libsqlite3.a "$deps/lib/" \
        && cp sqlite3.h sqlite3ext.h "$deps/include/"
}

# Libraries only (no programs, tests or loadable modules). The afalg engine
# is left out; the secure heap wants the kernel's own headers, which musl-gcc
# does not see: they come from Debian's copy (libc-independent, as Alpine's
# linux-headers). The certificate directory is where Debian and Alpine keep
# theirs.
kernel_headers=$work/kernel-headers
mkdir -p "$kernel_headers"
ln -s /usr/include/linux /usr/include/asm-generic "$kernel_headers/"
ln -s "/usr/include/$(gcc -print-multiarch)/asm" "$kernel_headers/asm"
openssl_build() {
    CC=$cc_wrapper ./Configure linux-x86_64 --prefix="$deps" --libdir=lib \
        --openssldir=/etc/ssl no-shared no-module no-engine no-afalgeng \
        no-tests -O2 -fPIC -isystem "$kernel_headers" \
        && make -j"$jobs" build_libs \
        && make install_dev
}

build_static_dependency zlib autoconf_build --static
build_static_dependency libffi autoconf_build --disable-shared --enable-static \
    --with-pic --disable-docs --disable-multi-os-directory --disable-exec-static-tramp
build_static_dependency sqlite3 sqlite_build
build_static_dependency openssl openssl_build

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
    LIBSQLITE3_CFLAGS="-I$deps/include" LIBSQLITE3_LIBS="-L$deps/lib -lsqlite3" \
    CPPFLAGS="-I$deps/include" LDFLAGS="-L$deps/lib" \
    ./configure --prefix="$prefix" --without-ensurepip --with-openssl="$deps" \
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
[[ "$(readelf -l "$interpreter")" == *"interpreter: $musl_loader]"* ]] \
    || die "$interpreter is not loaded by the dynamic loader of the musl built here"
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
