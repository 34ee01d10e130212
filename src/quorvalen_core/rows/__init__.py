"""The data layer: a table's rows as a caller may reach them, without HTTP.

- :class:`TableRows`: find, insert, update, delete, restore, page, count and
  include, each narrowed by one scope hook;
- :class:`TableOptions`, :class:`Includable`, :func:`live_unique_index`:
  what a table model declares about its rows;
- :class:`QueryRequest`: filters, sorting, a page, a cursor, chosen fields;
- :mod:`.errors`: why a request cannot be served (:class:`RowError` and its kinds).

The names are loaded on first access, so that declaring a table's options
does not import SQLAlchemy's ORM machinery of the data layer.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from .._lazy import lazy_exports

_EXPORTS = {
    "TableRows": ".table_rows",
    "TableOptions": ".table_options",
    "Includable": ".table_options",
    "live_unique_index": ".table_options",
    "DeletedRows": ".row_rules",
    "QueryRequest": ".query",
    "QueryLimits": ".query_limits",
    "RowError": ".errors",
    "RowNotFound": ".errors",
    "RowConflict": ".errors",
    "RowForbidden": ".errors",
    "InvalidInput": ".errors",
    "DatabaseUnavailable": ".errors",
}

__all__ = [
    "DatabaseUnavailable",
    "DeletedRows",
    "Includable",
    "InvalidInput",
    "QueryLimits",
    "QueryRequest",
    "RowConflict",
    "RowError",
    "RowForbidden",
    "RowNotFound",
    "TableOptions",
    "TableRows",
    "live_unique_index",
]

if TYPE_CHECKING:
    from .errors import DatabaseUnavailable, InvalidInput, RowConflict, RowError, RowForbidden, RowNotFound
    from .query import QueryRequest
    from .query_limits import QueryLimits
    from .row_rules import DeletedRows
    from .table_options import Includable, TableOptions, live_unique_index
    from .table_rows import TableRows


__getattr__ = lazy_exports(__name__, _EXPORTS)
