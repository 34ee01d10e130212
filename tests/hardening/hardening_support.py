"""Shared pieces of the hardening tests of the native ``table_controller`` module.

The library (named by ``QUORVALEN_NATIVE_EXTENSION``, else the installed one) is
copied into a throwaway package with trivial siblings: only pytest, hypothesis and
the standard library are needed, and the copy's process-wide state is its own.
"""

from __future__ import annotations

import gc
import importlib.machinery
import importlib.util
import os
import shutil
import sys
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
DEFAULT_TEXTS = dict(zip(OPERATIONS, [("创建成功", "create - 创建"), ("更新成功", "update - 更新"), ("获取成功", "read - 读取 "),
                                      ("删除成功", "delete - 删除"), ("查询成功", "query - 查询")]))  # fmt: skip
_KEYWORDS_CLASS = "class {}:\n    def __init__(self, **kwargs):\n        self.__dict__.update(kwargs)\n"
SIBLINGS = {
    **{f"{package}__init__.py": "" for package in ("", "controller/", "auth/", "type/")},
    "controller/generic_controller.py": _KEYWORDS_CLASS.format("GenericController"),
    "controller/router_config.py": _KEYWORDS_CLASS.format("RouterConfig"),
    "auth/auth_router.py": _KEYWORDS_CLASS.format("AuthRouter"),
    "type/var.py": "".join(f"class SQLModel{kind}: pass\n" for kind in ("DB", "Create", "Update", "Response")),
}


def default_settings(operation: str) -> dict[str, Any]:
    """The keywords of an operation's default route settings, in call order."""
    message, summary = DEFAULT_TEXTS[operation]
    return {"enabled": True, "message": message, "summary": summary, "auth": True,
            "auth_role": None, "auth_obj": None, "auth_act": operation}  # fmt: skip


def locate_extension() -> Path:
    """The library named by the environment, else the one installed with the package."""
    if explicit := os.environ.get(EXTENSION_ENV):
        if not Path(explicit).is_file():
            raise FileNotFoundError(f"{EXTENSION_ENV}={explicit} names no file")
        return Path(explicit)
    spec = importlib.util.find_spec("quorvalen_core")
    for location in (spec.submodule_search_locations or []) if spec else []:
        for suffix in importlib.machinery.EXTENSION_SUFFIXES:
            if (candidate := Path(location) / "controller" / f"table_controller{suffix}").is_file():
                return candidate
    raise FileNotFoundError(f"no built table_controller: install quorvalen_core or set {EXTENSION_ENV}")


def build_tree(root: Path, extension: Path) -> Path:
    """Writes the stand-in package under ``root`` and returns ``root``."""
    package = root / PACKAGE
    for relative, source in SIBLINGS.items():
        (package / relative).parent.mkdir(parents=True, exist_ok=True)
        (package / relative).write_text(source, encoding="utf-8")
    suffixes = sorted(importlib.machinery.EXTENSION_SUFFIXES, key=len, reverse=True)
    suffix = next((s for s in suffixes if extension.name.endswith(s)), extension.name[extension.name.index(".") :])
    shutil.copyfile(extension, package / "controller" / f"table_controller{suffix}")
    return root


def native_entries(exc: BaseException) -> list[str]:
    """The traceback entries the native module added, outermost first."""
    return [frame.name for frame in traceback.extract_tb(exc.__traceback__) if frame.filename == NATIVE_FILE]


def entries_after_caller(exc: BaseException, caller: str) -> list[tuple[str, str]]:
    """(file, function) of every traceback entry below the caller's own frame."""
    frames = traceback.extract_tb(exc.__traceback__)
    names = [frame.name for frame in frames]
    start = len(names) - names[::-1].index(caller)
    return [(Path(frame.filename).name, frame.name) for frame in frames[start:]]


def c_calls() -> tuple[Callable[..., Any], Callable[..., Any]] | None:
    """``PyObject_Vectorcall`` (callable, stack list, nargs, kwnames) and ``PyObject_Call``
    through ctypes, for calls the language cannot write; None without ctypes."""
    try:
        import ctypes

        # Indexing makes function objects of our own, not those shared through ctypes.pythonapi.
        vectorcall, object_call = ctypes.pythonapi["PyObject_Vectorcall"], ctypes.pythonapi["PyObject_Call"]
    except (ImportError, AttributeError, OSError):
        return None
    vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    object_call.argtypes = [ctypes.py_object] * 3
    vectorcall.restype = object_call.restype = ctypes.py_object

    def call(callable_: Any, stack: list[Any], nargs: int, kwnames: tuple[Any, ...]) -> Any:
        array = (ctypes.py_object * max(len(stack), 1))(*stack)
        return vectorcall(callable_, ctypes.cast(array, ctypes.c_void_p), nargs, kwnames)

    return call, object_call


def assert_released(make: Callable[[], Iterable[object]]) -> None:
    """Every object ``make`` hands back must die with its last local reference."""
    refs = [weakref.ref(obj) for obj in make()]
    gc.collect()
    assert not (alive := [ref() for ref in refs if ref() is not None]), f"still referenced after the call: {alive!r}"


def assert_no_growth(run_once: Callable[[], None], watched: Iterable[object] = (), repeats: int = 400) -> None:
    """Over many runs the counts of ``watched`` come back and traced memory does not
    grow (a leaked object adds 16 bytes or more per run).  Interpreter caches move
    the counts of None, True and False a little: below one per ten runs is tolerated."""
    watched = list(watched)
    tracemalloc.start()
    try:
        for _ in range(40):
            run_once()
        gc.collect()
        counts_before = [sys.getrefcount(obj) for obj in watched]
        memory_before = tracemalloc.get_traced_memory()[0]
        for _ in range(repeats):
            run_once()
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - memory_before
        counts_after = [sys.getrefcount(obj) for obj in watched]
    finally:
        tracemalloc.stop()
    singleton = [obj is None or obj is True or obj is False for obj in watched]
    changed = [(obj, before, after) for obj, loose, before, after in zip(watched, singleton, counts_before, counts_after)
               if abs(after - before) >= (repeats // 10 if loose else 1)]  # fmt: skip
    assert not changed, f"reference counts changed over {repeats} runs: {changed!r}"
    assert growth <= 2048, f"traced memory grew by {growth} bytes over {repeats} runs"
