"""No reference and no memory kept: the function's writable attributes replaced
many times, and the module imported again and again."""

from __future__ import annotations

import gc
import importlib
import sys
import tracemalloc
from types import ModuleType
from typing import Any

import pytest

from native_support import FULL_NAME, assert_no_growth


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
        restore()  # after the previous run's restore(): each attribute assigned its own value
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
# interpreter's PyModule_FromDefAndSpec step then sets that object's state pointer to
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

    spec = tc.__spec__  # each import gives the module the spec it found
    tracemalloc.start()
    try:
        reimport(50)  # the import system's own caches
        before = empty_blocks()
        reimport(REIMPORTS)
        grown = empty_blocks() - before
    finally:
        tracemalloc.stop()
        tc.__spec__ = spec
    assert grown < REIMPORTS // 10, f"{grown} module state blocks kept over {REIMPORTS} re-imports"
