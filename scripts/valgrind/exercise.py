"""Drives every path of the native table_controller module once per round, for
memcheck to watch: a failed import and the import after it, the import in a
second interpreter, every binding error, every collaborator failure, every
kind of merge failure, missing collaborator names, successful calls, and
(where the interpreter has its test hooks) each allocation of a call failed
in turn.

Usage: python exercise.py /path/to/table_controller*.so [rounds]

Needs nothing but the standard library: the library is copied into the
stand-in package of the native tests (tests/support/native_support.py).
"""

from __future__ import annotations

import importlib
import itertools
import sys
import tempfile
import types
from collections.abc import Callable
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "support"))

from native_support import (  # noqa: E402
    COLLABORATORS, FULL_NAME, PACKAGE, SETTINGS_ATTRIBUTES, SIBLINGS, Label, Settings, build_tree, ctypes, vectorcall,
)

# Without SQLModelUpdate the exec step fails half way through its imports.
BROKEN_VAR = "".join(line for line in SIBLINGS["type/var.py"].splitlines(True) if "SQLModelUpdate" not in line)


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


def settings(fail_at: int | None = None, **values: Any) -> Settings:
    """Route settings whose n-th attribute access (read or assignment) fails."""
    accesses = itertools.count()

    def count(event: tuple[Any, ...]) -> None:
        if (index := next(accesses)) == fail_at:
            raise Fault(index)

    return Settings(count, "caller", **{**dict.fromkeys(SETTINGS_ATTRIBUTES), **values})


class RaisingName(str):
    __hash__ = str.__hash__

    def __eq__(self, other: object) -> bool:
        raise Fault("compare")


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
        lambda: type(function).__call__(function, AC, **{Label("tag"): 1}),
        *([lambda: vectorcall(function, [AC, 1, 2, 3], 1, ("model_class", "response_schema", 7))] if ctypes else []),
        lambda: AC.create(**required, prefix=5),
        lambda: AC.create(**required, tags=("a",)),
        lambda: AC.create(**required, schema_name=Label("s")),
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
        lambda: AC.create(model_class=1, response_schema=2, prefix=Label("p")),
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
        root = build_tree(Path(directory), extension)
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
