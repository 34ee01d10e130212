# Sourced by the scripts that need the package installed: creates the virtual
# environment $venv (QUORVALEN_VENV, default .venv) when it is missing and
# builds and installs the package into it with the extras given as $1.
#
# The build is skipped when the sources, the build files and the extras are
# those of the last install into this environment: a stamp in the environment
# keeps their digest. QUORVALEN_REINSTALL=1 forces the install.
venv=${QUORVALEN_VENV:-.venv}

# Digest of everything the installed package is built from (the Python
# sources, the native module's C++ sources, the build files), plus the extras.
install_digest() {
    {
        printf 'extras=%s\n' "$1"
        find src native -type f ! -name '*.pyc' ! -path '*/__pycache__/*' -print0 \
            | LC_ALL=C sort -z | xargs -0 sha256sum
        sha256sum pyproject.toml CMakeLists.txt README.md
    } | sha256sum | cut -d' ' -f1
}

install_package() {
    local python=${PYTHON:-python3.11}
    local stamp="$venv/.quorvalen-install-$1" digest
    if [ ! -x "$venv/bin/python" ]; then
        "$python" -m venv "$venv"
    fi
    digest=$(install_digest "$1")
    if [ "${QUORVALEN_REINSTALL:-0}" != 1 ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$digest" ]; then
        return 0
    fi
    rm -f "$stamp"
    "$venv/bin/python" -m pip install --quiet --upgrade pip
    "$venv/bin/python" -m pip install --quiet ".[$1]"
    echo "$digest" > "$stamp"
}
