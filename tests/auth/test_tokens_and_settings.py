"""Access tokens and the settings that sign and check them."""

from __future__ import annotations

import time
from datetime import UTC, datetime, timedelta

import jwt
import pytest
from pydantic import ValidationError

from quorvalen_core.auth import (
    AuthConfigurationError,
    AuthService,
    AuthSettings,
    InvalidAccessToken,
    create_access_token,
    decode_access_token,
)

SECRET = "settings-test-secret-0123456789abcdef"


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
    assert settings.signing_key() == SECRET
    assert (settings.access_token_expire_seconds, settings.issuer, settings.audience) == (120, "shop", None)
    assert settings.algorithm == "HS512"
    assert SECRET not in repr(settings)


@pytest.mark.parametrize(
    "values",
    [
        {"secret_key": "short"},
        {"secret_key": SECRET, "access_token_expire_seconds": 0},
        {"secret_key": SECRET, "policy_refresh_seconds": -1},
        {"secret_key": SECRET, "unknown": 1},
    ],
)
def test_invalid_settings_are_rejected(values: dict[str, object]) -> None:
    with pytest.raises(ValidationError):
        AuthSettings(**values)  # type: ignore[arg-type]


def test_missing_secret_is_a_configuration_error() -> None:
    with pytest.raises(AuthConfigurationError, match="QUORVALEN_AUTH_SECRET_KEY"):
        create_access_token("alice", AuthSettings.from_env({}))


def test_token_round_trip_with_issuer_audience_and_claims() -> None:
    settings = AuthSettings(secret_key=SECRET, issuer="shop", audience="api", access_token_expire_seconds=60)
    now = datetime.now(UTC)
    token = create_access_token("alice", settings, claims={"name": "Alice", "sub": "mallory"}, now=now)
    claims = decode_access_token(token, settings)
    assert claims["sub"] == "alice" and claims["name"] == "Alice"
    assert (claims["iss"], claims["aud"]) == ("shop", "api")
    assert claims["exp"] - claims["iat"] == 60
    for other in (
        AuthSettings(secret_key=SECRET, issuer="other", audience="api"),
        AuthSettings(secret_key=SECRET, issuer="shop", audience="other"),
        AuthSettings(secret_key=SECRET, issuer="shop", audience="api", algorithm="HS384"),
    ):
        with pytest.raises(InvalidAccessToken):
            decode_access_token(token, other)


def test_leeway_accepts_a_recently_expired_token() -> None:
    strict = AuthSettings(secret_key=SECRET)
    lenient = AuthSettings(secret_key=SECRET, leeway_seconds=30)
    token = create_access_token("alice", strict, expires_in=timedelta(seconds=-5))
    with pytest.raises(InvalidAccessToken) as info:
        decode_access_token(token, strict)
    assert info.value.expired
    assert decode_access_token(token, lenient)["sub"] == "alice"


def test_service_remembers_verified_tokens_until_they_expire(monkeypatch: pytest.MonkeyPatch) -> None:
    service = AuthService(settings=AuthSettings(secret_key=SECRET))
    token = service.create_access_token("alice", expires_in=timedelta(seconds=60))
    assert service.subject_of(token) == "alice"
    decode = pytest.fail  # a remembered token needs no signature check
    monkeypatch.setattr("quorvalen_core.auth.service.decode_access_token", decode)
    assert service.subject_of(token) == "alice"
    # Past its expiry the token is checked again (and found expired).
    def expired(token: str, settings: AuthSettings) -> dict[str, object]:
        raise InvalidAccessToken("token expired", expired=True)

    monkeypatch.setattr("quorvalen_core.auth.service.decode_access_token", expired)
    real_time = time.time
    monkeypatch.setattr(time, "time", lambda: real_time() + 61)
    with pytest.raises(InvalidAccessToken) as info:
        service.subject_of(token)
    assert info.value.expired


def test_tokens_not_yet_valid_are_not_remembered() -> None:
    service = AuthService(settings=AuthSettings(secret_key=SECRET))
    token = jwt.encode({"sub": "alice", "exp": 4_000_000_000, "nbf": 3_900_000_000}, SECRET, algorithm="HS256")
    for _ in range(2):
        with pytest.raises(InvalidAccessToken):
            service.subject_of(token)
