"""Issuing and checking JWT access tokens (PyJWT)."""

from __future__ import annotations

from collections.abc import Mapping
from datetime import UTC, datetime, timedelta
from typing import Any

import jwt

from .claims import UnusableClaims, subject_claimed
from .key_sets import KeySet
from .settings import AuthSettings


class InvalidAccessToken(Exception):
    """A token that cannot be trusted; ``expired`` tells an outdated one apart."""

    def __init__(self, reason: str, *, expired: bool = False) -> None:
        super().__init__(reason)
        self.reason = reason
        self.expired = expired


class UnknownSigningKey(InvalidAccessToken):
    """A token naming a key the key set does not hold (yet): a fetch may find it."""


def create_access_token(
    subject: str,
    settings: AuthSettings,
    *,
    expires_in: timedelta | None = None,
    claims: Mapping[str, Any] | None = None,
    now: datetime | None = None,
) -> str:
    """A signed token naming ``subject``, valid for the configured lifetime.

    ``claims`` are added to the payload (they cannot replace ``sub``, ``iat``
    or ``exp``); a negative ``expires_in`` yields an already expired token.
    """
    if not isinstance(subject, str) or not subject:
        raise ValueError("a token subject is a non-empty string")
    issued = now or datetime.now(UTC)
    lifetime = expires_in if expires_in is not None else timedelta(seconds=settings.access_token_expire_seconds)
    payload: dict[str, Any] = dict(claims or {})
    if settings.issuer is not None:
        payload.setdefault("iss", settings.issuer)
    if settings.audience is not None:
        payload.setdefault("aud", settings.audience)
    payload.update(sub=subject, iat=issued, exp=issued + lifetime)
    return jwt.encode(payload, settings.signing_key(), algorithm=settings.algorithm)


def decode_access_token(token: str, settings: AuthSettings, key_set: KeySet | None = None) -> dict[str, Any]:
    """The claims of a valid token; raises InvalidAccessToken for any other.

    With a key set, a token naming a key (``kid``) is checked with that key
    and the algorithm the key gives; one naming no key with the configured
    key (development tokens), else with the set's only key.  The token's own
    ``alg`` header never picks the algorithm.
    """
    if key_set is None:
        key: Any = settings.verification_key()
        algorithm = settings.algorithm
    else:
        key, algorithm = _key_set_key(token, settings, key_set)
    try:
        claims: dict[str, Any] = jwt.decode(
            token,
            key,
            algorithms=[algorithm],
            issuer=settings.issuer,
            audience=settings.audience,
            leeway=settings.leeway_seconds,
            options={"require": ["exp"]},
        )
    except jwt.ExpiredSignatureError as exc:
        raise InvalidAccessToken("token expired", expired=True) from exc
    except (jwt.PyJWTError, ValueError, TypeError) as exc:
        # ValueError/TypeError: PyJWT lets a few malformed inputs (odd base64,
        # non-object JSON payloads) escape as such; they are bad tokens too.
        raise InvalidAccessToken("invalid token") from exc
    try:
        subject_claimed(claims, settings)
    except UnusableClaims:
        raise InvalidAccessToken("invalid token subject") from None
    return claims


def _key_set_key(token: str, settings: AuthSettings, key_set: KeySet) -> tuple[Any, str]:
    try:
        kid = jwt.get_unverified_header(token).get("kid")
    except (jwt.PyJWTError, ValueError, TypeError) as exc:
        raise InvalidAccessToken("invalid token") from exc
    if kid is not None and not isinstance(kid, str):
        raise InvalidAccessToken("invalid token key id")
    if kid is None and settings.has_static_key:
        return settings.verification_key(), settings.algorithm
    found = key_set.key(kid)
    if found is None:
        if kid is None:
            raise InvalidAccessToken("token names no key")
        raise UnknownSigningKey("unknown token key")
    return found.key, found.algorithm_name
