"""An application as an attacker meets it: a guarded table with a hidden column.

``account`` has a ``password_hash`` column that neither the update nor the
response schema shows, a model validator that refuses one display name, and
the router's default role ``shop``.
"""

from __future__ import annotations

from typing import Any

from fastapi import FastAPI
from pydantic import model_validator
from sqlalchemy import insert
from sqlmodel import Field

from quorvalen_core.controller.router_config import RouterConfig
from quorvalen_core.controller.table_controller import AuthController
from served_shop import ServedShop
from quorvalen_core.type.var import SQLModelCreate, SQLModelDB, SQLModelResponse, SQLModelUpdate

SECRET_KEY = "attack-tests-secret-0123456789abcdefghij"
HASH = "pbkdf2$STORED-HASH-VALUE"
PREFIX = "/v1/shop/account"
ITEM_PATH = PREFIX + "/{id}"


class Account(SQLModelDB, table=True):
    __tablename__ = "attack_account"

    id: int | None = Field(default=None, primary_key=True)
    display: str = Field(max_length=40)
    # A constraint only the model checks: a stored row may break it.
    password_hash: str = Field(default=HASH, max_length=200, schema_extra={"pattern": r"^pbkdf2\$"})
    score: int = Field(default=0)
    rating: float = Field(default=0.0)

    @model_validator(mode="after")
    def _reserved_names(self) -> Account:
        if self.display == "admin":
            raise ValueError("the display name 'admin' is reserved")
        return self


class AccountCreate(SQLModelCreate):
    display: str
    score: int = 0
    rating: float = 0.0


class AccountUpdate(SQLModelUpdate):
    display: str | None = None
    score: int | None = None
    rating: float | None = None


class AccountResponse(SQLModelResponse):
    id: int
    display: str
    score: int
    rating: float


def account_app(**create_kwargs: Any) -> FastAPI:
    app = FastAPI()
    arguments: dict[str, Any] = {
        "model_class": Account,
        "create_schema": AccountCreate,
        "update_schema": AccountUpdate,
        "response_schema": AccountResponse,
        "schema_name": "shop",
        "table_name": "account",
        "query_router": RouterConfig(auth=False),
        **create_kwargs,
    }
    app.include_router(AuthController.create(**arguments))
    return app


class Shop(ServedShop):
    """The account application served, and rows written beside it."""

    def add_account(self, **fields: Any) -> int:
        """A row written beside the API (as another program would), with any stored values."""
        values = {"display": "someone", "password_hash": HASH, "score": 0, "rating": 0.0, **fields}
        table = Account.__table__  # type: ignore[attr-defined]
        with self.databases.engine().begin() as connection:
            return int(connection.execute(insert(table).values(**values).returning(table.c.id)).scalar_one())
