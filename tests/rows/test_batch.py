"""Batch writes: many rows per request, all or nothing, under the row policies and permissions of single writes."""

from __future__ import annotations

import enum
import uuid
from datetime import date
from decimal import Decimal
from typing import Any

import pytest
from fastapi import FastAPI
from sqlalchemy import Column, Enum, delete, event, select
from sqlmodel import Field

from quorvalen_core.controller.table_controller import AuthController
from quorvalen_core.testing import TestApplication
from quorvalen_core.type.var import SQLModelDB
from quorvalen_core.web import RouterConfig
from rows_support import ORDERS, Shop

BATCH = f"{ORDERS}/batch"
BATCH_ACTIONS = ("create_many", "update_many", "delete_many")


def _orders(shop: Shop) -> list[dict[str, Any]]:
    return shop.call("alice", "GET", ORDERS, deleted="include", limit=100).json()["data"]["items"]  # type: ignore[no-any-return]


# (rows sent, status, where the answer names the refused row)
REFUSED_BATCHES: list[tuple[list[dict[str, Any]], int, Any]] = [
    ([{"number": "A"}, {"number": "B", "total": -1}, {"number": "C"}], 422, ["body", 1, "total"]),
    ([{"number": "A"}, {"number": "B"}, {"number": "A"}], 409, "row 2 of the batch"),
    ([{"number": "A"}, {"number": "B", "customer_id": 999}], 409, "row 1 of the batch"),
    ([], 422, ["body"]),
    # Rows past the first hundred, which are validated apart from them.
    ([{"number": f"N{index}", "total": -1 if index == 130 else 0} for index in range(150)], 422, ["body", 130, "total"]),
    ([{"number": f"N{index}", "total": "x" if index == 230 else 0} for index in range(250)], 422, ["body", 230, "total"]),
]


@pytest.mark.parametrize(("sent", "status", "named"), REFUSED_BATCHES)
def test_a_refused_row_fails_the_whole_batch_and_is_named(shop: Shop, sent: list[dict[str, Any]], status: int, named: Any) -> None:
    response = shop.call("alice", "POST", BATCH, sent)
    assert response.status_code == status, response.text
    detail = response.json()["detail"]
    assert (detail[0]["loc"] == named) if isinstance(named, list) else (named in detail)
    assert _orders(shop) == []


def test_a_batch_create_fills_server_set_columns_and_answers_the_rows_in_order(shop: Shop) -> None:
    response = shop.call("bob", "POST", BATCH, [{"number": "N-1", "owner": "carol"}, {"number": "N-2"}])
    assert response.status_code == 403  # create_many is an action of its own
    shop.service.policies().grant("buyer", "shop.order", "create_many")
    created = shop.ok("bob", "POST", BATCH, [{"number": "N-1", "owner": "carol"}, {"number": "N-2"}])
    assert [(row["number"], row["owner"], row["created_by"]) for row in created] == [("N-1", "bob", "bob"), ("N-2", "bob", "bob")]
    assert [row["id"] for row in _orders(shop)] == [row["id"] for row in created]


@pytest.mark.parametrize("highest_id", [None, 2**63 - 2])
def test_a_batch_answers_each_row_with_the_key_it_was_stored_under(shop: Shop, highest_id: int | None) -> None:
    # Next to the highest row id SQLite can hand out, it hands out free ones at random.
    if highest_id is not None:
        if shop.databases.engine().dialect.name != "sqlite":
            pytest.skip("row ids are SQLite's")
        with shop.databases.engine().begin() as connection:
            connection.exec_driver_sql(
                "INSERT INTO rows_order (id, number, total, owner, created_at, created_by) VALUES (?, 'X', 0, 'alice', '2026-01-01', 'alice')",
                (highest_id,),
            )
    sent = [{"number": f"N-{index}"} for index in range(6)]
    created = shop.ok("alice", "POST", BATCH, sent)
    assert [row["number"] for row in created] == [row["number"] for row in sent]
    stored = {row["id"]: row["number"] for row in _orders(shop)}
    assert all(stored[row["id"]] == row["number"] for row in created)


