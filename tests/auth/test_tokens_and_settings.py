"""Access tokens, the settings that sign and check them, and the package that exports them."""

from __future__ import annotations

import subprocess
import sys
import time
from collections.abc import Callable
from datetime import UTC, datetime, timedelta
from unittest.mock import Mock

import jwt
import pytest
from pydantic import ValidationError

import quorvalen_core.auth as auth
from quorvalen_core.auth import (
    AuthConfigurationError,
    AuthService,
    AuthSettings,
    InvalidAccessToken,
    create_access_token,
    decode_access_token,
)

# Long enough for HS512 (64 bytes).
SECRET = "settings-test-secret-" + "0123456789abcdef" * 3


def test_settings_from_environment_with_overrides() -> None:
    settings = AuthSettings.from_env(
        {
            "QUORVALEN_AUTH_SECRET_KEY": SECRET,
            "QUORVALEN_AUTH_ACCESS_TOKEN_EXPIRE_SECONDS": "120",
            "QUORVALEN_AUTH_ISSUER": "shop",
            "QUORVALEN_AUTH_AUDIENCE": "",
        },
        algorithm="HS512",
    )
    assert settings.signing_key() == SECRET and settings.algorithm == "HS512"
    assert (settings.access_token_expire_seconds, settings.issuer, settings.audience) == (120, "shop", None)
    assert SECRET not in repr(settings)


@pytest.mark.parametrize(
    ("make", "error", "message"),
    [
        (lambda: AuthSettings(secret_key="short"), ValidationError, "secret_key"),
        (lambda: AuthSettings(secret_key=SECRET, access_token_expire_seconds=0), ValidationError, "expire"),
        (lambda: AuthSettings(secret_key=SECRET, policy_refresh_seconds=-1), ValidationError, "refresh"),
        (lambda: AuthSettings(secret_key=SECRET, unknown=1), ValidationError, "unknown"),
        (lambda: create_access_token("alice", AuthSettings.from_env({})), AuthConfigurationError, "QUORVALEN_AUTH_SECRET_KEY"),
    ],
)
def test_invalid_settings_are_rejected(make: Callable[[], object], error: type[Exception], message: str) -> None:
    with pytest.raises(error, match=message):
        make()


def test_token_round_trip_with_issuer_audience_and_claims() -> None:
    settings = AuthSettings(secret_key=SECRET, issuer="shop", audience="api", access_token_expire_seconds=60)
    token = create_access_token("alice", settings, claims={"name": "Alice", "sub": "mallory"}, now=datetime.now(UTC))
    claims = decode_access_token(token, settings)
    assert claims["sub"] == "alice" and claims["name"] == "Alice"
    assert (claims["iss"], claims["aud"], claims["exp"] - claims["iat"]) == ("shop", "api", 60)
    for other in (
        AuthSettings(secret_key=SECRET, issuer="other", audience="api"),
        AuthSettings(secret_key=SECRET, issuer="shop", audience="other"),
        AuthSettings(secret_key=SECRET, issuer="shop", audience="api", algorithm="HS384"),
    ):
        with pytest.raises(InvalidAccessToken):
            decode_access_token(token, other)
    # The leeway accepts a recently expired token.
    expired = create_access_token("alice", settings, expires_in=timedelta(seconds=-5))
    with pytest.raises(InvalidAccessToken) as info:
        decode_access_token(expired, settings)
    assert info.value.expired
    assert decode_access_token(expired, settings.model_copy(update={"leeway_seconds": 30}))["sub"] == "alice"


def test_service_remembers_verified_tokens_until_they_expire(monkeypatch: pytest.MonkeyPatch) -> None:
    service = AuthService(settings=AuthSettings(secret_key=SECRET))
    token = service.create_access_token("alice", expires_in=timedelta(seconds=60))
    assert service.subject_of(token) == "alice"
    # A remembered token needs no signature check...
    monkeypatch.setattr("quorvalen_core.access.service.decode_access_token", pytest.fail)
    assert service.subject_of(token) == "alice"
    # ...until its expiry, when it is checked again (and found expired).
    expired = Mock(side_effect=InvalidAccessToken("token expired", expired=True))
    monkeypatch.setattr("quorvalen_core.access.service.decode_access_token", expired)
    monkeypatch.setattr(time, "time", lambda now=time.time: now() + 61)
    with pytest.raises(InvalidAccessToken) as info:
        service.subject_of(token)
    assert info.value.expired
    # A token not yet valid is refused each time, never remembered.
    early = jwt.encode({"sub": "alice", "exp": 4_000_000_000, "nbf": 3_900_000_000}, SECRET, algorithm="HS256")
    monkeypatch.undo()
    for _ in range(2):
        with pytest.raises(InvalidAccessToken):
            service.subject_of(early)


def test_the_package_loads_its_parts_on_demand() -> None:
    code = (
        "import sys, quorvalen_core.auth, quorvalen_core.controller.router_config\n"
        "heavy = [m for m in ('fastapi', 'sqlalchemy', 'sqlmodel', 'jwt') if m in sys.modules]\n"
        "assert not heavy, heavy\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)
    assert sorted(auth.__all__) == sorted(auth._EXPORTS)
    assert all(getattr(auth, name) is not None for name in auth.__all__)
