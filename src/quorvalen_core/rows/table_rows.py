"""The rows of one table as a caller may reach them: find, insert, update, delete, restore, page, count, include.

:class:`TableRows` is the data layer under the generated endpoints, usable
without HTTP: a custom endpoint, a script or a background job calling it
gets the same row policies, server-set fields, references, limits and
errors as the endpoints.  Every operation is narrowed by one hook,
:meth:`TableRows.scope`, which turns the caller's :class:`RowAccess` and the
deleted-rows view into the conditions of every statement; a subclass may
narrow further by overriding it.

Methods take the caller's session and never commit: inside
:meth:`TableRows.transaction`, database errors become :mod:`.errors`' row
errors and a failure rolls the session back.  A write flushes and returns
the row as stored; the caller commits::

    rows = TableRows(Order)
    with Session(engine) as session, rows.transaction(session):
        order = rows.insert(session, {"number": "A-1"}, access)
        session.commit()
"""

from __future__ import annotations

from collections.abc import Callable, Collection, Iterator, Mapping, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from types import SimpleNamespace
from functools import cached_property
from typing import Any

from pydantic import TypeAdapter, ValidationError
from sqlalchemy import Integer, Numeric, and_, func, select
from sqlalchemy import delete as sql_delete
from sqlalchemy import update as sql_update
from sqlalchemy.exc import DataError, SQLAlchemyError
from sqlalchemy.orm.attributes import set_committed_value
from sqlalchemy.orm.interfaces import LoaderOption
from sqlalchemy.sql.elements import ColumnElement
from sqlmodel import Session

from ..access.row_access import RowAccess
from ..db.errors import LogThrottle
from .errors import InvalidInput, RowConflict, RowError, RowNotFound, database_errors_as_row_errors, invalid_value
from .includes import Includes, Inclusion
from .cursor import CursorPosition
from .query import QueryPlan, QueryPlanner, QueryRequest
from .query_limits import QueryLimits
from .references import References
from .row_rules import DeletedRows, RowRules
from .history import RowHistory
from .table_options import table_options_of
from .table_schema import TableInfo, attributes_read, database_assigns_key, derive_field_checks, derive_response_schema, inspect_table

# Rows of a batch validated at once, on the way in and out: few enough
# model instances alive at a time that they die in the garbage collector's
# young generations (thousands kept to the end of a request set off full
# passes over every object of the process), enough to keep the validators'
# per-call cost small.
ROWS_PER_SLICE = 100
# A check of the row as it was before a write, in the write's transaction; raises to refuse the write.
Precondition = Callable[[Any], None]
# What an error says when a create's values fail only on fields the caller did not send.
ROW_REFUSED = {"type": "value_error", "loc": ("body",), "msg": "the table refuses a row made from this body"}


def client_errors(error: ValidationError, sent: Collection[str]) -> InvalidInput:
    """The errors of validating a row built from a request, as the client may see them.

    An error on a field the request carries keeps its input (the client's own
    value); an error on the whole row (a model validator) keeps its message
    but not its input, which holds stored values; errors on fields the
    request did not carry concern stored values only and are left out.
    """
    return InvalidInput(_kept_errors(error.errors(include_url=False), sent))


def _kept_errors(errors: Sequence[Any], sent: Collection[str]) -> list[dict[str, Any]]:
    items: list[dict[str, Any]] = []
    for item in errors:
        location = item["loc"]
        kept: dict[str, Any]
        if location and location[0] in sent:
            kept = {key: item[key] for key in ("type", "msg", "input", "ctx") if key in item}
        elif not location:
            kept = {key: item[key] for key in ("type", "msg") if key in item}
        else:
            continue
        items.append({**kept, "loc": ("body", *location)})
    return items


