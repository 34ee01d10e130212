"""What the controller registers: guards, switched-off operations, OpenAPI, schemas, databases."""

from __future__ import annotations

import warnings
from typing import Any

import pytest
from fastapi import FastAPI
from fastapi.testclient import TestClient
from sqlmodel import select

from generic_models import Book, BookResponse, Edition, Tag
from generic_support import OPERATIONS, book_app, prepare_registry, public_configs
from quorvalen_core.auth import AuthService, AuthSettings, set_auth_service
from quorvalen_core.auth.auth_router import AuthRouter
from quorvalen_core.controller.generic_controller import GenericController
from quorvalen_core.controller.router_config import RouterConfig
from quorvalen_core.controller.table_controller import AuthController
from quorvalen_core.db import DatabaseRegistry

PREFIX = "/v1/library/book"
ROUTES = {
    "create": ("POST", PREFIX, {"title": "Emma", "pages": 474}),
    "update": ("PATCH", PREFIX + "/{id}", {"pages": 475}),
    "read": ("GET", PREFIX + "/{id}", None),
    "delete": ("DELETE", PREFIX + "/{id}", None),
    "query": ("GET", PREFIX, None),
}
SUMMARIES = {
    "create": "create - 创建",
    "update": "update - 更新",
    "read": "read - 读取 ",
    "delete": "delete - 删除",
    "query": "query - 查询",
}


def call(client: TestClient, operation: str, row_id: int = 1) -> Any:
    method, path, body = ROUTES[operation]
    return client.request(method, path.format(id=row_id), json=body)


def operations_of(app: FastAPI) -> dict[str, dict[str, Any]]:
    """OpenAPI operations keyed by operation id."""
    return {
        operation["operationId"]: {**operation, "method": method, "path": path}
        for path, item in app.openapi()["paths"].items()
        for method, operation in item.items()
    }


def test_operations_are_guarded_unless_settings_make_them_public(
    registry: DatabaseRegistry,
) -> None:
    service = AuthService(
        settings=AuthSettings(secret_key="generic-tests-secret-0123456789abcdef"), databases=registry
    )
    previous = set_auth_service(service)
    try:
        service.policies().assign_role("librarian", "library")  # the router's default role
        guarded: dict[str, Any] = {f"{key}_router": None for key in OPERATIONS}
        app = book_app(**{**guarded, "query_router": RouterConfig(auth=False)})
        client = TestClient(app)
        assert call(client, "create").status_code == 401
        assert call(client, "query").status_code == 200
        stranger = {"Authorization": f"Bearer {service.create_access_token('stranger')}"}
        assert client.post(PREFIX, json={"title": "Emma", "pages": 474}, headers=stranger).status_code == 403
        librarian = {"Authorization": f"Bearer {service.create_access_token('librarian')}"}
        created = client.post(PREFIX, json={"title": "Emma", "pages": 474}, headers=librarian)
        assert created.status_code == 201
        book_id = created.json()["data"]["id"]
        assert client.get(f"{PREFIX}/{book_id}").status_code == 401
        assert client.get(f"{PREFIX}/{book_id}", headers=librarian).json()["data"]["title"] == "Emma"
    finally:
        set_auth_service(previous)


@pytest.mark.parametrize("switched_off", OPERATIONS)
def test_a_switched_off_operation_has_no_route(registry: DatabaseRegistry, switched_off: str) -> None:
    app = book_app(**{f"{switched_off}_router": RouterConfig(enabled=False)})
    client = TestClient(app)
    with registry.session() as session:  # a row for the item routes to find
        book = Book(title="Dune", pages=412)
        session.add(book)
        session.commit()
        book_id = book.id
    assert book_id is not None
    # Each path keeps another operation, so the method is what is refused.
    assert call(client, switched_off, book_id).status_code == 405
    assert {op["summary"] for op in operations_of(app).values()} == {
        SUMMARIES[key] for key in OPERATIONS if key != switched_off
    }
    for other in OPERATIONS:
        if other not in (switched_off, "delete"):
            assert call(client, other, book_id).status_code < 300, other


