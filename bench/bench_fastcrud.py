"""Generated endpoints against FastCRUD's and against hand-written FastAPI endpoints.

Three applications serve one product table from the same database, all
public (FastCRUD has no permission checks):

- ``generated``: ``AuthController.create``;
- ``fastcrud``: FastCRUD's ``crud_router`` (async session, the same table);
- ``hand``: ordinary FastAPI + SQLModel endpoints, written the usual way.

Workloads: ``read`` (``GET /{id}``), ``query`` (a page of 20 with its total),
``filtered`` (stock below 50, sorted by descending price, with its total),
``create`` (``POST``), ``update`` (``PATCH /{id}``, one field), ``delete``
(``DELETE /{id}`` of rows inserted beforehand, untimed).

Two modes, each alternating the applications round by round and taking the
median of each ratio over the rounds:

- in process, through the ASGI interface with a few concurrent clients;
- under uvicorn (one worker each, 127.0.0.1), driven by ``wrk`` for a few
  seconds per workload (skipped, with a note, where ``wrk`` is missing).

Targets: generated/fastcrud >= 1.5 and generated/hand >= 1.0 on every workload.

Needs FastCRUD and aiosqlite, which are no dependencies of the package:
``bash scripts/bench.sh bench/bench_fastcrud.py`` installs them into
``.venv-bench`` and runs this file there.  ``--short`` makes a quick run (CI
and checks).  ``--database-url`` takes a PostgreSQL URL
(``postgresql+psycopg://...``; FastCRUD gets the same URL, async).
"""

from __future__ import annotations

import argparse
import asyncio
import itertools
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import AsyncIterator, Iterator
from dataclasses import dataclass
from decimal import Decimal
from pathlib import Path
from typing import Any

import httpx
from fastapi import APIRouter, Depends, FastAPI, HTTPException, Query
from sqlalchemy import delete as sql_delete
from sqlalchemy import func, insert, select
from sqlalchemy.engine import make_url
from sqlmodel import Field, Session, SQLModel, col

from quorvalen_core.web.envelope import Envelope, Page
from quorvalen_core.controller.router_config import RouterConfig
from quorvalen_core.controller.table_controller import AuthController
from quorvalen_core.db import DatabaseRegistry, get_database_registry, set_database_registry
from quorvalen_core.type.var import SQLModelCreate, SQLModelDB, SQLModelResponse, SQLModelUpdate

ROWS = 1_000
# Every worker signs query cursors with one key (the bench's own).
os.environ.setdefault("QUORVALEN_QUERY_CURSOR_KEY", "bench-cursor-key-" + "k" * 32)
PATH = "/v1/bench/product"
APPS = ("generated", "fastcrud", "hand")
WORKLOADS = ("read", "query", "filtered", "create", "update", "delete")
TARGETS = {"fastcrud": 1.5, "hand": 1.0}


class BenchItem(SQLModelDB, table=True):
    __tablename__ = "bench_item"
    # Ids are never reused: a delete still in flight when a round ends must
    # not find the next round's row under the same id.
    __table_args__ = {"sqlite_autoincrement": True}

    id: int | None = Field(default=None, primary_key=True)
    sku: str = Field(max_length=40, unique=True)
    name: str = Field(max_length=120)
    price: Decimal = Field(ge=0, max_digits=10, decimal_places=2)
    stock: int = Field(default=0, ge=0, index=True)


class ItemCreate(SQLModelCreate):
    sku: str = Field(max_length=40)
    name: str = Field(max_length=120)
    price: Decimal = Field(ge=0, max_digits=10, decimal_places=2)
    stock: int = Field(default=0, ge=0)


class ItemUpdate(SQLModelUpdate):
    sku: str | None = Field(default=None, max_length=40)
    name: str | None = Field(default=None, max_length=120)
    price: Decimal | None = Field(default=None, ge=0, max_digits=10, decimal_places=2)
    stock: int | None = Field(default=None, ge=0)


class ItemResponse(SQLModelResponse):
    id: int
    sku: str
    name: str
    price: Decimal
    stock: int


# -- the three applications -----------------------------------------------------


def generated_app() -> FastAPI:
    public = {f"{op}_router": RouterConfig(auth=False) for op in ("create", "read", "update", "delete", "query")}
    app = FastAPI()
    app.include_router(
        AuthController.create(
            model_class=BenchItem,
            create_schema=ItemCreate,
            update_schema=ItemUpdate,
            response_schema=ItemResponse,
            prefix=PATH,
            schema_name="bench",
            table_name="item",
            **public,
        )
    )
    return app


