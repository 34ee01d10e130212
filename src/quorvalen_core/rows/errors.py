"""Why a request on a table's rows cannot be served, said without SQL, secrets or stored values.

The data layer raises these; the web layer answers each with its status and
``detail``, and a script or background job may catch them as they are.
Database errors become them inside :func:`database_errors_as_row_errors`:
a constraint refusing a change is a :class:`RowConflict`, a value a column
cannot hold an :class:`InvalidInput`, a database that is down, locked or
out of connections a :class:`DatabaseUnavailable` (logged, throttled), and
anything else a :class:`DatabaseFault` (logged).
"""

from __future__ import annotations

import logging
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import Any, ClassVar

from sqlalchemy.exc import SQLAlchemyError
from sqlalchemy.orm.exc import ObjectDeletedError, StaleDataError

from ..db.errors import DatabaseErrorKind, LogThrottle, classify_database_error, describe_database_error

NOT_FOUND = "Row not found"
CONFLICT = "The change conflicts with existing data (a unique or foreign-key constraint)"
INVALID_DATA = "The database refused a value of the request"
UNAVAILABLE = "The database is unavailable; try again shortly"
DATABASE_FAULT = "The database could not serve the request"
NOT_AUTHENTICATED = "Not authenticated"
# How long a client is asked to wait before trying an unavailable database again.
RETRY_AFTER_SECONDS = 2

logger = logging.getLogger("quorvalen_core.controller")


class RowError(Exception):
    """A request on rows that cannot be served: ``status`` and ``detail`` are what a client is told."""

    status: ClassVar[int] = 500
    default_detail: ClassVar[str] = DATABASE_FAULT

    def __init__(self, detail: str | None = None) -> None:
        self.detail = detail if detail is not None else self.default_detail
        super().__init__(self.detail)


class RowNotFound(RowError):
    """No row with the key, or none the caller may reach: its existence is not revealed."""

    status = 404
    default_detail = NOT_FOUND


class RowConflict(RowError):
    """A constraint refused the change, or a reference names a row the caller may not read."""

    status = 409
    default_detail = CONFLICT


class RowForbidden(RowError):
    """The caller may use the route but not in this way (deleted rows, an included table, no team)."""

    status = 403


class NotAuthenticated(RowError):
    """The operation needs a caller and has none."""

    status = 401
    default_detail = NOT_AUTHENTICATED


class DatabaseUnavailable(RowError):
    """The database cannot be reached now; retry after :data:`RETRY_AFTER_SECONDS`."""

    status = 503
    default_detail = UNAVAILABLE


class PreconditionFailed(RowError):
    """The row is no longer in the state the request's ``If-Match`` names: nothing was written."""

    status = 412
    default_detail = "The row changed since the tag in If-Match was issued; read it again"


class PreconditionRequired(RowError):
    """A write of a table that requires ``If-Match`` came without it."""

    status = 428
    default_detail = "This table's rows are changed only with If-Match holding the row's ETag"


class DatabaseFault(RowError):
    """The database failed in a way retrying does not mend."""

    status = 500
    default_detail = DATABASE_FAULT


class InvalidInput(RowError):
    """Values or query parameters that do not validate: ``errors`` in pydantic's form (``loc``, ``msg``, ``type``)."""

    status = 422

    def __init__(self, errors: Sequence[dict[str, Any]], detail: str = INVALID_DATA, *, code: str = "invalid_request") -> None:
        super().__init__(detail)
        self.errors = list(errors)
        # "limit_exceeded" for a request beyond a bound the message names.
        self.code = code


def invalid_value(location: tuple[Any, ...], message: str, value: Any = None, *, code: str = "invalid_request") -> InvalidInput:
    """One error at ``location`` (``("query", "filter", 0)``, ``("body", "total")``)."""
    item: dict[str, Any] = {"type": "value_error", "loc": location, "msg": message}
    if value is not None:
        item["input"] = value
    return InvalidInput([item], code=code)


# Errors of a row that vanished while the request worked on it (a concurrent
# delete): the row is missing, as for a request that came a moment later.
_VANISHED_ROW_ERRORS = (StaleDataError, ObjectDeletedError)


def row_error_of(error: BaseException, table: str, throttle: LogThrottle) -> RowError:
    """The row error a database error means; its text (SQL, values) is never passed on."""
    if isinstance(error, _VANISHED_ROW_ERRORS):
        return RowNotFound()
    kind = classify_database_error(error)
    if kind is DatabaseErrorKind.CONFLICT:
        return RowConflict()
    if kind is DatabaseErrorKind.REFUSED_VALUE:
        return invalid_value(("body",), INVALID_DATA)
    if kind is DatabaseErrorKind.UNAVAILABLE:
        held_back = throttle.admit("unavailable")
        if held_back is not None:
            logger.warning(
                "database unavailable for table %s: %s%s",
                table,
                describe_database_error(error),
                f" ({held_back} more such failures since the last report)" if held_back else "",
            )
        return DatabaseUnavailable()
    logger.error("database error on table %s: %s", table, describe_database_error(error))
    return DatabaseFault()


@contextmanager
def database_errors_as_row_errors(table: str, throttle: LogThrottle) -> Iterator[None]:
    """Inside, a database error (and an integer too wide for its column) is raised as a :class:`RowError`."""
    try:
        yield
    except (SQLAlchemyError, OverflowError) as error:
        raise row_error_of(error, table, throttle) from None
