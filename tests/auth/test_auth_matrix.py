"""Who may call what: route settings, and the checks of a router from ``AuthController.create`` through FastAPI."""

from __future__ import annotations

import base64
import io
import json
import subprocess
import time
import sys
from collections.abc import Callable
from datetime import timedelta
from typing import Any

import jwt
import pytest
from fastapi import Depends, FastAPI, Header, HTTPException
from fastapi.testclient import TestClient
from pydantic import ValidationError

from quorvalen_core.auth import AuthRouter, RoutePermission, set_authentication_dependency
from quorvalen_core.controller.router_config import RouterConfig

PREFIX = "/v1/sales/invoice"
METHODS = {"create": "POST", "update": "PATCH", "read": "GET", "delete": "DELETE", "query": "GET"}
ALL = tuple(METHODS)
EXP = 1_900_000_000


def call(client: Any, operation: str, headers: dict[str, str] | None = None) -> Any:
    return client.request(METHODS[operation], f"{PREFIX}/{operation}", headers=headers or {})


def _b64(data: Any) -> str:
    raw = data if isinstance(data, str) else json.dumps(data)
    return base64.urlsafe_b64encode(raw.encode()).rstrip(b"=").decode()


def header(value: str) -> Callable[[Any], dict[str, str]]:
    return lambda harness: {"Authorization": value}


def signed(claims: dict[str, Any], key: str | None = None) -> Callable[[Any], dict[str, str]]:
    def make(harness: Any) -> dict[str, str]:
        token = jwt.encode(claims, key or harness.settings.signing_key(), algorithm="HS256")
        return {"Authorization": f"Bearer {token}"}

    return make


NO_CREDENTIALS = ("Not authenticated", "Bearer")
BAD_TOKEN = ("Invalid token", 'Bearer error="invalid_token"')
UNAUTHENTICATED = {
    "anonymous": (lambda harness: {}, NO_CREDENTIALS),
    "basic scheme": (header("Basic YWxpY2U6cHc="), NO_CREDENTIALS),
    "bearer and space": (header("Bearer "), NO_CREDENTIALS),
    "other scheme": (header("Token abc"), NO_CREDENTIALS),
    "garbage": (header("Bearer not-a-token"), BAD_TOKEN),
    "three dots": (header("Bearer a.b.c"), BAD_TOKEN),
    "other secret": (signed({"sub": "alice", "exp": EXP}, "x" * 40), BAD_TOKEN),
    "alg none": (header(f"Bearer {_b64({'alg': 'none'})}.{_b64({'sub': 'alice', 'exp': EXP})}."), BAD_TOKEN),
    "no subject": (signed({"exp": EXP}), BAD_TOKEN),
    "numeric subject": (header(f"Bearer {_b64({'alg': 'HS256'})}.{_b64({'sub': 7, 'exp': EXP})}."), BAD_TOKEN),
    "empty subject": (signed({"sub": "", "exp": EXP}), BAD_TOKEN),
    "no expiry": (signed({"sub": "alice"}), BAD_TOKEN),
    "text expiry": (signed({"sub": "alice", "exp": "soon"}), BAD_TOKEN),
    "payload not json": (header(f"Bearer {_b64({'alg': 'HS256'})}.{_b64('[1,')}.c2ln"), BAD_TOKEN),
    "payload a list": (header(f"Bearer {_b64({'alg': 'HS256'})}.{_b64([1])}.c2ln"), BAD_TOKEN),
    "expired": (lambda harness: harness.token("alice", expires_in=timedelta(seconds=-1)), ("Token expired", BAD_TOKEN[1])),
}


@pytest.mark.parametrize("case", UNAUTHENTICATED)
def test_unauthenticated_callers_get_401_with_a_bearer_challenge_never_500(harness: Any, case: str) -> None:
    make_headers, (detail, challenge) = UNAUTHENTICATED[case]
    harness.policies().assign_role("alice", "sales")
    client = harness.client()
    for operation in ALL:
        response = call(client, operation, make_headers(harness))
        assert response.status_code == 401, (operation, response.text)
        assert response.headers["WWW-Authenticate"] == challenge
        assert response.json()["detail"] == detail
    # The same caller with a good token is let in: the 401 was the credentials'.
    assert call(client, "read", harness.token("alice")).status_code == 200


