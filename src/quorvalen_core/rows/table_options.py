"""What a table declares about its rows: an owner, server-set columns, soft delete, includable relations.

A table model carries its options in the class attribute ``__table_options__``::

    class Order(SQLModelDB, table=True):
        __table_options__ = TableOptions(
            owner="owner",                 # the caller's subject, filled in on create
            created_at="created_at",
            updated_by="updated_by",
            deleted_at="deleted_at",       # DELETE sets it; the row is then missing
            includes=[Includable(relation="customer", schema=CustomerResponse, auth_obj="shop.customer")],
        )

Every name is checked against the table when its router is built (a column
that does not exist, or has the wrong type, is a ``ValueError`` naming it).
Only pydantic is imported here, so the options can be declared and read
without the web stack.
"""

from __future__ import annotations

from typing import Any, Literal

from pydantic import BaseModel, ConfigDict, Field, model_validator

OPTIONS_ATTRIBUTE = "__table_options__"
DEFAULT_INCLUDED_ITEMS = 20


class Includable(BaseModel):
    """A relation that read and query may embed (``include=<relation>``).

    ``schema`` is the shape of an embedded row: a response schema of the
    related table, so that what it hides stays hidden.  A caller sees an
    embedded row only when it may ``read`` ``auth_obj`` (the related table's
    permission object, decided as that table's read route decides) and the
    related table's row policy lets it see that row; ``auth_obj=None``
    declares the related rows readable by whoever reads this table.  A
    one-to-many relation embeds at most ``max_items`` rows per row, with
    ``has_more`` telling whether more exist.
    """

    model_config = ConfigDict(frozen=True, extra="forbid", strict=True)

    relation: str = Field(min_length=1, description="Name of the relationship attribute of the table model.")
    schema_: type[Any] = Field(alias="schema", description="Response schema of an embedded row.")
    auth_obj: str | None = Field(description="Permission object whose read an embedded row needs; None: none.")
    max_items: int = Field(
        default=DEFAULT_INCLUDED_ITEMS, ge=1, le=1000, description="Most rows embedded per row (one-to-many)."
    )


class TableOptions(BaseModel):
    """Row-level options of one table (``__table_options__`` on the table model).

    - ``owner``: a column holding who owns the row: a caller's subject
      (``owner_kind="user"``) or a team, that is a role name
      (``owner_kind="team"``; with ``team_prefix`` only roles starting with
      it count as teams).  The server fills it on create; a caller without
      the every-row permission (``<action>:all``) reads, changes, deletes
      and lists only the rows it owns.
    - ``created_at``, ``updated_at``, ``created_by``, ``updated_by``:
      columns the server fills (times in UTC, subjects of the callers); a
      value a client sends for them, or for ``owner`` and ``deleted_at``,
      is ignored.
    - ``deleted_at``: soft delete.  DELETE sets the column to the time; a
      row with a value is missing for read, update, query and delete.
    - ``includes``: relations read and query may embed.
    - ``require_if_match``: update, delete and restore answer 428 unless
      the request carries ``If-Match`` (the row's ``ETag``), so that no
      client overwrites a change it has not seen.
    - ``history``: every write through the API records, in its own
      transaction, who changed which fields of which row, when, and their
      old and new values, into the table ``<table>_history`` (read at
      ``GET {prefix}/history`` and ``GET {prefix}/{id}/history``).
    """

    model_config = ConfigDict(frozen=True, extra="forbid", strict=True)

    owner: str | None = None
    owner_kind: Literal["user", "team"] = "user"
    team_prefix: str | None = Field(default=None, min_length=1)
    created_at: str | None = None
    updated_at: str | None = None
    created_by: str | None = None
    updated_by: str | None = None
    deleted_at: str | None = None
    # A list is taken too (as a tuple): the options stay immutable.
    includes: tuple[Includable, ...] = Field(default=(), strict=False)
    require_if_match: bool = False
    history: bool = False

    @model_validator(mode="after")
    def _consistent(self) -> TableOptions:
        if self.team_prefix is not None and self.owner_kind != "team":
            raise ValueError("team_prefix applies to owner_kind='team' only")
        if self.owner_kind == "team" and self.owner is None:
            raise ValueError("owner_kind='team' needs an owner column")
        named = [name for name in self.server_set_columns() if name is not None]
        repeated = sorted({name for name in named if named.count(name) > 1})
        if repeated:
            raise ValueError(f"column {repeated[0]!r} is named for two purposes")
        relations = [include.relation for include in self.includes]
        if len(set(relations)) != len(relations):
            raise ValueError("a relation is declared includable twice")
        return self

    def server_set_columns(self) -> tuple[str | None, ...]:
        """Every column the server fills, whatever a client sends (unset ones as None)."""
        return (self.owner, self.created_at, self.updated_at, self.created_by, self.updated_by, self.deleted_at)

    @property
    def is_plain(self) -> bool:
        """Whether the options change nothing of the table's endpoints."""
        return not any(self.server_set_columns()) and not self.includes


NO_OPTIONS = TableOptions()


def table_options_of(model_class: type[Any]) -> TableOptions:
    """The options a table model declares; none when it declares none.

    Raises TypeError when ``__table_options__`` is not a :class:`TableOptions`.
    """
    options = getattr(model_class, OPTIONS_ATTRIBUTE, None)
    if options is None:
        return NO_OPTIONS
    if not isinstance(options, TableOptions):
        raise TypeError(
            f"{model_class.__name__}.{OPTIONS_ATTRIBUTE} must be a TableOptions, not {type(options).__name__}"
        )
    return options


def live_unique_index(name: str, *columns: str, deleted_at: str = "deleted_at") -> Any:
    """A unique index over the rows not soft-deleted, for ``__table_args__``.

    A deleted row then does not keep a new row from taking its values.  Where
    the values are each owner's own, name the owner column among ``columns``:
    a table-wide index answers 409 whoever holds a value, telling a caller
    that another owner holds it.  It is
    a partial index on PostgreSQL and SQLite (``WHERE deleted_at IS NULL``).
    Other databases ignore the condition and make it an ordinary unique
    index, over deleted rows too.  ``router.create_tables()`` creates it with
    the table, and an Alembic revision autogenerated with
    :func:`quorvalen_core.access.migrations.autogenerate_options` with both
    conditions.
    """
    from sqlalchemy import Index, column

    live = column(deleted_at).is_(None)
    return Index(name, *columns, unique=True, postgresql_where=live, sqlite_where=live)
