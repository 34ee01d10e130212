"""What a row policy and an include cost a query, measured side by side.

Two tables of 100,000 orders hold the same rows, 1,000 customers' and 100
owners' (``owner`` indexed in both): ``bench_row_order`` declares the owner
column and an includable customer (``TableOptions``), ``bench_plain_order``
declares nothing.  Both are served by ``AuthController.create`` behind the
same guard, and queried in process through the ASGI interface, pages of 20
with their total:

- policy: ``user-7`` (1,000 rows of its own) queries the table with the row
  policy, against the same query on the plain table; then against the plain
  table filtered on the owner by the client (the same rows, so the policy's
  own cost); then ``boss``, who may query every row, against the plain table;
- include: ``user-7``'s page with ``include=customer`` against the same page
  without it.

The two sides alternate round by round.  Printed per comparison: the median
over the rounds of the ratio of CPU seconds of this process per request
(SQLite runs in it; steadier on a shared machine), the ratio of the fastest
round of each side (the one other work on the machine disturbed least), and
the median ratio of wall-clock time.  Targets: policy <= 1.1, include <= 1.5;
``--check`` fails a run where both CPU ratios miss one.

Run: ``python bench/bench_rows.py [--requests N] [--rounds R] [--database-url URL] [--check]``.
"""

# No "from __future__ import annotations": SQLModel reads a relationship's
# target from its annotation.
import argparse
import asyncio
import statistics
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import httpx
from fastapi import FastAPI
from pydantic import SecretStr
from sqlalchemy import insert
from sqlmodel import Field, Relationship, SQLModel

from quorvalen_core.auth import AuthService, AuthSettings, set_auth_service
from quorvalen_core.controller.router_config import RouterConfig
from quorvalen_core.controller.table_controller import AuthController
from quorvalen_core.rows.table_options import Includable, TableOptions
from quorvalen_core.db import DatabaseRegistry, get_database_registry, set_database_registry
from quorvalen_core.type.var import SQLModelDB, SQLModelResponse

ROWS = 100_000
OWNERS = 100
CUSTOMERS = 1_000
POLICY_TARGET = 1.1
INCLUDE_TARGET = 1.5
USER = "user-7"
BOSS = "boss"


class BenchCustomer(SQLModelDB, table=True):
    __tablename__ = "bench_row_customer"

    id: int | None = Field(default=None, primary_key=True)
    name: str = Field(max_length=40)


class BenchCustomerResponse(SQLModelResponse):
    id: int
    name: str


class BenchRowOrder(SQLModelDB, table=True):
    __tablename__ = "bench_row_order"
    __table_options__ = TableOptions(
        owner="owner",
        includes=(Includable(relation="customer", schema=BenchCustomerResponse, auth_obj="bench.customer"),),
    )

    id: int | None = Field(default=None, primary_key=True)
    number: str = Field(max_length=20)
    total: int = 0
    owner: str = Field(default="", max_length=40, index=True)
    customer_id: int | None = Field(default=None, foreign_key="bench_row_customer.id")

    customer: BenchCustomer | None = Relationship()


class BenchPlainOrder(SQLModelDB, table=True):
    __tablename__ = "bench_plain_order"

    id: int | None = Field(default=None, primary_key=True)
    number: str = Field(max_length=20)
    total: int = 0
    owner: str = Field(default="", max_length=40, index=True)
    customer_id: int | None = Field(default=None, foreign_key="bench_row_customer.id")


class BenchOrderResponse(SQLModelResponse):
    id: int
    number: str
    total: int
    owner: str
    customer_id: int | None


TABLES = [BenchCustomer.__table__, BenchRowOrder.__table__, BenchPlainOrder.__table__]  # type: ignore[attr-defined]


def prepare(url: str) -> tuple[FastAPI, dict[str, str]]:
    databases = DatabaseRegistry(default_url=url, environ={})
    service = AuthService(settings=AuthSettings(secret_key=SecretStr("bench-secret-" + "k" * 32)), databases=databases)
    set_database_registry(databases)
    set_auth_service(service)
    engine = databases.engine()
    SQLModel.metadata.drop_all(engine, tables=TABLES)
    SQLModel.metadata.create_all(engine, tables=TABLES)
    rows = [
        {"number": f"N-{n:06d}", "total": n % 500, "owner": f"user-{n % OWNERS}", "customer_id": 1 + n % CUSTOMERS}
        for n in range(ROWS)
    ]
    with engine.begin() as connection:
        connection.execute(insert(BenchCustomer.__table__), [{"name": f"Customer {n}"} for n in range(CUSTOMERS)])  # type: ignore[attr-defined]
        for table in TABLES[1:]:
            connection.execute(insert(table), rows)
    if engine.dialect.name == "postgresql":
        with engine.connect().execution_options(isolation_level="AUTOCOMMIT") as connection:
            connection.exec_driver_sql("ANALYZE")
    store = service.policies()
    store.grant_many(
        [("buyer", f"bench.{table}", act) for table in ("order", "plain", "customer") for act in ("read", "query")]
    )
    store.grant_many([("manager", "bench.order", act) for act in ("query", "query:all")] + [("manager", "bench.plain", "query")])
    store.assign_roles([(USER, "buyer"), (BOSS, "manager")])
    app = FastAPI()
    off = {f"{op}_router": RouterConfig(enabled=False) for op in ("create", "update", "delete")}
    for model, name in ((BenchRowOrder, "order"), (BenchPlainOrder, "plain"), (BenchCustomer, "customer")):
        response: Any = BenchCustomerResponse if model is BenchCustomer else BenchOrderResponse
        app.include_router(
            AuthController.create(model_class=model, response_schema=response, schema_name="bench", table_name=name, **off)
        )
    return app, {USER: service.create_access_token(USER), BOSS: service.create_access_token(BOSS)}


