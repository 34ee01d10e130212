"""The application the deployment checks serve with several worker processes.

One guarded table, ``load.item``, on the database of ``QUORVALEN_DATABASE_URL``
(tokens checked with ``QUORVALEN_AUTH_SECRET_KEY``).  Its table is created by
whoever starts the workers, not by the workers themselves.  Serve it with
``uvicorn --app-dir bench deploy_app:app --workers 4``.
"""

from __future__ import annotations

from fastapi import FastAPI
from sqlmodel import Field

from quorvalen_core.auth import AuthRouter
from quorvalen_core.controller.router_config import RouterConfig
from quorvalen_core.controller.table_controller import AuthController
from quorvalen_core.type.var import SQLModelCreate, SQLModelDB, SQLModelResponse, SQLModelUpdate

SCHEMA_NAME = "load"
TABLE_NAME = "item"
PERMISSION_OBJECT = f"{SCHEMA_NAME}.{TABLE_NAME}"
PREFIX = f"/v1/{SCHEMA_NAME}/{TABLE_NAME}"
PROBE = f"/probe/{SCHEMA_NAME}/{TABLE_NAME}"


class LoadItem(SQLModelDB, table=True):
    __tablename__ = "load_item"

    id: int | None = Field(default=None, primary_key=True)
    label: str = Field(max_length=64, unique=True)
    value: int = 0
    owner: str = Field(max_length=32, index=True)


class LoadItemCreate(SQLModelCreate):
    label: str = Field(max_length=64)
    value: int = 0
    owner: str = Field(max_length=32)


class LoadItemUpdate(SQLModelUpdate):
    value: int | None = None


class LoadItemResponse(SQLModelResponse):
    id: int
    label: str
    value: int
    owner: str


app = FastAPI(title="quorvalen_core deployment check")

# The query's permission without the query's database work: a cheap probe of
# what a worker decides, for the tests that watch policy changes arrive.
probe = AuthRouter(prefix=PROBE, auth_obj=PERMISSION_OBJECT)
probe.add_guarded_route("", lambda: {"ok": True}, methods=["GET"], config=RouterConfig(auth=True, auth_act="query"))
app.include_router(probe)
app.include_router(
    AuthController.create(
        model_class=LoadItem,
        create_schema=LoadItemCreate,
        update_schema=LoadItemUpdate,
        response_schema=LoadItemResponse,
        schema_name=SCHEMA_NAME,
        table_name=TABLE_NAME,
    )
)
