"""The query's operators, or group, column allow-list, cursors, totals and chosen fields, on SQLite and PostgreSQL."""

from __future__ import annotations

import logging
import threading
from typing import Any

import pytest
from fastapi.testclient import TestClient
from itsdangerous import URLSafeSerializer
from pydantic import computed_field, field_serializer

from generic_support import BOOK_PREFIX as PREFIX
from generic_support import BOOKS, BookResponse, Shelf, add_books, book_app, query, table_app, titles
from quorvalen_core.auth import AuthService, AuthSettings, set_auth_service
from quorvalen_core.rows.cursor import CURSOR_KEY_ENV
from quorvalen_core.controller.router_config import RouterConfig
from quorvalen_core.db import DatabaseRegistry

# Titles holding the characters a LIKE pattern gives a meaning: %, _ and
# SQLAlchemy's escape character /.
LITERALS = [
    {"title": "100% Cotton", "pages": 10},
    {"title": "snake_case", "pages": 11},
    {"title": "snakeXcase", "pages": 12},
    {"title": "AC/DC Live", "pages": 13},
]


@pytest.fixture
def shelf(library: TestClient, registry: DatabaseRegistry) -> TestClient:
    add_books(registry, LITERALS)
    return library


@pytest.mark.parametrize(
    ("filters", "expected"),
    [
        (["pages:not_in:129,864,10,11,12,13"], {"Beloved", "Dracula", "Emma"}),
        (["pages:between:324,474"], {"Beloved", "Dracula", "Emma"}),
        (["published:between:1800-01-01,1880-01-01"], {"Anna Karenina", "Emma"}),
        (["rating:between:3.85,4.0"], {"Beloved", "Dracula", "Emma"}),
        (["rating:is_null", "pages:gt:100"], {"anna's diary"}),
        (["rating:is_null:", "pages:gt:100"], {"anna's diary"}),
        (["published:not_null"], {"Anna Karenina", "Beloved", "Dracula", "Emma"}),
        # like is case-sensitive on both databases; ilike is not.
        (["title:like:anna%"], {"anna's diary"}),
        (["title:like:A%"], {"Anna Karenina", "AC/DC Live"}),
        (["title:ilike:ANNA%"], {"Anna Karenina", "anna's diary"}),
        (["title:ilike:%DRAC%"], {"Dracula"}),
        (["title:like:snake_case"], {"snake_case", "snakeXcase"}),
        # contains, startswith and endswith: % _ and / are themselves.
        (["title:contains:nna"], {"Anna Karenina", "anna's diary"}),
        (["title:contains:emma"], set()),
        (["title:contains:%"], {"100% Cotton"}),
        (["title:contains:_"], {"snake_case"}),
        (["title:contains:/"], {"AC/DC Live"}),
        (["title:startswith:100%"], {"100% Cotton"}),
        (["title:startswith:_"], set()),
        (["title:endswith:e_case"], {"snake_case"}),
        (["title:endswith:%"], set()),
    ],
)
def test_each_operator_selects_its_rows(shelf: TestClient, filters: list[str], expected: set[str]) -> None:
    page = query(shelf, filter=filters)
    assert set(titles(page)) == expected and page["total"] == len(expected)


@pytest.mark.parametrize(
    ("params", "loc", "reason"),
    [
        ({"filter": "pages:between:1"}, ["query", "filter", 0], "two comma-separated values"),
        ({"filter": "pages:between:1,2,3"}, ["query", "filter", 0], "two comma-separated values"),
        ({"filter": "pages:between:1,many"}, ["query", "filter", 0], "does not fit column 'pages'"),
        ({"filter": "published:between:1900-01-01,soon"}, ["query", "filter", 0], "does not fit column 'published'"),
        ({"filter": "pages:not_in:1,x"}, ["query", "filter", 0], "does not fit column 'pages'"),
        ({"filter": "rating:ge:high"}, ["query", "filter", 0], "does not fit column 'rating'"),
        ({"filter": "rating:is_null:yes"}, ["query", "filter", 0], "is_null takes no value"),
        ({"filter": "pages:eq"}, ["query", "filter", 0], "column:operator:value"),
        *[
            ({"filter": f"pages:{operator}:1"}, ["query", "filter", 0], f"{operator} needs a text column")
            for operator in ("like", "ilike", "contains", "startswith", "endswith")
        ],
        ({"or": ["title:eq:Emma", "pages:gt:x"]}, ["query", "or", 1], "does not fit column 'pages'"),
        ({"or": "nope:eq:1"}, ["query", "or", 0], "unknown column"),
        ({"fields": "title,nope"}, ["query", "fields"], "unknown field 'nope'"),
        ({"fields": ""}, ["query", "fields"], "unknown field ''"),
        ({"total": "maybe"}, ["query", "total"], None),
    ],
)
def test_values_that_do_not_fit_are_422_naming_the_parameter(
    client: TestClient, params: dict[str, Any], loc: list[Any], reason: str | None
) -> None:
    response = client.get(PREFIX, params=params)
    assert response.status_code == 422, response.text
    [error] = response.json()["detail"]
    assert error["loc"] == loc
    assert reason is None or reason in error["msg"], error["msg"]


