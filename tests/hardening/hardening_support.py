"""Shared pieces of the hardening tests of the native ``table_controller`` module.

The tests load a copy of the built library into a throwaway package,
``hardened_core``, whose sibling modules are trivial, so they need neither
FastAPI nor SQLModel (only pytest and hypothesis) and can run on any CPython
3.11 build, musl included.  A copy at its own path is a library of its own
with its own process-wide state, so it cannot disturb other test directories
of the same run.  ``QUORVALEN_NATIVE_EXTENSION`` names the library to test;
without it the one installed with ``quorvalen_core`` is used.
"""

from __future__ import annotations

import gc
import importlib.machinery
import importlib.util
import os
import shutil
import sys
import textwrap
import tracemalloc
import traceback
import weakref
from collections.abc import Callable, Iterable
from pathlib import Path
from typing import Any

EXTENSION_ENV = "QUORVALEN_NATIVE_EXTENSION"
PACKAGE = "hardened_core"
FULL_NAME = f"{PACKAGE}.controller.table_controller"
NATIVE_FILE = "table_controller.py"
CREATE_ENTRY = "table_controller.AuthController.create"
MERGE_ENTRY = "table_controller.AuthController.create._apply_route_config"

OPERATIONS = ("create", "update", "read", "delete", "query")
ROUTER_PARAMETERS = tuple(f"{operation}_router" for operation in OPERATIONS)
MERGED_ATTRIBUTES = ("auth", "auth_role", "auth_obj", "auth_act", "message", "summary")
SETTINGS_ATTRIBUTES = ("enabled",) + MERGED_ATTRIBUTES
COLLABORATORS = ("AuthRouter", "RouterConfig", "GenericController")

DEFAULT_TEXTS = {
    "create": ("创建成功", "create - 创建"),
    "update": ("更新成功", "update - 更新"),
    "read": ("获取成功", "read - 读取 "),
    "delete": ("删除成功", "delete - 删除"),
    "query": ("查询成功", "query - 查询"),
}

SIBLINGS: dict[str, str] = {
    "__init__.py": "",
    "controller/__init__.py": "",
    "controller/generic_controller.py": "class GenericController:\n    def __init__(self, **kwargs):\n        self.kwargs = kwargs\n",
    "controller/router_config.py": "class RouterConfig:\n    def __init__(self, **kwargs):\n        self.__dict__.update(kwargs)\n",
    "auth/__init__.py": "",
    "auth/auth_router.py": "class AuthRouter:\n    def __init__(self, **kwargs):\n        self.kwargs = kwargs\n",
    "type/__init__.py": "",
    "type/var.py": textwrap.dedent(
        """
        class SQLModelDB: pass
        class SQLModelCreate: pass
        class SQLModelUpdate: pass
        class SQLModelResponse: pass
        """
    ),
}


def default_settings(operation: str) -> dict[str, Any]:
    """The keywords of an operation's default route settings, in call order."""
    message, summary = DEFAULT_TEXTS[operation]
    return {
        "enabled": True,
        "message": message,
        "summary": summary,
        "auth": True,
        "auth_role": None,
        "auth_obj": None,
        "auth_act": operation,
    }


def locate_extension() -> Path:
    """The library named by the environment, else the one installed with the package."""
    explicit = os.environ.get(EXTENSION_ENV)
    if explicit:
        path = Path(explicit)
        if not path.is_file():
            raise FileNotFoundError(f"{EXTENSION_ENV}={explicit} names no file")
        return path
    spec = importlib.util.find_spec("quorvalen_core")
    for location in (spec.submodule_search_locations or []) if spec else []:
        for suffix in importlib.machinery.EXTENSION_SUFFIXES:
            candidate = Path(location) / "controller" / f"table_controller{suffix}"
            if candidate.is_file():
                return candidate
    raise FileNotFoundError(f"no built table_controller: install quorvalen_core or set {EXTENSION_ENV}")


def build_tree(root: Path, extension: Path) -> Path:
    """Writes the stand-in package under ``root`` and returns ``root``."""
    package = root / PACKAGE
    for relative, source in SIBLINGS.items():
        target = package / relative
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(source, encoding="utf-8")
    suffix = next(
        (s for s in sorted(importlib.machinery.EXTENSION_SUFFIXES, key=len, reverse=True) if extension.name.endswith(s)),
        extension.name[extension.name.index(".") :],
    )
    shutil.copyfile(extension, package / "controller" / f"table_controller{suffix}")
    return root