def get_session() -> Iterator[Session]:
    with get_database_registry().session() as session:
        yield session


ItemEnvelope = Envelope[ItemResponse]
PageEnvelope = Envelope[Page[ItemResponse]]


def hand_app() -> FastAPI:
    router = APIRouter(prefix=PATH)

    @router.post("", status_code=201)
    def create_item(body: ItemCreate, session: Session = Depends(get_session)) -> ItemEnvelope:
        item = BenchItem.model_validate(body)
        session.add(item)
        session.commit()
        session.refresh(item)
        return ItemEnvelope(message="创建成功", data=item)  # type: ignore[arg-type]

    @router.get("/{id}")
    def read_item(id: int, session: Session = Depends(get_session)) -> ItemEnvelope:  # noqa: A002
        item = session.get(BenchItem, id)
        if item is None:
            raise HTTPException(status_code=404, detail="Row not found")
        return ItemEnvelope(message="获取成功", data=item)  # type: ignore[arg-type]

    @router.patch("/{id}")
    def update_item(id: int, body: ItemUpdate, session: Session = Depends(get_session)) -> ItemEnvelope:  # noqa: A002
        item = session.get(BenchItem, id)
        if item is None:
            raise HTTPException(status_code=404, detail="Row not found")
        item.sqlmodel_update(body.model_dump(exclude_unset=True))
        session.commit()
        session.refresh(item)
        return ItemEnvelope(message="更新成功", data=item)  # type: ignore[arg-type]

    @router.delete("/{id}")
    def delete_item(id: int, session: Session = Depends(get_session)) -> ItemEnvelope:  # noqa: A002
        item = session.get(BenchItem, id)
        if item is None:
            raise HTTPException(status_code=404, detail="Row not found")
        data = ItemResponse.model_validate(item)
        session.delete(item)
        session.commit()
        return ItemEnvelope(message="删除成功", data=data)

    @router.get("")
    def query_items(
        offset: int = Query(0, ge=0),
        limit: int = Query(20, ge=1, le=100),
        max_stock: int | None = Query(None),
        by_price: bool = Query(False),
        session: Session = Depends(get_session),
    ) -> PageEnvelope:
        stock, price, key = (col(BenchItem.stock), col(BenchItem.price), col(BenchItem.id))
        conditions = [] if max_stock is None else [stock < max_stock]
        order = [price.desc(), key] if by_price else [key]
        total = session.scalar(select(func.count()).select_from(BenchItem).where(*conditions))
        rows = session.scalars(
            select(BenchItem).where(*conditions).order_by(*order).offset(offset).limit(limit + 1)
        ).all()
        page = {"items": rows[:limit], "total": total or 0, "offset": offset, "limit": limit, "has_more": len(rows) > limit}
        return PageEnvelope(message="查询成功", data=page)  # type: ignore[arg-type]

    app = FastAPI()
    app.include_router(router)
    return app


def async_url(url: str) -> str:
    parsed = make_url(url)
    if parsed.get_backend_name() == "sqlite":
        return parsed.set(drivername="sqlite+aiosqlite").render_as_string(hide_password=False)
    return parsed.set(drivername="postgresql+psycopg").render_as_string(hide_password=False)


def fastcrud_app(url: str) -> FastAPI:
    from fastcrud import FilterConfig, crud_router
    from sqlalchemy.ext.asyncio import AsyncSession, async_sessionmaker, create_async_engine

    # The engine options the registry gives the other two applications.
    engine = create_async_engine(async_url(url), pool_pre_ping=make_url(url).get_backend_name() != "sqlite")
    sessions = async_sessionmaker(engine, class_=AsyncSession, expire_on_commit=False)

    async def get_async_session() -> AsyncIterator[AsyncSession]:
        async with sessions() as session:
            yield session

    app = FastAPI()
    app.include_router(
        crud_router(
            session=get_async_session,
            model=BenchItem,
            create_schema=ItemCreate,
            update_schema=ItemUpdate,
            select_schema=ItemResponse,
            path=PATH,
            tags=["bench"],
            filter_config=FilterConfig(stock__lt=None),
        )
    )
    return app


def build_app(name: str, url: str) -> FastAPI:
    if name == "fastcrud":
        return fastcrud_app(url)
    set_database_registry(DatabaseRegistry(default_url=url, environ={}))
    return generated_app() if name == "generated" else hand_app()


# -- data and requests ----------------------------------------------------------


