#!/usr/bin/env bash
# The suite against the lowest versions pyproject.toml declares of the web
# stack (FastAPI, Starlette, Pydantic, SQLModel, SQLAlchemy) and of the token
# libraries (PyJWT, httpx), in a virtual environment of its own
# (.venv-lowest); the other dependencies are the newest. scripts/test.sh runs
# it against the newest of everything.
# Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/install.sh

install_package test
"$venv/bin/python" -m pip install --quiet "uv>=0.4"
uv="$venv/bin/uv"
lowest=.venv-lowest
rm -rf "$lowest"
"$uv" venv --quiet --python "$venv/bin/python" "$lowest"
"$uv" pip install --quiet --python "$lowest/bin/python" -r pyproject.toml --extra test
# Their declared lower bounds, Starlette's the lowest FastAPI's allows.
mapfile -t stack < <("$venv/bin/python" - <<'PY'
import re, tomllib
with open("pyproject.toml", "rb") as file:
    declared = tomllib.load(file)["project"]["dependencies"]
for requirement in declared:
    name = re.split(r"[<>=!~\[ ;]", requirement, maxsplit=1)[0].lower()
    if name in {"fastapi", "pydantic", "sqlmodel", "sqlalchemy", "pyjwt", "httpx"}:
        print(requirement)
print("starlette")
PY
)
# --upgrade: without it the newest, installed above, satisfy the bounds and stay.
"$uv" pip install --quiet --python "$lowest/bin/python" --resolution lowest-direct --upgrade "${stack[@]}"
"$venv/bin/python" -m pip wheel --quiet --no-deps -w build/lowest-wheel .
"$uv" pip install --quiet --python "$lowest/bin/python" --no-deps --reinstall build/lowest-wheel/quorvalen_core-*.whl
"$uv" pip list --python "$lowest/bin/python" 2>/dev/null | grep -i -E '^(fastapi|starlette|pydantic|sqlmodel|sqlalchemy|pyjwt|httpx) ' >&2
exec "$lowest/bin/python" -m pytest -p no:cacheprovider -m 'not browser' "$@"