# (name, (subject, path, parameters) measured, (subject, path, parameters) compared with, target)
COMPARISONS = [
    ("policy vs plain table", (USER, "order", ""), (USER, "plain", ""), POLICY_TARGET),
    ("policy vs owner filter", (USER, "order", ""), (USER, "plain", f"&filter=owner:eq:{USER}"), POLICY_TARGET),
    ("every row vs plain", (BOSS, "order", ""), (BOSS, "plain", ""), POLICY_TARGET),
    ("include=customer", (USER, "order", "&include=customer"), (USER, "order", ""), INCLUDE_TARGET),
]


def paths(table: str, extra: str, count: int) -> list[str]:
    # A caller paging through its first five pages.
    return [f"/v1/bench/{table}?limit=20&offset={(i * 20) % 100}{extra}" for i in range(count)]


async def measure(app: FastAPI, token: str, requests: list[str], concurrency: int) -> tuple[float, float]:
    """CPU seconds and wall-clock seconds per request."""
    transport = httpx.ASGITransport(app=app)
    async with httpx.AsyncClient(transport=transport, base_url="http://bench", headers={"Authorization": f"Bearer {token}"}) as client:
        queue = iter(requests)

        async def worker() -> None:
            for path in queue:
                response = await client.get(path)
                if response.status_code != 200:
                    raise RuntimeError(f"{path}: {response.status_code} {response.text[:200]}")

        start, cpu_start = time.perf_counter(), time.process_time()
        await asyncio.gather(*(worker() for _ in range(concurrency)))
        return (time.process_time() - cpu_start) / len(requests), (time.perf_counter() - start) / len(requests)


async def run(args: argparse.Namespace) -> int:
    with tempfile.TemporaryDirectory() as workdir:
        url = args.database_url or f"sqlite:///{Path(workdir) / 'bench.db'}"
        app, tokens = prepare(url)
        print(f"database: {url.split('@')[-1]}; {ROWS} rows per table, {OWNERS} owners; "
              f"{args.requests} requests x {args.rounds} rounds, {args.concurrency} concurrent clients")
        print(f"{'comparison':<24} {'ms/request':>11} {'baseline':>9} {'ratio CPU':>10} {'best CPU':>10} "
              f"{'ratio wall':>11} {'target':>7}")
        missed = 0
        for name, measured, baseline, target in COMPARISONS:
            sides = {"measured": measured, "baseline": baseline}
            for subject, table, extra in sides.values():  # warm-up: caches, compiled statements
                await measure(app, tokens[subject], paths(table, extra, 30), args.concurrency)
            cpu: dict[str, list[float]] = {"measured": [], "baseline": []}
            wall: dict[str, list[float]] = {"measured": [], "baseline": []}
            for round_index in range(args.rounds):
                order = list(sides) if round_index % 2 == 0 else list(reversed(sides))
                for side in order:
                    subject, table, extra = sides[side]
                    per_cpu, per_wall = await measure(app, tokens[subject], paths(table, extra, args.requests), args.concurrency)
                    cpu[side].append(per_cpu)
                    wall[side].append(per_wall)
            cpu_ratio = statistics.median(m / b for m, b in zip(cpu["measured"], cpu["baseline"]))
            wall_ratio = statistics.median(m / b for m, b in zip(wall["measured"], wall["baseline"]))
            # The fastest round of each side: what other work on the machine added least to.
            best_ratio = min(cpu["measured"]) / min(cpu["baseline"])
            missed += min(cpu_ratio, best_ratio) > target
            print(f"{name:<24} {statistics.median(cpu['measured']) * 1000:>11.3f} "
                  f"{statistics.median(cpu['baseline']) * 1000:>9.3f} {cpu_ratio:>10.3f} {best_ratio:>10.3f} "
                  f"{wall_ratio:>11.3f} {target:>7.1f}")
        print("every comparison meets its target" if not missed else f"{missed} comparison(s) miss their target")
        get_database_registry().reset()
        return 1 if missed and args.check else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--requests", type=int, default=200, help="requests per side per round")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--concurrency", type=int, default=4)
    parser.add_argument("--database-url", help="SQLAlchemy URL (default: a temporary SQLite file)")
    parser.add_argument("--check", action="store_true", help="exit 1 when a ratio misses its target")
    return asyncio.run(run(parser.parse_args()))


if __name__ == "__main__":
    sys.exit(main())
