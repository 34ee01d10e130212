"""What the controller registers: guards, switched-off operations, OpenAPI, schemas, databases."""

from __future__ import annotations

import warnings
from pathlib import Path
from typing import Any

import pytest
from fastapi import FastAPI
from fastapi.testclient import TestClient
from sqlalchemy import inspect
from sqlmodel import select

from generic_support import (
    BOOK,
    OPERATIONS,
    BATCH_SUMMARIES,
    SUMMARIES,
    UPSERT_SUMMARY,
    TABLES,
    Book,
    BookResponse,
    Tag,
    book_app,
    prepare_registry,
    public_configs,
    table_app,
)
from quorvalen_core.auth.auth_router import AuthRouter
from quorvalen_core.controller.generic_controller import GenericController
from quorvalen_core.controller.router_config import RouterConfig
from quorvalen_core.controller.table_controller import AuthController
from quorvalen_core.db import DatabaseRegistry

PREFIX = "/v1/library/book"
EMMA = {"title": "Emma", "pages": 474}
ROUTES = {
    "create": ("POST", PREFIX, EMMA),
    "update": ("PATCH", PREFIX + "/{id}", {"pages": 475}),
    "read": ("GET", PREFIX + "/{id}", None),
    "delete": ("DELETE", PREFIX + "/{id}", None),
    "query": ("GET", PREFIX, None),
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


@pytest.mark.parametrize("switched_off", OPERATIONS)
def test_a_switched_off_operation_has_no_route(registry: DatabaseRegistry, switched_off: str) -> None:
    app = book_app(**{f"{switched_off}_router": RouterConfig(enabled=False)})
    client = TestClient(app)
    book_id = TestClient(book_app()).post(PREFIX, json={"title": "Dune", "pages": 412}).json()["data"]["id"]
    # Each path keeps another operation, so the method is what is refused.
    assert call(client, switched_off, book_id).status_code == 405
    summaries = {op["summary"] for op in operations_of(app).values()}
    assert summaries == {SUMMARIES[key] for key in OPERATIONS if key != switched_off} | {
        summary for key, summaries in BATCH_SUMMARIES.items() if key != switched_off for summary in summaries
    } | ({UPSERT_SUMMARY} if switched_off not in ("create", "update") else set())
    for other in OPERATIONS:
        if other not in (switched_off, "delete"):
            assert call(client, other, book_id).status_code < 300, other


def test_openapi_documents_summaries_tags_ids_and_envelopes(registry: DatabaseRegistry) -> None:
    app = table_app(BOOK, {"model_class": Tag, "response_schema": Tag, "table_name": "tag"})
    operations = operations_of(app)
    schemas = app.openapi()["components"]["schemas"]
    book_ops = {key: operations[f"library_book_{key}"] for key in OPERATIONS}
    # Unique ids: none overwrote another.
    assert len(operations) == 2 * (len(OPERATIONS) + sum(map(len, BATCH_SUMMARIES.values())) + 1)
    for key, operation in book_ops.items():
        assert (operation["summary"], operation["tags"]) == (SUMMARIES[key], ["library.table"])
    routes = [(ROUTES[key][0].lower(), ROUTES[key][1]) for key in OPERATIONS]
    assert [(book_ops[key]["method"], book_ops[key]["path"]) for key in OPERATIONS] == routes
    assert set(book_ops["create"]["responses"]) >= {"201", "409", "422"}
    assert set(book_ops["read"]["responses"]) >= {"200", "404", "422"}
    # Each error status has a schema of its own, whose code is a constant.
    not_found = book_ops["read"]["responses"]["404"]["content"]["application/json"]["schema"]
    assert schemas[not_found["$ref"].rsplit("/", 1)[1]]["properties"]["code"]["const"] == "not_found"

    def schema_of(ref: str) -> dict[str, Any]:
        return schemas[ref.rsplit("/", 1)[1]]  # type: ignore[no-any-return]

    def success_schema(operation: dict[str, Any]) -> dict[str, Any]:
        success = operation["responses"]["201" if operation["method"] == "post" else "200"]
        return schema_of(success["content"]["application/json"]["schema"]["$ref"])

    for key in ("create", "read", "update", "delete"):
        envelope = success_schema(book_ops[key])
        assert set(envelope["properties"]) == {"code", "message", "data"}
        assert envelope["properties"]["data"]["$ref"].endswith("/BookResponse")
    page = schema_of(success_schema(book_ops["query"])["properties"]["data"]["$ref"])
    assert set(page["properties"]) == set(page["required"]) == {"items", "total", "offset", "limit", "has_more", "next_cursor"}
    # fields may leave out every field of an item but its primary key.
    item = schema_of(page["properties"]["items"]["items"]["$ref"])
    assert item["required"] == ["id"] and set(item["properties"]) == set(BookResponse.model_fields)
    parameters = {p["name"]: p for p in book_ops["query"]["parameters"]}
    assert set(parameters) == {"offset", "limit", "sort", "filter", "or", "total", "cursor", "fields"}
    assert "id, title, pages, rating, published, shelf_id" in parameters["fields"]["description"]
    assert parameters["limit"]["schema"]["maximum"] == 100
    sort_keys = schema_of(parameters["sort"]["schema"]["anyOf"][0]["items"]["$ref"])["enum"]
    assert {"title", "-title", "pages", "-pages"} <= set(sort_keys)
    assert "column:operator:value" in parameters["filter"]["description"]


@pytest.mark.parametrize("guarded", [set(OPERATIONS), {"create", "delete"}, set()])
def test_openapi_documents_401_and_403_on_guarded_operations_only(registry: DatabaseRegistry, guarded: set[str]) -> None:
    app = book_app(**{f"{key}_router": RouterConfig() for key in guarded})
    operations = operations_of(app)
    client = TestClient(app)
    for key in OPERATIONS:
        responses = operations[f"library_book_{key}"]["responses"]
        assert {"401", "403"} & set(responses) == ({"401", "403"} if key in guarded else set()), key
        answer = call(client, key)
        assert (answer.status_code == 401) == (key in guarded), key
        if key in guarded:
            # Documented as sent.
            assert list(responses["401"]["headers"]) == ["WWW-Authenticate"] and "WWW-Authenticate" in answer.headers
            assert responses["403"]["content"]["application/json"]["schema"]["$ref"].endswith("/PermissionDeniedAnswer")


def test_schemas_left_out_are_derived_and_settings_given_reach_the_route(registry: DatabaseRegistry) -> None:
    read = RouterConfig(auth=False, message="找到了", summary="Fetch a book", auth_obj="library.catalogue")
    app = table_app({"model_class": Book, "response_schema": BookResponse, "table_name": "book", "read_router": read})
    client = TestClient(app)
    assert client.post(PREFIX, json={"pages": 3}).status_code == 422  # title is required
    # The database assigns the key: a key in the body is no part of the schema.
    created = client.post(PREFIX, json={"id": 4242, **EMMA, "rating": 4.0})
    assert created.status_code == 201
    book = created.json()["data"]
    assert book["id"] != 4242
    assert client.patch(f"{PREFIX}/{book['id']}", json={"pages": 500}).json()["data"] == {**book, "pages": 500}
    # The derived update schema leaves the primary key to the path.
    client.patch(f"{PREFIX}/{book['id']}", json={"id": 77})
    assert client.get(f"{PREFIX}/{book['id']}").json()["message"] == "找到了"
    assert operations_of(app)["library_catalogue_read"]["summary"] == "Fetch a book"
    schemas = app.openapi()["components"]["schemas"]
    assert schemas["BookUpdate"].get("required", []) == [] and "id" not in schemas["BookUpdate"]["properties"]
    assert set(schemas["BookCreate"]["required"]) == {"title", "pages"}
    assert "id" not in schemas["BookCreate"]["properties"]
    assert schemas["BookCreate"]["properties"]["title"]["maxLength"] == 80


@pytest.mark.parametrize(
    ("model_class", "error", "message"),
    [(BookResponse, TypeError, "table=True")],
)
def test_models_the_controller_cannot_serve_are_refused(model_class: Any, error: Any, message: str) -> None:
    with pytest.raises(error, match=message):
        AuthController.create(model_class=model_class, response_schema=BookResponse, schema_name="s", table_name="t")


def test_one_settings_object_for_several_operations_warns_once(registry: DatabaseRegistry) -> None:
    shared = RouterConfig(auth=False)
    with pytest.warns(UserWarning) as records:
        app = book_app(create_router=shared, read_router=shared, query_router=shared)
    assert len(records) == 1
    assert "'create', 'read', 'query'" in str(records[0].message)
    # As the warning says: all three now carry the first operation's settings.
    assert shared.message == "创建成功" and shared.auth_act == "create"
    assert {op["summary"] for op in operations_of(app).values()} >= {"create - 创建"}
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        book_app()  # separate objects: no warning
        off = RouterConfig(enabled=False)
        book_app(update_router=off, delete_router=off)  # nothing merged into it


def test_direct_construction_completes_settings_and_derives_a_text_key_schema(registry: DatabaseRegistry) -> None:
    given = RouterConfig(auth=False)
    router = AuthRouter(prefix="/tags", tags=["t"], auth_obj="library.tag")
    GenericController(
        auth_router=router,
        model_class=Tag,
        read_router=given,
        create_router=RouterConfig(auth=False, message="added"),
        query_router=RouterConfig(auth=False),
        **{f"{key}_router": RouterConfig(enabled=False) for key in ("update", "delete")},
    )
    assert given == RouterConfig(auth=False)
    app = FastAPI()
    app.include_router(router)
    client = TestClient(app)
    created = client.post("/tags", json={"code": "sci-fi", "description": "Science fiction"})
    assert created.status_code == 201 and created.json()["message"] == "added"
    assert client.post("/tags", json={"code": "sci-fi"}).status_code == 409
    read = {"code": 0, "message": "获取成功", "data": {"code": "sci-fi", "description": "Science fiction"}}
    assert client.get("/tags/sci-fi").json() == read
    assert client.get("/tags", params={"filter": "code:like:sci%"}).json()["data"]["total"] == 1
    assert client.get("/tags/none").status_code == 404
    assert {op["summary"] for op in operations_of(app).values()} == {
        *(SUMMARIES[key] for key in ("create", "read", "query")), *BATCH_SUMMARIES["create"]
    }


def test_db_config_name_selects_the_named_database(registry: DatabaseRegistry, tmp_path: Path) -> None:
    registry.configure("archive", f"sqlite:///{tmp_path / 'archive.db'}")
    prepare_registry(registry, "archive")
    assert call(TestClient(book_app(db_config_name="archive")), "create").status_code == 201
    with registry.session("archive") as archive, registry.session() as default:
        assert [book.title for book in archive.exec(select(Book))] == ["Emma"]
        assert default.exec(select(Book)).all() == []


@pytest.mark.parametrize("db_config_name", [None, "archive"])
def test_create_tables_creates_published_and_referenced_tables_where_missing(
    registry: DatabaseRegistry, tmp_path: Path, db_config_name: str | None
) -> None:
    registry.configure("archive", f"sqlite:///{tmp_path / 'archive.db'}")
    engine = registry.engine(db_config_name)
    TABLES[0].metadata.drop_all(engine, tables=TABLES)
    router = AuthController.create(**BOOK, schema_name="library", db_config_name=db_config_name, **public_configs())
    router.create_tables()
    # Book refers to Shelf; Tag is published by no router here.
    assert {"generic_book", "generic_shelf"} <= set(inspect(engine).get_table_names())
    assert "generic_tag" not in inspect(engine).get_table_names()
    app = FastAPI()
    app.include_router(router)
    client = TestClient(app)
    assert call(client, "create").status_code == 201
    router.create_tables()  # existing tables and their rows stay as they are
    assert client.get(PREFIX).json()["data"]["total"] == 1
