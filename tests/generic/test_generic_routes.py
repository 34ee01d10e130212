"""Generated routes are built on first use: served alike through an included router or as the application's own routes."""

from __future__ import annotations

import threading
from typing import Any

import pytest
from fastapi import FastAPI
from fastapi.testclient import TestClient

from generic_support import BOOK, BOOK_PREFIX, public_configs
from quorvalen_core.web.routes import GeneratedRoute
from quorvalen_core.controller.table_controller import AuthController
from quorvalen_core.db import DatabaseRegistry


def book_router() -> Any:
    return AuthController.create(**{"schema_name": "library", **public_configs(), **BOOK})


@pytest.mark.parametrize("served", ["included", "taken over"])
def test_generated_routes_serve_alike_included_or_taken_over(registry: DatabaseRegistry, served: str) -> None:
    router = book_router()
    app = FastAPI()
    if served == "included":
        app.include_router(router)
    else:  # the router's own route objects serve
        app.router.routes.extend(router.routes)
    assert "/v1/library/book/{id}" in app.openapi()["paths"]
    client = TestClient(app)
    created = client.post(BOOK_PREFIX, json={"title": "Dune", "pages": 412})
    assert created.status_code == 201, created.text
    item = f"{BOOK_PREFIX}/{created.json()['data']['id']}"
    for method, path, body, status in [
        ("GET", item, None, 200),
        ("PATCH", item, {"pages": 413}, 200),
        ("PATCH", item, '{"rating": NaN}', 422),  # the body is still parsed strictly
        ("GET", f"{BOOK_PREFIX}/x", None, 422),
        ("GET", f"{BOOK_PREFIX}?filter=pages:gt:400", None, 200),
    ]:
        sent = {"content": body} if isinstance(body, str) else {"json": body}
        response = client.request(method, path, headers={"content-type": "application/json"}, **sent)
        assert response.status_code == status, (method, path, response.text)
    assert client.get(item).json()["data"]["pages"] == 413


def test_a_route_first_used_by_several_threads_is_built_once() -> None:
    routes = [route for route in book_router().routes if isinstance(route, GeneratedRoute) and route.include_in_schema]
    assert len(routes) == 11 and all("_unbuilt" in vars(route) for route in routes)  # five operations, upsert, five batch forms
    barrier = threading.Barrier(8)
    seen: list[Any] = []

    def first_use() -> None:
        barrier.wait()
        seen.append([(route.dependant, route.body_field, route.response_field) for route in routes])

    threads = [threading.Thread(target=first_use) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(seen) == 8 and all(parts == seen[0] for parts in seen)
    # A body for writes, and for the delete by key (its array of keys).
    assert [route.body_field is not None for route in routes] == [
        route.methods & {"POST", "PATCH", "PUT"} != set() or route.name == "delete_many_by_key" for route in routes
    ]
