"""The database session of a generated endpoint, as a FastAPI dependency an application may replace.

:func:`database_session` gives a request a session on the default database
of its application's registry (:mod:`.context`); :func:`database_session_for`
the same for a named database.  Each is one callable, so that a test or an
application replaces it with ``app.dependency_overrides[database_session] =
...``: the endpoints then work in the session the replacement gives (one
transaction per test, rolled back afterwards, say), and leave closing it to
the replacement.

The session is made on the event loop without touching the database (it
connects on first use) and closed by the endpoint in its worker thread,
before the response is sent: the connection goes back to the pool at once,
and no database I/O runs on the event loop.
"""

from __future__ import annotations

from collections.abc import Callable, Coroutine
from typing import Any

from fastapi import Request
from sqlmodel import Session

from .context import context_of

# session.info key marking a session the endpoint opened and must close.
OWNED_BY_ENDPOINT = "quorvalen_core.owned_by_endpoint"

SessionDependency = Callable[[Request], Coroutine[Any, Any, Session]]


async def _session(request: Request, name: str | None) -> Session:
    session = Session(context_of(request).databases.engine(name))
    session.info[OWNED_BY_ENDPOINT] = True
    return session


async def database_session(request: Request) -> Session:
    """A session on the application's default database, for one request."""
    return await _session(request, None)


_named: dict[str, SessionDependency] = {}


def database_session_for(name: str | None) -> SessionDependency:
    """The session dependency of database ``name`` (None: :func:`database_session`); one callable per name."""
    if name is None:
        return database_session
    dependency = _named.get(name)
    if dependency is None:

        async def named_database_session(request: Request) -> Session:
            return await _session(request, name)

        named_database_session.__name__ = f"database_session_{name}"
        dependency = _named.setdefault(name, named_database_session)
    return dependency


def close_if_owned(session: Session) -> None:
    """Close ``session`` if the endpoint's own dependency opened it; a replacement's is left to it."""
    if session.info.get(OWNED_BY_ENDPOINT):
        session.close()