def test_openapi_documents_summaries_tags_ids_and_envelopes(registry: DatabaseRegistry) -> None:
    app = book_app()
    app.include_router(
        AuthController.create(
            model_class=Tag, response_schema=Tag, schema_name="library", table_name="tag", **public_configs()
        )
    )
    operations = operations_of(app)
    book_ops = {key: operations[f"library_book_{key}"] for key in OPERATIONS}
    assert len(operations) == 10  # unique ids: none overwrote another
    for key, operation in book_ops.items():
        assert operation["summary"] == SUMMARIES[key]
        assert operation["tags"] == ["library.table"]
    assert (book_ops["create"]["method"], book_ops["create"]["path"]) == ("post", PREFIX)
    assert (book_ops["update"]["method"], book_ops["update"]["path"]) == ("patch", PREFIX + "/{id}")
    assert set(book_ops["create"]["responses"]) >= {"201", "409", "422"}
    assert set(book_ops["read"]["responses"]) >= {"200", "404", "422"}
    not_found = book_ops["read"]["responses"]["404"]["content"]["application/json"]["schema"]
    assert not_found["$ref"].endswith("/ErrorDetail")

    schemas = app.openapi()["components"]["schemas"]

    def success_schema(operation: dict[str, Any]) -> dict[str, Any]:
        success = operation["responses"]["201" if operation["method"] == "post" else "200"]
        ref = success["content"]["application/json"]["schema"]["$ref"]
        resolved: dict[str, Any] = schemas[ref.rsplit("/", 1)[1]]
        return resolved

    for key in ("create", "read", "update", "delete"):
        envelope = success_schema(book_ops[key])
        assert set(envelope["properties"]) == {"code", "message", "data"}
        assert envelope["properties"]["data"]["$ref"].endswith("/BookResponse")
    page_ref = success_schema(book_ops["query"])["properties"]["data"]["$ref"]
    page = schemas[page_ref.rsplit("/", 1)[1]]
    assert set(page["properties"]) == {"items", "total", "offset", "limit"}
    assert page["properties"]["items"]["items"]["$ref"].endswith("/BookResponse")

    parameters = {p["name"]: p for p in book_ops["query"]["parameters"]}
    assert set(parameters) == {"offset", "limit", "sort", "filter"}
    assert parameters["limit"]["schema"]["maximum"] == 100
    sort_ref = parameters["sort"]["schema"]["anyOf"][0]["items"]["$ref"]
    assert {"title", "-title", "pages", "-pages"} <= set(schemas[sort_ref.rsplit("/", 1)[1]]["enum"])
    assert "column:operator:value" in parameters["filter"]["description"]


def test_operation_settings_reach_the_route(registry: DatabaseRegistry) -> None:
    app = book_app(
        read_router=RouterConfig(auth=False, message="找到了", summary="Fetch a book", auth_obj="library.catalogue")
    )
    client = TestClient(app)
    book_id = client.post(PREFIX, json={"title": "Emma", "pages": 474}).json()["data"]["id"]
    assert client.get(f"{PREFIX}/{book_id}").json()["message"] == "找到了"
    assert operations_of(app)["library_catalogue_read"]["summary"] == "Fetch a book"


def test_schemas_left_out_are_derived_from_the_model(registry: DatabaseRegistry) -> None:
    app = FastAPI()
    app.include_router(
        AuthController.create(
            model_class=Book, response_schema=BookResponse, schema_name="library", table_name="book", **public_configs()
        )
    )
    client = TestClient(app)
    assert client.post(PREFIX, json={"pages": 3}).status_code == 422  # title is required
    # The database assigns the key: a key in the body is no part of the schema.
    created = client.post(PREFIX, json={"id": 4242, "title": "Emma", "pages": 474, "rating": 4.0})
    assert created.status_code == 201
    book = created.json()["data"]
    assert book["id"] != 4242
    patched = client.patch(f"{PREFIX}/{book['id']}", json={"pages": 500})
    assert patched.json()["data"] == {**book, "pages": 500}
    # The derived update schema leaves the primary key to the path.
    client.patch(f"{PREFIX}/{book['id']}", json={"id": 77})
    assert client.get(f"{PREFIX}/{book['id']}").status_code == 200

    schemas = app.openapi()["components"]["schemas"]
    assert schemas["BookUpdate"].get("required", []) == []
    assert "id" not in schemas["BookUpdate"]["properties"]
    assert set(schemas["BookCreate"]["required"]) == {"title", "pages"}
    assert "id" not in schemas["BookCreate"]["properties"]
    assert schemas["BookCreate"]["properties"]["title"]["maxLength"] == 80


