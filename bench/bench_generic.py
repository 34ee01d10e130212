"""Generated read and query endpoints against the same endpoints written by hand.

Both applications serve one product table from the same database, behind the
same checks (``AuthRouter.add_guarded_route`` with the same settings), with
the same response envelope.  The generated one is ``AuthController.create``;
the hand-written one is ordinary FastAPI + SQLModel code: typed endpoint
functions, a session dependency, a response model.

Workloads, each with guarded (bearer token + permission) and public routes:

- read:     ``GET /{id}``, ids cycling over the table;
- query:    ``GET ?offset=&limit=20``, pages cycling over the table, with a total count;
- filtered: ``GET ?filter=stock:lt:50&sort=-price&limit=20`` (the hand-written
  endpoint has a ``max_stock`` parameter and a fixed ordering instead).

Requests go in process through the ASGI interface with a few concurrent
clients; the two applications alternate round by round, and each ratio is the
median over the rounds of generated/hand-written requests per second.
Target: every ratio >= 0.95.

Run: ``python bench/bench_generic.py [--requests N] [--rounds R] [--database-url URL]``.
"""

from __future__ import annotations

import argparse
import asyncio
import statistics
import sys
import tempfile
import time
from collections.abc import Iterator
from decimal import Decimal
from pathlib import Path
from typing import Any

import httpx
from fastapi import Depends, FastAPI, HTTPException, Query
from pydantic import SecretStr
from sqlalchemy import func, select
from sqlmodel import Field, Session, SQLModel, col

from quorvalen_core.auth import AuthRouter, AuthService, AuthSettings, set_auth_service
from quorvalen_core.web.envelope import Envelope, Page
from quorvalen_core.controller.router_config import RouterConfig
from quorvalen_core.controller.table_controller import AuthController
from quorvalen_core.db import DatabaseRegistry, get_database_registry, set_database_registry
from quorvalen_core.type.var import SQLModelDB, SQLModelResponse

ROWS = 1_000
TARGET = 0.95
SUBJECT = "bench-user"


class BenchProduct(SQLModelDB, table=True):
    __tablename__ = "bench_product"

    id: int | None = Field(default=None, primary_key=True)
    sku: str = Field(max_length=32, unique=True)
    name: str = Field(max_length=120)
    price: Decimal = Field(ge=0, max_digits=10, decimal_places=2)
    stock: int = Field(default=0, ge=0, index=True)


class BenchProductResponse(SQLModelResponse):
    id: int
    sku: str
    name: str
    price: Decimal
    stock: int


# -- the hand-written endpoints -------------------------------------------------


def get_session() -> Iterator[Session]:
    with get_database_registry().session() as session:
        yield session


ProductEnvelope = Envelope[BenchProductResponse]
ProductPage = Page[BenchProductResponse]
ProductPageEnvelope = Envelope[ProductPage]


def read_product(id: int, session: Session = Depends(get_session)) -> ProductEnvelope:
    product = session.get(BenchProduct, id)
    if product is None:
        raise HTTPException(status_code=404, detail="Row not found")
    # The response schema reads the row's attributes (from_attributes).
    return ProductEnvelope(message="获取成功", data=product)  # type: ignore[arg-type]


def query_products(
    offset: int = Query(0, ge=0),
    limit: int = Query(20, ge=1, le=100),
    max_stock: int | None = Query(None),
    by_price: bool = Query(False),
    session: Session = Depends(get_session),
) -> ProductPageEnvelope:
    stock, price, key = (col(BenchProduct.stock), col(BenchProduct.price), col(BenchProduct.id))
    conditions = [] if max_stock is None else [stock < max_stock]
    order = [price.desc(), key] if by_price else [key]
    total = session.scalar(select(func.count()).select_from(BenchProduct).where(*conditions))
    rows = session.scalars(
        select(BenchProduct).where(*conditions).order_by(*order).offset(offset).limit(limit)
    ).all()
    page = {"items": rows, "total": total or 0, "offset": offset, "limit": limit, "has_more": offset + len(rows) < (total or 0)}
    return ProductPageEnvelope(message="查询成功", data=page)  # type: ignore[arg-type]


def hand_written_router(prefix: str, *, guarded: bool) -> AuthRouter:
    router = AuthRouter(prefix=prefix, tags=["bench.table"], default_role="bench", auth_obj="bench.product")
    for path, endpoint, action in (("/{id}", read_product, "read"), ("", query_products, "query")):
        config = RouterConfig(enabled=True, auth=guarded, auth_act=action, summary=action)
        router.add_guarded_route(
            path, endpoint, methods=["GET"], config=config, operation_id=f"hand_{prefix}_{action}"
        )
    return router


def generated_router(prefix: str, *, guarded: bool) -> AuthRouter:
    settings: dict[str, Any] = {}  # RouterConfig per operation
    if not guarded:
        settings = {f"{op}_router": RouterConfig(auth=False) for op in ("read", "query")}
    off: dict[str, Any] = {f"{op}_router": RouterConfig(enabled=False) for op in ("create", "update", "delete")}
    router: AuthRouter = AuthController.create(
        model_class=BenchProduct,
        response_schema=BenchProductResponse,
        prefix=prefix,
        schema_name="bench",
        table_name="product",
        **off,
        **settings,
    )
    return router


# -- set-up and measurement -----------------------------------------------------


