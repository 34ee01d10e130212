"""Writes of many rows in one transaction, all or nothing, with the checks of single-row writes.

:class:`BatchWrites` works over a :class:`~.table_rows.TableRows`: every row
a batch writes passes what a single write checks (the model's validation,
server-set columns, references, the row policy through
:meth:`~.table_rows.TableRows.scope`), and a refused row fails the whole
batch, named by its index.  Methods never commit; inside
:meth:`~.table_rows.TableRows.transaction` a failure rolls everything back.

- :meth:`BatchWrites.insert_many`: new rows, inserted by one statement;
- :meth:`BatchWrites.update_where`: the same changes to every row that
  matches a query's filters and that the caller may change;
- :meth:`BatchWrites.delete_where`: delete (or mark deleted) every such row.

Each is bounded by ``max_rows``: more rows is an InvalidInput naming the
limit, and nothing is written.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

from sqlalchemy import insert
from sqlalchemy import delete as sql_delete
from sqlalchemy import update as sql_update
from sqlalchemy.exc import IntegrityError
from sqlalchemy.sql.elements import ColumnElement
from sqlmodel import Session

from ..access.row_access import RowAccess
from .errors import InvalidInput, RowConflict, invalid_value
from .query import QueryRequest
from .table_rows import TableRows, _at_index

DEFAULT_MAX_ROWS = 1000


def too_many_rows(location: tuple[Any, ...], max_rows: int, found: int) -> InvalidInput:
    return invalid_value(
        location, f"a batch writes at most {max_rows} rows (max_rows); this one names {found}", code="limit_exceeded"
    )


class BatchWrites:
    """The batch writes of one table, each narrowed as its single-row form is."""

    def __init__(self, rows: TableRows) -> None:
        self.rows = rows

    def insert_many(
        self, session: Session, items: Sequence[Mapping[str, Any]], access: RowAccess, *, max_rows: int = DEFAULT_MAX_ROWS
    ) -> list[Any]:
        """New rows from ``items``, in their order, as stored; the first refused one fails them all.

        Each row is checked as :meth:`TableRows.insert` checks one (errors
        located at ``("body", index, field)``), then one statement inserts
        them all and returns them.  A constraint refusing the statement is
        found again row by row, so that the 409 names the row.
        """
        if len(items) > max_rows:
            raise too_many_rows(("body",), max_rows, len(items))
        rows = self.rows
        checked = rows.checked_new_rows(session, items, access)
        table: Any = rows.model_class.__table__
        # Attribute names of the model against the columns' keys in the statement.
        keys = {name: str(column.column.key) for name, column in rows.table.columns.items()}
        names = [(key, name) for name, key in keys.items()]
        checked = [{keys[name]: value for name, value in values.items()} for values in checked]
        created: list[Any] = []
        try:
            # One statement per run of rows naming the same columns (a key
            # given, or left to the database).
            returned = [table.c[key] for key, _name in names]
            for run in _runs_of_same_columns(checked):
                statement = insert(table).returning(*returned, sort_by_parameter_order=True)
                created += [{name: row[index] for index, (_key, name) in enumerate(names)} for row in session.execute(statement, run)]
            return created
        except IntegrityError:
            session.rollback()
        # Which row the database refused: inserted again one by one (the
        # caller's transaction rolls them back).
        for index, values in enumerate(checked):
            try:
                session.execute(insert(table), [values])
            except IntegrityError:
                raise _at_index(RowConflict(), index) from None
        raise RowConflict()

    def update_where(
        self,
        session: Session,
        query: QueryRequest,
        changes: Mapping[str, Any],
        access: RowAccess,
        *,
        max_rows: int = DEFAULT_MAX_ROWS,
    ) -> int:
        """Write ``changes`` (server-set columns ignored) to every row matching ``query``'s filters; their number.

        Only rows the caller may change are touched (its own, unless it may
        change every row; live ones).  The changes are checked as an
        update's, on each row they produce when the model checks several
        fields together.
        """
        rows = self.rows
        sent = rows.writable(changes)
        conditions = self._matching(query, access)
        if not sent:
            return 0  # as an update of one row with nothing to change, which writes nothing
        values = rows.checked_changes(session, sent, conditions, max_rows=max_rows)
        stamps = rows.rules.changed(access, rows.table) if rows.rules is not None else {}
        if rows.references.writes_any(sent) and not rows.references.readable(
            session, rows.model_class.model_construct(**values), access, sent
        ):
            raise RowConflict()
        statement = sql_update(rows.model_class).where(*conditions).values(**values, **stamps)
        return self._bounded(session, statement, max_rows)

    def delete_where(
        self, session: Session, query: QueryRequest, access: RowAccess, *, max_rows: int = DEFAULT_MAX_ROWS
    ) -> int:
        """Delete (on a table that deletes softly: mark) every row matching ``query``'s filters that the caller may delete."""
        rows = self.rows
        conditions = self._matching(query, access)
        if rows.soft_deletes:
            assert rows.rules is not None
            statement: Any = sql_update(rows.model_class).values(**rows.rules.deletion(access, rows.table))
        else:
            statement = sql_delete(rows.model_class)
        return self._bounded(session, statement.where(*conditions), max_rows)

    def _matching(self, query: QueryRequest, access: RowAccess) -> list[ColumnElement[bool]]:
        """The filters' conditions and the caller's scope; a batch by filter names at least one filter."""
        if not query.filters and not query.any_of:
            raise invalid_value(
                ("query", "filter"), "a batch names its rows with at least one filter (filter=id:gt:0 for every row)"
            )
        plan = self.rows.planner.plan(query)
        return [*plan.conditions, *self.rows.scope(access)]

    @staticmethod
    def _bounded(session: Session, statement: Any, max_rows: int) -> int:
        """Run ``statement``; more rows than ``max_rows`` fail it (the caller's transaction rolls back)."""
        result: Any = session.execute(statement.execution_options(synchronize_session=False))
        touched = result.rowcount
        if touched > max_rows:
            raise too_many_rows(("query", "filter"), max_rows, touched)
        return int(touched)


def _runs_of_same_columns(rows: list[dict[str, Any]]) -> list[list[dict[str, Any]]]:
    runs: list[list[dict[str, Any]]] = []
    for row in rows:
        if runs and runs[-1][0].keys() == row.keys():
            runs[-1].append(row)
        else:
            runs.append([row])
    return runs
