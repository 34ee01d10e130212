"""Authentication and authorisation for generated routers.

The names below are loaded on first access, so importing this package alone
does not import FastAPI or SQLAlchemy.

- :class:`AuthRouter`: the router with guarded routes.
- :func:`authenticate`, :func:`current_subject`: FastAPI dependencies;
  :func:`set_authentication_dependency` plugs in another authentication.
- :class:`AuthService`, :func:`get_auth_service`, :func:`set_auth_service`:
  token settings and policy stores of the application.
- :class:`AuthSettings`, :func:`create_access_token`, :class:`PolicyStore`.
"""

from __future__ import annotations

from importlib import import_module
from typing import TYPE_CHECKING, Any

_EXPORTS = {
    "AuthRouter": ".auth_router",
    "RoutePermission": ".auth_router",
    "authenticate": ".dependencies",
    "bearer_scheme": ".dependencies",
    "current_subject": ".dependencies",
    "get_authentication_dependency": ".dependencies",
    "set_authentication_dependency": ".dependencies",
    "AuthService": ".service",
    "get_auth_service": ".service",
    "set_auth_service": ".service",
    "AuthSettings": ".settings",
    "AuthConfigurationError": ".settings",
    "InvalidAccessToken": ".tokens",
    "create_access_token": ".tokens",
    "decode_access_token": ".tokens",
    "PolicyStore": ".policy",
    "SQLAlchemyPolicyAdapter": ".adapter",
}

__all__ = [
    "AuthConfigurationError",
    "AuthRouter",
    "AuthService",
    "AuthSettings",
    "InvalidAccessToken",
    "PolicyStore",
    "RoutePermission",
    "SQLAlchemyPolicyAdapter",
    "authenticate",
    "bearer_scheme",
    "create_access_token",
    "current_subject",
    "decode_access_token",
    "get_auth_service",
    "get_authentication_dependency",
    "set_auth_service",
    "set_authentication_dependency",
]

if TYPE_CHECKING:
    from .adapter import SQLAlchemyPolicyAdapter
    from .auth_router import AuthRouter, RoutePermission
    from .dependencies import (
        authenticate,
        bearer_scheme,
        current_subject,
        get_authentication_dependency,
        set_authentication_dependency,
    )
    from .policy import PolicyStore
    from .service import AuthService, get_auth_service, set_auth_service
    from .settings import AuthConfigurationError, AuthSettings
    from .tokens import InvalidAccessToken, create_access_token, decode_access_token


def __getattr__(name: str) -> Any:
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(import_module(module, __name__), name)
    globals()[name] = value
    return value