class TableRows:
    """Row operations on one table model, each narrowed by :meth:`scope`.

    ``response_schema`` is what a read returns (it decides which columns a
    query may filter and sort on, and which fields ``fields`` may name; by
    default every field of the model); ``limits`` and ``query_columns``
    bound and narrow the query (see :mod:`.query`).
    """

    def __init__(
        self,
        model_class: type[Any],
        *,
        response_schema: type[Any] | None = None,
        limits: QueryLimits | None = None,
        query_columns: Sequence[str] | None = None,
    ) -> None:
        self.model_class = model_class
        self.table: TableInfo = inspect_table(model_class)
        options = table_options_of(model_class)
        self.requires_if_match = options.require_if_match
        self.rules: RowRules | None = None if options.is_plain else RowRules.resolve(self.table, options)
        self.response_schema = response_schema or derive_response_schema(model_class)
        self.includes: Includes | None = (
            Includes(self.table, options.includes, self.response_schema) if options.includes else None
        )
        self.references = References(self.table)
        self.planner = QueryPlanner.for_table(
            self.table,
            limits,
            visible=getattr(self.response_schema, "model_fields", None),
            allowed=query_columns,
        )
        self._outage_log = LogThrottle()
        # Keys that name a path of the table's own ({prefix}/batch), which
        # {prefix}/{id} could then never reach: set by the endpoints.
        self.reserved_keys: frozenset[str] = frozenset()
        self.history: RowHistory | None = (
            RowHistory(self.table, options, self.planner.response_fields) if options.history else None
        )

    @property
    def server_set(self) -> frozenset[str]:
        """Columns only the server writes (owner, times, subjects)."""
        return self.rules.server_set if self.rules is not None else frozenset()

    @property
    def soft_deletes(self) -> bool:
        return self.rules is not None and self.rules.deleted_at is not None

    # -- the one narrowing -------------------------------------------------

    def scope(self, access: RowAccess, deleted: DeletedRows = DeletedRows.exclude) -> list[ColumnElement[bool]]:
        """The conditions every statement of every operation is narrowed by.

        The caller's rows only, unless it may act on every row; live rows, or
        deleted ones as ``deleted`` asks.  Override to narrow further (a
        tenant, say): find, update, delete, restore, page and count all follow.
        """
        return [] if self.rules is None else self.rules.visible(access, deleted)

    @contextmanager
    def transaction(self, session: Session) -> Iterator[Session]:
        """Database errors inside become row errors; any failure rolls ``session`` back."""
        with database_errors_as_row_errors(self.table.table_name, self._outage_log):
            try:
                yield session
            except BaseException:
                _roll_back_quietly(session)
                raise

    # -- reading -------------------------------------------------------------

    def key_match(self, key: Any) -> ColumnElement[bool]:
        """The condition selecting the row with primary key ``key`` (a tuple for a composite key)."""
        if self.table.composite_key:
            return and_(*(column.column == value for column, value in zip(self.table.key, key)))
        return self.table.key[0].column == key  # type: ignore[no-any-return]

    def find(
        self,
        session: Session,
        key: Any,
        access: RowAccess,
        *,
        deleted: DeletedRows = DeletedRows.exclude,
        include: Sequence[Inclusion] = (),
    ) -> Any:
        """The row with ``key`` the caller may see; RowNotFound otherwise (another's row too)."""
        if self.rules is not None:
            self.rules.deleted_view_allowed(access, deleted)
        options = self.includes.loader_options(include, access) if include and self.includes is not None else ()
        return self._find(session, key, self.scope(access, deleted), options)

    def _find(
        self,
        session: Session,
        key: Any,
        conditions: Sequence[ColumnElement[bool]],
        options: Sequence[LoaderOption] = (),
        *,
        locked: bool = False,
    ) -> Any:
        try:
            if not conditions and not options and not locked:
                row = session.get(self.model_class, key)
            else:
                statement = select(self.model_class).where(self.key_match(key), *conditions).options(*options)
                row = session.scalars(statement.with_for_update() if locked else statement).first()
        except (DataError, OverflowError):
            # A key the column cannot hold (an integer past its range): no row has it.
            session.rollback()
            row = None
        if row is None:
            raise RowNotFound()
        return row

    def find_for_write(
        self, session: Session, key: Any, access: RowAccess, *, deleted: DeletedRows = DeletedRows.exclude
    ) -> Any:
        """The row with ``key`` as a write of it in this transaction will find it; RowNotFound otherwise.

        The row stays locked until the transaction ends (PostgreSQL's
        ``FOR UPDATE``; on SQLite the database's write lock, taken before the
        read): a concurrent write waits, then finds what this one wrote.  A
        check of the row read here (a precondition) therefore still holds
        when the write follows.  The row is detached, so the write's
        statement reads back fresh values.
        """
        _take_write_lock(session)
        row = self._find(session, key, self.scope(access, deleted), locked=True)
        session.expunge(row)
        return row

    def requested_includes(self, names: Sequence[Any] | None, access: RowAccess) -> list[Inclusion]:
        """The relations ``names`` asks to embed; RowForbidden for a table the caller may not read."""
        if self.includes is None or not names:
            return []
        return self.includes.requested(names, access)

    def embed(self, session: Session, rows: Sequence[Any], include: Sequence[Inclusion], access: RowAccess) -> list[Any]:
        """The rows as the response schema with includes, the relations asked for filled in."""
        assert self.includes is not None
        return self.includes.embed(session, rows, include, access)

    def plan(self, query: QueryRequest, access: RowAccess, *, deleted: DeletedRows = DeletedRows.exclude,
             cursor_secret: str | None = None) -> QueryPlan:
        """A query's plan, narrowed by :meth:`scope` for the page and its total alike."""
        plan = self.planner.plan(query, cursor_secret=cursor_secret)
        if self.rules is not None:
            self.rules.deleted_view_allowed(access, deleted)
        plan.conditions.extend(self.scope(access, deleted))
        return plan

    def page(
        self,
        session: Session,
        plan: QueryPlan,
        access: RowAccess,
        *,
        include: Sequence[Inclusion] = (),
    ) -> dict[str, Any]:
        """One page of the plan's rows: ``items``, ``total``, ``offset``, ``limit``, ``has_more``, ``next_cursor``."""
        model_class = self.model_class
        limit = plan.limit
        if plan.after is not None and plan.after.values is None:
            plan.after = self._resolved(session, plan, plan.after)
        counting = select(func.count()).select_from(model_class).where(*plan.conditions)
        statement = select(model_class)
        if plan.count_total:
            # The total rides along with the page: one round trip to the
            # database instead of two (uncorrelated, computed once).
            statement = select(model_class, counting.correlate(None).scalar_subquery())
        statement = statement.where(*plan.page_conditions()).order_by(*plan.order_by())
        if plan.after is None and plan.offset:
            statement = statement.offset(plan.offset)
        # One row beyond the page says whether another page follows.
        statement = statement.limit(limit + 1)
        if include and self.includes is not None:
            statement = statement.options(*self.includes.loader_options(include, access))
        count: int | None = None
        if plan.count_total:
            found = session.execute(statement).all()
            rows = [row for row, _ in found]
            # Past the last page no row carries the total.
            count = found[0][1] if found else session.scalar(counting)
        else:
            rows = list(session.scalars(statement).all())
        has_more = len(rows) > limit
        if has_more:
            rows = rows[:limit]
        return {
            "items": self.embed(session, rows, include, access) if include else rows,
            "total": (count or 0) if plan.count_total else None,
            "offset": plan.first_row,
            "limit": limit,
            "has_more": has_more,
            "next_cursor": self.planner.next_cursor(plan, rows[-1], len(rows)) if has_more else None,
        }

    def _resolved(self, session: Session, plan: QueryPlan, after: CursorPosition) -> CursorPosition:
        """A cursor by key with the sort values of its row, read now; InvalidInput when the row is gone."""
        assert after.key is not None
        key = tuple(after.key) if self.table.composite_key else after.key[0]
        found = session.execute(
            select(*(sort_key.column.column for sort_key in plan.keys)).where(self.key_match(key))
        ).first()
        if found is None:
            raise invalid_value(
                ("query", "cursor"), "the row this cursor continues after is gone: ask for the first page again"
            )
        return CursorPosition(list(found), after.position)

    def count(self, session: Session, access: RowAccess, query: QueryRequest | None = None,
              *, deleted: DeletedRows = DeletedRows.exclude) -> int:
        """How many rows the caller may see match ``query``'s filters."""
        plan = self.plan(query or QueryRequest(), access, deleted=deleted)
        return int(session.scalar(select(func.count()).select_from(self.model_class).where(*plan.conditions)) or 0)

    # -- writing -------------------------------------------------------------

    def writable(self, values: Mapping[str, Any]) -> dict[str, Any]:
        """``values`` for columns a caller may write: the server-set ones and unknown names left out."""
        columns = self.table.columns
        server_set = self.server_set
        return {name: value for name, value in values.items() if name in columns and name not in server_set}

    def insert(self, session: Session, values: Mapping[str, Any], access: RowAccess) -> Any:
        """A new row from ``values`` (the server-set ones ignored), flushed and read back.

        The row is checked as :meth:`checked_new_row` checks it, then added.
        """
        row = self.checked_new_row(session, values, access)
        session.add(row)
        session.flush()
        # Read back in the same transaction: values the database filled in
        # (keys, defaults) are part of the answer.
        session.refresh(row)
        if self.history is not None:
            self.history.record(session, "create", access, {}, self.history.values_of([row]))
        return row

    def checked_new_row(self, session: Session, values: Mapping[str, Any], access: RowAccess) -> Any:
        """The row a create of ``values`` makes, not yet added to ``session``.

        The row is validated as the table model validates it (InvalidInput
        names only the fields sent), the server fills its columns, and a
        foreign key naming a row of an owned table the caller may not read is
        a RowConflict, as one naming no row.
        """
        sent = {name: value for name, value in values.items() if name not in self.server_set}
        candidate = dict(sent)
        if self.rules is not None:
            candidate.update(self.rules.created(access, self.table))
        row = self._validated_row(candidate, sent)
        for name, value in self._stored({name: getattr(row, name) for name in self.table.columns}).items():
            setattr(row, name, value)
        self._check_key_routable(row)
        if not self.references.readable(session, row, access):
            raise RowConflict()
        return row

    def checked_new_rows(
        self, session: Session, items: Sequence[Mapping[str, Any]], access: RowAccess
    ) -> list[dict[str, Any]]:
        """The column values of the rows creates of ``items`` make, each checked as :meth:`checked_new_row` checks one.

        Where the model checks each field on its own, rows are validated many
        per call; otherwise one by one.  Errors are located at
        ``("body", index, field)``.
        """
        adapter = self._row_checks
        if adapter is None:
            return [self._new_row_values(checked_at_row(index, self.checked_new_row, session, values, access))
                    for index, values in enumerate(items)]
        stamps = self.rules.created(access, self.table) if self.rules is not None else {}
        server_set = self.server_set
        sent = [{name: value for name, value in values.items() if name not in server_set} for values in items] if server_set else items
        rows: list[dict[str, Any]] = []
        references = self.references if self.references.possible else None
        text_keys = self._text_key_names
        # A slice at a time, so that the checks' instances die young.
        for start in range(0, len(sent), ROWS_PER_SLICE):
            part = sent[start : start + ROWS_PER_SLICE]
            try:
                checked = adapter.validate_python([{**values, **stamps} for values in part] if stamps else part)
            except ValidationError as error:
                raise _batch_errors(error, part, start) from None
            for index, row in enumerate(checked, start):
                # The checks' model has exactly the table's columns as fields.
                values = checked_at_row(index, self._stored, row.__dict__)
                if text_keys or references is not None:
                    candidate = SimpleNamespace(**values)
                    checked_at_row(index, self._check_key_routable, candidate)
                    if references is not None and not references.readable(session, candidate, access):
                        raise at_batch_row(RowConflict(), index)
                rows.append(self._new_row_values(values))
        return rows

    def _new_row_values(self, row: Any) -> dict[str, Any]:
        """A checked row's values for an INSERT: a key left empty is the database's to assign."""
        values = row if isinstance(row, dict) else {name: getattr(row, name) for name in self.table.columns}
        keys = self.table.key_names
        if all(values.get(name) is not None for name in keys):
            return values
        return {name: value for name, value in values.items() if value is not None or name not in keys}

    @cached_property
    def _row_checks(self) -> TypeAdapter[list[Any]] | None:
        checks = derive_field_checks(self.model_class, self.table.columns, whole_rows=True)
        return None if checks is None else TypeAdapter(list[checks])  # type: ignore[valid-type]

    def checked_changes(
        self, session: Session, changes: dict[str, Any], conditions: Sequence[ColumnElement[bool]], *, max_rows: int
    ) -> dict[str, Any]:
        """The values that writing ``changes`` to every row matching ``conditions`` stores, checked.

        Where the model checks each field on its own, the changes are checked
        once; otherwise on each matching row they produce (at most
        ``max_rows`` of them are read).
        """
        checks = self._field_checks
        if checks is not None:
            try:
                checked = checks.model_validate(changes)
            except ValidationError as error:
                raise client_errors(error, changes) from None
            return self._stored({name: getattr(checked, name) for name in changes})
        values: dict[str, Any] = {}
        for row in session.scalars(select(self.model_class).where(*conditions).limit(max_rows)):
            values = self._validated_changes(row, changes)
        return self._stored(values or dict(changes))

    def update(
        self,
        session: Session,
        key: Any,
        changes: Mapping[str, Any],
        access: RowAccess,
        *,
        current: Any = None,
        recorded_as: str = "update",
    ) -> Any:
        """The row with ``key`` with ``changes`` written (server-set columns ignored), as stored.

        Where the model checks each field on its own and the table has no
        row options, one ``UPDATE ... RETURNING`` checks and writes without
        reading the row first; otherwise the row is read, the changes are
        checked as part of the row they produce, and one statement narrowed
        by :meth:`scope` writes them (a row deleted meanwhile: RowNotFound).
        ``current``: the row as :meth:`find_for_write` found it in this
        transaction, which is then not read again.  ``recorded_as``: the
        operation a history records.
        """
        sent = self.writable(changes)
        conditions = self.scope(access)
        history = self.history
        at_once = sent and self.rules is None and history is None
        returned = self._written_at_once(session, key, sent, conditions) if at_once else None
        before: dict[str, dict[str, Any]] = {}
        if returned is None:
            recorded = history is not None and bool(sent)
            if current is not None:
                row = current
            else:
                if recorded:
                    # Locked: what the history records as old is what the write replaces.
                    _take_write_lock(session)
                row = self._find(session, key, conditions, locked=recorded)
            if not sent:
                return row
            if history is not None:
                before = history.values_of([row])
            values = self._stored(self._validated_changes(row, sent))
            stamps = self.rules.changed(access, self.table) if self.rules is not None else {}
            if row in session:
                session.expunge(row)
            returned = self._returned(
                session, sql_update(self.model_class).where(self.key_match(key), *conditions).values(**values, **stamps)
            )
        # Checked on the row as written, in the write's transaction: a
        # refusal rolls the write back.
        if not self.references.readable(session, returned, access, sent):
            raise RowConflict()
        if history is not None:
            history.record(session, recorded_as, access, before, history.values_of([returned]))
        return returned

    def upsert(self, session: Session, key: Any, values: Mapping[str, Any], access: RowAccess) -> tuple[Any, bool]:
        """The row with ``key`` made from ``values``: inserted, or written over; and whether it was inserted.

        Where the database assigns the key, only an existing row is written
        over (RowNotFound otherwise).

        One ``INSERT ... ON CONFLICT DO UPDATE`` statement (PostgreSQL,
        SQLite) decides.  The new row is checked as a create's; a row that
        exists is written over only where the caller may change it (the
        update's row policy, live rows): another's row, or a soft-deleted
        one, is a RowConflict and stays as it was.  Server-set columns are
        those of a create when inserted, of an update when written over.
        """
        names = self.table.key_names
        given = dict(zip(names, key if self.table.composite_key else (key,)))
        for name, value in given.items():
            if name in values and values[name] is not None and values[name] != value:
                raise invalid_value(("body", name), "the key in the body differs from the path's", values[name])
        sent = {**{name: value for name, value in values.items() if name not in self.server_set}, **given}
        row = self.checked_new_row(session, sent, access)
        inserted = {name: getattr(row, name) for name in self.table.columns}
        changed = {name: inserted[name] for name in self.writable(sent) if name not in given}
        if self.rules is not None:
            changed.update(self.rules.changed(access, self.table))
        history = self.history
        before = self.history_state(session, [self.key_match(key)])
        existed = session.scalar(select(func.count()).select_from(self.model_class).where(self.key_match(key))) or 0
        if not existed and database_assigns_key(self.table):
            # A key the database hands out (a sequence) is never inserted by
            # hand: the sequence would hand it out again later.
            raise RowNotFound()
        statement = dialect_insert(session)(self.model_class).values(**inserted)
        statement = statement.on_conflict_do_update(
            index_elements=[column.column for column in self.table.key],
            set_=changed or {names[0]: given[names[0]]},
            where=and_(*self.scope(access)) if self.scope(access) else None,
        )
        returned = statement.returning(self.model_class).execution_options(populate_existing=True)
        stored = session.scalars(returned).first()
        if stored is None:
            raise RowConflict()
        if history is not None:
            history.record(session, "upsert", access, before, history.values_of([stored]))
        return stored, not existed

    def delete(
        self,
        session: Session,
        key: Any,
        access: RowAccess,
        *,
        recorded_as: str = "delete",
        precondition: Precondition | None = None,
    ) -> Any:
        """Remove (or, on a table that deletes softly, mark) the row with ``key``; returns it.

        One statement finds the row and writes it: of concurrent deletes of
        one row, exactly one gets it back; the others get RowNotFound.
        ``precondition`` sees the row as it was before, in the write's
        transaction; it raises to refuse the write (see :meth:`_recall`).
        """
        marks: dict[str, Any] = {}
        if self.soft_deletes:
            assert self.rules is not None
            marks = self.rules.deletion(access, self.table)
            statement: Any = sql_update(self.model_class).values(**marks)
        else:
            statement = sql_delete(self.model_class)
        conditions = [self.key_match(key), *self.scope(access)]
        # A live row's deletion mark is empty.
        recall = self._recall(marks, {self._deletion_mark: None} if marks else {}, precondition)
        if recall is not None and recall.read_first:
            recall.precondition(self.find_for_write(session, key, access))
        history = self.history
        # The row as it was follows from the row the statement returns where
        # the write changes nothing an entry shows but the deletion mark, which
        # a live row has empty: then it is not read first.
        read_first = history is not None and any(name in history.shown for name in marks if name != self._deletion_mark)
        before = self.history_state(session, conditions) if read_first else {}
        row = self._written(session, statement.where(*conditions), recall)
        if history is not None and not read_first:
            before = history.values_of([row])
            for values in before.values():
                if self._deletion_mark in values:
                    values[self._deletion_mark] = None
        self._record(session, recorded_as, access, before, [row] if self.soft_deletes else [])
        return row

    @property
    def _deletion_mark(self) -> str | None:
        return self.rules.deleted_at.name if self.rules is not None and self.rules.deleted_at is not None else None

    def restore(self, session: Session, key: Any, access: RowAccess, *, precondition: Precondition | None = None) -> Any:
        """Clear the deletion mark of the row with ``key``; RowNotFound unless it is deleted.

        ``precondition``: as :meth:`delete` takes it.
        """
        if not self.soft_deletes:
            raise RowNotFound()
        assert self.rules is not None
        conditions = [self.key_match(key), *self.scope(access, DeletedRows.only)]
        marks = self.rules.restoration(access, self.table)
        recall = self._recall(marks, {}, precondition)
        if recall is not None and recall.read_first:
            recall.precondition(self.find_for_write(session, key, access, deleted=DeletedRows.only))
        before = self.history_state(session, conditions)
        row = self._written(session, sql_update(self.model_class).where(*conditions).values(**marks), recall)
        self._record(session, "restore", access, before, [row])
        return row

    # -- preconditions -------------------------------------------------------

    def _recall(
        self, written: Collection[str], known: Mapping[str | None, Any], precondition: Precondition | None
    ) -> _Recall | None:
        """How a write of the ``written`` columns of one row shows ``precondition`` the row as it was.

        The write's statement returns the row as it leaves it, and holds its
        lock: where the response schema reads none of the written columns,
        or only ones whose old values are ``known``, the precondition sees
        that row with those old values, after the write and before its
        commit, and a refusal rolls the write back.  Otherwise the row is
        read, locked, before the write.  (Fetching the old values in the
        write's own statement, through a locked sub-select, cost PostgreSQL's
        client as much as that read.)
        """
        if precondition is None:
            return None
        read = self._response_reads
        shown = [name for name in written if read is None or name in read]
        if read is None or any(name not in known for name in shown):
            return _Recall(precondition, read_first=True)
        return _Recall(precondition, read_first=False, known={name: known[name] for name in shown})

    @cached_property
    def _response_reads(self) -> frozenset[str] | None:
        return attributes_read(self.response_schema)

    def _written(self, session: Session, statement: Any, recall: _Recall | None) -> Any:
        """The row ``statement`` writes, ``recall``'s precondition passed on the row as it was (where not read before)."""
        row = self._returned(session, statement, key_may_not_fit=True)
        if recall is not None and not recall.read_first:
            with _with_values(row, recall.known) as as_it_was:
                recall.precondition(as_it_was)
        return row

    # -- history -----------------------------------------------------------------

    def history_state(
        self, session: Session, conditions: Sequence[ColumnElement[bool]], *, limit: int | None = None
    ) -> dict[str, dict[str, Any]]:
        """The rows a write of ``conditions`` is about to change, as the history shows them (none without history).

        They stay locked until the transaction ends, so that what the history
        records as their old values is what the write replaced.  A key the
        key column cannot hold matches no row.
        """
        if self.history is None:
            return {}
        _take_write_lock(session)
        try:
            return self.history.state(session, conditions, limit=limit)
        except (DataError, OverflowError):
            session.rollback()
            return {}

    def _record(
        self, session: Session, operation: str, access: RowAccess, before: dict[str, dict[str, Any]], after: Sequence[Any]
    ) -> None:
        if self.history is not None:
            self.history.record(session, operation, access, before, self.history.values_of(after))

    # -- checks ----------------------------------------------------------------

    def _stored(self, values: dict[str, Any]) -> dict[str, Any]:
        """``values`` as their columns take them, or InvalidInput naming the first that no column holds.

        A time without a zone in a column with zones is UTC (``TableColumn.stored``);
        an integer the column's type does not hold, a time out of range and a
        text no database stores (a lone surrogate, a NUL) are refused here,
        named, rather than by the database, which would name nothing.
        """
        stored = values
        ranges, aware = self._value_bounds
        for name, value in values.items():
            kind = type(value)
            # The common values first, each settled by one comparison.
            if kind is str and value.isascii() and "\x00" not in value:  # an ASCII text holds no surrogate
                continue
            if kind is int and name in ranges and ranges[name][0] <= value <= ranges[name][1]:
                continue
            if value is None or kind is bool or name not in ranges:
                continue
            if isinstance(value, str):
                try:
                    value.encode("utf-8")
                except UnicodeEncodeError:
                    raise invalid_value(("body", name), "the text holds a character no database stores (a lone surrogate)") from None
                if "\x00" in value:
                    raise invalid_value(("body", name), "the text holds a character no database stores (NUL)")
            elif isinstance(value, int) and not isinstance(value, bool):
                lowest, highest = ranges[name]
                if not lowest <= value <= highest:
                    raise invalid_value(("body", name), f"an integer from {lowest} to {highest}", value)
            elif name in aware:
                try:
                    converted = self.table.columns[name].stored(value)
                except OverflowError:
                    raise invalid_value(("body", name), "a time out of the range of times") from None
                if stored is values:
                    stored = dict(values)
                stored[name] = converted
        return stored

    @cached_property
    def _value_bounds(self) -> tuple[dict[str, tuple[int, int]], frozenset[str]]:
        # Read for every value a write stores: worked out once per table.
        columns = self.table.columns
        ranges = {name: column.integer_range for name, column in columns.items()}
        aware = frozenset(name for name, column in columns.items() if column.holds_aware_times)
        return ranges, aware

    @cached_property
    def _text_key_names(self) -> tuple[str, ...]:
        """The key columns a text may fill: the only ones a path could fail to name."""
        return tuple(column.name for column in self.table.key if not isinstance(column.column.type, (Integer, Numeric)))

    def _check_key_routable(self, row: Any) -> None:
        """InvalidInput for a text key no path can name: empty, holding a slash, or a path of the table's own."""
        for column in self.table.key:
            value = getattr(row, column.name)
            if isinstance(value, str) and (not value or "/" in value):
                raise invalid_value(
                    ("body", column.name), "a key is a path segment: not empty, and without '/'", value
                )
            if not self.table.composite_key and value in self.reserved_keys:
                taken = " or ".join(repr(name) for name in sorted(self.reserved_keys))
                raise invalid_value(("body", column.name), f"a key is not {taken}: paths of the table", value)

    def _validated_row(self, values: dict[str, Any], sent: Collection[str]) -> Any:
        """A table row from a create's values; errors name only the fields sent."""
        try:
            return self.model_class.model_validate(values)
        except ValidationError as error:
            refused = client_errors(error, sent)
            raise refused if refused.errors else InvalidInput([ROW_REFUSED]) from None

    def _validated_changes(self, row: Any, changes: dict[str, Any]) -> dict[str, Any]:
        """The values a partial update writes, checked as part of the row they produce.

        Errors name only the fields sent.  When only stored values fail (the
        row broke a constraint before this request), what was sent is checked
        on its own, field by field, and the stored values are left as they are.
        """
        current = {name: getattr(row, name) for name in self.table.columns}
        try:
            merged = self.model_class.model_validate({**current, **changes})
        except ValidationError as error:
            refused = client_errors(error, changes)
            if refused.errors:
                raise refused from None
            merged = self.model_class.model_construct(**current)
            validator = self.model_class.__pydantic_validator__
            for name, value in changes.items():
                try:
                    validator.validate_assignment(merged, name, value)
                except ValidationError as field_error:
                    raise client_errors(field_error, changes) from None
        return {name: getattr(merged, name) for name in changes}

    @cached_property
    def _field_checks(self) -> type[Any] | None:
        # Built on the first update: most tables are updated seldom or never,
        # and an application publishing hundreds of tables starts faster without.
        return derive_field_checks(self.model_class, self.table.columns)

    def _written_at_once(
        self, session: Session, key: Any, changes: dict[str, Any], conditions: Sequence[ColumnElement[bool]]
    ) -> Any:
        """The row as one statement writes ``changes`` to it, without reading it first.

        None where that cannot be done, leaving the transaction as it was
        (rolled back if the statement failed): the model checks across fields,
        a value is refused by the model or the database, or no row has the
        key.  The update then reads the row first and names what is wrong: a
        missing row is a RowNotFound before a refused value is an InvalidInput.
        """
        checks = self._field_checks
        if checks is None:
            return None
        try:
            checked = checks.model_validate(changes)
        except ValidationError:
            return None
        try:
            values = self._stored({name: getattr(checked, name) for name in changes})
        except InvalidInput:
            return None
        statement = sql_update(self.model_class).where(self.key_match(key), *conditions).values(**values)
        try:
            return self._first_returned(session, statement)
        except (DataError, OverflowError):
            session.rollback()
            return None

    def _returned(self, session: Session, statement: Any, *, key_may_not_fit: bool = False) -> Any:
        """The row an UPDATE or DELETE ``statement`` touched, as it left it; RowNotFound when none matched.

        ``key_may_not_fit``: a key the key column cannot hold matches no row
        rather than failing (for statements the key was not checked before).
        """
        try:
            row = self._first_returned(session, statement)
        except (DataError, OverflowError):
            if not key_may_not_fit:
                raise
            session.rollback()
            row = None
        if row is None:
            raise RowNotFound()
        return row

    def _first_returned(self, session: Session, statement: Any) -> Any:
        return session.scalars(statement.returning(self.model_class).execution_options(synchronize_session=False)).first()


