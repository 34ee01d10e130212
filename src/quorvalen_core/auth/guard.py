"""The check in front of a guarded route: who calls, and may they.

A :class:`RouteGuard` authenticates the caller (a bearer token, or the
application's own authentication dependency) and decides its permission from
the policies loaded in memory.  :class:`AuthRoute` runs it before FastAPI
reads or validates anything of the request, so an unauthenticated caller
learns nothing about the body a route expects.  The guard also sits in the
route's dependencies, where it documents the security scheme in OpenAPI and,
should the route be served by another route class, makes the check itself.

Nothing here touches the database on the event loop: a store not loaded yet
is loaded in a worker thread shared by the requests waiting for it, and
checks read the last loaded policies.
"""

from __future__ import annotations

import inspect
import logging
import threading
from collections.abc import Callable, Coroutine
from dataclasses import dataclass
from enum import IntEnum
from typing import TYPE_CHECKING, Any

from fastapi import HTTPException, Request, Response, status
from fastapi import routing as fastapi_routing
from fastapi.dependencies.models import Dependant
from fastapi.dependencies.utils import get_dependant, solve_dependencies
from fastapi.exceptions import RequestValidationError
from fastapi.params import Depends
from fastapi.routing import APIRoute
from fastapi.security import HTTPBearer
from fastapi.security.base import SecurityBase
from fastapi.security.utils import get_authorization_scheme_param
from starlette.routing import get_name

from ..controller.validation import StrictJSONRequest, encodable_validation_error
from .dependencies import SUBJECT_STATE_ATTR, bearer_scheme, unauthorized
from .row_access import ROW_ACCESS_STATE_ATTR, RowAccess
from .service import get_auth_service
from .tokens import InvalidAccessToken

if TYPE_CHECKING:
    from .auth_router import AuthRouter
    from .policy import PolicyStore

PERMISSION_DENIED = "Permission denied"
POLICIES_UNAVAILABLE = "The permission policies cannot be read now; try again shortly"
RETRY_AFTER_SECONDS = 2

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
    # Whether the endpoint decides on rows (an owner column, soft delete,
    # includes): the guard then hands it a RowAccess.
    row_scoped: bool = False
    # The default role's row grants (every row, deleted rows), stored with the policies.
    row_grants: tuple[tuple[str, str, str], ...] = ()


def service_unavailable(detail: str) -> HTTPException:
    return HTTPException(
        status_code=status.HTTP_503_SERVICE_UNAVAILABLE,
        detail=detail,
        headers={"Retry-After": str(RETRY_AFTER_SECONDS)},
    )


class _Guard:
    """Shared part of both guards: the permission decision, once the subject is known."""

    permission: RoutePermission
    router: AuthRouter

    async def check(self, request: Request) -> None:
        """Admit the request or raise 401, 403 or 503."""
        subject = await self.authenticate(request)
        store = await self._policies()
        permission = self.permission
        if permission.role:
            allowed = store.has_role(subject, permission.role)
        else:
            allowed = store.is_allowed(subject, permission.obj, permission.act)  # type: ignore[arg-type]
        if logger.isEnabledFor(logging.DEBUG):
            logger.debug(
                "decision: subject %r, %s -> %s",
                subject,
                f"role {permission.role!r}" if permission.role else f"{permission.obj!r} {permission.act!r}",
                "allowed" if allowed else "denied",
            )
        if not allowed:
            raise HTTPException(status_code=status.HTTP_403_FORBIDDEN, detail=PERMISSION_DENIED)
        state = request.state
        setattr(state, SUBJECT_STATE_ATTR, subject)
        setattr(state, ADMITTED_BY_ATTR, self)
        if permission.row_scoped:
            setattr(state, ROW_ACCESS_STATE_ATTR, RowAccess(subject, store.snapshot, permission.obj, permission.act))

    async def authenticate(self, request: Request) -> str:
        raise NotImplementedError

    async def _policies(self) -> PolicyStore:
        service = get_auth_service()
        name = self.permission.db_config_name
        store = service.loaded_policies(name)
        if store is None or not self.router.policies_prepared(store):
            try:
                store = await service.run_shared(
                    ("prepare", id(self.router), name), lambda: self.router.prepare_policies(service, name)
                )
            except Exception as exc:  # noqa: BLE001 - logged; the caller is told to retry
                logger.warning("policies of database %r not loaded: %s", name or "default", _describe(exc))
                raise service_unavailable(POLICIES_UNAVAILABLE) from None
        store.refresh_in_background()
        return store

    async def dependency(self, request: Request) -> None:
        if getattr(request.state, ADMITTED_BY_ATTR, None) is not self:
            await self.check(request)