def test_a_response_schema_can_be_derived_for_a_text_primary_key(registry: DatabaseRegistry) -> None:
    router = AuthRouter(prefix="/tags", tags=["t"], auth_obj="library.tag")
    GenericController(auth_router=router, model_class=Tag, **public_configs())
    app = FastAPI()
    app.include_router(router)
    client = TestClient(app)
    assert client.post("/tags", json={"code": "sci-fi", "description": "Science fiction"}).status_code == 201
    assert client.post("/tags", json={"code": "sci-fi"}).status_code == 409
    assert client.get("/tags/sci-fi").json()["data"] == {"code": "sci-fi", "description": "Science fiction"}
    assert client.get("/tags", params={"filter": "code:like:sci%"}).json()["data"]["total"] == 1
    assert client.get("/tags/none").status_code == 404


@pytest.mark.parametrize(
    ("model_class", "error", "message"),
    [
        (Edition, ValueError, "composite primary key"),
        (BookResponse, TypeError, "table=True"),
    ],
)
def test_models_the_controller_cannot_serve_are_refused(
    model_class: type[Any], error: type[Exception], message: str
) -> None:
    with pytest.raises(error, match=message):
        AuthController.create(model_class=model_class, response_schema=BookResponse, schema_name="s", table_name="t")


def test_one_settings_object_for_several_operations_warns_once(registry: DatabaseRegistry) -> None:
    shared = RouterConfig(auth=False)
    with pytest.warns(UserWarning) as records:
        app = book_app(create_router=shared, read_router=shared, query_router=shared)
    assert len(records) == 1
    text = str(records[0].message)
    assert "'create', 'read', 'query'" in text and "'create'" in text
    # As the warning says: all three now carry the first operation's settings.
    assert shared.message == "创建成功" and shared.auth_act == "create"
    assert {op["summary"] for op in operations_of(app).values()} >= {"create - 创建"}
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        book_app()  # separate objects: no warning
        off = RouterConfig(enabled=False)
        book_app(update_router=off, delete_router=off)  # nothing merged into it


def test_direct_construction_completes_settings_without_changing_them(registry: DatabaseRegistry) -> None:
    given = RouterConfig(auth=False)
    router = AuthRouter(prefix="/books", auth_obj="library.book")
    GenericController(
        auth_router=router,
        model_class=Book,
        read_router=given,
        create_router=RouterConfig(auth=False, message="added"),
        query_router=RouterConfig(enabled=False),
        update_router=RouterConfig(enabled=False),
        delete_router=RouterConfig(enabled=False),
    )
    assert given == RouterConfig(auth=False)
    app = FastAPI()
    app.include_router(router)
    client = TestClient(app)
    created = client.post("/books", json={"title": "Emma", "pages": 474})
    assert created.json()["message"] == "added"
    assert client.get(f"/books/{created.json()['data']['id']}").json()["message"] == "获取成功"
    assert {op["summary"] for op in operations_of(app).values()} == {"create - 创建", "read - 读取 "}


def test_db_config_name_selects_the_named_database(registry: DatabaseRegistry, tmp_path: Any) -> None:
    registry.configure("archive", f"sqlite:///{tmp_path / 'archive.db'}")
    prepare_registry(registry, "archive")
    client = TestClient(book_app(db_config_name="archive"))
    created = client.post(PREFIX, json={"title": "Emma", "pages": 474})
    assert created.status_code == 201
    with registry.session("archive") as archive, registry.session() as default:
        assert [book.title for book in archive.exec(select(Book))] == ["Emma"]
        assert default.exec(select(Book)).all() == []
