"""Speed of ``AuthController.create`` against Python doing the same work.

Run in the environment where quorvalen_core is installed::

    python bench/bench_create.py [calls-per-round] [rounds]

The three collaborators (``AuthRouter``, ``RouterConfig``,
``GenericController``) are replaced by ``types.SimpleNamespace`` so that the
factory's own cost dominates.  Each call gives the model class, the response
schema, the schema name and the table name, everything else default.  Three
implementations are timed side by side, interleaved round by round, best
round of each:

* native: the extension's ``AuthController.create``;
* pure Python: the same factory written in Python below (keyword-only
  binding, the nine type tests, derivation, the five merges);
* floor: only the seven collaborator calls, written directly in Python.

Printed are the ratios native / pure Python (target at most 0.6) and
native / floor (target at most 0.95).
"""

from __future__ import annotations

import sys
import timeit
import types
from typing import Any, Optional

from quorvalen_core.controller import table_controller

# Looked up as module globals at each use, as the native module does.
AuthRouter = types.SimpleNamespace
RouterConfig = types.SimpleNamespace
GenericController = types.SimpleNamespace

PURE_TARGET = 0.6
FLOOR_TARGET = 0.95


def _check(name: str, value: Any, expected: type) -> None:
    if value is not None and type(value) is not expected:
        raise TypeError(
            f"Argument '{name}' has incorrect type (expected {expected.__name__}, got {type(value).__name__})"
        )


class PyAuthController:
    """The factory in plain Python, for comparison."""

    @classmethod
    def create(
        cls,
        *,
        model_class: Any,
        create_schema: Any = None,
        update_schema: Any = None,
        response_schema: Any,
        create_router: Any = None,
        update_router: Any = None,
        read_router: Any = None,
        delete_router: Any = None,
        query_router: Any = None,
        prefix: Optional[str] = None,
        schema_name: Optional[str] = None,
        table_name: Optional[str] = None,
        tags: Optional[list] = None,
        default_role: Optional[str] = None,
        auth_role: Optional[str] = None,
        auth_obj: Optional[str] = None,
        auth_act: Optional[str] = None,
        db_config_name: Optional[str] = None,
    ) -> Any:
        _check("prefix", prefix, str)
        _check("schema_name", schema_name, str)
        _check("table_name", table_name, str)
        _check("tags", tags, list)
        _check("default_role", default_role, str)
        _check("auth_role", auth_role, str)
        _check("auth_obj", auth_obj, str)
        _check("auth_act", auth_act, str)
        _check("db_config_name", db_config_name, str)

        def _apply_route_config(router: Any, default_router: Any) -> Any:
            if router is None:
                return default_router
            if router.enabled is False:
                return router
            router.auth = default_router.auth if router.auth is None else router.auth
            router.auth_role = default_router.auth_role if router.auth_role is None else router.auth_role
            router.auth_obj = default_router.auth_obj if router.auth_obj is None else router.auth_obj
            router.auth_act = default_router.auth_act if router.auth_act is None else router.auth_act
            router.message = default_router.message if router.message is None else router.message
            router.summary = default_router.summary if router.summary is None else router.summary
            return router

        _schema_name1 = f"{schema_name}/" if schema_name else ""
        _schema_name2 = f"{schema_name}." if schema_name else ""
        _prefix = prefix if prefix else f"/v1/{_schema_name1}{table_name}"
        _tag = tags if tags else [f"{_schema_name2}table"]
        _default_role = default_role if default_role else schema_name
        _auth_obj = auth_obj if auth_obj else f"{_schema_name2}{table_name}"
        auth_router = AuthRouter(
            prefix=_prefix,
            tags=_tag,
            db_config_name=db_config_name,
            default_role=_default_role,
            auth_role=auth_role,
            auth_obj=_auth_obj,
            auth_act=auth_act,
        )
        _create_router = _apply_route_config(
            create_router,
            RouterConfig(enabled=True, message="创建成功", summary="create - 创建", auth=True, auth_role=None, auth_obj=None, auth_act="create"),
        )
        _update_router = _apply_route_config(
            update_router,
            RouterConfig(enabled=True, message="更新成功", summary="update - 更新", auth=True, auth_role=None, auth_obj=None, auth_act="update"),
        )
        _read_router = _apply_route_config(
            read_router,
            RouterConfig(enabled=True, message="获取成功", summary="read - 读取 ", auth=True, auth_role=None, auth_obj=None, auth_act="read"),
        )
        _delete_router = _apply_route_config(
            delete_router,
            RouterConfig(enabled=True, message="删除成功", summary="delete - 删除", auth=True, auth_role=None, auth_obj=None, auth_act="delete"),
        )
        _query_router = _apply_route_config(
            query_router,
            RouterConfig(enabled=True, message="查询成功", summary="query - 查询", auth=True, auth_role=None, auth_obj=None, auth_act="query"),
        )
        GenericController(
            auth_router=auth_router,
            model_class=model_class,
            create_schema=create_schema,
            update_schema=update_schema,
            response_schema=response_schema,
            create_router=_create_router,
            update_router=_update_router,
            read_router=_read_router,
            delete_router=_delete_router,
            query_router=_query_router,
        )
        return auth_router


