"""Startup cost per published table: generated routers against hand-written ones.

An application publishing many tables pays, at every start, for building its
routers, mounting them and generating its OpenAPI document.  For N tables
(1, 50, 500) this benchmark builds, in a fresh interpreter each time:

- generated: ``AuthController.create`` per table (guarded routes);
- hand-written: an ``APIRouter`` per table publishing the same document,
  written as an application would: the same five routes, response models
  (the envelope, a page of items with optional fields for the query), query
  parameters with their bounds, ``ETag``, ``If-Match`` and ``If-None-Match``,
  an answer model per error status and a bearer security scheme.

and times the three steps together: routers, ``include_router`` into one
app, ``app.openapi()``.  With the schemas given, both get the same create,
update and response classes, made before the clock starts.  With the schemas
derived, the generated routers derive create and update schemas from the
table model, and the hand-written one declares its own classes inside the
timed part.  Rounds alternate the two; each ratio is the median over the
rounds of generated/hand-written time; the documents' sizes per table are
printed beside it.  Target: at most 1.0, and the time per
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
    """Routers publishing the document the generated ones publish, written as an application would.

    The same operations, parameters (with their bounds and descriptions),
    ``ETag``, ``If-Match`` and ``If-None-Match``, an answer schema per error
    status with its constant code, and the query's items with optional
    fields: a hand-written router documenting less would be compared with
    less work.
    """
    from typing import Literal

    from fastapi import APIRouter, Body, Header, HTTPException, Path, Query, Security
    from fastapi.security import HTTPBearer
    from pydantic import BaseModel, Field

    from quorvalen_core.type.var import SQLModelCreate, SQLModelResponse, SQLModelUpdate
    from quorvalen_core.web.envelope import Envelope, Page

    def answer(name: str, code: str, doc: str) -> type[BaseModel]:
        return type(name, (BaseModel,), {
            "__doc__": doc,
            "__annotations__": {"detail": str, "code": Literal[code]},  # type: ignore[valid-type]
            "detail": Field(description="What went wrong, for a person."),
            "code": Field(description=f"Always {code!r}: what went wrong, for a program."),
        })

    class ValidationErrorItem(BaseModel):
        """One reason a request does not validate: where, why, and what kind."""

        loc: list[str | int] = Field(description="Where: the part of the request (body, query, path) and the field.")
        msg: str = Field(description="Why, for a person.")
        type: str = Field(description="The kind of error, for a program (pydantic's error types).")

    class InvalidRequestAnswer(BaseModel):
        """The request does not validate (422): each reason with where it is."""

        detail: list[ValidationErrorItem]
        code: Literal["invalid_request", "limit_exceeded"] = Field(description="'limit_exceeded' for a request beyond a bound.")

    def described(status: int, name: str, code: str, text: str) -> dict[str, Any]:
        return {"model": answer(name, code, f"{text} ({status})."), "description": text}

    guarded = {
        401: {**described(401, "NotAuthenticatedAnswer", "not_authenticated", "Not authenticated"),
              "headers": {"WWW-Authenticate": {"description": "How to authenticate: `Bearer`.", "schema": {"type": "string"}}}},
        403: described(403, "PermissionDeniedAnswer", "permission_denied", "Permission denied"),
        503: described(503, "UnavailableAnswer", "unavailable", "The database cannot be used now"),
    }
    not_found = described(404, "NotFoundAnswer", "not_found", "Row not found")
    conflict = described(409, "ConflictAnswer", "conflict", "The change conflicts with existing data")
    stale = described(412, "PreconditionFailedAnswer", "precondition_failed", "The row changed since the tag in If-Match")
    too_large = described(413, "PayloadTooLargeAnswer", "payload_too_large", "The body is larger than the application takes")
    invalid = {"model": InvalidRequestAnswer, "description": "The request does not validate"}
    etag = {"ETag": {"description": "The row's entity tag, for If-Match and If-None-Match.", "schema": {"type": "string"}}}
    key = Path(ge=-(2**63), le=2**63 - 1, description="Primary key (id) of the row.")
    if_match = Header(alias="If-Match", description="The row's ETag as last read: else 412 and nothing is written.")
    if_none_match = Header(alias="If-None-Match", description="ETags the client holds: 304 when the row's is among them.")

    bearer = HTTPBearer(auto_error=False, scheme_name="BearerToken", bearerFormat="JWT")
    routers = []
    for index, (_model, create, update, response) in enumerate(models):
        if derived:  # declared by hand, as part of writing the router
            create, update, response = schemas(index, SQLModelCreate, SQLModelUpdate, SQLModelResponse)
        sort_keys = Enum(f"Sort{index}", {f"{c}_{d}": f"{'-' if d == 'desc' else ''}{c}" for c in ("id", "name", "price", "note") for d in ("asc", "desc")}, type=str)  # type: ignore[misc]
        listed = type(f"Response{index}Fields", (BaseModel,), {
            "__doc__": "An item of a query: every field, or those named by fields (the primary key always).",
            "__annotations__": {"id": int, "name": str | None, "price": int | None, "note": str | None},
            "name": None, "price": None, "note": None,
        })
        item = Envelope[response]  # type: ignore[valid-type]
        page = Envelope[Page[listed]]  # type: ignore[valid-type]
        router = APIRouter(prefix=f"/v1/shop/t{index}", tags=["shop.table"], dependencies=[Security(bearer)])

        def create_row(body: Annotated[create, Body()]) -> Any:  # type: ignore[valid-type]
            raise HTTPException(501)

        def read_row(id: Annotated[int, key], tags: Annotated[str | None, if_none_match] = None) -> Any:  # noqa: A002
            raise HTTPException(501)

        def update_row(id: Annotated[int, key], body: Annotated[update, Body()], tag: Annotated[str | None, if_match] = None) -> Any:  # noqa: A002  # type: ignore[valid-type]
            raise HTTPException(501)

        def delete_row(id: Annotated[int, key], tag: Annotated[str | None, if_match] = None) -> Any:  # noqa: A002
            raise HTTPException(501)

        def query_rows(
            offset: Annotated[int, Query(ge=0, le=2**63 - 1, description="Rows to skip before the page (not with cursor).")] = 0,
            limit: Annotated[int, Query(ge=1, le=100, description="Rows on the page, at most 100.")] = 20,
            sort: Annotated[list[sort_keys] | None, Query(max_length=10, description="Sort key, repeatable; at most 10 keys.")] = None,  # type: ignore[valid-type]
            filters: Annotated[list[str] | None, Query(alias="filter", max_length=50, description="Filter, repeatable: column:operator:value. At most 50 filters.", examples=[["id:eq:1"]])] = None,
            any_of: Annotated[list[str] | None, Query(alias="or", max_length=50, description="Condition of the or group, repeatable. At most 50.", examples=[["id:eq:1", "id:gt:100"]])] = None,
            total: Annotated[bool, Query(description="false: skip counting the matching rows (total is null).")] = True,
            cursor: Annotated[str | None, Query(max_length=4096, description="next_cursor of a page of this query. At most 4096 characters.")] = None,
            fields: Annotated[str | None, Query(pattern="^ *(id|name|price|note) *(, *(id|name|price|note) *)*$", description="Comma-separated fields each item holds.", examples=["id,name"])] = None,
        ) -> Any:
            raise HTTPException(501)

        operations: list[tuple[str, Any, str, Any, int, dict[int, Any]]] = [
            ("", create_row, "POST", item, 201, {201: {"headers": etag}, 409: conflict, 413: too_large}),
            ("/{id}", read_row, "GET", item, 200, {200: {"headers": etag}, 304: {"description": "Not modified: no body.", "headers": etag}, 404: not_found}),
            ("/{id}", update_row, "PATCH", item, 200, {200: {"headers": etag}, 404: not_found, 409: conflict, 412: stale, 413: too_large}),
            ("/{id}", delete_row, "DELETE", item, 200, {404: not_found, 409: conflict, 412: stale}),
            ("", query_rows, "GET", page, 200, {}),
        ]
        for path, endpoint, method, answer_model, status_code, responses in operations:
            name = endpoint.__name__.split("_")[0]
            router.add_api_route(
                path, endpoint, methods=[method], response_model=answer_model, status_code=status_code,
                responses={**guarded, **responses, 422: invalid}, summary=name, description=f"{name} a row of table {index}.",
                operation_id=f"shop_t{index}_{name}",
            )
        routers.append(router)
    return routers


def measure(kind: str, count: int, derived: bool) -> tuple[float, int]:
    """Run in a fresh interpreter: seconds to build, mount and document ``count`` tables, and the document's size."""
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
    document = app.openapi()
    elapsed = time.process_time() - start
    assert len(document["paths"]) == 2 * count, len(document["paths"])
    return elapsed, len(json.dumps(document))