@pytest.mark.parametrize(
    ("filters", "any_of", "expected"),
    [
        ([], ["title:eq:Emma", "pages:lt:200"], {"Emma", "Candide", "anna's diary"}),
        (["rating:not_null"], ["title:eq:Emma", "pages:lt:200"], {"Emma", "Candide"}),
        (["rating:ge:4"], ["published:is_null", "published:lt:1850-01-01"], {"Emma"}),
        (["pages:gt:400"], ["title:startswith:D"], {"Dracula"}),  # a group of one
    ],
)
def test_an_or_group_is_anded_with_the_filters(
    library: TestClient, filters: list[str], any_of: list[str], expected: set[str]
) -> None:
    page = query(library, filter=filters, **{"or": any_of})
    assert set(titles(page)) == expected and page["total"] == len(expected)


@pytest.mark.parametrize(
    ("sort", "expected"),
    [
        # NULL sorts last ascending and first descending, on both databases;
        # rating ties (4.0) are broken by the primary key (insertion order).
        (["rating"], ["Candide", "Beloved", "Dracula", "Emma", "Anna Karenina", "anna's diary"]),
        (["-rating"], ["anna's diary", "Anna Karenina", "Dracula", "Emma", "Beloved", "Candide"]),
        (["-published", "title"], ["Candide", "anna's diary", "Beloved", "Dracula", "Anna Karenina", "Emma"]),
    ],
)
def test_null_sorts_alike_on_both_databases(library: TestClient, sort: list[str], expected: list[str]) -> None:
    assert titles(query(library, sort=sort)) == expected


def test_query_columns_allow_only_the_listed_columns(registry: DatabaseRegistry) -> None:
    config = RouterConfig(auth=False, query_columns=["title", "rating"])
    with TestClient(book_app(query_router=config)) as client:
        add_books(registry, BOOKS)
        assert set(titles(query(client, filter="title:like:A%", sort="-rating"))) == {"Anna Karenina"}
        assert query(client, filter="id:gt:0", sort="-id")["total"] == 6  # the primary key always
        for params in ({"filter": "pages:gt:1"}, {"or": "pages:gt:1"}, {"sort": "pages"}):
            assert client.get(PREFIX, params=params).status_code == 422, params
        # Every field of the response is still returned and may be chosen.
        assert set(query(client, fields="pages")["items"][0]) == {"id", "pages"}
    for columns in (["title", "missing"], ["title", "shelf"]):
        with pytest.raises(ValueError, match="not a column of its response schema"):
            book_app(query_router=RouterConfig(auth=False, query_columns=columns))


@pytest.mark.parametrize(
    ("fields", "expected"),
    [
        ("title", {"id", "title"}),
        ("pages, rating,title", {"id", "pages", "rating", "title"}),
        ("id", {"id"}),
        ("title,title", {"id", "title"}),
        (None, set(BookResponse.model_fields)),
    ],
)
def test_chosen_fields_and_the_primary_key_are_returned(library: TestClient, fields: str | None, expected: set[str]) -> None:
    page = query(library, fields=fields, sort="title", limit=2) if fields else query(library, sort="title", limit=2)
    assert [set(item) for item in page["items"]] == [expected, expected]
    assert page["items"][0].get("title", "Anna Karenina") == "Anna Karenina"
    assert set(page) == {"items", "total", "offset", "limit", "has_more", "next_cursor"}