def dialect_insert(session: Session) -> Any:
    """The INSERT with ON CONFLICT of the session's database (PostgreSQL and SQLite have one)."""
    name = session.get_bind().dialect.name
    if name == "postgresql":
        from sqlalchemy.dialects.postgresql import insert as postgresql_insert

        return postgresql_insert
    if name == "sqlite":
        from sqlalchemy.dialects.sqlite import insert as sqlite_insert

        return sqlite_insert
    raise InvalidInput([{"type": "value_error", "loc": ("path",), "msg": f"PUT is not available on {name}"}])


def _take_write_lock(session: Session) -> None:
    """On SQLite, take the database's write lock now, at the start of the transaction.

    SQLite ignores ``FOR UPDATE`` and its driver begins a transaction only
    at the first write, so two requests could both read a row before
    either writes it.  Elsewhere the row lock of ``FOR UPDATE`` serves.
    """
    connection = session.connection()
    if connection.dialect.name != "sqlite":
        return
    driver_connection: Any = connection.connection.dbapi_connection
    if not getattr(driver_connection, "in_transaction", True):
        connection.exec_driver_sql("BEGIN IMMEDIATE")


def checked_at_row(index: int, check: Any, *arguments: Any, **keywords: Any) -> Any:
    """``check(*arguments, **keywords)``, its row error naming the batch's row ``index``."""
    try:
        return check(*arguments, **keywords)
    except RowError as error:
        raise at_batch_row(error, index) from None


