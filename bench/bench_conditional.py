"""What If-Match and a table's history cost a write of one row, measured side by side.

Two tables of 1,000 rows each, alike but that the second keeps a history
(``TableOptions(history=True)``), served by ``AuthController.create``
behind a guard, are written in process through the ASGI interface: each
request a ``PATCH`` of one row (its total), rows taken in turn, or a
``DELETE`` followed by ``restore`` (the tables delete softly).

- If-Match: the measured side sends each row's current ``ETag`` in
  ``If-Match`` (the tag the previous answer for that row gave, as a client
  does); the baseline sends none.  Target: at most 1.15.
- History: the measured side writes the table with a history, the baseline
  the one without, neither with If-Match.  Target: at most 1.3.

The two sides alternate round by round.  Printed per comparison: the median
over the rounds of the ratio of CPU seconds of this process per request
(SQLite runs in it), the ratio of the fastest round of each side, and the
median ratio of wall-clock time.  ``--check`` fails a run where both CPU
ratios of a comparison miss its target.

Run: ``python bench/bench_conditional.py [--requests N] [--rounds R] [--database-url URL] [--check]``.
"""

from __future__ import annotations

import argparse
import asyncio
import statistics
import sys
import tempfile
import time
from collections.abc import Awaitable, Callable
from datetime import datetime
from pathlib import Path

import httpx
from fastapi import FastAPI
from pydantic import SecretStr
from sqlalchemy import insert
from sqlmodel import Field, SQLModel

from quorvalen_core.auth import AuthService, AuthSettings, set_auth_service
from quorvalen_core.controller.table_controller import AuthController
from quorvalen_core.db import DatabaseRegistry, get_database_registry, set_database_registry
from quorvalen_core.rows.history import history_model_of
from quorvalen_core.rows.table_options import TableOptions
from quorvalen_core.type.var import SQLModelDB

ROWS = 1_000
IF_MATCH_TARGET = 1.15
HISTORY_TARGET = 1.3
CALLER = "writer"


class BenchTaggedOrder(SQLModelDB, table=True):
    __tablename__ = "bench_tagged_order"
    __table_options__ = TableOptions(deleted_at="deleted_at")
    id: int | None = Field(default=None, primary_key=True)
    number: str = Field(max_length=20)
    total: int = 0
    deleted_at: datetime | None = None


class BenchRecordedOrder(SQLModelDB, table=True):
    __tablename__ = "bench_recorded_order"
    __table_options__ = TableOptions(deleted_at="deleted_at", history=True)
    id: int | None = Field(default=None, primary_key=True)
    number: str = Field(max_length=20)
    total: int = 0
    deleted_at: datetime | None = None


# A side of a comparison: the table's path, and whether requests carry If-Match.
Side = tuple[str, bool]
PLAIN: Side = ("/v1/bench/order", False)


def prepare(url: str) -> tuple[FastAPI, str]:
    databases = DatabaseRegistry(default_url=url, environ={})
    service = AuthService(settings=AuthSettings(secret_key=SecretStr("bench-secret-" + "k" * 32)), databases=databases)
    set_database_registry(databases)
    set_auth_service(service)
    engine = databases.engine()
    tables = [model.__table__ for model in (BenchTaggedOrder, BenchRecordedOrder, history_model_of(BenchRecordedOrder))]
    SQLModel.metadata.drop_all(engine, tables=tables)
    SQLModel.metadata.create_all(engine, tables=tables)
    with engine.begin() as connection:
        for table in tables[:2]:
            connection.execute(insert(table), [{"number": f"N-{n:06d}", "total": n} for n in range(ROWS)])
    store = service.policies()
    store.grant_many([("writer", f"bench.{name}", act) for name in ("order", "recorded") for act in ("read", "update", "delete", "restore")])
    store.assign_roles([(CALLER, "writer")])
    app = FastAPI()
    for model, name in ((BenchTaggedOrder, "order"), (BenchRecordedOrder, "recorded")):
        app.include_router(AuthController.create(model_class=model, response_schema=model, schema_name="bench", table_name=name))
    return app, service.create_access_token(CALLER)


Workload = Callable[[httpx.AsyncClient, int, dict[int, str], Side], Awaitable[None]]


def _checked(response: httpx.Response) -> httpx.Response:
    if response.status_code != 200:
        raise RuntimeError(f"{response.request.method} {response.request.url}: {response.status_code} {response.text[:200]}")
    return response


