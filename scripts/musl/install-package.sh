#!/usr/bin/env bash
# Makes a virtual environment of the musl interpreter with the package
# installed as its wheel would install it: the Python sources laid out from
# pyproject.toml, the musl build of the extension put in place by CMake's own
# install step, and the cached dependency folder on the path. Prints the
# environment's interpreter. The environment is made anew each run (it takes
# a second); the dependencies are not copied.
#
# Usage: install-package.sh MUSL_PYTHON_PREFIX DEPENDENCY_FOLDER EXTENSION_BUILD_DIR VENV_DIR
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=common.sh
. "$here/common.sh"

[ $# -eq 4 ] || die "usage: $0 MUSL_PYTHON_PREFIX DEPENDENCY_FOLDER EXTENSION_BUILD_DIR VENV_DIR"
interpreter=$1/bin/python3.11
dependencies=$2
extension_build=$3
venv=$4
repo=$(cd "$here/../.." && pwd)
[ -x "$interpreter" ] || die "no musl interpreter at $interpreter"
[ -f "$dependencies/.complete" ] || die "no complete dependency folder at $dependencies"
[ -f "$extension_build/cmake/cmake_install.cmake" ] || die "no CMake build of the extension in $extension_build/cmake"

rm -rf "$venv"
"$interpreter" -m venv --without-pip "$venv"
python=$venv/bin/python
site_packages=$("$python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
printf '%s\n' "$dependencies" >"$site_packages/quorvalen-musl-dependencies.pth"

if ! cmake --install "$extension_build/cmake" --prefix "$site_packages" >"$venv/cmake-install.log" 2>&1; then
    cat "$venv/cmake-install.log" >&2
    die "CMake's install step failed"
fi
"$python" "$here/wheel_layout.py" install "$repo/pyproject.toml" "$site_packages" >/dev/null
"$python" -m compileall -q "$site_packages" >/dev/null || die "the package's sources do not compile"

# The package must now come from the environment, with the musl extension.
"$python" - "$site_packages" <<'EOF' >&2 || die "the installed package does not load from $venv"
import importlib.metadata
import sys
from pathlib import Path

from quorvalen_core.controller import table_controller

site = Path(sys.argv[1]).resolve()
native = Path(table_controller.__file__).resolve()
assert native.is_relative_to(site), f"table_controller loaded from {native}, not from {site}"
assert native.name.endswith("-linux-musl.so"), f"table_controller is {native.name}"
print(f"[musl] quorvalen_core {importlib.metadata.version('quorvalen_core')} installed, native module {native.name}")
EOF
printf '%s\n' "$python"
