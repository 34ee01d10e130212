"""Hostile requests against a published table: each attack beside the answer it must get."""

from __future__ import annotations

import json
import pytest

from fastapi.testclient import TestClient

from attack_support import HASH, ITEM_PATH, PREFIX, Shop, account_app
from quorvalen_core.rows.query_limits import QueryLimits
from quorvalen_core.controller.router_config import RouterConfig

STORED_SECRET = "TOP-SECRET-VALUE"
ITEM = ITEM_PATH
ALICE = "alice"  # holds the router's default role


# (what the attacker does, status, text the answer must not hold)
LEAK_ATTACKS = {
    "update refused by the model validator": ("PATCH", ITEM, {"display": "admin"}, 422),
    "update breaking a field constraint": ("PATCH", ITEM, {"display": "x" * 41}, 422),
    "update of a row whose hidden value breaks a constraint": ("PATCH", ITEM, {"score": 7}, 200),
    "create refused by the model validator": ("POST", PREFIX, {"display": "admin"}, 422),
    "read of that row": ("GET", ITEM, None, 200),
    "query filtering on the hidden column": ("GET", PREFIX + "?filter=password_hash:like:TOP%25", None, 422),
    "query or-ing on the hidden column": ("GET", PREFIX + "?or=score:eq:1&or=password_hash:startswith:TOP", None, 422),
    "query sorting on the hidden column": ("GET", PREFIX + "?sort=-password_hash", None, 422),
    "query choosing the hidden field": ("GET", PREFIX + "?fields=display,password_hash", None, 422),
    "delete of that row": ("DELETE", ITEM, None, 200),
}


@pytest.mark.parametrize("attack", LEAK_ATTACKS)
def test_no_answer_holds_a_stored_value_the_schemas_hide(shop: Shop, attack: str) -> None:
    method, path, body, status = LEAK_ATTACKS[attack]
    row = shop.add_account(display="victim", password_hash=STORED_SECRET)
    response = shop.client.request(method, path.format(id=row), json=body, headers=shop.token(ALICE))
    assert response.status_code == status, response.text
    for hidden in (STORED_SECRET, HASH):
        assert hidden not in response.text, (attack, response.text)
    if status == 422 and method != "GET":
        # Errors name only what the client sent, and echo at most its own value.
        for error in response.json()["detail"]:
            assert error["loc"][0] == "body"
            assert error.get("input") in (None, *(body or {}).values())


# (raw JSON body of a create, status, what the error says)
MALFORMED_BODIES = [
    ('{"display": "\\ud800"}', 422, "string"),
    ('{"display": "ok", "score": NaN}', 422, "NaN is not a JSON number"),
    ('{"display": "ok", "rating": Infinity}', 422, "Infinity is not a JSON number"),
    ('{"display": "ok", "rating": -Infinity}', 422, "-Infinity is not a JSON number"),
    ('{"display": "ok", "score": 1e400}', 422, "out of range"),
    ('{"display": "ok", "score": 1' + "0" * 5000 + "}", 422, "JSON decode error"),
    ('{"display": ', 422, "JSON decode error"),
]


@pytest.mark.parametrize(("body", "status", "says"), MALFORMED_BODIES)
def test_bodies_json_cannot_carry_get_a_422_that_is_valid_json(shop: Shop, body: str, status: int, says: str) -> None:
    headers = {**shop.token(ALICE), "Content-Type": "application/json"}
    for method, path in (("POST", PREFIX), ("PATCH", ITEM.format(id=shop.add_account()))):
        response = shop.client.request(method, path, content=body.encode("utf-8", "surrogatepass"), headers=headers)
        assert response.status_code == status, response.text
        assert says in json.dumps(json.loads(response.content)), response.text


LIMIT_ATTACKS = {
    "999 filters": ("&".join(["filter=score:eq:1"] * 999), "max_filters"),
    "a 20,000-character pattern": ("filter=display:like:" + "%25" * 20_000, "max_value_length"),
    "an in list of 5,000 values": ("filter=score:in:" + ",".join(["1"] * 5000), "max_in_values"),
    "20 sort keys": ("&".join(["sort=score"] * 20), "max_sorts"),
    "60 or conditions": ("&".join(["or=score:eq:1"] * 60), "max_or_conditions"),
    "a not_in list of 5,000 values": ("filter=score:not_in:" + ",".join(["1"] * 5000), "max_in_values"),
    "a between bound of 20,000 characters": ("filter=display:between:a," + "z" * 20_000, "max_value_length"),
    "a contains value of 20,000 characters": ("or=display:contains:" + "%25" * 20_000, "max_value_length"),
    "150 field names": ("fields=" + ",".join(["display"] * 150), "max_fields"),
    "a 5,000-character cursor": ("cursor=" + "A" * 5000, "max_cursor_length"),
}


@pytest.mark.parametrize("attack", LIMIT_ATTACKS)
def test_oversized_queries_are_refused_naming_the_limit(shop: Shop, attack: str) -> None:
    query, limit = LIMIT_ATTACKS[attack]
    response = shop.client.get(f"{PREFIX}?{query}")
    assert response.status_code == 422, response.text[:300]
    assert limit in response.text


def test_query_columns_never_reach_a_hidden_column() -> None:
    with pytest.raises(ValueError, match="'password_hash', not a column of its response schema"):
        account_app(query_router=RouterConfig(auth=False, query_columns=["display", "password_hash"]))


def test_limits_are_settings(shop: Shop) -> None:
    app = account_app(query_router=RouterConfig(auth=False, limits=QueryLimits(max_filters=1, max_limit=5)))
    parameters = app.openapi()["paths"][PREFIX]["get"]["parameters"]
    assert next(p for p in parameters if p["name"] == "limit")["schema"]["maximum"] == 5
    with TestClient(app) as client:
        assert "max_filters" in client.get(f"{PREFIX}?filter=score:eq:1&filter=score:eq:2").text


# (subject of the token, method, path, body, status): guarded routes answer
# 401 or 403 before reading the body, and names never stand for roles.
GUARD_ATTACKS = [
    (None, "POST", PREFIX, "{not json", 401),
    (None, "PATCH", ITEM, '{"score": "x"}', 401),
    ("vera", "POST", PREFIX, "{not json", 403),
    ("shop", "GET", ITEM, None, 403),  # named like the default role
    ("shop", "DELETE", ITEM, None, 403),
    ("viewer", "GET", ITEM, None, 403),  # named like a granted role
    ("vera", "GET", ITEM, None, 200),
]


@pytest.mark.parametrize(("subject", "method", "path", "body", "status"), GUARD_ATTACKS)
def test_guards_answer_before_the_body_and_keep_callers_apart_from_roles(
    shop: Shop, subject: str | None, method: str, path: str, body: str | None, status: int
) -> None:
    headers = {"Content-Type": "application/json", **(shop.token(subject) if subject else {})}
    row = shop.add_account()
    response = shop.client.request(method, path.format(id=row), content=body, headers=headers)
    assert response.status_code == status, response.text
    if status == 401:
        assert response.headers["WWW-Authenticate"] == "Bearer"
