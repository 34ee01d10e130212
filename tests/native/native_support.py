"""Helpers for the tests of the native ``table_controller`` extension.

The extension imports its collaborators relative to its package, and the
real package pulls in FastAPI and SQLModel.  These tests therefore never
import ``quorvalen_core.controller.table_controller``: they copy the built
library into a small package of trivial sibling modules (``standin_core``)
and import it from there, then rebind the collaborators with recording
stand-ins.  A copy at another path is a separate library with its own
process-wide state, so it cannot clash with the real module imported by
other test directories of the same run.  Nothing beyond pytest is needed.
"""

from __future__ import annotations

import importlib
import importlib.machinery
import importlib.util
import json
import os
import shutil
import subprocess
import sys
import textwrap
import traceback
from collections.abc import Callable
from pathlib import Path
from typing import Any

EXTENSION_ENV = "QUORVALEN_NATIVE_EXTENSION"
PACKAGE = "standin_core"
FULL_NAME = f"{PACKAGE}.controller.table_controller"
NATIVE_FILE = "table_controller.py"
CREATE_ENTRY = "table_controller.AuthController.create"
MERGE_ENTRY = "table_controller.AuthController.create._apply_route_config"
INIT_ENTRY = "init table_controller"

OPERATIONS = ("create", "update", "read", "delete", "query")
MERGED_ATTRIBUTES = ("auth", "auth_role", "auth_obj", "auth_act", "message", "summary")
SETTINGS_ATTRIBUTES = ("enabled",) + MERGED_ATTRIBUTES

