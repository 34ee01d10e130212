"""Starts the demo application under this interpreter and checks that it
serves: a public request (the OpenAPI document), a guarded one (the product
query, with a token for the demo's user alice) and the guard turning away a
caller without a token. Then stops it with Ctrl-C, as a user would.

Run by the interpreter of the environment the package is installed in. The
demo gets a fresh SQLite file in a temporary folder and a signing key made
for this run; it listens on a free loopback port. Exits non-zero with the
demo's output on any failure.
"""

from __future__ import annotations

import http.client
import json
import os
import secrets
import signal
import socket
import subprocess
import sys
import tempfile
import time
from typing import Any

from quorvalen_core.access.settings import AuthSettings
from quorvalen_core.access.tokens import create_access_token
from quorvalen_core.demo.app import PRODUCTS, SCHEMA_NAME, TABLE_NAME

PRODUCTS_PATH = f"/v1/{SCHEMA_NAME}/{TABLE_NAME}"
START_SECONDS = 60
STOP_SECONDS = 30


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port: int = sock.getsockname()[1]
        return port


def get(port: int, path: str, token: str | None = None) -> tuple[int, Any]:
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        headers = {"Authorization": f"Bearer {token}"} if token else {}
        connection.request("GET", path, headers=headers)
        response = connection.getresponse()
        return response.status, json.loads(response.read() or b"null")
    finally:
        connection.close()


def wait_until_serving(process: subprocess.Popen[str], port: int) -> None:
    deadline = time.monotonic() + START_SECONDS
    while True:
        try:
            get(port, "/openapi.json")
            return
        except OSError:
            if process.poll() is not None:
                raise AssertionError("the demo exited before serving") from None
            if time.monotonic() > deadline:
                raise AssertionError(f"the demo did not serve within {START_SECONDS}s") from None
            time.sleep(0.2)


def check(process: subprocess.Popen[str], port: int, token: str) -> list[str]:
    wait_until_serving(process, port)
    status, document = get(port, "/openapi.json")
    assert status == 200 and PRODUCTS_PATH in document["paths"], f"public /openapi.json: {status}"
    status, body = get(port, f"{PRODUCTS_PATH}?sort=-price&limit=2", token)
    assert status == 200, f"guarded {PRODUCTS_PATH} with a token: {status} {body}"
    page = body["data"]
    assert page["total"] == len(PRODUCTS) and len(page["items"]) == 2, f"guarded {PRODUCTS_PATH}: {page}"
    status, body = get(port, PRODUCTS_PATH)
    assert status == 401, f"guarded {PRODUCTS_PATH} without a token: {status} {body}"
    return [
        f"public GET /openapi.json: 200, {len(document['paths'])} paths",
        f"guarded GET {PRODUCTS_PATH} as alice: 200, {page['total']} products",
        f"guarded GET {PRODUCTS_PATH} without a token: 401",
    ]


def main() -> int:
    secret = secrets.token_urlsafe(32)
    environ = {k: v for k, v in os.environ.items() if not k.startswith("QUORVALEN_")}
    environ["QUORVALEN_AUTH_SECRET_KEY"] = secret
    token = create_access_token("alice", AuthSettings.from_env(environ))
    port = free_port()
    with tempfile.TemporaryDirectory(prefix="quorvalen-demo-") as workdir:
        process = subprocess.Popen(
            [sys.executable, "-m", "quorvalen_core.demo", "--port", str(port)],
            cwd=workdir, env=environ, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
        )
        try:
            results = check(process, port, token)
            process.send_signal(signal.SIGINT)
            output, _ = process.communicate(timeout=STOP_SECONDS)
            assert process.returncode == 0, f"the demo exited with {process.returncode} on Ctrl-C"
        except (AssertionError, OSError, subprocess.TimeoutExpired, KeyError, ValueError) as exc:
            process.kill()
            output, _ = process.communicate()
            print(output, file=sys.stderr)
            print(f"[musl] demo check failed: {exc}", file=sys.stderr)
            return 1
    for line in results:
        print(f"[musl] demo: {line}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
