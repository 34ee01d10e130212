"""Databases and applications for the generic-controller tests.

Every test that takes ``database_url`` runs once on an SQLite file and once on
the PostgreSQL server named by QUORVALEN_TEST_POSTGRES_URL (skipped when that
is unset; scripts/postgres.sh starts one).
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator
from pathlib import Path

import pytest
from fastapi.testclient import TestClient

from generic_models import Shelf
from generic_support import book_app, prepare_registry
from quorvalen_core.db import DatabaseRegistry, set_database_registry

POSTGRES_URL_ENV = "QUORVALEN_TEST_POSTGRES_URL"


@pytest.fixture(params=["sqlite", "postgresql"])
def database_url(request: pytest.FixtureRequest, tmp_path: Path) -> str:
    if request.param == "sqlite":
        return f"sqlite:///{tmp_path / 'generic.db'}"
    url = os.environ.get(POSTGRES_URL_ENV)
    if not url:
        pytest.skip(f"{POSTGRES_URL_ENV} is not set (scripts/postgres.sh starts a server)")
    return url


@pytest.fixture
def registry(database_url: str) -> Iterator[DatabaseRegistry]:
    registry = DatabaseRegistry(default_url=database_url)
    prepare_registry(registry)
    previous = set_database_registry(registry)
    yield registry
    set_database_registry(previous)
    registry.reset()


@pytest.fixture
def client(registry: DatabaseRegistry) -> Iterator[TestClient]:
    with TestClient(book_app()) as client:
        yield client


@pytest.fixture
def add_shelf(registry: DatabaseRegistry) -> Callable[[str], int]:
    def add(label: str) -> int:
        with registry.session() as session:
            shelf = Shelf(label=label)
            session.add(shelf)
            session.commit()
            assert shelf.id is not None
            return shelf.id

    return add
