"""Foreign keys into tables whose rows belong to someone.

A row policy hides another's rows from read, update and delete.  A foreign
key written to one would still attach a row to it, and the database's
answer (a new row, or a 409 for a missing one) would tell that it exists.
So a create or update that writes a foreign key naming a row of a table
with an owner column is checked, in its transaction, against what the
caller may read of that table: its own live rows, or every live row where it
may ``<read action>:all`` on an object that table's rows are read under.  A
row it may not read is refused exactly as a missing one is.

The objects a table's rows are read under are recorded in its SQLAlchemy
``Table.info`` as the routers publishing it are built (their read and query
routes); through a table that no router publishes, a caller may reference
its own rows only.
"""

from __future__ import annotations

from collections.abc import Collection
from dataclasses import dataclass
from functools import cached_property
from typing import Any

from sqlalchemy import Table, inspect, literal, select
from sqlalchemy.sql.elements import ColumnElement
from sqlmodel import Session

from ..access.row_access import RowAccess, every_row_action
from .row_rules import RowRules
from .table_options import table_options_of
from .table_schema import TableInfo, inspect_table

# Table.info key: the (object, action) permissions that let a caller read
# every row of the table.
EVERY_ROW_READS_INFO = "quorvalen_core.every_row_reads"


def record_every_row_read(table: TableInfo, obj: str, act: str) -> None:
    """Note that ``table``'s rows are read under ``obj`` and ``act`` (``<act>:all`` reads every row)."""
    info: dict[str, Any] = table.model_class.__table__.info
    info.setdefault(EVERY_ROW_READS_INFO, set()).add((obj, every_row_action(act)))


@dataclass(frozen=True)
class OwnedReference:
    """One foreign key of a table, naming rows of a table with an owner column."""

    # The referencing model's attributes, in the order of the key's columns.
    attributes: tuple[str, ...]
    target_table: Table
    target_columns: tuple[ColumnElement[Any], ...]
    target_rules: RowRules

    def readable(self, session: Session, values: tuple[Any, ...], access: RowAccess) -> bool:
        """Whether the row the key ``values`` name is one the caller may read."""
        reads: Collection[tuple[str, str]] = self.target_table.info.get(EVERY_ROW_READS_INFO, ())
        every_row = any(access.allowed(obj, act) for obj, act in reads)
        statement = (
            select(literal(1))
            .select_from(self.target_table)
            .where(
                *(column == value for column, value in zip(self.target_columns, values)),
                *self.target_rules.readable(access, every_row=every_row),
            )
            .limit(1)
        )
        return session.execute(statement).first() is not None


class References:
    """The foreign keys of one table that name rows of owned tables.

    Resolved on first use: a referenced model may be declared after the
    router of the table referencing it is built.
    """

    def __init__(self, table: TableInfo) -> None:
        self.table = table
        sql_table: Table = table.model_class.__table__
        # Whether a write may need the caller: only a table with foreign keys.
        self.possible = bool(sql_table.foreign_keys)

    @cached_property
    def owned(self) -> tuple[OwnedReference, ...]:
        model_class = self.table.model_class
        mapper = inspect(model_class)
        mapped = {other.local_table: other.class_ for other in mapper.registry.mappers}
        found: list[OwnedReference] = []
        for constraint in model_class.__table__.foreign_key_constraints:
            elements = list(constraint.elements)
            target_table = elements[0].column.table
            target_class = mapped.get(target_table)
            if target_class is None:
                continue
            options = table_options_of(target_class)
            if options.owner is None:
                continue
            found.append(
                OwnedReference(
                    attributes=tuple(mapper.get_property_by_column(element.parent).key for element in elements),
                    target_table=target_table,
                    target_columns=tuple(element.column for element in elements),
                    target_rules=RowRules.resolve(inspect_table(target_class), options),
                )
            )
        return tuple(found)

    def writes_any(self, names: Collection[str]) -> bool:
        """Whether writing the columns ``names`` may change an owned reference."""
        return self.possible and any(not set(reference.attributes).isdisjoint(names) for reference in self.owned)

    def readable(self, session: Session, row: Any, access: RowAccess, written: Collection[str] | None = None) -> bool:
        """Whether every owned row that ``row`` names is one the caller may read.

        ``written``: only the references through these columns are checked
        (an update's); None checks every one (a create's).  A key with a
        NULL names no row.
        """
        if not self.possible:
            return True
        for reference in self.owned:
            if written is not None and set(reference.attributes).isdisjoint(written):
                continue
            values = tuple(getattr(row, name) for name in reference.attributes)
            if None in values:
                continue
            if not reference.readable(session, values, access):
                return False
        return True
