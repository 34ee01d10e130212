"""RouterConfig validation and how AuthRouter turns settings into route checks."""

from __future__ import annotations

from typing import Any

import pytest
from fastapi import Depends, FastAPI, HTTPException
from fastapi.testclient import TestClient
from pydantic import ValidationError

from quorvalen_core.auth import AuthRouter, RoutePermission
from quorvalen_core.controller.router_config import RouterConfig


@pytest.mark.parametrize(
    ("field", "value"),
    [
        ("enabled", 0),
        ("enabled", "no"),
        ("auth", 1),
        ("auth_role", 5),
        ("auth_act", ["read"]),
        ("summary", b"bytes"),
        ("dependencies", ["not a Depends"]),
        ("color", "blue"),
    ],
)
def test_wrong_values_fail_on_construction_and_on_assignment(field: str, value: Any) -> None:
    with pytest.raises(ValidationError, match=field):
        RouterConfig(**{field: value})
    config = RouterConfig()
    with pytest.raises(ValidationError, match=field):
        setattr(config, field, value)


def test_set_values_survive_assignment_unchanged() -> None:
    config = RouterConfig(auth=False, message="", auth_role=None)
    config.auth_act = "read"
    config.auth = config.auth
    assert (config.auth, config.message, config.auth_act, config.enabled) == (False, "", "read", None)


def router(**kwargs: Any) -> AuthRouter:
    kwargs.setdefault("auth_obj", "sales.invoice")
    return AuthRouter(prefix="/v1/sales/invoice", **kwargs)


@pytest.mark.parametrize(
    ("router_kwargs", "config", "expected"),
    [
        ({}, RouterConfig(auth=False, auth_act="read"), None),
        ({}, RouterConfig(auth=None, auth_act="read"), None),
        ({}, RouterConfig(auth=True, auth_act="read"), ("", "sales.invoice", "read")),
        ({"auth_act": "use"}, RouterConfig(auth=True), ("", "sales.invoice", "use")),
        ({"auth_act": "use"}, RouterConfig(auth=True, auth_act="read"), ("", "sales.invoice", "read")),
        ({"auth_role": "admin"}, RouterConfig(auth=True, auth_act="read"), ("admin", "sales.invoice", "read")),
        (
            {"auth_role": "admin"},
            RouterConfig(auth=True, auth_role="clerk", auth_obj="x"),
            ("clerk", "x", None),
        ),
        # An empty role counts as no role: the permission is checked instead.
        ({}, RouterConfig(auth=True, auth_role="", auth_act="read"), ("", "sales.invoice", "read")),
    ],
)
def test_route_values_win_over_router_values(
    router_kwargs: dict[str, Any], config: RouterConfig, expected: tuple[str, str, str | None] | None
) -> None:
    permission = router(**router_kwargs).route_permission(config)
    if expected is None:
        assert permission is None
    else:
        assert isinstance(permission, RoutePermission)
        assert (permission.role or "", permission.obj, permission.act) == expected


@pytest.mark.parametrize(
    ("default_role", "config", "grant"),
    [
        ("sales", RouterConfig(auth=True, auth_act="read"), ("sales", "sales.invoice", "read")),
        # On the router's object even when the route names another one.
        ("sales", RouterConfig(auth=True, auth_act="read", auth_obj="ledger"), ("sales", "sales.invoice", "read")),
        ("", RouterConfig(auth=True, auth_act="read"), None),
        (None, RouterConfig(auth=True, auth_act="read"), None),
    ],
)
def test_default_role_grant(default_role: str | None, config: RouterConfig, grant: tuple[str, ...] | None) -> None:
    permission = router(default_role=default_role).route_permission(config)
    assert permission is not None and permission.default_grant == grant


def test_guarded_route_without_anything_to_check_is_refused() -> None:
    with pytest.raises(ValueError, match="needs a role"):
        router(auth_obj=None).add_guarded_route(
            "/x", lambda: None, methods=["GET"], config=RouterConfig(auth=True, auth_act="read")
        )


def test_route_settings_reach_fastapi() -> None:
    calls: list[str] = []

    async def audit() -> None:
        calls.append("audit")

    async def refuse() -> None:
        raise HTTPException(418)

    r = router()
    config = RouterConfig(
        auth=False, summary="read - 读取 ", description="One invoice.", deprecated=True, dependencies=[Depends(audit)]
    )
    r.add_guarded_route("/read", lambda: {"ok": True}, methods=["GET"], config=config)
    r.add_guarded_route(
        "/other", lambda: {}, methods=["GET"], config=RouterConfig(auth=False, summary="s"),
        summary="explicit", dependencies=[Depends(refuse)],
    )
    r.add_guarded_route("/off", lambda: {}, methods=["GET"], config=RouterConfig(enabled=False, auth=True))
    app = FastAPI()
    app.include_router(r)
    client = TestClient(app)
    assert client.get("/v1/sales/invoice/read").json() == {"ok": True} and calls == ["audit"]
    assert client.get("/v1/sales/invoice/other").status_code == 418
    operations = app.openapi()["paths"]
    read = operations["/v1/sales/invoice/read"]["get"]
    assert (read["summary"], read["description"], read["deprecated"]) == ("read - 读取 ", "One invoice.", True)
    assert operations["/v1/sales/invoice/other"]["get"]["summary"] == "explicit"
    assert "/v1/sales/invoice/off" not in operations
