"""PUT {prefix}/{id}: insert a row with the key, or write over the one there, never over another's."""

from __future__ import annotations

from typing import Any

import pytest
from fastapi import FastAPI
from sqlmodel import Field, select

from quorvalen_core.controller.table_controller import AuthController
from quorvalen_core.rows.table_options import TableOptions
from quorvalen_core.testing import TestApplication
from quorvalen_core.type.var import SQLModelDB
from rows_support import LINES, ORDERS, Shop

# (caller, whose row holds the key: None for no row, "deleted" for bob's deleted one; status, owner after)
UPSERTS: list[tuple[str, str | None, int, str | None]] = [
    # A key the database assigns is never inserted by hand.
    ("bob", None, 404, None),
    ("bob", "bob", 200, "bob"),
    ("bob", "carol", 409, "carol"),
    ("bob", "deleted", 409, "bob"),
    # The default role may change every row (upsert:all): the owner stays.
    ("alice", "carol", 200, "carol"),
]


@pytest.mark.parametrize(("caller", "holder", "status", "owner"), UPSERTS)
def test_an_upsert_inserts_or_writes_over_only_rows_the_caller_may_change(
    shop: Shop, caller: str, holder: str | None, status: int, owner: str | None
) -> None:
    key = 900
    if holder is not None:
        created = shop.ok("bob" if holder == "deleted" else holder, "POST", ORDERS, {"number": "OLD", "total": 1})
        key = created["id"]
        if holder == "deleted":
            shop.ok("bob", "DELETE", f"{ORDERS}/{key}")
    assert shop.call("bob", "PUT", f"{ORDERS}/{key}", {"number": "NEW"}).status_code == 403  # an action of its own
    shop.service.policies().grant("buyer", "shop.order", "upsert")
    answer = shop.call(caller, "PUT", f"{ORDERS}/{key}", {"number": "NEW", "owner": "mallory", "total": 2})
    assert answer.status_code == status, answer.text
    if holder is None:
        return
    stored = shop.call("alice", "GET", f"{ORDERS}/{key}", deleted="include").json()["data"]
    written = status in (200, 201)
    assert (stored["number"], stored["total"], stored["owner"]) == (("NEW", 2) if written else ("OLD", 1)) + (owner,)
    if written:
        assert answer.headers["ETag"] and stored["updated_by"] == caller


def test_an_upsert_of_a_key_the_client_chooses_inserts_then_writes_over(shop: Shop) -> None:
    # A partial unique index (live orders' numbers) and a key the database assigns are no conflict targets.
    assert "parameters" not in shop.client.app.openapi()["paths"][f"{ORDERS}/batch"]["post"]  # type: ignore[attr-defined]
    order = shop.ok("bob", "POST", ORDERS, {"number": "L"})["id"]
    shop.service.policies().grant("buyer", "shop.line", "upsert")
    path = f"{LINES}/{order}/1"
    answers = [shop.call("bob", "PUT", path, {"order_id": order, "line_no": 1, "item": item}) for item in ("tea", "mat")]
    assert [answer.status_code for answer in answers] == [201, 200]
    assert shop.ok("bob", "GET", path)["item"] == "mat"
    assert shop.call("bob", "PUT", path, {"order_id": order, "line_no": 2, "item": "x"}).status_code == 422


class Tag(SQLModelDB, table=True):
    """Owned rows with a unique natural code, for batches that upsert on it."""

    __tablename__ = "upsert_tag"
    __table_options__ = TableOptions(owner="owner")
    id: int | None = Field(default=None, primary_key=True)
    code: str = Field(max_length=10, unique=True)
    label: str = ""
    owner: str = Field(default="", max_length=64)


# (caller, rows sent with on_conflict=code, status, what the answer names)
TAG_BATCHES: list[tuple[str, list[dict[str, str]], int, Any]] = [
    ("bob", [{"code": "a", "label": "A2"}, {"code": "d"}], 201, None),
    ("bob", [{"code": "x"}, {"code": "c", "label": "taken"}], 409, "row 1 of the batch"),
    ("bob", [{"code": "e"}, {"code": "e"}], 409, "same code (row 1 of the batch)"),
]


@pytest.mark.parametrize(("caller", "sent", "status", "named"), TAG_BATCHES)
def test_a_batch_on_conflict_writes_over_only_the_callers_rows(
    caller: str, sent: list[dict[str, str]], status: int, named: Any
) -> None:
    app = FastAPI()
    app.include_router(AuthController.create(model_class=Tag, response_schema=Tag, schema_name="t", table_name="tag"))
    with TestApplication(app) as served:
        served.policies.assign_roles([("bob", "tagger"), ("carol", "tagger")])
        served.policies.grant_many([("tagger", "t.tag", "create_many")])
        for owner, code in (("bob", "a"), ("carol", "c")):
            served.client.post("/v1/t/tag/batch", json=[{"code": code}], headers=served.token(owner))
        # The unique column is a target; the key the database assigns is not.
        assert served.app.openapi()["components"]["schemas"]["TagConflictTarget"]["enum"] == ["code"]
        answer = served.client.post("/v1/t/tag/batch", params={"on_conflict": "code"}, json=sent, headers=served.token(caller))
        assert answer.status_code == status, answer.text
        with served.session() as session:
            stored = {tag.code: (tag.label, tag.owner) for tag in session.exec(select(Tag))}
        if status == 201:
            assert [row["code"] for row in answer.json()["data"]] == ["a", "d"]
            assert stored == {"a": ("A2", "bob"), "c": ("", "carol"), "d": ("", "bob")}
        else:
            detail = answer.json()["detail"]
            assert (detail[0]["loc"] == named) if isinstance(named, list) else (named in detail)
            assert stored == {"a": ("", "bob"), "c": ("", "carol")}