# (role permissions, (subject, role) assignments, (role, parent) inheritances,
#  AuthController.create settings, [(subject, operations, status)])
MATRIX = {
    "router default role, wrong role, no role": (
        [], [("alice", "sales"), ("hugo", "hr")], [], {},
        [("alice", ALL, 200), ("hugo", ALL, 403), ("nobody", ALL, 403)],
    ),
    "roles and permissions inherited": (
        [("auditor", "sales.invoice", "read")],
        [("carol", "clerk"), ("bob", "junior-auditor")], [("clerk", "sales"), ("junior-auditor", "auditor")], {},
        [("carol", ALL, 200), ("bob", ("read",), 200), ("bob", ("update",), 403)],
    ),
    # The router-wide role replaces the permission check; the route's own role wins over it.
    "route role over router role": (
        [], [("alice", "sales"), ("mia", "manager"), ("ada", "admin")], [],
        {"auth_role": "admin", "read_router": RouterConfig(auth_role="manager")},
        [("alice", ("create", "read"), 403), ("ada", ("create",), 200), ("mia", ("read",), 200), ("ada", ("read",), 403)],
    ),
    # The default role holds the router's object only.
    "route object": (
        [("ledger", "sales.ledger", "update")], [("alice", "sales"), ("lena", "ledger")], [],
        {"update_router": RouterConfig(auth_obj="sales.ledger")},
        [("alice", ("update",), 403), ("lena", ("update",), 200), ("lena", ("read",), 403)],
    ),
    # The default role is granted the route's action, whatever it is called.
    "route action": (
        [("deleter", "sales.invoice", "delete"), ("purger", "sales.invoice", "purge")],
        [("alice", "sales"), ("dora", "deleter"), ("pete", "purger")], [],
        {"delete_router": RouterConfig(auth_act="purge")},
        [("dora", ("delete",), 403), ("pete", ("delete",), 200), ("alice", ("delete",), 200)],
    ),
    "wildcards": (
        [("reader", "*", "read"), ("owner", "sales.invoice", "*")], [("rita", "reader"), ("otto", "owner")], [], {},
        [("rita", ("read",), 200), ("rita", ("create",), 403), ("otto", ALL, 200)],
    ),
    # Without a schema name the router's default role is "" or None, which grants nothing.
    **{
        f"default role {name!r}": (
            [("reader", "sales.invoice", "read")], [("alice", "sales"), ("lena", "reader")], [],
            {"schema_name": name, "prefix": PREFIX, "auth_obj": "sales.invoice"},
            [("alice", ("read",), 403), ("lena", ("read",), 200)],
        )
        for name in ("", None)
    },
    # A caller named like a role holds nothing of it: roles come only from assignments.
    "subjects named like roles": (
        [("auditor", "sales.invoice", "read")], [("alice", "admin")], [],
        {"read_router": RouterConfig(auth_role="admin")},
        [("sales", ALL, 403), ("admin", ("read",), 403), ("auditor", ("read",), 403), ("alice", ("read",), 200)],
    ),
}


@pytest.mark.parametrize("scenario", MATRIX)
def test_permission_matrix(harness: Any, scenario: str) -> None:
    grants, memberships, inheritances, settings, checks = MATRIX[scenario]
    harness.policies().grant_many(grants)
    harness.policies().assign_roles(memberships)
    harness.policies().inherit_roles(inheritances)
    client = harness.client(**settings)
    for subject, operations, status in checks:
        for operation in operations:
            response = call(client, operation, harness.token(subject))
            assert response.status_code == status, (subject, operation, response.text)
            if status == 200:
                assert response.json() == {"operation": operation, "subject": subject}


