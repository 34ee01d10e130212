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
:class:`AuthService`: its context's (:mod:`.context`), else the process's
(:func:`set_auth_service` installs one).

The generated endpoints take their database session from
:func:`database_session`, which an application may replace with
``app.dependency_overrides[database_session] = ...`` (a session per test,
rolled back, say).
"""

from __future__ import annotations

from fastapi import HTTPException, Request, Security, status
from fastapi.security import HTTPAuthorizationCredentials, HTTPBearer

from ..access.key_sets import KeySetUnavailable
from ..access.service import AuthService
from ..access.tokens import InvalidAccessToken
from ..rows.errors import RETRY_AFTER_SECONDS
from .context import context_of

SUBJECT_STATE_ATTR = "quorvalen_subject"

TOKENS_UNAVAILABLE = "Access tokens cannot be checked now; try again shortly"

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


async def subject_of_credentials(service: AuthService, credentials: HTTPAuthorizationCredentials | None) -> str:
    """The subject of a bearer token checked by ``service``; else 401 (503 while its key cannot be fetched)."""
    if credentials is None:
        raise unauthorized("Not authenticated")
    try:
        caller = await service.authenticate_token(credentials.credentials)
    except InvalidAccessToken as exc:
        raise unauthorized("Token expired" if exc.expired else "Invalid token", "invalid_token") from None
    except KeySetUnavailable:
        raise HTTPException(
            status_code=status.HTTP_503_SERVICE_UNAVAILABLE,
            detail=TOKENS_UNAVAILABLE,
            headers={"Retry-After": str(RETRY_AFTER_SECONDS)},
        ) from None
    return caller.subject


async def authenticate(
    request: Request,
    credentials: HTTPAuthorizationCredentials | None = Security(bearer_scheme),
) -> str:
    """The caller named by the request's bearer token; 401 when it is missing or not valid."""
    subject = await subject_of_credentials(context_of(request).auth, credentials)
    setattr(request.state, SUBJECT_STATE_ATTR, subject)
    return subject


async def current_subject(request: Request) -> str | None:
    """The authenticated caller of a guarded route, None on a public route."""
    subject: str | None = getattr(request.state, SUBJECT_STATE_ATTR, None)
    return subject
