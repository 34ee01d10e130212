"""Pagination, sorting and filtering parameters of the query operation.

The query operation takes, all as query-string parameters shown in OpenAPI:

- ``offset`` (>= 0) and ``limit`` (1 to a maximum, with a default);
- ``sort``, repeatable: a column name for ascending order, ``-`` and a column
  name for descending order; earlier keys sort first;
- ``filter``, repeatable: ``column:operator:value``, all filters must hold.
  Operators: ``eq``, ``ne``, ``lt``, ``le``, ``gt``, ``ge``, ``in`` (the value
  is a comma-separated list) and ``like`` (an SQL pattern with ``%`` and
  ``_``, on text columns).

Only the table's columns can be sorted or filtered on; anything else is a 422.
So is a query beyond its :class:`QueryLimits`: too many filters or sort keys,
a value or pattern too long, an ``in`` list too large.
"""

from __future__ import annotations

import enum
from collections.abc import Callable, Collection, Sequence
from dataclasses import dataclass
from typing import Any

from fastapi import Query
from fastapi.exceptions import RequestValidationError
from pydantic import ValidationError
from sqlalchemy.sql.elements import ColumnElement

from .query_limits import QueryLimits
from .table_schema import TableColumn, TableInfo


def _in(column: Any, values: list[Any]) -> ColumnElement[bool]:
    result: ColumnElement[bool] = column.in_(values)
    return result


FILTER_OPERATORS: dict[str, Callable[[Any, Any], ColumnElement[bool]]] = {
    "eq": lambda column, value: column == value,
    "ne": lambda column, value: column != value,
    "lt": lambda column, value: column < value,
    "le": lambda column, value: column <= value,
    "gt": lambda column, value: column > value,
    "ge": lambda column, value: column >= value,
    "in": _in,
    "like": lambda column, value: column.like(value),
}


def _invalid(index: int | None, message: str, value: str, parameter: str) -> RequestValidationError:
    """A 422 in FastAPI's usual form, pointing at a query parameter or one of its values."""
    return RequestValidationError(
        [
            {
                "type": "value_error",
                "loc": ("query", parameter) if index is None else ("query", parameter, index),
                "msg": message,
                "input": value,
            }
        ]
    )


