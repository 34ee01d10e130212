"""Drives every path of the native table_controller module once per round, for
memcheck to watch: a failed import and the import after it, the import in a
second interpreter, every binding error, every collaborator failure, every
kind of merge failure, missing collaborator names, successful calls, and
(where the interpreter has its test hooks) each allocation of a call failed
in turn.

Usage: python exercise.py /path/to/table_controller*.so [rounds]

Needs nothing but the standard library: the library is copied into a
throwaway package (``valgrind_core``) with trivial sibling modules.
"""

from __future__ import annotations

import importlib
import importlib.machinery
import shutil
import sys
import tempfile
import types
from collections.abc import Callable
from pathlib import Path
from typing import Any

PACKAGE = "valgrind_core"
FULL_NAME = f"{PACKAGE}.controller.table_controller"
COLLABORATORS = ("AuthRouter", "RouterConfig", "GenericController")

SIBLINGS = {
    "__init__.py": "",
    "controller/__init__.py": "",
    "controller/generic_controller.py": "class GenericController:\n    def __init__(self, **kw):\n        self.kw = kw\n",
    "controller/router_config.py": "class RouterConfig:\n    def __init__(self, **kw):\n        self.__dict__.update(kw)\n",
    "auth/__init__.py": "",
    "auth/auth_router.py": "class AuthRouter:\n    def __init__(self, **kw):\n        self.kw = kw\n",
    "type/__init__.py": "",
    "type/var.py": "class SQLModelDB: pass\nclass SQLModelCreate: pass\nclass SQLModelUpdate: pass\nclass SQLModelResponse: pass\n",
}
# Without SQLModelUpdate the exec step fails half way through its imports.
BROKEN_VAR = "class SQLModelDB: pass\nclass SQLModelCreate: pass\nclass SQLModelResponse: pass\n"


def build_tree(root: Path, extension: Path) -> None:
    package = root / PACKAGE
    for relative, source in SIBLINGS.items():
        target = package / relative
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(source, encoding="utf-8")
    suffix = next(s for s in importlib.machinery.EXTENSION_SUFFIXES if extension.name.endswith(s))
    shutil.copyfile(extension, package / "controller" / f"table_controller{suffix}")


def expect(kind: type[BaseException], action: Callable[[], Any]) -> BaseException:
    try:
        action()
    except kind as exc:
        return exc
    raise AssertionError(f"{action} did not raise {kind.__name__}")


def import_paths(root: Path) -> types.ModuleType:
    """A failed exec step, then a successful import of the same library, then
    the same import again and from another interpreter."""
    var = root / PACKAGE / "type" / "var.py"
    var.write_text(BROKEN_VAR, encoding="utf-8")
    error = expect(ImportError, lambda: importlib.import_module(FULL_NAME))
    assert "SQLModelUpdate" in str(error), error
    for name in [name for name in sys.modules if name.startswith(PACKAGE)]:
        del sys.modules[name]
    var.write_text(SIBLINGS["type/var.py"], encoding="utf-8")
    importlib.invalidate_caches()
    module = importlib.import_module(FULL_NAME)
    del sys.modules[FULL_NAME]
    assert importlib.import_module(FULL_NAME) is module
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        return module
    other = interpreters.create()
    try:
        script = f"import sys\nsys.path.insert(0, {str(root)!r})\ntry:\n    import {FULL_NAME}\nexcept ImportError:\n    pass\n"
        interpreters.run_string(other, script)
    finally:
        interpreters.destroy(other)
    return module


class Fault(Exception):
    pass


class Settings:
    """Route settings whose n-th attribute access (read or assignment) fails."""

    def __init__(self, fail_at: int | None, **values: Any) -> None:
        object.__setattr__(self, "_fail_at", fail_at)
        object.__setattr__(self, "_count", 0)
        for name, value in values.items():
            object.__setattr__(self, name, value)

    def _tick(self) -> None:
        count = object.__getattribute__(self, "_count")
        object.__setattr__(self, "_count", count + 1)
        if count == object.__getattribute__(self, "_fail_at"):
            raise Fault(count)

    def __getattribute__(self, name: str) -> Any:
        if not name.startswith("_"):
            object.__getattribute__(self, "_tick")()
        return object.__getattribute__(self, name)

    def __setattr__(self, name: str, value: Any) -> None:
        self._tick()
        object.__setattr__(self, name, value)


def settings(fail_at: int | None = None, **values: Any) -> Settings:
    full = dict.fromkeys(("enabled", "auth", "auth_role", "auth_obj", "auth_act", "message", "summary"))
    full.update(values)
    return Settings(fail_at, **full)


class StrSub(str):
    pass


class RaisingName(str):
    __hash__ = str.__hash__

    def __eq__(self, other: object) -> bool:
        raise Fault("compare")


def vectorcall(function: Any, stack: list[Any], nargs: int, kwnames: tuple[Any, ...]) -> Any:
    import ctypes

    api = ctypes.pythonapi
    api.PyObject_Vectorcall.restype = ctypes.py_object
    api.PyObject_Vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    array = (ctypes.py_object * len(stack))(*stack)
    return api.PyObject_Vectorcall(function, ctypes.cast(array, ctypes.c_void_p), nargs, kwnames)


