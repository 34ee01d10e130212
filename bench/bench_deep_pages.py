"""Deep pages of a 1,000,000-row table: offset paging against cursor paging, and total=false.

One application publishes a table of 1,000,000 rows and one of 10,000 rows
(same columns).  Through the ASGI interface, one client at a time, it
measures the cost of one request for:

- the first page, the page at offset 900,000, and the page a cursor reaches
  at the same depth (the cursor of the page just before it), with the total
  and with ``total=false``;
- the same by ascending ``stock`` (an indexed column, the primary key
  breaking ties);
- the first page of the 10,000-row table.

The kinds take turns request by request, round after round (in alternating
order), and each cost is the median time of its requests.  Targets: the cursor's deep page costs at most 2 times the first
page, and ``total=false`` pages of the big table cost at most 1.2 times the
first page of the small one.

Building the tables takes a few seconds (``INSERT ... SELECT`` from a
recursive CTE on SQLite, ``generate_series`` on PostgreSQL); the run takes
about a minute or two.  Not run in CI.

Run: ``python bench/bench_deep_pages.py [--database-url URL] [--rounds R]``.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import statistics
import sys
import tempfile
import time
from decimal import Decimal
from pathlib import Path

import httpx
from fastapi import FastAPI
from sqlalchemy import text
from sqlalchemy.engine import make_url
from sqlmodel import Field, SQLModel

from quorvalen_core.controller.router_config import RouterConfig
from quorvalen_core.controller.table_controller import AuthController
from quorvalen_core.db import DatabaseRegistry, set_database_registry
from quorvalen_core.type.var import SQLModelDB, SQLModelResponse

BIG, SMALL, DEPTH, PAGE = 1_000_000, 10_000, 900_000, 20
SLOW_REQUEST, FAST_REPEATS = 0.05, 5
os.environ.setdefault("QUORVALEN_QUERY_CURSOR_KEY", "bench-cursor-key-" + "k" * 32)


class ItemColumns(SQLModelDB):
    id: int | None = Field(default=None, primary_key=True)
    sku: str = Field(max_length=40)
    name: str = Field(max_length=120)
    price: Decimal = Field(ge=0, max_digits=10, decimal_places=2)
    stock: int = Field(default=0, ge=0, index=True)


class DeepItem(ItemColumns, table=True):
    __tablename__ = "bench_deep_item"


class SmallItem(ItemColumns, table=True):
    __tablename__ = "bench_small_item"


class ItemResponse(SQLModelResponse):
    id: int
    sku: str
    name: str
    price: Decimal
    stock: int


def fill(databases: DatabaseRegistry, table: str, rows: int) -> None:
    engine = databases.engine()
    if engine.dialect.name == "postgresql":
        source = f"generate_series(0, {rows - 1}) AS seq(n)"
        prefix = ""
    else:
        source = "seq"
        prefix = f"WITH RECURSIVE seq(n) AS (SELECT 0 UNION ALL SELECT n + 1 FROM seq WHERE n < {rows - 1}) "
    with engine.begin() as connection:
        connection.execute(
            text(
                f"INSERT INTO {table} (sku, name, price, stock) {prefix}"
                f"SELECT 'SKU-' || n, 'Product ' || n, (n % 97) + 0.99, n % 200 FROM {source}"
            )
        )
    with engine.begin() as connection:
        connection.execute(text(f"ANALYZE {table}"))


def prepare(url: str) -> FastAPI:
    databases = DatabaseRegistry(default_url=url, environ={})
    set_database_registry(databases)
    tables = [DeepItem.__table__, SmallItem.__table__]  # type: ignore[attr-defined]
    engine = databases.engine()
    SQLModel.metadata.drop_all(engine, tables=tables)
    SQLModel.metadata.create_all(engine, tables=tables)
    start = time.perf_counter()
    fill(databases, "bench_deep_item", BIG)
    fill(databases, "bench_small_item", SMALL)
    print(f"tables built in {time.perf_counter() - start:.1f} s")
    app = FastAPI()
    off = {f"{op}_router": RouterConfig(enabled=False) for op in ("create", "read", "update", "delete")}
    for model, name in ((DeepItem, "deep"), (SmallItem, "small")):
        router = AuthController.create(
            model_class=model,
            response_schema=ItemResponse,
            prefix=f"/v1/bench/{name}",
            schema_name="bench",
            table_name=name,
            query_router=RouterConfig(auth=False),
            **off,
        )
        app.include_router(router)
    return app


async def timed(client: httpx.AsyncClient, path: str) -> float:
    sent = time.perf_counter()
    response = await client.get(path)
    elapsed = time.perf_counter() - sent
    if response.status_code != 200:
        raise RuntimeError(f"{path}: {response.status_code} {response.text[:200]}")
    return elapsed


async def run(args: argparse.Namespace) -> None:
    with tempfile.TemporaryDirectory() as workdir:
        url = args.database_url or f"sqlite:///{Path(workdir) / 'deep.db'}"
        app = prepare(url)
        transport = httpx.ASGITransport(app=app)
        async with httpx.AsyncClient(transport=transport, base_url="http://bench") as client:

            async def cursor_at(sort: str, total: str) -> str:
                before = await client.get(
                    f"/v1/bench/deep?offset={DEPTH - PAGE}&limit={PAGE}{sort}&total={total}"
                )
                return str(before.json()["data"]["next_cursor"])

            kinds: dict[str, str] = {}
            for total in ("true", "false"):
                for sort, label in (("", "by id"), ("&sort=stock", "by stock")):
                    base = f"/v1/bench/deep?limit={PAGE}&total={total}{sort}"
                    kinds[f"first page {label}, total={total}"] = base
                    kinds[f"offset {DEPTH:,} {label}, total={total}"] = f"{base}&offset={DEPTH}"
                    kinds[f"cursor at {DEPTH:,} {label}, total={total}"] = (
                        f"{base}&cursor={await cursor_at(sort, total)}"
                    )
                kinds[f"small table first page, total={total}"] = f"/v1/bench/small?limit={PAGE}&total={total}"
            # Kinds take turns request by request, so that other work on the
            # machine slows them alike; cheap kinds get more requests per turn.
            slow = {kind: await timed(client, path) > SLOW_REQUEST for kind, path in kinds.items()}
            costs: dict[str, list[float]] = {kind: [] for kind in kinds}
            for cycle in range(args.rounds):
                order = list(kinds) if cycle % 2 == 0 else list(reversed(kinds))
                for kind in order:
                    for _ in range(1 if slow[kind] else FAST_REPEATS):
                        costs[kind].append(await timed(client, kinds[kind]))
        median = {kind: statistics.median(values) for kind, values in costs.items()}
        database = make_url(url).get_backend_name()
        print(f"\n{database}: {BIG:,} rows, pages of {PAGE}, {args.rounds} rounds; median time of one request")
        for kind, seconds in median.items():
            print(f"  {kind:<40} {seconds * 1000:>9.2f} ms")
        print(f"\n  {'ratio of costs':<66} {'ratio':>6}  target")
        checks = []
        for label in ("by id", "by stock"):
            for total in ("false", "true"):
                first = median[f"first page {label}, total={total}"]
                deep_cursor = median[f"cursor at {DEPTH:,} {label}, total={total}"]
                deep_offset = median[f"offset {DEPTH:,} {label}, total={total}"]
                checks.append((f"cursor page at {DEPTH:,} / first page, {label}, total={total}", deep_cursor / first, 2.0))
                checks.append((f"offset page at {DEPTH:,} / first page, {label}, total={total}", deep_offset / first, None))
        for total in ("false", "true"):
            small = median[f"small table first page, total={total}"]
            for kind, label in (("first page by id", "1M first page"), (f"cursor at {DEPTH:,} by id", "1M cursor page")):
                checks.append(
                    (f"{label}, total=false / 10k first page, total={total}", median[f"{kind}, total=false"] / small, 1.2)
                )
        for label, ratio, target in checks:
            verdict = "" if target is None else f"<= {target}: {'met' if ratio <= target else 'MISSED'}"
            print(f"  {label:<66} {ratio:>6.2f}  {verdict}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--database-url", help="SQLAlchemy URL (default: a temporary SQLite file)")
    parser.add_argument("--rounds", type=int, default=20)
    args = parser.parse_args()
    start = time.perf_counter()
    asyncio.run(run(args))
    print(f"\nrun took {time.perf_counter() - start:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
