"""The history of a table's rows: who changed which row, when, how, and what it was before.

A table opts in with ``TableOptions(history=True)``.  Every write through
:class:`~.table_rows.TableRows` and :class:`~.batch.BatchWrites` (create,
update, upsert, delete, restore and their batch forms) then adds, in the
write's own transaction, one entry per row it changed to the table
``<table>_history``: the operation, the caller's subject, the time, the
row's key, and each changed field with its old and new value.  Only the
fields of the response schema are kept: a column the schema hides never
reaches the history.  Writes made outside these classes (SQL of the
application's own, migrations) are not recorded.

On a table with an owner column each entry keeps the row's owner, so that
the table's row policy narrows the history as it narrows the rows.
"""

from __future__ import annotations

from collections.abc import Collection, Iterable, Mapping, Sequence
from datetime import UTC, datetime
from typing import Annotated, Any, Literal

from pydantic import AfterValidator, BaseModel, create_model
from pydantic import Field as PydanticField
from pydantic_core import to_jsonable_python
from sqlalchemy import JSON, Column, DateTime, insert, select, tuple_
from sqlalchemy.sql.elements import ColumnElement
from sqlmodel import Field, Session, SQLModel

from ..access.row_access import RowAccess
from ..type.var import SQLModelResponse
from .table_options import OPTIONS_ATTRIBUTE, TableOptions, table_options_of
from .table_schema import TableInfo, inspect_table

HISTORY_MODEL_ATTRIBUTE = "__history_model__"
HISTORY_RESPONSE_ATTRIBUTE = "__history_response__"

# The value of the key of a row, as the path of its endpoints names it.
KeyText = str


def _in_utc(value: datetime) -> datetime:
    # SQLite gives back the times it stores without their zone: they are UTC.
    return value if value.utcoffset() is not None else value.replace(tzinfo=UTC)


UTCTime = Annotated[datetime, AfterValidator(_in_utc)]

HistoryOperation = Literal[
    "create", "update", "upsert", "delete", "restore", "create_many", "update_many", "delete_many"
]


class FieldChange(BaseModel):
    """One field a write changed: its value before and after (null for a row that did not exist)."""

    old: Any = PydanticField(description="The value before the write.")
    new: Any = PydanticField(description="The value after the write.")


def history_response_of(history_model: type[Any]) -> type[Any]:
    """What the history endpoints answer for an entry of ``history_model``."""
    existing = history_model.__dict__.get(HISTORY_RESPONSE_ATTRIBUTE)
    if existing is not None:
        return existing  # type: ignore[no-any-return]
    fields: dict[str, Any] = {
        "id": (int, ...),
        "row_key": (str, PydanticField(description="The row's key, as its path names it.")),
        "operation": (HistoryOperation, PydanticField(description="The write that changed the row.")),
        "subject": (str | None, PydanticField(description="Who wrote: the caller's subject.")),
        "changed_at": (UTCTime, PydanticField(description="When (UTC).")),
        "changes": (dict[str, FieldChange], PydanticField(description="Each changed field the response schema shows.")),
    }
    if "owner" in history_model.model_fields:
        fields["owner"] = (str | None, PydanticField(description="The row's owner when it was written."))
    name = history_model.__name__.removesuffix("History") + "HistoryEntry"
    response: type[Any] = create_model(name, __base__=SQLModelResponse, __module__=history_model.__module__, **fields)
    response.__doc__ = f"A change of a row of {history_model.__tablename__.removesuffix('_history')}."
    setattr(history_model, HISTORY_RESPONSE_ATTRIBUTE, response)
    return response


def history_model_of(model_class: type[Any]) -> type[Any]:
    """The table model of the history of ``model_class`` (a table with ``TableOptions(history=True)``).

    Declared once, in the table's metadata: ``router.create_tables()`` and
    Alembic's autogenerate see it beside the table.
    """
    existing = model_class.__dict__.get(HISTORY_MODEL_ATTRIBUTE)
    if existing is not None:
        return existing  # type: ignore[no-any-return]
    options = table_options_of(model_class)
    if not options.history:
        raise ValueError(f"{model_class.__name__} keeps no history (TableOptions(history=True))")
    table = inspect_table(model_class)
    annotations: dict[str, Any] = {
        "id": int | None,
        "row_key": str,
        "operation": str,
        "subject": str | None,
        "changed_at": UTCTime,
        "changes": dict[str, Any],
    }
    namespace: dict[str, Any] = {
        "__tablename__": f"{table.table_name}_history",
        "__doc__": f"Changes of the rows of {table.table_name}.",
        "__module__": model_class.__module__,
        "id": Field(default=None, primary_key=True),
        "row_key": Field(index=True, description="The row's key, as its path names it."),
        "operation": Field(description="The write: create, update, upsert, delete, restore or a batch form."),
        "subject": Field(default=None, description="Who wrote: the caller's subject."),
        "changed_at": Field(sa_column=Column(DateTime(timezone=True), nullable=False), description="When (UTC)."),
        "changes": Field(
            default_factory=dict,
            sa_column=Column(JSON, nullable=False),
            description="Each changed field: {field: {old, new}}.",
        ),
    }
    if options.owner is not None:
        annotations["owner"] = str | None
        namespace["owner"] = Field(default=None, index=True, description="The row's owner when it was written.")
        namespace[OPTIONS_ATTRIBUTE] = TableOptions(
            owner="owner", owner_kind=options.owner_kind, team_prefix=options.team_prefix
        )
    namespace["__annotations__"] = annotations
    history: type[Any] = type(f"{model_class.__name__}History", (SQLModel,), namespace, table=True)
    setattr(model_class, HISTORY_MODEL_ATTRIBUTE, history)
    return history


