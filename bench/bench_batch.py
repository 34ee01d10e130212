"""What the batch forms cost against single requests and against bare SQLAlchemy Core, side by side.

One table (``bench_batch_item``: a text, two integers, a flag) is served by
``AuthController.create`` behind a guard, with ``max_rows=10000`` (and
``QUORVALEN_MAX_BODY_BYTES`` raised for the 10,000 rows), and called in
process through the ASGI interface.  Per round, on a table
emptied first:

- batch create: ``POST {prefix}/batch`` with 10,000 rows, against the same
  rows inserted by one ``insert()`` statement of SQLAlchemy Core on a bare
  connection (no framework), against that statement returning the rows (as
  the batch answers them; printed, no target), and against single
  ``POST {prefix}`` requests (300 of them; rows per second compared);
- update by filter: ``PATCH {prefix}?filter=...`` of those 10,000 rows,
  against the same ``update()`` statement on a bare connection;
- delete by filter: ``DELETE {prefix}?filter=...``, against ``delete()``.

Printed: the median over the rounds of each ratio of wall-clock time (the
database works outside this process on PostgreSQL), and of rows per second
for batch against single creates.  Targets: batch rows/s at least 20 times
single, each batch at most 2 times its bare statement; ``--check`` fails a
run that misses one.

``--freeze`` moves the objects of the built application out of the cyclic
garbage collector's reach first (``gc.freeze()``), as the deployment guide
shows.

Run: ``python bench/bench_batch.py [--rows N] [--rounds R] [--database-url URL] [--freeze] [--check]``.
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import httpx
from fastapi import FastAPI
from pydantic import SecretStr
from sqlalchemy import delete, insert, update
from sqlalchemy.engine import Engine
from sqlmodel import Field, SQLModel

from quorvalen_core.auth import AuthService, AuthSettings, set_auth_service
from quorvalen_core.controller.router_config import RouterConfig
from quorvalen_core.controller.table_controller import AuthController
from quorvalen_core.db import DatabaseRegistry, get_database_registry, set_database_registry
from quorvalen_core.type.var import SQLModelDB, SQLModelResponse

SINGLE_CREATES = 300
TARGETS = {"batch vs single rows/s": 20.0, "create vs Core": 2.0, "update vs Core": 2.0, "delete vs Core": 2.0}
# Printed without a target: the batch against Core inserting the rows and
# returning them (as the batch answers them), which shows what the database
# itself spends on returning the rows.
SHOWN = ("create vs Core RETURNING",)
CALLER = "loader"


class BenchBatchItem(SQLModelDB, table=True):
    __tablename__ = "bench_batch_item"
    id: int | None = Field(default=None, primary_key=True)
    name: str = Field(max_length=40)
    quantity: int = Field(default=0, ge=0)
    batch_no: int = 0
    done: bool = False


class BenchBatchItemResponse(SQLModelResponse):
    id: int
    name: str
    quantity: int
    batch_no: int
    done: bool


TABLE: Any = BenchBatchItem.__table__  # type: ignore[attr-defined]


def prepare(url: str, rows: int) -> tuple[FastAPI, str, Engine]:
    databases = DatabaseRegistry(default_url=url, environ={})
    service = AuthService(settings=AuthSettings(secret_key=SecretStr("bench-secret-" + "k" * 32)), databases=databases)
    set_database_registry(databases)
    set_auth_service(service)
    engine = databases.engine()
    SQLModel.metadata.drop_all(engine, tables=[TABLE])
    SQLModel.metadata.create_all(engine, tables=[TABLE])
    store = service.policies()
    store.grant_many([("loader", "bench.item", act) for act in ("create", "create_many", "update_many", "delete_many")])
    store.assign_roles([(CALLER, "loader")])
    app = FastAPI()
    settings = {f"{op}_router": RouterConfig(max_rows=rows) for op in ("create", "update", "delete")}
    app.include_router(AuthController.create(model_class=BenchBatchItem, response_schema=BenchBatchItemResponse,
                                             schema_name="bench", table_name="item", **settings))
    return app, service.create_access_token(CALLER), engine


def items(rows: int, round_index: int) -> list[dict[str, Any]]:
    return [{"name": f"item {n}", "quantity": n % 100, "batch_no": round_index} for n in range(rows)]


def empty(engine: Engine) -> None:
    with engine.begin() as connection:
        connection.execute(delete(TABLE))


def timed_core(engine: Engine, statement: Any, parameters: Any = None) -> float:
    start = time.perf_counter()
    with engine.begin() as connection:
        result = connection.execute(statement, parameters) if parameters is not None else connection.execute(statement)
        if result.returns_rows:
            result.all()
    return time.perf_counter() - start


async def timed_request(client: httpx.AsyncClient, method: str, path: str, **arguments: Any) -> float:
    start = time.perf_counter()
    response = await client.request(method, path, **arguments)
    elapsed = time.perf_counter() - start
    if response.status_code >= 300:
        raise RuntimeError(f"{method} {path}: {response.status_code} {response.text[:200]}")
    return elapsed


async def one_round(client: httpx.AsyncClient, engine: Engine, rows: int, round_index: int) -> dict[str, float]:
    """The ratios of one round."""
    sent = items(rows, round_index)
    chosen = {"filter": f"batch_no:eq:{round_index}"}
    empty(engine)
    core_insert = timed_core(engine, insert(TABLE), sent)
    empty(engine)
    core_returning = timed_core(engine, insert(TABLE).returning(*TABLE.c, sort_by_parameter_order=True), sent)
    core_update = timed_core(engine, update(TABLE).where(TABLE.c.batch_no == round_index).values(done=True))
    core_delete = timed_core(engine, delete(TABLE).where(TABLE.c.batch_no == round_index))
    empty(engine)
    batch_create = await timed_request(client, "POST", "/v1/bench/item/batch", json=sent)
    batch_update = await timed_request(client, "PATCH", "/v1/bench/item", params=chosen, json={"done": True})
    batch_delete = await timed_request(client, "DELETE", "/v1/bench/item", params=chosen)
    empty(engine)
    start = time.perf_counter()
    for row in sent[:SINGLE_CREATES]:
        await timed_request(client, "POST", "/v1/bench/item", json=row)
    single_rate = SINGLE_CREATES / (time.perf_counter() - start)
    return {
        "batch vs single rows/s": (rows / batch_create) / single_rate,
        "create vs Core": batch_create / core_insert,
        "create vs Core RETURNING": batch_create / core_returning,
        "update vs Core": batch_update / core_update,
        "delete vs Core": batch_delete / core_delete,
    }


async def run(args: argparse.Namespace) -> int:
    os.environ.setdefault("QUORVALEN_MAX_BODY_BYTES", str(64 * 1024 * 1024))
    with tempfile.TemporaryDirectory() as workdir:
        url = args.database_url or f"sqlite:///{Path(workdir) / 'bench.db'}"
        app, token, engine = prepare(url, args.rows)
        if args.freeze:
            gc.collect()
            gc.freeze()
        print(f"database: {url.split('@')[-1]}; {args.rows} rows per batch, {SINGLE_CREATES} single creates; {args.rounds} rounds"
              + ("; the app's objects frozen" if args.freeze else ""))
        transport = httpx.ASGITransport(app=app)
        async with httpx.AsyncClient(transport=transport, base_url="http://bench", timeout=300,
                                     headers={"Authorization": f"Bearer {token}"}) as client:
            await one_round(client, engine, min(args.rows, 500), 0)  # warm-up
            rounds = [await one_round(client, engine, args.rows, index + 1) for index in range(args.rounds)]
        print(f"{'comparison':<24} {'median':>8} {'best':>8} {'target':>8}")
        missed = 0
        for name, target in TARGETS.items():
            values = [ratios[name] for ratios in rounds]
            higher_is_better = name.endswith("rows/s")
            best = max(values) if higher_is_better else min(values)
            median = statistics.median(values)
            met = median >= target if higher_is_better else median <= target
            missed += not met
            print(f"{name:<24} {median:>8.2f} {best:>8.2f} {('>= ' if higher_is_better else '<= ') + str(target):>8}")
        for name in SHOWN:
            values = [ratios[name] for ratios in rounds]
            print(f"{name:<24} {statistics.median(values):>8.2f} {min(values):>8.2f} {'':>8}")
        print("every comparison meets its target" if not missed else f"{missed} comparison(s) miss their target")
        get_database_registry().reset()
        return 1 if missed and args.check else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n")[0])
    parser.add_argument("--rows", type=int, default=10_000, help="rows per batch")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--database-url", help="SQLAlchemy URL (default: a temporary SQLite file)")
    parser.add_argument("--check", action="store_true", help="exit 1 when a ratio misses its target")
    parser.add_argument("--freeze", action="store_true",
                        help="gc.freeze() once the app is built, as the deployment guide shows")
    return asyncio.run(run(parser.parse_args()))


if __name__ == "__main__":
    sys.exit(main())
