"""The router that generated controllers register their endpoints on."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from fastapi import APIRouter

from ..controller.router_config import RouterConfig


class AuthRouter(APIRouter):
    """An ``APIRouter`` that knows the permission settings of one table."""

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
        **router_kwargs: Any,
    ) -> None:
        super().__init__(prefix=prefix, tags=list(tags or []), **router_kwargs)
        self.db_config_name = db_config_name
        self.default_role = default_role
        self.auth_role = auth_role
        self.auth_obj = auth_obj
        self.auth_act = auth_act

    def add_guarded_route(
        self,
        path: str,
        endpoint: Callable[..., Any],
        *,
        methods: list[str],
        config: RouterConfig,
        **route_kwargs: Any,
    ) -> None:
        """Register ``endpoint`` for one operation with its merged settings."""
        route_kwargs.setdefault("summary", config.summary)
        self.add_api_route(path, endpoint, methods=methods, **route_kwargs)
