"""The demo application: a product table of a shop, with users, roles and tokens.

``build_app()`` is the whole application; ``seed()`` creates the tables, a few
products, the users and their roles, and returns an access token per user.

Users:

- ``alice``, member of the role ``shop`` (the router's default role: every
  operation on ``shop.product``);
- ``bob``, member of ``shop_viewer``, which may only read and query products.
"""

from __future__ import annotations

from dataclasses import dataclass
from decimal import Decimal

from fastapi import FastAPI
from sqlmodel import Field, SQLModel, select

from ..auth.service import AuthService
from ..controller.router_config import RouterConfig
from ..controller.table_controller import AuthController
from ..db.registry import DatabaseRegistry
from ..docs import serve_docs_offline
from ..type.var import SQLModelCreate, SQLModelDB, SQLModelResponse, SQLModelUpdate

SCHEMA_NAME = "shop"
TABLE_NAME = "product"
PERMISSION_OBJECT = f"{SCHEMA_NAME}.{TABLE_NAME}"
VIEWER_ROLE = "shop_viewer"


class Product(SQLModelDB, table=True):
    """A product of the shop."""

    __tablename__ = "shop_product"

    id: int | None = Field(default=None, primary_key=True)
    sku: str = Field(max_length=32, unique=True, description="Stock-keeping unit.")
    name: str = Field(max_length=120)
    price: Decimal = Field(ge=0, max_digits=10, decimal_places=2)
    stock: int = Field(default=0, ge=0)


class ProductCreate(SQLModelCreate):
    sku: str = Field(max_length=32)
    name: str = Field(max_length=120)
    price: Decimal = Field(ge=0, max_digits=10, decimal_places=2)
    stock: int = Field(default=0, ge=0)


class ProductUpdate(SQLModelUpdate):
    name: str | None = Field(default=None, max_length=120)
    price: Decimal | None = Field(default=None, ge=0, max_digits=10, decimal_places=2)
    stock: int | None = Field(default=None, ge=0)


class ProductResponse(SQLModelResponse):
    id: int
    sku: str
    name: str
    price: Decimal
    stock: int


PRODUCTS: tuple[dict[str, object], ...] = (
    {"sku": "TEA-001", "name": "Green tea", "price": "4.50", "stock": 120},
    {"sku": "TEA-002", "name": "Oolong tea", "price": "7.20", "stock": 40},
    {"sku": "CUP-001", "name": "Porcelain cup", "price": "12.00", "stock": 15},
    {"sku": "POT-001", "name": "Clay teapot", "price": "38.00", "stock": 3},
)


def build_app() -> FastAPI:
    """The demo's FastAPI application (OpenAPI docs at /docs and /redoc, served offline)."""
    app = FastAPI(
        title="quorvalen_core demo shop",
        description=(
            "One table published with `AuthController.create`. Use **Authorize** with "
            "a token the demo printed: alice may do everything, bob may read and query."
        ),
    )
    serve_docs_offline(app)
    app.include_router(
        AuthController.create(
            model_class=Product,
            create_schema=ProductCreate,
            update_schema=ProductUpdate,
            response_schema=ProductResponse,
            schema_name=SCHEMA_NAME,
            table_name=TABLE_NAME,
            read_router=RouterConfig(message="商品获取成功"),
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
    SQLModel.metadata.create_all(engine, tables=[Product.__table__])  # type: ignore[attr-defined]
    with databases.session() as session:
        if session.exec(select(Product)).first() is None:
            session.add_all(Product.model_validate(product) for product in PRODUCTS)
            session.commit()
    policies = service.policies()
    policies.grant_many(
        [(VIEWER_ROLE, PERMISSION_OBJECT, "read"), (VIEWER_ROLE, PERMISSION_OBJECT, "query")]
    )
    users = [("alice", SCHEMA_NAME), ("bob", VIEWER_ROLE)]
    policies.assign_roles(users)
    return [DemoUser(name, role, service.create_access_token(name)) for name, role in users]
