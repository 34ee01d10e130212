"""Tables the generic-controller tests publish."""

from __future__ import annotations

from datetime import date

from sqlmodel import Field

from quorvalen_core.type.var import SQLModelCreate, SQLModelDB, SQLModelResponse, SQLModelUpdate


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