def floor(*, model_class: Any, response_schema: Any, schema_name: str, table_name: str) -> Any:
    """The seven collaborator calls and nothing else."""
    auth_router = AuthRouter(
        prefix=f"/v1/{schema_name}/{table_name}",
        tags=[f"{schema_name}.table"],
        db_config_name=None,
        default_role=schema_name,
        auth_role=None,
        auth_obj=f"{schema_name}.{table_name}",
        auth_act=None,
    )
    GenericController(
        auth_router=auth_router,
        model_class=model_class,
        create_schema=None,
        update_schema=None,
        response_schema=response_schema,
        create_router=RouterConfig(enabled=True, message="创建成功", summary="create - 创建", auth=True, auth_role=None, auth_obj=None, auth_act="create"),
        update_router=RouterConfig(enabled=True, message="更新成功", summary="update - 更新", auth=True, auth_role=None, auth_obj=None, auth_act="update"),
        read_router=RouterConfig(enabled=True, message="获取成功", summary="read - 读取 ", auth=True, auth_role=None, auth_obj=None, auth_act="read"),
        delete_router=RouterConfig(enabled=True, message="删除成功", summary="delete - 删除", auth=True, auth_role=None, auth_obj=None, auth_act="delete"),
        query_router=RouterConfig(enabled=True, message="查询成功", summary="query - 查询", auth=True, auth_role=None, auth_obj=None, auth_act="query"),
    )
    return auth_router


class Invoice:
    pass


class InvoiceResponse:
    pass


def main(argv: list[str]) -> int:
    calls = int(argv[1]) if len(argv) > 1 else 20_000
    rounds = int(argv[2]) if len(argv) > 2 else 7
    for name in ("AuthRouter", "RouterConfig", "GenericController"):
        setattr(table_controller, name, types.SimpleNamespace)
    native = table_controller.AuthController.create
    pure = PyAuthController.create
    kwargs = {"model_class": Invoice, "response_schema": InvoiceResponse, "schema_name": "sales", "table_name": "invoice"}

    # All three must build the same router before their speed means anything.
    results = [vars(f(**kwargs)) for f in (native, pure, floor)]
    if not results[0] == results[1] == results[2]:
        print("implementations disagree:", *results, sep="\n  ")
        return 1

    contenders = {
        "native": lambda: native(model_class=Invoice, response_schema=InvoiceResponse, schema_name="sales", table_name="invoice"),
        "pure": lambda: pure(model_class=Invoice, response_schema=InvoiceResponse, schema_name="sales", table_name="invoice"),
        "floor": lambda: floor(model_class=Invoice, response_schema=InvoiceResponse, schema_name="sales", table_name="invoice"),
    }
    best = {name: float("inf") for name in contenders}
    for _ in range(rounds):
        for name, call in contenders.items():
            best[name] = min(best[name], timeit.timeit(call, number=calls))

    to_pure = best["native"] / best["pure"]
    to_floor = best["native"] / best["floor"]
    print(f"AuthController.create, collaborators types.SimpleNamespace, {calls} calls per round, best of {rounds} rounds")
    print(f"native / pure Python: {to_pure:.3f} (target <= {PURE_TARGET}) {'met' if to_pure <= PURE_TARGET else 'MISSED'}")
    print(f"native / floor:       {to_floor:.3f} (target <= {FLOOR_TARGET}) {'met' if to_floor <= FLOOR_TARGET else 'MISSED'}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
