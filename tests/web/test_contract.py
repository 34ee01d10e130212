"""The published contract: every answer as the OpenAPI document says, errors with their codes."""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any, Literal

import pytest
from pydantic import create_model
from sqlmodel import Field

from quorvalen_core.controller.table_controller import AuthController
from quorvalen_core.demo.app import build_app, seed
from quorvalen_core.testing import TestApplication
from quorvalen_core.type.var import SQLModelDB
from quorvalen_core.web import RouterConfig
from quorvalen_core.web.errors import ERROR_ANSWERS, ERROR_CODES, ValidationErrorItem

PRODUCTS, ORDERS = "/v1/shop/product", "/v1/shop/order"


class Note(SQLModelDB, table=True):
    """A text key, and a long text to sort on."""

    __tablename__ = "contract_note"
    code: str = Field(primary_key=True, max_length=40)
    text: str


@pytest.fixture(scope="module")
def shop() -> Iterator[TestApplication]:
    app = build_app()
    public = {f"{operation}_router": RouterConfig(auth=False) for operation in ("create", "read", "update", "delete", "query")}
    app.include_router(AuthController.create(model_class=Note, response_schema=Note, schema_name="contract",
                                             table_name="note", **public))
    with TestApplication(app) as served:
        assert served.context is not None
        seed(served.context.databases, served.context.auth)
        yield served


# (caller, method, path, body or query, status, code)
ERRORS: list[tuple[str | None, str, str, Any, int, str]] = [
    (None, "GET", PRODUCTS, None, 401, "not_authenticated"),
    ("bob", "POST", PRODUCTS, {"sku": "X-1", "name": "x", "price": 1}, 403, "permission_denied"),
    ("bob", "GET", f"{PRODUCTS}/999", None, 404, "not_found"),
    ("alice", "POST", PRODUCTS, {"sku": "TEA-001", "name": "again", "price": 1}, 409, "conflict"),
    ("bob", "GET", PRODUCTS, {"filter": "nosuch:eq:1"}, 422, "invalid_request"),
    ("bob", "GET", PRODUCTS, {"filter": [f"price:in:{','.join(['1'] * 1000)}"] * 11}, 422, "limit_exceeded"),
    ("alice", "POST", PRODUCTS, {"sku": "X-2", "name": "x" * 2_000_000, "price": 1}, 413, "payload_too_large"),
    ("alice", "OPTIONS", PRODUCTS, None, 405, "method_not_allowed"),
    # Not the PUT of a row whose key would be "batch".
    ("alice", "PUT", f"{PRODUCTS}/batch", None, 405, "method_not_allowed"),
    # What the database could not store is refused before it, named.
    ("alice", "POST", "/v1/contract/note", {"code": "a/b", "text": "x"}, 422, "invalid_request"),
    ("alice", "POST", "/v1/contract/note", {"code": "batch", "text": "x"}, 422, "invalid_request"),
    ("alice", "POST", "/v1/contract/note", '{"code": "n1", "text": "\\ud800x"}', 422, "invalid_request"),
    ("alice", "POST", "/v1/contract/note", {"code": "n2", "text": "a\x00b"}, 422, "invalid_request"),
    ("bob", "POST", ORDERS, {"product_id": 1, "quantity": 9223372036854775808}, 422, "invalid_request"),
    # An int field is an SQL INTEGER: PostgreSQL's 32 bits, on SQLite too.
    ("bob", "POST", ORDERS, {"product_id": 1, "quantity": 2**31}, 422, "invalid_request"),
    ("bob", "PATCH", f"{ORDERS}/1", {"quantity": None}, 422, "invalid_request"),
]


@pytest.mark.parametrize(("caller", "method", "path", "sent", "status", "code"), ERRORS)
def test_every_error_carries_its_status_and_code_beside_detail(
    shop: TestApplication, caller: str | None, method: str, path: str, sent: Any, status: int, code: str
) -> None:
    headers = {} if caller is None else shop.token(caller)
    if isinstance(sent, str):  # JSON as sent, a lone surrogate escaped in it
        response = shop.client.request(method, path, content=sent, headers={**headers, "Content-Type": "application/json"})
    else:
        body, params = (sent, None) if method in ("POST", "PATCH") else (None, sent)
        response = shop.client.request(method, path, json=body, params=params, headers=headers)
    answer = response.json()
    assert (response.status_code, answer["code"]) == (status, code), response.text
    assert isinstance(answer["detail"], list if status == 422 else str)
    if status == 405:
        assert response.headers["Allow"] == ("POST, PATCH, DELETE" if path.endswith("/batch") else "GET, POST, PATCH, DELETE")


def test_the_document_publishes_what_the_server_enforces(shop: TestApplication) -> None:
    document = shop.app.openapi()
    schemas = document["components"]["schemas"]
    query = {parameter["name"]: parameter["schema"] for parameter in document["paths"][PRODUCTS]["get"]["parameters"]}
    assert (query["sort"]["maxItems"], query["filter"]["maxItems"], query["or"]["maxItems"]) == (10, 50, 50)
    assert query["cursor"]["maxLength"] == 4096 and "pattern" in query["fields"]
    assert schemas["ProductSortKey"]["x-enum-varnames"][:2] == ["ID_ASC", "ID_DESC"]
    # A column that holds no NULL: left out of an update, never null in one.
    assert schemas["OrderUpdate"]["properties"]["quantity"]["type"] == "integer"
    assert "default" not in schemas["OrderUpdate"]["properties"]["quantity"]
    envelope = schemas["Envelope_ProductResponse_"]
    page = schemas["Page_ProductResponseFields_"]
    assert "code" in envelope["required"] and "default" not in page["properties"]["has_more"]
    # Each status's answer as a model with these two fields would publish it.
    assert schemas["NotFoundAnswer"] == ERROR_ANSWERS[404].model_json_schema()
    for status, answer in ERROR_ANSWERS.items():
        code = ERROR_CODES[status]
        detail: Any = (str, Field(description="What went wrong, for a person."))
        constant: Any = (Literal[code], Field(description=f"Always {code!r}: what went wrong, for a program."))
        if status == 422:
            detail = (list[ValidationErrorItem], Field())
            constant = (Literal["invalid_request", "limit_exceeded"], Field(description=answer.model_json_schema()["properties"]["code"]["description"]))
        fields = create_model(answer.__name__, detail=detail, code=constant)
        fields.__doc__ = answer.__doc__
        published = fields.model_json_schema()
        published["properties"]["code"].pop("enum" if status != 422 else "const", None)  # pydantic's versions differ
        if status == 422:  # the items written out
            published["properties"]["detail"]["items"] = published.pop("$defs")["ValidationErrorItem"]
        assert answer.model_json_schema() == published, status


def test_an_issued_cursor_is_always_taken_back_and_an_empty_one_is_none(shop: TestApplication) -> None:
    for index in range(3):
        shop.client.post("/v1/contract/note", json={"code": f"c{index}", "text": f"{index}" * 5000})
    page = shop.client.get("/v1/contract/note", params={"sort": "text", "limit": 1, "cursor": ""}).json()["data"]
    assert page["has_more"] and len(page["next_cursor"]) <= 4096
    following = shop.client.get("/v1/contract/note", params={"sort": "text", "limit": 1, "cursor": page["next_cursor"]})
    assert following.status_code == 200, following.text
    assert following.json()["data"]["items"][0]["code"] != page["items"][0]["code"]