def test_public_and_switched_off_operations_in_routes_and_openapi(harness: Any) -> None:
    client = harness.client(query_router=RouterConfig(auth=False), create_router=RouterConfig(enabled=False, auth=False))
    harness.policies().assign_role("alice", "sales")
    assert call(client, "query").json() == {"operation": "query", "subject": None}
    # Credentials sent to a public route are not checked, and not reported.
    assert call(client, "query", {"Authorization": "Bearer junk"}).json()["subject"] is None
    assert call(client, "read").status_code == 401
    assert call(client, "create", harness.token("alice")).status_code in (404, 405)
    assert f"{PREFIX}/create" not in {route.path for route in harness.router.routes}
    schema = harness.app.openapi()
    paths = schema["paths"]
    assert f"{PREFIX}/create" not in paths and f"{PREFIX}/read" in paths
    schemes = schema["components"]["securitySchemes"].values()
    assert [s for s in schemes if s["type"] == "http" and s["scheme"] == "bearer"]
    read = paths[f"{PREFIX}/read"]["get"]
    assert read["security"] and "security" not in paths[f"{PREFIX}/query"]["get"]
    # The guard adds no parameters to the operation.
    assert "parameters" not in read and read["summary"] == "read - 读取 "


def test_policy_changes_apply_at_once_here_and_after_the_refresh_interval_from_elsewhere(harness: Any) -> None:
    client = harness.client()
    store = harness.policies()
    headers = harness.token("zoe")
    steps = [
        (lambda: None, 403),
        (lambda: store.assign_role("zoe", "reader"), 403),
        (lambda: store.grant("reader", "sales.invoice", "read"), 200),
        (lambda: store.revoke("reader", "sales.invoice", "read"), 403),
        (lambda: store.assign_role("zoe", "sales"), 200),
        (lambda: store.remove_role("zoe", "sales"), 403),
    ]
    for change, status in steps:
        change()
        assert call(client, "read", headers).status_code == status
    # A grant from another process, through the command line, with no
    # refresh due: the SQLite file's data version brings it at once.
    assert call(client, "update", headers).status_code == 403
    command = ["grant", "reader", "sales.invoice", "update"]
    subprocess.run([sys.executable, "-m", "quorvalen_core.auth", "--url", harness.databases.url(), *command], check=True)
    deadline = time.monotonic() + 5
    while call(client, "update", headers).status_code != 200:
        assert time.monotonic() < deadline, "the grant made elsewhere never arrived"
        time.sleep(0.02)
    assert call(client, "delete", headers).status_code == 403


def test_policies_live_in_the_router_database(harness: Any) -> None:
    harness.policies().assign_role("alice", "sales")
    harness.policies("authdb").assign_role("bob", "sales")
    client = harness.client(db_config_name="authdb")
    assert call(client, "read", harness.token("alice")).status_code == 403
    assert call(client, "read", harness.token("bob")).status_code == 200


@pytest.mark.parametrize("how", ["application", "router"])
def test_application_may_replace_authentication(harness: Any, how: str) -> None:
    harness.policies().assign_role("svc-batch", "sales")

    async def api_key(x_api_key: str | None = Header(default=None)) -> str:
        if x_api_key != "k1":
            raise HTTPException(401, "bad key", headers={"WWW-Authenticate": "ApiKey"})
        return "svc-batch"

    if how == "application":
        previous = set_authentication_dependency(api_key)
        try:
            client = harness.client()
        finally:
            set_authentication_dependency(previous)
    else:
        guarded = router(default_role="sales", authentication=api_key)
        guarded.add_guarded_route("/read", harness.echo("read"), methods=["GET"], config=RouterConfig(auth=True, auth_act="read"))
        client = client_of(guarded)
    granted = call(client, "read", {"X-Api-Key": "k1"})
    assert granted.status_code == 200 and granted.json()["subject"] == "svc-batch"
    assert call(client, "read", {"X-Api-Key": "k2"}).status_code == 401
    assert call(client, "read", harness.token("svc-batch")).status_code == 401
    # Routers built after the setting is restored use bearer tokens again.
    assert call(harness.client(), "read", harness.token("svc-batch")).status_code == 200


@pytest.mark.parametrize(
    ("field", "value"),
    [
        ("enabled", 0), ("enabled", "no"), ("auth", 1), ("auth_role", 5), ("auth_act", ["read"]),
        ("summary", b"bytes"), ("dependencies", ["not a Depends"]), ("color", "blue"),
    ],
)
def test_wrong_values_fail_on_construction_and_on_assignment(field: str, value: Any) -> None:
    with pytest.raises(ValidationError, match=field):
        RouterConfig(**{field: value})
    config = RouterConfig(auth=False, message="", auth_role=None)
    with pytest.raises(ValidationError, match=field):
        setattr(config, field, value)
    config.auth_act = "read"
    config.auth = config.auth
    assert (config.auth, config.message, config.auth_act, config.enabled) == (False, "", "read", None)


