"""Each memory allocation made during a ``create`` call made to fail in turn
(``_testcapi.set_nomemory`` fails exactly the n-th one, n = 0, 1, 2, ...):
naming, tag lists, keyword dicts, exceptions and traceback entries, and all
the collaborators allocate.  Each call must end as it normally does or with
MemoryError, never with a crash or a broken result protocol, and keep nothing
referenced; under scripts/sanitize.sh a use after free shows at once.
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

from hardening_support import CREATE_ENTRY, MERGE_ENTRY, SETTINGS_ATTRIBUTES, native_entries

testcapi = pytest.importorskip("_testcapi", reason="the interpreter was built without its test modules")

ALLOCATIONS = 400  # more than any of the calls below makes
# CPython 3.11 reports a failed allocation of a new frame-stack chunk for a
# Python-level call with this SystemError (no MemoryError is set); it comes
# from the interpreter's own calls around the module, never from the module,
# and differs from the texts naming a callable that broke the result protocol
# ("... returned NULL without setting an exception" and the like).
INTERPRETER_FRAME_FAILURE = "error return without exception set"
StrSub = type("StrSub", (str,), {})
Settings = type("Settings", (types.SimpleNamespace,), {})  # weakly referenceable, unlike its base


def settings(**values: Any) -> Settings:
    return Settings(**{**dict.fromkeys(SETTINGS_ATTRIBUTES), **values})


# shape -> (call(AC, function), normal outcome: a check of the result, or an exception type)
SHAPES: dict[str, tuple[Callable[[type, Any], Any], Callable[[Any], bool] | type[BaseException]]] = {
    "success": (
        lambda AC, f: AC.create(model_class=1, response_schema=2, schema_name="销售", table_name="invoice",
                                create_router=settings(enabled=True, summary="s"), delete_router=settings(enabled=False)),
        lambda router: router.prefix == "/v1/销售/invoice" and router.tags == ["销售.table"],
    ),  # fmt: skip
    "derived-from-nothing": (lambda AC, f: AC.create(model_class=1, response_schema=2),
                             lambda router: router.prefix == "/v1/None" and router.auth_obj == "None"),
    "keywords-as-a-dict": (lambda AC, f: type(f).__call__(f, AC, model_class=1, response_schema=2, tags=["t"], prefix="/p"),
                           lambda router: router.prefix == "/p"),
    "unexpected-keyword": (lambda AC, f: AC.create(model_class=1, response_schema=2, tag=1), TypeError),
    "missing-required": (lambda AC, f: AC.create(model_class=1), TypeError),
    "str-subclass-value": (lambda AC, f: AC.create(model_class=1, response_schema=2, prefix=StrSub("p")), TypeError),
    "merge-without-enabled": (lambda AC, f: AC.create(model_class=1, response_schema=2, read_router=Settings()), AttributeError),
}


def sweep(call: Callable[[], Any], normal: Callable[[Any], bool] | type[BaseException]) -> tuple[list[Any], int, int]:
    """Fails each allocation in turn: weak references to the results, and the counts of endings."""
    made: list[weakref.ref[Any]] = []
    memory_errors = normal_endings = 0
    for index in range(ALLOCATIONS):
        testcapi.set_nomemory(index, index + 1)
        try:
            outcome = call()
        except BaseException as exc:  # noqa: BLE001 - inspected below
            outcome = exc
        finally:
            testcapi.remove_mem_hooks()
        last_was_normal = not isinstance(outcome, (MemoryError, SystemError))
        if isinstance(outcome, SystemError):
            assert str(outcome) == INTERPRETER_FRAME_FAILURE, (index, outcome)
            memory_errors += 1
        elif isinstance(outcome, MemoryError):
            assert set(native_entries(outcome)) <= {CREATE_ENTRY, MERGE_ENTRY}, index
            memory_errors += 1
        elif isinstance(normal, type):
            assert type(outcome) is normal, (index, outcome)
            normal_endings += 1
        else:
            assert not isinstance(outcome, BaseException) and normal(outcome), (index, outcome)
            made.append(weakref.ref(outcome))
            normal_endings += 1
        del outcome
    # The last allocations failed after the call was over: every one the call makes was failed once.
    assert last_was_normal
    return made, memory_errors, normal_endings


@pytest.mark.parametrize("shape", list(SHAPES))
def test_each_failed_allocation_ends_the_call_cleanly(tc: ModuleType, AC: type, create_function: Any, shape: str) -> None:
    call, normal = SHAPES[shape]
    tc.AuthRouter, tc.RouterConfig, tc.GenericController = Settings, Settings, types.SimpleNamespace
    watched = [AC, create_function, Settings, None, True, False]
    sweep(lambda: call(AC, create_function), normal)  # fills the interpreter's caches (linecache, ...)
    AC.create(model_class=1, response_schema=2)
    gc.collect()
    counts_before = [sys.getrefcount(obj) for obj in watched]
    made, memory_errors, normal_endings = sweep(lambda: call(AC, create_function), normal)
    AC.create(model_class=1, response_schema=2)  # the name caches hold what they held before
    gc.collect()
    counts_after = [sys.getrefcount(obj) for obj in watched]

    assert memory_errors > 0 and normal_endings > 0
    assert [ref for ref in made if ref() is not None] == []
    # None, True and False: a drift below one per ten calls is the interpreter's caches.
    tolerance = [1, 1, 1] + [ALLOCATIONS // 10] * 3
    changed = [(obj, a, b) for obj, a, b, most in zip(watched, counts_before, counts_after, tolerance) if abs(b - a) >= most]
    assert not changed, changed
