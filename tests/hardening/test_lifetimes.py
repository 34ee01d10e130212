"""No reference and no memory kept: calls by routes the plain leak checks of the
native tests do not take, the function's writable attributes replaced many
times, and the module imported again and again.
"""

from __future__ import annotations

import gc
import importlib
import sys
import tracemalloc
import types
from collections.abc import Callable
from types import ModuleType
from typing import Any

import pytest

from hardening_support import COLLABORATORS, FULL_NAME, assert_no_growth, assert_released, c_calls, flush_name_caches

vectorcall = (c_calls() or (None, None))[0]
Name = type("Name", (str,), {})
Namespace = type("Namespace", (types.SimpleNamespace,), {})  # weakly referenceable, unlike its base
Value = type("Value", (), {})  # a value handed to create whose release can be checked

# Routes the plain leak checks of tests/native do not take (a call without
# ``cls``, keywords as a dict, repeated names), and the paths that make new
# objects for the caller (tags, the note of a refused subclass).
CASES: dict[str, tuple[Callable[[type, Any, Any], Any], type[BaseException] | None]] = {
    "no-arguments": (lambda AC, f, v: AC.create(), TypeError),
    "missing-cls": (lambda AC, f, v: f(model_class=v, response_schema=v), TypeError),
    "str-subclass-value": (lambda AC, f, v: AC.create(model_class=v, response_schema=v, auth_act=Name("a")), TypeError),
    "success": (lambda AC, f, v: AC.create(model_class=v, response_schema=v, schema_name="s", tags=[v]), None),
    "keywords-as-a-dict": (lambda AC, f, v: type(f).__call__(f, AC, model_class=v, response_schema=v), None),
    "mapping-key-not-a-string": (lambda AC, f, v: type(f).__call__(f, AC, **{1: v, "model_class": v}), TypeError),
    "repeated-keyword-name": (lambda AC, f, v: vectorcall(f, [AC, v, v, v], 1, ("model_class", "response_schema", "model_class")), None),
}  # fmt: skip


@pytest.mark.parametrize("case", list(CASES))
def test_every_route_releases_what_it_was_given(tc: ModuleType, AC: type, create_function: Any, case: str) -> None:
    call, expected = CASES[case]
    if "vectorcall" in call.__code__.co_names and vectorcall is None:
        pytest.skip("PyObject_Vectorcall is not reachable through ctypes")
    for name in COLLABORATORS:
        setattr(tc, name, Namespace)

    def once(value: Any) -> list[Any]:
        try:
            result = call(AC, create_function, value)
        except BaseException as exc:  # noqa: BLE001
            assert type(exc) is expected, exc
            return [value]
        assert expected is None
        return [value, result]

    def make() -> list[object]:
        made = once(Value())
        flush_name_caches(tc)
        return made

    assert_released(make)
    shared = Value()
    assert_no_growth(lambda: once(shared), [shared, AC, create_function, Namespace, None, True, False])


def test_function_attributes_replaced_and_deleted_many_times(create_function: Any) -> None:
    """Each writable attribute replaced, deleted and restored: no reference
    gained or lost (under the sanitizers, no object used after its release),
    and the original values come back intact."""
    function = create_function
    names = ("__name__", "__qualname__", "__module__", "__doc__", "__kwdefaults__", "__annotations__")
    originals = {name: getattr(function, name) for name in names}
    replacement = {"x": None}

    def restore() -> None:
        for name, original in originals.items():
            setattr(function, name, original)

    def once() -> None:
        restore()
        function.__kwdefaults__ = function.__annotations__ = replacement
        del function.__kwdefaults__, function.__annotations__, function.__doc__, function.__module__
        assert function.__kwdefaults__ is None and function.__annotations__ == {}
        function.__dict__["marker"] = replacement
        function.__dict__ = {}
        restore()

    try:
        assert_no_growth(once, [replacement, *originals.values()])
    finally:
        restore()
    assert function.__kwdefaults__ is originals["__kwdefaults__"] and len(function.__kwdefaults__) == 16
    assert function.__annotations__ is originals["__annotations__"] and len(function.__annotations__) == 18
    with pytest.raises(TypeError):
        function.__name__ = 5


# The create step hands back the module object it initialised before; the
# interpreter's module-from-spec step then sets that object's state pointer to
# NULL and its exec step allocates a new (empty) state block, which the module
# must free: the interpreter forgot it.
REIMPORTS = 400


def test_reimport_keeps_no_module_state_block(tc: ModuleType) -> None:
    def reimport(count: int) -> None:
        for _ in range(count):
            del sys.modules[FULL_NAME]
            assert importlib.import_module(FULL_NAME) is tc

    def empty_blocks() -> int:
        """Blocks of size 0 (a module state) the import machinery allocated and are still alive."""
        gc.collect()
        traces = tracemalloc.take_snapshot().filter_traces([tracemalloc.Filter(True, "<frozen importlib._bootstrap>")])
        return sum(trace.size == 0 for trace in traces.traces)

    tracemalloc.start()
    try:
        reimport(50)  # the import system's own caches
        before = empty_blocks()
        reimport(REIMPORTS)
        grown = empty_blocks() - before
    finally:
        tracemalloc.stop()
    assert grown < REIMPORTS // 10, f"{grown} module state blocks kept over {REIMPORTS} re-imports"
