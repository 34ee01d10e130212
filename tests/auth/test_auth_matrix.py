"""Who may call what, through FastAPI on a router from ``AuthController.create``."""

from __future__ import annotations

import base64
import json
import subprocess
import sys
from datetime import timedelta
from typing import Any

import jwt
import pytest
from fastapi import FastAPI, Header, HTTPException
from fastapi.testclient import TestClient

from quorvalen_core.auth import AuthRouter, set_authentication_dependency
from quorvalen_core.controller.router_config import RouterConfig

PREFIX = "/v1/sales/invoice"
METHODS = {"create": "POST", "update": "PATCH", "read": "GET", "delete": "DELETE", "query": "GET"}


def call(client: Any, operation: str, headers: dict[str, str] | None = None) -> Any:
    return client.request(METHODS[operation], f"{PREFIX}/{operation}", headers=headers or {})


def _b64(data: dict[str, Any] | str) -> str:
    raw = data if isinstance(data, str) else json.dumps(data)
    return base64.urlsafe_b64encode(raw.encode()).rstrip(b"=").decode()


BAD_TOKENS = [
    "garbage", "three dots", "other secret", "alg none", "no subject", "numeric subject",
    "empty subject", "no expiry", "text expiry", "payload not json", "payload a list",
]


def _bad_tokens(secret: str) -> dict[str, str]:
    now = 1_900_000_000
    return {
        "garbage": "not-a-token",
        "three dots": "a.b.c",
        "other secret": jwt.encode({"sub": "alice", "exp": now}, "x" * 40, algorithm="HS256"),
        "alg none": f"{_b64({'alg': 'none', 'typ': 'JWT'})}.{_b64({'sub': 'alice', 'exp': now})}.",
        "no subject": jwt.encode({"exp": now}, secret, algorithm="HS256"),
        "numeric subject": f"{_b64({'alg': 'HS256'})}.{_b64({'sub': 7, 'exp': now})}.",
        "empty subject": jwt.encode({"sub": "", "exp": now}, secret, algorithm="HS256"),
        "no expiry": jwt.encode({"sub": "alice"}, secret, algorithm="HS256"),
        "text expiry": jwt.encode({"sub": "alice", "exp": "soon"}, secret, algorithm="HS256"),
        "payload not json": f"{_b64({'alg': 'HS256'})}.{_b64('[1,')}.c2ln",
        "payload a list": f"{_b64({'alg': 'HS256'})}.{_b64([1])}.c2ln",
    }


def test_anonymous_caller_gets_401_with_bearer_challenge(harness: Any) -> None:
    client = harness.client()
    for operation in ("create", "update", "read", "delete"):
        response = call(client, operation)
        assert response.status_code == 401, operation
        assert response.headers["WWW-Authenticate"] == "Bearer"


@pytest.mark.parametrize(
    "authorization",
    ["Basic YWxpY2U6cHc=", "Bearer", "Bearer ", "Token abc", "bearer"],
)
def test_malformed_authorization_header_gets_401(harness: Any, authorization: str) -> None:
    response = call(harness.client(), "read", {"Authorization": authorization})
    assert response.status_code == 401
    assert response.headers["WWW-Authenticate"].startswith("Bearer")


@pytest.mark.parametrize("case", BAD_TOKENS)
def test_bad_token_gets_401_never_500(harness: Any, case: str) -> None:
    harness.policies().assign_role("alice", "sales")
    tokens = _bad_tokens(harness.settings.signing_key())
    assert sorted(tokens) == sorted(BAD_TOKENS)
    token = tokens[case]
    response = call(harness.client(), "read", {"Authorization": f"Bearer {token}"})
    assert response.status_code == 401, response.text
    assert response.headers["WWW-Authenticate"].startswith("Bearer")
    assert response.json()["detail"] == "Invalid token"


def test_expired_token_gets_401(harness: Any) -> None:
    harness.policies().assign_role("alice", "sales")
    client = harness.client()
    response = call(client, "read", harness.token("alice", expires_in=timedelta(seconds=-1)))
    assert response.status_code == 401
    assert response.json()["detail"] == "Token expired"
    assert response.headers["WWW-Authenticate"].startswith("Bearer")
    assert call(client, "read", harness.token("alice")).status_code == 200


