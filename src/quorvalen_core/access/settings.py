"""Settings of token authentication and permission checks."""

from __future__ import annotations

import json
import os
from collections.abc import Mapping
from typing import Any

from pydantic import BaseModel, ConfigDict, Field, SecretStr, ValidationError, field_validator, model_validator

ENV_PREFIX = "QUORVALEN_AUTH_"

# HMAC keys shorter than the hash output make brute-forcing a token's
# signature cheaper than it needs to be (RFC 7518, section 3.2).
MIN_HMAC_KEY_BYTES = {"HS256": 32, "HS384": 48, "HS512": 64}

# What an identity provider signs with; HMAC is absent on purpose: a key set
# is public, and an HMAC key taken from it would let anyone sign.
KEY_SET_ALGORITHMS = ("RS256", "RS384", "RS512", "PS256", "PS384", "PS512", "ES256", "ES384", "ES512", "EdDSA")

DISCOVERY_PATH = "/.well-known/openid-configuration"


class AuthConfigurationError(RuntimeError):
    """Authentication is used but not (or wrongly) configured."""


def describe_settings_error(error: ValidationError) -> str:
    """One line naming each wrong setting by its environment variable (values never shown)."""
    parts = []
    for item in error.errors(include_input=False, include_url=False):
        message = str(item["msg"]).removeprefix("Value error, ")
        names = "_".join(str(part) for part in item["loc"])
        parts.append(f"{ENV_PREFIX}{names.upper()}: {message}" if names else message)
    return "; ".join(parts)