def prepare_table(url: str) -> None:
    databases = DatabaseRegistry(default_url=url, environ={})
    engine = databases.engine()
    table = BenchItem.__table__  # type: ignore[attr-defined]
    SQLModel.metadata.drop_all(engine, tables=[table])
    SQLModel.metadata.create_all(engine, tables=[table])
    with engine.begin() as connection:
        connection.execute(insert(table), [row(n, "seed") for n in range(ROWS)])
    databases.dispose()


def row(n: int, tag: str) -> dict[str, Any]:
    return {"sku": f"{tag}-{n}", "name": f"Product {n}", "price": Decimal(n % 97) + Decimal("0.99"), "stock": n % 200}


def insert_rows(url: str, tag: str, count: int) -> tuple[int, int]:
    """Rows for a delete workload, inserted untimed; their id range."""
    databases = DatabaseRegistry(default_url=url, environ={})
    table = BenchItem.__table__  # type: ignore[attr-defined]
    with databases.engine().begin() as connection:
        connection.execute(insert(table), [row(n, tag) for n in range(count)])
        low, high = connection.execute(
            select(func.min(table.c.id), func.max(table.c.id)).where(table.c.sku.like(f"{tag}-%"))
        ).one()
    databases.dispose()
    return int(low), int(high) + 1


def drop_rows(url: str, tag: str) -> None:
    databases = DatabaseRegistry(default_url=url, environ={})
    table = BenchItem.__table__  # type: ignore[attr-defined]
    with databases.engine().begin() as connection:
        connection.execute(sql_delete(table).where(table.c.sku.like(f"{tag}-%")))
    databases.dispose()


@dataclass
class Request:
    method: str
    path: str
    body: dict[str, Any] | None = None


def requests_for(workload: str, app: str, count: int, tag: str, ids: tuple[int, int] | None) -> list[Request]:
    if workload == "read":
        return [Request("GET", f"{PATH}/{1 + (i * 37) % ROWS}") for i in range(count)]
    if workload == "query":
        return [Request("GET", f"{PATH}?offset={(i * 20) % ROWS}&limit=20") for i in range(count)]
    if workload == "filtered":
        query = {
            "generated": "filter=stock:lt:50&sort=-price",
            "fastcrud": "stock__lt=50&sort=-price",
            "hand": "max_stock=50&by_price=true",
        }[app]
        return [Request("GET", f"{PATH}?{query}&offset={(i * 20) % 200}&limit=20") for i in range(count)]
    if workload == "create":
        return [Request("POST", PATH, {**row(i, tag), "price": "9.99"}) for i in range(count)]
    if workload == "update":
        return [Request("PATCH", f"{PATH}/{1 + (i * 37) % ROWS}", {"stock": i % 200}) for i in range(count)]
    assert ids is not None
    return [Request("DELETE", f"{PATH}/{n}") for n in range(ids[0], ids[0] + count)]


async def run_in_process(app: FastAPI, requests: list[Request], concurrency: int) -> float:
    """Requests per second through the ASGI interface."""
    transport = httpx.ASGITransport(app=app)
    async with httpx.AsyncClient(transport=transport, base_url="http://bench") as client:
        queue = iter(requests)

        async def worker() -> None:
            for request in queue:
                response = await client.request(request.method, request.path, json=request.body)
                if response.status_code >= 300:
                    raise RuntimeError(f"{request.method} {request.path}: {response.status_code} {response.text[:200]}")

        start = time.perf_counter()
        await asyncio.gather(*(worker() for _ in range(concurrency)))
        return len(requests) / (time.perf_counter() - start)


# -- under uvicorn, driven by wrk -----------------------------------------------

WRK_SCRIPT = """
local method, body_kind, base, first = "{method}", "{body}", "{base}", {first}
local n = 0
wrk.headers["Content-Type"] = "application/json"
request = function()
  n = n + 1
  local path, body = base, nil
  if body_kind == "create" then
    body = string.format('{{"sku":"{tag}-%d","name":"Product %d","price":"9.99","stock":%d}}', n, n, n % 200)
  elseif body_kind == "update" then
    path = string.format("%s/%d", base, 1 + (n * 37) % {rows})
    body = string.format('{{"stock":%d}}', n % 200)
  elseif body_kind == "delete" then
    path = string.format("%s/%d", base, first + n - 1)
  elseif body_kind == "read" then
    path = string.format("%s/%d", base, 1 + (n * 37) % {rows})
  else
    path = string.format("%s&offset=%d", base, ((n * 20) % {span}))
  end
  return wrk.format(method, path, nil, body)
end
local reported = false
response = function(status, headers, body)
  if status >= 300 and not reported then
    reported = true
    io.stderr:write(string.format("first failure: %d %s\\n", status, string.sub(body, 1, 300)))
  end
end
"""


