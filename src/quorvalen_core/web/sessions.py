"""The database session of an endpoint, as a FastAPI dependency an application may replace.

:func:`database_session` gives a request a session on the default database
of its application's registry (:mod:`.context`); :func:`database_session_for`
the same for a named database.  Each is one callable, so that a test or an
application replaces it with ``app.dependency_overrides[database_session] =
...``: the endpoints then work in the session the replacement gives (one
transaction per test, rolled back afterwards, say), and leave closing it to
the replacement.

The session is made on the event loop without touching the database (it
connects on first use).  The generated endpoints close it in their worker
thread, before the response is sent, so the connection goes back to the
pool at once; a session an endpoint of the application's own leaves open is
closed afterwards in a worker thread.  No database I/O runs on the event loop.
"""

from __future__ import annotations

from collections.abc import AsyncIterator, Callable

import logging

from fastapi import HTTPException, Request, status
from fastapi.concurrency import run_in_threadpool
from sqlmodel import Session

from ..db.errors import LogThrottle
from ..db.registry import READS_OUTSIDE_TRANSACTIONS, DatabaseConfigurationError
from ..rows.errors import RETRY_AFTER_SECONDS, UNAVAILABLE
from .context import context_of

# session.info key marking a session this dependency opened (the endpoint may close it).
OWNED_BY_ENDPOINT = "quorvalen_core.owned_by_endpoint"

logger = logging.getLogger("quorvalen_core.controller")
_configuration_log = LogThrottle()

SessionDependency = Callable[[Request], AsyncIterator[Session]]


def _open(request: Request, name: str | None) -> Session:
    try:
        engine = context_of(request).databases.engine(name)
    except DatabaseConfigurationError as exc:
        # What a startup would have refused: an application mounted in another
        # runs no startup of its own.
        if _configuration_log.admit(str(name)) is not None:
            logger.error("%s", exc)
        raise HTTPException(
            status_code=status.HTTP_503_SERVICE_UNAVAILABLE,
            detail=UNAVAILABLE,
            headers={"Retry-After": str(RETRY_AFTER_SECONDS)},
        ) from None
    session = Session(engine)
    session.info[OWNED_BY_ENDPOINT] = True
    return session


async def _close_if_left_open(session: Session) -> None:
    if session.in_transaction():
        # Left open by the endpoint: closing returns its connection, which is
        # I/O (a rollback), so it runs beside the event loop.
        await run_in_threadpool(session.close)


def _dependency(name: str | None) -> SessionDependency:
    async def database_session(request: Request) -> AsyncIterator[Session]:
        session = _open(request, name)
        try:
            yield session
        finally:
            await _close_if_left_open(session)

    return database_session


database_session = _dependency(None)
database_session.__doc__ = "A session on the application's default database, for one request."

_named: dict[str, SessionDependency] = {}


def database_session_for(name: str | None) -> SessionDependency:
    """The session dependency of database ``name`` (None: :func:`database_session`); one callable per name."""
    if name is None:
        return database_session
    dependency = _named.get(name)
    if dependency is None:
        dependency = _dependency(name)
        dependency.__name__ = f"database_session_{name}"
        dependency = _named.setdefault(name, dependency)
    return dependency


def read_outside_transaction(session: Session) -> None:
    """Let an endpoint that only reads do so outside a transaction, where nothing is lost by it.

    On PostgreSQL at its default isolation (READ COMMITTED) each statement
    sees what was committed when it started, in a transaction or not: a read
    then costs one round trip instead of three (no BEGIN, no ROLLBACK).  Only
    for a session :func:`database_session` opened, before its first
    statement; a replacement's session is left as it is.
    """
    if not session.info.get(OWNED_BY_ENDPOINT) or session.in_transaction():
        return
    bind = session.get_bind()
    if bind.get_execution_options().get(READS_OUTSIDE_TRANSACTIONS):
        session.connection(execution_options={"isolation_level": "AUTOCOMMIT"})


def close_if_owned(session: Session) -> None:
    """Close ``session`` if :func:`database_session` opened it; a replacement's is left to the replacement."""
    if session.info.get(OWNED_BY_ENDPOINT):
        session.close()