def router(**kwargs: Any) -> AuthRouter:
    kwargs.setdefault("auth_obj", "sales.invoice")
    return AuthRouter(prefix=PREFIX, **kwargs)


def client_of(router: AuthRouter) -> TestClient:
    app = FastAPI()
    app.include_router(router)
    return TestClient(app)


@pytest.mark.parametrize(
    ("router_kwargs", "config", "expected"),
    [
        ({}, RouterConfig(auth=False, auth_act="read"), None),
        # Left unset, auth guards the route: public is said with auth=False.
        ({}, RouterConfig(auth=None, auth_act="read"), ("", "sales.invoice", "read")),
        ({}, RouterConfig(auth=True, auth_act="read"), ("", "sales.invoice", "read")),
        ({"auth_act": "use"}, RouterConfig(auth=True), ("", "sales.invoice", "use")),
        ({"auth_act": "use"}, RouterConfig(auth=True, auth_act="read"), ("", "sales.invoice", "read")),
        ({"auth_role": "admin"}, RouterConfig(auth=True, auth_act="read"), ("admin", "sales.invoice", "read")),
        ({"auth_role": "admin"}, RouterConfig(auth=True, auth_role="clerk", auth_obj="x"), ("clerk", "x", None)),
        # An empty role counts as no role: the permission is checked instead.
        ({}, RouterConfig(auth=True, auth_role="", auth_act="read"), ("", "sales.invoice", "read")),
    ],
)
def test_route_values_win_over_router_values(router_kwargs: dict[str, Any], config: RouterConfig, expected: Any) -> None:
    permission = router(**router_kwargs).route_permission(config)
    if expected is None:
        assert permission is None
    else:
        assert isinstance(permission, RoutePermission)
        assert (permission.role or "", permission.obj, permission.act) == expected


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
    client = client_of(r)
    assert client.get("/v1/sales/invoice/read").json() == {"ok": True} and calls == ["audit"]
    assert client.get("/v1/sales/invoice/other").status_code == 418
    operations = client.app.openapi()["paths"]  # type: ignore[attr-defined]
    read = operations["/v1/sales/invoice/read"]["get"]
    assert (read["summary"], read["description"], read["deprecated"]) == ("read - 读取 ", "One invoice.", True)
    assert operations["/v1/sales/invoice/other"]["get"]["summary"] == "explicit"


def test_the_command_lines_check_answers_as_the_server_does(harness: Any) -> None:
    from quorvalen_core.access.cli import main as command_line

    harness.policies().assign_roles([("alice", "sales"), ("mia", "manager")])
    url = ["--url", harness.databases.url()]

    def agree(*subjects: str) -> None:
        for subject in subjects:
            for operation in ALL:
                served = call(client, operation, harness.token(subject)).status_code == 200
                checked = command_line([*url, "check", subject, "sales.invoice", operation], out=io.StringIO()) == 0
                assert served == checked, (subject, operation, served)

    with harness.client(read_router=RouterConfig(auth_role="manager"), query_router=RouterConfig(auth=False)) as client:
        agree("alice", "mia", "sales", "nobody")
        # The default role's grant is a stored rule: an administrator revokes it like any other.
        assert command_line([*url, "revoke", "sales", "sales.invoice", "delete"], out=io.StringIO()) == 0
        harness.policies().reload()
        assert call(client, "delete", harness.token("alice")).status_code == 403
        agree("alice")
    # A restart declares the default grants again; the revoked one stays revoked.
    with harness.client(read_router=RouterConfig(auth_role="manager"), query_router=RouterConfig(auth=False)) as client:
        assert call(client, "delete", harness.token("alice")).status_code == 403
        assert call(client, "update", harness.token("alice")).status_code == 200


def test_a_router_wide_action_no_route_uses_is_reported_once(harness: Any) -> None:
    with pytest.warns(UserWarning, match="auth_act='manage' reaches none of its routes"):
        with harness.client(auth_act="manage") as client:
            assert call(client, "read", harness.token("nobody")).status_code == 403
