"""Who a token names, and the roles its claims give the caller for one request.

An identity provider puts a caller's groups or roles in a claim: Keycloak
in ``realm_access.roles``, Entra ID in ``roles`` or ``groups``, an OAuth
server in the space-separated ``scope``.  Those values become roles of the
caller for the requests made with that token, beside the roles stored for
its subject; stored grants still decide what each role may do.  A claimed
value only ever names a role: subjects and roles are separate name spaces,
so a value spelled like a subject gives nothing of that subject.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from .policy import CONTROL_CHARACTERS
from .settings import AuthSettings

# A caller with more roles than this in one token is refused (401): beyond
# it, a token is a way to make every decision of the process cost more.
MAX_CLAIMED_ROLES = 256
MAX_ROLE_NAME_LENGTH = 256

NO_CLAIMED_ROLES: frozenset[str] = frozenset()


class UnusableClaims(ValueError):
    """The claims of a valid signature that still name no usable caller."""


@dataclass(frozen=True, slots=True)
class Caller:
    """The authenticated caller of a request: its subject, and the roles its token claims."""

    subject: str
    claimed_roles: frozenset[str] = NO_CLAIMED_ROLES


def claim_at(claims: Mapping[str, Any], path: str) -> Any:
    """The value at ``path``: a claim of that very name, else a dotted path through nested objects.

    The whole name is looked up first, so that namespaced claims such as
    ``https://example.com/roles`` (Auth0) are found as they are.
    """
    if path in claims:
        return claims[path]
    value: Any = claims
    for part in path.split("."):
        if not isinstance(value, Mapping) or part not in value:
            return None
        value = value[part]
    return value


def subject_claimed(claims: Mapping[str, Any], settings: AuthSettings) -> str:
    subject = claim_at(claims, settings.subject_claim)
    if not isinstance(subject, str) or not subject:
        raise UnusableClaims(f"the token names no subject in {settings.subject_claim!r}")
    return subject


def roles_claimed(claims: Mapping[str, Any], settings: AuthSettings) -> frozenset[str]:
    """The roles the configured claim gives, through the prefix or the map.

    A list gives its strings, a string its space-separated words; anything
    else (a number, an object, an absent claim) gives no role.  Values that
    cannot be role names (empty, too long, with control characters) are left
    out.
    """
    if settings.roles_claim is None:
        return NO_CLAIMED_ROLES
    value = claim_at(claims, settings.roles_claim)
    if isinstance(value, str):
        values: list[Any] = value.split()
    elif isinstance(value, list):
        values = value
    else:
        return NO_CLAIMED_ROLES
    mapping = settings.roles_map
    roles: set[str] = set()
    for item in values:
        if not isinstance(item, str):
            continue
        role = mapping.get(item) if mapping is not None else settings.roles_prefix + item
        if not role or len(role) > MAX_ROLE_NAME_LENGTH or CONTROL_CHARACTERS.search(role):
            continue
        roles.add(role)
        if len(roles) > MAX_CLAIMED_ROLES:
            raise UnusableClaims(f"the token claims more than {MAX_CLAIMED_ROLES} roles")
    return frozenset(roles)


def caller_of_claims(claims: Mapping[str, Any], settings: AuthSettings) -> Caller:
    return Caller(subject_claimed(claims, settings), roles_claimed(claims, settings))
