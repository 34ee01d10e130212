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

    def __init__(self, *, auth_router: AuthRouter, **table: Any) -> None:
        """``table``: the keywords of :class:`TableEndpoints` (the model, its schemas, the five settings)."""
        super().__init__(**table)
        self.auth_router = auth_router
        self.register(auth_router)
