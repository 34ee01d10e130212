"""Many rows inserted on PostgreSQL by one statement taking one array per column.

``INSERT INTO t (a, b) SELECT ... FROM unnest(:a, :b) WITH ORDINALITY ...
ORDER BY ordinality RETURNING ...`` sends a batch as a few array parameters:
PostgreSQL parses one short statement, and psycopg adapts each column's
values in one go.  SQLAlchemy's own form (many rows per ``VALUES``) sends a
placeholder per value, which psycopg splits out of the text in Python: for
thousands of rows, more than twice the time of the same rows inserted
without their values returned.

The form serves the common table only: a key the database assigns from a
sequence (an integer ``SERIAL`` or identity column), which PostgreSQL draws
in the order the ``SELECT`` sorts its rows, so the returned rows sorted by
key are the rows sent in order (SQLAlchemy relies on the same order for its
own sorted inserts); columns of plain scalar types, whose arrays PostgreSQL
and psycopg take as they are; and no default computed in Python for a column
the rows leave out, which a single statement would compute once for all.
Anything else goes by SQLAlchemy's form.  A type decorator over such a type
(SQLModel's ``AutoString`` and aware ``DateTime``) takes part: an array
applies its processing to each value.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from sqlalchemy import Boolean, Date, DateTime, Enum, Float, Integer, Numeric, String, Time, Uuid, bindparam, func, insert, select
from sqlalchemy.dialects.postgresql import ARRAY
from sqlalchemy.types import TypeDecorator, TypeEngine
from sqlmodel import Session

# Scalar types whose values PostgreSQL's arrays and psycopg carry as they are.
_ARRAY_SAFE_TYPES = (Integer, String, Boolean, Numeric, Float, Date, DateTime, Time, Uuid)


def inserted_from_arrays(
    session: Session, table: Any, run: Sequence[dict[str, Any]], names: Sequence[tuple[str, str]]
) -> list[dict[str, Any]] | None:
    """The rows of ``run`` (naming the same columns) inserted by one statement, in order, as stored.

    Each row's values are keyed by attribute name (``names``: each column's
    key with its attribute's name).

    None, with nothing written, where the form does not serve the table or
    the database (see the module's documentation).
    """
    if session.get_bind().dialect.name != "postgresql" or not run:
        return None
    named = list(run[0])
    key = list(table.primary_key.columns)
    if len(key) != 1 or key[0] is not table.autoincrement_column or key[0].key in named:
        return None
    if not all(_carried_by_array(table.c[name].type) for name in named):
        return None
    if any(column.default is not None for column in table.c if column.key not in named):
        return None
    labels = [f"column_{index}" for index in range(len(named))]
    arrays = [
        bindparam(label, [values[name] for values in run], type_=ARRAY(table.c[name].type))
        for label, name in zip(labels, named)
    ]
    sent = func.unnest(*arrays).table_valued(*labels, with_ordinality="position").render_derived(name="sent")
    rows = select(*[sent.c[label] for label in labels]).order_by(sent.c.position)
    returned = [table.c[key] for key, _name in names]
    statement = insert(table).from_select(named, rows, include_defaults=False).returning(*returned)
    # Plain values as the rows come: thousands of result rows kept would
    # outlive the garbage collector's young generations.
    written = [{name: row[index] for index, (_key, name) in enumerate(names)} for row in session.execute(statement)]
    key_name = next(name for column_key, name in names if column_key == key[0].key)
    written.sort(key=lambda values: values[key_name])
    return written


def _carried_by_array(kind: TypeEngine[Any]) -> bool:
    """Whether an array of the type's values takes each value as a column of the type does.

    An array applies its items' bind processing (a decorator's
    ``process_bind_param`` included) to each value, but not a SQL expression
    a type wraps its parameter in.
    """
    if isinstance(kind, TypeDecorator):
        if type(kind).bind_expression is not TypeDecorator.bind_expression:
            return False
        kind = kind.impl_instance
    return (
        isinstance(kind, _ARRAY_SAFE_TYPES)
        and not isinstance(kind, (Enum, TypeDecorator))
        and type(kind).bind_expression is TypeEngine.bind_expression
    )
