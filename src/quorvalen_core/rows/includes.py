"""Related rows embedded in read and query answers (``include=customer``).

A table declares the relations that may be embedded
(:class:`~.table_options.Includable`).  Per request, each relation asked for
costs one statement at most, whatever the number of rows on the page:

- many-to-one: joined into the page's own statement (``joinedload``), the
  related table's row policy in the join's condition, so that a related row
  the caller may not see is simply not found (``null``);
- one-to-many: one statement for the whole page (SQLAlchemy's
  ``selectinload`` cannot bound the rows per parent), numbering each
  parent's rows with a window function and keeping ``max_items`` of them;
  the answer holds ``{"items": [...], "has_more": ...}``.

A caller that may not read the related table at all gets a 403 naming the
relation; rows of a table it may read are embedded only where that table's
row policy lets it see them, and never when soft-deleted.
"""

from __future__ import annotations

import enum
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, Generic, TypeVar

from pydantic import BaseModel, Field, create_model
from sqlalchemy import func, inspect, select, tuple_
from sqlalchemy.orm import RelationshipDirection, aliased, joinedload, raiseload
from sqlalchemy.orm.interfaces import LoaderOption
from sqlalchemy.sql.elements import ColumnElement
from sqlmodel import Session

from ..access.row_access import PERMISSION_DENIED, RowAccess, every_row_action
from .errors import RowForbidden, invalid_value
from .row_rules import RowRules
from .table_options import Includable, table_options_of
from .table_schema import TableInfo, derive_response_schema, inspect_table

ItemT = TypeVar("ItemT")


class IncludedRows(BaseModel, Generic[ItemT]):
    """The rows of a one-to-many relation embedded in a row: at most the relation's bound."""

    items: list[ItemT]
    has_more: bool = Field(description="Whether the row has more related rows than those embedded.")


@dataclass(frozen=True)
class Inclusion:
    """One includable relation, resolved to its tables and columns."""

    name: str
    many: bool
    attribute: Any
    related: TableInfo
    related_rules: RowRules
    schema: type[Any]
    auth_obj: str | None
    max_items: int
    # (attribute on this table, attribute on the related table) pairs of the join.
    pairs: tuple[tuple[str, str], ...]

    def related_conditions(self, access: RowAccess) -> list[ColumnElement[bool]]:
        """What keeps the related rows the caller may see: live ones, its own unless it may read all."""
        return self.related_rules.readable(access, every_row=access.allowed(self.auth_obj, every_row_action("read")))

    def check_readable(self, access: RowAccess) -> None:
        if self.auth_obj is not None and not access.may_read(self.auth_obj):
            raise RowForbidden(f"{PERMISSION_DENIED}: include {self.name!r} needs read on {self.auth_obj}")


def _resolve(table: TableInfo, includable: Includable) -> Inclusion:
    mapper = inspect(table.model_class)
    relationship = mapper.relationships.get(includable.relation)
    if relationship is None:
        declared = ", ".join(mapper.relationships.keys()) or "none"
        raise ValueError(
            f"TableOptions of table {table.table_name!r}: include {includable.relation!r} is not a relationship "
            f"of {table.model_class.__name__}; relationships: {declared}"
        )
    if relationship.direction is RelationshipDirection.MANYTOMANY or relationship.secondary is not None:
        raise ValueError(
            f"TableOptions of table {table.table_name!r}: include {includable.relation!r} is many-to-many; "
            "only many-to-one and one-to-many relations can be embedded"
        )
    related_class = relationship.mapper.class_
    related = inspect_table(related_class)
    related_mapper = relationship.mapper
    pairs = tuple(
        (mapper.get_property_by_column(local).key, related_mapper.get_property_by_column(remote).key)
        for local, remote in relationship.local_remote_pairs
    )
    return Inclusion(
        name=includable.relation,
        many=relationship.direction is RelationshipDirection.ONETOMANY,
        attribute=getattr(table.model_class, includable.relation),
        related=related,
        related_rules=RowRules.resolve(related, table_options_of(related_class)),
        schema=includable.schema_,
        auth_obj=includable.auth_obj,
        max_items=includable.max_items,
        pairs=pairs,
    )


