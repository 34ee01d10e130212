"""The demo application, in process and as the program scripts/demo.sh serves."""

from __future__ import annotations

import os
import re
import signal
import socket
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path

import httpx
import pytest
from fastapi.testclient import TestClient

from quorvalen_core.auth import AuthService, AuthSettings, set_auth_service
from quorvalen_core.db import DatabaseRegistry, set_database_registry
from quorvalen_core.demo.app import PRODUCTS, build_app, seed

PRODUCTS_PATH = "/v1/shop/product"


@pytest.fixture
def demo_client(tmp_path: Path) -> Iterator[TestClient]:
    databases = DatabaseRegistry(default_url=f"sqlite:///{tmp_path / 'demo.db'}")
    service = AuthService(settings=AuthSettings(secret_key="demo-test-secret-0123456789abcdefgh"), databases=databases)
    previous = (set_database_registry(databases), set_auth_service(service))
    try:
        seed(databases, service)
        users = {user.name: user for user in seed(databases, service)}  # seeding twice is harmless
        client = TestClient(build_app())
        client.headers["X-Alice"] = users["alice"].token
        client.headers["X-Bob"] = users["bob"].token
        yield client
    finally:
        set_database_registry(previous[0])
        set_auth_service(previous[1])
        databases.reset()


def bearer(client: TestClient, user: str) -> dict[str, str]:
    return {"Authorization": f"Bearer {client.headers[f'X-{user}']}"}


def test_demo_users_get_what_their_roles_allow(demo_client: TestClient) -> None:
    alice, bob = bearer(demo_client, "Alice"), bearer(demo_client, "Bob")
    page = demo_client.get(PRODUCTS_PATH, params={"sort": "-price", "limit": 2}, headers=bob).json()["data"]
    assert page["total"] == len(PRODUCTS)
    assert [item["sku"] for item in page["items"]] == ["POT-001", "CUP-001"]
    assert demo_client.get(f"{PRODUCTS_PATH}/1", headers=bob).json()["message"] == "商品获取成功"
    new = {"sku": "MAT-001", "name": "Bamboo mat", "price": "9.90"}
    assert demo_client.post(PRODUCTS_PATH, json=new, headers=bob).status_code == 403
    created = demo_client.post(PRODUCTS_PATH, json=new, headers=alice)
    assert created.status_code == 201 and created.json()["data"]["stock"] == 0
    assert demo_client.post(PRODUCTS_PATH, json=new, headers=alice).status_code == 409
    assert demo_client.get(PRODUCTS_PATH).status_code == 401
    assert demo_client.get("/docs").status_code == 200


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port: int = sock.getsockname()[1]
        return port


def test_demo_program_serves_on_the_embedded_database_and_stops_on_ctrl_c(tmp_path: Path) -> None:
    port = free_port()
    environ = {k: v for k, v in os.environ.items() if not k.startswith("QUORVALEN_")}
    process = subprocess.Popen(
        [sys.executable, "-m", "quorvalen_core.demo", "--port", str(port)],
        cwd=tmp_path,
        env=environ,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )
    banner: list[str] = []
    try:
        assert process.stdout is not None
        # The banner with the tokens comes before the server starts.
        for line in process.stdout:
            banner.append(line)
            if "Ctrl-C" in line:
                break
        tokens = re.findall(r"^ {4}(ey\S+)$", "".join(banner), flags=re.MULTILINE)
        assert len(tokens) == 2, banner
        base = f"http://127.0.0.1:{port}"
        assert f"{base}/docs" in "".join(banner)
        deadline = time.monotonic() + 60
        while True:
            try:
                response = httpx.get(
                    f"{base}{PRODUCTS_PATH}",
                    headers={"Authorization": f"Bearer {tokens[0]}"},
                    timeout=2,
                )
                break
            except httpx.TransportError:
                assert process.poll() is None, "the demo exited before serving"
                assert time.monotonic() < deadline, "the demo did not start serving"
                time.sleep(0.2)
        assert response.status_code == 200
        assert response.json()["data"]["total"] == len(PRODUCTS)
        assert httpx.get(f"{base}/docs", timeout=2).status_code == 200
        process.send_signal(signal.SIGINT)
        output, _ = process.communicate(timeout=30)
    finally:
        if process.poll() is None:
            process.kill()
            process.communicate()
    assert process.returncode == 0, "".join(banner) + output
    assert "Shutting down" in output
    assert (tmp_path / "quorvalen.db").is_file()
