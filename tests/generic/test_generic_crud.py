"""Create, read, update, delete and query through the generated routes, on SQLite and PostgreSQL."""

from __future__ import annotations

from typing import Any

import pytest
from fastapi.testclient import TestClient
from sqlmodel import select

from generic_support import BOOK, BOOKS, Book, SharedSessionRegistry, Shelf, query, table_app, titles
from quorvalen_core.db import DatabaseRegistry

PREFIX = "/v1/library/book"
# Fragments of database error texts that must never reach a client.
LEAK_MARKERS = ("INSERT", "UPDATE generic", "DELETE FROM", "sqlite3", "psycopg", "DETAIL", "[SQL")


def new_book(**fields: Any) -> dict[str, Any]:
    return {"title": "Dune", "pages": 412, **fields}


def test_each_operation_succeeds_with_its_envelope_or_is_404(client: TestClient, registry: DatabaseRegistry) -> None:
    response = client.post(PREFIX, json=new_book(rating=4.0, published="1965-08-01"))
    assert response.status_code == 201
    created = response.json()["data"]
    expected = {"id": created["id"], "title": "Dune", "pages": 412, "rating": 4.0, "published": "1965-08-01", "shelf_id": None}
    assert response.json() == {"code": 0, "message": "创建成功", "data": expected}
    with registry.session() as session:
        stored = session.get(Book, created["id"])
        assert stored is not None and stored.title == "Dune"
    item = f"{PREFIX}/{created['id']}"
    assert client.get(item).json() == {"code": 0, "message": "获取成功", "data": created}
    # Only the fields sent change; null sent is not "not sent" for a nullable column.
    response = client.patch(item, json={"rating": 4.8})
    assert response.status_code == 200
    assert response.json() == {"code": 0, "message": "更新成功", "data": {**created, "rating": 4.8}}
    updated = {**created, "rating": 4.8, "published": None}
    assert client.patch(item, json={"published": None}).json()["data"] == updated
    assert client.get(item).json()["data"] == updated
    response = client.delete(item)
    assert response.status_code == 200
    assert response.json() == {"code": 0, "message": "删除成功", "data": updated}
    for method in ("GET", "PATCH", "DELETE"):
        assert client.request(method, item, json={"pages": 3}).status_code == 404, method
    assert client.get(f"{PREFIX}/not-a-number").status_code == 422


@pytest.mark.parametrize(
    ("method", "payload", "field"),
    [
        ("POST", {"pages": 10}, "title"),  # missing required field
        ("POST", new_book(pages="many"), "pages"),  # wrong type
        ("POST", new_book(pages=0), "pages"),  # the model's bound (ge=1)
        ("POST", new_book(title="x" * 81), "title"),  # the model's max_length
        ("PATCH", {"pages": None}, "pages"),  # null for a column that cannot hold one
        ("PATCH", {"title": None}, "title"),
        ("PATCH", {"pages": -3}, "pages"),
        ("PATCH", {"pages": "x"}, "pages"),
    ],
)
def test_invalid_bodies_are_422_and_change_nothing(client: TestClient, method: str, payload: Any, field: str) -> None:
    kept = client.post(PREFIX, json=new_book(title="Kept")).json()["data"]
    response = client.request(method, PREFIX if method == "POST" else f"{PREFIX}/{kept['id']}", json=payload)
    assert response.status_code == 422
    assert any(error["loc"][-1] == field for error in response.json()["detail"])
    assert client.get(PREFIX).json()["data"]["items"] == [kept]


def assert_conflict(response: Any) -> None:
    assert response.status_code == 409, response.text
    assert response.json()["code"] == "conflict" and set(response.json()) == {"detail", "code"}
    assert not any(marker in response.text for marker in LEAK_MARKERS), response.text


