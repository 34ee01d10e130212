"""Tokens of an identity provider: its key set, rotation, outages, and roles from claims.

The provider is a real HTTP server on 127.0.0.1 (``oidc_provider``); the
application fetches its keys as it would a production provider's.
"""

from __future__ import annotations

import base64
import hashlib
import hmac
import io
import json
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import jwt
import pytest
from cryptography.hazmat.primitives import serialization
from fastapi import FastAPI, Request
from fastapi.testclient import TestClient
from oidc_provider import LocalProvider

from quorvalen_core.access.cli import main
from quorvalen_core.access.row_access import ROW_ACCESS_STATE_ATTR
from quorvalen_core.auth import AuthService, AuthSettings
from quorvalen_core.auth.auth_router import AuthRouter
from quorvalen_core.controller.router_config import RouterConfig
from quorvalen_core.db import DatabaseRegistry
from quorvalen_core.web import AppContext, use_context

OBJ = "sales.invoice"


class Clock:
    now = 1000.0

    def __call__(self) -> float:
        return self.now


async def invoice(request: Request) -> dict[str, Any]:
    access = getattr(request.state, ROW_ACCESS_STATE_ATTR)
    return {"subject": access.subject, "every_row": access.every_row(), "teams": sorted(access.teams("team:"))}


class Served:
    def __init__(self, provider: LocalProvider, tmp_path: Path, **settings: Any) -> None:
        self.provider, self.clock = provider, Clock()
        settings.setdefault("issuer", provider.issuer)
        self.settings = AuthSettings(audience="api", roles_claim="realm_access.roles", **settings)
        databases = DatabaseRegistry(default_url=f"sqlite:///{tmp_path / 'app.db'}", environ={})
        self.service = AuthService(settings=self.settings, databases=databases, clock=self.clock)
        self.store = self.service.policies()
        self.store.grant_many([("clerk", OBJ, "read"), ("manager", OBJ, "read:all"), ("team:north", OBJ, "read")])
        self.store.assign_role("bob", "clerk")
        router = AuthRouter(prefix="/api", auth_obj=OBJ)
        router.add_guarded_route("/invoice", invoice, methods=["GET"], config=RouterConfig(auth=True, auth_act="read"))
        router.add_guarded_route("/admin", invoice, methods=["GET"], config=RouterConfig(auth=True, auth_role="admin"))
        app = FastAPI()
        use_context(app, AppContext(databases=databases, auth=self.service))
        app.include_router(router)
        self.client = TestClient(app)

    def get(self, token: str, path: str = "/api/invoice") -> Any:
        return self.client.get(path, headers={"Authorization": f"Bearer {token}"})

    def later(self, seconds: float = 31.0) -> None:
        self.clock.now += seconds


@pytest.fixture
def provider() -> Iterator[LocalProvider]:
    provider = LocalProvider()
    provider.add_key("RS256")
    provider.add_key("ES256")
    yield provider
    provider.down()


@pytest.fixture
def served(provider: LocalProvider, tmp_path: Path) -> Iterator[Served]:
    served = Served(provider, tmp_path)
    with served.client:
        yield served
    served.service.close()


def roles(*names: Any) -> dict[str, Any]:
    return {"realm_access": {"roles": list(names)}}


@pytest.mark.parametrize(
    ("alg", "claims", "path", "status", "answer"),
    [
        ("RS256", roles("clerk"), "/api/invoice", 200, {"every_row": False, "teams": []}),
        ("ES256", roles("clerk", "manager"), "/api/invoice", 200, {"every_row": True}),
        ("RS256", roles("team:north"), "/api/invoice", 200, {"teams": ["team:north"]}),
        ("RS256", {"sub": "bob"}, "/api/invoice", 200, {"subject": "bob"}),  # stored assignment alone
        ("RS256", {"realm_access": {"roles": "clerk admin"}}, "/api/admin", 200, {}),  # a string: its words
        ("RS256", roles("manager"), "/api/invoice", 403, {}),
        ("RS256", roles("bob"), "/api/invoice", 403, {}),  # a claimed value is a role, never a subject
        ("RS256", {"realm_access": {"roles": {"clerk": True}}}, "/api/invoice", 403, {}),
        ("RS256", roles(1, None, ["clerk"], {"name": "clerk"}, "\x1bclerk"), "/api/invoice", 403, {}),
        ("RS256", {"realm_access": "clerk"}, "/api/invoice", 403, {}),
        ("RS256", roles(*(f"group{i}" for i in range(300))), "/api/invoice", 401, {}),
        ("RS256", {"sub": ["alice"]}, "/api/invoice", 401, {}),
    ],
)
def test_claimed_roles_join_the_stored_ones(
    served: Served, alg: str, claims: dict[str, Any], path: str, status: int, answer: dict[str, Any]
) -> None:
    kid = next(kid for kid, (key_alg, _) in served.provider.keys.items() if key_alg == alg)
    response = served.get(served.provider.token(kid, claims), path)
    assert response.status_code == status, response.text
    assert answer.items() <= response.json().items()


