"""Tables the generic-controller tests publish, and the applications publishing them."""

from __future__ import annotations

from datetime import date
from typing import Any

from fastapi import FastAPI
from fastapi.testclient import TestClient
from sqlmodel import Field, Session

from quorvalen_core.web.operations import BATCH_FORMS, BY_KEYS_FORMS, UPSERT
from quorvalen_core.web.operations import OPERATIONS as OPERATION_TABLE
from quorvalen_core.controller.router_config import RouterConfig
from quorvalen_core.controller.table_controller import AuthController
from quorvalen_core.web.sessions import database_session
from quorvalen_core.db import DatabaseRegistry
from quorvalen_core.type.var import SQLModelCreate, SQLModelDB, SQLModelResponse, SQLModelUpdate

OPERATIONS = tuple(operation.key for operation in OPERATION_TABLE)
SUMMARIES = {operation.key: operation.summary for operation in OPERATION_TABLE}
# The batch forms each of create, update and delete brings, on while it is:
# by array or filter, and the update's and delete's by key.
BY_KEYS = dict(BY_KEYS_FORMS)
BATCH_SUMMARIES = {
    single.key: {batch.summary, *((BY_KEYS[batch].summary,) if batch in BY_KEYS else ())} for single, batch in BATCH_FORMS
}
# PUT {prefix}/{id}, on while create and update are.
UPSERT_SUMMARY = UPSERT.summary


class Shelf(SQLModelDB, table=True):
    __tablename__ = "generic_shelf"

    id: int | None = Field(default=None, primary_key=True)
    label: str = Field(max_length=40, unique=True)


class Book(SQLModelDB, table=True):
    __tablename__ = "generic_book"

    id: int | None = Field(default=None, primary_key=True)
    title: str = Field(max_length=80, unique=True)
    pages: int = Field(ge=1)
    rating: float | None = None
    published: date | None = None
    shelf_id: int | None = Field(default=None, foreign_key="generic_shelf.id")


class BookCreate(SQLModelCreate):
    title: str
    pages: int
    rating: float | None = None
    published: date | None = None
    shelf_id: int | None = None


class BookUpdate(SQLModelUpdate):
    title: str | None = None
    pages: int | None = None
    rating: float | None = None
    published: date | None = None
    shelf_id: int | None = None


class BookResponse(SQLModelResponse):
    id: int
    title: str
    pages: int
    rating: float | None
    published: date | None
    shelf_id: int | None


class Tag(SQLModelDB, table=True):
    """A table whose primary key is text chosen by the client."""

    __tablename__ = "generic_tag"

    code: str = Field(primary_key=True, max_length=16)
    description: str = ""


class Edition(SQLModelDB, table=True):
    __tablename__ = "generic_edition"

    book_id: int = Field(primary_key=True)
    number: int = Field(primary_key=True)


TABLES = [Shelf.__table__, Book.__table__, Tag.__table__]


def prepare_registry(registry: DatabaseRegistry, name: str | None = None) -> None:
    engine = registry.engine(name)
    TABLES[0].metadata.drop_all(engine, tables=TABLES)
    TABLES[0].metadata.create_all(engine, tables=TABLES)


def public_configs(**overrides: RouterConfig | None) -> dict[str, RouterConfig | None]:
    """Route settings making every operation public, with per-operation overrides."""
    configs: dict[str, RouterConfig | None] = {f"{key}_router": RouterConfig(auth=False) for key in OPERATIONS}
    configs.update({f"{key}_router": value for key, value in overrides.items()})
    return configs


def table_app(*tables: dict[str, Any]) -> FastAPI:
    """An application publishing each table (AuthController.create arguments; public by default)."""
    app = FastAPI()
    for arguments in tables:
        app.include_router(AuthController.create(**{"schema_name": "library", **public_configs(), **arguments}))
    return app


BOOK = {
    "model_class": Book,
    "create_schema": BookCreate,
    "update_schema": BookUpdate,
    "response_schema": BookResponse,
    "table_name": "book",
}


def book_app(**create_kwargs: Any) -> FastAPI:
    return table_app({**BOOK, **create_kwargs})


class SharedSessionRegistry(DatabaseRegistry):
    """Hands every request of an application the same session, as one sharing a session would."""

    def __init__(self, url: str) -> None:
        super().__init__(default_url=url)
        self.shared: Session | None = None

    def shared_session(self) -> Session:
        if self.shared is None:
            self.shared = Session(self.engine())
        return self.shared

    def serving(self, app: FastAPI) -> FastAPI:
        """``app`` with its endpoints' session replaced, as FastAPI lets an application replace a dependency."""
        app.dependency_overrides[database_session] = self.shared_session
        return app


BOOK_PREFIX = "/v1/library/book"
BOOKS = [
    {"title": "Anna Karenina", "pages": 864, "rating": 4.1, "published": "1878-01-01"},
    {"title": "Beloved", "pages": 324, "rating": 3.9, "published": "1987-09-02"},
    {"title": "Candide", "pages": 129, "rating": 3.8, "published": None},
    {"title": "Dracula", "pages": 418, "rating": 4.0, "published": "1897-05-26"},
    {"title": "Emma", "pages": 474, "rating": 4.0, "published": "1815-12-23"},
    {"title": "anna's diary", "pages": 129, "rating": None, "published": None},
]
# Inserted in an order that differs from every sort key of the tests.
BOOKS_INSERTION_ORDER = (3, 0, 5, 2, 4, 1)


def add_books(registry: DatabaseRegistry, books: list[dict[str, Any]]) -> None:
    """Rows written beside the API, as another program would."""
    with registry.session() as session:
        for book in books:
            session.add(Book.model_validate(book))
        session.commit()


def query(client: TestClient, path: str = BOOK_PREFIX, **params: Any) -> dict[str, Any]:
    """The page a query answers with; fails unless it succeeds."""
    response = client.get(path, params=params)
    assert response.status_code == 200, response.text
    assert (response.json()["code"], response.json()["message"]) == (0, "查询成功")
    return response.json()["data"]  # type: ignore[no-any-return]


def titles(page: dict[str, Any]) -> list[str]:
    return [item["title"] for item in page["items"]]