@pytest.mark.parametrize(
    ("params", "total", "has_more", "count"),
    [
        ({}, 6, False, 6),
        ({"limit": 6}, 6, False, 6),
        ({"limit": 5}, 6, True, 5),
        ({"limit": 2, "offset": 4}, 6, False, 2),
        ({"limit": 2, "offset": 3, "total": "false"}, None, True, 2),
        ({"offset": 10, "total": "false"}, None, False, 0),
        ({"filter": "pages:eq:129", "limit": 1, "total": "false"}, None, True, 1),
    ],
)
def test_total_can_be_skipped_and_has_more_says_whether_rows_follow(
    library: TestClient, params: dict[str, Any], total: int | None, has_more: bool, count: int
) -> None:
    page = query(library, **params)
    assert (page["total"], page["has_more"], len(page["items"])) == (total, has_more, count)
    assert (page["next_cursor"] is not None) == has_more


SORTS = [[], ["-pages"], ["rating", "-title"], ["-published"], ["published", "-rating"], ["-id", "title"], ["title"]]


@pytest.mark.parametrize("sort", SORTS)
def test_cursor_pages_see_every_row_once_while_rows_are_inserted(
    library: TestClient, registry: DatabaseRegistry, sort: list[str]
) -> None:
    before = [item["id"] for item in query(library, sort=sort, limit=100)["items"]]
    seen: list[int] = []
    page = query(library, sort=sort, limit=2, total="false")
    inserted = 0
    while True:
        seen.extend(item["id"] for item in page["items"])
        if page["next_cursor"] is None:
            break
        # Rows sorting before, among and after the ones not yet seen, while
        # the first pages are read.
        for pages, rating, published in ((1, None, None), (500, 4.0, "1900-01-01"), (9999, 5.0, "2100-01-01")):
            if inserted < 9:
                inserted += 1
                add_books(registry, [{"title": f"New {inserted}", "pages": pages, "rating": rating, "published": published}])
        page = query(library, sort=sort, limit=2, total="false", cursor=page["next_cursor"])
        assert page["offset"] == len(seen)
    assert len(seen) == len(set(seen)), "a row came twice"
    # The rows there from the start came once each, in the order they had.
    assert [row for row in seen if row in before] == before


@pytest.mark.parametrize("sort", [["-rating", "title"], ["published"]])
def test_cursor_pages_hold_while_another_thread_inserts(
    library: TestClient, registry: DatabaseRegistry, sort: list[str]
) -> None:
    before = [item["id"] for item in query(library, sort=sort, limit=100)["items"]]
    done = threading.Event()

    def insert() -> None:
        for number in range(40):
            rating = None if number % 3 == 0 else float(number % 5)
            published = None if number % 4 == 0 else f"{1800 + number * 5}-01-01"
            add_books(registry, [{"title": f"Concurrent {number}", "pages": number + 1, "rating": rating, "published": published}])
        done.set()

    writer = threading.Thread(target=insert)
    writer.start()
    seen: list[int] = []
    page = query(library, sort=sort, limit=2, total="false")
    while True:
        seen.extend(item["id"] for item in page["items"])
        if page["next_cursor"] is None:
            break
        page = query(library, sort=sort, limit=2, total="false", cursor=page["next_cursor"])
    writer.join()
    assert done.is_set()
    assert len(seen) == len(set(seen)), "a row came twice"
    assert [row for row in seen if row in before] == before


def test_a_cursor_goes_on_from_an_offset_page_with_another_page_size(library: TestClient) -> None:
    everything = titles(query(library, sort="-pages"))
    first = query(library, sort="-pages", offset=1, limit=2)
    rest = query(library, sort="-pages", cursor=first["next_cursor"], limit=10)
    assert titles(first) + titles(rest) == everything[1:]
    assert (rest["offset"], rest["total"], rest["has_more"], rest["next_cursor"]) == (3, 6, False, None)


