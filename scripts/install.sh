# Sourced by the scripts that need the package installed: creates the virtual
# environment $venv (QUORVALEN_VENV, default .venv) when it is missing and
# builds and installs the package into it with the extras given as $1.
venv=${QUORVALEN_VENV:-.venv}

install_package() {
    local python=${PYTHON:-python3.11}
    if [ ! -x "$venv/bin/python" ]; then
        "$python" -m venv "$venv"
    fi
    "$venv/bin/python" -m pip install --quiet --upgrade pip
    "$venv/bin/python" -m pip install --quiet ".[$1]"
}
