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

from sqlalchemy import UniqueConstraint, and_, func, insert, literal_column, select, tuple_
from sqlalchemy import delete as sql_delete
from sqlalchemy import update as sql_update
from sqlalchemy.exc import IntegrityError
from sqlalchemy.sql.elements import ColumnElement
from sqlmodel import Session

from ..access.row_access import RowAccess
from .array_insert import inserted_from_arrays
from .errors import InvalidInput, RowConflict, invalid_value
from .query import QueryRequest
from .table_rows import TableRows, at_batch_row, checked_at_row, dialect_insert
from .table_schema import database_assigns_key

DEFAULT_MAX_ROWS = 1000
_HIGHEST_ROW_ID = 2**63 - 1
_ROWS_PER_STATEMENT = 100


def too_many_rows(location: tuple[Any, ...], max_rows: int, found: int) -> InvalidInput:
    return invalid_value(
        location, f"a batch writes at most {max_rows} rows (max_rows); this one names {found}", code="limit_exceeded"
    )


class BatchWrites:
    """The batch writes of one table, each narrowed as its single-row form is."""

    def __init__(self, rows: TableRows) -> None:
        self.rows = rows

    def conflict_targets(self) -> dict[str, tuple[str, ...]]:
        """What ``on_conflict`` may name: the primary key (unless the database assigns it) and single unique columns."""
        rows = self.rows
        table: Any = rows.model_class.__table__
        targets: dict[str, tuple[str, ...]] = {}
        if not database_assigns_key(rows.table):
            targets[",".join(rows.table.key_names)] = rows.table.key_names
        unique = [constraint.columns for constraint in table.constraints if isinstance(constraint, UniqueConstraint)]
        # A partial unique index (live rows only) is no conflict target without its condition.
        unique += [
            index.columns
            for index in table.indexes
            if index.unique and all(index.dialect_options[name].get("where") is None for name in ("postgresql", "sqlite"))
        ]
        for columns in unique:
            names = [column.key for column in columns]
            if len(names) == 1 and names[0] in rows.table.columns:
                targets.setdefault(names[0], (names[0],))
        return targets

    def insert_many(
        self,
        session: Session,
        items: Sequence[Mapping[str, Any]],
        access: RowAccess,
        *,
        max_rows: int = DEFAULT_MAX_ROWS,
        on_conflict: tuple[str, ...] | None = None,
    ) -> list[Any]:
        """New rows from ``items``, in their order, as stored; the first refused one fails them all.

        Each row is checked as :meth:`TableRows.insert` checks one (errors
        located at ``("body", index, field)``), then one statement inserts
        them all and returns them.  A constraint refusing the statement is
        found again row by row, so that the 409 names the row.

        ``on_conflict`` (columns of the primary key or of a unique
        constraint, see :meth:`conflict_targets`): a row whose values there
        are taken writes over the row that has them, where the caller may
        change that row (a RowConflict naming the row otherwise), as
        :meth:`TableRows.upsert` does for one.
        """
        if len(items) > max_rows:
            raise too_many_rows(("body",), max_rows, len(items))
        rows = self.rows
        checked = rows.checked_new_rows(session, items, access)
        if on_conflict is not None:
            _check_distinct(checked, on_conflict)
        table: Any = rows.model_class.__table__
        # Attribute names of the model against the columns' keys in the statement.
        keys = {name: str(column.column.key) for name, column in rows.table.columns.items()}
        names = [(key, name) for name, key in keys.items()]
        before = self._overwritten(session, checked, on_conflict)
        if any(name != key for name, key in keys.items()):
            checked = [{keys[name]: value for name, value in values.items()} for values in checked]
        created: list[Any] = []
        try:
            # One statement per run of rows naming the same columns (a key
            # given, or left to the database).
            for run in _runs_of_same_columns(checked):
                if on_conflict is None:
                    created += self._inserted(session, table, run, names)
                    continue
                returned = [table.c[key] for key, _name in names]
                statement = _paged(session, self._upserting(session, table, run[0], on_conflict, access).returning(*returned))
                written = self._in_order(run, session.execute(statement, run).all(), [keys[name] for name in on_conflict], names, len(created))
                created += [_values_of(row, names) for row in written]
            if rows.history is not None:
                rows.history.record(session, "create_many", access, before, rows.history.values_of(created))
            return created
        except IntegrityError:
            session.rollback()
        # Which row the database refused: inserted again one by one (the
        # caller's transaction rolls them back).
        for index, values in enumerate(checked):
            try:
                session.execute(insert(table), [values])
            except IntegrityError:
                raise at_batch_row(RowConflict(), index) from None
        raise RowConflict()

    def _inserted(
        self, session: Session, table: Any, run: list[dict[str, Any]], names: list[tuple[str, str]]
    ) -> list[dict[str, Any]]:
        """The values of the rows of ``run`` (naming the same columns) inserted, as stored, in their order.

        SQLAlchemy keeps the order of rows an INSERT returns by sending them
        one statement per row where the database cannot say which returned
        row is which, as SQLite cannot.  There, rows whose key SQLite assigns
        go by many rows per statement, and their row ids give their order:
        SQLite hands each new row the id one above the highest, unless the
        highest possible one is taken (it then picks free ones at random),
        which a look at the highest id rules out first.

        The returned rows are read one at a time into plain values: a list of
        thousands of result rows would outlive the young generations of the
        garbage collector and set off a full pass.
        """
        by_arrays = inserted_from_arrays(session, table, run, names)
        if by_arrays is not None:
            return by_arrays
        returned = [table.c[key] for key, _name in names]
        row_id = _sqlite_row_id(session, table, run[0])
        if row_id is not None:
            highest = session.scalar(select(func.max(row_id)).select_from(table)) or 0
            if highest + len(run) < _HIGHEST_ROW_ID:
                result = session.execute(insert(table).returning(row_id, *returned), run)
                numbers: list[int] = []
                values: list[dict[str, Any]] = []
                for row in result:
                    numbers.append(row[0])
                    values.append(_values_of(row, names, 1))
                # Sorted by position rather than as (number, values) pairs,
                # which the collector would keep tracking.
                return [values[index] for index in sorted(range(len(numbers)), key=numbers.__getitem__)]
        result = session.execute(_paged(session, insert(table).returning(*returned, sort_by_parameter_order=True)), run)
        return [_values_of(row, names) for row in result]

    def _overwritten(
        self, session: Session, checked: list[dict[str, Any]], on_conflict: tuple[str, ...] | None
    ) -> dict[str, dict[str, Any]]:
        """For the history: the rows an upserting batch may write over, as they are before it."""
        rows = self.rows
        if rows.history is None or on_conflict is None:
            return {}
        columns = [rows.table.columns[name].column for name in on_conflict]
        taken = [tuple(values.get(name) for name in on_conflict) for values in checked]
        if len(columns) == 1:
            return rows.history_state(session, [columns[0].in_([values[0] for values in taken])])
        return rows.history_state(session, [tuple_(*columns).in_(taken)])

    def _upserting(
        self, session: Session, table: Any, first: Mapping[str, Any], target: tuple[str, ...], access: RowAccess
    ) -> Any:
        """An INSERT whose rows taking ``target``'s values write over the rows there the caller may change."""
        rows = self.rows
        statement = dialect_insert(session)(table)
        server_set = rows.server_set
        written = {name: statement.excluded[name] for name in first if name not in target and name not in server_set}
        if rows.rules is not None:
            written.update(rows.rules.changed(access, rows.table))
        scope = rows.scope(access)
        return statement.on_conflict_do_update(
            index_elements=[table.c[name] for name in target],
            set_=written or {target[0]: statement.excluded[target[0]]},
            where=and_(*scope) if scope else None,
        )

    @staticmethod
    def _in_order(
        run: list[dict[str, Any]], written: Sequence[Any], target: list[str], names: list[tuple[str, str]], offset: int
    ) -> list[Any]:
        """The rows an upserting INSERT returned, in the order of ``run``.

        A row missing from them found its values taken by a row the caller
        may not change: a RowConflict naming the first such row.
        """
        positions = [index for index, (key, _name) in enumerate(names) if key in target]
        by_target = {tuple(row[position] for position in positions): row for row in written}
        ordered: list[Any] = []
        for index, values in enumerate(run):
            row = by_target.get(tuple(values.get(key) for key in target))
            if row is None:
                raise at_batch_row(RowConflict(), offset + index)
            ordered.append(row)
        return ordered

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
        before = rows.history_state(session, conditions, limit=max_rows + 1)
        statement = sql_update(rows.model_class).where(*conditions).values(**values, **stamps)
        touched = self._bounded(session, statement, max_rows)
        self._record(session, "update_many", access, before, written=True)
        return touched

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
        before = rows.history_state(session, conditions, limit=max_rows + 1)
        touched = self._bounded(session, statement.where(*conditions), max_rows)
        self._record(session, "delete_many", access, before, written=rows.soft_deletes)
        return touched

    def _record(
        self, session: Session, operation: str, access: RowAccess, before: dict[str, dict[str, Any]], *, written: bool
    ) -> None:
        """For the history: the rows of ``before`` as a batch left them (``written``), or gone."""
        history = self.rows.history
        if history is None or not before:
            return
        after = history.state(session, [history.rows_named(before)]) if written else {}
        history.record(session, operation, access, before, after)

    def update_keyed(
        self,
        session: Session,
        items: Sequence[tuple[Any, Mapping[str, Any]]],
        access: RowAccess,
        *,
        max_rows: int = DEFAULT_MAX_ROWS,
    ) -> list[Any]:
        """Write each item's changes to the row with its key, in order; the rows as stored.

        Each is an update of one row (:meth:`TableRows.update`): the same
        checks, row policy and history.  The first refused row fails them
        all, named by its index (a key the caller may not change: not found).
        """
        if len(items) > max_rows:
            raise too_many_rows(("body",), max_rows, len(items))
        rows = self.rows
        return [
            checked_at_row(index, rows.update, session, key, changes, access, recorded_as="update_many")
            for index, (key, changes) in enumerate(items)
        ]

    def delete_keyed(
        self, session: Session, keys: Sequence[Any], access: RowAccess, *, max_rows: int = DEFAULT_MAX_ROWS
    ) -> int:
        """Delete (or mark deleted) the row of each key, in order; their number.  The first refused fails them all."""
        if len(keys) > max_rows:
            raise too_many_rows(("body",), max_rows, len(keys))
        rows = self.rows
        for index, key in enumerate(keys):
            checked_at_row(index, rows.delete, session, key, access, recorded_as="delete_many")
        return len(keys)

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


