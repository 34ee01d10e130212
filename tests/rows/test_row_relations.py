"""Composite primary keys, embedded related rows under row policies, and options refused at build time."""

from __future__ import annotations

import itertools
from typing import Any

import pytest
from sqlalchemy import event, update
from sqlmodel import Field

from quorvalen_core.controller.router_config import RouterConfig
from quorvalen_core.controller.table_controller import AuthController
from quorvalen_core.rows.table_options import Includable, TableOptions
from quorvalen_core.type.var import SQLModelDB
from rows_support import CUSTOMERS, LINES, NOTES, ORDERS, CustomerResponse, RowCustomer, RowLine, RowNote, RowOrder, Shop


NUMBERS = itertools.count()


def test_composite_key_routes_read_change_and_delete_one_row(shop: Shop) -> None:
    first = shop.ok("bob", "POST", ORDERS, {"number": "B-1"})["id"]
    for line_no, item in [(1, "tea"), (2, "cup"), (10, "pot")]:
        shop.ok("bob", "POST", LINES, {"order_id": first, "line_no": line_no, "item": item})
    row = f"{LINES}/{first}/2"
    assert shop.ok("bob", "GET", row) == {"order_id": first, "line_no": 2, "item": "cup"}
    assert shop.ok("bob", "PATCH", row, {"item": "mug", "line_no": 7}) == {"order_id": first, "line_no": 2, "item": "mug"}
    assert shop.ok("bob", "DELETE", row)["item"] == "mug"
    # (path, status): the key's columns are typed path segments.
    for path, status in [(row, 404), (f"{LINES}/{first}/10", 200), (f"{LINES}/{first + 1}/1", 404),
                         (f"{LINES}/{first}/x", 422), (f"{LINES}/{first}", 404), (f"{LINES}/{first}/1/2", 404)]:
        assert shop.call("bob", "GET", path).status_code == status, path
    assert shop.call("bob", "POST", LINES, {"order_id": first, "line_no": 1, "item": "again"}).status_code == 409


def test_composite_key_query_pages_break_ties_on_every_key_column(shop: Shop) -> None:
    orders = [shop.ok("bob", "POST", ORDERS, {"number": f"B-{n}"})["id"] for n in range(3)]
    for order_id in reversed(orders):
        for line_no in (3, 1, 2):
            shop.ok("bob", "POST", LINES, {"order_id": order_id, "line_no": line_no, "item": "same"})
    seen: list[tuple[int, int]] = []
    page = shop.ok("bob", "GET", LINES, sort="item", limit=4)
    while True:
        seen += [(item["order_id"], item["line_no"]) for item in page["items"]]
        if not page["next_cursor"]:
            break
        page = shop.ok("bob", "GET", LINES, sort="item", limit=4, cursor=page["next_cursor"])
    assert seen == sorted((order_id, line_no) for order_id in orders for line_no in (1, 2, 3))
    # The key's columns are always part of chosen fields.
    assert set(shop.ok("bob", "GET", LINES, fields="item")["items"][0]) == {"order_id", "line_no", "item"}


def test_openapi_types_each_key_segment_and_keeps_operation_ids(shop: Shop) -> None:
    paths = shop.client.app.openapi()["paths"]  # type: ignore[attr-defined]
    item = paths[f"{LINES}/{{order_id}}/{{line_no}}"]
    assert {method: operation["operationId"] for method, operation in item.items()} == {
        "get": "shop_line_read", "patch": "shop_line_update", "delete": "shop_line_delete", "put": "shop_line_upsert"
    }
    parameters = {parameter["name"]: parameter for parameter in item["get"]["parameters"]}
    assert {name: (p["in"], p["schema"].get("type")) for name, p in parameters.items()} == {
        "order_id": ("path", "integer"), "line_no": ("path", "integer"), "If-None-Match": ("header", None)
    }
    assert paths[f"{ORDERS}/{{id}}"]["get"]["operationId"] == "shop_order_read"


def add_order_with_lines(shop: Shop, owner: str, customer: int | None, lines: int) -> int:
    number = f"{owner}-{next(NUMBERS)}"
    order_id = shop.ok(owner, "POST", ORDERS, {"number": number})["id"]
    if customer is not None:
        # Written beside the API: the owner may not name a customer it cannot read.
        with shop.engine().begin() as connection:
            connection.execute(update(RowOrder).where(RowOrder.id == order_id).values(customer_id=customer))
    for line_no in range(lines):
        shop.ok("alice", "POST", LINES, {"order_id": order_id, "line_no": line_no, "item": f"item {line_no}"})
    return int(order_id)