def _signed_by_hand(provider: LocalProvider, header: dict[str, Any], secret: bytes) -> str:
    """An HS256 token PyJWT would refuse to make (an odd header, a PEM key as the secret)."""

    def part(value: dict[str, Any]) -> str:
        return base64.urlsafe_b64encode(json.dumps(value).encode()).rstrip(b"=").decode()

    body = {"iss": provider.issuer, "aud": "api", "sub": "alice", "exp": int(time.time()) + 600, **roles("clerk")}
    signing_input = f"{part({'alg': 'HS256', 'typ': 'JWT', **header})}.{part(body)}"
    signature = hmac.new(secret, signing_input.encode(), hashlib.sha256).digest()
    return signing_input + "." + base64.urlsafe_b64encode(signature).rstrip(b"=").decode()


def _public_pem(provider: LocalProvider, kid: str) -> bytes:
    public = provider.keys[kid][1].public_key()
    return bytes(public.public_bytes(serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))


@pytest.mark.parametrize(
    "forge",
    [
        lambda p, kid: _signed_by_hand(p, {"kid": kid}, _public_pem(p, kid)),
        lambda p, kid: jwt.encode({"iss": p.issuer, "aud": "api", "sub": "alice", "exp": time.time() + 60, **roles("clerk")},
                                  None, algorithm="none", headers={"kid": kid}),
        lambda p, kid: p.token(kid, {"iss": "https://elsewhere.example", **roles("clerk")}),
        lambda p, kid: p.token(kid, {"aud": "other-api", **roles("clerk")}),
        lambda p, kid: p.token(kid, {"exp": int(time.time()) - 60, **roles("clerk")}),
        lambda p, kid: p.token(kid, {"nbf": int(time.time()) + 600, **roles("clerk")}),
        lambda p, kid: _signed_by_hand(p, {"kid": 7}, _public_pem(p, kid)),
    ],
    ids=["hs256-public-key", "alg-none", "wrong-iss", "wrong-aud", "expired", "not-yet-valid", "kid-not-a-string"],
)
def test_forged_or_foreign_tokens_are_refused(served: Served, forge: Any) -> None:
    kid = next(iter(served.provider.keys))
    response = served.get(forge(served.provider, kid))
    assert (response.status_code, response.json()["code"]) == (401, "not_authenticated")


def test_rotation_flood_and_outage(served: Served) -> None:
    provider, start_fetches = served.provider, served.provider.fetches
    old_kid = next(iter(provider.keys))
    old_token = provider.token(old_kid, roles("clerk"))
    assert served.get(old_token).status_code == 200
    # Rotated while serving: the new key is fetched on first sight, once the interval allows.
    new_kid = provider.rotate("ES256")
    served.later()
    assert served.get(provider.token(new_kid, roles("clerk"))).status_code == 200
    assert provider.fetches == start_fetches + 1
    assert served.get(old_token).status_code == 200  # verified before the rotation
    # Made-up kids: at most one fetch per interval, each answered 401.
    served.later()
    answers = {served.get(provider.token(new_kid, roles("clerk"), {"kid": f"made-up-{i}"})).status_code for i in range(40)}
    assert (answers, provider.fetches) == ({401}, start_fetches + 2)
    # Provider down: known keys keep working, an unknown key is a 503 to retry.
    provider.down()
    served.later()
    assert served.get(provider.token(new_kid, {**roles("clerk"), "jti": "after-outage"})).status_code == 200
    missing = served.get(provider.token(provider.add_key(), roles("clerk")))
    assert (missing.status_code, missing.json()["code"]) == (503, "unavailable")
    assert missing.headers["Retry-After"].isdigit()
    provider.up()
    served.later()
    assert served.get(provider.token(next(reversed(provider.keys)), roles("clerk"))).status_code == 200


