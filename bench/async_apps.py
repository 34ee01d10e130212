"""The same table served two ways, for bench_async.py: generated sync endpoints, and async ones.

``sync_app`` is what ``AuthController.create`` builds: sync endpoints in
FastAPI's thread pool, sessions of a sync engine.  ``async_app`` serves the
same two routes (read by id, a query page with its total) with
``AsyncSession`` over psycopg's async mode, answering the same bodies.  Both
are public, so that only the way the database is reached differs.  The
database is ``QUORVALEN_DATABASE_URL``; the table is filled by the benchmark.
"""

from __future__ import annotations

import os

from fastapi import FastAPI, HTTPException, Query
from fastapi.responses import Response
from pydantic import TypeAdapter
from sqlalchemy import func, select
from sqlalchemy.ext.asyncio import AsyncSession, async_sessionmaker, create_async_engine
from sqlmodel import Field

from quorvalen_core.web.envelope import Envelope, Page
from quorvalen_core.controller.router_config import RouterConfig
from quorvalen_core.controller.table_controller import AuthController
from quorvalen_core.type.var import SQLModelDB, SQLModelResponse


class AsyncBenchItem(SQLModelDB, table=True):
    __tablename__ = "async_bench_item"

    id: int | None = Field(default=None, primary_key=True)
    name: str = Field(max_length=64)
    value: int = 0


class AsyncBenchItemResponse(SQLModelResponse):
    id: int
    name: str
    value: int


PREFIX = "/v1/bench/item"
public = {f"{operation}_router": RouterConfig(auth=False) for operation in ("create", "update", "read", "delete", "query")}

sync_app = FastAPI()
sync_app.include_router(
    AuthController.create(
        model_class=AsyncBenchItem,
        response_schema=AsyncBenchItemResponse,
        schema_name="bench",
        table_name="item",
        **public,
    )
)

async_app = FastAPI()
engine = create_async_engine(
    os.environ.get("QUORVALEN_DATABASE_URL", "postgresql+psycopg://localhost/bench"),
    pool_pre_ping=True,
    hide_parameters=True,
)
sessions = async_sessionmaker(engine, class_=AsyncSession, expire_on_commit=False)
ItemEnvelope = Envelope[AsyncBenchItemResponse]
PageEnvelope = Envelope[Page[AsyncBenchItemResponse]]
item_json = TypeAdapter(ItemEnvelope)
page_json = TypeAdapter(PageEnvelope)


@async_app.get(PREFIX + "/{id}", response_model=ItemEnvelope)
async def read(id: int) -> Response:  # noqa: A002
    async with sessions() as session:
        row = await session.get(AsyncBenchItem, id)
        if row is None:
            raise HTTPException(404, "Row not found")
        body = item_json.dump_json(ItemEnvelope(message="获取成功", data=row))  # type: ignore[arg-type]
    return Response(body, media_type="application/json")


@async_app.get(PREFIX, response_model=PageEnvelope)
async def query(offset: int = Query(0, ge=0), limit: int = Query(20, ge=1, le=100)) -> Response:
    async with sessions() as session:
        total = await session.scalar(select(func.count()).select_from(AsyncBenchItem))
        rows = (
            await session.scalars(select(AsyncBenchItem).order_by(AsyncBenchItem.id).offset(offset).limit(limit))  # type: ignore[arg-type]
        ).all()
        page = {"items": rows, "total": total or 0, "offset": offset, "limit": limit, "has_more": offset + len(rows) < (total or 0)}
        body = page_json.dump_json(PageEnvelope(message="查询成功", data=page))  # type: ignore[arg-type]
    return Response(body, media_type="application/json")
