"""The router that generated controllers register their endpoints on."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from fastapi import APIRouter, Depends, HTTPException, Request, Security, status
from fastapi.concurrency import run_in_threadpool
from fastapi.security import HTTPAuthorizationCredentials

from ..controller.operations import is_switched_off
from ..controller.router_config import RouterConfig
from .dependencies import (
    SUBJECT_STATE_ATTR,
    bearer_scheme,
    get_authentication_dependency,
    subject_of_credentials,
)
from .service import get_auth_service

PERMISSION_DENIED = "Permission denied"


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
    # The router's default role's grant for this route, declared in memory.
    default_grant: tuple[str, str, str] | None = None


async def _authorise(request: Request, subject: str, permission: RoutePermission) -> None:
    service = get_auth_service()
    store = service.loaded_policies(permission.db_config_name)
    if store is None:
        store = await run_in_threadpool(service.policies, permission.db_config_name)
    if store.refresh_due():
        await run_in_threadpool(store.refresh)
    if permission.default_grant is not None:
        store.declare(*permission.default_grant)
    if permission.role:
        allowed = store.has_role(subject, permission.role)
    else:
        allowed = store.is_allowed(subject, permission.obj, permission.act)  # type: ignore[arg-type]
    if not allowed:
        raise HTTPException(status_code=status.HTTP_403_FORBIDDEN, detail=PERMISSION_DENIED)
    setattr(request.state, SUBJECT_STATE_ATTR, subject)


def _require(permission: RoutePermission, authentication: Callable[..., Any] | None) -> Callable[..., Any]:
    """The dependency that lets through only callers ``permission`` admits.

    Bearer authentication is done inside it rather than in a sub-dependency:
    each level of FastAPI's dependency tree costs about as much as the
    permission check itself.
    """
    if authentication is None:

        async def require_permission(
            request: Request,
            credentials: HTTPAuthorizationCredentials | None = Security(bearer_scheme),
        ) -> None:
            await _authorise(request, subject_of_credentials(credentials), permission)

        return require_permission

    async def require_permission_of(request: Request, subject: str = Depends(authentication)) -> None:
        await _authorise(request, subject, permission)

    return require_permission_of


class AuthRouter(APIRouter):
    """An ``APIRouter`` whose routes check who calls and what they may do.

    ``auth_role``, ``auth_obj`` and ``auth_act`` are the router-wide
    permission settings, which a route's own :class:`RouterConfig` values
    override.  ``default_role``, when a non-empty string, is allowed every
    action of the router's guarded routes on the router's object; that grant
    belongs to the code, not to the stored policies: each process keeps it in
    memory (so it cannot be revoked from the database), and roles are given to
    callers with ``PolicyStore.assign_role``.  Policies live in the database
    named ``db_config_name`` (None: the default one).

    Statuses: 401 with ``WWW-Authenticate: Bearer`` for a missing, malformed
    or expired token, 403 for an authenticated caller without permission.

    Callers are authenticated by ``authentication``, a FastAPI dependency
    returning the caller's subject; when None, by the application's
    :func:`set_authentication_dependency` at the time a route is added, else
    by bearer tokens.
    """

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
        super().__init__(prefix=prefix, tags=list(tags or []), **router_kwargs)
        self.authentication = authentication
        self.db_config_name = db_config_name
        self.default_role = default_role
        self.auth_role = auth_role
        self.auth_obj = auth_obj
        self.auth_act = auth_act

    def route_permission(self, config: RouterConfig) -> RoutePermission | None:
        """The permission a route with ``config`` demands; None for a public one.

        Raises ValueError when a guarded route has neither a role nor both an
        object and an action to check.
        """
        if not config.auth:
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

    def add_guarded_route(
        self,
        path: str,
        endpoint: Callable[..., Any],
        *,
        methods: list[str],
        config: RouterConfig,
        **route_kwargs: Any,
    ) -> None:
        """Register ``endpoint`` for one operation with its merged settings.

        Nothing is registered for a switched-off operation (``enabled`` is
        False).  Public when ``config.auth`` is falsy; otherwise the caller
        must be authenticated and pass :meth:`route_permission`'s check, both
        run before the endpoint and before ``config.dependencies``.
        ``route_kwargs`` go to ``add_api_route``; ``summary``, ``description``
        and ``deprecated`` default to the config's values.
        """
        if is_switched_off(config):
            return
        for name in ("summary", "description", "deprecated"):
            value = getattr(config, name)
            if value is not None:
                route_kwargs.setdefault(name, value)
        dependencies = list(route_kwargs.pop("dependencies", None) or [])
        permission = self.route_permission(config)
        if permission is not None:
            authentication = self.authentication or get_authentication_dependency()
            dependencies.insert(0, Depends(_require(permission, authentication)))
        dependencies.extend(config.dependencies or [])
        self.add_api_route(path, endpoint, methods=methods, dependencies=dependencies or None, **route_kwargs)
