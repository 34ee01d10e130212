"""Partial updates answer alike whether the table model checks a value on its own or with the stored row."""

from __future__ import annotations

from collections.abc import Iterator
from datetime import date
from typing import Any

import pytest
from fastapi.testclient import TestClient
from pydantic import ConfigDict, field_validator, model_validator
from sqlmodel import Field

from generic_support import BOOK, Book, table_app
from quorvalen_core.db import DatabaseRegistry
from quorvalen_core.type.var import SQLModelDB


class Note(SQLModelDB, table=True):
    """Checked value by value, with a setting of the model's own."""

    __tablename__ = "generic_note"
    model_config = ConfigDict(str_strip_whitespace=True)  # type: ignore[assignment]

    id: int | None = Field(default=None, primary_key=True)
    text: str = Field(max_length=20)


class Loan(SQLModelDB, table=True):
    """Checked with the stored row: its validators see several fields."""

    __tablename__ = "generic_loan"

    id: int | None = Field(default=None, primary_key=True)
    borrower: str
    lent: date
    due: date

    @field_validator("borrower")
    @classmethod
    def lower_case(cls, value: str) -> str:
        return value.lower()

    @model_validator(mode="after")
    def due_after_lent(self) -> Loan:
        if self.due < self.lent:
            raise ValueError("due before lent")
        return self


TABLES = {
    "book": (BOOK, {"title": "Kept", "pages": 10}),
    "note": ({"model_class": Note, "response_schema": Note, "table_name": "note"}, {"text": "a"}),
    "loan": ({"model_class": Loan, "response_schema": Loan, "table_name": "loan"}, {"borrower": "ann", "lent": "2026-01-01", "due": "2026-02-01"}),
}


@pytest.fixture
def client(registry: DatabaseRegistry) -> Iterator[TestClient]:
    engine = registry.engine()
    tables = [Note.__table__, Loan.__table__]
    Note.metadata.drop_all(engine, tables=tables)
    Note.metadata.create_all(engine, tables=tables)
    with TestClient(table_app(*(arguments for arguments, _ in TABLES.values()))) as client:
        yield client


@pytest.mark.parametrize(
    ("table", "exists", "changes", "status", "stored"),
    [
        ("book", True, {"pages": 20}, {200}, {"pages": 20}),
        # A value the model refuses: on a missing row the row's absence is told first.
        ("book", True, {"pages": -3}, {422}, {"pages": 10}),
        ("book", False, {"pages": -3}, {404}, None),
        ("book", False, {"pages": 20}, {404}, None),
        # PostgreSQL refuses NUL in text, SQLite stores it; a missing row is missing on both.
        ("book", True, {"title": "nul\u0000"}, {200, 422}, None),
        ("book", False, {"title": "nul\u0000"}, {404}, None),
        ("note", True, {"text": "  trimmed  "}, {200}, {"text": "trimmed"}),
        ("note", True, {"text": "x" * 21}, {422}, {"text": "a"}),
        ("loan", True, {"borrower": "BOB"}, {200}, {"borrower": "bob"}),
        ("loan", True, {"due": "2025-12-31"}, {422}, {"due": "2026-02-01"}),
        ("loan", False, {"due": "2025-12-31"}, {404}, None),
    ],
)
def test_an_update_is_checked_as_the_model_checks_rows(
    client: TestClient, table: str, exists: bool, changes: dict[str, Any], status: set[int], stored: dict[str, Any] | None
) -> None:
    arguments, row = TABLES[table]
    prefix = f"/v1/library/{arguments['table_name']}"
    created = client.post(prefix, json=row).json()["data"]
    if not exists:
        assert client.delete(f"{prefix}/{created['id']}").status_code == 200
    response = client.patch(f"{prefix}/{created['id']}", json=changes)
    assert response.status_code in status, response.text
    detail = response.json().get("detail")
    if isinstance(detail, list):  # refused by the model; else by the database, with a fixed text
        assert [error["loc"][:2] for error in detail] in ([["body", *changes]], [["body"]])
    if stored is not None:
        current = client.get(f"{prefix}/{created['id']}").json()["data"]
        assert {name: current[name] for name in stored} == stored
        if response.status_code == 200:
            assert response.json()["data"] == current
    # A refused statement leaves the database usable.
    assert client.post(prefix, json={**row, "title": "After"} if arguments["model_class"] is Book else row).status_code == 201
