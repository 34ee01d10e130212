"""The router that generated controllers register their endpoints on."""

from __future__ import annotations

import logging
import warnings
import weakref
from collections.abc import AsyncIterator, Callable
from contextlib import asynccontextmanager
from dataclasses import replace
from typing import Any, cast

from fastapi import APIRouter, Depends, FastAPI, Security, status
from fastapi.types import DecoratedCallable
from starlette.routing import BaseRoute
from fastapi.concurrency import run_in_threadpool
from pydantic import ValidationError

from ..access.policy import PUBLIC_ROUTE, PolicyStore
from ..access.row_access import PERMISSION_DENIED
from ..access.key_sets import KeySetUnavailable
from ..access.service import AuthService, follow_server_log, startup_logger
from ..access.settings import AuthConfigurationError, describe_settings_error
from ..db.errors import describe_database_error
from ..db.registry import DatabaseConfigurationError, DatabaseRegistry, get_database_registry
from .context import context_of_app, get_authentication_dependency
from .errors import error_response
from .guard import BearerGuard, DependencyGuard, RouteGuard, RoutePermission, find_guard
from .operations import is_switched_off
from .router_config import RouterConfig
from .routes import AuthRoute, GeneratedRoute

__all__ = ["PERMISSION_DENIED", "AuthRouter", "RoutePermission", "guarded_route_responses"]

ROUTER_WIDE_SETTINGS = ("auth_role", "auth_obj", "auth_act")
NOT_AUTHENTICATED = "Not authenticated: the credentials are missing, malformed or expired"


def guarded_route_responses() -> dict[int | str, dict[str, Any]]:
    """The OpenAPI answers every guarded route may give besides its own."""
    return {
        status.HTTP_401_UNAUTHORIZED: {
            **error_response(401, NOT_AUTHENTICATED),
            "headers": {
                "WWW-Authenticate": {
                    "description": "How to authenticate: `Bearer` (RFC 6750), with the error when a token was refused.",
                    "schema": {"type": "string"},
                }
            },
        },
        status.HTTP_403_FORBIDDEN: error_response(403, PERMISSION_DENIED),
        status.HTTP_503_SERVICE_UNAVAILABLE: error_response(503, "The policies or the database cannot be used now; retry after Retry-After seconds"),
    }


logger = logging.getLogger("quorvalen_core.auth")


def _http_method(method: str) -> Callable[..., Callable[[DecoratedCallable], DecoratedCallable]]:
    """``router.get(...)`` and its kind: :meth:`AuthRouter.api_route` for one method."""

    def route(self: AuthRouter, path: str, **route_kwargs: Any) -> Callable[[DecoratedCallable], DecoratedCallable]:
        return self.api_route(path, methods=[method], **route_kwargs)

    route.__name__ = method.lower()
    return route


