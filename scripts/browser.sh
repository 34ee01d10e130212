#!/usr/bin/env bash
# Installs what the browser tests need, where it is missing: Debian's headless
# Chromium and a font with CJK glyphs (the default operation summaries are
# Chinese). Quick when both are there; without root it only says what is
# missing, and the tests marked `browser` skip themselves.
#
#   bash scripts/browser.sh
set -euo pipefail

log() { echo "browser.sh: $*" >&2; }

packages=(chromium fonts-wqy-zenhei)
missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null 2>&1; then
    log "missing ${missing[*]} (apt-get install ${missing[*]}); the browser tests will be skipped"
    exit 0
fi
log "installing ${missing[*]} from the distribution's packages"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q >&2
apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