def test_started_while_the_provider_is_down(provider: LocalProvider, tmp_path: Path) -> None:
    provider.down()
    served = Served(provider, tmp_path, jwks_url=provider.issuer + "/jwks")
    token = provider.token(next(iter(provider.keys)), roles("clerk"))
    with served.client:
        assert served.get(token).status_code == 503
        provider.up()
        served.later()
        assert served.get(token).status_code == 200
    served.service.close()


def test_grants_of_a_claimed_role_change_while_serving(served: Served) -> None:
    kid = next(iter(served.provider.keys))
    statuses = []
    for change in (lambda: None, lambda: served.store.revoke("clerk", OBJ, "read"), lambda: served.store.grant("clerk", OBJ, "read")):
        change()
        statuses.append(served.get(served.provider.token(kid, {**roles("clerk"), "jti": str(len(statuses))})).status_code)
    assert statuses == [200, 403, 200]


@pytest.mark.parametrize(
    ("extra", "args", "code", "out"),
    [
        ([], ["check", "--token", "{token}", OBJ, "read"], 0, "allowed"),
        (["QUORVALEN_AUTH_ROLES_PREFIX=x-"], ["check", "--token", "{token}", OBJ, "read"], 1, "denied"),
        ([], ["explain", "--token", "{token}", OBJ, "read"], 0, "alice holds clerk (claimed by the token)"),
        ([], ["check", "--token", "not-a-token", OBJ, "read"], 2, ""),
        ([], ["check", "--token", "{token}", "alice", OBJ, "read"], 2, ""),
    ],
)
def test_command_line_decides_for_a_token(
    served: Served, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str],
    extra: list[str], args: list[str], code: int, out: str,
) -> None:
    provider = served.provider
    env = {"ISSUER": provider.issuer, "AUDIENCE": "api", "ROLES_CLAIM": "realm_access.roles"}
    for name, value in [*env.items(), *(item.removeprefix("QUORVALEN_AUTH_").split("=") for item in extra)]:
        monkeypatch.setenv(f"QUORVALEN_AUTH_{name}", value)
    token = provider.token(next(iter(provider.keys)), roles("clerk"))
    printed = io.StringIO()
    url = str(served.store.engine.url)
    assert main(["--url", url, *(token if arg == "{token}" else arg for arg in args)], out=printed) == code
    assert out in printed.getvalue()
    assert token not in printed.getvalue() + capsys.readouterr().err


@pytest.mark.parametrize(
    ("environ", "expected"),
    [
        ({"KEY_SET_ALGORITHMS": "ES256, RS256"}, {"key_set_algorithms": ("ES256", "RS256")}),
        ({"ROLES_MAP": '{"g-1": "clerk"}'}, {"roles_map": {"g-1": "clerk"}}),
        ({"ISSUER": "https://id.example/realms/x"}, {"uses_key_set": True}),
        ({"ISSUER": "https://id.example", "SECRET_KEY": "k" * 32}, {"uses_key_set": False}),
        ({"KEY_SET_ALGORITHMS": "HS256"}, "QUORVALEN_AUTH_KEY_SET_ALGORITHMS"),
        ({"ROLES_MAP": "clerk"}, "QUORVALEN_AUTH_ROLES_MAP"),
        ({"JWKS_URL": "file:///etc/keys"}, "QUORVALEN_AUTH_JWKS_URL"),
    ],
)
def test_key_set_settings_from_the_environment(environ: dict[str, str], expected: Any) -> None:
    from pydantic import ValidationError

    from quorvalen_core.access.settings import describe_settings_error

    source = {f"QUORVALEN_AUTH_{name}": value for name, value in environ.items()}
    if isinstance(expected, str):
        with pytest.raises(ValidationError) as error:
            AuthSettings.from_env(source)
        assert expected in describe_settings_error(error.value)
        return
    settings = AuthSettings.from_env(source)
    assert {name: getattr(settings, name) for name in expected} == expected