@dataclass(frozen=True)
class QueryParameters:
    """Parses the query operation's parameters into SQL clauses for one table."""

    table: TableInfo
    columns: dict[str, TableColumn]
    sort_keys: type[enum.Enum]
    limits: QueryLimits

    @classmethod
    def for_table(
        cls, table: TableInfo, limits: QueryLimits | None = None, *, visible: Collection[str] | None = None
    ) -> QueryParameters:
        """Parameters over the table's columns, or those of them in ``visible``.

        A column the response schema leaves out must not be filtered on
        either: a pattern filter would let a caller read it character by
        character.
        """
        columns = {
            name: column for name, column in table.columns.items() if visible is None or name in visible
        }
        if table.primary_key.name not in columns:
            columns[table.primary_key.name] = table.primary_key
        # An enum makes the allowed sort keys part of the OpenAPI document and
        # lets FastAPI refuse other keys with a 422 before the endpoint runs.
        members: dict[str, str] = {}
        for name in columns:
            members[f"{name}_asc"] = name
            members[f"{name}_desc"] = f"-{name}"
        sort_keys = enum.Enum(  # type: ignore[misc]
            f"{table.model_class.__name__}SortKey", members, type=str
        )
        return cls(table, columns, sort_keys, limits or QueryLimits())

    def signature_defaults(self) -> dict[str, tuple[Any, Any]]:
        """Annotation and default of each query-string parameter of the endpoint."""
        columns = ", ".join(self.columns)
        return {
            "offset": (
                int,
                Query(0, ge=0, le=2**63 - 1, description="Rows to skip before the page."),
            ),
            "limit": (
                int,
                Query(
                    self.limits.default_limit,
                    ge=1,
                    le=self.limits.max_limit,
                    description=f"Rows on the page, at most {self.limits.max_limit}.",
                ),
            ),
            "sort": (
                list[self.sort_keys] | None,  # type: ignore[name-defined]
                Query(
                    None,
                    description=(
                        "Sort key, repeatable: a column for ascending order, "
                        "-column for descending order; earlier keys sort first; "
                        f"at most {self.limits.max_sorts} keys."
                    ),
                ),
            ),
            "filters": (
                list[str] | None,
                Query(
                    None,
                    alias="filter",
                    description=(
                        "Filter, repeatable, all must hold: column:operator:value. "
                        f"Columns: {columns}. Operators: {', '.join(FILTER_OPERATORS)}; "
                        "in takes a comma-separated list, like an SQL pattern "
                        f"(% and _) on text columns. At most {self.limits.max_filters} filters, "
                        f"values of at most {self.limits.max_value_length} characters, "
                        f"in lists of at most {self.limits.max_in_values} values."
                    ),
                    examples=[[f"{next(iter(self.columns))}:eq:1"]],
                ),
            ),
        }

    def order_by(self, sort: Sequence[enum.Enum] | None) -> list[ColumnElement[Any]]:
        """ORDER BY clauses; the primary key breaks ties so that pages are stable."""
        clauses: list[ColumnElement[Any]] = []
        seen: set[str] = set()
        if sort and len(sort) > self.limits.max_sorts:
            raise _invalid(
                None,
                f"at most {self.limits.max_sorts} sort keys are allowed (max_sorts), got {len(sort)}",
                str(len(sort)),
                "sort",
            )
        for key in sort or ():
            text: str = key.value
            name = text.lstrip("-")
            if name in seen:
                continue
            seen.add(name)
            column = self.columns[name].column
            clauses.append(column.desc() if text.startswith("-") else column.asc())
        primary_key = self.table.primary_key
        if primary_key.name not in seen:
            clauses.append(primary_key.column.asc())
        return clauses

    def where(self, filters: Sequence[str] | None) -> list[ColumnElement[bool]]:
        """WHERE clauses, one per filter; raises a 422 for a filter that does not parse."""
        if filters and len(filters) > self.limits.max_filters:
            raise _invalid(
                None,
                f"at most {self.limits.max_filters} filters are allowed (max_filters), got {len(filters)}",
                str(len(filters)),
                "filter",
            )
        return [self._filter(index, text) for index, text in enumerate(filters or ())]

    def _filter(self, index: int, text: str) -> ColumnElement[bool]:
        parts = text.split(":", 2)
        if len(parts) != 3:
            raise _invalid(index, "a filter has the form column:operator:value", text, "filter")
        name, operator, raw = parts
        column = self.columns.get(name)
        if column is None:
            raise _invalid(
                index,
                f"unknown column {name!r}; filterable columns: {', '.join(self.columns)}",
                text,
                "filter",
            )
        build = FILTER_OPERATORS.get(operator)
        if build is None:
            raise _invalid(
                index,
                f"unknown operator {operator!r}; operators: {', '.join(FILTER_OPERATORS)}",
                text,
                "filter",
            )
        if operator == "like":
            self._check_length(index, raw, text)
            if not column.is_text:
                raise _invalid(index, f"like needs a text column; {name!r} is not one", text, "filter")
            return build(column.column, raw)
        if operator == "in":
            items = raw.split(",")
            if len(items) > self.limits.max_in_values:
                raise _invalid(
                    index,
                    f"an in list has at most {self.limits.max_in_values} values (max_in_values), got {len(items)}",
                    f"{name}:{operator}:...",
                    "filter",
                )
            return build(column.column, [self._value(index, column, item, text) for item in items])
        return build(column.column, self._value(index, column, raw, text))

    def _check_length(self, index: int, raw: str, text: str) -> None:
        if len(raw) > self.limits.max_value_length:
            raise _invalid(
                index,
                f"a filter value has at most {self.limits.max_value_length} characters (max_value_length)",
                text[:80] + "...",
                "filter",
            )

    def _value(self, index: int, column: TableColumn, raw: str, text: str) -> Any:
        self._check_length(index, raw, text)
        try:
            return column.parser.validate_python(raw, strict=False)
        except ValidationError as error:
            reason = error.errors()[0]["msg"] if error.errors() else str(error)
            raise _invalid(
                index, f"value {raw!r} does not fit column {column.name!r}: {reason}", text, "filter"
            ) from None
