"""Applications built with ``AuthController.create`` for the permission tests.

``table_controller.GenericController`` is replaced by ``EndpointPerOperation``,
which registers one small endpoint per operation through
``AuthRouter.add_guarded_route``, so that these tests exercise the router and
not the CRUD endpoints.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from datetime import timedelta
from pathlib import Path
from typing import Any

import pytest
from fastapi import Depends, FastAPI
from fastapi.testclient import TestClient

from quorvalen_core.auth import AuthService, AuthSettings, current_subject, set_auth_service
from quorvalen_core.auth.auth_router import AuthRouter
from quorvalen_core.controller import table_controller
from quorvalen_core.web.operations import OPERATIONS as OPERATION_TABLE
from quorvalen_core.controller.router_config import RouterConfig
from quorvalen_core.db import DatabaseRegistry, set_database_registry

# Each operation's method, on a path of its own.
OPERATIONS = {operation.key: (operation.method, f"/{operation.key}") for operation in OPERATION_TABLE}


def echo(operation: str) -> Callable[..., Any]:
    """An endpoint answering with its operation and the caller's subject."""

    async def endpoint(subject: str | None = Depends(current_subject)) -> dict[str, Any]:
        return {"operation": operation, "subject": subject}

    return endpoint


class EndpointPerOperation:
    """Stands in for GenericController: one echoing endpoint per operation."""

    def __init__(self, *, auth_router: AuthRouter, **kwargs: Any) -> None:
        for operation, (method, path) in OPERATIONS.items():
            config: RouterConfig = kwargs[f"{operation}_router"]
            auth_router.add_guarded_route(path, echo(operation), methods=[method], config=config)


class Table:
    """Stands in for a table model and its schemas; create() only passes them on."""


class FakeClock:
    def __init__(self) -> None:
        self.now = 1000.0

    def __call__(self) -> float:
        return self.now


@dataclass
class Harness:
    service: AuthService
    databases: DatabaseRegistry
    settings: AuthSettings
    clock: FakeClock
    app: FastAPI | None = None
    router: AuthRouter | None = None
    echo = staticmethod(echo)

    def client(self, **create_kwargs: Any) -> TestClient:
        create_kwargs.setdefault("schema_name", "sales")
        create_kwargs.setdefault("table_name", "invoice")
        router = table_controller.AuthController.create(model_class=Table, response_schema=Table, **create_kwargs)
        assert isinstance(router, AuthRouter)
        self.router, self.app = router, FastAPI()
        self.app.include_router(router)
        return TestClient(self.app)

    def token(self, subject: str, expires_in: timedelta | None = None) -> dict[str, str]:
        return {"Authorization": f"Bearer {self.service.create_access_token(subject, expires_in=expires_in)}"}

    def policies(self, name: str | None = None):  # type: ignore[no-untyped-def]
        return self.service.policies(name)

    def wait_for_refresh(self, name: str | None = None, timeout: float = 10.0) -> None:
        """Wait until the background refresh of a store has finished."""
        store = self.policies(name)
        deadline = time.monotonic() + timeout
        while store._refreshing.locked() or any(t.name == "policy-refresh" for t in threading.enumerate()):
            assert time.monotonic() < deadline, "the policy refresh did not finish"
            time.sleep(0.01)


@pytest.fixture
def harness(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Iterator[Harness]:
    clock = FakeClock()
    databases = DatabaseRegistry(default_url=f"sqlite:///{tmp_path / 'app.db'}", environ={})
    databases.configure("authdb", f"sqlite:///{tmp_path / 'auth.db'}")
    previous_databases = set_database_registry(databases)
    monkeypatch.setattr(table_controller, "GenericController", EndpointPerOperation)
    settings = AuthSettings(secret_key="test-secret-0123456789-abcdefghijklmnop", policy_refresh_seconds=3600)
    service = AuthService(settings=settings, databases=databases, clock=clock)
    previous_service = set_auth_service(service)
    yield Harness(service=service, databases=databases, settings=settings, clock=clock)
    set_auth_service(previous_service)
    service.close()
    set_database_registry(previous_databases)
    databases.reset()
