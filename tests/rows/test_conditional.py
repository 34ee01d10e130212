"""Conditional requests: a row's ETag, If-None-Match on reads, If-Match on every write of one row."""

from __future__ import annotations

from typing import Any

import pytest
from fastapi import FastAPI
from sqlmodel import Field

from quorvalen_core.controller.table_controller import AuthController
from quorvalen_core.rows.table_options import TableOptions
from quorvalen_core.testing import TestApplication
from quorvalen_core.type.var import SQLModelDB
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


@pytest.mark.parametrize("method", ["PATCH", "DELETE"])
def test_of_writers_holding_one_tag_exactly_one_writes(shop: Shop, method: str) -> None:
    path, tag = _order(shop)
    requests = [(method, path, {"total": total} if method == "PATCH" else None) for total in range(1, 9)]
    answers = concurrently(shop.client.app, {**shop.token("bob"), "If-Match": tag}, requests)  # type: ignore[arg-type]
    # A deleted row is missing, as for deletes without a tag.
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
