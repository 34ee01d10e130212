"""Conditional requests: a row's ETag, If-None-Match on reads, If-Match on every write of one row."""

from __future__ import annotations

from datetime import datetime
from typing import Any

import pytest
from fastapi import FastAPI
from pydantic import model_validator
from sqlalchemy import event
from sqlmodel import Field

from quorvalen_core.controller.table_controller import AuthController
from quorvalen_core.rows.table_options import TableOptions
from quorvalen_core.testing import TestApplication
from quorvalen_core.type.var import SQLModelDB, SQLModelResponse
from rows_support import ORDERS, PUBLIC, Shop
from shop_fixtures import concurrently


class Memo(SQLModelDB, table=True):
    """A table whose rows change only with If-Match."""

    __tablename__ = "conditional_memo"
    __table_options__ = TableOptions(require_if_match=True)
    id: int | None = Field(default=None, primary_key=True)
    text: str


def _order(shop: Shop, owner: str = "bob") -> tuple[str, str]:
    """A new order of ``owner``'s: its path and the ETag its create answered."""
    created = shop.call(owner, "POST", ORDERS, {"number": "C-1"})
    assert created.status_code == 201, created.text
    return f"{ORDERS}/{created.json()['data']['id']}", created.headers["ETag"]


STALE = '"0123456789abcdef0123456789abcdef"'

# (caller, method, path suffix, tag sent: "current", "stale", a literal value; header, expected status)
CONDITIONS: list[tuple[str, str, str, str, str, int]] = [
    ("bob", "GET", "", "current", "If-None-Match", 304),
    ("bob", "GET", "", "W/current", "If-None-Match", 304),
    ("bob", "GET", "", "stale", "If-None-Match", 200),
    ("bob", "GET", "", "*", "If-None-Match", 304),
    ("bob", "PATCH", "", "current", "If-Match", 200),
    ("bob", "PATCH", "", "stale", "If-Match", 412),
    ("bob", "PATCH", "", "W/current", "If-Match", 412),
    ("bob", "PATCH", "", "not a tag", "If-Match", 412),
    ("bob", "PATCH", "", "stale, current", "If-Match", 200),
    ("bob", "PATCH", "", "*", "If-Match", 200),
    ("bob", "DELETE", "", "stale", "If-Match", 412),
    ("bob", "DELETE", "", "current", "If-Match", 200),
    # Another owner's row stays missing, whatever the tag.
    ("carol", "PATCH", "", "current", "If-Match", 404),
    ("carol", "GET", "", "current", "If-None-Match", 404),
]


@pytest.mark.parametrize(("caller", "method", "suffix", "sent", "header", "status"), CONDITIONS)
def test_conditions_decide_against_the_rows_current_tag(
    shop: Shop, caller: str, method: str, suffix: str, sent: str, header: str, status: int
) -> None:
    path, tag = _order(shop)
    value = sent.replace("current", tag).replace("stale", STALE)
    body = {"total": 7} if method == "PATCH" else None
    response = shop.client.request(method, path + suffix, json=body, headers={**shop.token(caller), header: value})
    assert response.status_code == status, response.text
    stored = shop.call("alice", "GET", path, deleted="include").json()["data"]
    written = status == 200 and method != "GET"
    assert (stored["total"] == 7 or stored["deleted_at"] is not None) == written
    if status in (200, 304):
        assert (response.headers["ETag"] == tag) == (not written)


def test_a_rows_tag_follows_what_the_answer_shows(shop: Shop) -> None:
    path, created = _order(shop)
    read = shop.call("bob", "GET", path)
    assert read.headers["ETag"] == created
    changed = shop.call("bob", "PATCH", path, {"total": 3})
    assert changed.headers["ETag"] != created
    # Related rows embedded make another representation: no tag.
    assert "ETag" not in shop.call("bob", "GET", path, include="customer").headers
    deleted = shop.client.delete(path, headers={**shop.token("bob"), "If-Match": changed.headers["ETag"]})
    restore = {**shop.token("alice"), "If-Match": deleted.headers["ETag"]}
    assert shop.client.post(f"{path}/restore", headers={**restore, "If-Match": changed.headers["ETag"]}).status_code == 412
    assert shop.client.post(f"{path}/restore", headers=restore).status_code == 200


@pytest.mark.parametrize(("method", "suffix"), [("PATCH", ""), ("DELETE", ""), ("POST", "/restore")])
def test_of_writers_holding_one_tag_exactly_one_writes(shop: Shop, method: str, suffix: str) -> None:
    path, tag = _order(shop)
    if suffix:  # restores of a deleted row
        tag = shop.client.delete(path, headers=shop.token("alice")).headers["ETag"]
    requests = [(method, path + suffix, {"total": total} if method == "PATCH" else None) for total in range(1, 9)]
    caller = "alice" if suffix else "bob"
    answers = concurrently(shop.client.app, {**shop.token(caller), "If-Match": tag}, requests)  # type: ignore[arg-type]
    # A row deleted (or restored) meanwhile is missing to the others, as without a tag.
    losing = 412 if method == "PATCH" else 404
    assert sorted(answer.status_code for answer in answers) == sorted([200] + [losing] * 7), [a.text for a in answers]
    [winner] = [answer.json()["data"] for answer in answers if answer.status_code == 200]
    stored = shop.call("alice", "GET", path, deleted="include").json()["data"]
    assert (stored["total"], stored["deleted_at"] is not None) == (winner["total"], method == "DELETE")