def test_conflicts_are_409_change_nothing_and_leave_the_session_usable(shared_registry: SharedSessionRegistry) -> None:
    # Every request gets the one shared session: it must be rolled back, not
    # left in a failed transaction, after each refused change.
    client = TestClient(shared_registry.serving(table_app(BOOK, {"model_class": Shelf, "response_schema": Shelf, "table_name": "shelf"})))
    shelf = client.post("/v1/library/shelf", json={"label": "A"}).json()["data"]["id"]
    emma = client.post(PREFIX, json=new_book(title="Emma", shelf_id=shelf)).json()["data"]
    other = client.post(PREFIX, json=new_book(title="Persuasion")).json()["data"]
    assert_conflict(client.post(PREFIX, json=new_book(title="Emma")))  # unique
    assert_conflict(client.patch(f"{PREFIX}/{other['id']}", json={"title": "Emma"}))
    assert_conflict(client.post(PREFIX, json=new_book(title="Lost", shelf_id=12345)))  # foreign key
    assert_conflict(client.patch(f"{PREFIX}/{other['id']}", json={"shelf_id": 999}))
    assert_conflict(client.delete(f"/v1/library/shelf/{shelf}"))  # still referenced
    assert client.get(f"/v1/library/shelf/{shelf}").status_code == 200
    assert client.get(PREFIX).json()["data"]["items"] == [emma, other]
    assert client.post(PREFIX, json=new_book(title="Sanditon")).status_code == 201
    assert shared_registry.shared is not None
    titles = sorted(book.title for book in shared_registry.shared.exec(select(Book)))
    assert titles == ["Emma", "Persuasion", "Sanditon"]


@pytest.mark.parametrize(
    ("method", "path", "body", "expected"),
    [
        ("GET", f"{PREFIX}/{2**31}", None, {404}),  # past PostgreSQL's INTEGER
        ("PATCH", f"{PREFIX}/{2**31}", {"pages": 2}, {404}),
        ("DELETE", f"{PREFIX}/{2**31}", None, {404}),
        ("GET", f"{PREFIX}/{2**63}", None, {422}),  # past every database's integers
        ("GET", f"{PREFIX}?filter=pages:eq:{2**63}", None, {422}),
        ("GET", f"{PREFIX}?filter=pages:in:1,{2**70}", None, {422}),
        ("GET", f"{PREFIX}?offset={2**63}", None, {422}),
        # SQLite's integers hold it; PostgreSQL refuses it for an INTEGER column.
        ("GET", f"{PREFIX}?filter=pages:gt:{2**31}", None, {200, 422}),
        ("POST", PREFIX, new_book(pages=10**20), {422}),
        # PostgreSQL refuses NUL in text, SQLite stores it.
        ("POST", PREFIX, new_book(title="nul\u0000byte"), {201, 422}),
        ("GET", f"{PREFIX}?filter=title:eq:a%00b", None, {200, 422}),
    ],
)
def test_unstorable_values_are_client_errors(client: TestClient, method: str, path: str, body: Any, expected: Any) -> None:
    response = client.request(method, path, json=body)
    assert response.status_code in expected, response.text
    assert not any(marker in response.text for marker in LEAK_MARKERS), response.text
    # The failed statement did not leave the database unusable.
    assert client.post(PREFIX, json=new_book(title="After")).status_code == 201


def test_pages_are_bounded_and_total_counts_all_matches(library: TestClient) -> None:
    default = query(library)
    assert (default["total"], default["offset"], default["limit"]) == (6, 0, 20)
    ids = [item["id"] for item in default["items"]]
    assert ids == sorted(ids) and len(ids) == 6  # primary-key order
    first = query(library, limit=4, sort="title")
    second = query(library, limit=4, offset=4, sort="title")
    beyond = query(library, offset=50)
    assert (first["total"], second["total"], beyond["total"]) == (6, 6, 6)
    assert len(first["items"]) == 4 and len(second["items"]) == 2 and beyond["items"] == []
    assert titles(first) + titles(second) == sorted(book["title"] for book in BOOKS)


