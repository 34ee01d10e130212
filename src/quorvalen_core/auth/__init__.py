"""Authentication and authorisation for generated routers: what an application imports.

The names below live in :mod:`quorvalen_core.web` (routers, dependencies)
and :mod:`quorvalen_core.access` (policies, tokens, settings); they are
loaded on first access, so importing this package alone does not import
FastAPI or SQLAlchemy.  ``python -m quorvalen_core.auth`` is the command
line for roles and permissions.

- :class:`AuthRouter`: the router with guarded routes.
- :func:`authenticate`, :func:`current_subject`: FastAPI dependencies;
  :func:`set_authentication_dependency` plugs in another authentication.
- :class:`AuthService`, :func:`get_auth_service`, :func:`set_auth_service`:
  token settings and policy stores of the application.
- :class:`AuthSettings`, :func:`create_access_token`, :class:`PolicyStore`.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from .._lazy import lazy_exports

_EXPORTS = {
    "AuthRouter": "..web.router",
    "RoutePermission": "..web.router",
    "authenticate": "..web.dependencies",
    "bearer_scheme": "..web.dependencies",
    "current_subject": "..web.dependencies",
    "get_authentication_dependency": "..web.context",
    "set_authentication_dependency": "..web.context",
    "AuthService": "..access.service",
    "get_auth_service": "..access.service",
    "set_auth_service": "..access.service",
    "AuthSettings": "..access.settings",
    "AuthConfigurationError": "..access.settings",
    "InvalidAccessToken": "..access.tokens",
    "create_access_token": "..access.tokens",
    "decode_access_token": "..access.tokens",
    "PolicyStore": "..access.policy",
    "SQLAlchemyPolicyAdapter": "..access.adapter",
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
    from ..access.adapter import SQLAlchemyPolicyAdapter
    from ..access.policy import PolicyStore
    from ..access.service import AuthService, get_auth_service, set_auth_service
    from ..access.settings import AuthConfigurationError, AuthSettings
    from ..access.tokens import InvalidAccessToken, create_access_token, decode_access_token
    from ..web.context import get_authentication_dependency, set_authentication_dependency
    from ..web.dependencies import authenticate, bearer_scheme, current_subject
    from ..web.router import AuthRouter, RoutePermission


__getattr__ = lazy_exports(__name__, _EXPORTS)