@pytest.mark.parametrize("method", ["PATCH", "DELETE"])
def test_a_batch_by_filter_touches_only_rows_the_caller_may_change(shop: Shop, method: str) -> None:
    for owner in ("bob", "carol"):
        for number in ("X-1", "X-2"):
            shop.ok(owner, "POST", ORDERS, {"number": number})
    action = "update_many" if method == "PATCH" else "delete_many"
    body = {"total": 5} if method == "PATCH" else None
    assert shop.call("bob", method, ORDERS, body, filter="number:startswith:X").status_code == 403
    shop.service.policies().grant("buyer", "shop.order", action)
    answer = shop.call("bob", method, ORDERS, body, filter="number:startswith:X")
    assert answer.json()["data"] == {"count": 2}, answer.text
    changed = {row["owner"] for row in _orders(shop) if row["total"] == 5 or row["deleted_at"] is not None}
    assert changed == {"bob"}
    # The default role may change every row (<action>:all); the revoked grant holds at once.
    assert shop.ok("alice", method, ORDERS, body, filter="number:startswith:X")["count"] == (4 if method == "PATCH" else 2)
    shop.service.policies().revoke("buyer", "shop.order", action)
    assert shop.call("bob", method, ORDERS, body, filter="id:gt:0").status_code == 403


class Tally(SQLModelDB, table=True):
    __tablename__ = "batch_tally"
    id: int | None = Field(default=None, primary_key=True)
    count: int = 0


def test_a_batch_beyond_its_rows_writes_nothing_and_can_be_switched_off() -> None:
    app = FastAPI()
    small = {f"{operation}_router": RouterConfig(auth=False, max_rows=2) for operation in ("create", "update", "delete", "read", "query")}
    app.include_router(AuthController.create(model_class=Tally, response_schema=Tally, schema_name="b", table_name="tally", **small))
    app.include_router(AuthController.create(
        model_class=Tally, response_schema=Tally, schema_name="b", table_name="off",
        create_router=RouterConfig(auth=False, batch=False), update_router=RouterConfig(auth=False, batch=False),
    ))
    with TestApplication(app) as served:
        for _ in range(3):
            served.client.post("/v1/b/tally", json={})
        answers = {
            "update": served.client.patch("/v1/b/tally", params={"filter": "id:gt:0"}, json={"count": 1}),
            "delete": served.client.delete("/v1/b/tally", params={"filter": "id:gt:0"}),
            "create": served.client.post("/v1/b/tally/batch", json=[{}, {}, {}]),
            "no filter": served.client.delete("/v1/b/tally"),
        }
        assert {name: (answer.status_code, answer.json()["code"]) for name, answer in answers.items()} == {
            "update": (422, "limit_exceeded"), "delete": (422, "limit_exceeded"),
            "create": (422, "invalid_request"), "no filter": (422, "invalid_request"),
        }
        assert [row["count"] for row in served.client.get("/v1/b/tally").json()["data"]["items"]] == [0, 0, 0]
        assert served.client.post("/v1/b/off/batch", json=[{}]).status_code == 405
        paths = served.app.openapi()["paths"]
        # The delete's batch forms stay: by filter, and by key at {prefix}/batch.
        assert list(paths["/v1/b/off/batch"]) == ["delete"] and "patch" not in paths["/v1/b/off"]
        assert paths["/v1/b/tally/batch"]["post"]["requestBody"]["content"]["application/json"]["schema"]["maxItems"] == 2


# (method, rows sent: keys of bob's two orders and carol's one as "b1", "b2", "c", status, what the answer names)
BY_KEYS: list[tuple[str, list[Any], int, Any]] = [
    ("PATCH", [{"id": "b1", "total": 7}, {"id": "b2", "number": "Z"}], 200, [("A", 7), ("Z", 0)]),
    ("PATCH", [{"id": "b1", "total": 1}, {"id": "c", "total": 1}], 404, "row 1 of the batch"),
    ("PATCH", [{"id": "b2"}, {"id": "b1", "total": -1}], 422, ["body", 1, "total"]),
    ("DELETE", ["b1", "c"], 404, "row 1 of the batch"),
    ("DELETE", ["b1", "b2"], 200, {"count": 2}),
]


