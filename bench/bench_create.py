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
* pure Python: the same factory written in Python
  (tests/support/reference_factory.py: keyword-only binding, the nine type
  tests, derivation, the five merges);
* floor: only the seven collaborator calls, written directly in Python.

Printed are the ratios native / pure Python (target at most 0.6) and
native / floor (target at most 0.95).
"""

from __future__ import annotations

import sys
import timeit
import types
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "support"))

import reference_factory  # noqa: E402
from quorvalen_core.controller import table_controller  # noqa: E402

# Looked up as module globals at each use, as the native module does.
AuthRouter = types.SimpleNamespace
RouterConfig = types.SimpleNamespace
GenericController = types.SimpleNamespace

PURE_TARGET = 0.6
FLOOR_TARGET = 0.95


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
    create, update, read, delete, query = [
        RouterConfig(enabled=True, message=message, summary=summary, auth=True, auth_role=None, auth_obj=None, auth_act=action)
        for message, summary, action in reference_factory.DEFAULTS
    ]
    GenericController(auth_router=auth_router, model_class=model_class, create_schema=None, update_schema=None,
                      response_schema=response_schema, create_router=create, update_router=update, read_router=read,
                      delete_router=delete, query_router=query)
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
    reference_factory.use_collaborators(table_controller)
    native = table_controller.AuthController.create
    pure = reference_factory.ReferenceAuthController.create
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
