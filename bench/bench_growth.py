"""What one request costs as a table grows: 10,000 rows against 1,000,000.

Two tables of the same shape, filled with 10,000 and 1,000,000 rows, each
published by ``AuthController.create`` (public routes, so that only the table
differs), called in process through the ASGI interface.  Workloads: a read
by id (ids spread over the table), the first query page with its total, and
the first page without the total (``total=false``, where the query offers
it).  Rounds alternate the two tables; each ratio is the median over the
rounds of the cost at 1,000,000 rows relative to 10,000.  A read by id and a
page without the total should cost the same at both sizes; the total counts
every row, so its cost grows with the table.

Run: ``python bench/bench_growth.py [--database-url URL] [--rounds 5 --requests 300]``
(default: a temporary SQLite file; filling 1,000,000 rows takes a few seconds).
"""

from __future__ import annotations

import argparse
import asyncio
import random
import statistics
import sys
import tempfile
import time
from pathlib import Path

import httpx
from fastapi import FastAPI
from sqlalchemy import text
from sqlmodel import Field

from quorvalen_core.controller.router_config import RouterConfig
from quorvalen_core.controller.table_controller import AuthController
from quorvalen_core.db import DatabaseRegistry, set_database_registry
from quorvalen_core.type.var import SQLModelDB, SQLModelResponse

SIZES = {"small": 10_000, "large": 1_000_000}


class GrowthSmall(SQLModelDB, table=True):
    __tablename__ = "growth_small"
    id: int | None = Field(default=None, primary_key=True)
    name: str = Field(max_length=40)
    price: int = 0


class GrowthLarge(SQLModelDB, table=True):
    __tablename__ = "growth_large"
    id: int | None = Field(default=None, primary_key=True)
    name: str = Field(max_length=40)
    price: int = 0


class GrowthResponse(SQLModelResponse):
    id: int
    name: str
    price: int


MODELS = {"small": GrowthSmall, "large": GrowthLarge}


def fill(databases: DatabaseRegistry) -> None:
    """Each table with its rows, made by the database itself (a recursive CTE or generate_series)."""
    engine = databases.engine()
    for size, model in MODELS.items():
        table = model.__table__  # type: ignore[attr-defined]
        table.drop(engine, checkfirst=True)
        table.create(engine)
        rows = SIZES[size]
        with engine.begin() as connection:
            if engine.dialect.name == "postgresql":
                connection.execute(text(
                    f"INSERT INTO {table.name} (name, price) SELECT 'item ' || n, n % 1000 FROM generate_series(1, {rows}) AS n"
                ))
                connection.execute(text(f"ANALYZE {table.name}"))
            else:
                connection.execute(text(
                    f"WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < {rows}) "
                    f"INSERT INTO {table.name} (name, price) SELECT 'item ' || i, i % 1000 FROM n"
                ))


def build_app(size: str) -> FastAPI:
    public = {f"{op}_router": RouterConfig(auth=False) for op in ("create", "update", "read", "delete", "query")}
    app = FastAPI()
    app.include_router(
        AuthController.create(
            model_class=MODELS[size], response_schema=GrowthResponse, schema_name="growth", table_name=size, **public
        )
    )
    return app


def paths(workload: str, size: str, count: int, rng: random.Random) -> list[str]:
    prefix = f"/v1/growth/{size}"
    if workload == "read by id":
        return [f"{prefix}/{rng.randrange(1, SIZES[size] + 1)}" for _ in range(count)]
    if workload == "page with total":
        return [f"{prefix}?limit=20"] * count
    return [f"{prefix}?limit=20&total=false"] * count


async def cpu_cost(app: FastAPI, urls: list[str]) -> float:
    """CPU seconds of this process per request, and the database's wall time, together: seconds per request."""
    transport = httpx.ASGITransport(app=app)
    async with httpx.AsyncClient(transport=transport, base_url="http://bench") as client:
        start = time.perf_counter()
        for url in urls:
            response = await client.get(url)
            if response.status_code != 200:
                raise SystemExit(f"{url}: {response.status_code} {response.text[:200]}")
        return (time.perf_counter() - start) / len(urls)


async def run(args: argparse.Namespace) -> int:
    with tempfile.TemporaryDirectory() as workdir:
        url = args.database_url or f"sqlite:///{Path(workdir) / 'growth.db'}"
        databases = DatabaseRegistry(default_url=url, environ={})
        set_database_registry(databases)
        started = time.perf_counter()
        fill(databases)
        print(f"database: {url.split('@')[-1]}; filled in {time.perf_counter() - started:.1f} s")
        apps = {size: build_app(size) for size in SIZES}
        supports_total_switch = "total" in {
            p["name"] for p in apps["small"].openapi()["paths"]["/v1/growth/small"]["get"].get("parameters", [])
        }
        workloads = ["read by id", "page with total"] + (["page without total"] if supports_total_switch else [])
        rng = random.Random(7)
        print(f"{'workload':<22}{'10,000 rows ms':>16}{'1,000,000 rows ms':>19}{'ratio':>8}")
        for workload in workloads:
            for size in SIZES:  # warm-up
                await cpu_cost(apps[size], paths(workload, size, 30, rng))
            costs: dict[str, list[float]] = {size: [] for size in SIZES}
            for round_index in range(args.rounds):
                order = list(SIZES) if round_index % 2 == 0 else list(reversed(SIZES))
                for size in order:
                    costs[size].append(await cpu_cost(apps[size], paths(workload, size, args.requests, rng)))
            ratio = statistics.median(l / s for s, l in zip(costs["small"], costs["large"], strict=True))
            print(
                f"{workload:<22}{1000 * statistics.median(costs['small']):>16.2f}"
                f"{1000 * statistics.median(costs['large']):>19.2f}{ratio:>8.2f}"
            )
        if not supports_total_switch:
            print("(the query offers no total=false switch: pages without the total are not measured)")
        for model in MODELS.values():
            model.__table__.drop(databases.engine())  # type: ignore[attr-defined]
        databases.reset()
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--database-url", help="SQLAlchemy URL (default: a temporary SQLite file)")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--requests", type=int, default=300)
    return asyncio.run(run(parser.parse_args()))


if __name__ == "__main__":
    sys.exit(main())
