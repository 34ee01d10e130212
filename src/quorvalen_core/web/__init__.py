"""The web layer: FastAPI routers whose routes check who calls, and what they need per application.

- :class:`AuthRouter`, :class:`RouterConfig`: guarded routers and one route's settings;
- :class:`AppContext`, :func:`use_context`: an application's own databases, auth service and authentication;
- :func:`database_session`, :func:`row_access`, :func:`current_subject`,
  :func:`authenticate`: dependencies of routes, generated or the application's own;
- :func:`row_errors_as_http`: the data layer's errors answered as the generated endpoints answer them.

The names are loaded on first access.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from .._lazy import lazy_exports

_EXPORTS = {
    "AuthRouter": ".router",
    "RouterConfig": ".router_config",
    "AppContext": ".context",
    "use_context": ".context",
    "context_of": ".context",
    "database_session": ".sessions",
    "database_session_for": ".sessions",
    "row_access": ".row_errors",
    "row_errors_as_http": ".row_errors",
    "current_subject": ".dependencies",
    "authenticate": ".dependencies",
}

__all__ = [
    "AppContext",
    "AuthRouter",
    "RouterConfig",
    "authenticate",
    "context_of",
    "current_subject",
    "database_session",
    "database_session_for",
    "row_access",
    "row_errors_as_http",
    "use_context",
]

if TYPE_CHECKING:
    from .context import AppContext, context_of, use_context
    from .dependencies import authenticate, current_subject
    from .router import AuthRouter
    from .router_config import RouterConfig
    from .row_errors import row_access, row_errors_as_http
    from .sessions import database_session, database_session_for


__getattr__ = lazy_exports(__name__, _EXPORTS)