def key_text(key: Any) -> KeyText:
    """A row's key as the path names it: the values of a composite key joined by ``/``."""
    values = key if isinstance(key, tuple) else (key,)
    return "/".join(str(value) for value in values)


class RowHistory:
    """Records the changes of one table's rows into its history table."""

    def __init__(self, table: TableInfo, options: TableOptions, kept: Collection[str]) -> None:
        self.table = table
        self.model = history_model_of(table.model_class)
        # The fields an entry may hold: the response schema's, never a hidden one.
        self.kept = tuple(name for name in table.columns if name in kept)
        self.owner = options.owner
        read = {*self.kept, *table.key_names, *((self.owner,) if self.owner else ())}
        self._read = [table.columns[name].column for name in table.columns if name in read]
        self._read_names = [name for name in table.columns if name in read]
        # What an entry shows of a row: the kept fields, its key and its owner.
        self.shown = frozenset(self._read_names)

    def state(self, session: Session, conditions: Sequence[ColumnElement[bool]], *, limit: int | None = None) -> dict[KeyText, dict[str, Any]]:
        """The rows matching ``conditions`` as an entry would show them, locked until the transaction ends."""
        statement = select(*self._read).where(*conditions).with_for_update()
        if limit is not None:
            statement = statement.limit(limit)
        return self.values_of(dict(zip(self._read_names, row)) for row in session.execute(statement))

    def rows_named(self, states: Mapping[KeyText, Mapping[str, Any]]) -> ColumnElement[bool]:
        """The condition selecting the rows of ``states`` (as :meth:`state` returned them) by key."""
        names = self.table.key_names
        keys = [tuple(values[name] for name in names) for values in states.values()]
        columns = [column.column for column in self.table.key]
        if len(columns) == 1:
            return columns[0].in_([key[0] for key in keys])
        return tuple_(*columns).in_(keys)

    def values_of(self, rows: Iterable[Any]) -> dict[KeyText, dict[str, Any]]:
        """Rows (models or mappings) by key text, each with the fields an entry may hold."""
        found: dict[KeyText, dict[str, Any]] = {}
        for row in rows:
            get = row.get if isinstance(row, Mapping) else lambda name, row=row: getattr(row, name, None)
            key = tuple(get(name) for name in self.table.key_names)
            values = {name: get(name) for name in self._read_names}
            found[key_text(key if len(key) > 1 else key[0])] = values
        return found

    def record(
        self,
        session: Session,
        operation: str,
        access: RowAccess,
        before: Mapping[KeyText, Mapping[str, Any]],
        after: Mapping[KeyText, Mapping[str, Any]],
    ) -> None:
        """One entry per row the write touched: in ``before``, ``after`` or both (a row missing from one: none there).

        ``changes`` holds the kept fields whose values differ; a write that
        changed only hidden columns (a soft delete's mark, say) is recorded
        with none.
        """
        written_at = datetime.now(UTC)
        entries: list[dict[str, Any]] = []
        for key in [*before, *(key for key in after if key not in before)]:
            old, new = before.get(key), after.get(key)
            changes = {
                name: {"old": was, "new": now_is}
                for name in self.kept
                for was, now_is in [(None if old is None else old.get(name), None if new is None else new.get(name))]
                if was != now_is or old is None or new is None
            }
            entry = {
                "row_key": key,
                "operation": operation,
                "subject": access.subject,
                "changed_at": written_at,
                "changes": to_jsonable_python(changes),
            }
            if self.owner is not None:
                entry["owner"] = (new or old or {}).get(self.owner)
            entries.append(entry)
        if entries:
            session.execute(insert(self.model.__table__), entries)
