"""The two shops the attack and row tests serve, on SQLite and PostgreSQL.

A pytest plugin, loaded by the suite's root conftest.  ``account_shop`` is
attack_support's guarded table with a hidden column; ``rows_shop`` is
rows_support's tables with row options.  Each gets a registry and an auth
service of its own, installed as the process-wide ones while the test runs,
and starts from empty tables and policies.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator, Mapping, Sequence
from contextlib import contextmanager
from typing import Any

import asyncio

import httpx
import pytest
from fastapi import FastAPI
from fastapi.testclient import TestClient
from sqlmodel import SQLModel

import attack_support
import rows_support
from quorvalen_core.auth import AuthService, AuthSettings, set_auth_service
from quorvalen_core.db import DatabaseRegistry, set_database_registry

POLICY_KINDS = ("p", "g", "g2", "d", "r")

# bob and carol may create, read, update, delete and query orders, customers
# and lines, but not see every row, deleted rows, or restore.
BUYER_GRANTS = [
    ("buyer", f"shop.{table}", action)
    for table in ("order", "customer", "line")
    for action in ("create", "read", "update", "delete", "query")
]


def concurrently(app: FastAPI, headers: dict[str, str], requests: Sequence[tuple[str, str, Any]]) -> list[httpx.Response]:
    """The answers to ``requests`` (method, path, JSON body) sent to ``app`` at once.

    Real threads: FastAPI runs each request's endpoint in a worker thread
    of its own.  Which one reaches the database first is left to chance.
    """

    async def send() -> list[httpx.Response]:
        transport = httpx.ASGITransport(app=app)
        async with httpx.AsyncClient(transport=transport, base_url="http://test", headers=headers) as client:
            return await asyncio.gather(*(client.request(method, path, json=body) for method, path, body in requests))

    return asyncio.run(send())


@contextmanager
def serving(
    database_url: str,
    *,
    tables: Sequence[Any],
    app: Callable[[], FastAPI],
    secret_key: str,
    refresh_seconds: float,
    roles: Sequence[tuple[str, str]],
    grants: Sequence[tuple[str, str, str]],
    environ: Mapping[str, str] | None = None,
) -> Iterator[tuple[DatabaseRegistry, AuthService, TestClient]]:
    """``app`` served over fresh ``tables`` and policies holding only ``roles`` and ``grants``."""
    databases = DatabaseRegistry(default_url=database_url, environ=environ or {})
    engine = databases.engine()
    SQLModel.metadata.drop_all(engine, tables=tables)
    SQLModel.metadata.create_all(engine, tables=tables)
    service = AuthService(settings=AuthSettings(secret_key=secret_key, policy_refresh_seconds=refresh_seconds), databases=databases)
    previous_databases = set_database_registry(databases)
    previous_service = set_auth_service(service)
    try:
        policies = service.policies()
        for ptype in POLICY_KINDS:
            policies.adapter.remove_matching(ptype, 0, [""])
        policies.reload()
        policies.assign_roles(roles)
        policies.grant_many(grants)
        with TestClient(app()) as client:
            yield databases, service, client
    finally:
        service.close()
        set_auth_service(previous_service)
        set_database_registry(previous_databases)
        SQLModel.metadata.drop_all(engine, tables=tables)
        databases.reset()


@pytest.fixture
def account_shop(database_url: str) -> Iterator[attack_support.Shop]:
    """alice holds the router's default role; vera's ``viewer`` may read and query accounts."""
    with serving_accounts(database_url) as shop:
        yield shop


@contextmanager
def serving_accounts(database_url: str, environ: Mapping[str, str] | None = None) -> Iterator[attack_support.Shop]:
    """The accounts of :func:`account_shop`, on a registry reading ``environ``."""
    with serving(
        database_url,
        environ=environ,
        tables=[attack_support.Account.__table__],  # type: ignore[attr-defined]
        app=attack_support.account_app,
        secret_key=attack_support.SECRET_KEY,
        refresh_seconds=0,
        roles=[("alice", "shop"), ("vera", "viewer")],
        grants=[("viewer", "shop.account", "read"), ("viewer", "shop.account", "query")],
    ) as (databases, service, client):
        yield attack_support.Shop(databases, service, client)


@pytest.fixture
def rows_shop(database_url: str) -> Iterator[rows_support.Shop]:
    """alice holds the router's default role ``shop``; bob and carol hold ``buyer``."""
    with serving(
        database_url,
        tables=rows_support.TABLES,
        app=rows_support.shop_app,
        secret_key=rows_support.SECRET_KEY,
        refresh_seconds=3600,
        roles=[("alice", "shop"), ("bob", "buyer"), ("carol", "buyer")],
        grants=BUYER_GRANTS,
    ) as (databases, service, client):
        yield rows_support.Shop(databases, service, client)
