# Shared helpers for the musl build scripts; sourced, never run directly.

# Everything that outlives one run (the interpreter, the zig toolchain, test
# wheels) lives outside the clone, so fresh clones on the same machine reuse it.
home_dir=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}
musl_cache_root=${QUORVALEN_MUSL_CACHE:-${XDG_CACHE_HOME:-$home_dir/.cache}/quorvalen}

# The toolchain pin: zig's bundled libc++ and musl are what the extension links.
zig_version=${QUORVALEN_ZIG_VERSION:-0.17.0}

# The tag of every line printed; a script that sources this file for
# another check sets its own first.
log_tag=${log_tag:-musl}

log() {
    printf '[%s] %s\n' "$log_tag" "$*" >&2
}

die() {
    printf '[%s] error: %s\n' "$log_tag" "$*" >&2
    exit 1
}

as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null 2>&1; then
        sudo "$@"
    else
        die "need root for: $*"
    fi
}

apt_updated=0
apt_update_once() {
    if [ "$apt_updated" -eq 0 ]; then
        log "apt-get update"
        as_root apt-get update -q >/dev/null
        apt_updated=1
    fi
}

# Installs the Debian packages that are not installed yet.
ensure_debian_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        if [[ "$(dpkg-query -W -f '${Status}' "$pkg" 2>/dev/null || true)" != *"ok installed"* ]]; then
            missing+=("$pkg")
        fi
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        apt_update_once
        log "installing ${missing[*]}"
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >/dev/null
    fi
}

debian_source_listed() {
    local listing
    listing=$(apt-cache showsrc "$1" 2>/dev/null || true)
    [[ "$listing" == *.orig.tar.* ]]
}

# Source packages come from Debian's source archive; a machine set up for
# binary packages only gets deb-src entries mirroring its deb entries.
ensure_debian_sources() {
    if debian_source_listed "$1"; then
        return
    fi
    local list=/etc/apt/sources.list.d/quorvalen-deb-src.sources
    local f wrote=0 tmp
    tmp=$(mktemp)
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        [ "$f" = "$list" ] && continue
        if grep -q '^URIs:.*debian' "$f"; then
            sed -e 's/^Types:.*$/Types: deb-src/' "$f" >>"$tmp"
            printf '\n' >>"$tmp"
            wrote=1
        fi
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        if grep -qE '^deb [^#]*debian' "$f"; then
            # One-line format: stanzas become deb822 for a single new file.
            grep -E '^deb [^#]*debian' "$f" | grep -v '\[' | while read -r _ uri suite components; do
                printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: %s\n\n' "$uri" "$suite" "$components"
            done >>"$tmp"
            wrote=1
        fi
    done
    [ "$wrote" -eq 1 ] || die "no Debian package sources found to mirror as deb-src"
    log "adding deb-src entries ($list)"
    as_root install -m 0644 "$tmp" "$list"
    rm -f "$tmp"
    apt_updated=0
    apt_update_once
    debian_source_listed "$1" || die "Debian's source archive does not list $1"
}

# Extra options for apt-cache and apt-get source (see use_debian_suite).
debian_apt_options=()

# Points the source look-ups that follow at one other Debian suite, through
# an apt configuration of its own in the cache: the machine's package
# sources stay as they are. Without an argument, back to the machine's own.
use_debian_suite() {
    if [ $# -eq 0 ]; then
        debian_apt_options=()
        return
    fi
    local suite=$1 uri dir
    dir=$musl_cache_root/apt-$suite
    uri=$(grep -hoE '^URIs:.*' /etc/apt/sources.list.d/*.sources 2>/dev/null \
        | awk '{print $2}' | grep -E '/debian/?$' | head -n 1 || true)
    [ -n "$uri" ] || uri=$(grep -hoE '^deb +[^ []+/debian/? ' /etc/apt/sources.list 2>/dev/null \
        | awk '{print $2}' | head -n 1 || true)
    [ -n "$uri" ] || die "no Debian archive among the machine's package sources"
    mkdir -p "$dir/sources" "$dir/lists/partial" "$dir/cache"
    printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
        "$uri" "$suite" >"$dir/sources/$suite.sources"
    # apt's download user cannot reach a folder under root's home.
    debian_apt_options=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$dir/sources"
        -o "Dir::State::Lists=$dir/lists" -o "Dir::Cache=$dir/cache" -o APT::Sandbox::User=root)
    log "apt-get update ($suite sources)"
    as_root apt-get "${debian_apt_options[@]}" update -q >/dev/null
}

# Name and SHA-256 of a source package's upstream tarball, as "NAME SHA256".
# Every Debian revision of one upstream release shares this tarball.
debian_orig_tarball() {
    apt-cache "${debian_apt_options[@]}" showsrc "$1" \
        | awk '/^Checksums-Sha256:/ {in_sums=1; next}
               /^[^ ]/ {in_sums=0}
               in_sums && $3 ~ /\.orig\.tar\./ && !found {print $3, $1; found=1}'
}

# Downloads a source package's upstream tarball into the current directory
# and checks it against the archive's checksum. Some mirrors list a suite's
# sources but do not serve them (security suites often), so each listed
# revision is tried until one brings the upstream tarball, which every
# revision of one release shares.
fetch_debian_orig_tarball() {
    local package=$1 name sha version
    read -r name sha < <(debian_orig_tarball "$package")
    [ -n "${name:-}" ] || die "no upstream tarball listed for $package"
    for version in $(apt-cache "${debian_apt_options[@]}" showsrc "$package" | awk '/^Version:/ {print $2}'); do
        [ -f "$name" ] && break
        apt-get "${debian_apt_options[@]}" source --download-only -q "$package=$version" >>apt-source-"$package".log 2>&1 || true
    done
    if [ ! -f "$name" ]; then
        tail -n 5 apt-source-"$package".log >&2
        die "apt-get source did not fetch $name"
    fi
    echo "$sha  $name" | sha256sum --check --quiet - >&2 || die "$name: checksum mismatch"
    printf '%s\n' "$name"
}

# zig bundles clang, libc++, musl and stubs of glibc's releases back to
# 2.17; it comes as a PyPI wheel, installed with the machine's own Python
# into the cache. Sets zig to the program and exports zig's global cache,
# which is in the cache too.
ensure_zig() {
    local zig_home=$musl_cache_root/zig-$zig_version host_python=${PYTHON:-python3} pip_log
    zig=$zig_home/ziglang/zig
    mkdir -p "$musl_cache_root"
    exec 9>"$musl_cache_root/zig.lock"
    flock 9
    if [ ! -x "$zig" ]; then
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
}

# Writes PATH, a C++ compiler that is zig's for one target (x86_64-linux-musl,
# x86_64-linux-gnu.2.17, ...) with the extra flags given: CMake takes the
# compiler as one program, so the target goes in a wrapper. After ensure_zig.
#
# Usage: write_zig_cxx PATH TARGET [EXTRA_FLAGS]
write_zig_cxx() {
    local path=$1 target=$2 flags=${3:-}
    mkdir -p "$(dirname "$path")"
    cat >"$path" <<EOF
#!/bin/sh
exec "$zig" c++ -target $target $flags "\$@"
EOF
    chmod +x "$path"
}
