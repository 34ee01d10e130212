"""Startup cost per published table: generated routers against hand-written ones.

An application publishing many tables pays, at every start, for building its
routers, mounting them and generating its OpenAPI document.  For N tables
(1, 50, 500) this benchmark builds, in a fresh interpreter each time:

- generated: ``AuthController.create`` per table (guarded routes);
- hand-written: an ``APIRouter`` per table with the same five routes, the
  same response models (the envelope, a page for the query), the same query
  parameters (offset, limit, sort, filter, or, total, cursor, fields) and a
  bearer security scheme, written as an application would.

and times the three steps together: routers, ``include_router`` into one
app, ``app.openapi()``.  With the schemas given, both get the same create,
update and response classes, made before the clock starts.  With the schemas
derived, the generated routers derive create and update schemas from the
table model, and the hand-written one declares its own classes inside the
timed part.  Rounds alternate the two; each ratio is the median over the
rounds of generated/hand-written time.  Target: at most 1.0, and the time per
table flat from 1 to 500 tables.

Run: ``python bench/bench_startup.py [--rounds 5] [--tables 1,50,500]``.
"""


import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from enum import Enum
from typing import Annotated, Any

TARGET = 1.0


def table_models(count: int) -> list[tuple[type[Any], type[Any], type[Any], type[Any]]]:
    """``count`` table models, with create, update and response schemas for each."""
    from sqlmodel import Field

    from quorvalen_core.type.var import SQLModelCreate, SQLModelDB, SQLModelResponse, SQLModelUpdate

    models = []
    for index in range(count):
        namespace: dict[str, Any] = {
            "__tablename__": f"startup_{index}",
            "__annotations__": {"id": int | None, "name": str, "price": int, "note": str | None},
            "id": Field(default=None, primary_key=True),
            "name": Field(max_length=80),
            "price": Field(default=0, ge=0),
            "note": None,
        }
        model = type(f"StartupTable{index}", (SQLModelDB,), namespace, table=True)
        models.append((model, *schemas(index, SQLModelCreate, SQLModelUpdate, SQLModelResponse)))
    return models


def schemas(index: int, create_base: type[Any], update_base: type[Any], response_base: type[Any]) -> tuple[type[Any], ...]:
    from sqlmodel import Field

    create = type(f"Create{index}", (create_base,), {
        "__annotations__": {"name": str, "price": int, "note": str | None},
        "name": Field(max_length=80), "price": Field(default=0, ge=0), "note": None,
    })
    update = type(f"Update{index}", (update_base,), {
        "__annotations__": {"name": str | None, "price": int | None, "note": str | None},
        "name": Field(default=None, max_length=80), "price": Field(default=None, ge=0), "note": None,
    })
    response = type(f"Response{index}", (response_base,), {
        "__annotations__": {"id": int, "name": str, "price": int, "note": str | None},
    })
    return create, update, response


def generated(models: list[Any], derived: bool) -> list[Any]:
    from quorvalen_core.controller.table_controller import AuthController
    from quorvalen_core.web import RouterConfig

    routers = []
    for index, (model, create, update, response) in enumerate(models):
        given = {} if derived else {"create_schema": create, "update_schema": update}
        # The five operations the hand-written routers have, without batch forms or PUT.
        single = {f"{op}_router": RouterConfig(batch=False) for op in ("create", "delete")}
        single["update_router"] = RouterConfig(batch=False, upsert=False)
        routers.append(
            AuthController.create(
                model_class=model, response_schema=response, schema_name="shop", table_name=f"t{index}", **given, **single
            )
        )
    return routers