def at_batch_row(error: RowError, index: int) -> RowError:
    """``error`` of row ``index`` of a batch: a 422's locations, or the detail, name it."""
    if isinstance(error, InvalidInput):
        located = [
            {**item, "loc": ("body", index, *tuple(item["loc"])[1:])} if tuple(item["loc"])[:1] == ("body",) else item
            for item in error.errors
        ] or [{**ROW_REFUSED, "loc": ("body", index)}]
        return InvalidInput(located, error.detail, code=error.code)
    error.detail = f"{error.detail} (row {index} of the batch)"
    error.args = (error.detail,)
    return error


def _batch_errors(error: ValidationError, sent: Sequence[Mapping[str, Any]], offset: int) -> InvalidInput:
    """The first refused row's errors of validating ``sent`` (rows of a batch from ``offset`` on), as :func:`client_errors` keeps them."""
    by_row: dict[int, list[dict[str, Any]]] = {}
    for item in error.errors(include_url=False):
        index, *location = item["loc"]
        by_row.setdefault(int(index), []).append({**item, "loc": tuple(location)})
    index = min(by_row)
    return at_batch_row(InvalidInput(_kept_errors(by_row[index], sent[index])), offset + index)  # type: ignore[return-value]


def _roll_back_quietly(session: Session) -> None:
    """Roll back after a failed operation; a connection that is gone cannot, and need not."""
    try:
        session.rollback()
    except SQLAlchemyError:
        pass


@dataclass(frozen=True)
class _Recall:
    """How a write shows its precondition the row as it was (see :meth:`TableRows._recall`)."""

    precondition: Precondition
    read_first: bool
    known: dict[str, Any] = field(default_factory=dict)


@contextmanager
def _with_values(row: Any, values: Mapping[str, Any]) -> Iterator[Any]:
    """``row`` holding ``values`` while in the context, unknown to its session (nothing to flush)."""
    held = {name: getattr(row, name) for name in values}
    for name, value in values.items():
        set_committed_value(row, name, value)
    try:
        yield row
    finally:
        for name, value in held.items():
            set_committed_value(row, name, value)
