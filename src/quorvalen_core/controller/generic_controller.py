"""What the native controller factory constructs: a table's endpoints, registered as they are built.

``AuthController.create`` constructs a :class:`GenericController` and drops
it, relying on the construction to register the endpoints on the router it
passes.  An application building a table's endpoints itself uses
:class:`~.endpoints.TableEndpoints`, whose construction registers nothing,
and calls its ``register``.
"""

from __future__ import annotations

from typing import Any

from ..web.router import AuthRouter
from .endpoints import TableEndpoints


class GenericController(TableEndpoints):
    """A table's :class:`TableEndpoints`, registered on ``auth_router`` when constructed."""

    def __init__(
        self,
        *,
        auth_router: AuthRouter,
        model_class: type[Any],
        create_schema: type[Any] | None = None,
        update_schema: type[Any] | None = None,
        response_schema: type[Any] | None = None,
        create_router: Any = None,
        update_router: Any = None,
        read_router: Any = None,
        delete_router: Any = None,
        query_router: Any = None,
    ) -> None:
        super().__init__(
            model_class=model_class,
            create_schema=create_schema,
            update_schema=update_schema,
            response_schema=response_schema,
            create_router=create_router,
            update_router=update_router,
            read_router=read_router,
            delete_router=delete_router,
            query_router=query_router,
        )
        self.auth_router = auth_router
        self.register(auth_router)
