"""The shop of rows_support on SQLite and PostgreSQL, with its callers.

alice holds the router's default role ``shop``; bob and carol hold ``buyer``,
which may create, read, update, delete and query orders, customers and lines
(but not see every row, deleted rows, or restore).
"""

from __future__ import annotations

from collections.abc import Iterator

import pytest
from fastapi.testclient import TestClient

from quorvalen_core.auth import AuthService, AuthSettings, set_auth_service
from quorvalen_core.db import DatabaseRegistry, set_database_registry
from rows_support import SECRET_KEY, Shop, fresh_tables, shop_app

BUYER_GRANTS = [
    ("buyer", f"shop.{table}", action)
    for table in ("order", "customer", "line")
    for action in ("create", "read", "update", "delete", "query")
]


@pytest.fixture
def shop(database_url: str) -> Iterator[Shop]:
    databases = DatabaseRegistry(default_url=database_url, environ={})
    service = AuthService(settings=AuthSettings(secret_key=SECRET_KEY, policy_refresh_seconds=3600), databases=databases)
    previous_databases = set_database_registry(databases)
    previous_service = set_auth_service(service)
    tables = fresh_tables(databases)
    next(tables)
    policies = service.policies()
    for ptype in ("p", "g", "g2", "d", "r"):
        policies.adapter.remove_matching(ptype, 0, [""])
    policies.reload()
    policies.assign_roles([("alice", "shop"), ("bob", "buyer"), ("carol", "buyer")])
    policies.grant_many(BUYER_GRANTS)
    try:
        with TestClient(shop_app()) as client:
            yield Shop(databases, service, client)
    finally:
        service.close()
        set_auth_service(previous_service)
        set_database_registry(previous_databases)
        next(tables, None)
        databases.reset()