class AuthRouter(APIRouter):
    """An ``APIRouter`` whose routes check who calls and what they may do.

    ``auth_role``, ``auth_obj`` and ``auth_act`` are the router-wide
    permission settings: a guarded route takes each of them where its own
    :class:`RouterConfig` leaves it unset.  The operations that
    ``AuthController.create`` generates set their own action (and their
    summary and message), so a router-wide ``auth_act`` governs only routes
    an application adds to the router itself; ``auth_role`` and ``auth_obj``
    reach generated operations whose settings leave them unset.  A
    router-wide value that no route uses is reported once, with a warning,
    when the router starts serving.  ``default_role``, when a non-empty string, is allowed every
    action of the router's guarded routes on the router's object.  That grant
    is stored with the policies the first time the router serves (at startup,
    or at its first request), so that every process and the command line see
    it, and an administrator can revoke it like any other; a revoked default
    grant is not stored again.  Policies live in the database named
    ``db_config_name`` (None: the default one).

    Statuses: 401 with ``WWW-Authenticate: Bearer`` for a missing, malformed
    or expired token, 403 for an authenticated caller without permission,
    503 with ``Retry-After`` while the policies cannot be read.  The check
    runs before the request's body or parameters are read.

    Callers are authenticated by ``authentication``, a FastAPI dependency
    returning the caller's subject; when None, by the application's
    :func:`set_authentication_dependency` at the time a route is added, else
    by bearer tokens.  An application serving bearer-guarded routes without a
    usable token key refuses to start.
    """

    # The decorators take the permission keywords of add_api_route too.
    get = _http_method("GET")
    post = _http_method("POST")
    put = _http_method("PUT")
    patch = _http_method("PATCH")
    delete = _http_method("DELETE")

    def __init__(
        self,
        *,
        prefix: str = "",
        tags: list[str] | None = None,
        db_config_name: str | None = None,
        default_role: str | None = None,
        auth_role: str | None = None,
        auth_obj: str | None = None,
        auth_act: str | None = None,
        authentication: Callable[..., Any] | None = None,
        **router_kwargs: Any,
    ) -> None:
        router_kwargs.setdefault("route_class", AuthRoute)
        application_lifespan = router_kwargs.pop("lifespan", None)
        super().__init__(prefix=prefix, tags=list(tags or []), lifespan=self._lifespan, **router_kwargs)
        self._application_lifespan = application_lifespan
        self.authentication = authentication
        self.db_config_name = db_config_name
        self.default_role = default_role
        self.auth_role = auth_role
        self.auth_obj = auth_obj
        self.auth_act = auth_act
        self._prepared: weakref.WeakSet[PolicyStore] = weakref.WeakSet()
        # Router-wide settings some route took because its own was unset.
        self._router_settings_used: set[str] = set()
        # (object, action) of public routes, recorded with the policies so
        # that the command line's check answers for them as the server does.
        self._public_routes: list[tuple[str, str]] = []
        self._unused_settings_reported = False
        self._create_tables_on_startup = False
        # Table models whose endpoints are registered here (create_tables).
        self.models: list[type[Any]] = []

    def create_tables(self, databases: DatabaseRegistry | None = None) -> None:
        """Create the tables of the router's models in its database, where missing.

        Tables they reference by foreign key are created too.  ``databases``:
        the registry (default: the process's).  Meant for development and
        tests; a production database's schema is managed by Alembic
        migrations (:mod:`quorvalen_core.access.migrations`).
        """
        (databases or get_database_registry()).create_tables(self.models, self.db_config_name)

    def create_tables_on_startup(self) -> AuthRouter:
        """Create the tables (:meth:`create_tables`) when an application serving the router starts.

        In the application's own database (its context's registry), in a
        worker thread; importing the application creates nothing.  Returns
        the router.
        """
        self._create_tables_on_startup = True
        return self

    # Permissions -----------------------------------------------------------

    def route_permission(self, config: RouterConfig) -> RoutePermission | None:
        """The permission a route with ``config`` demands; None for a public one (``auth=False``).

        A route is guarded unless its settings say ``auth=False``: left unset,
        ``auth`` guards it.

        Raises ValueError when a guarded route has neither a role nor both an
        object and an action to check.
        """
        if config.auth is False:
            return None
        role = config.auth_role if config.auth_role is not None else self.auth_role
        obj = config.auth_obj if config.auth_obj is not None else self.auth_obj
        act = config.auth_act if config.auth_act is not None else self.auth_act
        if not role and not (obj and act):
            raise ValueError(
                f"a guarded route of {self.prefix or 'the router'!r} needs a role, "
                f"or a permission object and action (got object {obj!r}, action {act!r})"
            )
        default_grant = None
        if isinstance(self.default_role, str) and self.default_role and self.auth_obj and act:
            default_grant = (self.default_role, self.auth_obj, act)
        return RoutePermission(
            role=role or None, obj=obj, act=act, db_config_name=self.db_config_name, default_grant=default_grant
        )

    def guards(self) -> list[RouteGuard]:
        """The guards of this router's routes."""
        found = (find_guard(getattr(route, "dependencies", None)) for route in self.routes)
        return [guard for guard in found if guard is not None]

    def policies_prepared(self, store: PolicyStore) -> bool:
        return store in self._prepared

    def prepare_policies(self, service: AuthService, db_config_name: str | None) -> PolicyStore:
        """Load the router's policy store and store its default grants and route roles.

        Database I/O: runs in a worker thread, at startup or on the first
        guarded request.
        """
        store = service.policies(db_config_name)
        if store in self._prepared:
            return store
        self.warn_unused_router_settings()
        permissions = [guard.permission for guard in self.guards() if guard.permission.db_config_name == db_config_name]
        store.store_default_grants(
            [
                *(
                    permission.default_grant
                    for permission in permissions
                    if permission.default_grant is not None and not permission.role
                ),
                *(grant for permission in permissions for grant in permission.row_grants),
            ]
        )
        store.store_route_roles(
            [
                *((permission.obj, permission.act, permission.role) for permission in permissions if permission.obj and permission.act),
                *((obj, act, PUBLIC_ROUTE) for obj, act in self._public_routes),
            ]
        )
        self._prepared.add(store)
        return store

    @asynccontextmanager
    async def _lifespan(self, app: FastAPI) -> AsyncIterator[Any]:
        follow_server_log()
        context = context_of_app(app)
        if self.routes:
            self._check_databases(context.databases)
        if self._create_tables_on_startup:
            await run_in_threadpool(self.create_tables, context.databases)
        guards = self.guards()
        if guards:
            await run_in_threadpool(self._prepare_at_startup, guards, context.auth)
        if self._application_lifespan is None:
            yield None
        else:
            async with self._application_lifespan(app) as state:
                yield state

    def unused_router_settings(self) -> dict[str, str]:
        """Router-wide ``auth_role``, ``auth_obj`` and ``auth_act`` that no route of the router uses.

        A route takes a router-wide value only where its own setting is
        unset.  The operations ``AuthController.create`` generates always set
        their action, so a router-wide ``auth_act`` reaches only routes an
        application adds to the router itself.
        """
        return {
            name: value
            for name in ROUTER_WIDE_SETTINGS
            if isinstance(value := getattr(self, name), str) and value and name not in self._router_settings_used
        }

    def warn_unused_router_settings(self) -> None:
        """Warn, once, of router-wide settings that no route can use."""
        if self._unused_settings_reported:
            return
        self._unused_settings_reported = True
        unused = self.unused_router_settings()
        if unused:
            described = ", ".join(f"{name}={value!r}" for name, value in unused.items())
            warnings.warn(
                f"router {self.prefix or '(no prefix)'}: {described} reaches none of its routes, "
                "which all set their own value; give each operation's RouterConfig the value instead",
                UserWarning,
                stacklevel=2,
            )

    def _check_databases(self, databases: DatabaseRegistry) -> None:
        """Refuse to start, in one line, on a database setting that can never work."""
        names = {self.db_config_name, *(guard.permission.db_config_name for guard in self.guards())}
        for name in names:
            try:
                databases.check(name)
            except DatabaseConfigurationError as exc:
                message = f"cannot serve the routes of {self.prefix or 'a router'}: {exc}"
                startup_logger().error(message)
                raise DatabaseConfigurationError(message) from None

    def _prepare_at_startup(self, guards: list[RouteGuard], service: AuthService) -> None:
        self.warn_unused_router_settings()
        if any(isinstance(guard, BearerGuard) for guard in guards):
            # No usable key: better refused at startup than on every request.
            try:
                if service.settings.uses_key_set:
                    self._fetch_keys_at_startup(service)
                else:
                    service.settings.verification_key()
            except (AuthConfigurationError, ValidationError) as exc:
                reason = describe_settings_error(exc) if isinstance(exc, ValidationError) else str(exc)
                message = f"cannot serve the bearer-guarded routes of {self.prefix or 'a router'}: {reason}"
                startup_logger().error(message)
                raise AuthConfigurationError(message) from None
        for name in dict.fromkeys(guard.permission.db_config_name for guard in guards):
            service.announce_database(name)
            try:
                self.prepare_policies(service, name)
            except Exception as exc:  # noqa: BLE001 - requests retry, answering 503 meanwhile
                logger.warning(
                    "policies of database %r not loaded at startup (%s); guarded requests answer 503 until they are",
                    name or "default",
                    describe_database_error(exc),
                )

    @staticmethod
    def _fetch_keys_at_startup(service: AuthService) -> None:
        key_set = service.key_set
        if key_set is None or key_set.available:
            return
        try:
            key_set.fetch()
        except KeySetUnavailable:
            # Logged by the key set; requests fetch again, answering 503 until a fetch succeeds.
            pass

    # Routes ------------------------------------------------------------------

    def add_guarded_route(
        self,
        path: str,
        endpoint: Callable[..., Any],
        *,
        methods: list[str],
        config: RouterConfig,
        row_actions: tuple[str, ...] | None = None,
        **route_kwargs: Any,
    ) -> None:
        """Register ``endpoint`` for one operation with its merged settings.

        Nothing is registered for a switched-off operation (``enabled`` is
        False).  Public when ``config.auth`` is False; otherwise the caller
        must be authenticated and pass :meth:`route_permission`'s check, both
        run before the request is read, before the endpoint and before
        ``config.dependencies``.  Without an action of its own or the
        router's, a guarded route checks one named after it (the endpoint's
        name unless ``name=`` gives one).  ``route_kwargs`` go to FastAPI's
        ``add_api_route``; ``summary``, ``description`` and ``deprecated``
        default to the config's values.

        The guard hands the endpoint the caller's
        :class:`~quorvalen_core.access.row_access.RowAccess`.  The router's
        default role is granted each of ``row_actions`` (``read:all``,
        ``read:deleted``: the row permissions an endpoint decides on) on the
        router's object, stored with the other default grants.
        """
        if is_switched_off(config):
            return
        if config.auth is not False and config.auth_act is None and not self.auth_act:
            # A route of the application's own checks an action named after it.
            config = config.model_copy(update={"auth_act": route_kwargs.get("name") or getattr(endpoint, "__name__", None)})
        for name in ("summary", "description", "deprecated"):
            value = getattr(config, name)
            if value is not None:
                route_kwargs.setdefault(name, value)
        dependencies = list(route_kwargs.pop("dependencies", None) or [])
        permission = self.route_permission(config)
        if permission is None:
            obj = config.auth_obj if config.auth_obj is not None else self.auth_obj
            act = config.auth_act if config.auth_act is not None else self.auth_act
            if obj and act:
                self._public_routes.append((obj, act))
        else:
            if row_actions:
                permission = replace(
                    permission,
                    row_grants=tuple(
                        (self.default_role, self.auth_obj, act)
                        for act in row_actions
                        if isinstance(self.default_role, str) and self.default_role and self.auth_obj
                    ),
                )
            self._router_settings_used.update(name for name in ROUTER_WIDE_SETTINGS if getattr(config, name) is None)
            authentication = self.authentication or get_authentication_dependency()
            guard: RouteGuard
            if authentication is None:
                guard = BearerGuard(permission, self)
                dependencies.insert(0, Security(guard))
            else:
                guard = DependencyGuard(permission, self, authentication)
                # The schemes document the route's security; the guard checks.
                schemes = [Security(cast(Callable[..., Any], scheme)) for scheme in guard.security_schemes()]
                dependencies[0:0] = [Depends(guard), *schemes]
            route_kwargs["responses"] = {**guarded_route_responses(), **(route_kwargs.get("responses") or {})}
        dependencies.extend(config.dependencies or [])
        APIRouter.add_api_route(self, path, endpoint, methods=methods, dependencies=dependencies or None, **route_kwargs)
        if route_kwargs.get("route_class_override") is not GeneratedRoute:
            self._before_generated_item_routes(self.routes.pop())

    def _before_generated_item_routes(self, route: BaseRoute) -> None:
        """Put an application's route before the generated routes with path parameters.

        Routes are matched in order: ``GET {prefix}/stats`` added after the
        generated ``GET {prefix}/{id}`` would otherwise never be reached.
        """
        for index, other in enumerate(self.routes):
            if isinstance(other, GeneratedRoute) and "{" in other.path:
                self.routes.insert(index, route)
                return
        self.routes.append(route)

    def add_api_route(
        self,
        path: str,
        endpoint: Callable[..., Any],
        *,
        auth: bool | None = None,
        auth_role: str | None = None,
        auth_obj: str | None = None,
        auth_act: str | None = None,
        **route_kwargs: Any,
    ) -> None:
        """An application's own route: guarded like the generated ones unless ``auth=False``.

        A caller needs a valid token (or the router's authentication) and the
        role ``auth_role``, else the permission ``auth_act`` on ``auth_obj``;
        unset, each is the router's, and the action is the route's name (the
        endpoint's function name unless ``name=`` gives one).  The decorators
        (``@router.get(..., auth=False)``) take the same keywords.
        """
        if find_guard(route_kwargs.get("dependencies")) is not None:
            # A route already guarded (another AuthRouter's, included here).
            APIRouter.add_api_route(self, path, endpoint, **route_kwargs)
            if route_kwargs.get("route_class_override") is not GeneratedRoute:
                self._before_generated_item_routes(self.routes.pop())
            return
        config = RouterConfig(auth=auth, auth_role=auth_role, auth_obj=auth_obj, auth_act=auth_act)
        methods = list(route_kwargs.pop("methods", None) or ["GET"])
        self.add_guarded_route(path, endpoint, methods=methods, config=config, **route_kwargs)

    def api_route(
        self,
        path: str,
        *,
        auth: bool | None = None,
        auth_role: str | None = None,
        auth_obj: str | None = None,
        auth_act: str | None = None,
        **route_kwargs: Any,
    ) -> Callable[[DecoratedCallable], DecoratedCallable]:
        def decorator(endpoint: DecoratedCallable) -> DecoratedCallable:
            self.add_api_route(
                path, endpoint, auth=auth, auth_role=auth_role, auth_obj=auth_obj, auth_act=auth_act, **route_kwargs
            )
            return endpoint

        return decorator
