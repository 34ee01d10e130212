"""A table's row options checked against its columns, and the SQL and values they turn into.

:class:`RowRules` is built once per table when its router is built: every
column :class:`~.table_options.TableOptions` names must exist and have a
fitting type.  Per request it gives the conditions that narrow a statement
to the rows a caller may see (its own, live ones) and the values the server
writes (owner, times, subjects).
"""

from __future__ import annotations

import enum
from dataclasses import dataclass
from datetime import datetime, timezone
from typing import Any

from sqlalchemy import false
from sqlalchemy.sql.elements import ColumnElement

from ..access.row_access import PERMISSION_DENIED, RowAccess
from .errors import NotAuthenticated, RowForbidden
from .table_options import TableOptions
from .table_schema import TableColumn, TableInfo

NO_TEAM = "Creating a row of this table needs a team role{prefix}; the caller holds none"
SEVERAL_TEAMS = "Creating a row of this table needs exactly one team role{prefix}; the caller holds several: {teams}"


class DeletedRows(str, enum.Enum):
    """Which rows read and query answer with on a table that deletes softly."""

    exclude = "exclude"
    include = "include"
    only = "only"


def _is_datetime(column: TableColumn) -> bool:
    return isinstance(column.annotation, type) and issubclass(column.annotation, datetime)


@dataclass(frozen=True)
class RowRules:
    """The row options of one table, resolved to its columns."""

    table_name: str
    options: TableOptions
    owner: TableColumn | None
    deleted_at: TableColumn | None
    # Columns a client never writes, whatever its body holds.
    server_set: frozenset[str]
    # The model's attributes of the owner and deleted-at columns: unlike the
    # table's columns, a relationship's loader adapts them to its join.
    owner_attribute: Any = None
    deleted_at_attribute: Any = None

    @classmethod
    def resolve(cls, table: TableInfo, options: TableOptions) -> RowRules:
        """Check ``options`` against ``table``; ValueError names the first misfit."""

        def column(purpose: str, name: str | None, *, text: bool = False, time: bool = False) -> TableColumn | None:
            if name is None:
                return None
            found = table.columns.get(name)
            if found is None:
                raise ValueError(
                    f"TableOptions of table {table.table_name!r}: {purpose}={name!r} is not a column; "
                    f"columns: {', '.join(table.columns)}"
                )
            if name in table.key_names:
                raise ValueError(f"TableOptions of table {table.table_name!r}: {purpose}={name!r} is a primary key column")
            if text and not found.is_text:
                raise ValueError(f"TableOptions of table {table.table_name!r}: {purpose}={name!r} needs a text column")
            if time and not _is_datetime(found):
                raise ValueError(f"TableOptions of table {table.table_name!r}: {purpose}={name!r} needs a datetime column")
            return found

        owner = column("owner", options.owner, text=True)
        column("created_by", options.created_by, text=True)
        column("updated_by", options.updated_by, text=True)
        column("created_at", options.created_at, time=True)
        column("updated_at", options.updated_at, time=True)
        deleted_at = column("deleted_at", options.deleted_at, time=True)
        if deleted_at is not None and not getattr(deleted_at.column, "nullable", False):
            raise ValueError(
                f"TableOptions of table {table.table_name!r}: deleted_at={deleted_at.name!r} must be nullable "
                "(NULL marks a live row)"
            )
        server_set = frozenset(name for name in options.server_set_columns() if name is not None)
        model = table.model_class
        return cls(
            table.table_name,
            options,
            owner,
            deleted_at,
            server_set,
            owner_attribute=None if owner is None else getattr(model, owner.name),
            deleted_at_attribute=None if deleted_at is None else getattr(model, deleted_at.name),
        )

    # -- which rows -----------------------------------------------------------

    def owned_by(self, access: RowAccess) -> list[ColumnElement[bool]]:
        """The condition keeping the caller's own rows; none when the table has no owner column."""
        owner = self.owner_attribute
        if owner is None:
            return []
        if self.options.owner_kind == "user":
            return [false() if access.subject is None else owner == access.subject]
        teams = access.teams(self.options.team_prefix)
        return [owner.in_(sorted(teams)) if teams else false()]

    def visible(self, access: RowAccess, deleted: DeletedRows = DeletedRows.exclude) -> list[ColumnElement[bool]]:
        """Conditions keeping the rows the caller may see through its route."""
        conditions = [] if self.owner_attribute is None or access.every_row() else self.owned_by(access)
        column = self.deleted_at_attribute
        if column is not None:
            if deleted is DeletedRows.exclude:
                conditions.append(column.is_(None))
            elif deleted is DeletedRows.only:
                conditions.append(column.is_not(None))
        return conditions

    def readable(self, access: RowAccess, *, every_row: bool) -> list[ColumnElement[bool]]:
        """Conditions keeping the live rows a caller may read from elsewhere: its own, or all with ``every_row``."""
        conditions = [] if every_row else self.owned_by(access)
        if self.deleted_at_attribute is not None:
            conditions.append(self.deleted_at_attribute.is_(None))
        return conditions

    def deleted_view_allowed(self, access: RowAccess, deleted: DeletedRows) -> None:
        """RowForbidden unless the caller may see deleted rows, when it asks for them."""
        if deleted is not DeletedRows.exclude and not access.sees_deleted():
            raise RowForbidden(PERMISSION_DENIED)

    # -- what the server writes -----------------------------------------------

    def _now(self, table_column: TableColumn) -> datetime:
        now = datetime.now(timezone.utc)
        # A column without a time zone holds UTC as a naive time.
        return now if getattr(table_column.column.type, "timezone", False) else now.replace(tzinfo=None)

    def _time(self, name: str | None, table: TableInfo) -> dict[str, datetime]:
        return {} if name is None else {name: self._now(table.columns[name])}

    def created(self, access: RowAccess, table: TableInfo) -> dict[str, Any]:
        """The values the server gives a new row."""
        options = self.options
        values: dict[str, Any] = {}
        if options.owner is not None:
            values[options.owner] = self._new_owner(access)
        values.update(self._time(options.created_at, table))
        values.update(self._time(options.updated_at, table))
        for name in (options.created_by, options.updated_by):
            if name is not None:
                values[name] = access.subject
        return values

    def changed(self, access: RowAccess, table: TableInfo) -> dict[str, Any]:
        """The values the server writes on every change of a row."""
        values: dict[str, Any] = self._time(self.options.updated_at, table)
        if self.options.updated_by is not None:
            values[self.options.updated_by] = access.subject
        return values

    def deletion(self, access: RowAccess, table: TableInfo) -> dict[str, Any]:
        """What a soft delete writes: the time, and who changed the row last."""
        assert self.deleted_at is not None
        return {self.deleted_at.name: self._now(self.deleted_at), **self.changed(access, table)}

    def restoration(self, access: RowAccess, table: TableInfo) -> dict[str, Any]:
        assert self.deleted_at is not None
        return {self.deleted_at.name: None, **self.changed(access, table)}

    def _new_owner(self, access: RowAccess) -> str:
        if self.options.owner_kind == "user":
            if access.subject is None:
                raise NotAuthenticated()
            return access.subject
        prefix = self.options.team_prefix
        described = f" (a role starting with {prefix!r})" if prefix else ""
        teams = sorted(access.teams(prefix))
        if not teams:
            raise RowForbidden(NO_TEAM.format(prefix=described))
        if len(teams) > 1:
            raise RowForbidden(SEVERAL_TEAMS.format(prefix=described, teams=", ".join(teams)))
        return teams[0]