def test_includes_embed_what_the_callers_policies_let_it_see(shop: Shop) -> None:
    bobs = shop.ok("bob", "POST", CUSTOMERS, {"name": "Bob Co"})["id"]
    carols = shop.ok("carol", "POST", CUSTOMERS, {"name": "Carol Ltd"})["id"]
    # bob's order names carol's customer: bob may not read that customer.
    crossed = add_order_with_lines(shop, "bob", carols, 3)
    own = add_order_with_lines(shop, "bob", bobs, 2)  # exactly the bound: nothing more
    bare = add_order_with_lines(shop, "bob", None, 0)
    page = shop.ok("bob", "GET", ORDERS, include=["customer", "lines"])
    embedded = {item["id"]: (item["customer"], item["lines"]) for item in page["items"]}
    assert embedded[crossed][0] is None
    assert embedded[own][0] == {"id": bobs, "name": "Bob Co", "owner": "bob"}
    assert embedded[bare] == (None, {"items": [], "has_more": False})
    # At most two lines (the declared bound), and whether more exist.
    assert [line["line_no"] for line in embedded[crossed][1]["items"]] == [0, 1]
    assert embedded[crossed][1]["has_more"] is True
    assert (len(embedded[own][1]["items"]), embedded[own][1]["has_more"]) == (2, False)
    # alice may read every customer; carol's own customer shows once she reads bob's orders.
    assert shop.ok("alice", "GET", f"{ORDERS}/{crossed}", include="customer")["customer"]["name"] == "Carol Ltd"
    shop.service.policies().grant("buyer", "shop.order", "read:all")
    assert shop.ok("carol", "GET", f"{ORDERS}/{crossed}", include="customer")["customer"]["id"] == carols
    assert shop.ok("carol", "GET", f"{ORDERS}/{own}", include="customer")["customer"] is None
    # A soft-deleted related row is not embedded, even for alice.
    shop.ok("carol", "DELETE", f"{CUSTOMERS}/{carols}")
    assert shop.ok("alice", "GET", f"{ORDERS}/{crossed}", include="customer")["customer"] is None


# (include parameter, status, what the answer holds)
INCLUDE_REQUESTS = [
    (None, 200, {"customer": False, "lines": False}),
    ("customer", 200, {"customer": True, "lines": False}),
    (["lines", "lines"], 200, {"customer": False, "lines": True}),
    ("owner", 422, None),  # not a declared relation
    ("secret", 422, None),
]


@pytest.mark.parametrize(("include", "status", "holds"), INCLUDE_REQUESTS)
def test_only_declared_includes_are_embedded_and_only_when_asked(shop: Shop, include: Any, status: int, holds: Any) -> None:
    order_id = add_order_with_lines(shop, "bob", None, 1)
    params = {} if include is None else {"include": include}
    for path, item_of in [(f"{ORDERS}/{order_id}", lambda data: data), (ORDERS, lambda data: data["items"][0])]:
        response = shop.call("bob", "GET", path, **params)
        assert response.status_code == status, response.text
        if holds is not None:
            item = item_of(response.json()["data"])
            assert {name: name in item for name in holds} == holds
    # fields and include combine.
    page = shop.ok("bob", "GET", ORDERS, fields="number", include="lines")
    assert set(page["items"][0]) == {"id", "number", "lines"}


def test_an_include_of_a_table_the_caller_may_not_read_is_403(shop: Shop) -> None:
    order_id = add_order_with_lines(shop, "bob", None, 1)
    shop.service.policies().revoke("buyer", "shop.line", "read")
    for path in (f"{ORDERS}/{order_id}", ORDERS):
        response = shop.call("bob", "GET", path, include="lines")
        assert response.status_code == 403
        assert response.json()["detail"] == "Permission denied: include 'lines' needs read on shop.line"
        assert shop.call("bob", "GET", path, include="customer").status_code == 200


def test_includes_cost_one_statement_per_relation_whatever_the_page(shop: Shop) -> None:
    customer = shop.ok("bob", "POST", CUSTOMERS, {"name": "Bob Co"})["id"]
    for _ in range(8):
        add_order_with_lines(shop, "bob", customer, 3)
    statements: list[str] = []

    def count(*args: Any) -> None:
        statements.append(args[2])

    engine = shop.engine()
    event.listen(engine, "before_cursor_execute", count)
    try:
        page = shop.ok("bob", "GET", ORDERS, include=["customer", "lines"], limit=8)
    finally:
        event.remove(engine, "before_cursor_execute", count)
    assert len(page["items"]) == 8 and all(item["customer"]["id"] == customer for item in page["items"])
    # The page (its total and customers joined in) and the lines of all its rows.
    assert len(statements) == 2, statements


def test_openapi_shows_the_include_parameter_and_the_embedded_shapes(shop: Shop) -> None:
    schema = shop.client.app.openapi()  # type: ignore[attr-defined]
    parameters = {parameter["name"]: parameter for parameter in schema["paths"][ORDERS]["get"]["parameters"]}
    # Comma-separated or repeated, as fields: the names are documented, not an enum.
    assert parameters["include"]["schema"]["anyOf"][0] == {"type": "array", "items": {"type": "string"}}
    assert "customer (many-to-one); lines (one-to-many, at most 2)" in parameters["include"]["description"]
    embedded = schema["components"]["schemas"]["OrderResponseWithIncludes"]["properties"]
    assert embedded["customer"]["anyOf"][0]["$ref"].endswith("/CustomerResponse")
    assert embedded["lines"]["anyOf"][0]["$ref"].endswith("IncludedRows_LineResponse_")


