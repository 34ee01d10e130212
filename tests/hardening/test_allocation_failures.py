"""Each memory allocation made during a ``create`` call made to fail in turn.

The interpreter's test hooks (``_testcapi.set_nomemory``) fail exactly the
n-th allocation after they are installed, for n = 0, 1, 2, ...: the string
joins of the naming scheme, the default tag list, the keyword dicts, the
exceptions and traceback entries of the error paths, and everything the
collaborators allocate.  Each call must end either as it normally does or
with MemoryError: never a crash, never the SystemError that names a callable
returning a result together with a pending exception or no result and no
exception, and nothing may stay referenced.  Run under scripts/sanitize.sh, a use after free on one of these
paths is reported at once.
"""

from __future__ import annotations

import gc
import sys
import types
import weakref
from collections.abc import Callable
from types import ModuleType
from typing import Any

import pytest

from hardening_support import native_entries

testcapi = pytest.importorskip("_testcapi", reason="the interpreter was built without its test modules")

ALLOCATIONS = 400  # more than any of the calls below makes
# CPython 3.11 reports a failed allocation of a new frame-stack chunk for a
# Python-level call with this SystemError (no MemoryError is set); it comes
# from the interpreter's own calls around the module, never from the module.
# A callable that returns NULL without an exception, or a result with one
# set, is named by the interpreter: "... returned NULL without setting an
# exception" / "... returned a result with an exception set".
INTERPRETER_FRAME_FAILURE = "error return without exception set"


class StrSub(str):
    pass


class Settings(types.SimpleNamespace):
    """Route settings; weakly referenceable, unlike SimpleNamespace."""


def settings(**values: Any) -> Settings:
    full = dict.fromkeys(("enabled", "auth", "auth_role", "auth_obj", "auth_act", "message", "summary"))
    full.update(values)
    return Settings(**full)


class Router(types.SimpleNamespace):
    pass


# name -> (call(AC, function), normal outcome: a result check, or an exception type)
Shape = tuple[Callable[[type, Any], Any], Callable[[Any], bool] | type[BaseException]]
SHAPES: dict[str, Shape] = {
    "success": (
        lambda AC, f: AC.create(
            model_class=1,
            response_schema=2,
            schema_name="销售",
            table_name="invoice",
            create_router=settings(enabled=True, summary="s"),
            delete_router=settings(enabled=False),
        ),
        lambda router: router.prefix == "/v1/销售/invoice" and router.tags == ["销售.table"],
    ),
    "derived-from-nothing": (
        lambda AC, f: AC.create(model_class=1, response_schema=2),
        lambda router: router.prefix == "/v1/None" and router.auth_obj == "None",
    ),
    "keywords-as-a-dict": (
        lambda AC, f: type(f).__call__(f, AC, model_class=1, response_schema=2, tags=["t"], prefix="/p"),
        lambda router: router.prefix == "/p",
    ),
    "unexpected-keyword": (lambda AC, f: AC.create(model_class=1, response_schema=2, tag=1), TypeError),
    "missing-required": (lambda AC, f: AC.create(model_class=1), TypeError),
    "str-subclass-value": (lambda AC, f: AC.create(model_class=1, response_schema=2, prefix=StrSub("p")), TypeError),
    "merge-without-enabled": (lambda AC, f: AC.create(model_class=1, response_schema=2, read_router=Router()), AttributeError),
}


def run_with_failing_allocation(call: Callable[[], Any], index: int) -> Any:
    testcapi.set_nomemory(index, index + 1)
    try:
        return call()
    except BaseException as exc:  # noqa: BLE001 - inspected by the caller
        return exc
    finally:
        testcapi.remove_mem_hooks()


@pytest.mark.parametrize("shape", list(SHAPES))
def test_each_failed_allocation_ends_the_call_cleanly(
    tc: ModuleType, AC: type, create_function: Any, shape: str
) -> None:
    call, normal = SHAPES[shape]
    tc.AuthRouter = Router
    tc.RouterConfig = Settings
    tc.GenericController = types.SimpleNamespace
    watched = [AC, create_function, Router, Settings, None, True, False]
    sweep(call, normal, AC, create_function)  # fills the interpreter's caches (linecache, ...)
    AC.create(model_class=1, response_schema=2)
    gc.collect()
    counts_before = [sys.getrefcount(obj) for obj in watched]
    made, memory_errors, normal_endings = sweep(call, normal, AC, create_function)
    AC.create(model_class=1, response_schema=2)  # the name caches hold what they held before
    gc.collect()
    counts_after = [sys.getrefcount(obj) for obj in watched]

    assert memory_errors > 0 and normal_endings > 0
    assert [ref for ref in made if ref() is not None] == []
    # None, True and False: a drift below one per ten calls is the interpreter's caches.
    changed = [
        (obj, a, b)
        for obj, a, b in zip(watched, counts_before, counts_after)
        if abs(b - a) >= (ALLOCATIONS // 10 if obj is None or obj is True or obj is False else 1)
    ]
    assert not changed, changed


def sweep(
    call: Callable[[type, Any], Any], normal: Callable[[Any], bool] | type[BaseException], AC: type, function: Any
) -> tuple[list[weakref.ref[Any]], int, int]:
    """Fails each allocation in turn; returns weak references to the results and the counts of endings."""
    made: list[weakref.ref[Any]] = []
    normal_endings = memory_errors = 0
    last_was_normal = False
    for index in range(ALLOCATIONS):
        outcome = run_with_failing_allocation(lambda: call(AC, function), index)
        last_was_normal = not isinstance(outcome, (MemoryError, SystemError))
        if isinstance(outcome, SystemError):
            # The interpreter names a callable that broke the result protocol.
            assert "returned" not in str(outcome), (index, outcome)
            assert str(outcome) == INTERPRETER_FRAME_FAILURE, (index, outcome)
            memory_errors += 1
        elif isinstance(outcome, MemoryError):
            memory_errors += 1
            assert set(native_entries(outcome)) <= {
                "table_controller.AuthController.create",
                "table_controller.AuthController.create._apply_route_config",
            }
        elif isinstance(normal, type):
            assert type(outcome) is normal, (index, outcome)
            normal_endings += 1
        else:
            assert not isinstance(outcome, BaseException), (index, outcome)
            assert normal(outcome), (index, outcome)
            made.append(weakref.ref(outcome))
            normal_endings += 1
        del outcome
    # The last allocations failed after the call was over: every one the call makes was failed once.
    assert index == ALLOCATIONS - 1 and last_was_normal
    return made, memory_errors, normal_endings
