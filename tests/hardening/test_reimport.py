"""Importing the module again after its ``sys.modules`` entry was removed.

The create step hands back the module object it initialised before.  The
interpreter's module-from-spec step then sets that object's module state
pointer to NULL and its exec step allocates a new state block (empty: the
module has no per-module state); unless the module frees the block the
interpreter forgot, every re-import loses one.
"""

from __future__ import annotations

import gc
import importlib
import sys
import tracemalloc
from types import ModuleType

from hardening_support import FULL_NAME

REIMPORTS = 400
IMPORT_MACHINERY = tracemalloc.Filter(True, "<frozen importlib._bootstrap>")


def surviving_blocks(tc: ModuleType, count: int) -> int:
    """Empty blocks (a state of size 0) allocated by the import machinery and
    still alive after ``count`` re-imports."""
    def reimport() -> None:
        del sys.modules[FULL_NAME]
        assert importlib.import_module(FULL_NAME) is tc

    gc.collect()
    before = tracemalloc.take_snapshot().filter_traces([IMPORT_MACHINERY])
    for _ in range(count):
        reimport()
    gc.collect()
    after = tracemalloc.take_snapshot().filter_traces([IMPORT_MACHINERY])
    empty_before = sum(1 for trace in before.traces if trace.size == 0)
    return sum(1 for trace in after.traces if trace.size == 0) - empty_before


def test_reimport_keeps_no_memory(tc: ModuleType) -> None:
    tracemalloc.start()
    try:
        surviving_blocks(tc, 50)  # the import system's own caches
        grown = surviving_blocks(tc, REIMPORTS)
    finally:
        tracemalloc.stop()
    assert grown < REIMPORTS // 10, f"{grown} module state blocks kept over {REIMPORTS} re-imports"
