"""Base types for a table model and its create, update and response schemas.

Application models derive from these::

    class Invoice(SQLModelDB, table=True):
        id: int | None = Field(default=None, primary_key=True)
        total: int

    class InvoiceCreate(SQLModelCreate):
        total: int

    class InvoiceUpdate(SQLModelUpdate):
        total: int | None = None

    class InvoiceResponse(SQLModelResponse):
        id: int
        total: int
"""

from __future__ import annotations

from sqlmodel import SQLModel


class SQLModelDB(SQLModel):
    """Base of table models (declare subclasses with ``table=True``)."""


class SQLModelCreate(SQLModel):
    """Base of the request body accepted by the create operation."""


class SQLModelUpdate(SQLModel):
    """Base of the request body accepted by the (partial) update operation."""


class SQLModelResponse(SQLModel):
    """Base of the schema in which rows are returned to clients."""