def binding_errors(AC: type) -> None:
    function = AC.__dict__["create"].__func__
    required = {"model_class": 1, "response_schema": 2}
    cases: list[Callable[[], Any]] = [
        lambda: AC.create(),
        lambda: AC.create(1),
        lambda: AC.create(1, 2, **required),
        lambda: AC.create(model_class=1),
        lambda: AC.create(response_schema=1),
        lambda: AC.create(**required, tag=["x"]),
        lambda: AC.create(**required, cls=AC),
        lambda: function(**required),
        lambda: type(function).__call__(function, AC, **{1: 2, "model_class": 1}),
        lambda: type(function).__call__(function, AC, 1, 2),
        lambda: type(function).__call__(function, AC, **{StrSub("tag"): 1}),
        lambda: vectorcall(function, [AC, 1, 2, 3], 1, ("model_class", "response_schema", 7)),
        lambda: AC.create(**required, prefix=5),
        lambda: AC.create(**required, tags=("a",)),
        lambda: AC.create(**required, schema_name=StrSub("s")),
        lambda: AC.create(**required, db_config_name=b"x"),
        lambda: AC.create(**{**required, RaisingName("zz"): 1}),
    ]
    for case in cases:
        expect(Exception, case)


def collaborator_failures(module: types.ModuleType, AC: type) -> None:
    required = {"model_class": 1, "response_schema": 2, "schema_name": "s", "table_name": "t"}

    for place in range(7):
        calls = {"count": 0}

        def counting(kind: type) -> Callable[..., Any]:
            def call(**kwargs: Any) -> Any:
                calls["count"] += 1
                if calls["count"] - 1 == place:
                    raise Fault(place)
                return kind(**kwargs)

            return call

        for name in COLLABORATORS:
            setattr(module, name, counting(types.SimpleNamespace))
        expect(Fault, lambda: AC.create(**required, create_router=settings()))

    for name in COLLABORATORS:
        setattr(module, name, types.SimpleNamespace)
    # Each access of one merge to the caller's settings in turn, until none fails.
    faults = 0
    while True:
        try:
            AC.create(**required, update_router=settings(faults, enabled=True, auth=False, message="m"))
        except Fault:
            faults += 1
        else:
            break
    assert faults == 15, faults  # enabled; 2 set attributes x 3 accesses; 4 unset x 2
    expect(AttributeError, lambda: AC.create(**required, read_router=object()))
    expect(AttributeError, lambda: AC.create(**required, read_router=types.SimpleNamespace(enabled=True)))

    for name in COLLABORATORS:
        value = getattr(module, name)
        delattr(module, name)
        expect(NameError, lambda: AC.create(**required))
        setattr(module, name, value)


def successes(module: types.ModuleType, AC: type) -> None:
    for name in COLLABORATORS:
        setattr(module, name, types.SimpleNamespace)
    AC.create(model_class=1, response_schema=2)
    AC.create(model_class=1, response_schema=2, schema_name="销售", table_name="invoice", tags=["t"], prefix="/p")
    AC.create(
        model_class=1,
        response_schema=2,
        schema_name="s",
        default_role="r",
        auth_obj="o",
        auth_role="a",
        auth_act="x",
        db_config_name="d",
        create_router=settings(enabled=False),
        update_router=settings(enabled=True, auth=False, summary=""),
        query_router=types.SimpleNamespace(enabled=None, auth=None, auth_role=None, auth_obj=None, auth_act=None, message=None, summary=None),
    )
    shared = settings(enabled=True)
    AC.create(model_class=1, response_schema=2, create_router=shared, update_router=shared)
    AC.__dict__["create"].__func__(cls=AC, model_class=1, response_schema=2)


def allocation_failures(module: types.ModuleType, AC: type) -> None:
    """Each allocation of a call failed in turn (with the interpreter's test hooks, when built)."""
    try:
        import _testcapi
    except ImportError:
        return
    for name in COLLABORATORS:
        setattr(module, name, types.SimpleNamespace)
    calls: list[Callable[[], Any]] = [
        lambda: AC.create(model_class=1, response_schema=2, schema_name="s", table_name="t",
                          create_router=settings(enabled=True), read_router=settings(enabled=False)),
        lambda: AC.create(model_class=1, response_schema=2, tag=3),
        lambda: AC.create(model_class=1, response_schema=2, prefix=StrSub("p")),
    ]
    for call in calls:
        for index in range(300):
            _testcapi.set_nomemory(index, index + 1)
            try:
                call()
            except (MemoryError, SystemError, TypeError):
                pass
            finally:
                _testcapi.remove_mem_hooks()


def main() -> None:
    extension = Path(sys.argv[1]).resolve()
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    with tempfile.TemporaryDirectory() as directory:
        root = Path(directory)
        build_tree(root, extension)
        sys.path.insert(0, str(root))
        module = import_paths(root)
        AC = module.AuthController
        saved = {name: getattr(module, name) for name in COLLABORATORS}
        for _ in range(rounds):
            binding_errors(AC)
            collaborator_failures(module, AC)
            successes(module, AC)
            allocation_failures(module, AC)
            for name, value in saved.items():
                setattr(module, name, value)
            AC.create(model_class=1, response_schema=2)
    print(f"exercised every path {rounds} times")


if __name__ == "__main__":
    main()
