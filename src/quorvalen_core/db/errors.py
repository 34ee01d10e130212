"""What a database error means for a request, described without SQL or data.

SQLAlchemy's exceptions carry the statement (and, unless the engine hides
them, its parameters) in their text: they are never shown or logged as they
are.  :func:`describe_database_error` gives the error's kind and the driver's
first message line instead, and :func:`classify_database_error` tells a
refused value, a conflict, an unavailable database and a fault apart.
"""

from __future__ import annotations

import enum
import sqlite3
import threading
import time
from collections.abc import Callable

from sqlalchemy import exc as sa_exc


class DatabaseErrorKind(enum.Enum):
    CONFLICT = "conflict"  # a constraint refused the change (409)
    REFUSED_VALUE = "refused value"  # a value the column cannot hold (422)
    UNAVAILABLE = "unavailable"  # down, locked, out of connections: retry later (503)
    FAULT = "fault"  # anything else: the schema or the code is wrong (500)


# SQLite result codes (the primary code, the low byte of the extended one)
# that mean "try again later" rather than "this statement is wrong".
_SQLITE_UNAVAILABLE = {
    5,  # SQLITE_BUSY
    6,  # SQLITE_LOCKED
    7,  # SQLITE_NOMEM
    10,  # SQLITE_IOERR
    13,  # SQLITE_FULL
    14,  # SQLITE_CANTOPEN
    15,  # SQLITE_PROTOCOL
}
_SQLITE_REFUSED = {18, 20, 25}  # SQLITE_TOOBIG, SQLITE_MISMATCH, SQLITE_RANGE


def classify_database_error(error: BaseException) -> DatabaseErrorKind:
    """What ``error``, raised while a request used the database, means for the request."""
    if isinstance(error, sa_exc.IntegrityError):
        return DatabaseErrorKind.CONFLICT
    if isinstance(error, (sa_exc.DataError, OverflowError)):
        return DatabaseErrorKind.REFUSED_VALUE
    if (
        isinstance(error, sa_exc.StatementError)
        and not isinstance(error, sa_exc.DBAPIError)
        and isinstance(error.orig, (OverflowError, ValueError))
    ):
        # A column type's own check refused a value before the driver saw it.
        return DatabaseErrorKind.REFUSED_VALUE
    if isinstance(error, sa_exc.TimeoutError):  # no pooled connection came free in time
        return DatabaseErrorKind.UNAVAILABLE
    if isinstance(error, sa_exc.DBAPIError) and error.connection_invalidated:
        return DatabaseErrorKind.UNAVAILABLE
    original = getattr(error, "orig", None)
    if isinstance(original, sqlite3.Error):
        code = getattr(original, "sqlite_errorcode", None)
        if code is not None and code & 0xFF in _SQLITE_UNAVAILABLE:
            return DatabaseErrorKind.UNAVAILABLE
        if code is not None and code & 0xFF in _SQLITE_REFUSED:
            return DatabaseErrorKind.REFUSED_VALUE
        return DatabaseErrorKind.FAULT
    if isinstance(error, (sa_exc.OperationalError, sa_exc.InterfaceError, sa_exc.DisconnectionError)):
        return DatabaseErrorKind.UNAVAILABLE
    return DatabaseErrorKind.FAULT


def describe_database_error(error: BaseException) -> str:
    """A one-line description of a database error: its kind and the driver's message, no SQL."""
    original = getattr(error, "orig", None)
    source = original if original is not None else error
    if isinstance(error, sa_exc.StatementError) and original is None:
        # Raised before the driver saw the statement; its text holds the SQL.
        return type(error).__name__
    lines = str(source).strip().splitlines()
    name = type(source).__name__
    return f"{name}: {lines[0]}" if lines else name


class LogThrottle:
    """Lets one message of a kind through per interval and counts the rest.

    While a database is down every request fails the same way: the log gets
    the first failure, then one line per interval saying how many followed.
    """

    def __init__(self, interval_seconds: float = 10.0, clock: Callable[[], float] = time.monotonic) -> None:
        self.interval = interval_seconds
        self.clock = clock
        self._lock = threading.Lock()
        self._open_until: dict[str, float] = {}
        self._suppressed: dict[str, int] = {}

    def admit(self, key: str) -> int | None:
        """None to stay quiet; else the number of messages held back since the last one let through."""
        now = self.clock()
        with self._lock:
            if now < self._open_until.get(key, 0.0):
                self._suppressed[key] = self._suppressed.get(key, 0) + 1
                return None
            self._open_until[key] = now + self.interval
            return self._suppressed.pop(key, 0)