def wrk_script(workload: str, app: str, tag: str, ids: tuple[int, int] | None) -> str:
    method = {"create": "POST", "update": "PATCH", "delete": "DELETE"}.get(workload, "GET")
    base = PATH
    span = ROWS
    if workload == "query":
        base = f"{PATH}?limit=20"
    elif workload == "filtered":
        base = PATH + "?limit=20&" + {
            "generated": "filter=stock:lt:50&sort=-price",
            "fastcrud": "stock__lt=50&sort=-price",
            "hand": "max_stock=50&by_price=true",
        }[app]
        span = 200
    return WRK_SCRIPT.format(
        method=method, body=workload, base=base, first=ids[0] if ids else 0, tag=tag, rows=ROWS, span=span
    )


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return int(sock.getsockname()[1])


@dataclass
class Server:
    process: subprocess.Popen[bytes]
    port: int


def start_server(app: str, url: str) -> Server:
    port = free_port()
    command = [sys.executable, __file__, "--serve", app, "--port", str(port), "--database-url", url]
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.2):
                return Server(process, port)
        except OSError:
            if process.poll() is not None:
                raise RuntimeError(f"the {app} server stopped at startup") from None
            time.sleep(0.1)
    process.kill()
    raise RuntimeError(f"the {app} server did not start")


def run_wrk(server: Server, script: str, seconds: float, connections: int) -> float:
    with tempfile.NamedTemporaryFile("w", suffix=".lua", delete=False) as handle:
        handle.write(script)
    try:
        finished = subprocess.run(
            ["wrk", "-t1", f"-c{connections}", f"-d{seconds}s", "-s", handle.name, f"http://127.0.0.1:{server.port}"],
            capture_output=True, text=True, check=True, timeout=seconds + 30,
        )
        output = finished.stdout + finished.stderr
    finally:
        os.unlink(handle.name)
    failures = re.search(r"Non-2xx or 3xx responses: (\d+)", output)
    if failures:
        raise RuntimeError(f"{failures.group(1)} failed requests:\n{output}")
    rate = re.search(r"Requests/sec:\s+([\d.]+)", output)
    if rate is None:
        raise RuntimeError(f"no rate in wrk's output:\n{output}")
    return float(rate.group(1))


# -- the run ----------------------------------------------------------------------


def report(title: str, rates: dict[str, dict[str, list[float]]], ratios: dict[str, dict[str, list[float]]]) -> float:
    """Prints one mode's table; returns its lowest margin over the targets (>= 1: all met)."""
    print(f"\n{title}")
    print(f"{'workload':<10} {'generated':>10} {'fastcrud':>10} {'hand':>10} {'gen/fastcrud':>13} {'gen/hand':>9}")
    margin = float("inf")
    for workload in rates:
        medians = {app: statistics.median(rates[workload][app]) for app in APPS}
        vs = {other: statistics.median(ratios[workload][other]) for other in TARGETS}
        margin = min(margin, *(vs[other] / TARGETS[other] for other in TARGETS))
        print(
            f"{workload:<10} {medians['generated']:>10.0f} {medians['fastcrud']:>10.0f} {medians['hand']:>10.0f} "
            f"{vs['fastcrud']:>13.2f} {vs['hand']:>9.2f}"
        )
    return margin


async def measure_in_process(args: argparse.Namespace, url: str) -> float:
    apps = {name: build_app(name, url) for name in APPS}
    set_database_registry(DatabaseRegistry(default_url=url, environ={}))
    rates: dict[str, dict[str, list[float]]] = {}
    ratios: dict[str, dict[str, list[float]]] = {}
    serial = itertools.count()
    for workload in WORKLOADS:
        rates[workload] = {app: [] for app in APPS}
        ratios[workload] = {other: [] for other in TARGETS}
        for round_index in range(args.rounds + 1):  # round 0 warms up
            order = APPS if round_index % 2 == 0 else tuple(reversed(APPS))
            measured: dict[str, float] = {}
            for app in order:
                tag = f"{app}-{next(serial)}"
                ids = insert_rows(url, tag, args.requests) if workload == "delete" else None
                requests = requests_for(workload, app, args.requests, tag, ids)
                measured[app] = await run_in_process(apps[app], requests, args.concurrency)
                if workload in ("create", "delete"):
                    drop_rows(url, tag)
            if round_index:
                for app in APPS:
                    rates[workload][app].append(measured[app])
                for other in TARGETS:
                    ratios[workload][other].append(measured["generated"] / measured[other])
    get_database_registry().reset()
    title = f"in process: {args.requests} requests x {args.rounds} rounds, {args.concurrency} concurrent clients (req/s)"
    return report(title, rates, ratios)


