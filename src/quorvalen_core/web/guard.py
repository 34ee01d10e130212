"""The check in front of a guarded route: who calls, and may they.

A guard authenticates the caller (a bearer token, or an authentication
dependency: the application context's, else the one the route was
registered with) and decides its permission from the policies loaded in
memory.  :class:`~.routes.AuthRoute` runs it before FastAPI reads or
validates anything of the request, so an unauthenticated caller learns
nothing about the body a route expects.  The guard also sits in the route's
dependencies, where it documents the security scheme in OpenAPI and, should
the route be served by another route class, makes the check itself.

Nothing here touches the database on the event loop: a store not loaded yet
is loaded in a worker thread shared by the requests waiting for it, and
checks read the last loaded policies.
"""

# No postponed annotations here: FastAPI reads the guards' __call__
# signatures, and older versions resolve string annotations through the
# callable's module globals, which an instance's method does not carry.
import logging
from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from fastapi import HTTPException, Request, status
from fastapi.dependencies.models import Dependant
from fastapi.exceptions import RequestValidationError
from fastapi.security import HTTPBearer
from fastapi.security.base import SecurityBase
from fastapi.security.utils import get_authorization_scheme_param
from pydantic import ValidationError

from ..access.claims import Caller
from ..access.key_sets import KeySetUnavailable
from ..access.policy import PolicyStore
from ..access.row_access import PERMISSION_DENIED, ROW_ACCESS_STATE_ATTR, RowAccess
from ..access.service import AuthService
from ..access.settings import AuthConfigurationError, describe_settings_error
from ..access.tokens import InvalidAccessToken
from ..db.errors import LogThrottle, describe_database_error
from ..db.registry import DatabaseConfigurationError
from ..rows.errors import RETRY_AFTER_SECONDS
from .context import context_of
from .dependencies import SUBJECT_STATE_ATTR, TOKENS_UNAVAILABLE, bearer_scheme, unauthorized
from .fastapi_internals import dependant_of, solve_dependency

if TYPE_CHECKING:
    from .router import AuthRouter

POLICIES_UNAVAILABLE = "The permission policies cannot be read now; try again shortly"

# One line per kind of failure and interval while a setting stays wrong.
_configuration_log = LogThrottle()


def describe_exception(exc: BaseException) -> str:
    """A database error as one line without SQL; a setting's error as its own message."""
    return str(exc) if isinstance(exc, DatabaseConfigurationError) else describe_database_error(exc)

logger = logging.getLogger("quorvalen_core.auth")

# request.state attribute naming the guard that already admitted the request.
ADMITTED_BY_ATTR = "quorvalen_admitted_by"


@dataclass(frozen=True)
class RoutePermission:
    """What a guarded route demands of its caller.

    With ``role`` set the caller must hold that role (directly or inherited);
    otherwise the caller must be allowed ``act`` on ``obj``.
    """

    role: str | None
    obj: str | None
    act: str | None
    db_config_name: str | None
    # The router's default role's grant for this route, stored with the policies.
    default_grant: tuple[str, str, str] | None = None
    # The default role's row grants (every row, deleted rows), stored with the policies.
    row_grants: tuple[tuple[str, str, str], ...] = ()


def service_unavailable(detail: str) -> HTTPException:
    return HTTPException(
        status_code=status.HTTP_503_SERVICE_UNAVAILABLE,
        detail=detail,
        headers={"Retry-After": str(RETRY_AFTER_SECONDS)},
    )


