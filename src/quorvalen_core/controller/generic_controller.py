"""What the native controller factory constructs: a table's endpoints, registered as they are built.

``AuthController.create`` constructs a :class:`GenericController` and drops
it, relying on the construction to register the endpoints on the router it
passes.  An application building a table's endpoints itself uses
:class:`~.endpoints.TableEndpoints`, whose construction registers nothing,
and calls its ``register``.
"""

from __future__ import annotations

import warnings
from typing import Any

from ..web.router import AuthRouter
from .endpoints import TableEndpoints


class GenericController(TableEndpoints):
    """A table's :class:`TableEndpoints`, registered on ``auth_router`` when constructed."""

    def __init__(self, *, auth_router: AuthRouter, **table: Any) -> None:
        """``table``: the keywords of :class:`TableEndpoints` (the model, its schemas, the five settings)."""
        super().__init__(**table)
        self.auth_router = auth_router
        _warn_of_names_left_out(auth_router)
        self.register(auth_router)


def _warn_of_names_left_out(router: AuthRouter) -> None:
    """The factory names routes and permissions after schema_name and table_name, "None" when left out."""
    if "None" in router.prefix.split("/") or "None" in (router.auth_obj or "").split("."):
        warnings.warn(
            f"schema_name or table_name left out: the table's routes are {router.prefix} and its permission "
            f"object {router.auth_obj!r}; give both to AuthController.create",
            UserWarning,
            stacklevel=3,
        )
