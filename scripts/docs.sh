#!/usr/bin/env bash
# Builds the documentation site (mkdocs.yml, docs/) in strict mode into
# build/site, with the tools pinned in docs/requirements.txt installed into a
# virtual environment of their own (QUORVALEN_DOCS_VENV, default .venv-docs;
# installed again only when the pins change), then checks that the built pages
# load nothing from another host. Any warning of the build or outside load
# fails the run.
#
#   bash scripts/docs.sh                # build and check; open build/site/index.html
#   bash scripts/docs.sh serve [ARGS]   # serve the pages on http://127.0.0.1:8001,
#                                       # rebuilt on every change (ARGS go to mkdocs serve)
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${QUORVALEN_DOCS_VENV:-.venv-docs}
stamp="$venv/.quorvalen-docs-requirements"

if [ ! -x "$venv/bin/python" ]; then
    "${PYTHON:-python3.11}" -m venv "$venv"
fi
digest=$(sha256sum docs/requirements.txt | cut -d' ' -f1)
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$digest" ]; then
    rm -f "$stamp"
    "$venv/bin/python" -m pip install --quiet -r docs/requirements.txt
    echo "$digest" > "$stamp"
fi

# The theme prints a notice about a future MkDocs release at every run.
export NO_MKDOCS_2_WARNING=1
if [ "${1:-}" = serve ]; then
    shift
    exec "$venv/bin/mkdocs" serve --strict --dev-addr 127.0.0.1:8001 "$@"
fi
"$venv/bin/mkdocs" build --strict --clean
"$venv/bin/python" scripts/check_site_assets.py build/site
