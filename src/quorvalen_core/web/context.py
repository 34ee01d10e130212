"""What one application's routes use: its databases, its auth service, its authentication.

An application may give its own with :func:`use_context`, kept in Starlette's
``app.state``; a routes' request finds it there.  What it leaves out comes
from the process-wide defaults (:func:`~quorvalen_core.db.get_database_registry`,
:func:`~quorvalen_core.auth.get_auth_service`,
:func:`~quorvalen_core.auth.set_authentication_dependency`), so an
application that sets nothing behaves as before.  Two applications in one
process, each with its own context, serve side by side with different
databases and keys::

    app = FastAPI()
    use_context(app, AppContext(databases=DatabaseRegistry(default_url=url), auth_settings=AuthSettings(...)))
    app.include_router(AuthController.create(...))

A context given only databases gets an auth service of its own on them
(policies live in the application's database).
"""

from __future__ import annotations

import os
import threading
from collections.abc import Callable
from typing import Any

from starlette.applications import Starlette
from starlette.requests import HTTPConnection

from ..access.service import AuthService, get_auth_service
from ..access.settings import AuthSettings
from ..db.registry import DatabaseRegistry, get_database_registry
from ..rows.cursor import CURSOR_KEY_ENV

# app.state attribute holding an application's context.
CONTEXT_STATE_ATTR = "quorvalen"

MAX_BODY_BYTES_ENV = "QUORVALEN_MAX_BODY_BYTES"
DEFAULT_MAX_BODY_BYTES = 1024 * 1024


class AppContext:
    """An application's databases, auth service and authentication dependency; None: the process's."""

    def __init__(
        self,
        *,
        databases: DatabaseRegistry | None = None,
        auth: AuthService | None = None,
        auth_settings: AuthSettings | None = None,
        authentication: Callable[..., Any] | None = None,
        max_body_bytes: int | None = None,
    ) -> None:
        """``max_body_bytes``: the largest request body a route takes (413 beyond it);
        default ``QUORVALEN_MAX_BODY_BYTES``, else 1 MiB."""
        if auth is not None and auth_settings is not None:
            raise TypeError("give an AuthService or AuthSettings for it, not both")
        self._databases = databases
        self._auth = auth
        self._auth_settings = auth_settings
        self._authentication = authentication
        self._max_body_bytes = max_body_bytes
        self._own_auth_lock = threading.Lock()

    @property
    def databases(self) -> DatabaseRegistry:
        return self._databases if self._databases is not None else get_database_registry()

    @property
    def auth(self) -> AuthService:
        """The given service; else one of the context's own when it has databases or settings; else the process's."""
        if self._auth is not None:
            return self._auth
        if self._databases is None and self._auth_settings is None:
            return get_auth_service()
        with self._own_auth_lock:
            if self._auth is None:
                self._auth = AuthService(settings=self._auth_settings, databases=self._databases)
            return self._auth

    def authentication(self, registered: Callable[..., Any] | None) -> Callable[..., Any] | None:
        """The dependency authenticating a route's callers: the context's, else the one the route was registered with.

        None: bearer tokens.
        """
        return self._authentication if self._authentication is not None else registered

    @property
    def max_body_bytes(self) -> int:
        if self._max_body_bytes is not None:
            return self._max_body_bytes
        configured = os.environ.get(MAX_BODY_BYTES_ENV)
        return int(configured) if configured and configured.isdigit() else DEFAULT_MAX_BODY_BYTES

    def cursor_secret(self) -> str | None:
        """What query cursors are signed with: ``QUORVALEN_QUERY_CURSOR_KEY``, else the token key."""
        dedicated = os.environ.get(CURSOR_KEY_ENV)
        if dedicated:
            return dedicated
        try:
            key = self.auth.settings.secret_key
        except Exception:  # noqa: BLE001 - settings that do not load give no key; the guard reports them
            return None
        return key.get_secret_value() if key is not None else None


PROCESS_CONTEXT = AppContext()

_authentication: Callable[..., Any] | None = None


def set_authentication_dependency(dependency: Callable[..., Any] | None) -> Callable[..., Any] | None:
    """Authenticate the routes of every application without one of its own with ``dependency``.

    None: bearer tokens.  Returns the previous setting.
    """
    global _authentication
    previous, _authentication = _authentication, dependency
    return previous


def get_authentication_dependency() -> Callable[..., Any] | None:
    """The process-wide authentication dependency, if one was set."""
    return _authentication


def use_context(app: Starlette, context: AppContext) -> AppContext:
    """Give ``app`` (a FastAPI or Starlette application) its own context; returns it."""
    setattr(app.state, CONTEXT_STATE_ATTR, context)
    return context


def context_of_app(app: Any) -> AppContext:
    state = getattr(app, "state", None)
    context = getattr(state, CONTEXT_STATE_ATTR, None) if state is not None else None
    return context if isinstance(context, AppContext) else PROCESS_CONTEXT


def context_of(connection: HTTPConnection) -> AppContext:
    """The context of the application serving ``connection`` (a request)."""
    return context_of_app(connection.scope.get("app"))
