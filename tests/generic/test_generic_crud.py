"""Create, read, update and delete through the generated routes, on SQLite and PostgreSQL."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import pytest
from fastapi.testclient import TestClient
from sqlmodel import select

from quorvalen_core.db import DatabaseRegistry, set_database_registry

from generic_models import Book, Shelf
from generic_support import SharedSessionRegistry, book_app, prepare_registry, public_configs
from quorvalen_core.controller.table_controller import AuthController

PREFIX = "/v1/library/book"
# Fragments of database error texts that must never reach a client.
LEAK_MARKERS = ("INSERT", "UPDATE generic", "DELETE FROM", "sqlite3", "psycopg", "DETAIL", "[SQL")


def new_book(**fields: Any) -> dict[str, Any]:
    return {"title": "Dune", "pages": 412, **fields}


def test_create_returns_201_with_envelope_and_stores_the_row(
    client: TestClient, registry: DatabaseRegistry
) -> None:
    response = client.post(PREFIX, json=new_book(rating=4.5, published="1965-08-01"))
    assert response.status_code == 201
    body = response.json()
    assert body["code"] == 0 and body["message"] == "创建成功"
    data = body["data"]
    assert data == {
        "id": data["id"],
        "title": "Dune",
        "pages": 412,
        "rating": 4.5,
        "published": "1965-08-01",
        "shelf_id": None,
    }
    with registry.session() as session:
        stored = session.get(Book, data["id"])
        assert stored is not None and stored.title == "Dune"


@pytest.mark.parametrize(
    ("payload", "field"),
    [
        ({"pages": 10}, "title"),  # missing required field
        (new_book(pages="many"), "pages"),  # wrong type
        (new_book(pages=0), "pages"),  # the model's bound (ge=1)
        (new_book(title="x" * 81), "title"),  # the model's max_length
    ],
)
def test_create_rejects_invalid_bodies_with_422(
    client: TestClient, registry: DatabaseRegistry, payload: dict[str, Any], field: str
) -> None:
    response = client.post(PREFIX, json=payload)
    assert response.status_code == 422
    assert any(error["loc"][-1] == field for error in response.json()["detail"])
    with registry.session() as session:
        assert session.exec(select(Book)).all() == []


def test_read_returns_the_row_or_404(client: TestClient) -> None:
    created = client.post(PREFIX, json=new_book()).json()["data"]
    response = client.get(f"{PREFIX}/{created['id']}")
    assert response.status_code == 200
    assert response.json() == {"code": 0, "message": "获取成功", "data": created}
    assert client.get(f"{PREFIX}/{created['id'] + 1}").status_code == 404
    assert client.get(f"{PREFIX}/not-a-number").status_code == 422


def test_update_changes_only_the_fields_sent(client: TestClient) -> None:
    created = client.post(PREFIX, json=new_book(rating=4.0, published="1965-08-01")).json()["data"]
    response = client.patch(f"{PREFIX}/{created['id']}", json={"rating": 4.8})
    assert response.status_code == 200
    assert response.json()["message"] == "更新成功"
    assert response.json()["data"] == {**created, "rating": 4.8}
    # Clearing a nullable column is a change too: null sent is not "not sent".
    cleared = client.patch(f"{PREFIX}/{created['id']}", json={"published": None}).json()["data"]
    assert cleared == {**created, "rating": 4.8, "published": None}
    assert client.get(f"{PREFIX}/{created['id']}").json()["data"] == cleared


@pytest.mark.parametrize(
    "payload",
    [{"pages": None}, {"title": None}, {"pages": -3}, {"pages": "x"}],
)
def test_update_refuses_values_the_model_does_not_accept(
    client: TestClient, payload: dict[str, Any]
) -> None:
    created = client.post(PREFIX, json=new_book()).json()["data"]
    response = client.patch(f"{PREFIX}/{created['id']}", json=payload)
    assert response.status_code == 422
    assert client.get(f"{PREFIX}/{created['id']}").json()["data"] == created


def test_update_and_delete_of_a_missing_row_are_404(client: TestClient) -> None:
    assert client.patch(f"{PREFIX}/999", json={"pages": 3}).status_code == 404
    assert client.delete(f"{PREFIX}/999").status_code == 404


def test_delete_returns_the_row_then_it_is_gone(client: TestClient) -> None:
    created = client.post(PREFIX, json=new_book()).json()["data"]
    response = client.delete(f"{PREFIX}/{created['id']}")
    assert response.status_code == 200
    assert response.json() == {"code": 0, "message": "删除成功", "data": created}
    assert client.get(f"{PREFIX}/{created['id']}").status_code == 404
    assert client.delete(f"{PREFIX}/{created['id']}").status_code == 404


def assert_conflict(response: Any) -> None:
    assert response.status_code == 409, response.text
    assert set(response.json()) == {"detail"}
    assert not any(marker in response.text for marker in LEAK_MARKERS), response.text


def test_unique_conflicts_are_409_on_create_and_update(client: TestClient) -> None:
    first = client.post(PREFIX, json=new_book(title="Emma")).json()["data"]
    second = client.post(PREFIX, json=new_book(title="Persuasion")).json()["data"]
    assert_conflict(client.post(PREFIX, json=new_book(title="Emma")))
    assert_conflict(client.patch(f"{PREFIX}/{second['id']}", json={"title": "Emma"}))
    # Nothing of the refused changes stayed behind, and the next requests work.
    assert client.get(f"{PREFIX}/{second['id']}").json()["data"] == second
    assert client.get(f"{PREFIX}/{first['id']}").json()["data"] == first
    assert client.post(PREFIX, json=new_book(title="Sanditon")).status_code == 201


def test_foreign_key_conflicts_are_409(
    client: TestClient, add_shelf: Callable[[str], int]
) -> None:
    assert_conflict(client.post(PREFIX, json=new_book(shelf_id=12345)))
    shelf = add_shelf("A")
    book = client.post(PREFIX, json=new_book(shelf_id=shelf)).json()["data"]
    assert_conflict(client.patch(f"{PREFIX}/{book['id']}", json={"shelf_id": 999}))
    assert client.get(f"{PREFIX}/{book['id']}").json()["data"]["shelf_id"] == shelf


def test_deleting_a_referenced_row_is_409(
    registry: DatabaseRegistry, add_shelf: Callable[[str], int]
) -> None:
    app = book_app()
    app.include_router(
        AuthController.create(
            model_class=Shelf,
            response_schema=Shelf,
            schema_name="library",
            table_name="shelf",
            **public_configs(),
        )
    )
    client = TestClient(app)
    shelf = add_shelf("B")
    client.post(PREFIX, json=new_book(shelf_id=shelf))
    assert_conflict(client.delete(f"/v1/library/shelf/{shelf}"))
    assert client.get(f"/v1/library/shelf/{shelf}").status_code == 200


def test_session_stays_usable_after_a_conflict(database_url: str) -> None:
    registry = SharedSessionRegistry(database_url)
    prepare_registry(registry)
    previous = set_database_registry(registry)
    try:
        client = TestClient(book_app())
        assert client.post(PREFIX, json=new_book(title="Emma")).status_code == 201
        assert_conflict(client.post(PREFIX, json=new_book(title="Emma")))
        # The one shared session was rolled back, not left in a failed transaction.
        assert client.post(PREFIX, json=new_book(title="Sanditon")).status_code == 201
        assert client.get(PREFIX).json()["data"]["total"] == 2
        assert registry.shared is not None
        titles = sorted(book.title for book in registry.shared.exec(select(Book)))
        assert titles == ["Emma", "Sanditon"]
    finally:
        if registry.shared is not None:
            registry.shared.close()
        set_database_registry(previous)
        registry.reset()


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
def test_values_the_database_cannot_hold_are_client_errors(
    client: TestClient, method: str, path: str, body: Any, expected: set[int]
) -> None:
    response = client.request(method, path, json=body)
    assert response.status_code in expected, response.text
    assert not any(marker in response.text for marker in LEAK_MARKERS), response.text
    # The failed statement did not leave the database unusable.
    assert client.post(PREFIX, json=new_book(title="After")).status_code == 201
