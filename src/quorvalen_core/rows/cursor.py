"""Signed cursors of the query operation, and the keyset condition they stand for.

A cursor holds the sort-key values of the last row of a page (the primary key
among them), the number of rows before the next page, and a digest of the
query it belongs to (table, sort keys, filters).  It is signed with HMAC-SHA256
(``itsdangerous``), under a key derived from the table's name and a secret
the caller of the query gives: the web layer gives
``QUORVALEN_QUERY_CURSOR_KEY`` when set, else the application's token key.
Without a secret, a random key of this process signs, with a warning:
cursors then hold only in the process that issued them (one worker).

A cursor that was altered, comes from another table or another query, or no
longer decodes is refused.  Its values are those of columns the caller may
read; it is opaque, not secret.
"""

from __future__ import annotations

import hashlib
import json
import logging
import secrets
import threading
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from itsdangerous import BadData, URLSafeSerializer
from pydantic import ValidationError
from pydantic_core import to_jsonable_python
from sqlalchemy import and_, false, or_, tuple_
from sqlalchemy.sql.elements import ColumnElement

from .table_schema import TableColumn

CURSOR_KEY_ENV = "QUORVALEN_QUERY_CURSOR_KEY"

logger = logging.getLogger("quorvalen_core.controller")


class InvalidCursor(ValueError):
    """A cursor this query cannot continue from; the message says why, without the cursor."""


@dataclass(frozen=True)
class SortKey:
    """One key of a query's order: a column and its direction."""

    column: TableColumn
    descending: bool
    # One of the primary key's columns, which end every order.
    is_primary_key: bool = False

    @property
    def nullable(self) -> bool:
        return bool(getattr(self.column.column, "nullable", False))

    def order_clause(self) -> ColumnElement[Any]:
        """ORDER BY term: NULL sorts after every value ascending, before every value descending.

        PostgreSQL does so by default and SQLite the other way round; saying it
        for nullable columns gives both databases one order, which the keyset
        condition relies on.
        """
        column = self.column.column
        if self.descending:
            return column.desc().nulls_first() if self.nullable else column.desc()
        return column.asc().nulls_last() if self.nullable else column.asc()


def _after(key: SortKey, value: Any) -> ColumnElement[bool]:
    """Rows whose value of ``key`` comes strictly after ``value`` in the page order."""
    column = key.column.column
    if key.descending:
        if value is None:
            return column.is_not(None)
        return column < value  # type: ignore[no-any-return]
    if value is None:
        return false()
    if key.nullable:
        return or_(column > value, column.is_(None))
    return column > value  # type: ignore[no-any-return]


def _same(key: SortKey, value: Any) -> ColumnElement[bool]:
    column = key.column.column
    return column.is_(None) if value is None else column == value


def keyset_condition(keys: Sequence[SortKey], values: Sequence[Any]) -> ColumnElement[bool]:
    """Rows after the row whose sort-key values are ``values``, in the order of ``keys``.

    ``keys`` end with the primary key, so the order is total and no row is
    both before and after: pages neither repeat nor skip rows, whatever is
    inserted meanwhile.
    """
    if len(keys) == 1:
        return _after(keys[0], values[0])
    same_direction = len({key.descending for key in keys}) == 1
    if same_direction and not any(value is None for value in values) and not any(key.nullable for key in keys):
        # A row-value comparison, which both databases match against an index.
        columns = tuple_(*(key.column.column for key in keys))
        bound = tuple_(*values)
        return columns < bound if keys[0].descending else columns > bound
    alternatives = [
        and_(*(_same(keys[j], values[j]) for j in range(i)), _after(keys[i], values[i]))
        for i in range(len(keys))
    ]
    condition = or_(*alternatives)
    first, first_value = keys[0], values[0]
    if not first.nullable and first_value is not None:
        # Redundant, but lets the database start from the first key's index.
        column = first.column.column
        condition = and_(column <= first_value if first.descending else column >= first_value, condition)
    return condition


@dataclass(frozen=True)
class CursorPosition:
    """Where a cursor continues: the last row's sort-key values and the rows before the next page.

    A cursor whose values would make it longer than a query takes holds the
    row's primary key instead (``key``; ``values`` None): the values are read
    from the row when the next page is asked for.
    """

    values: list[Any] | None
    position: int
    key: list[Any] | None = None