class AuthSettings(BaseModel):
    """How access tokens are signed and checked, and how often policies are re-read.

    Build it in the application (``AuthSettings(secret_key=...)``) or from the
    environment with :meth:`from_env`, which reads ``QUORVALEN_AUTH_`` followed
    by the upper-cased field name (``QUORVALEN_AUTH_SECRET_KEY``,
    ``QUORVALEN_AUTH_ACCESS_TOKEN_EXPIRE_SECONDS``, ...).
    """

    # Validation errors never echo the values given: one of them is the key.
    model_config = ConfigDict(frozen=True, extra="forbid", hide_input_in_errors=True)

    secret_key: SecretStr | None = Field(
        default=None,
        description="HMAC key (HS* algorithms) or PEM private key (RS*/ES*/PS*/EdDSA) signing tokens.",
    )
    verify_key: str | None = Field(
        default=None,
        description="PEM public key checking tokens for asymmetric algorithms; None: use secret_key.",
    )
    algorithm: str = Field(default="HS256", description="JWS algorithm of issued and accepted tokens.")
    access_token_expire_seconds: int = Field(default=3600, gt=0, description="Lifetime of issued tokens.")
    issuer: str | None = Field(default=None, description="Required `iss` claim, when set.")
    audience: str | None = Field(default=None, description="Required `aud` claim, when set.")
    leeway_seconds: float = Field(default=0.0, ge=0, description="Clock skew tolerated on `exp`.")
    jwks_url: str | None = Field(
        default=None,
        description="URL of the identity provider's JSON Web Key Set; unset with only `issuer` set (no key): "
        "found through the issuer's OpenID Connect discovery document.",
    )
    key_set_algorithms: tuple[str, ...] = Field(
        default=KEY_SET_ALGORITHMS,
        description="Algorithms a key of the key set may verify with (comma-separated in the environment).",
    )
    key_set_refetch_seconds: float = Field(
        default=30.0,
        ge=0,
        description="Least time between two fetches of the key set caused by tokens naming an unknown key.",
    )
    key_set_max_age_seconds: float = Field(
        default=3600.0, gt=0, description="Age after which the key set is fetched again in the background."
    )
    key_set_timeout_seconds: float = Field(default=5.0, gt=0, description="Time limit of one fetch.")
    subject_claim: str = Field(default="sub", min_length=1, description="Claim (or dotted path) naming the caller.")
    roles_claim: str | None = Field(
        default=None,
        min_length=1,
        description="Claim (or dotted path) whose values are roles of the caller for the request: a list, "
        "or a space-separated string.",
    )
    roles_prefix: str = Field(default="", description="Put before each claimed value to make its role name.")
    roles_map: dict[str, str] | None = Field(
        default=None,
        description="Claimed value -> role name; when set, values not in it give no role "
        "(a JSON object in the environment).",
    )
    policy_refresh_seconds: float = Field(
        default=5.0,
        ge=0,
        description="How often a process checks the database for policy changes made by other "
        "processes (0: before every check).",
    )

    @field_validator("algorithm")
    @classmethod
    def _known_algorithm(cls, value: str) -> str:
        from jwt.algorithms import get_default_algorithms

        known = sorted(name for name in get_default_algorithms() if name != "none")
        if value not in known:
            raise ValueError(f"unknown or unavailable algorithm {value!r}; available: {', '.join(known)}")
        return value

    @field_validator("key_set_algorithms", mode="before")
    @classmethod
    def _split_algorithms(cls, value: Any) -> Any:
        return tuple(part.strip() for part in value.split(",") if part.strip()) if isinstance(value, str) else value

    @field_validator("key_set_algorithms")
    @classmethod
    def _asymmetric_algorithms(cls, value: tuple[str, ...]) -> tuple[str, ...]:
        wrong = [name for name in value if name not in KEY_SET_ALGORITHMS]
        if wrong or not value:
            raise ValueError(
                f"a key set verifies with {', '.join(KEY_SET_ALGORITHMS)}; not with {', '.join(wrong) or 'nothing'}"
            )
        return value

    @field_validator("roles_map", mode="before")
    @classmethod
    def _parse_roles_map(cls, value: Any) -> Any:
        if isinstance(value, str):
            try:
                return json.loads(value)
            except ValueError:
                raise ValueError("roles_map is a JSON object of claimed value to role name") from None
        return value

    @field_validator("jwks_url")
    @classmethod
    def _web_url(cls, value: str | None) -> str | None:
        if value is not None and not value.startswith(("https://", "http://")):
            raise ValueError("jwks_url is an https:// (or http://) URL")
        return value

    @model_validator(mode="after")
    def _check_keys(self) -> AuthSettings:
        minimum = MIN_HMAC_KEY_BYTES.get(self.algorithm)
        if self.secret_key is not None and minimum is not None:
            length = len(self.secret_key.get_secret_value().encode())
            if length < minimum:
                raise ValueError(
                    f"secret_key must be at least {minimum} bytes for {self.algorithm} (it has {length})"
                )
        return self

    @classmethod
    def from_env(cls, environ: Mapping[str, str] | None = None, **overrides: Any) -> AuthSettings:
        """Settings from ``QUORVALEN_AUTH_*`` variables; ``overrides`` win over them."""
        source = os.environ if environ is None else environ
        values: dict[str, Any] = {}
        for name in cls.model_fields:
            raw = source.get(ENV_PREFIX + name.upper())
            if raw:
                values[name] = raw
        values.update(overrides)
        return cls(**values)

    @property
    def uses_key_set(self) -> bool:
        """Whether tokens are checked against the identity provider's published keys."""
        return self.jwks_url is not None or (
            self.issuer is not None
            and self.issuer.startswith(("https://", "http://"))
            and self.secret_key is None
            and self.verify_key is None
        )

    @property
    def has_static_key(self) -> bool:
        return self.secret_key is not None or self.verify_key is not None

    def discovery_url(self) -> str | None:
        """The OpenID Connect discovery document naming the key set, when no key set URL is given."""
        if self.jwks_url is not None or not self.uses_key_set or self.issuer is None:
            return None
        return self.issuer.rstrip("/") + DISCOVERY_PATH

    def signing_key(self) -> str:
        if self.secret_key is None:
            raise AuthConfigurationError(
                f"no token key configured: set {ENV_PREFIX}SECRET_KEY or give AuthSettings(secret_key=...)"
            )
        return self.secret_key.get_secret_value()

    def verification_key(self) -> str:
        if self.verify_key is not None:
            return self.verify_key
        return self.signing_key()