def _describe(exc: BaseException) -> str:
    from ..db.errors import describe_database_error

    return describe_database_error(exc)


class BearerGuard(HTTPBearer, _Guard):
    """Guard authenticating callers by bearer token (JWT); documented as ``BearerToken``."""

    def __init__(self, permission: RoutePermission, router: AuthRouter) -> None:
        super().__init__(
            auto_error=False,
            scheme_name=bearer_scheme.scheme_name,
            bearerFormat=bearer_scheme.model.bearerFormat,  # type: ignore[attr-defined]
            description=bearer_scheme.model.description,
        )
        self.permission = permission
        self.router = router

    async def authenticate(self, request: Request) -> str:
        scheme, token = get_authorization_scheme_param(request.headers.get("Authorization"))
        if not token or scheme.lower() != "bearer":
            raise unauthorized("Not authenticated")
        try:
            return get_auth_service().subject_of(token)
        except InvalidAccessToken as exc:
            raise unauthorized("Token expired" if exc.expired else "Invalid token", "invalid_token") from None

    async def __call__(self, request: Request) -> None:  # type: ignore[override]
        await self.dependency(request)


class DependencyGuard(_Guard):
    """Guard authenticating callers with the application's own FastAPI dependency."""

    def __init__(self, permission: RoutePermission, router: AuthRouter, authentication: Callable[..., Any]) -> None:
        self.permission = permission
        self.router = router
        self.authentication = authentication

        # A default rather than Annotated: the annotation would be a string
        # naming a local that FastAPI cannot resolve.
        async def caller(subject: str = Depends(authentication)) -> str:  # type: ignore[assignment]
            return subject

        self._dependant: Dependant = get_dependant(path="", call=caller)

    def security_schemes(self) -> list[SecurityBase]:
        """The security schemes the authentication dependency uses, for OpenAPI."""
        found: list[SecurityBase] = []
        pending = list(self._dependant.dependencies)
        while pending:
            dependant = pending.pop(0)
            if isinstance(dependant.call, SecurityBase):
                found.append(dependant.call)
            pending.extend(dependant.dependencies)
        return found

    async def authenticate(self, request: Request) -> str:
        solved = await solve_dependencies(
            request=request,
            dependant=self._dependant,
            dependency_overrides_provider=getattr(request, "app", None),
            async_exit_stack=request.scope["fastapi_inner_astack"],
            embed_body_fields=False,
        )
        if solved.errors:
            raise RequestValidationError(solved.errors)
        subject = solved.values.get("subject")
        if not isinstance(subject, str) or not subject:
            raise unauthorized("Not authenticated")
        return subject

    async def __call__(self, request: Request) -> None:
        await self.dependency(request)


RouteGuard = BearerGuard | DependencyGuard


def find_guard(dependencies: list[Any] | None) -> RouteGuard | None:
    for dependency in dependencies or ():
        call = getattr(dependency, "dependency", None)
        if isinstance(call, (BearerGuard, DependencyGuard)):
            return call
    return None


class AuthRoute(APIRoute):
    """A route of an :class:`AuthRouter`.

    Its guard runs before FastAPI reads or validates anything of the request;
    a JSON body is parsed strictly, and validation errors are made safe to
    encode whatever the client sent (see :mod:`..controller.validation`).
    """

    def get_route_handler(self) -> Callable[[Request], Coroutine[Any, Any, Response]]:
        handler = super().get_route_handler()
        guard = find_guard(self.dependencies)
        has_body = _handled_route(self).body_field is not None
        if guard is None and not has_body:
            return handler

        async def guarded_handler(request: Request) -> Response:
            if guard is not None:
                await guard.check(request)
            if not has_body:
                return await handler(request)
            try:
                return await handler(StrictJSONRequest(request.scope, request.receive))
            except RequestValidationError as exc:
                raise encodable_validation_error(exc) from None

        return guarded_handler


