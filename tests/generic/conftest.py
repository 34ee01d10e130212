"""Databases and applications for the generic-controller tests.

Every test that takes ``database_url`` runs once on an SQLite file and once on
the PostgreSQL server named by QUORVALEN_TEST_POSTGRES_URL (skipped when that
is unset; scripts/postgres.sh starts one).
"""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager

import pytest
from fastapi.testclient import TestClient

from generic_support import BOOKS, BOOKS_INSERTION_ORDER, SharedSessionRegistry, add_books, book_app, prepare_registry
from quorvalen_core.db import DatabaseRegistry, set_database_registry


@contextmanager
def installed(registry: DatabaseRegistry) -> Iterator[None]:
    prepare_registry(registry)
    previous = set_database_registry(registry)
    try:
        yield
    finally:
        set_database_registry(previous)
        registry.reset()


@pytest.fixture
def registry(database_url: str) -> Iterator[DatabaseRegistry]:
    registry = DatabaseRegistry(default_url=database_url)
    with installed(registry):
        yield registry


@pytest.fixture
def shared_registry(database_url: str) -> Iterator[SharedSessionRegistry]:
    registry = SharedSessionRegistry(database_url)
    with installed(registry):
        yield registry
        if registry.shared is not None:
            registry.shared.close()


@pytest.fixture
def client(registry: DatabaseRegistry) -> Iterator[TestClient]:
    with TestClient(book_app()) as client:
        yield client


@pytest.fixture
def library(client: TestClient, registry: DatabaseRegistry) -> TestClient:
    """The book application over six books (generic_support.BOOKS)."""
    add_books(registry, [BOOKS[index] for index in BOOKS_INSERTION_ORDER])
    return client
