"""Registers the CRUD and query endpoints of one table on an AuthRouter."""

from __future__ import annotations

from typing import Any

from ..auth.auth_router import AuthRouter
from .router_config import RouterConfig


class GenericController:
    """Keeps the table's model, schemas and the five operations' settings."""

    def __init__(
        self,
        *,
        auth_router: AuthRouter,
        model_class: type[Any],
        create_schema: type[Any] | None = None,
        update_schema: type[Any] | None = None,
        response_schema: type[Any] | None = None,
        create_router: RouterConfig | None = None,
        update_router: RouterConfig | None = None,
        read_router: RouterConfig | None = None,
        delete_router: RouterConfig | None = None,
        query_router: RouterConfig | None = None,
    ) -> None:
        self.auth_router = auth_router
        self.model_class = model_class
        self.create_schema = create_schema
        self.update_schema = update_schema
        self.response_schema = response_schema
        self.create_router = create_router
        self.update_router = update_router
        self.read_router = read_router
        self.delete_router = delete_router
        self.query_router = query_router
