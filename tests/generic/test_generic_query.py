"""The query operation: pagination bounds, total count, sorting and filters."""

from __future__ import annotations

from typing import Any

import pytest
from fastapi.testclient import TestClient

from generic_models import Book
from quorvalen_core.db import DatabaseRegistry

PREFIX = "/v1/library/book"

BOOKS = [
    {"title": "Anna Karenina", "pages": 864, "rating": 4.1, "published": "1878-01-01"},
    {"title": "Beloved", "pages": 324, "rating": 3.9, "published": "1987-09-02"},
    {"title": "Candide", "pages": 129, "rating": 3.8, "published": None},
    {"title": "Dracula", "pages": 418, "rating": 4.0, "published": "1897-05-26"},
    {"title": "Emma", "pages": 474, "rating": 4.0, "published": "1815-12-23"},
    {"title": "anna's diary", "pages": 129, "rating": None, "published": None},
]


@pytest.fixture
def library(client: TestClient, registry: DatabaseRegistry) -> TestClient:
    # Inserted directly, in an order that differs from every sort key below.
    with registry.session() as session:
        for index in (3, 0, 5, 2, 4, 1):
            session.add(Book.model_validate(BOOKS[index]))
        session.commit()
    return client


def query(client: TestClient, **params: Any) -> dict[str, Any]:
    response = client.get(PREFIX, params=params)
    assert response.status_code == 200, response.text
    body = response.json()
    assert body["code"] == 0 and body["message"] == "查询成功"
    data: dict[str, Any] = body["data"]
    return data


def titles(page: dict[str, Any]) -> list[str]:
    return [item["title"] for item in page["items"]]


def test_default_page_holds_every_row_in_primary_key_order(library: TestClient) -> None:
    page = query(library)
    assert page["total"] == 6 and page["offset"] == 0 and page["limit"] == 20
    ids = [item["id"] for item in page["items"]]
    assert ids == sorted(ids) and len(ids) == 6


def test_pages_are_bounded_and_total_counts_all_matches(library: TestClient) -> None:
    first = query(library, limit=4, sort="title")
    second = query(library, limit=4, offset=4, sort="title")
    beyond = query(library, offset=50)
    assert (first["total"], second["total"], beyond["total"]) == (6, 6, 6)
    assert len(first["items"]) == 4 and len(second["items"]) == 2 and beyond["items"] == []
    assert titles(first) + titles(second) == sorted(book["title"] for book in BOOKS)


@pytest.mark.parametrize(
    ("params", "field"),
    [
        ({"limit": 0}, "limit"),
        ({"limit": 101}, "limit"),
        ({"limit": "ten"}, "limit"),
        ({"offset": -1}, "offset"),
    ],
)
def test_pagination_outside_its_bounds_is_422(
    client: TestClient, params: dict[str, Any], field: str
) -> None:
    response = client.get(PREFIX, params=params)
    assert response.status_code == 422
    assert response.json()["detail"][0]["loc"] == ["query", field]


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


@pytest.mark.parametrize("sort", ["bogus", "-bogus", "title desc", "--title", ""])
def test_sorting_on_anything_but_a_column_is_422(client: TestClient, sort: str) -> None:
    response = client.get(PREFIX, params={"sort": sort})
    assert response.status_code == 422
    assert response.json()["detail"][0]["loc"][:2] == ["query", "sort"]


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
def test_filters_with_each_operator(
    library: TestClient, filters: list[str], expected: set[str]
) -> None:
    page = query(library, filter=filters)
    assert set(titles(page)) == expected
    assert page["total"] == len(expected)


def test_filters_sorting_and_pages_combine(library: TestClient) -> None:
    page = query(library, filter=["pages:gt:200"], sort=["-published"], limit=2, offset=1)
    assert page["total"] == 4
    assert titles(page) == ["Dracula", "Anna Karenina"]


@pytest.mark.parametrize(
    ("text", "reason"),
    [
        ("bogus:eq:1", "unknown column"),
        ("pages:approx:1", "unknown operator"),
        ("pages:eq", "column:operator:value"),
        ("pages", "column:operator:value"),
        ("pages:gt:many", "does not fit column"),
        ("pages:in:1,two", "does not fit column"),
        ("published:eq:yesterday", "does not fit column"),
        ("pages:like:1%", "text column"),
    ],
)
def test_filters_that_do_not_parse_are_422(client: TestClient, text: str, reason: str) -> None:
    response = client.get(PREFIX, params={"filter": ["pages:gt:1", text]})
    assert response.status_code == 422
    [error] = response.json()["detail"]
    assert error["loc"] == ["query", "filter", 1]
    assert reason in error["msg"]
