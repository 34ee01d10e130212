"""FastAPI dependencies: who is calling.

Guarded routes authenticate with bearer tokens (JWT) by default.  An
application with its own authentication (sessions, an identity provider, API
keys...) plugs in a FastAPI dependency that returns the caller's subject, or
raises ``HTTPException(401, ...)``::

    async def api_key_subject(x_api_key: str = Header()) -> str:
        ...

    set_authentication_dependency(api_key_subject)   # before building routers

Guarded routes registered afterwards authenticate with it (an
``AuthRouter(authentication=...)`` keyword does the same for one router).
Routes of the application's own that need an authenticated caller but no
permission use ``Depends(authenticate)`` (bearer tokens).

The token settings and policy stores come from the application's
:class:`AuthService` (:func:`set_auth_service` installs one).
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from fastapi import HTTPException, Request, Security, status
from fastapi.security import HTTPAuthorizationCredentials, HTTPBearer

from .service import get_auth_service
from .tokens import InvalidAccessToken

SUBJECT_STATE_ATTR = "quorvalen_subject"

bearer_scheme = HTTPBearer(
    auto_error=False,
    scheme_name="BearerToken",
    bearerFormat="JWT",
    description="A JWT access token in the `Authorization: Bearer <token>` header.",
)


def unauthorized(detail: str, error: str | None = None) -> HTTPException:
    """A 401 response asking for a bearer token (RFC 6750)."""
    challenge = "Bearer" if error is None else f'Bearer error="{error}"'
    return HTTPException(
        status_code=status.HTTP_401_UNAUTHORIZED,
        detail=detail,
        headers={"WWW-Authenticate": challenge},
    )


def subject_of_credentials(credentials: HTTPAuthorizationCredentials | None) -> str:
    """The subject of a bearer token checked by the application's service; else 401."""
    if credentials is None:
        raise unauthorized("Not authenticated")
    try:
        return get_auth_service().subject_of(credentials.credentials)
    except InvalidAccessToken as exc:
        raise unauthorized("Token expired" if exc.expired else "Invalid token", "invalid_token") from None


_authentication: Callable[..., Any] | None = None


def set_authentication_dependency(dependency: Callable[..., Any] | None) -> Callable[..., Any] | None:
    """Authenticate routers built from now on with ``dependency`` (None: bearer tokens).

    Returns the previous setting.
    """
    global _authentication
    previous, _authentication = _authentication, dependency
    return previous


def get_authentication_dependency() -> Callable[..., Any] | None:
    """The application's own authentication dependency, if it set one."""
    return _authentication


async def authenticate(
    request: Request,
    credentials: HTTPAuthorizationCredentials | None = Security(bearer_scheme),
) -> str:
    """The caller named by the request's bearer token; 401 when it is missing or not valid."""
    subject = subject_of_credentials(credentials)
    setattr(request.state, SUBJECT_STATE_ATTR, subject)
    return subject


async def current_subject(request: Request) -> str | None:
    """The authenticated caller of a guarded route, None on a public route."""
    subject: str | None = getattr(request.state, SUBJECT_STATE_ATTR, None)
    return subject
