"""What If-Match costs a write of one row, measured side by side.

One table of 1,000 rows, served by ``AuthController.create`` behind a guard,
is updated in process through the ASGI interface: each request a ``PATCH``
of one row (its total), rows taken in turn.  The measured side sends each
row's current ``ETag`` in ``If-Match`` (the tag the previous answer for that
row gave, as a client does); the baseline sends none.  Then the same for
``DELETE`` followed by ``restore`` (the table deletes softly), with and
without ``If-Match`` on both.

The two sides alternate round by round.  Printed per comparison: the median
over the rounds of the ratio of CPU seconds of this process per request
(SQLite runs in it), the ratio of the fastest round of each side, and the
median ratio of wall-clock time.  Target: at most 1.15 times the CPU time
without If-Match; ``--check`` fails a run where both CPU ratios miss it.

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
from quorvalen_core.rows.table_options import TableOptions
from quorvalen_core.type.var import SQLModelDB

ROWS = 1_000
TARGET = 1.15
CALLER = "writer"


class BenchTaggedOrder(SQLModelDB, table=True):
    __tablename__ = "bench_tagged_order"
    __table_options__ = TableOptions(deleted_at="deleted_at")
    id: int | None = Field(default=None, primary_key=True)
    number: str = Field(max_length=20)
    total: int = 0
    deleted_at: datetime | None = None


def prepare(url: str) -> tuple[FastAPI, str]:
    databases = DatabaseRegistry(default_url=url, environ={})
    service = AuthService(settings=AuthSettings(secret_key=SecretStr("bench-secret-" + "k" * 32)), databases=databases)
    set_database_registry(databases)
    set_auth_service(service)
    engine = databases.engine()
    table = BenchTaggedOrder.__table__  # type: ignore[attr-defined]
    SQLModel.metadata.drop_all(engine, tables=[table])
    SQLModel.metadata.create_all(engine, tables=[table])
    with engine.begin() as connection:
        connection.execute(insert(table), [{"number": f"N-{n:06d}", "total": n} for n in range(ROWS)])
    store = service.policies()
    store.grant_many([("writer", "bench.order", act) for act in ("read", "update", "delete", "restore")])
    store.assign_roles([(CALLER, "writer")])
    app = FastAPI()
    app.include_router(AuthController.create(model_class=BenchTaggedOrder, response_schema=BenchTaggedOrder, schema_name="bench", table_name="order"))
    return app, service.create_access_token(CALLER)


Workload = Callable[[httpx.AsyncClient, int, dict[int, str], bool], Awaitable[None]]


def _checked(response: httpx.Response) -> httpx.Response:
    if response.status_code != 200:
        raise RuntimeError(f"{response.request.method} {response.request.url}: {response.status_code} {response.text[:200]}")
    return response


async def patch(client: httpx.AsyncClient, key: int, tags: dict[int, str], conditional: bool) -> None:
    headers = {"If-Match": tags[key]} if conditional else {}
    answer = _checked(await client.patch(f"/v1/bench/order/{key}", json={"total": key}, headers=headers))
    tags[key] = answer.headers["ETag"]


async def delete_and_restore(client: httpx.AsyncClient, key: int, tags: dict[int, str], conditional: bool) -> None:
    headers = {"If-Match": tags[key]} if conditional else {}
    deleted = _checked(await client.delete(f"/v1/bench/order/{key}", headers=headers))
    headers = {"If-Match": deleted.headers["ETag"]} if conditional else {}
    tags[key] = _checked(await client.post(f"/v1/bench/order/{key}/restore", headers=headers)).headers["ETag"]


async def measure(app: FastAPI, token: str, workload: Workload, requests: int, conditional: bool) -> tuple[float, float]:
    """CPU seconds and wall-clock seconds per request of one side (rows in turn, one client)."""
    transport = httpx.ASGITransport(app=app)
    async with httpx.AsyncClient(transport=transport, base_url="http://bench", headers={"Authorization": f"Bearer {token}"}) as client:
        keys = [1 + n % ROWS for n in range(requests)]
        # The tags a client holds: read before the clock starts.
        tags = {key: _checked(await client.get(f"/v1/bench/order/{key}")).headers["ETag"] for key in set(keys)}
        start, cpu_start = time.perf_counter(), time.process_time()
        for key in keys:
            await workload(client, key, tags, conditional)
        return (time.process_time() - cpu_start) / requests, (time.perf_counter() - start) / requests


async def run(args: argparse.Namespace) -> int:
    with tempfile.TemporaryDirectory() as workdir:
        url = args.database_url or f"sqlite:///{Path(workdir) / 'bench.db'}"
        app, token = prepare(url)
        print(f"database: {url.split('@')[-1]}; {ROWS} rows; {args.requests} writes x {args.rounds} rounds, one client")
        print(f"{'comparison':<28} {'ms/write':>9} {'baseline':>9} {'ratio CPU':>10} {'best CPU':>10} "
              f"{'ratio wall':>11} {'target':>7}")
        missed = 0
        workloads: list[tuple[str, Workload]] = [("PATCH with If-Match", patch), ("DELETE+restore with If-Match", delete_and_restore)]
        for name, workload in workloads:
            for conditional in (True, False):  # warm-up: caches, compiled statements
                await measure(app, token, workload, 30, conditional)
            cpu: dict[bool, list[float]] = {True: [], False: []}
            wall: dict[bool, list[float]] = {True: [], False: []}
            for round_index in range(args.rounds):
                for conditional in ((True, False) if round_index % 2 == 0 else (False, True)):
                    per_cpu, per_wall = await measure(app, token, workload, args.requests, conditional)
                    cpu[conditional].append(per_cpu)
                    wall[conditional].append(per_wall)
            cpu_ratio = statistics.median(m / b for m, b in zip(cpu[True], cpu[False]))
            wall_ratio = statistics.median(m / b for m, b in zip(wall[True], wall[False]))
            best_ratio = min(cpu[True]) / min(cpu[False])
            missed += min(cpu_ratio, best_ratio) > TARGET
            print(f"{name:<28} {statistics.median(cpu[True]) * 1000:>9.3f} {statistics.median(cpu[False]) * 1000:>9.3f} "
                  f"{cpu_ratio:>10.3f} {best_ratio:>10.3f} {wall_ratio:>11.3f} {TARGET:>7.2f}")
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