def prepare(url: str) -> tuple[dict[str, FastAPI], str]:
    databases = DatabaseRegistry(default_url=url, environ={})
    service = AuthService(settings=AuthSettings(secret_key=SecretStr("bench-secret-" + "k" * 32)), databases=databases)
    set_database_registry(databases)
    set_auth_service(service)
    engine = databases.engine()
    SQLModel.metadata.drop_all(engine, tables=[BenchProduct.__table__])  # type: ignore[attr-defined]
    SQLModel.metadata.create_all(engine, tables=[BenchProduct.__table__])  # type: ignore[attr-defined]
    with databases.session() as session:
        session.add_all(
            BenchProduct(
                sku=f"SKU-{n:05d}", name=f"Product {n}", price=Decimal(n % 97) + Decimal("0.99"), stock=n % 200
            )
            for n in range(ROWS)
        )
        session.commit()
    service.policies().assign_role(SUBJECT, "bench")
    apps = {}
    for guarded in (True, False):
        kind = "guarded" if guarded else "public"
        for name, build in (("generated", generated_router), ("hand", hand_written_router)):
            app = FastAPI()
            app.include_router(build("/v1/bench/product", guarded=guarded))
            apps[f"{name}/{kind}"] = app
    return apps, service.create_access_token(SUBJECT)


def request_paths(workload: str, app_name: str, count: int) -> list[str]:
    base = "/v1/bench/product"
    if workload == "read":
        return [f"{base}/{1 + (i * 37) % ROWS}" for i in range(count)]
    if workload == "query":
        return [f"{base}?offset={(i * 20) % ROWS}&limit=20" for i in range(count)]
    if app_name.startswith("generated"):
        return [f"{base}?filter=stock:lt:50&sort=-price&offset={(i * 20) % 200}&limit=20" for i in range(count)]
    return [f"{base}?max_stock=50&by_price=true&offset={(i * 20) % 200}&limit=20" for i in range(count)]


async def measure(app: FastAPI, paths: list[str], token: str, concurrency: int) -> tuple[float, float]:
    """Requests per wall-clock second and per CPU second of this process.

    The second figure is steadier on a machine that other work shares.
    """
    transport = httpx.ASGITransport(app=app)
    headers = {"Authorization": f"Bearer {token}"}
    async with httpx.AsyncClient(transport=transport, base_url="http://bench", headers=headers) as client:
        queue = iter(paths)

        async def worker() -> None:
            for path in queue:
                response = await client.get(path)
                if response.status_code != 200:
                    raise RuntimeError(f"{path}: {response.status_code} {response.text[:200]}")

        start, cpu_start = time.perf_counter(), time.process_time()
        await asyncio.gather(*(worker() for _ in range(concurrency)))
        wall, cpu = time.perf_counter() - start, time.process_time() - cpu_start
        return len(paths) / wall, len(paths) / cpu


async def run(args: argparse.Namespace) -> int:
    with tempfile.TemporaryDirectory() as workdir:
        url = args.database_url or f"sqlite:///{Path(workdir) / 'bench.db'}"
        apps, token = prepare(url)
        print(f"database: {url.split('@')[-1]}; {ROWS} rows; {args.requests} requests x "
              f"{args.rounds} rounds, {args.concurrency} concurrent clients")
        print(f"{'workload':<20} {'generated req/s':>16} {'hand req/s':>12} {'ratio':>7} {'ratio per CPU s':>16}")
        worst = float("inf")
        for kind in ("guarded", "public"):
            for workload in ("read", "query", "filtered"):
                generated, hand = f"generated/{kind}", f"hand/{kind}"
                for name in (generated, hand):  # warm-up: caches, compiled statements
                    await measure(apps[name], request_paths(workload, name, 50), token, args.concurrency)
                ratios: list[float] = []
                cpu_ratios: list[float] = []
                rates: dict[str, list[float]] = {generated: [], hand: []}
                for round_index in range(args.rounds):
                    order = (generated, hand) if round_index % 2 == 0 else (hand, generated)
                    measured: dict[str, tuple[float, float]] = {}
                    for name in order:
                        paths = request_paths(workload, name, args.requests)
                        measured[name] = await measure(apps[name], paths, token, args.concurrency)
                        rates[name].append(measured[name][0])
                    ratios.append(measured[generated][0] / measured[hand][0])
                    cpu_ratios.append(measured[generated][1] / measured[hand][1])
                ratio = statistics.median(ratios)
                worst = min(worst, ratio)
                print(
                    f"{workload + '/' + kind:<20} {statistics.median(rates[generated]):>16.0f} "
                    f"{statistics.median(rates[hand]):>12.0f} {ratio:>7.3f} {statistics.median(cpu_ratios):>16.3f}"
                )
        verdict = "meets" if worst >= TARGET else "misses"
        print(f"lowest ratio {worst:.3f}: {verdict} the target of {TARGET}")
        get_database_registry().reset()
        return 0 if worst >= TARGET or not args.check else 1


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--requests", type=int, default=400, help="requests per app per round")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--concurrency", type=int, default=4)
    parser.add_argument("--database-url", help="SQLAlchemy URL (default: a temporary SQLite file)")
    parser.add_argument("--check", action="store_true", help="exit 1 when a ratio misses the target")
    return asyncio.run(run(parser.parse_args()))


if __name__ == "__main__":
    sys.exit(main())