def run_fresh(kind: str, count: int, derived: bool) -> tuple[float, int]:
    code = f"import bench_startup, json; print(json.dumps(bench_startup.measure({kind!r}, {count}, {derived})))"
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([os.path.dirname(os.path.abspath(__file__)), os.environ.get("PYTHONPATH", "")])}
    output = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True).stdout
    seconds, size = json.loads(output.strip().splitlines()[-1])
    return float(seconds), int(size)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--tables", default="1,50,500")
    args = parser.parse_args()
    counts = [int(part) for part in args.tables.split(",")]
    print(f"{'tables':>6} {'schemas':<8}{'generated ms/table':>20}{'hand ms/table':>15}{'ratio':>8}{'document bytes/table':>23}")
    worst = 0.0
    for derived in (False, True):
        for count in counts:
            ratios, costs, sizes = [], {"generated": [], "hand": []}, {}
            for round_index in range(args.rounds):
                order = ("generated", "hand") if round_index % 2 == 0 else ("hand", "generated")
                measured = {kind: run_fresh(kind, count, derived) for kind in order}
                times = {kind: seconds for kind, (seconds, _size) in measured.items()}
                sizes = {kind: size // count for kind, (_seconds, size) in measured.items()}
                ratios.append(times["generated"] / times["hand"])
                for kind in times:
                    costs[kind].append(1000 * times[kind] / count)
            ratio = statistics.median(ratios)
            worst = max(worst, ratio)
            print(
                f"{count:>6} {'derived' if derived else 'given':<8}{statistics.median(costs['generated']):>20.2f}"
                f"{statistics.median(costs['hand']):>15.2f}{ratio:>8.2f}{sizes['generated']:>13} / {sizes['hand']:<7}"
            )
    print(f"highest ratio {worst:.2f}: {'meets' if worst <= TARGET else 'misses'} the target of {TARGET}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
