"""Each path of a ``create`` call, normal or refused, run many times (keeping no
reference and no memory) and with each of its allocations failed in turn by
``_testcapi.set_nomemory``: it must then end as it normally does or with
MemoryError, never with a crash or a broken result protocol.
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

from native_support import CREATE_ENTRY, MERGE_ENTRY, SETTINGS_ATTRIBUTES, assert_no_growth, assert_released, ctypes, native_entries, vectorcall

try:
    import _testcapi as testcapi
except ImportError:  # an interpreter built without its test modules
    testcapi = None
ALLOCATIONS = 400  # more than any of the calls below makes
# CPython 3.11 reports a failed allocation of a frame-stack chunk for a Python-level
# call with this SystemError; it comes from the interpreter's own calls around the
# module, and differs from the texts naming a callable that broke the result protocol.
INTERPRETER_FRAME_FAILURE = "error return without exception set"
StrSub = type("StrSub", (str,), {})
Settings = type("Settings", (types.SimpleNamespace,), {})  # weakly referenceable, unlike its base
Value = type("Value", (), {})  # a value handed to create whose release can be checked


def settings(**values: Any) -> Settings:
    return Settings(**{**dict.fromkeys(SETTINGS_ATTRIBUTES), **values})


# path -> (call(AC, function, value), normal outcome: a check of the result, or an exception type)
PATHS: dict[str, tuple[Callable[[type, Any, Any], Any], Callable[[Any], bool] | type[BaseException]]] = {
    "success": (
        lambda AC, f, v: AC.create(model_class=v, response_schema=v, schema_name="销售", table_name="invoice",
                                   create_router=settings(enabled=True, summary="s"), delete_router=settings(enabled=False)),
        lambda router: router.prefix == "/v1/销售/invoice" and router.tags == ["销售.table"],
    ),
    "derived-from-nothing": (lambda AC, f, v: AC.create(model_class=v, response_schema=v, tags=[v]),
                             lambda router: router.prefix == "/v1/None" and router.auth_obj == "None" and isinstance(router.tags[0], Value)),
    "keywords-as-a-dict": (lambda AC, f, v: type(f).__call__(f, AC, model_class=v, response_schema=v, tags=["t"], prefix="/p"),
                           lambda router: router.prefix == "/p"),
    "repeated-keyword-name": (lambda AC, f, v: vectorcall(f, [AC, v, v, v], 1, ("model_class", "response_schema", "model_class")),
                              lambda router: router.prefix == "/v1/None"),
    "no-arguments": (lambda AC, f, v: AC.create(), TypeError),
    "missing-cls": (lambda AC, f, v: f(model_class=v, response_schema=v), TypeError),
    "missing-required": (lambda AC, f, v: AC.create(model_class=v), TypeError),
    "unexpected-keyword": (lambda AC, f, v: AC.create(model_class=v, response_schema=v, tag=v), TypeError),
    "mapping-key-not-a-string": (lambda AC, f, v: type(f).__call__(f, AC, **{1: v, "model_class": v}), TypeError),
    "str-subclass-value": (lambda AC, f, v: AC.create(model_class=v, response_schema=v, prefix=StrSub("p")), TypeError),
    "merge-without-enabled": (lambda AC, f, v: AC.create(model_class=v, response_schema=v, read_router=Settings()), AttributeError),
}  # fmt: skip


@pytest.fixture
def path(request: pytest.FixtureRequest, tc: ModuleType) -> tuple[Callable[[Any], Any], Any]:
    """The path's call with the class and function filled in, and its normal outcome."""
    call, normal = PATHS[request.param]
    if "vectorcall" in call.__code__.co_names and ctypes is None:
        pytest.skip("PyObject_Vectorcall is not reachable through ctypes")
    tc.AuthRouter, tc.RouterConfig, tc.GenericController = Settings, Settings, types.SimpleNamespace
    AC = tc.AuthController
    return (lambda value: call(AC, AC.__dict__["create"].__func__, value)), normal


def run(call: Callable[[Any], Any], value: Any) -> Any:
    try:
        return call(value)
    except BaseException as exc:  # noqa: BLE001 - inspected by the caller
        return exc


def is_normal(outcome: Any, normal: Callable[[Any], bool] | type[BaseException]) -> bool:
    if isinstance(normal, type):
        return type(outcome) is normal
    return not isinstance(outcome, BaseException) and normal(outcome)


@pytest.mark.parametrize("path", list(PATHS), indirect=True)
def test_repeated_calls_keep_nothing(path: tuple[Callable[[Any], Any], Any], AC: type, create_function: Any) -> None:
    call, normal = path

    def once(value: Any) -> list[Any]:
        outcome = run(call, value)
        assert is_normal(outcome, normal), outcome
        return [value] if isinstance(outcome, BaseException) else [value, outcome]

    assert_released(lambda: once(Value()))
    shared = Value()
    assert_no_growth(lambda: once(shared), [shared, AC, create_function, Settings, None, True, False])


def sweep(call: Callable[[Any], Any], normal: Any, value: Any) -> tuple[list[Any], int, int]:
    """Fails each allocation in turn: weak references to the results, and the counts of endings."""
    made: list[weakref.ref[Any]] = []
    memory_errors = normal_endings = 0
    for index in range(ALLOCATIONS):
        testcapi.set_nomemory(index, index + 1)
        try:
            outcome = run(call, value)
        finally:
            testcapi.remove_mem_hooks()
        last_was_normal = not isinstance(outcome, (MemoryError, SystemError))
        if isinstance(outcome, SystemError):
            assert str(outcome) == INTERPRETER_FRAME_FAILURE, (index, outcome)
        elif isinstance(outcome, MemoryError):
            assert set(native_entries(outcome)) <= {CREATE_ENTRY, MERGE_ENTRY}, index
        else:
            assert is_normal(outcome, normal), (index, outcome)
            made += [] if isinstance(outcome, BaseException) else [weakref.ref(outcome)]
        memory_errors, normal_endings = memory_errors + (not last_was_normal), normal_endings + last_was_normal
        del outcome
    # The last allocations failed after the call was over: every one the call makes was failed once.
    assert last_was_normal
    return made, memory_errors, normal_endings


@pytest.mark.parametrize("path", [name for name in PATHS if name != "repeated-keyword-name"], indirect=True)
def test_each_failed_allocation_ends_the_call_cleanly(path: tuple[Callable[[Any], Any], Any], AC: type, create_function: Any) -> None:
    if testcapi is None:
        pytest.skip("the interpreter was built without its test modules")
    call, normal = path
    value = Value()
    watched = [value, AC, create_function, Settings, None, True, False]
    sweep(call, normal, value)  # fills the interpreter's caches (linecache, ...)
    AC.create(model_class=1, response_schema=2)
    gc.collect()
    counts_before = [sys.getrefcount(obj) for obj in watched]
    made, memory_errors, normal_endings = sweep(call, normal, value)
    AC.create(model_class=1, response_schema=2)  # the name caches hold what they held before
    gc.collect()
    counts_after = [sys.getrefcount(obj) for obj in watched]

    assert memory_errors > 0 and normal_endings > 0
    assert [ref for ref in made if ref() is not None] == []
    # None, True and False: a drift below one per ten calls is the interpreter's caches.
    tolerance = [1] * 4 + [ALLOCATIONS // 10] * 3
    changed = [(obj, a, b) for obj, a, b, most in zip(watched, counts_before, counts_after, tolerance) if abs(b - a) >= most]
    assert not changed, changed
