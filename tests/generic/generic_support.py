"""Helpers shared by the generic-controller tests: databases and applications."""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

from fastapi import FastAPI
from sqlmodel import Session

from generic_models import TABLES, Book, BookCreate, BookResponse, BookUpdate
from quorvalen_core.controller.router_config import RouterConfig
from quorvalen_core.controller.table_controller import AuthController
from quorvalen_core.db import DatabaseRegistry

OPERATIONS = ("create", "update", "read", "delete", "query")


def prepare_registry(registry: DatabaseRegistry, name: str | None = None) -> None:
    engine = registry.engine(name)
    metadata = TABLES[0].metadata
    metadata.drop_all(engine, tables=TABLES)
    metadata.create_all(engine, tables=TABLES)


def public_configs(**overrides: RouterConfig | None) -> dict[str, RouterConfig | None]:
    """Route settings making every operation public, with per-operation overrides."""
    configs: dict[str, RouterConfig | None] = {
        f"{key}_router": RouterConfig(auth=False) for key in OPERATIONS
    }
    configs.update({f"{key}_router": value for key, value in overrides.items()})
    return configs


def book_app(**create_kwargs: Any) -> FastAPI:
    arguments: dict[str, Any] = {
        "model_class": Book,
        "create_schema": BookCreate,
        "update_schema": BookUpdate,
        "response_schema": BookResponse,
        "schema_name": "library",
        "table_name": "book",
        **public_configs(),
    }
    arguments.update(create_kwargs)
    app = FastAPI()
    app.include_router(AuthController.create(**arguments))
    return app


class SharedSessionRegistry(DatabaseRegistry):
    """Hands every request the same session, as an application sharing one would."""

    def __init__(self, url: str) -> None:
        super().__init__(default_url=url)
        self.shared: Session | None = None

    @contextmanager
    def session(self, name: str | None = None) -> Iterator[Session]:
        if self.shared is None:
            self.shared = Session(self.engine(name))
        yield self.shared