class _Guard:
    """Shared part of both guards: authentication by the chosen means, then the permission decision."""

    permission: RoutePermission
    router: "AuthRouter"
    # The authentication dependency the route was registered with (None: bearer tokens).
    authentication: Callable[..., Any] | None = None

    async def check(self, request: Request) -> None:
        """Admit the request or raise 401, 403 or 503; hand the endpoint the caller's RowAccess."""
        context = context_of(request)
        service = context.auth
        caller = await self.authenticate(request, service, context.authentication(self.authentication))
        subject, claimed = caller.subject, caller.claimed_roles
        store = await self._policies(service)
        permission = self.permission
        if permission.role:
            allowed = store.has_role(subject, permission.role, claimed)
        else:
            # A route without a role has both (AuthRouter.route_permission).
            assert permission.obj is not None and permission.act is not None
            allowed = store.is_allowed(subject, permission.obj, permission.act, claimed)
        if logger.isEnabledFor(logging.DEBUG):
            logger.debug(
                "decision: subject %r%s, %s -> %s",
                subject,
                f" claiming {sorted(claimed)!r}" if claimed else "",
                f"role {permission.role!r}" if permission.role else f"{permission.obj!r} {permission.act!r}",
                "allowed" if allowed else "denied",
            )
        if not allowed:
            raise HTTPException(status_code=status.HTTP_403_FORBIDDEN, detail=PERMISSION_DENIED)
        state = request.state
        setattr(state, SUBJECT_STATE_ATTR, subject)
        setattr(state, ADMITTED_BY_ATTR, self)
        setattr(
            state, ROW_ACCESS_STATE_ATTR, RowAccess(subject, store.snapshot, permission.obj, permission.act, claimed)
        )

    async def authenticate(
        self, request: Request, service: AuthService, authentication: Callable[..., Any] | None
    ) -> Caller:
        """The caller: from a bearer token (with the roles it claims), or from ``authentication``; else 401."""
        if authentication is None:
            scheme, token = get_authorization_scheme_param(request.headers.get("Authorization"))
            if not token or scheme.lower() != "bearer":
                raise unauthorized("Not authenticated")
            try:
                return await service.authenticate_token(token)
            except InvalidAccessToken as exc:
                raise unauthorized("Token expired" if exc.expired else "Invalid token", "invalid_token") from None
            except KeySetUnavailable:
                # Logged by the key set, once per failed fetch.
                raise service_unavailable(TOKENS_UNAVAILABLE) from None
            except (AuthConfigurationError, ValidationError) as exc:
                # Settings a startup would have refused: an application mounted
                # in another runs no startup of its own.
                if _configuration_log.admit("token settings") is not None:
                    reason = describe_settings_error(exc) if isinstance(exc, ValidationError) else str(exc)
                    logger.error("bearer tokens cannot be checked: %s", reason)
                raise service_unavailable(TOKENS_UNAVAILABLE) from None
        values, errors = await solve_dependency(request, self._dependant(authentication))
        if errors:
            raise RequestValidationError(errors)
        subject = values.get("subject")
        if not isinstance(subject, str) or not subject:
            raise unauthorized("Not authenticated")
        return Caller(subject)

    def _dependant(self, authentication: Callable[..., Any]) -> Dependant:
        dependants: dict[Callable[..., Any], Dependant] = self.__dict__.setdefault("_dependants", {})
        dependant = dependants.get(authentication)
        if dependant is None:
            dependant = dependants.setdefault(authentication, dependant_of(authentication))
        return dependant

    async def _policies(self, service: AuthService) -> PolicyStore:
        name = self.permission.db_config_name
        store = service.loaded_policies(name)
        if store is None or not self.router.policies_prepared(store):
            try:
                store = await service.run_shared(
                    ("prepare", id(self.router), name), lambda: self.router.prepare_policies(service, name)
                )
            except Exception as exc:  # noqa: BLE001 - logged; the caller is told to retry
                if _configuration_log.admit(f"policies {name}") is not None:
                    logger.warning("policies of database %r not loaded: %s", name or "default", describe_exception(exc))
                raise service_unavailable(POLICIES_UNAVAILABLE) from None
        store.refresh_in_background()
        return store

    async def dependency(self, request: Request) -> None:
        if getattr(request.state, ADMITTED_BY_ATTR, None) is not self:
            await self.check(request)


class BearerGuard(HTTPBearer, _Guard):
    """Guard of a route registered for bearer tokens (JWT); documented as ``BearerToken``."""

    def __init__(self, permission: RoutePermission, router: "AuthRouter") -> None:
        super().__init__(
            auto_error=False,
            scheme_name=bearer_scheme.scheme_name,
            bearerFormat=bearer_scheme.model.bearerFormat,  # type: ignore[attr-defined]
            description=bearer_scheme.model.description,
        )
        self.permission = permission
        self.router = router

    async def __call__(self, request: Request) -> None:  # type: ignore[override]
        await self.dependency(request)


class DependencyGuard(_Guard):
    """Guard of a route registered with an application's own authentication dependency."""

    def __init__(self, permission: RoutePermission, router: "AuthRouter", authentication: Callable[..., Any]) -> None:
        self.permission = permission
        self.router = router
        self.authentication = authentication

    def security_schemes(self) -> list[SecurityBase]:
        """The security schemes the authentication dependency uses, for OpenAPI."""
        assert self.authentication is not None
        found: list[SecurityBase] = []
        pending = list(self._dependant(self.authentication).dependencies)
        while pending:
            dependant = pending.pop(0)
            if isinstance(dependant.call, SecurityBase):
                found.append(dependant.call)
            pending.extend(dependant.dependencies)
        return found

    async def __call__(self, request: Request) -> None:
        await self.dependency(request)


RouteGuard = BearerGuard | DependencyGuard


def find_guard(dependencies: list[Any] | None) -> RouteGuard | None:
    for dependency in dependencies or ():
        call = getattr(dependency, "dependency", None)
        if isinstance(call, (BearerGuard, DependencyGuard)):
            return call
    return None
