"""The operators of a query's filters: what value each takes and the SQL it becomes.

A filter reads ``column:operator:value``.  The value's shape depends on the
operator: one value of the column's type, a comma-separated list, two values
``low,high``, no value at all, or a text pattern.  Text operators work only on
text columns.

``like`` takes an SQL pattern (``%`` any run of characters, ``_`` one
character) and is case-sensitive on every database (SQLite connections of the
registry are set up that way); ``ilike`` is the same pattern ignoring case
(PostgreSQL's ``ILIKE``; on SQLite ``lower()`` on both sides, which folds only
ASCII letters).  ``contains``, ``startswith`` and ``endswith`` match their
value literally: a ``%`` or ``_`` in it is that character, not a wildcard.
"""

from __future__ import annotations

import enum
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from sqlalchemy.sql.elements import ColumnElement


class ValueShape(enum.Enum):
    """How an operator reads the text after ``column:operator:``."""

    ONE = "one value"
    LIST = "a comma-separated list"
    PAIR = "two comma-separated values low,high"
    NONE = "no value"
    PATTERN = "a text pattern"


@dataclass(frozen=True)
class FilterOperator:
    """One operator: the value it takes, whether it needs a text column, its SQL."""

    name: str
    shape: ValueShape
    text_only: bool
    build: Callable[[Any, Any], ColumnElement[bool]]


def _op(name: str, shape: ValueShape, build: Callable[[Any, Any], Any], *, text_only: bool = False) -> FilterOperator:
    return FilterOperator(name, shape, text_only, build)


_ONE, _LIST, _PAIR, _NONE, _PATTERN = (
    ValueShape.ONE,
    ValueShape.LIST,
    ValueShape.PAIR,
    ValueShape.NONE,
    ValueShape.PATTERN,
)

FILTER_OPERATORS: dict[str, FilterOperator] = {
    operator.name: operator
    for operator in (
        _op("eq", _ONE, lambda column, value: column == value),
        _op("ne", _ONE, lambda column, value: column != value),
        _op("lt", _ONE, lambda column, value: column < value),
        _op("le", _ONE, lambda column, value: column <= value),
        _op("gt", _ONE, lambda column, value: column > value),
        _op("ge", _ONE, lambda column, value: column >= value),
        _op("in", _LIST, lambda column, values: column.in_(values)),
        _op("not_in", _LIST, lambda column, values: column.not_in(values)),
        _op("between", _PAIR, lambda column, pair: column.between(*pair)),
        _op("is_null", _NONE, lambda column, _: column.is_(None)),
        _op("not_null", _NONE, lambda column, _: column.is_not(None)),
        _op("like", _PATTERN, lambda column, pattern: column.like(pattern), text_only=True),
        _op("ilike", _PATTERN, lambda column, pattern: column.ilike(pattern), text_only=True),
        # autoescape: SQLAlchemy escapes %, _ and its escape character in the
        # value, so that each stands for itself.
        _op("contains", _ONE, lambda column, text: column.contains(text, autoescape=True), text_only=True),
        _op("startswith", _ONE, lambda column, text: column.startswith(text, autoescape=True), text_only=True),
        _op("endswith", _ONE, lambda column, text: column.endswith(text, autoescape=True), text_only=True),
    )
}


def describe_operators() -> str:
    """One line per value shape, naming its operators (for the API documentation)."""
    by_shape: dict[ValueShape, list[str]] = {}
    for operator in FILTER_OPERATORS.values():
        by_shape.setdefault(operator.shape, []).append(operator.name)
    return "; ".join(f"{', '.join(names)}: {shape.value}" for shape, names in by_shape.items())
