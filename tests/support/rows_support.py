"""Tables with row options for the row tests, and the application publishing them.

``shop.order`` rows belong to users (``owner``), carry server-set times and
subjects, delete softly, and embed their customer (many-to-one) and at most
two of their lines (one-to-many).  ``shop.customer`` rows belong to users
too; ``shop.line`` has a composite primary key; ``shop.ticket`` rows belong
to teams (roles starting with ``team:``); ``shop.note`` is public, deletes
softly and embeds orders and customers.  The router's default role is
``shop``.
"""


from datetime import datetime
from typing import Any

from fastapi import FastAPI
from sqlmodel import Field, Relationship

from quorvalen_core.controller.router_config import RouterConfig
from quorvalen_core.controller.table_controller import AuthController
from quorvalen_core.rows.history import history_model_of
from quorvalen_core.rows.table_options import Includable, TableOptions, live_unique_index
from served_shop import ServedShop
from quorvalen_core.type.var import SQLModelCreate, SQLModelDB, SQLModelResponse, SQLModelUpdate

SECRET_KEY = "row-tests-secret-0123456789abcdefghijklmn"
ORDERS = "/v1/shop/order"
CUSTOMERS = "/v1/shop/customer"
LINES = "/v1/shop/line"
TICKETS = "/v1/shop/ticket"
NOTES = "/v1/shop/note"


class CustomerResponse(SQLModelResponse):
    id: int
    name: str
    owner: str


class RowCustomer(SQLModelDB, table=True):
    __tablename__ = "rows_customer"
    __table_options__ = TableOptions(owner="owner", deleted_at="deleted_at", history=True)

    id: int | None = Field(default=None, primary_key=True)
    name: str = Field(max_length=40)
    owner: str = Field(default="", max_length=64, index=True)
    deleted_at: datetime | None = None


class LineResponse(SQLModelResponse):
    order_id: int
    line_no: int
    item: str


class RowLine(SQLModelDB, table=True):
    __tablename__ = "rows_line"

    order_id: int = Field(foreign_key="rows_order.id", primary_key=True)
    line_no: int = Field(primary_key=True)
    item: str = Field(max_length=40)


class RowOrder(SQLModelDB, table=True):
    __tablename__ = "rows_order"
    __table_args__ = (live_unique_index("uq_rows_order_number_live", "owner", "number"),)
    __table_options__ = TableOptions(
        owner="owner",
        created_at="created_at",
        updated_at="updated_at",
        created_by="created_by",
        updated_by="updated_by",
        deleted_at="deleted_at",
        includes=(
            Includable(relation="customer", schema=CustomerResponse, auth_obj="shop.customer"),
            Includable(relation="lines", schema=LineResponse, auth_obj="shop.line", max_items=2),
        ),
    )

    id: int | None = Field(default=None, primary_key=True)
    number: str = Field(max_length=20)
    total: int = Field(default=0, ge=0)
    customer_id: int | None = Field(default=None, foreign_key="rows_customer.id")
    owner: str = Field(default="", max_length=64, index=True)
    created_at: datetime | None = None
    updated_at: datetime | None = None
    created_by: str | None = None
    updated_by: str | None = None
    deleted_at: datetime | None = None

    customer: RowCustomer | None = Relationship()
    lines: list[RowLine] = Relationship()


class OrderResponse(SQLModelResponse):
    id: int
    number: str
    total: int
    customer_id: int | None
    owner: str
    created_at: datetime | None
    updated_at: datetime | None
    created_by: str | None
    updated_by: str | None
    deleted_at: datetime | None


class OrderCreate(SQLModelCreate):
    """Carries the server-set fields too: what a client sends for them is ignored."""

    number: str
    total: int = 0
    customer_id: int | None = None
    owner: str | None = None
    created_by: str | None = None
    created_at: datetime | None = None
    deleted_at: datetime | None = None


class OrderUpdate(SQLModelUpdate):
    number: str | None = None
    total: int | None = None
    customer_id: int | None = None
    owner: str | None = None
    updated_by: str | None = None
    deleted_at: datetime | None = None


class RowTicket(SQLModelDB, table=True):
    __tablename__ = "rows_ticket"
    __table_options__ = TableOptions(owner="team", owner_kind="team", team_prefix="team:")

    id: int | None = Field(default=None, primary_key=True)
    title: str = Field(max_length=40)
    team: str = Field(default="", max_length=64, index=True)


class RowNote(SQLModelDB, table=True):
    """A public table that deletes softly and embeds rows of guarded, owned tables."""

    __tablename__ = "rows_note"
    __table_options__ = TableOptions(
        deleted_at="deleted_at",
        includes=(
            Includable(relation="order", schema=OrderResponse, auth_obj=None),
            Includable(relation="customer", schema=CustomerResponse, auth_obj="shop.customer"),
        ),
    )

    id: int | None = Field(default=None, primary_key=True)
    text: str = Field(max_length=80)
    order_id: int | None = Field(default=None, foreign_key="rows_order.id")
    customer_id: int | None = Field(default=None, foreign_key="rows_customer.id")
    deleted_at: datetime | None = None

    order: RowOrder | None = Relationship()
    customer: RowCustomer | None = Relationship()


TABLES = [
    RowCustomer.__table__,  # type: ignore[attr-defined]
    history_model_of(RowCustomer).__table__,
    RowOrder.__table__,  # type: ignore[attr-defined]
    RowLine.__table__,  # type: ignore[attr-defined]
    RowTicket.__table__,  # type: ignore[attr-defined]
    RowNote.__table__,  # type: ignore[attr-defined]
]
PUBLIC = {f"{operation}_router": RouterConfig(auth=False) for operation in ("create", "read", "update", "delete", "query")}


def shop_app() -> FastAPI:
    app = FastAPI()
    tables: list[dict[str, Any]] = [
        {"model_class": RowOrder, "create_schema": OrderCreate, "update_schema": OrderUpdate,
         "response_schema": OrderResponse, "table_name": "order"},
        {"model_class": RowCustomer, "response_schema": CustomerResponse, "table_name": "customer"},
        {"model_class": RowLine, "response_schema": LineResponse, "table_name": "line"},
        {"model_class": RowTicket, "response_schema": RowTicket, "table_name": "ticket"},
        {"model_class": RowNote, "response_schema": RowNote, "table_name": "note", **PUBLIC},
    ]
    for arguments in tables:
        app.include_router(AuthController.create(schema_name="shop", **arguments))
    return app


class Shop(ServedShop):
    """The shop application served."""