class Misfit(SQLModelDB, table=True):
    __tablename__ = "rows_misfit"

    id: int | None = Field(default=None, primary_key=True)
    owner: str = ""
    size: int = 0
    deleted_at: str | None = None


# (options, message of the ValueError)
MISFITS = [
    (TableOptions(owner="nobody"), "owner='nobody' is not a column"),
    (TableOptions(owner="size"), "owner='size' needs a text column"),
    (TableOptions(owner="id"), "owner='id' is a primary key column"),
    (TableOptions(deleted_at="deleted_at"), "deleted_at='deleted_at' needs a datetime column"),
    (TableOptions(created_by="size"), "created_by='size' needs a text column"),
    (TableOptions(includes=(Includable(relation="owner", schema=CustomerResponse, auth_obj=None),)), "not a relationship"),
]


@pytest.mark.parametrize(("options", "message"), MISFITS)
def test_options_that_do_not_fit_the_table_are_refused_when_the_router_is_built(
    monkeypatch: pytest.MonkeyPatch, options: TableOptions, message: str
) -> None:
    monkeypatch.setattr(Misfit, "__table_options__", options, raising=False)
    with pytest.raises(ValueError, match=message):
        AuthController.create(model_class=Misfit, response_schema=Misfit, schema_name="s", table_name="misfit")


@pytest.mark.parametrize(
    ("arguments", "error", "message"),
    [
        ({"owner_kind": "team"}, ValueError, "needs an owner column"),
        ({"owner": "a", "team_prefix": "t:"}, ValueError, "owner_kind='team' only"),
        ({"owner": "a", "created_by": "a"}, ValueError, "named for two purposes"),
        ({"owner": 5}, ValueError, "owner"),
    ],
)
def test_inconsistent_options_are_refused_on_construction(arguments: dict[str, Any], error: type, message: str) -> None:
    with pytest.raises(error, match=message):
        TableOptions(**arguments)


@pytest.mark.parametrize("operation", ["create", "read", "update", "delete", "query"])
def test_a_public_route_on_a_table_with_an_owner_is_refused(operation: str) -> None:
    with pytest.raises(ValueError, match=f"the {operation} operation .* is public, but the table has an owner column"):
        AuthController.create(
            model_class=RowCustomer, response_schema=CustomerResponse, schema_name="s", table_name="c",
            **{f"{operation}_router": RouterConfig(auth=False)},
        )
    # Switched off is fine.
    AuthController.create(
        model_class=RowCustomer, response_schema=CustomerResponse, schema_name="s", table_name="c",
        **{f"{operation}_router": RouterConfig(enabled=False)},
    )


def test_tables_without_options_keep_their_routes(shop: Shop) -> None:
    assert getattr(RowLine, "__table_options__", None) is None and RowOrder.__table_options__.owner == "owner"
    paths = shop.client.app.openapi()["paths"]  # type: ignore[attr-defined]
    assert f"{LINES}/{{order_id}}/{{line_no}}/restore" not in paths
    assert "parameters" not in paths[LINES]["post"]


def test_a_public_table_deletes_softly_and_embeds_only_what_anyone_may_see(shop: Shop) -> None:
    customer = shop.ok("bob", "POST", CUSTOMERS, {"name": "Bob Co"})["id"]
    order_id = add_order_with_lines(shop, "bob", customer, 0)
    anonymous = shop.client
    # An anonymous caller owns nothing, so it may not reference owned rows: written beside the API.
    references = {"order_id": order_id, "customer_id": customer}
    assert anonymous.post(NOTES, json={"text": "call back", **references}).status_code == 409
    note = anonymous.post(NOTES, json={"text": "call back"}).json()["data"]
    with shop.engine().begin() as connection:
        connection.execute(update(RowNote).where(RowNote.id == note["id"]).values(**references))
    item = f"{NOTES}/{note['id']}"
    # (include, status, embedded order): an owned row has no owner among anonymous callers.
    for include, status in [("order", 200), ("customer", 403)]:
        response = anonymous.get(item, params={"include": include})
        assert response.status_code == status, response.text
        if status == 200:
            assert response.json()["data"]["order"] is None
    assert anonymous.delete(item).json()["data"]["deleted_at"] is not None
    assert anonymous.get(item).status_code == 404
    assert anonymous.get(NOTES, params={"deleted": "include"}).status_code == 403
    assert anonymous.get(NOTES).json()["data"]["total"] == 0
    # The restore route has the delete route's settings: public here.
    assert anonymous.post(f"{item}/restore").status_code == 200
    assert anonymous.get(NOTES).json()["data"]["total"] == 1
    # A public route reads no credentials: alice's token changes nothing.
    assert shop.call("alice", "GET", NOTES, include="customer").status_code == 403