# Sibling modules of the stand-in package; tests override single files.
SIBLINGS: dict[str, str] = {
    "__init__.py": "",
    "controller/__init__.py": "",
    "controller/generic_controller.py": textwrap.dedent(
        """
        class GenericController:
            def __init__(self, **kwargs):
                self.kwargs = kwargs
        """
    ),
    "controller/router_config.py": textwrap.dedent(
        """
        class RouterConfig:
            def __init__(self, **kwargs):
                self.__dict__.update(kwargs)
        """
    ),
    "auth/__init__.py": "",
    "auth/auth_router.py": textwrap.dedent(
        """
        class AuthRouter:
            def __init__(self, **kwargs):
                self.kwargs = kwargs
        """
    ),
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


def locate_extension() -> Path:
    """The built library: the one named by the environment, else the installed one."""
    explicit = os.environ.get(EXTENSION_ENV)
    if explicit:
        path = Path(explicit)
        if not path.is_file():
            raise FileNotFoundError(f"{EXTENSION_ENV}={explicit} names no file")
        return path
    spec = importlib.util.find_spec("quorvalen_core")
    locations = list(spec.submodule_search_locations or []) if spec else []
    for location in locations:
        for suffix in importlib.machinery.EXTENSION_SUFFIXES:
            candidate = Path(location) / "controller" / f"table_controller{suffix}"
            if candidate.is_file():
                return candidate
    raise FileNotFoundError(
        f"no built table_controller extension: install quorvalen_core or set {EXTENSION_ENV}"
    )


def library_file_name(extension: Path) -> str:
    """``table_controller`` plus the suffix the loader accepts for this library."""
    name = extension.name
    for suffix in sorted(importlib.machinery.EXTENSION_SUFFIXES, key=len, reverse=True):
        if name.endswith(suffix):
            return f"table_controller{suffix}"
    # A suffix this interpreter does not know (a library copied under another
    # platform tag): name the copy with the interpreter's own suffix.
    return f"table_controller{importlib.machinery.EXTENSION_SUFFIXES[0]}"


def build_tree(root: Path, extension: Path, overrides: dict[str, str | None] | None = None) -> Path:
    """Write the stand-in package under ``root``; an override of None drops a file."""
    files = dict(SIBLINGS)
    files.update(overrides or {})
    package = root / PACKAGE
    for relative, source in files.items():
        if source is None:
            continue
        target = package / relative
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(textwrap.dedent(source), encoding="utf-8")
    (package / "controller").mkdir(parents=True, exist_ok=True)
    shutil.copyfile(extension, package / "controller" / library_file_name(extension))
    return root


def native_entries(exc: BaseException) -> list[str]:
    """Names of the traceback entries that the native module added, outermost first."""
    return [
        frame.name
        for frame in traceback.extract_tb(exc.__traceback__)
        if frame.filename == NATIVE_FILE
    ]


def innermost_entry(exc: BaseException) -> tuple[str, str]:
    frame = traceback.extract_tb(exc.__traceback__)[-1]
    return frame.filename, frame.name


SCRIPT_PRELUDE = textwrap.dedent(
    """
    import json, sys, traceback
    sys.path.insert(0, sys.argv[1])
    FULL_NAME = %r

    def describe(exc):
        return {
            "type": type(exc).__name__,
            "message": str(exc),
            "frames": [[f.filename, f.name] for f in traceback.extract_tb(exc.__traceback__)],
            "context": exc.__context__ is not None,
            "cause": exc.__cause__ is not None,
        }

    def report(**values):
        print(json.dumps(values))
    """
) % FULL_NAME


def run_script(root: Path, body: str) -> dict[str, Any]:
    """Run ``body`` in a fresh interpreter over ``root``; returns what it reported."""
    proc = subprocess.run(
        [sys.executable, "-I", "-X", "faulthandler", "-c", SCRIPT_PRELUDE + textwrap.dedent(body), str(root)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    lines = proc.stdout.strip().splitlines()
    assert lines, f"no report\n{proc.stderr}"
    return json.loads(lines[-1])


# --------------------------------------------------------------------------
# Recording stand-ins


class Settings:
    """Route settings that log every attribute read and assignment.

    Internal attributes start with an underscore and are not logged.
    """

    def __init__(self, log: list[tuple[Any, ...]], label: str, **values: Any) -> None:
        object.__setattr__(self, "_log", log)
        object.__setattr__(self, "_label", label)
        for name, value in values.items():
            object.__setattr__(self, name, value)

    def __getattribute__(self, name: str) -> Any:
        if name.startswith("_"):
            return object.__getattribute__(self, name)
        object.__getattribute__(self, "_log").append(
            ("get", object.__getattribute__(self, "_label"), name)
        )
        return object.__getattribute__(self, name)

    def __setattr__(self, name: str, value: Any) -> None:
        object.__getattribute__(self, "_log").append(
            ("set", object.__getattribute__(self, "_label"), name, value)
        )
        object.__setattr__(self, name, value)

    def _snapshot(self) -> dict[str, Any]:
        own = object.__getattribute__(self, "__dict__")
        return {name: own[name] for name in SETTINGS_ATTRIBUTES if name in own}


class Router:
    """What the AuthRouter stand-in returns."""


class Controller:
    """What the GenericController stand-in returns."""


class Collaborators:
    """Recording replacements for ``AuthRouter``, ``RouterConfig`` and ``GenericController``.

    ``log`` holds the collaborator calls and the attribute traffic of every
    ``Settings`` object made with it, in one sequence.
    """

    def __init__(self) -> None:
        self.log: list[tuple[Any, ...]] = []
        self.routers: list[Router] = []
        self.defaults: list[Settings] = []
        self.controllers: list[Controller] = []
        # Hooks run inside a call: name -> callable(call index).
        self.before: dict[str, Callable[[int], None]] = {}

    def settings(self, label: str, **values: Any) -> Settings:
        full = {name: None for name in SETTINGS_ATTRIBUTES}
        full.update(values)
        return Settings(self.log, label, **full)

    def _enter(self, name: str, args: tuple[Any, ...], kwargs: dict[str, Any]) -> int:
        index = sum(1 for entry in self.log if entry[0] == "call" and entry[1] == name)
        self.log.append(("call", name, args, list(kwargs.items())))
        hook = self.before.get(name)
        if hook is not None:
            hook(index)
        return index

    def AuthRouter(self, *args: Any, **kwargs: Any) -> Router:
        self._enter("AuthRouter", args, kwargs)
        router = Router()
        self.routers.append(router)
        return router

    def RouterConfig(self, *args: Any, **kwargs: Any) -> Settings:
        index = self._enter("RouterConfig", args, kwargs)
        default = Settings(self.log, f"default:{OPERATIONS[index % 5]}", **kwargs)
        self.defaults.append(default)
        return default

    def GenericController(self, *args: Any, **kwargs: Any) -> Controller:
        self._enter("GenericController", args, kwargs)
        controller = Controller()
        self.controllers.append(controller)
        return controller

    def calls(self, name: str | None = None) -> list[tuple[Any, ...]]:
        return [e for e in self.log if e[0] == "call" and (name is None or e[1] == name)]

    def traffic(self, *labels: str) -> list[tuple[Any, ...]]:
        """Attribute reads and assignments on the settings objects of these labels."""
        return [e for e in self.log if e[0] in ("get", "set") and e[1] in labels]


def default_settings(operation: str) -> list[tuple[str, Any]]:
    """Keywords of the default route settings of one operation, in call order."""
    message, summary = {
        "create": ("创建成功", "create - 创建"),
        "update": ("更新成功", "update - 更新"),
        "read": ("获取成功", "read - 读取 "),
        "delete": ("删除成功", "delete - 删除"),
        "query": ("查询成功", "query - 查询"),
    }[operation]
    return [
        ("enabled", True),
        ("message", message),
        ("summary", summary),
        ("auth", True),
        ("auth_role", None),
        ("auth_obj", None),
        ("auth_act", operation),
    ]


def typed(items: list[tuple[str, Any]]) -> list[tuple[str, type, Any]]:
    """Keyword items with their value types, so True and 1 or str subclasses differ."""
    return [(name, type(value), value) for name, value in items]


def merge_traffic(label: str, caller: dict[str, Any], default_label: str, default: dict[str, Any]) -> list[tuple[Any, ...]]:
    """The reads and assignments that merging ``caller`` over ``default`` makes."""
    events: list[tuple[Any, ...]] = [("get", label, "enabled")]
    if caller["enabled"] is False:
        return events
    for name in MERGED_ATTRIBUTES:
        events.append(("get", label, name))
        if caller[name] is None:
            events.append(("get", default_label, name))
            value = default[name]
        else:
            events.append(("get", label, name))
            value = caller[name]
        events.append(("set", label, name, value))
    return events
