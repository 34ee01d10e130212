"""Base types for a table model and its create, update and response schemas.

A published table is described by up to four classes, each derived from one
of the bases below and handed to ``AuthController.create``:

======================  ======================  ======================================
base                    argument of ``create``  what it is
======================  ======================  ======================================
``SQLModelDB``          ``model_class``         the table itself (``table=True``):
                                                columns, primary key, constraints
``SQLModelCreate``      ``create_schema``       the body a client sends to create a row
``SQLModelUpdate``      ``update_schema``       the body of a partial update: every
                                                field optional, only those sent change
``SQLModelResponse``    ``response_schema``     what a client gets back for a row
======================  ======================  ======================================

``model_class`` and ``response_schema`` are required; without a
``create_schema`` or ``update_schema`` the controller derives one from the
table model.  The schemas are what clients see, so leave out of them what a
client must not set (a generated primary key, an owner column filled in by the
server) or must not read (a password hash)::

    from sqlmodel import Field

    class Invoice(SQLModelDB, table=True):
        id: int | None = Field(default=None, primary_key=True)
        customer: str = Field(index=True, max_length=80)
        total: int = Field(ge=0)

    class InvoiceCreate(SQLModelCreate):
        customer: str = Field(max_length=80)
        total: int = Field(ge=0)

    class InvoiceUpdate(SQLModelUpdate):
        customer: str | None = Field(default=None, max_length=80)
        total: int | None = Field(default=None, ge=0)

    class InvoiceResponse(SQLModelResponse):
        id: int
        customer: str
        total: int

All four are SQLModel classes, hence Pydantic v2 models: validation,
serialisation and the OpenAPI schema come from their fields.  The bases add
no fields or behaviour of their own; they mark each class's role, so that
type checkers and readers can tell a table from a request or response body.
The three schema bases only validate as Pydantic's own models do, many rows
in one call without running Python code per row (see :class:`_Schema`).
"""

from __future__ import annotations

from typing import Any

from sqlmodel import SQLModel


def _is_table(cls: type[SQLModel]) -> bool:
    return bool(cls.model_config.get("table", False))


class _Schema(SQLModel):
    """A SQLModel that is no table: built by Pydantic alone.

    SQLModel gives every model an ``__init__`` and a ``__new__`` of its own,
    which a table's instrumentation needs.  Pydantic calls a model's own
    ``__init__`` for every nested instance it validates (each row of a page
    or of a batch), where a plain model is built without Python code: a
    schema validates the same values into the same instances with
    Pydantic's, two to three times as fast.
    """

    def __new__(cls, *args: Any, **kwargs: Any) -> Any:
        if _is_table(cls):  # a table declared on a schema base: SQLModel's own
            return super().__new__(cls, *args, **kwargs)
        return object.__new__(cls)

    def __init__(self, /, **data: Any) -> None:
        if _is_table(type(self)):
            super().__init__(**data)
            return
        self.__pydantic_validator__.validate_python(data, self_instance=self)

    # Pydantic's mark of its own __init__: nested instances are then built without it.
    __init__.__pydantic_base_init__ = True  # type: ignore[attr-defined]


class SQLModelDB(SQLModel):
    """Base of table models (declare subclasses with ``table=True``)."""


class SQLModelCreate(_Schema):
    """Base of the request body accepted by the create operation."""


class SQLModelUpdate(_Schema):
    """Base of the request body accepted by the (partial) update operation."""


class SQLModelResponse(_Schema):
    """Base of the schema in which rows are returned to clients."""