@pytest.mark.parametrize(
    ("sort", "expected"),
    [
        # pages ties (129) broken by the primary key: insertion order.
        (["-pages"], ["Anna Karenina", "Emma", "Dracula", "Beloved", "anna's diary", "Candide"]),
        # pages ties (129) broken by the second key, descending title.
        (["pages", "-title"], ["anna's diary", "Candide", "Beloved", "Dracula", "Emma", "Anna Karenina"]),
        # rating ties (4.0) broken by ascending title, ahead of the primary key.
        (["-rating", "title"], ["Anna Karenina", "Dracula", "Emma", "Beloved", "Candide"]),
    ],
)
def test_sorting_on_several_columns(library: TestClient, sort: list[str], expected: list[str]) -> None:
    page = query(library, sort=sort)
    # Where NULLs sort differs between databases: compare the rows with values.
    assert [item["title"] for item in page["items"] if item["rating"] is not None or "rating" not in sort[0]] == expected


@pytest.mark.parametrize(
    ("filters", "expected"),
    [
        (["pages:eq:129"], {"Candide", "anna's diary"}),
        (["pages:ne:129"], {"Anna Karenina", "Beloved", "Dracula", "Emma"}),
        (["pages:lt:400"], {"Beloved", "Candide", "anna's diary"}),
        (["pages:le:418"], {"Beloved", "Candide", "anna's diary", "Dracula"}),
        (["pages:gt:474"], {"Anna Karenina"}),
        (["pages:ge:474"], {"Anna Karenina", "Emma"}),
        (["title:in:Emma,Dracula,Missing"], {"Emma", "Dracula"}),
        (["pages:in:864,324"], {"Anna Karenina", "Beloved"}),
        (["title:like:%a"], {"Anna Karenina", "Dracula", "Emma"}),
        (["title:like:Em_a"], {"Emma"}),
        (["published:lt:1880-01-01"], {"Anna Karenina", "Emma"}),
        (["rating:ge:4", "pages:lt:450"], {"Dracula"}),  # filters combine with AND
        (["title:eq:Beloved:Toni"], set()),  # the value may itself hold colons
    ],
)
def test_filters_with_each_operator(library: TestClient, filters: list[str], expected: set[str]) -> None:
    page = query(library, filter=filters)
    assert set(titles(page)) == expected and page["total"] == len(expected)


def test_filters_sorting_and_pages_combine(library: TestClient) -> None:
    page = query(library, filter=["pages:gt:200"], sort=["-published"], limit=2, offset=1)
    assert page["total"] == 4 and titles(page) == ["Dracula", "Anna Karenina"]


def bad_filter(text: str) -> dict[str, Any]:
    return {"filter": ["pages:gt:1", text]}


@pytest.mark.parametrize(
    ("params", "loc", "reason"),
    [
        ({"limit": 0}, ["query", "limit"], None),
        ({"limit": 101}, ["query", "limit"], None),
        ({"limit": "ten"}, ["query", "limit"], None),
        ({"offset": -1}, ["query", "offset"], None),
        *[({"sort": sort}, ["query", "sort", 0], None) for sort in ["bogus", "-bogus", "title desc", "--title", ""]],
        (bad_filter("bogus:eq:1"), ["query", "filter", 1], "unknown column"),
        (bad_filter("pages:approx:1"), ["query", "filter", 1], "unknown operator"),
        (bad_filter("pages:eq"), ["query", "filter", 1], "column:operator:value"),
        (bad_filter("pages"), ["query", "filter", 1], "column:operator:value"),
        (bad_filter("pages:gt:many"), ["query", "filter", 1], "does not fit column"),
        (bad_filter("pages:in:1,two"), ["query", "filter", 1], "does not fit column"),
        (bad_filter("published:eq:yesterday"), ["query", "filter", 1], "does not fit column"),
        (bad_filter("pages:like:1%"), ["query", "filter", 1], "text column"),
    ],
)
def test_parameters_out_of_bounds_or_naming_no_column_are_422(client: TestClient, params: Any, loc: Any, reason: Any) -> None:
    response = client.get(PREFIX, params=params)
    assert response.status_code == 422
    [error] = response.json()["detail"]
    assert error["loc"] == loc
    assert reason is None or reason in error["msg"]