async def patch(client: httpx.AsyncClient, key: int, tags: dict[int, str], side: Side) -> None:
    path, conditional = side
    headers = {"If-Match": tags[key]} if conditional else {}
    answer = _checked(await client.patch(f"{path}/{key}", json={"total": key}, headers=headers))
    tags[key] = answer.headers["ETag"]


async def delete_and_restore(client: httpx.AsyncClient, key: int, tags: dict[int, str], side: Side) -> None:
    path, conditional = side
    headers = {"If-Match": tags[key]} if conditional else {}
    deleted = _checked(await client.delete(f"{path}/{key}", headers=headers))
    headers = {"If-Match": deleted.headers["ETag"]} if conditional else {}
    tags[key] = _checked(await client.post(f"{path}/{key}/restore", headers=headers)).headers["ETag"]


async def measure(app: FastAPI, token: str, workload: Workload, requests: int, side: Side) -> tuple[float, float]:
    """CPU seconds and wall-clock seconds per request of one side (rows in turn, one client)."""
    transport = httpx.ASGITransport(app=app)
    async with httpx.AsyncClient(transport=transport, base_url="http://bench", headers={"Authorization": f"Bearer {token}"}) as client:
        keys = [1 + n % ROWS for n in range(requests)]
        # The tags a client holds: read before the clock starts.
        tags = {key: _checked(await client.get(f"{side[0]}/{key}")).headers["ETag"] for key in set(keys)}
        start, cpu_start = time.perf_counter(), time.process_time()
        for key in keys:
            await workload(client, key, tags, side)
        return (time.process_time() - cpu_start) / requests, (time.perf_counter() - start) / requests


async def run(args: argparse.Namespace) -> int:
    with tempfile.TemporaryDirectory() as workdir:
        url = args.database_url or f"sqlite:///{Path(workdir) / 'bench.db'}"
        app, token = prepare(url)
        print(f"database: {url.split('@')[-1]}; {ROWS} rows; {args.requests} writes x {args.rounds} rounds, one client")
        print(f"{'comparison':<28} {'ms/write':>9} {'baseline':>9} {'ratio CPU':>10} {'best CPU':>10} "
              f"{'ratio wall':>11} {'target':>7}")
        missed = 0
        recorded: Side = ("/v1/bench/recorded", False)
        comparisons: list[tuple[str, Workload, Side, float]] = [
            ("PATCH with If-Match", patch, ("/v1/bench/order", True), IF_MATCH_TARGET),
            ("DELETE+restore with If-Match", delete_and_restore, ("/v1/bench/order", True), IF_MATCH_TARGET),
            ("PATCH with history", patch, recorded, HISTORY_TARGET),
            ("DELETE+restore with history", delete_and_restore, recorded, HISTORY_TARGET),
        ]
        for name, workload, measured, target in comparisons:
            sides = {"measured": measured, "baseline": PLAIN}
            for side in sides.values():  # warm-up: caches, compiled statements
                await measure(app, token, workload, 30, side)
            cpu: dict[str, list[float]] = {"measured": [], "baseline": []}
            wall: dict[str, list[float]] = {"measured": [], "baseline": []}
            for round_index in range(args.rounds):
                for kind in (("measured", "baseline") if round_index % 2 == 0 else ("baseline", "measured")):
                    per_cpu, per_wall = await measure(app, token, workload, args.requests, sides[kind])
                    cpu[kind].append(per_cpu)
                    wall[kind].append(per_wall)
            cpu_ratio = statistics.median(m / b for m, b in zip(cpu["measured"], cpu["baseline"]))
            wall_ratio = statistics.median(m / b for m, b in zip(wall["measured"], wall["baseline"]))
            best_ratio = min(cpu["measured"]) / min(cpu["baseline"])
            missed += min(cpu_ratio, best_ratio) > target
            print(f"{name:<28} {statistics.median(cpu['measured']) * 1000:>9.3f} {statistics.median(cpu['baseline']) * 1000:>9.3f} "
                  f"{cpu_ratio:>10.3f} {best_ratio:>10.3f} {wall_ratio:>11.3f} {target:>7.2f}")
        print("every comparison meets its target" if not missed else f"{missed} comparison(s) miss their target")
        get_database_registry().reset()
        return 1 if missed and args.check else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n")[0])
    parser.add_argument("--requests", type=int, default=300, help="writes per side per round")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--database-url", help="SQLAlchemy URL (default: a temporary SQLite file)")
    parser.add_argument("--check", action="store_true", help="exit 1 when a ratio misses its target")
    return asyncio.run(run(parser.parse_args()))


if __name__ == "__main__":
    sys.exit(main())