def test_default_role_may_do_every_operation_and_others_may_not(harness: Any) -> None:
    store = harness.policies()
    store.assign_role("alice", "sales")
    store.assign_role("hugo", "hr")
    client = harness.client()
    for operation in METHODS:
        granted = call(client, operation, harness.token("alice"))
        assert granted.status_code == 200, operation
        assert granted.json() == {"operation": operation, "subject": "alice"}
        assert call(client, operation, harness.token("hugo")).status_code == 403, operation
        assert call(client, operation, harness.token("nobody")).status_code == 403, operation


@pytest.mark.parametrize("schema_name", ["", None])
def test_empty_or_missing_default_role_grants_nothing(harness: Any, schema_name: str | None) -> None:
    # Without a schema name the router's default role is "" or None.
    harness.policies().assign_role("alice", "sales")
    client = harness.client(schema_name=schema_name, prefix=PREFIX, auth_obj="sales.invoice")
    assert harness.routers[-1].default_role == schema_name
    assert call(client, "read", harness.token("alice")).status_code == 403
    harness.policies().grant("alice", "sales.invoice", "read")
    assert call(client, "read", harness.token("alice")).status_code == 200


def test_roles_and_permissions_are_inherited(harness: Any) -> None:
    store = harness.policies()
    store.assign_roles([("carol", "clerk"), ("clerk", "sales")])
    store.grant("auditor", "sales.invoice", "read")
    store.assign_roles([("bob", "junior-auditor"), ("junior-auditor", "auditor")])
    client = harness.client()
    assert call(client, "delete", harness.token("carol")).status_code == 200
    assert call(client, "read", harness.token("bob")).status_code == 200
    assert call(client, "update", harness.token("bob")).status_code == 403


def test_route_role_overrides_router_role(harness: Any) -> None:
    store = harness.policies()
    store.assign_role("alice", "sales")
    store.assign_role("mia", "manager")
    store.assign_role("ada", "admin")
    client = harness.client(auth_role="admin", read_router=RouterConfig(auth_role="manager"))
    # The router-wide role replaces the permission check on every other route...
    assert call(client, "create", harness.token("alice")).status_code == 403
    assert call(client, "create", harness.token("ada")).status_code == 200
    # ...and the route's own role wins over it.
    assert call(client, "read", harness.token("mia")).status_code == 200
    assert call(client, "read", harness.token("ada")).status_code == 403
    assert call(client, "read", harness.token("alice")).status_code == 403


def test_route_object_overrides_router_object(harness: Any) -> None:
    store = harness.policies()
    store.assign_role("alice", "sales")
    store.grant("lena", "sales.ledger", "update")
    client = harness.client(update_router=RouterConfig(auth_obj="sales.ledger"))
    # The default role holds the router's object only.
    assert call(client, "update", harness.token("alice")).status_code == 403
    assert call(client, "update", harness.token("lena")).status_code == 200
    assert call(client, "read", harness.token("lena")).status_code == 403


def test_route_action_overrides_operation_action(harness: Any) -> None:
    store = harness.policies()
    store.grant("dora", "sales.invoice", "delete")
    store.grant("pete", "sales.invoice", "purge")
    store.assign_role("alice", "sales")
    client = harness.client(delete_router=RouterConfig(auth_act="purge"))
    assert call(client, "delete", harness.token("dora")).status_code == 403
    assert call(client, "delete", harness.token("pete")).status_code == 200
    # The default role is granted the route's action, whatever it is called.
    assert call(client, "delete", harness.token("alice")).status_code == 200


def test_wildcard_permissions(harness: Any) -> None:
    store = harness.policies()
    store.grant("reader", "*", "read")
    store.grant("owner", "sales.invoice", "*")
    store.assign_roles([("rita", "reader"), ("otto", "owner")])
    client = harness.client()
    assert call(client, "read", harness.token("rita")).status_code == 200
    assert call(client, "create", harness.token("rita")).status_code == 403
    assert [call(client, op, harness.token("otto")).status_code for op in METHODS] == [200] * 5