def hand_written(models: list[Any], derived: bool) -> list[Any]:
    from fastapi import APIRouter, Body, HTTPException, Path, Query, Security
    from fastapi.security import HTTPBearer

    from pydantic import BaseModel

    from quorvalen_core.web.envelope import Envelope, Page

    class ErrorDetail(BaseModel):
        detail: str
        code: str
    from quorvalen_core.type.var import SQLModelCreate, SQLModelResponse, SQLModelUpdate

    bearer = HTTPBearer(auto_error=False, scheme_name="BearerToken", bearerFormat="JWT")
    routers = []
    for index, (_model, create, update, response) in enumerate(models):
        if derived:  # declared by hand, as part of writing the router
            create, update, response = schemas(index, SQLModelCreate, SQLModelUpdate, SQLModelResponse)
        sort_keys = Enum(f"Sort{index}", {f"{c}_{d}": f"{'-' if d == 'desc' else ''}{c}" for c in ("id", "name", "price", "note") for d in ("asc", "desc")}, type=str)  # type: ignore[misc]
        item = Envelope[response]  # type: ignore[valid-type]
        page = Envelope[Page[response]]  # type: ignore[valid-type]
        errors = {401: {"model": ErrorDetail}, 403: {"model": ErrorDetail}, 503: {"model": ErrorDetail}}
        router = APIRouter(prefix=f"/v1/shop/t{index}", tags=["shop.table"], dependencies=[Security(bearer)])

        def create_row(body: Annotated[create, Body()]) -> Any:  # type: ignore[valid-type]
            raise HTTPException(501)

        def read_row(id: Annotated[int, Path(ge=-(2**63), le=2**63 - 1)]) -> Any:  # noqa: A002
            raise HTTPException(501)

        def update_row(id: Annotated[int, Path(ge=-(2**63), le=2**63 - 1)], body: Annotated[update, Body()]) -> Any:  # noqa: A002  # type: ignore[valid-type]
            raise HTTPException(501)

        def delete_row(id: Annotated[int, Path(ge=-(2**63), le=2**63 - 1)]) -> Any:  # noqa: A002
            raise HTTPException(501)

        def query_rows(
            offset: Annotated[int, Query(ge=0)] = 0,
            limit: Annotated[int, Query(ge=1, le=100)] = 20,
            sort: Annotated[list[sort_keys] | None, Query()] = None,  # type: ignore[valid-type]
            filters: Annotated[list[str] | None, Query(alias="filter")] = None,
            any_of: Annotated[list[str] | None, Query(alias="or")] = None,
            total: Annotated[bool, Query()] = True,
            cursor: Annotated[str | None, Query(max_length=4096)] = None,
            fields: Annotated[str | None, Query()] = None,
        ) -> Any:
            raise HTTPException(501)

        item_errors = {**errors, 404: {"model": ErrorDetail}}
        router.add_api_route("", create_row, methods=["POST"], response_model=item, status_code=201, responses={**errors, 409: {"model": ErrorDetail}})
        router.add_api_route("/{id}", read_row, methods=["GET"], response_model=item, responses=item_errors)
        router.add_api_route("/{id}", update_row, methods=["PATCH"], response_model=item, responses={**item_errors, 409: {"model": ErrorDetail}})
        router.add_api_route("/{id}", delete_row, methods=["DELETE"], response_model=item, responses={**item_errors, 409: {"model": ErrorDetail}})
        router.add_api_route("", query_rows, methods=["GET"], response_model=page, responses=errors)
        routers.append(router)
    return routers


def measure(kind: str, count: int, derived: bool) -> float:
    """Run in a fresh interpreter: seconds to build, mount and document ``count`` tables."""
    from fastapi import FastAPI

    # Imports are paid once per process whatever the table count: not timed.
    # Some happen at the first route FastAPI builds, so one is built first.
    import quorvalen_core.controller.table_controller  # noqa: F401
    from fastapi import APIRouter

    from quorvalen_core.web.envelope import Envelope

    APIRouter().add_api_route("/warm-up", lambda: None, response_model=Envelope[int])

    models = table_models(count)
    build = generated if kind == "generated" else hand_written
    # CPU time of this process: the machine is shared, and the work is single-threaded.
    start = time.process_time()
    routers = build(models, derived)
    app = FastAPI()
    for router in routers:
        app.include_router(router)
    paths = app.openapi()["paths"]
    elapsed = time.process_time() - start
    assert len(paths) == 2 * count, len(paths)
    return elapsed


def run_fresh(kind: str, count: int, derived: bool) -> float:
    code = f"import bench_startup, json; print(json.dumps(bench_startup.measure({kind!r}, {count}, {derived})))"
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([os.path.dirname(os.path.abspath(__file__)), os.environ.get("PYTHONPATH", "")])}
    output = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True).stdout
    return float(json.loads(output.strip().splitlines()[-1]))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--tables", default="1,50,500")
    args = parser.parse_args()
    counts = [int(part) for part in args.tables.split(",")]
    print(f"{'tables':>6} {'schemas':<8}{'generated ms/table':>20}{'hand ms/table':>15}{'ratio':>8}")
    worst = 0.0
    for derived in (False, True):
        for count in counts:
            ratios, costs = [], {"generated": [], "hand": []}
            for round_index in range(args.rounds):
                order = ("generated", "hand") if round_index % 2 == 0 else ("hand", "generated")
                times = {kind: run_fresh(kind, count, derived) for kind in order}
                ratios.append(times["generated"] / times["hand"])
                for kind in times:
                    costs[kind].append(1000 * times[kind] / count)
            ratio = statistics.median(ratios)
            worst = max(worst, ratio)
            print(
                f"{count:>6} {'derived' if derived else 'given':<8}{statistics.median(costs['generated']):>20.2f}"
                f"{statistics.median(costs['hand']):>15.2f}{ratio:>8.2f}"
            )
    print(f"highest ratio {worst:.2f}: {'meets' if worst <= TARGET else 'misses'} the target of {TARGET}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
