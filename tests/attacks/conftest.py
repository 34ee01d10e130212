"""Fixtures of the attack tests: the account application on SQLite and PostgreSQL."""

from __future__ import annotations

from collections.abc import Iterator

import pytest
from fastapi.testclient import TestClient
from sqlmodel import SQLModel

from attack_support import SECRET_KEY, Account, Shop, account_app
from quorvalen_core.auth import AuthService, AuthSettings, set_auth_service
from quorvalen_core.db import DatabaseRegistry, set_database_registry




@pytest.fixture
def shop(database_url: str) -> Iterator[Shop]:
    databases = DatabaseRegistry(default_url=database_url, environ={})
    engine = databases.engine()
    SQLModel.metadata.drop_all(engine, tables=[Account.__table__])  # type: ignore[attr-defined]
    SQLModel.metadata.create_all(engine, tables=[Account.__table__])  # type: ignore[attr-defined]
    service = AuthService(settings=AuthSettings(secret_key=SECRET_KEY, policy_refresh_seconds=0), databases=databases)
    previous_databases = set_database_registry(databases)
    previous_service = set_auth_service(service)
    policies = service.policies()
    policies.adapter.remove_matching("p", 0, [""])
    policies.adapter.remove_matching("g", 0, [""])
    policies.adapter.remove_matching("d", 0, [""])
    policies.reload()
    policies.assign_roles([("alice", "shop"), ("vera", "viewer")])
    policies.grant_many([("viewer", "shop.account", "read"), ("viewer", "shop.account", "query")])
    try:
        with TestClient(account_app()) as client:
            yield Shop(databases, service, client)
    finally:
        service.close()
        set_auth_service(previous_service)
        set_database_registry(previous_databases)
        SQLModel.metadata.drop_all(engine, tables=[Account.__table__])  # type: ignore[attr-defined]
        databases.reset()
