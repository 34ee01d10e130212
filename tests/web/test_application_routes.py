"""Routes an application adds to guarded routers: guarded unless it says otherwise, and reachable beside /{id}."""

from __future__ import annotations

from typing import Any

import pytest
from fastapi import FastAPI
from fastapi.testclient import TestClient

from attack_support import Shop, account_app
from quorvalen_core.auth import AuthRouter
from quorvalen_core.controller.table_controller import AuthController
from quorvalen_core.web import RouterConfig
from attack_support import Account, AccountResponse


def application() -> FastAPI:
    """The account table's router with routes of the application's own, and a router of reports."""
    router = AuthController.create(model_class=Account, response_schema=AccountResponse, schema_name="shop", table_name="account")

    @router.get("/stats")
    def stats() -> dict[str, str]:
        return {"route": "stats"}

    @router.get("/export/all")
    def export_all() -> dict[str, str]:
        return {"route": "export"}

    @router.get("/health", auth=False)
    def health() -> dict[str, str]:
        return {"route": "health"}

    router.add_guarded_route("/plain", lambda: {"route": "plain"}, methods=["GET"], config=RouterConfig())
    reports = AuthRouter(prefix="/v1/reports", auth_role="sales")

    @reports.get("/summary")
    def summary() -> dict[str, str]:
        return {"route": "summary"}

    app = FastAPI()
    app.include_router(router)
    app.include_router(reports)
    return app


# (path, caller: None for no token, status); alice holds the router's default role, vera may read accounts
ROUTES = [
    ("/v1/shop/account/stats", None, 401),
    ("/v1/shop/account/stats", "alice", 200),  # the default role may use every route of its router
    ("/v1/shop/account/stats", "vera", 403),  # her grants name read and query, not stats
    ("/v1/shop/account/export/all", None, 401),
    ("/v1/shop/account/export/all", "alice", 200),
    ("/v1/shop/account/health", None, 200),
    ("/v1/shop/account/plain", None, 401),
    ("/v1/reports/summary", None, 401),
    ("/v1/reports/summary", "vera", 403),
    ("/v1/reports/summary", "sam", 200),  # holds sales
    ("/v1/shop/account/{id}", "vera", 200),  # the generated item route still answers
    ("/v1/shop/account/x", "vera", 422),
]


@pytest.mark.parametrize(("path", "caller", "status"), ROUTES)
def test_an_applications_routes_are_guarded_unless_public(account_shop: Shop, path: str, caller: str | None, status: int) -> None:
    account_shop.service.policies().assign_role("sam", "sales")
    headers: dict[str, Any] = {} if caller is None else account_shop.token(caller)
    with TestClient(application()) as client:
        response = client.get(path.format(id=account_shop.add_account()), headers=headers)
    assert response.status_code == status, response.text
    if status == 200 and "{id}" not in path:
        assert response.json()["route"] == path.rsplit("/", 2)[-2 if path.endswith("/all") else -1]
