"""The history of a table's rows: every write kind recorded with who, what and the old values, under the row policy."""

from __future__ import annotations

from datetime import datetime
from typing import Any

import pytest
from sqlalchemy import create_engine, select
from sqlalchemy.pool import StaticPool
from sqlmodel import Field, Session, SQLModel

from quorvalen_core.access.row_access import RowAccess
from quorvalen_core.rows.history import history_model_of
from quorvalen_core.rows.table_options import TableOptions
from quorvalen_core.rows.table_rows import TableRows
from quorvalen_core.type.var import SQLModelDB
from rows_support import CUSTOMERS, Shop

HISTORY = f"{CUSTOMERS}/history"

# (caller, method, path ("{id}" the row's key), body, query, operation recorded, its changes)
WRITES: list[tuple[str, str, str, Any, dict[str, str], str, dict[str, Any]]] = [
    ("bob", "PATCH", "/{id}", {"name": "B"}, {}, "update", {"name": {"old": "A", "new": "B"}}),
    ("bob", "PUT", "/{id}", {"name": "C"}, {}, "upsert", {"name": {"old": "B", "new": "C"}}),
    ("bob", "PATCH", "", {"name": "D"}, {"filter": "id:eq:{id}"}, "update_many", {"name": {"old": "C", "new": "D"}}),
    # Only the mark of a soft delete changes: a column the response schema hides, never recorded.
    ("bob", "DELETE", "/{id}", None, {}, "delete", {}),
    ("bob", "POST", "/{id}/restore", None, {}, "restore", {}),
    ("bob", "DELETE", "", None, {"filter": "id:eq:{id}"}, "delete_many", {}),
]


def _entries(shop: Shop, caller: str, path: str, **query: Any) -> Any:
    response = shop.call(caller, "GET", path, **query)
    return response.json()["data"]["items"] if response.status_code == 200 else response.status_code


def test_every_write_kind_is_recorded_with_its_old_and_new_values_under_the_row_policy(shop: Shop) -> None:
    policies = shop.service.policies()
    for action in ("upsert", "update_many", "delete_many", "restore", "create_many"):
        policies.grant("buyer", "shop.customer", action)
    key = shop.ok("bob", "POST", CUSTOMERS, {"name": "A"})["id"]
    for caller, method, path, body, query, _operation, _changes in WRITES:
        filled = {name: value.format(id=key) for name, value in query.items()}
        assert shop.call(caller, method, CUSTOMERS + path.format(id=key), body, **filled).status_code < 300
    # All or nothing: a refused batch writes no row and records none.
    assert shop.call("bob", "POST", f"{CUSTOMERS}/batch", [{"name": "E"}, {"name": "x" * 41}]).status_code == 422
    shop.ok("carol", "POST", f"{CUSTOMERS}/batch", [{"name": "F"}])

    # An action of its own, granted and revoked while the server runs.
    assert _entries(shop, "bob", f"{CUSTOMERS}/{key}/history") == 403
    policies.grant("buyer", "shop.customer", "history")
    recorded = _entries(shop, "bob", f"{CUSTOMERS}/{key}/history", sort="id")
    expected = [("create", {"id": {"old": None, "new": key}, "name": {"old": None, "new": "A"}, "owner": {"old": None, "new": "bob"}})]
    expected += [(operation, changes) for *_sent, operation, changes in WRITES]
    assert [(entry["operation"], entry["changes"]) for entry in recorded] == expected
    assert {(entry["subject"], entry["owner"], entry["row_key"]) for entry in recorded} == {("bob", "bob", str(key))}
    # The table's history: the same query language; another's rows stay out, but for the every-row permission.
    assert [entry["operation"] for entry in _entries(shop, "bob", HISTORY, filter="operation:like:%many")] == ["update_many", "delete_many"]
    assert [entry["operation"] for entry in _entries(shop, "carol", HISTORY)] == ["create_many"]
    assert len(_entries(shop, "alice", HISTORY)) == len(WRITES) + 2
    # The changes are a JSON document: neither sorted nor filtered on.
    assert shop.call("alice", "GET", HISTORY, sort="-changes").status_code == 422
    policies.revoke("buyer", "shop.customer", "history")
    assert _entries(shop, "bob", HISTORY) == 403


class HardNote(SQLModelDB, table=True):
    __tablename__ = "history_hard_note"
    __table_options__ = TableOptions(history=True)
    id: int | None = Field(default=None, primary_key=True)
    text: str


class MarkedNote(SQLModelDB, table=True):
    """A soft delete whose mark the entries show."""

    __tablename__ = "history_marked_note"
    __table_options__ = TableOptions(deleted_at="deleted_at", history=True)
    id: int | None = Field(default=None, primary_key=True)
    text: str
    deleted_at: datetime | None = None


@pytest.mark.parametrize(
    ("model", "changed"),
    [(HardNote, {"id": (1, None), "text": ("a", None)}), (MarkedNote, {"deleted_at": (None, "a time")})],
)
def test_a_delete_records_the_row_as_it_was(model: Any, changed: dict[str, tuple[Any, Any]]) -> None:
    engine = create_engine("sqlite://", poolclass=StaticPool, connect_args={"check_same_thread": False})
    history = history_model_of(model)
    SQLModel.metadata.create_all(engine, tables=[model.__table__, history.__table__])
    rows, access = TableRows(model), RowAccess("ann", None, None, None)
    with Session(engine) as session:
        rows.insert(session, {"text": "a"}, access)
        rows.delete(session, 1, access)
        entry = session.scalars(select(history).where(history.operation == "delete")).one()
    recorded = {name: (change["old"], change["new"] if changed[name][1] is None else "a time") for name, change in entry.changes.items()}
    assert recorded == changed