# Settings a route keeps as given, which an including router reads to build
# its own copy of the route.
_ROUTE_SETTINGS = (
    "response_model",
    "summary",
    "response_description",
    "deprecated",
    "operation_id",
    "response_model_include",
    "response_model_exclude",
    "response_model_by_alias",
    "response_model_exclude_unset",
    "response_model_exclude_defaults",
    "response_model_exclude_none",
    "include_in_schema",
    "response_class",
    "dependency_overrides_provider",
    "callbacks",
    "openapi_extra",
    "generate_unique_id_function",
    "strict_content_type",
    "max_body_size",
)
_ROUTE_PARAMETERS = inspect.signature(APIRoute.__init__)
_build_lock = threading.RLock()


class GeneratedRoute(AuthRoute):
    """A route a controller generates, built on first use.

    FastAPI builds a route's parameters, body and response fields (a
    validator for every model) when the route is constructed, and again for
    every router the route is included in.  A route served through an
    including router, the usual case, never uses its own: they are built
    when first asked for.  Until then the route holds its settings as given.
    Only generated routes wait: their definitions are known to be sound, so
    no error of a route's definition is put off until its first use.
    """

    def __init__(self, path: str, endpoint: Callable[..., Any], **settings: Any) -> None:
        arguments = _ROUTE_PARAMETERS.bind(self, path, endpoint, **settings)
        arguments.apply_defaults()
        given = arguments.arguments
        self.path = path
        self.endpoint = endpoint
        for name in _ROUTE_SETTINGS:
            if name in given:
                setattr(self, name, given[name])
        status_code = given.get("status_code")
        self.status_code = int(status_code) if isinstance(status_code, IntEnum) else status_code
        self.tags = list(given.get("tags") or [])
        self.dependencies = list(given.get("dependencies") or [])
        self.responses = dict(given.get("responses") or {})
        self.methods = {method.upper() for method in given.get("methods") or ["GET"]}
        self.name = get_name(endpoint) if given.get("name") is None else given["name"]
        description = given.get("description") or inspect.cleandoc(endpoint.__doc__ or "")
        self.description = description.split("\f")[0].strip()
        if "form_limits" in given:
            # Checked as the route's own constructor checks them.
            self.form_limits = fastapi_routing._validate_form_limits(given["form_limits"])
        if not (inspect.isgeneratorfunction(endpoint) or inspect.isasyncgenfunction(endpoint)):
            # Only a generator streams items, whose type FastAPI reads from its annotation.
            self.stream_item_type = None
        self._unbuilt: tuple[str, Callable[..., Any], dict[str, Any]] | None = (path, endpoint, settings)

    def __getattr__(self, name: str) -> Any:
        # Reached only for what the route has not set: the parts built on first use.
        if name.startswith("__") or "_unbuilt" not in self.__dict__:
            raise AttributeError(name)
        # Another thread waits for the route being built; the building thread
        # itself, asking for what is not set yet, gets the plain AttributeError.
        with _build_lock:
            unbuilt = self.__dict__.get("_unbuilt")
            if unbuilt is not None:
                self._unbuilt = None
                path, endpoint, settings = unbuilt
                try:
                    APIRoute.__init__(self, path, endpoint, **settings)
                except BaseException:
                    self._unbuilt = unbuilt
                    raise
                del self._unbuilt
        return object.__getattribute__(self, name)


def _handled_route(route: AuthRoute) -> Any:
    """What FastAPI builds ``route``'s handler from: an including router's copy of it, else the route."""
    context_var = getattr(fastapi_routing, "_effective_route_context_var", None)
    context = context_var.get() if context_var is not None else None
    return context if context is not None and getattr(context, "original_route", None) is route else route
