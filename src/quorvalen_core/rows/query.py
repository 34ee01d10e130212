"""A query over a table's rows: filters, sorting, a page, a cursor, chosen fields.

A :class:`QueryRequest` holds what a caller asks for, in the form the query
operation's parameters take:

- ``filters``: ``column:operator:value`` each; every filter must hold.
  Operators: see :mod:`.filter_operators`;
- ``any_of``: conditions in the same form; a row matches when any of them
  holds (and every filter does);
- ``sort``: a column name for ascending order, ``-`` and a column name for
  descending order; earlier keys sort first, the primary key (each of its
  columns) breaks ties;
- ``offset`` and ``limit``; ``total`` (false skips counting the matching
  rows); ``cursor``: the ``next_cursor`` of a page of the same query, to
  continue after that page's last row (instead of ``offset``); ``fields``:
  comma-separated fields of the response schema to return (the primary
  key's columns always).

A :class:`QueryPlanner` turns it into a :class:`QueryPlan` for one table.
Only the allowed columns (by default every column of the response schema)
can be filtered or sorted on; anything else is an :class:`InvalidInput`
naming the parameter, and so is a query beyond its :class:`QueryLimits`.
"""

from __future__ import annotations

import enum
from collections.abc import Collection, Sequence
from dataclasses import dataclass, field
from typing import Any

from pydantic import ValidationError
from sqlalchemy import JSON, or_
from sqlalchemy.sql.elements import ColumnElement

from .cursor import CursorCodec, CursorPosition, InvalidCursor, SortKey, keyset_condition, query_digest
from .errors import InvalidInput, invalid_value
from .filter_operators import FILTER_OPERATORS, ValueShape
from .query_limits import QueryLimits
from .table_schema import TableColumn, TableInfo

SHOWN_VALUE_LENGTH = 80


def _invalid(index: int | None, message: str, value: str, parameter: str) -> InvalidInput:
    """An error pointing at a query parameter or one of its values."""
    shown = value if len(value) <= SHOWN_VALUE_LENGTH else value[:SHOWN_VALUE_LENGTH] + "..."
    return invalid_value(("query", parameter) if index is None else ("query", parameter, index), message, shown)


def _over_limit(parameter: str, what: str, limit: int, name: str, got: int) -> InvalidInput:
    return _beyond(None, f"at most {limit} {what} are allowed ({name}), got {got}", str(got), parameter)


def _beyond(index: int | None, message: str, value: str, parameter: str) -> InvalidInput:
    """A request beyond a bound of the query's limits, which ``message`` names."""
    refused = _invalid(index, message, value, parameter)
    refused.code = "limit_exceeded"
    return refused


def _values_in(text: str) -> int:
    """How many values a filter's text holds (before it is parsed: a list's commas count)."""
    parts = text.split(":", 2)
    operator = FILTER_OPERATORS.get(parts[1]) if len(parts) > 1 else None
    if operator is None or len(parts) < 3:
        return 0
    if operator.shape in (ValueShape.LIST, ValueShape.PAIR):
        return parts[2].count(",") + 1
    return 1


@dataclass(frozen=True)
class QueryRequest:
    """What one query asks for (the query operation's parameters)."""

    offset: int = 0
    limit: int | None = None
    sort: Sequence[str | enum.Enum] | None = None
    filters: Sequence[str] | None = None
    any_of: Sequence[str] | None = None
    total: bool = True
    cursor: str | None = None
    fields: str | None = None

