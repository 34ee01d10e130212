"""Faults another process or the database inflicts: bad policy rows, locks, outages, races."""

from __future__ import annotations

import io
import logging
import sqlite3
import threading
import time
from collections import Counter
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

import pytest
from fastapi import FastAPI
from fastapi.testclient import TestClient
from sqlalchemy import insert

from attack_support import ITEM_PATH, PREFIX, Shop
from shop_fixtures import concurrently, serving_accounts
from quorvalen_core.auth import AuthRouter
from quorvalen_core.access.adapter import casbin_policy_version, casbin_rule
from quorvalen_core.controller.router_config import RouterConfig
from quorvalen_core.access.cli import main as command_line
from quorvalen_core.access.policy import MIN_RETRY_SECONDS

ALICE = "alice"


def write_beside(shop: Shop, *rows: dict[str, Any]) -> None:
    """Rows written straight into the policy table, as another program might, and the version bumped."""
    with shop.databases.engine().begin() as connection:
        connection.execute(insert(casbin_rule), list(rows))
        connection.execute(casbin_policy_version.update().values(version=casbin_policy_version.c.version + 1))


# (rows another process writes, what they are)
BAD_ROWS = {
    "too few values": [{"ptype": "p", "v0": "viewer", "v1": "shop.account"}],
    "an unknown kind": [{"ptype": "x9", "v0": "a", "v1": "b"}],
    "a gap": [{"ptype": "g", "v0": "vera", "v1": None, "v2": "viewer"}],
    "an empty value": [{"ptype": "p", "v0": "", "v1": "shop.account", "v2": "read"}],
}


@pytest.mark.parametrize("bad", BAD_ROWS)
def test_unusable_policy_rows_are_skipped_and_a_revocation_still_holds(
    shop: Shop, bad: str, caplog: pytest.LogCaptureFixture
) -> None:
    store = shop.service.policies()
    row = shop.add_account()
    assert shop.client.get(ITEM_PATH.format(id=row), headers=shop.token("vera")).status_code == 200
    write_beside(shop, *BAD_ROWS[bad])
    store.revoke("viewer", "shop.account", "read")
    with caplog.at_level(logging.WARNING, logger="quorvalen_core.auth"):
        for _ in range(3):
            store.refresh()
            response = shop.client.get(ITEM_PATH.format(id=row), headers=shop.token("vera"))
            assert response.status_code == 403, response.text
    skipped = [record.getMessage() for record in caplog.records if "skipped" in record.getMessage()]
    assert len(skipped) == 1 and "id=" in skipped[0]
    out = io.StringIO()
    assert command_line(["--url", shop.databases.url(), "list"], out=out) == 0
    assert "unusable\tid=" in out.getvalue()


@pytest.fixture
def shop(database_url: str) -> Iterator[Shop]:
    """The accounts on a file with a rollback journal, whose lock keeps readers out (WAL's does not)."""
    with serving_accounts(database_url, {"QUORVALEN_SQLITE_JOURNAL_MODE": "delete"}) as served:
        yield served


@contextmanager
def sqlite_file_locked(shop: Shop) -> Iterator[None]:
    """Another process's exclusive lock on the SQLite file, until the block ends."""
    path = shop.databases.engine().url.database
    # Waits for a read in flight (the policy watcher's, say) to end.
    holder = sqlite3.connect(path, timeout=5, check_same_thread=False)
    holder.execute("BEGIN EXCLUSIVE")
    try:
        yield
    finally:
        holder.rollback()
        holder.close()


def sqlite_only(shop: Shop) -> None:
    if shop.databases.engine().dialect.name != "sqlite":
        pytest.skip("locks the SQLite file")