def test_tampered_foreign_and_misplaced_cursors_are_422(library: TestClient, registry: DatabaseRegistry) -> None:
    params = {"sort": ["-rating"], "filter": ["pages:gt:100"], "limit": 2}
    cursor = query(library, **params)["next_cursor"]
    shelves = table_app({"model_class": Shelf, "response_schema": Shelf, "table_name": "shelf"})
    with TestClient(shelves) as other:
        other.post("/v1/library/shelf", json={"label": "A"})
        other.post("/v1/library/shelf", json={"label": "B"})
        shelf_cursor = query(other, "/v1/library/shelf", limit=1)["next_cursor"]
    forged = URLSafeSerializer("not the key", salt="quorvalen_core.query-cursor:generic_book").dumps(["x", 0, [None, 1]])
    flipped = cursor[:-3] + ("A" if cursor[-3] != "A" else "B") + cursor[-2:]
    cases: list[tuple[dict[str, Any], str, str]] = [
        ({**params, "cursor": flipped}, "cursor", "altered or foreign"),
        ({**params, "cursor": cursor[1:]}, "cursor", "altered or foreign"),
        ({**params, "cursor": "abc"}, "cursor", "altered or foreign"),
        ({**params, "cursor": forged}, "cursor", "altered or foreign"),
        ({**params, "cursor": shelf_cursor}, "cursor", "altered or foreign"),  # another table's
        ({**params, "sort": ["rating"], "cursor": cursor}, "cursor", "another query"),
        ({**params, "filter": ["pages:gt:101"], "cursor": cursor}, "cursor", "another query"),
        ({**params, "or": ["pages:gt:100"], "cursor": cursor}, "cursor", "another query"),
        ({**params, "offset": 2, "cursor": cursor}, "offset", "exclude each other"),
    ]
    for request, parameter, reason in cases:
        response = library.get(PREFIX, params=request)
        assert response.status_code == 422, (request, response.text)
        [error] = response.json()["detail"]
        assert error["loc"] == ["query", parameter] and reason in error["msg"], (request, error)
    # The same query with another page size or fields goes on from it.
    assert query(library, **{**params, "limit": 3, "fields": "title"}, cursor=cursor)["offset"] == 2


KEY_A = "cursor-key-shared-by-workers-0123456789"
KEY_B = "another-cursor-key-0123456789abcdefghij"


@pytest.mark.parametrize(
    ("source", "first_key", "second_key", "status"),
    [
        ("cursor key", KEY_A, KEY_A, 200),
        ("cursor key", KEY_A, KEY_B, 422),
        ("token key", KEY_A, KEY_A, 200),
        ("token key", KEY_A, KEY_B, 422),
        (None, None, None, 422),  # no key: each process signs with its own
    ],
)
def test_workers_sharing_a_key_accept_each_others_cursors(
    registry: DatabaseRegistry,
    monkeypatch: pytest.MonkeyPatch,
    caplog: pytest.LogCaptureFixture,
    source: str | None,
    first_key: str | None,
    second_key: str | None,
    status: int,
) -> None:
    add_books(registry, BOOKS)
    monkeypatch.delenv(CURSOR_KEY_ENV, raising=False)

    def worker(key: str | None) -> TestClient:
        """An application as one worker process runs it, started with ``key``."""
        if source == "cursor key" and key is not None:
            monkeypatch.setenv(CURSOR_KEY_ENV, key)
        settings = AuthSettings(secret_key=key) if source == "token key" else AuthSettings()
        set_auth_service(AuthService(settings=settings, databases=registry))
        return TestClient(book_app())

    previous = set_auth_service(None)
    try:
        with caplog.at_level(logging.WARNING, "quorvalen_core.controller"):
            cursor = query(worker(first_key), limit=2)["next_cursor"]
            answer = worker(second_key).get(PREFIX, params={"limit": 2, "cursor": cursor})
    finally:
        set_auth_service(previous)
    assert answer.status_code == status, answer.text
    assert ("signed with a key of this process only" in caplog.text) == (source is None)
    assert not any(key and key in caplog.text for key in (first_key, second_key))


class ShoutedBook(BookResponse):
    """A response schema with a serialiser and a computed field of its own."""

    @field_serializer("title")
    def shout(self, title: str) -> str:
        return title.upper()

    @computed_field  # type: ignore[prop-decorator]
    @property
    def long(self) -> bool:
        return self.pages > 400


def test_query_items_are_serialised_by_the_response_schema_itself(registry: DatabaseRegistry) -> None:
    app = book_app(response_schema=ShoutedBook)
    with TestClient(app) as client:
        add_books(registry, BOOKS[:1])
        read = client.get(f"{PREFIX}/1").json()["data"]
        assert query(client)["items"] == [read] and read["title"] == "ANNA KARENINA" and read["long"] is True
        assert query(client, fields="pages")["items"] == [{"id": 1, "pages": 864, "long": True}]
        schemas = client.get("/openapi.json").json()["components"]["schemas"]
    assert schemas["ShoutedBookFields"]["required"] == ["id"]
    assert set(schemas["ShoutedBook"]["required"]) >= {"id", "title", "pages"}