@pytest.mark.parametrize(("method", "sent", "status", "named"), BY_KEYS)
def test_a_batch_by_keys_writes_each_row_as_a_single_write_or_none(
    shop: Shop, method: str, sent: list[Any], status: int, named: Any
) -> None:
    keys = {name: shop.ok(owner, "POST", ORDERS, {"number": number})["id"]
            for name, owner, number in (("b1", "bob", "A"), ("b2", "bob", "B"), ("c", "carol", "C"))}
    body = [keys[item] if isinstance(item, str) else {**item, "id": keys[item["id"]]} for item in sent]
    before = _orders(shop)
    shop.service.policies().grant("buyer", "shop.order", f"{method.lower().replace('patch', 'update')}_many")
    response = shop.call("bob", method, BATCH, body)
    assert response.status_code == status, response.text
    if status != 200:
        detail = response.json()["detail"]
        assert (detail[0]["loc"] == named) if isinstance(named, list) else (named in detail)
        assert _orders(shop) == before
    elif method == "PATCH":
        assert [(row["number"], row["total"]) for row in response.json()["data"]] == named
    else:
        assert response.json()["data"] == named
        assert [row["owner"] for row in _orders(shop) if row["deleted_at"] is None] == ["carol"]


class Shade(str, enum.Enum):
    LIGHT = "light"
    DARK = "dark"


class Reading(SQLModelDB, table=True):
    __tablename__ = "batch_reading"
    id: int | None = Field(default=None, primary_key=True)
    label: str = Field(max_length=20)
    amount: Decimal = Field(max_digits=10, decimal_places=2)
    day: date
    ratio: float
    ok: bool
    code: uuid.UUID
    note: str | None = None


class Tinted(SQLModelDB, table=True):
    __tablename__ = "batch_tinted"
    id: int | None = Field(default=None, primary_key=True)
    label: str
    # Not a type of the database's own: the tests share a PostgreSQL database.
    shade: Shade = Field(sa_column=Column(Enum(Shade, native_enum=False), nullable=False))


def _reading(index: int) -> dict[str, Any]:
    # Quotes, braces, commas and backslashes, which an array literal escapes.
    return {"label": f"r{index} \"{{a}},\\\\", "amount": f"{index}.25", "day": f"2026-02-{index % 28 + 1:02d}", "ratio": index / 8, "ok": index % 3 == 0,
            "code": str(uuid.UUID(int=index)), "note": None if index % 2 else f"n{index}"}


# (table, a row sent, INSERT statements for 1000 rows: one on PostgreSQL where
# the table's columns go as arrays, else 100 rows per statement there)
BIG_BATCHES: list[tuple[Any, Any, dict[str, int]]] = [
    (Reading, _reading, {"postgresql": 1, "sqlite": 1}),
    (Tinted, lambda index: {"label": f"t{index}", "shade": ("light", "dark")[index % 2]}, {"postgresql": 10, "sqlite": 1}),
]


@pytest.mark.parametrize(("model", "row", "statements"), BIG_BATCHES)
def test_a_big_batch_stores_every_value_and_answers_the_rows_in_order(
    database_url: str, model: Any, row: Any, statements: dict[str, int]
) -> None:
    app = FastAPI()
    settings = {f"{operation}_router": RouterConfig(auth=False, max_rows=1000) for operation in ("create", "read", "query")}
    app.include_router(AuthController.create(model_class=model, response_schema=model, schema_name="b", table_name="big", **settings))
    sent = [row(index) for index in range(1000)]
    with TestApplication(app, database_url=database_url) as served:
        engine = served.context.databases.engine()  # type: ignore[union-attr]
        with engine.begin() as connection:
            connection.execute(delete(model))
        assert served.client.post("/v1/b/big", json=sent[0]).status_code == 201  # keys do not start at 1
        inserts: list[str] = []
        event.listen(engine, "before_cursor_execute", lambda *call: inserts.append(call[2]) if call[2].startswith("INSERT") else None)
        response = served.client.post("/v1/b/big/batch", json=sent)
        assert response.status_code == 201, response.text
        answered = response.json()["data"]
        assert [{name: value for name, value in item.items() if name != "id"} for item in answered] == sent
        with engine.connect() as connection:
            stored = dict(connection.execute(select(model.id, model.label)).all())  # type: ignore[attr-defined]
        assert [stored[item["id"]] for item in answered] == [item["label"] for item in sent]
        assert len(inserts) == statements[engine.dialect.name]
