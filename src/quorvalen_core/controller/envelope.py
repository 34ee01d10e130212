"""The body of every successful response, and the page of a query."""

from __future__ import annotations

from typing import Any, Generic, TypeVar

from pydantic import BaseModel, Field

DataT = TypeVar("DataT")
ItemT = TypeVar("ItemT")


class Envelope(BaseModel, Generic[DataT]):
    """``{"code": 0, "message": ..., "data": ...}``: a successful operation's result."""

    code: int = Field(default=0, description="0 for success.")
    message: str = Field(description="The operation's success message.")
    data: DataT


class Page(BaseModel, Generic[ItemT]):
    """One page of a query's rows, with the number of rows matching the query."""

    items: list[ItemT]
    total: int = Field(description="Rows matching the filters, over all pages.")
    offset: int = Field(description="Rows skipped before this page.")
    limit: int = Field(description="Largest number of rows a page holds.")


class ErrorDetail(BaseModel):
    """FastAPI's form of an error: ``{"detail": ...}``."""

    detail: str


def error_response(description: str, *, declares_model: bool = False) -> dict[str, Any]:
    """An OpenAPI response of a route answering ``{"detail": ...}``.

    FastAPI builds a validating field for every response given a model, on
    every route and again when a router is included.  An error body is never
    validated, so only one response of each route declares the model (which
    puts :class:`ErrorDetail` among the document's schemas); the others refer
    to that schema directly.
    """
    if declares_model:
        return {"model": ErrorDetail, "description": description}
    return {"description": description, "content": {"application/json": {"schema": {"$ref": ERROR_DETAIL_REF}}}}


ERROR_DETAIL_REF = f"#/components/schemas/{ErrorDetail.__name__}"