def _check_distinct(rows: list[dict[str, Any]], target: tuple[str, ...]) -> None:
    """A RowConflict naming the first row whose values in ``target`` an earlier row of the batch has."""
    seen: set[tuple[Any, ...]] = set()
    for index, values in enumerate(rows):
        taken = tuple(values.get(name) for name in target)
        if taken in seen:
            raise at_batch_row(RowConflict(f"An earlier row of the batch has the same {', '.join(target)}"), index)
        seen.add(taken)


def _sqlite_row_id(session: Session, table: Any, row: Mapping[str, Any]) -> Any:
    """SQLite's row id of ``table`` as a column, where SQLite assigns it to rows like ``row``; None otherwise."""
    if session.get_bind().dialect.name != "sqlite" or table.dialect_options["sqlite"].get("with_rowid") is False:
        return None
    key = list(table.primary_key.columns)
    # A key given in the rows: an integer one is the row id, given in no order.
    if any(column.key in row for column in key):
        return None
    name = next((name for name in ("rowid", "_rowid_", "oid") if name not in table.c), None)
    return None if name is None else literal_column(name)


def _paged(session: Session, statement: Any) -> Any:
    """``statement`` sending its rows ``_ROWS_PER_STATEMENT`` at a time on PostgreSQL.

    SQLAlchemy writes many rows per INSERT ... VALUES; psycopg then splits
    the statement's text at each placeholder in Python, and the objects of a
    thousand rows' split (SQLAlchemy's default) outlive the collector's young
    generations: tens of thousands per batch, one or two full passes of the
    collector over the whole process.  A hundred rows per statement cost a
    few more round trips.
    """
    if session.get_bind().dialect.name != "postgresql":
        return statement
    return statement.execution_options(insertmanyvalues_page_size=_ROWS_PER_STATEMENT)


def _values_of(row: Any, names: list[tuple[str, str]], first: int = 0) -> dict[str, Any]:
    """A returned row's values by attribute name (its columns ``names`` from position ``first``)."""
    return {name: row[index] for index, (_key, name) in enumerate(names, first)}


def _runs_of_same_columns(rows: list[dict[str, Any]]) -> list[list[dict[str, Any]]]:
    runs: list[list[dict[str, Any]]] = []
    for row in rows:
        if runs and runs[-1][0].keys() == row.keys():
            runs[-1].append(row)
        else:
            runs.append([row])
    return runs