def measure_under_uvicorn(args: argparse.Namespace, url: str) -> float:
    if shutil.which("wrk") is None:
        print("\nunder uvicorn: skipped, wrk is not installed (apt-get install wrk; scripts/bench.sh does)")
        return float("inf")
    servers = {app: start_server(app, url) for app in APPS}
    rates: dict[str, dict[str, list[float]]] = {}
    ratios: dict[str, dict[str, list[float]]] = {}
    serial = itertools.count()
    try:
        for workload in WORKLOADS:
            rates[workload] = {app: [] for app in APPS}
            ratios[workload] = {other: [] for other in TARGETS}
            for round_index in range(args.rounds + 1):
                order = APPS if round_index % 2 == 0 else tuple(reversed(APPS))
                measured: dict[str, float] = {}
                for app in order:
                    tag = f"{app}-{next(serial)}"
                    ids = insert_rows(url, tag, args.delete_pool) if workload == "delete" else None
                    seconds = args.seconds if round_index else 1
                    try:
                        measured[app] = run_wrk(servers[app], wrk_script(workload, app, tag, ids), seconds, args.connections)
                    except RuntimeError as error:
                        raise RuntimeError(f"{workload} on {app}: {error}") from None
                    if workload in ("create", "delete"):
                        drop_rows(url, tag)
                if round_index:
                    for app in APPS:
                        rates[workload][app].append(measured[app])
                    for other in TARGETS:
                        ratios[workload][other].append(measured["generated"] / measured[other])
    finally:
        for server in servers.values():
            server.process.terminate()
            server.process.wait(timeout=30)
    title = (
        f"under uvicorn (one worker each, 127.0.0.1, wrk -c{args.connections}): "
        f"{args.seconds} s x {args.rounds} rounds (req/s)"
    )
    return report(title, rates, ratios)


def serve(args: argparse.Namespace) -> int:
    import uvicorn

    uvicorn.run(build_app(args.serve, args.database_url), host="127.0.0.1", port=args.port, log_level="warning")
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--requests", type=int, default=300, help="requests per app per round, in process")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--concurrency", type=int, default=4)
    parser.add_argument("--seconds", type=float, default=3, help="seconds per app per round under uvicorn")
    parser.add_argument("--connections", type=int, default=4)
    parser.add_argument("--delete-pool", type=int, default=20_000, help="rows inserted for each delete run")
    parser.add_argument("--database-url", help="SQLAlchemy URL (default: a temporary SQLite file)")
    parser.add_argument("--short", action="store_true", help="a quick run: few requests, one round")
    parser.add_argument("--in-process-only", action="store_true")
    parser.add_argument("--check", action="store_true", help="exit 1 when a ratio misses its target")
    parser.add_argument("--serve", choices=APPS, help=argparse.SUPPRESS)
    parser.add_argument("--port", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        return serve(args)
    if args.short:
        args.requests, args.rounds, args.seconds, args.delete_pool = 40, 1, 1, 5_000
    # On tmpfs where there is one: commits cost no disk flush, which would
    # otherwise dominate the write workloads of every application alike.
    shared_memory = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    with tempfile.TemporaryDirectory(dir=shared_memory) as workdir:
        url = args.database_url or f"sqlite:///{Path(workdir) / 'bench.db'}"
        prepare_table(url)
        print(f"database: {make_url(url).render_as_string(hide_password=True)}; {ROWS} rows; "
              f"targets: generated/fastcrud >= {TARGETS['fastcrud']}, generated/hand >= {TARGETS['hand']}")
        margin = asyncio.run(measure_in_process(args, url))
        if not args.in_process_only:
            margin = min(margin, measure_under_uvicorn(args, url))
        verdict = "every ratio meets its target" if margin >= 1 else "a ratio misses its target"
        print(f"\n{verdict} (lowest ratio/target {margin:.2f})")
        return 0 if margin >= 1 or not args.check else 1


if __name__ == "__main__":
    sys.exit(main())
