"""Applications built with ``AuthController.create`` for the permission tests.

``table_controller.GenericController`` is replaced by ``EndpointPerOperation``,
which registers one small endpoint per operation through
``AuthRouter.add_guarded_route``, so that these tests exercise the router and
not the CRUD endpoints.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from datetime import timedelta
from pathlib import Path
from typing import Any

import pytest
from fastapi import Depends, FastAPI
from fastapi.testclient import TestClient

from quorvalen_core.auth import AuthService, AuthSettings, set_auth_service
from quorvalen_core.auth.auth_router import AuthRouter
from quorvalen_core.controller import table_controller
from quorvalen_core.controller.router_config import RouterConfig
from quorvalen_core.db import DatabaseRegistry, set_database_registry

SECRET = "test-secret-0123456789-abcdefghijklmnop"
OPERATIONS = {
    "create": ("POST", "/create"),
    "update": ("PATCH", "/update"),
    "read": ("GET", "/read"),
    "delete": ("DELETE", "/delete"),
    "query": ("GET", "/query"),
}


class EndpointPerOperation:
    """Stands in for GenericController: one endpoint per operation, echoing the caller."""

    def __init__(self, *, auth_router: AuthRouter, **kwargs: Any) -> None:
        for operation, (method, path) in OPERATIONS.items():
            config: RouterConfig = kwargs[f"{operation}_router"]
            auth_router.add_guarded_route(
                path, self._endpoint(operation), methods=[method], config=config
            )

    @staticmethod
    def _endpoint(operation: str) -> Callable[..., Any]:
        from quorvalen_core.auth import current_subject

        async def endpoint(subject: str | None = Depends(current_subject)) -> dict[str, Any]:
            return {"operation": operation, "subject": subject}

        return endpoint


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
    apps: list[FastAPI] = field(default_factory=list)
    routers: list[AuthRouter] = field(default_factory=list)

    def client(self, **create_kwargs: Any) -> TestClient:
        create_kwargs.setdefault("schema_name", "sales")
        create_kwargs.setdefault("table_name", "invoice")
        router = table_controller.AuthController.create(
            model_class=Table, response_schema=Table, **create_kwargs
        )
        assert isinstance(router, AuthRouter)
        app = FastAPI()
        app.include_router(router)
        self.apps.append(app)
        self.routers.append(router)
        return TestClient(app)

    @staticmethod
    def echo(operation: str) -> Callable[..., Any]:
        return EndpointPerOperation._endpoint(operation)

    def token(self, subject: str, expires_in: timedelta | None = None) -> dict[str, str]:
        return {"Authorization": f"Bearer {self.service.create_access_token(subject, expires_in=expires_in)}"}

    def policies(self, name: str | None = None):  # type: ignore[no-untyped-def]
        return self.service.policies(name)


@pytest.fixture
def databases(tmp_path: Path) -> Iterator[DatabaseRegistry]:
    registry = DatabaseRegistry(default_url=f"sqlite:///{tmp_path / 'app.db'}", environ={})
    registry.configure("authdb", f"sqlite:///{tmp_path / 'auth.db'}")
    previous = set_database_registry(registry)
    yield registry
    set_database_registry(previous)
    registry.reset()


@pytest.fixture
def harness(databases: DatabaseRegistry, monkeypatch: pytest.MonkeyPatch) -> Iterator[Harness]:
    monkeypatch.setattr(table_controller, "GenericController", EndpointPerOperation)
    settings = AuthSettings(secret_key=SECRET, policy_refresh_seconds=3600)
    clock = FakeClock()
    service = AuthService(settings=settings, databases=databases, clock=clock)
    previous = set_auth_service(service)
    yield Harness(service=service, databases=databases, settings=settings, clock=clock)
    set_auth_service(previous)
    service.close()