def test_a_locked_policy_database_freezes_nothing_and_keeps_the_last_policies(
    shop: Shop, caplog: pytest.LogCaptureFixture
) -> None:
    sqlite_only(shop)
    shop.databases.configure(None, shop.databases.url(), connect_args={"timeout": 0.2, "check_same_thread": False})
    # A route that needs no data: only the policies are read from the database.
    router = AuthRouter(prefix="/echo", auth_obj="shop.account")
    router.add_guarded_route("", lambda: {"ok": True}, methods=["GET"], config=RouterConfig(auth=True, auth_act="read"))
    app = FastAPI()
    app.include_router(router)
    client = TestClient(app)
    assert client.get("/echo", headers=shop.token("vera")).status_code == 200
    time.sleep(MIN_RETRY_SECONDS + 0.1)  # the next refresh is due
    answers: list[int] = []

    def requests() -> None:
        for path, headers in (("/openapi.json", {}), ("/echo", shop.token("vera")), ("/echo", shop.token("bob"))):
            answers.append(client.get(path, headers=headers).status_code)

    with caplog.at_level(logging.WARNING), sqlite_file_locked(shop):
        # Run beside the lock's holder: a request that waited for the lock
        # would not finish while the lock is held.
        worker = threading.Thread(target=requests)
        worker.start()
        worker.join(timeout=30)
        assert not worker.is_alive(), "a request waited for the locked policy database"
        for thread in threading.enumerate():
            if thread.name == "policy-refresh":
                thread.join(timeout=30)
    # Decided on the policies loaded before the lock; the refresh that found
    # the database locked was logged, without SQL.
    assert answers == [200, 200, 403]
    messages = [record.getMessage() for record in caplog.records]
    assert any("policy refresh" in message and "retrying later" in message for message in messages), messages
    assert not any("SELECT" in message for message in messages)


def test_an_unavailable_database_is_a_503_with_retry_after(shop: Shop) -> None:
    sqlite_only(shop)
    shop.databases.configure(None, shop.databases.url(), connect_args={"timeout": 0.2, "check_same_thread": False})
    # The policies are loaded on the new engine before the lock: the
    # table's own statement is what meets it, not the guard's reload.
    headers = shop.token(ALICE)
    assert shop.client.get(ITEM_PATH.format(id=shop.add_account()), headers=headers).status_code == 200
    with sqlite_file_locked(shop):
        response = shop.client.post(PREFIX, json={"display": "new"}, headers=headers)
    assert (response.status_code, response.json()) == (503, {"detail": "The database is unavailable; try again shortly", "code": "unavailable"})
    assert response.headers["Retry-After"]


def test_policies_not_loaded_yet_answer_503_until_the_database_is_back(shop: Shop) -> None:
    sqlite_only(shop)
    from quorvalen_core.auth import AuthService, set_auth_service

    row = shop.add_account()
    shop.databases.configure(None, shop.databases.url(), connect_args={"timeout": 0.2, "check_same_thread": False})
    set_auth_service(AuthService(settings=shop.service.settings, databases=shop.databases))
    headers = shop.token("vera")
    with sqlite_file_locked(shop):
        response = shop.client.get(ITEM_PATH.format(id=row), headers=headers)
        assert response.status_code == 503 and response.headers["Retry-After"], response.text
    assert shop.client.get(ITEM_PATH.format(id=row), headers=headers).status_code == 200


def test_concurrent_updates_and_deletes_of_one_row(shop: Shop) -> None:
    outcomes: Counter[tuple[str, int]] = Counter()
    for round_number in range(15):
        item = ITEM_PATH.format(id=shop.add_account(display=f"row {round_number}"))
        requests = [("PATCH", item, {"score": n}) for n in range(4)] + [("DELETE", item, None)] * 4
        responses = concurrently(shop.client.app, shop.token(ALICE), requests)  # type: ignore[arg-type]
        statuses = [(method, response.status_code) for (method, _, _), response in zip(requests, responses, strict=True)]
        outcomes.update(statuses)
        assert [status for method, status in statuses if method == "DELETE"].count(200) == 1, statuses
        assert {status for _, status in statuses} <= {200, 404}, [r.text for r in responses]
        assert shop.client.get(item, headers=shop.token(ALICE)).status_code == 404
    assert outcomes[("DELETE", 404)] == 45
