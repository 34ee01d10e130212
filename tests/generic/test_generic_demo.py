"""The demo application, run as the program scripts/demo.sh serves."""

from __future__ import annotations

import os
import re
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import httpx

from quorvalen_core.auth import AuthService, AuthSettings
from quorvalen_core.db import DatabaseRegistry
from quorvalen_core.demo.app import ORDERS, PRODUCTS, seed

PRODUCTS_PATH = "/v1/shop/product"
ORDERS_PATH = "/v1/shop/order"


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port: int = sock.getsockname()[1]
        return port


def test_demo_program_serves_the_embedded_database_and_stops_on_ctrl_c(tmp_path: Path) -> None:
    # Seeded once here: the program's own seeding must leave the data as it is.
    databases = DatabaseRegistry(default_url=f"sqlite:///{tmp_path / 'quorvalen.db'}")
    seed(databases, AuthService(settings=AuthSettings(secret_key="demo-test-secret-0123456789abcdefgh"), databases=databases))
    databases.reset()
    port = free_port()
    environ = {k: v for k, v in os.environ.items() if not k.startswith("QUORVALEN_")}
    process = subprocess.Popen(
        [sys.executable, "-m", "quorvalen_core.demo", "--port", str(port)],
        cwd=tmp_path, env=environ, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
    )
    banner: list[str] = []
    try:
        assert process.stdout is not None
        # The banner with the tokens comes before the server starts.
        for line in process.stdout:
            banner.append(line)
            if "Ctrl-C" in line:
                break
        text = "".join(banner)
        base = f"http://127.0.0.1:{port}"
        # The resolved path of the database, in the folder the demo ran in.
        assert f"in sqlite:///{tmp_path / 'quorvalen.db'}" in text and f"{base}/docs" in text
        alice, bob = ({"Authorization": f"Bearer {token}"} for token in re.findall(r"^ {4}(ey\S+)$", text, flags=re.M))
        deadline = time.monotonic() + 60
        while True:
            try:
                httpx.get(f"{base}/docs", timeout=2)
                break
            except httpx.TransportError:
                assert process.poll() is None, "the demo exited before serving"
                assert time.monotonic() < deadline, "the demo did not start serving"
                time.sleep(0.2)
        page = httpx.get(f"{base}{PRODUCTS_PATH}", params={"sort": "-price", "limit": 2}, headers=bob).json()["data"]
        assert page["total"] == len(PRODUCTS)  # seeded twice, stored once
        assert [item["sku"] for item in page["items"]] == ["POT-001", "CUP-001"]
        assert httpx.get(f"{base}{PRODUCTS_PATH}/1", headers=bob).json()["message"] == "商品获取成功"
        new = {"sku": "MAT-001", "name": "Bamboo mat", "price": 990}
        assert httpx.post(f"{base}{PRODUCTS_PATH}", json=new, headers=bob).status_code == 403
        created = httpx.post(f"{base}{PRODUCTS_PATH}", json=new, headers=alice)
        assert created.status_code == 201 and created.json()["data"]["stock"] == 0
        assert httpx.post(f"{base}{PRODUCTS_PATH}", json=new, headers=alice).status_code == 409
        assert httpx.get(f"{base}{PRODUCTS_PATH}").status_code == 401
        # Orders belong to their customer: alice sees all of them, bob his own.
        assert "alice (default role shop) sees every order, bob sees his own" in text
        totals = {name: httpx.get(f"{base}{ORDERS_PATH}", headers=who).json()["data"]["total"] for name, who in (("alice", alice), ("bob", bob))}
        assert totals == {"alice": len(ORDERS), "bob": sum(order[0] == "bob" for order in ORDERS)}
        placed = httpx.post(f"{base}{ORDERS_PATH}", json={"product_id": 2, "customer": "carol"}, headers=bob).json()["data"]
        assert placed["customer"] == "bob"
        carols = next(item["id"] for item in httpx.get(f"{base}{ORDERS_PATH}", headers=alice).json()["data"]["items"] if item["customer"] == "carol")
        assert httpx.get(f"{base}{ORDERS_PATH}/{carols}", headers=bob).status_code == 404
        embedded = httpx.get(f"{base}{ORDERS_PATH}/{placed['id']}", params={"include": "product"}, headers=bob).json()["data"]
        assert embedded["product"]["name"] == "Oolong tea"
        assert httpx.get(f"{base}/docs").status_code == 200
        process.send_signal(signal.SIGINT)
        output, _ = process.communicate(timeout=30)
    finally:
        if process.poll() is None:
            process.kill()
            process.communicate()
    assert process.returncode == 0, "".join(banner) + output
    assert "Shutting down" in output
