"""The data layer's errors as HTTP answers, and the caller's row access inside a route.

An endpoint (generated or an application's own) that uses
:class:`~quorvalen_core.rows.TableRows` answers its errors as the generated
endpoints do::

    @router.get("/summary")
    def summary(access: RowAccess = Depends(row_access), session: Session = Depends(database_session)):
        with row_errors_as_http(), rows.transaction(session):
            return {"orders": rows.count(session, access)}
"""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager

from fastapi import HTTPException, Request

from ..access.row_access import ROW_ACCESS_STATE_ATTR, RowAccess
from ..rows.errors import RETRY_AFTER_SECONDS, DatabaseUnavailable, InvalidInput, RowError
from .errors import CodedValidationError
from .strict_json import encodable_validation_error

# The caller of a public route: nobody, with no policies (every row decision "no").
PUBLIC_CALLER = RowAccess(None, None, None, None)


def http_error_of(error: RowError) -> Exception:
    """What FastAPI answers for ``error``: its status and detail, a 422 in the usual list form."""
    if isinstance(error, InvalidInput) and error.errors:
        return encodable_validation_error(CodedValidationError(error.errors, error.code))
    headers = {"Retry-After": str(RETRY_AFTER_SECONDS)} if isinstance(error, DatabaseUnavailable) else None
    return HTTPException(status_code=error.status, detail=error.detail, headers=headers)


@contextmanager
def row_errors_as_http() -> Iterator[None]:
    """Inside, a :class:`RowError` is raised as the HTTP error that answers it."""
    try:
        yield
    except RowError as error:
        raise http_error_of(error) from None


async def row_access(request: Request) -> RowAccess:
    """FastAPI dependency: the caller and the policies its row decisions are drawn from.

    On a guarded route, what the guard admitted the request with; on a public
    route, nobody (who owns no row and may read every row of no table).
    """
    access: RowAccess | None = getattr(request.state, ROW_ACCESS_STATE_ATTR, None)
    return access if access is not None else PUBLIC_CALLER
