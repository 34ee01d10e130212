"""FastAPI dependencies: who is calling, and the service that decides.

Bearer-token authentication is :func:`authenticate`.  An application with its
own authentication (sessions, an identity provider, API keys...) replaces it
for the whole application with FastAPI's dependency overrides::

    async def my_authenticate(request: Request) -> str:
        ...  # return the caller's subject, or raise HTTPException(401, ...)

    app.dependency_overrides[quorvalen_core.auth.authenticate] = my_authenticate

Every guarded route then authorises the subject that dependency returns.  In
the same way ``app.dependency_overrides[auth_service] = lambda: service``
gives an application's routes a service of its own.
"""

from __future__ import annotations

from fastapi import Depends, HTTPException, Request, Security, status
from fastapi.security import HTTPAuthorizationCredentials, HTTPBearer

from .service import AuthService, get_auth_service
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


async def auth_service() -> AuthService:
    """The application's :class:`AuthService` (override to supply another)."""
    return get_auth_service()


async def authenticate(
    credentials: HTTPAuthorizationCredentials | None = Security(bearer_scheme),
    service: AuthService = Depends(auth_service),
) -> str:
    """The subject of the request's bearer token; 401 when it is missing or not valid."""
    if credentials is None:
        raise unauthorized("Not authenticated")
    try:
        return service.subject_of(credentials.credentials)
    except InvalidAccessToken as exc:
        raise unauthorized("Token expired" if exc.expired else "Invalid token", "invalid_token") from None


async def current_subject(request: Request) -> str | None:
    """The authenticated caller of a guarded route, None on a public route."""
    subject: str | None = getattr(request.state, SUBJECT_STATE_ATTR, None)
    return subject
