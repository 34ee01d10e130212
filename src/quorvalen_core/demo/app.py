"""The demo application: a shop's products and its customers' orders, with users, roles and tokens.

``build_app()`` is the whole application; ``seed()`` creates the tables, a few
products and orders, the users and their roles, and returns an access token
per user.

Orders belong to the user who placed them (an owner column): a caller sees
and changes only its own orders, unless it may act on every order.  Orders
keep a history: every change made through the API, with who made it and the
values before (``GET /v1/shop/order/{id}/history``).

Users:

- ``alice``, member of the role ``shop`` (the routers' default role: every
  operation on ``shop.product`` and ``shop.order``, on every order);
- ``bob``, member of ``shop_viewer``, which may read and query products, and
  of ``shop_customer``, which may place, read, change, cancel and list orders
  and read their history: his own only.
"""

# No "from __future__ import annotations": SQLModel reads a relationship's
# target from its annotation, which must then be a type, not a string.
from dataclasses import dataclass
from datetime import datetime

from fastapi import FastAPI
from sqlmodel import Field, Relationship, SQLModel, select

from ..access.service import AuthService
from ..web.router_config import RouterConfig
from ..controller.table_controller import AuthController
from ..rows.history import history_model_of
from ..rows.table_options import Includable, TableOptions
from ..db.registry import DatabaseRegistry
from ..docs import serve_docs_offline
from ..type.var import SQLModelDB, SQLModelResponse

SCHEMA_NAME = "shop"
TABLE_NAME = "product"
PERMISSION_OBJECT = f"{SCHEMA_NAME}.{TABLE_NAME}"
ORDER_OBJECT = f"{SCHEMA_NAME}.order"
VIEWER_ROLE = "shop_viewer"
CUSTOMER_ROLE = "shop_customer"


class Product(SQLModelDB, table=True):
    """A product of the shop."""

    __tablename__ = "demo_product"

    id: int | None = Field(default=None, primary_key=True)
    sku: str = Field(max_length=32, min_length=1, unique=True, description="Stock-keeping unit.")
    name: str = Field(max_length=120)
    # In cents: an integer states exactly what a client may send.
    price: int = Field(ge=0, le=100_000_000, description="Price in cents.")
    stock: int = Field(default=0, ge=0, le=1_000_000)


class ProductResponse(SQLModelResponse):
    id: int
    sku: str
    name: str
    price: int
    stock: int


class Order(SQLModelDB, table=True):
    """An order of one product, owned by the user who placed it."""

    __tablename__ = "demo_order"
    __table_options__ = TableOptions(
        owner="customer",
        created_at="created_at",
        updated_by="updated_by",
        deleted_at="cancelled_at",
        includes=(Includable(relation="product", schema=ProductResponse, auth_obj=PERMISSION_OBJECT),),
        history=True,
    )

    id: int | None = Field(default=None, primary_key=True)
    product_id: int = Field(foreign_key="demo_product.id")
    quantity: int = Field(default=1, ge=1)
    customer: str = Field(default="", max_length=64, index=True, description="Who placed the order (set by the server).")
    created_at: datetime | None = None
    updated_by: str | None = Field(default=None, max_length=64)
    cancelled_at: datetime | None = None

    product: Product | None = Relationship()


class OrderResponse(SQLModelResponse):
    id: int
    product_id: int
    quantity: int
    customer: str
    created_at: datetime | None
    updated_by: str | None
    cancelled_at: datetime | None


PRODUCTS: tuple[dict[str, object], ...] = (
    {"sku": "TEA-001", "name": "Green tea", "price": 450, "stock": 120},
    {"sku": "TEA-002", "name": "Oolong tea", "price": 720, "stock": 40},
    {"sku": "CUP-001", "name": "Porcelain cup", "price": 1200, "stock": 15},
    {"sku": "POT-001", "name": "Clay teapot", "price": 3800, "stock": 3},
)

# (customer, product id, quantity): two of bob's orders, one of carol's.
ORDERS: tuple[tuple[str, int, int], ...] = (("bob", 1, 2), ("bob", 3, 4), ("carol", 4, 1))


def build_app() -> FastAPI:
    """The demo's FastAPI application (OpenAPI docs at /docs and /redoc, served offline)."""
    app = FastAPI(
        title="quorvalen_core demo shop",
        description=(
            "Two tables published with `AuthController.create`. Use **Authorize** with "
            "a token the demo printed: alice may do everything, on every order; bob may read "
            "and query products, and place and see orders and their history: his own only."
        ),
    )
    serve_docs_offline(app)
    app.include_router(
        AuthController.create(
            model_class=Product,
            response_schema=ProductResponse,
            schema_name=SCHEMA_NAME,
            table_name=TABLE_NAME,
            read_router=RouterConfig(message="商品获取成功"),
        )
    )
    app.include_router(
        AuthController.create(
            model_class=Order,
            response_schema=OrderResponse,
            schema_name=SCHEMA_NAME,
            table_name="order",
        )
    )
    return app


@dataclass(frozen=True)
class DemoUser:
    name: str
    role: str
    token: str


def seed(databases: DatabaseRegistry, service: AuthService) -> list[DemoUser]:
    """Create the tables, products (once), roles and users; return users with tokens."""
    engine = databases.engine()
    tables = [Product.__table__, Order.__table__, history_model_of(Order).__table__]  # type: ignore[attr-defined]
    SQLModel.metadata.create_all(engine, tables=tables)
    with databases.session() as session:
        if session.exec(select(Product)).first() is None:
            session.add_all(Product.model_validate(product) for product in PRODUCTS)
            session.commit()
        if session.exec(select(Order)).first() is None:
            session.add_all(
                Order(customer=customer, product_id=product, quantity=quantity, updated_by=customer)
                for customer, product, quantity in ORDERS
            )
            session.commit()
    policies = service.policies()
    policies.grant_many(
        [
            (VIEWER_ROLE, PERMISSION_OBJECT, "read"),
            (VIEWER_ROLE, PERMISSION_OBJECT, "query"),
            *((CUSTOMER_ROLE, ORDER_OBJECT, act) for act in ("create", "read", "update", "delete", "query", "history")),
        ]
    )
    users = [("alice", (SCHEMA_NAME,)), ("bob", (VIEWER_ROLE, CUSTOMER_ROLE))]
    policies.assign_roles((name, role) for name, roles in users for role in roles)
    return [DemoUser(name, ", ".join(roles), service.create_access_token(name)) for name, roles in users]