class Includes:
    """The includable relations of one table: the ``include`` parameter, loading and embedding."""

    def __init__(self, table: TableInfo, declared: Sequence[Includable], response_schema: type[Any]) -> None:
        self.table = table
        self.by_name = {inclusion.name: inclusion for inclusion in (_resolve(table, item) for item in declared)}
        fields: dict[str, Any] = {}
        for name, inclusion in self.by_name.items():
            embedded: Any = IncludedRows[inclusion.schema] if inclusion.many else inclusion.schema  # type: ignore[name-defined]
            # Read from no attribute of the row (a relationship attribute
            # would load lazily): filled in by embed().
            fields[name] = (
                embedded | None,
                Field(
                    default=None,
                    validation_alias=f"quorvalen_included_{name}",
                    description=(
                        f"The related {inclusion.related.model_class.__name__} rows, at most {inclusion.max_items}, "
                        "with include=" + name
                        if inclusion.many
                        else f"The related {inclusion.related.model_class.__name__} row, with include={name}; "
                        "null where there is none or the caller may not see it"
                    ),
                ),
            )
        # A table model serving as the response schema cannot be extended
        # (its subclass would be a table too): its fields are, through a copy.
        base = derive_response_schema(response_schema) if hasattr(response_schema, "__table__") else response_schema
        self.response_schema: type[Any] = create_model(
            f"{response_schema.__name__}WithIncludes",
            __base__=base,
            __module__=response_schema.__module__,
            **fields,
        )
        self.response_schema.__doc__ = (
            f"A {response_schema.__name__} row with the related rows include= asks for "
            f"({', '.join(self.by_name)}); the others are left out."
        )

    def requested(self, include: Sequence[str | enum.Enum] | None, access: RowAccess) -> list[Inclusion]:
        """The relations a request asks for, once each; RowForbidden for a table the caller may not read."""
        names = [
            name.strip()
            for item in include or ()
            for name in (item.value if isinstance(item, enum.Enum) else item).split(",")
        ]
        unknown = [name for name in names if name not in self.by_name]
        if unknown:
            raise invalid_value(
                ("query", "include"), f"unknown relation {unknown[0]!r}; includable: {', '.join(self.by_name)}", unknown[0]
            )
        chosen = [self.by_name[name] for name in dict.fromkeys(names)]
        for inclusion in chosen:
            inclusion.check_readable(access)
        return chosen

    def left_out(self, requested: Sequence[Inclusion]) -> set[str]:
        asked = {inclusion.name for inclusion in requested}
        return {name for name in self.by_name if name not in asked}

    def loader_options(self, requested: Sequence[Inclusion], access: RowAccess) -> list[LoaderOption]:
        """Loader options of the page's statement: many-to-one joined with its policy.

        Every other relation refuses to load: a lazy load would be a query
        per row, past the related table's policy.  (Without includes the
        statement needs none: the response schema reads no relationship.)
        """
        options: list[LoaderOption] = []
        asked = {inclusion.name for inclusion in requested}
        for inclusion in self.by_name.values():
            if inclusion.name in asked and not inclusion.many:
                conditions = inclusion.related_conditions(access)
                attribute = inclusion.attribute.and_(*conditions) if conditions else inclusion.attribute
                options.append(joinedload(attribute))
            else:
                options.append(raiseload(inclusion.attribute))
        return options

    def embed(self, session: Session, rows: Sequence[Any], requested: Sequence[Inclusion], access: RowAccess) -> list[Any]:
        """The rows as the response schema with includes, the requested relations filled in."""
        schema = self.response_schema
        items = [schema.model_validate(row) for row in rows]
        for inclusion in requested:
            if inclusion.many:
                grouped = self._load_many(session, rows, inclusion, access)
                local = [pair[0] for pair in inclusion.pairs]
                for row, item in zip(rows, items):
                    found = grouped.get(tuple(getattr(row, name) for name in local), [])
                    setattr(
                        item,
                        inclusion.name,
                        IncludedRows[inclusion.schema](  # type: ignore[name-defined]
                            items=[inclusion.schema.model_validate(related) for related in found[: inclusion.max_items]],
                            has_more=len(found) > inclusion.max_items,
                        ),
                    )
            else:
                for row, item in zip(rows, items):
                    related = getattr(row, inclusion.name)
                    setattr(item, inclusion.name, None if related is None else inclusion.schema.model_validate(related))
        return items

    @staticmethod
    def _load_many(
        session: Session, rows: Sequence[Any], inclusion: Inclusion, access: RowAccess
    ) -> dict[tuple[Any, ...], list[Any]]:
        """The related rows of every row of the page, at most max_items + 1 each, in one statement."""
        local = [pair[0] for pair in inclusion.pairs]
        remote = [pair[1] for pair in inclusion.pairs]
        parents = list(dict.fromkeys(tuple(getattr(row, name) for name in local) for row in rows))
        parents = [values for values in parents if None not in values]
        if not parents:
            return {}
        related = inclusion.related
        model = related.model_class
        remote_columns = [related.columns[name].column for name in remote]
        matching = (
            remote_columns[0].in_([values[0] for values in parents])
            if len(remote_columns) == 1
            else tuple_(*remote_columns).in_(parents)
        )
        number = (
            func.row_number()
            .over(partition_by=remote_columns, order_by=[column.column for column in related.key])
            .label("quorvalen_row_number")
        )
        numbered = (
            select(model, number).where(matching, *inclusion.related_conditions(access)).subquery()
        )
        row_alias = aliased(model, numbered)
        statement = (
            select(row_alias)
            .where(numbered.c.quorvalen_row_number <= inclusion.max_items + 1)
            .order_by(*(numbered.c[column.name] for column in remote_columns), numbered.c.quorvalen_row_number)
        )
        grouped: dict[tuple[Any, ...], list[Any]] = {}
        for found in session.scalars(statement):
            grouped.setdefault(tuple(getattr(found, name) for name in remote), []).append(found)
        return grouped