@dataclass
class QueryPlan:
    """What one query request asks the database for.

    ``conditions`` select the matching rows, for the page and for the total
    alike: a controller may append conditions of its own (they are ANDed).
    ``after`` holds the cursor's position; :meth:`page_conditions` adds it.
    """

    conditions: list[ColumnElement[bool]]
    keys: list[SortKey]
    offset: int
    limit: int
    count_total: bool
    digest: str
    after: CursorPosition | None = None
    exclude: dict[str, Any] | None = field(default=None)
    cursor_secret: str | None = None

    def order_by(self) -> list[ColumnElement[Any]]:
        return [key.order_clause() for key in self.keys]

    def page_conditions(self) -> list[ColumnElement[bool]]:
        if self.after is None:
            return self.conditions
        assert self.after.values is not None, "a cursor by key is resolved before the page is read"
        return [*self.conditions, keyset_condition(self.keys, self.after.values)]

    @property
    def first_row(self) -> int:
        """Rows of the query that come before this page (counted along the cursors)."""
        return self.after.position if self.after is not None else self.offset


@dataclass(frozen=True)
class QueryPlanner:
    """Turns the queries of one table into :class:`QueryPlan` s."""

    table: TableInfo
    columns: dict[str, TableColumn]
    sort_keys: type[enum.Enum]
    limits: QueryLimits
    response_fields: tuple[str, ...]
    cursors: CursorCodec

    @classmethod
    def for_table(
        cls,
        table: TableInfo,
        limits: QueryLimits | None = None,
        *,
        visible: Collection[str] | None = None,
        allowed: Sequence[str] | None = None,
    ) -> QueryPlanner:
        """Parameters over the table's columns in ``visible`` (the response schema's fields).

        ``allowed`` narrows the columns that may be filtered and sorted on; a
        name in it that is not a visible column raises ``ValueError``.  A
        column the response schema leaves out is never allowed: a pattern
        filter would let a caller read it character by character.
        """
        shown = {
            name: column for name, column in table.columns.items() if visible is None or name in visible
        }
        if allowed is not None:
            unknown = [name for name in allowed if name not in shown]
            if unknown:
                raise ValueError(
                    f"query_columns of table {table.table_name!r} names {', '.join(map(repr, unknown))}, "
                    f"not a column of its response schema; columns: {', '.join(shown)}"
                )
            shown = {name: column for name, column in shown.items() if name in allowed}
        # A JSON document has no order, and on PostgreSQL no equality either.
        columns = {name: column for name, column in shown.items() if not isinstance(column.column.type, JSON)}
        for key_column in table.key:
            columns.setdefault(key_column.name, key_column)
        # An enum makes the allowed sort keys part of the OpenAPI document and
        # lets FastAPI refuse other keys with a 422 before the endpoint runs.
        members: dict[str, str] = {}
        for name in columns:
            members[f"{name}_asc"] = name
            members[f"{name}_desc"] = f"-{name}"
        sort_keys = enum.Enum(  # type: ignore[misc]
            f"{table.model_class.__name__}SortKey", members, type=str
        )
        # Generated clients name the members from x-enum-varnames (TITLE_DESC, not VALUE_3).
        varnames = [name.upper() for name in members]
        sort_keys.__get_pydantic_json_schema__ = classmethod(  # type: ignore[attr-defined]
            lambda cls, core_schema, handler: {**handler(core_schema), "x-enum-varnames": varnames}
        )
        response_fields = tuple(visible) if visible is not None else tuple(table.columns)
        return cls(
            table, columns, sort_keys, limits or QueryLimits(), response_fields, CursorCodec(table.table_name)
        )

    # -- parsing --------------------------------------------------------------

    def plan(self, query: QueryRequest, *, cursor_secret: str | None = None) -> QueryPlan:
        """The plan of one query; raises InvalidInput for a parameter that does not parse or is too large.

        ``cursor_secret`` signs the plan's cursors (see :mod:`.cursor`).
        """
        limits = self.limits
        limit = limits.default_limit if query.limit is None else query.limit
        if not 1 <= limit <= limits.max_limit:
            raise _invalid(None, f"limit is 1 to {limits.max_limit}", str(limit), "limit")
        if query.offset < 0:
            raise _invalid(None, "offset is 0 or more", str(query.offset), "offset")
        filters, any_of = query.filters, query.any_of
        # Every value is a bind parameter, of which a database takes a bounded number.
        values = sum(_values_in(text) for text in (*(filters or ()), *(any_of or ())))
        if values > limits.max_total_values:
            raise _over_limit(
                "filter", "values in all filters and or conditions", limits.max_total_values, "max_total_values", values
            )
        conditions = self.where(filters)
        if any_of:
            if len(any_of) > limits.max_or_conditions:
                raise _over_limit("or", "or conditions", limits.max_or_conditions, "max_or_conditions", len(any_of))
            group = [self._condition(index, text, "or") for index, text in enumerate(any_of)]
            conditions.append(group[0] if len(group) == 1 else or_(*group))
        keys = self.sort_keys_of(query.sort)
        digest = query_digest(
            [[[key.column.name, key.descending] for key in keys], sorted(filters or ()), sorted(any_of or ())]
        )
        plan = QueryPlan(
            conditions, keys, query.offset, limit, query.total, digest,
            exclude=self._exclude(query.fields), cursor_secret=cursor_secret,
        )
        if query.cursor:  # an empty cursor is no cursor
            plan.after = self._after(query.cursor, query.offset, plan)
        return plan

    def check_parameter_names(self, names: Collection[str], known: Collection[str]) -> None:
        """InvalidInput for a query-string parameter named like a column: the filter= form it means.

        ``?name=Green tea`` is not a filter; silently answering every row
        would look like one.  Other unknown parameters are ignored, as
        FastAPI ignores them.
        """
        for name in names:
            if name in self.columns and name not in known:
                raise _invalid(
                    None,
                    f"{name!r} is a column, not a parameter of the query: filter with filter={name}:eq:<value> "
                    "(or another operator)",
                    name,
                    name,
                )

    def next_cursor(self, plan: QueryPlan, last_row: Any, rows_on_page: int) -> str:
        return self.cursors.encode(
            plan.cursor_secret, plan.digest, plan.keys, last_row, plan.first_row + rows_on_page, self.limits.max_cursor_length
        )

    def _after(self, cursor: str, offset: int, plan: QueryPlan) -> CursorPosition:
        if offset:
            raise _invalid(None, "cursor and offset exclude each other: a cursor says where the page starts", str(offset), "offset")
        if len(cursor) > self.limits.max_cursor_length:
            raise _beyond(
                None,
                f"a cursor has at most {self.limits.max_cursor_length} characters (max_cursor_length)",
                cursor,
                "cursor",
            )
        try:
            return self.cursors.decode(plan.cursor_secret, cursor, plan.digest, plan.keys)
        except InvalidCursor as error:
            raise _invalid(None, str(error), cursor, "cursor") from None

    def _exclude(self, fields: str | None) -> dict[str, Any] | None:
        """What serialising the page leaves out of each item for ``fields``."""
        if fields is None:
            return None
        names = [name.strip() for name in fields.split(",")]
        if len(names) > self.limits.max_fields:
            raise _over_limit("fields", "field names", self.limits.max_fields, "max_fields", len(names))
        unknown = [name for name in names if name not in self.response_fields]
        if unknown:
            raise _invalid(
                None,
                f"unknown field {unknown[0]!r}; fields: {', '.join(self.response_fields)}",
                fields,
                "fields",
            )
        chosen = {*names, *self.table.key_names}
        left_out = {name for name in self.response_fields if name not in chosen}
        return {"data": {"items": {"__all__": left_out}}} if left_out else None

    def sort_keys_of(self, sort: Sequence[str | enum.Enum] | None) -> list[SortKey]:
        """The page order: the keys asked for, then the primary key's columns, which make it total."""
        if sort and len(sort) > self.limits.max_sorts:
            raise _over_limit("sort", "sort keys", self.limits.max_sorts, "max_sorts", len(sort))
        keys: list[SortKey] = []
        seen: set[str] = set()
        key_names = set(self.table.key_names)
        for index, key in enumerate(sort or ()):
            text: str = key.value if isinstance(key, enum.Enum) else key
            name = text.lstrip("-")
            if name not in self.columns:
                raise _invalid(index, f"unknown sort key {text!r}; columns: {', '.join(self.columns)}", text, "sort")
            if name in seen:
                continue
            seen.add(name)
            keys.append(SortKey(self.columns[name], text.startswith("-")))
            if key_names <= seen:
                break  # the primary key is unique: later keys never decide
        keys.extend(SortKey(column, False) for column in self.table.key if column.name not in seen)
        key_names = set(self.table.key_names)
        return [SortKey(key.column, key.descending, key.column.name in key_names) for key in keys]

    def where(self, filters: Sequence[str] | None) -> list[ColumnElement[bool]]:
        """WHERE clauses, one per filter; raises InvalidInput for a filter that does not parse."""
        if filters and len(filters) > self.limits.max_filters:
            raise _over_limit("filter", "filters", self.limits.max_filters, "max_filters", len(filters))
        return [self._condition(index, text, "filter") for index, text in enumerate(filters or ())]

    def _condition(self, index: int, text: str, parameter: str) -> ColumnElement[bool]:
        parts = text.split(":", 2)
        if len(parts) < 2:
            raise _invalid(index, "a filter has the form column:operator:value", text, parameter)
        name, operator_name = parts[0], parts[1]
        raw = parts[2] if len(parts) == 3 else None
        column = self.columns.get(name)
        if column is None:
            raise _invalid(
                index, f"unknown column {name!r}; filterable columns: {', '.join(self.columns)}", text, parameter
            )
        operator = FILTER_OPERATORS.get(operator_name)
        if operator is None:
            raise _invalid(
                index,
                f"unknown operator {operator_name!r}; operators: {', '.join(FILTER_OPERATORS)}",
                text,
                parameter,
            )
        if operator.shape is ValueShape.NONE:
            if raw:
                raise _invalid(index, f"{operator_name} takes no value: column:{operator_name}", text, parameter)
            return operator.build(column.column, None)
        if raw is None:
            raise _invalid(index, "a filter has the form column:operator:value", text, parameter)
        if operator.text_only and not column.is_text:
            raise _invalid(index, f"{operator_name} needs a text column; {name!r} is not one", text, parameter)
        if operator.shape is ValueShape.PATTERN:
            return operator.build(column.column, self._checked_length(index, raw, text, parameter))
        if operator.shape is ValueShape.ONE:
            return operator.build(column.column, self._value(index, column, raw, text, parameter))
        items = raw.split(",")
        if operator.shape is ValueShape.PAIR and len(items) != 2:
            raise _invalid(
                index, f"{operator_name} takes two comma-separated values low,high, got {len(items)}", text, parameter
            )
        if len(items) > self.limits.max_in_values:
            raise _beyond(
                index,
                f"the {operator_name} list has at most {self.limits.max_in_values} values (max_in_values), got {len(items)}",
                f"{name}:{operator_name}:...",
                parameter,
            )
        return operator.build(column.column, [self._value(index, column, item, text, parameter) for item in items])

    def _checked_length(self, index: int, raw: str, text: str, parameter: str) -> str:
        if len(raw) > self.limits.max_value_length:
            raise _beyond(
                index,
                f"a filter value has at most {self.limits.max_value_length} characters (max_value_length)",
                text,
                parameter,
            )
        return raw

    def _value(self, index: int, column: TableColumn, raw: str, text: str, parameter: str) -> Any:
        self._checked_length(index, raw, text, parameter)
        try:
            return column.stored(column.parser.validate_python(raw, strict=False))
        except ValidationError as error:
            reason = error.errors()[0]["msg"] if error.errors() else str(error)
            raise _invalid(
                index, f"value {raw!r} does not fit column {column.name!r}: {reason}", text, parameter
            ) from None
        except OverflowError:
            raise _invalid(
                index, f"value {raw!r} does not fit column {column.name!r}: out of the range of times", text, parameter
            ) from None