def test_public_operation_needs_no_token_and_has_no_subject(harness: Any) -> None:
    client = harness.client(query_router=RouterConfig(auth=False))
    response = call(client, "query")
    assert response.status_code == 200
    assert response.json() == {"operation": "query", "subject": None}
    # Credentials sent to a public route are not checked, and not reported.
    assert call(client, "query", {"Authorization": "Bearer junk"}).json()["subject"] is None
    assert call(client, "read").status_code == 401


def test_switched_off_operation_is_absent_from_routes_and_openapi(harness: Any) -> None:
    client = harness.client(create_router=RouterConfig(enabled=False, auth=False))
    harness.policies().assign_role("alice", "sales")
    assert call(client, "create", harness.token("alice")).status_code in (404, 405)
    paths = {route.path for route in harness.routers[-1].routes}  # type: ignore[attr-defined]
    assert f"{PREFIX}/create" not in paths and f"{PREFIX}/read" in paths
    assert f"{PREFIX}/create" not in harness.apps[-1].openapi()["paths"]


def test_openapi_declares_bearer_security_on_guarded_routes_only(harness: Any) -> None:
    harness.client(query_router=RouterConfig(auth=False))
    schema = harness.apps[-1].openapi()
    schemes = schema["components"]["securitySchemes"]
    assert [s for s in schemes.values() if s["type"] == "http" and s["scheme"] == "bearer"]
    paths = schema["paths"]
    assert paths[f"{PREFIX}/read"]["get"]["security"]
    assert "security" not in paths[f"{PREFIX}/query"]["get"]
    # The guard adds no parameters to the operation.
    assert "parameters" not in paths[f"{PREFIX}/read"]["get"]
    assert paths[f"{PREFIX}/read"]["get"]["summary"] == "read - 读取 "


def test_policy_change_through_the_api_takes_effect_at_once(harness: Any) -> None:
    client = harness.client()
    store = harness.policies()
    headers = harness.token("zoe")
    assert call(client, "read", headers).status_code == 403
    store.grant("zoe", "sales.invoice", "read")
    assert call(client, "read", headers).status_code == 200
    store.revoke("zoe", "sales.invoice", "read")
    assert call(client, "read", headers).status_code == 403
    store.assign_role("zoe", "sales")
    assert call(client, "read", headers).status_code == 200
    store.remove_role("zoe", "sales")
    assert call(client, "read", headers).status_code == 403


def test_other_process_changes_are_seen_after_the_refresh_interval(harness: Any) -> None:
    from quorvalen_core.auth import PolicyStore

    client = harness.client()
    headers = harness.token("zoe")
    assert call(client, "read", headers).status_code == 403
    # Another application process writes to the same database.
    other = PolicyStore(harness.databases.engine(), refresh_seconds=0)
    other.grant("zoe", "sales.invoice", "read")
    assert call(client, "read", headers).status_code == 403  # cached decision
    harness.clock.now += harness.settings.policy_refresh_seconds
    assert call(client, "read", headers).status_code == 200


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
        router = AuthRouter(prefix=PREFIX, auth_obj="sales.invoice", default_role="sales", authentication=api_key)
        router.add_guarded_route(
            "/read", harness.echo("read"), methods=["GET"], config=RouterConfig(auth=True, auth_act="read")
        )
        app = FastAPI()
        app.include_router(router)
        client = TestClient(app)
    assert call(client, "read", {"X-Api-Key": "k1"}).json()["subject"] == "svc-batch"
    assert call(client, "read", {"X-Api-Key": "k2"}).status_code == 401
    assert call(client, "read", harness.token("svc-batch")).status_code == 401
    assert call(client, "read", {"X-Api-Key": "k1"}).status_code == 200
    # Routers built after the setting is restored use bearer tokens again.
    assert call(harness.client(), "read", harness.token("svc-batch")).status_code == 200


def test_grant_from_the_command_line_reaches_a_running_application(harness: Any) -> None:
    client = harness.client()
    headers = harness.token("yara")
    assert call(client, "update", headers).status_code == 403
    url = harness.databases.url()
    subprocess.run(
        [sys.executable, "-m", "quorvalen_core.auth", "--url", url, "grant", "yara", "sales.invoice", "update"],
        check=True,
        capture_output=True,
    )
    harness.clock.now += harness.settings.policy_refresh_seconds
    assert call(client, "update", headers).status_code == 200
    assert call(client, "delete", headers).status_code == 403