def native_entries(exc: BaseException) -> list[str]:
    """The traceback entries the native module added, outermost first."""
    return [frame.name for frame in traceback.extract_tb(exc.__traceback__) if frame.filename == NATIVE_FILE]


def entries_after_caller(exc: BaseException, caller: str) -> list[tuple[str, str]]:
    """(file, function) of every traceback entry below the caller's own frame."""
    frames = traceback.extract_tb(exc.__traceback__)
    names = [frame.name for frame in frames]
    start = len(names) - 1 - names[::-1].index(caller)
    return [(Path(frame.filename).name, frame.name) for frame in frames[start + 1 :]]


def c_vectorcall() -> Callable[[Any, list[Any], int, tuple[Any, ...]], Any] | None:
    """``PyObject_Vectorcall`` through ctypes, for keyword-name tuples the
    language cannot write; None where ctypes or the exported symbol is missing
    (a static or libffi-less interpreter)."""
    try:
        import ctypes

        # Indexing makes a function object of our own: the attribute is shared
        # with every other user of ctypes.pythonapi, argument types included.
        function = ctypes.pythonapi["PyObject_Vectorcall"]
    except (ImportError, AttributeError, OSError):
        return None
    function.restype = ctypes.py_object
    function.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]

    def call(callable_: Any, stack: list[Any], nargs: int, kwnames: tuple[Any, ...]) -> Any:
        array = (ctypes.py_object * max(len(stack), 1))(*stack)
        return function(callable_, ctypes.cast(array, ctypes.c_void_p), nargs, kwnames)

    return call


def c_object_call() -> Callable[[Any, tuple[Any, ...], dict[Any, Any]], Any] | None:
    """``PyObject_Call`` through ctypes: a keyword dict handed over as it is,
    non-string keys included; None where ctypes or the symbol is missing."""
    try:
        import ctypes

        function = ctypes.pythonapi["PyObject_Call"]
    except (ImportError, AttributeError, OSError):
        return None
    function.restype = ctypes.py_object
    function.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return function  # type: ignore[no-any-return]


def flush_name_caches(module: Any) -> None:
    """Binds plain collaborators and makes one call that reaches every lookup.

    The module caches each place's last collaborator lookup, holding a
    reference to it until that place looks again; after this call the caches
    hold only ``types.SimpleNamespace``, so objects a test made are free to go.
    """
    import types

    for name in COLLABORATORS:
        setattr(module, name, types.SimpleNamespace)
    module.AuthController.create(model_class=None, response_schema=None)


# --------------------------------------------------------------------------
# Leak checks


def assert_released(make: Callable[[], Iterable[object]]) -> None:
    """Runs ``make`` once; every object it hands back must die with its last
    local reference (a reference kept by the module would keep it alive)."""
    refs = [weakref.ref(obj) for obj in make()]
    gc.collect()
    alive = [ref() for ref in refs if ref() is not None]
    assert not alive, f"still referenced after the call: {alive!r}"


def assert_no_growth(
    run_once: Callable[[], None],
    watched: Iterable[object] = (),
    repeats: int = 400,
    allowed_bytes: int = 2048,
) -> None:
    """Runs ``run_once`` many times: the reference counts of ``watched`` must
    come back and memory traced by tracemalloc must not grow.

    A single leaked reference per call shows in the counts; a leaked object
    of any size adds at least 16 bytes per call, several KiB over the run.
    The singletons None, True and False are referenced by every cache of the
    interpreter, whose occasional evictions move their counts by a few, so
    for them a drift below one per ten calls is tolerated; every other
    watched object must come back exactly.
    """
    watched = list(watched)
    for _ in range(20):
        run_once()
    gc.collect()
    started_here = not tracemalloc.is_tracing()
    if started_here:
        tracemalloc.start()
    try:
        for _ in range(20):
            run_once()
        gc.collect()
        counts_before = [sys.getrefcount(obj) for obj in watched]
        memory_before = tracemalloc.get_traced_memory()[0]
        for _ in range(repeats):
            run_once()
        gc.collect()
        memory_after = tracemalloc.get_traced_memory()[0]
        counts_after = [sys.getrefcount(obj) for obj in watched]
    finally:
        if started_here:
            tracemalloc.stop()
    changed = [
        (obj, before, after)
        for obj, before, after in zip(watched, counts_before, counts_after)
        if abs(after - before) >= (repeats // 10 if obj is None or obj is True or obj is False else 1)
    ]
    assert not changed, f"reference counts changed over {repeats} calls: {changed!r}"
    growth = memory_after - memory_before
    assert growth <= allowed_bytes, f"traced memory grew by {growth} bytes over {repeats} calls"