def query_digest(parts: Sequence[Any]) -> str:
    """A short digest of what makes a query the same query (sort keys, filters)."""
    text = json.dumps(list(parts), separators=(",", ":"), ensure_ascii=False)
    return hashlib.blake2b(text.encode("utf-8", "surrogatepass"), digest_size=8).hexdigest()


class CursorCodec:
    """Signs and checks the cursors of one table's query operation."""

    def __init__(self, table_name: str) -> None:
        self._salt = f"quorvalen_core.query-cursor:{table_name}"
        self._table_name = table_name
        # One serializer per secret: an application has one, a process a few.
        self._serializers: dict[str | None, URLSafeSerializer] = {}
        self._lock = threading.Lock()

    def _signer(self, secret: str | None) -> URLSafeSerializer:
        serializer = self._serializers.get(secret)
        if serializer is not None:
            return serializer
        with self._lock:
            serializer = self._serializers.get(secret)
            if serializer is None:
                key = secret
                if key is None:
                    logger.warning(
                        "query cursors of table %s are signed with a key of this process only: "
                        "set %s or the token key so that every worker accepts them",
                        self._table_name,
                        CURSOR_KEY_ENV,
                    )
                    key = secrets.token_urlsafe(32)
                serializer = URLSafeSerializer(
                    key,
                    salt=self._salt,
                    signer_kwargs={"key_derivation": "hmac", "digest_method": hashlib.sha256},
                )
                self._serializers[secret] = serializer
            return serializer

    def encode(
        self, secret: str | None, digest: str, keys: Sequence[SortKey], row: Any, position: int, max_length: int
    ) -> str:
        """The cursor after ``row``, at most ``max_length`` characters: by its values, else by its key."""
        signer = self._signer(secret)
        values = [to_jsonable_python(getattr(row, key.column.name)) for key in keys]
        cursor = str(signer.dumps([digest, position, values]))
        if len(cursor) <= max_length:
            return cursor
        # Long values (a text column sorted on): the primary key, the last
        # keys of every order, is enough to find the row again.
        key = [to_jsonable_python(getattr(row, key.column.name)) for key in keys if key.is_primary_key]
        return str(signer.dumps([digest, position, None, key]))

    def decode(self, secret: str | None, cursor: str, digest: str, keys: Sequence[SortKey]) -> CursorPosition:
        """The position a cursor holds; raises InvalidCursor for one this query cannot use."""
        try:
            payload = self._signer(secret).loads(cursor)
        except (BadData, UnicodeError, ValueError):
            raise InvalidCursor("the cursor is not one this table issued (altered or foreign)") from None
        if not (isinstance(payload, list) and len(payload) in (3, 4) and payload[0] == digest):
            raise InvalidCursor("the cursor belongs to another query: its sort keys or filters differ")
        if len(payload) == 4:
            return self._by_key(payload, keys)
        _, position, raw_values = payload
        if not isinstance(position, int) or not isinstance(raw_values, list) or len(raw_values) != len(keys):
            raise InvalidCursor("the cursor belongs to another query: its sort keys or filters differ")
        try:
            values = [
                None if raw is None else key.column.parser.validate_python(raw, strict=False)
                for key, raw in zip(keys, raw_values)
            ]
        except ValidationError:
            raise InvalidCursor("the cursor's values no longer fit the table's columns") from None
        return CursorPosition(values, position)

    @staticmethod
    def _by_key(payload: list[Any], keys: Sequence[SortKey]) -> CursorPosition:
        _, position, _, raw_key = payload
        key_columns = [key for key in keys if key.is_primary_key]
        if not isinstance(position, int) or not isinstance(raw_key, list) or len(raw_key) != len(key_columns):
            raise InvalidCursor("the cursor belongs to another query: its sort keys or filters differ")
        try:
            key = [sort_key.column.parser.validate_python(raw, strict=False) for sort_key, raw in zip(key_columns, raw_key)]
        except ValidationError:
            raise InvalidCursor("the cursor's values no longer fit the table's columns") from None
        return CursorPosition(None, position, key)