def test_a_table_may_require_if_match_and_documents_it() -> None:
    app = FastAPI()
    app.include_router(AuthController.create(model_class=Memo, response_schema=Memo, schema_name="c", table_name="memo", **PUBLIC))
    with TestApplication(app) as served:
        created = served.client.post("/v1/c/memo", json={"text": "a"})
        answers: dict[str, Any] = {
            "without": served.client.patch("/v1/c/memo/1", json={"text": "b"}).status_code,
            "delete without": served.client.delete("/v1/c/memo/1").status_code,
            "with": served.client.patch("/v1/c/memo/1", json={"text": "b"}, headers={"If-Match": created.headers["ETag"]}).status_code,
        }
        assert answers == {"without": 428, "delete without": 428, "with": 200}
        operation = served.app.openapi()["paths"]["/v1/c/memo/{id}"]["patch"]
        assert {"412", "428"} <= set(operation["responses"]) and "ETag" in operation["responses"]["200"]["headers"]
        assert "If-Match" in [parameter["name"] for parameter in operation["parameters"]]


class Note(SQLModelDB, table=True):
    """A table that deletes softly, answering as itself: its deletion mark shows."""

    __tablename__ = "conditional_note"
    __table_options__ = TableOptions(deleted_at="deleted_at")
    id: int | None = Field(default=None, primary_key=True)
    text: str
    deleted_at: datetime | None = None


class Leaflet(SQLModelDB, table=True):
    """A table that deletes its rows."""

    __tablename__ = "conditional_leaflet"
    id: int | None = Field(default=None, primary_key=True)
    text: str


class NoteText(SQLModelResponse):
    id: int
    text: str


class CheckedNote(SQLModelResponse):
    id: int
    text: str
    deleted_at: datetime | None

    @model_validator(mode="after")
    def as_read(self) -> CheckedNote:
        return self


class Scrambled(SQLModelDB, table=True):
    """A table whose rows load with their values in reverse order."""

    __tablename__ = "conditional_scrambled"
    id: int | None = Field(default=None, primary_key=True)
    text: str
    size: int = 0


@event.listens_for(Scrambled, "load")
def _reverse(row: Scrambled, context: Any) -> None:
    values = list(row.__dict__.items())
    row.__dict__.clear()
    row.__dict__.update(reversed(values))


# (table, response schema, whether restoring takes the tag the row had live: where the answer hides the mark)
AS_IT_WAS = [(Note, Note, False), (Note, NoteText, True), (Note, CheckedNote, False), (Leaflet, Leaflet, None)]


@pytest.mark.parametrize(("model", "response", "live_tag_restores"), AS_IT_WAS)
def test_delete_and_restore_check_if_match_against_the_row_as_it_was(
    database_url: str, model: type[Any], response: type[Any], live_tag_restores: bool | None
) -> None:
    app = FastAPI()
    app.include_router(AuthController.create(model_class=model, response_schema=response, schema_name="c", table_name="t", **PUBLIC))
    with TestApplication(app, database_url=database_url) as served:
        client = served.client
        created = client.post("/v1/c/t", json={"text": "a"})
        path = f"/v1/c/t/{created.json()['data']['id']}"
        changed = client.patch(path, json={"text": "b"})
        answers = [client.delete(path, headers={"If-Match": created.headers["ETag"]}).status_code]
        deleted = client.delete(path, headers={"If-Match": changed.headers["ETag"]})
        answers.append(deleted.status_code)
        if live_tag_restores is not None:
            answers.append(client.post(f"{path}/restore", headers={"If-Match": changed.headers["ETag"]}).status_code)
            if not live_tag_restores:
                answers.append(client.post(f"{path}/restore", headers={"If-Match": deleted.headers["ETag"]}).status_code)
            assert client.get(path).json()["data"]["text"] == "b"
        expected = {None: [412, 200], True: [412, 200, 200], False: [412, 200, 412, 200]}[live_tag_restores]
        assert answers == expected


def test_rows_answer_in_their_fields_order_whatever_order_they_load_in() -> None:
    app = FastAPI()
    app.include_router(AuthController.create(model_class=Scrambled, response_schema=Scrambled, schema_name="c", table_name="s", **PUBLIC))
    with TestApplication(app) as served:
        created = served.client.post("/v1/c/s", json={"text": "a", "size": 2})
        read = served.client.get(f"/v1/c/s/{created.json()['data']['id']}")
        listed = served.client.get("/v1/c/s").json()["data"]["items"]
        # The ETag is the same as the create's: one representation, whichever order the row loaded in.
        assert (list(read.json()["data"]), list(listed[0]), read.headers["ETag"]) == (
            ["id", "text", "size"], ["id", "text", "size"], created.headers["ETag"])
