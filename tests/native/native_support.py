"""Helpers for the tests of the native ``table_controller`` extension.

The real package pulls in FastAPI and SQLModel, so the built library is copied
into a package of trivial siblings (``standin_core``) and imported from there;
a copy at another path has its own process-wide state and cannot clash with
the real module that other test directories import.
"""

from __future__ import annotations

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

try:
    import ctypes
except ImportError:  # an interpreter built without libffi
    ctypes = None  # type: ignore[assignment]

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
COLLABORATORS = ("AuthRouter", "RouterConfig", "GenericController")
CALL_ORDER = ["AuthRouter"] + ["RouterConfig"] * 5 + ["GenericController"]
ROUTER_KEYWORDS = ("prefix", "tags", "db_config_name", "default_role", "auth_role", "auth_obj", "auth_act")
CONTROLLER_KEYWORDS = ("auth_router", "model_class", "create_schema", "update_schema", "response_schema") + tuple(
    f"{op}_router" for op in OPERATIONS
)
DEFAULT_MESSAGES = dict(zip(OPERATIONS, ("创建成功", "更新成功", "获取成功", "删除成功", "查询成功")))
DEFAULT_SUMMARIES = dict(zip(OPERATIONS, ("create - 创建", "update - 更新", "read - 读取 ", "delete - 删除",
                                          "query - 查询")))

KWARGS_CLASS = "class {name}:\n    def __init__(self, **kwargs):\n        self.{store}(kwargs)\n"
# Sibling modules of the stand-in package; tests override single files.
SIBLINGS: dict[str, str] = {
    "__init__.py": "",
    "controller/__init__.py": "",
    "controller/generic_controller.py": KWARGS_CLASS.format(name="GenericController", store="kwargs = dict"),
    "controller/router_config.py": KWARGS_CLASS.format(name="RouterConfig", store="__dict__.update"),
    "auth/__init__.py": "",
    "auth/auth_router.py": KWARGS_CLASS.format(name="AuthRouter", store="kwargs = dict"),
    "type/__init__.py": "",
    "type/var.py": "".join(f"class SQLModel{n}: pass\n" for n in ("DB", "Create", "Update", "Response")),
}


def locate_extension() -> Path:
    """The library named by the environment, else the one installed with quorvalen_core."""
    explicit = os.environ.get(EXTENSION_ENV)
    if explicit:
        if not Path(explicit).is_file():
            raise FileNotFoundError(f"{EXTENSION_ENV}={explicit} names no file")
        return Path(explicit)
    package = importlib.util.find_spec("quorvalen_core")
    for location in list(package.submodule_search_locations or []) if package else []:
        for suffix in importlib.machinery.EXTENSION_SUFFIXES:
            if (candidate := Path(location) / "controller" / f"table_controller{suffix}").is_file():
                return candidate
    raise FileNotFoundError(f"no built table_controller extension: install quorvalen_core or set {EXTENSION_ENV}")


def library_file_name(extension: Path) -> str:
    """``table_controller`` plus a suffix this interpreter loads (its own for an unknown tag)."""
    suffixes = importlib.machinery.EXTENSION_SUFFIXES
    known = [s for s in sorted(suffixes, key=len, reverse=True) if extension.name.endswith(s)]
    return f"table_controller{(known or suffixes)[0]}"


def build_tree(root: Path, extension: Path, overrides: dict[str, str | None] | None = None) -> Path:
    """Write the stand-in package under ``root``; an override of None drops a file."""
    package = root / PACKAGE
    for relative, source in {**SIBLINGS, **(overrides or {})}.items():
        if source is not None:
            (package / relative).parent.mkdir(parents=True, exist_ok=True)
            (package / relative).write_text(textwrap.dedent(source), encoding="utf-8")
    shutil.copyfile(extension, package / "controller" / library_file_name(extension))
    return root


def native_entries(exc: BaseException) -> list[str]:
    """Names of the traceback entries that the native module added, outermost first."""
    return [f.name for f in traceback.extract_tb(exc.__traceback__) if f.filename == NATIVE_FILE]


def frame_names(exc: BaseException) -> list[str]:
    return [f.name for f in traceback.extract_tb(exc.__traceback__)]


SCRIPT_PRELUDE = f"""
import json, sys, traceback
sys.path.insert(0, sys.argv[1])
FULL_NAME = {FULL_NAME!r}

def describe(exc):
    frames = [[f.filename, f.name] for f in traceback.extract_tb(exc.__traceback__)]
    chained = exc.__context__ is not None or exc.__cause__ is not None
    return dict(type=type(exc).__name__, message=str(exc), frames=frames, chained=chained)

def report(**values):
    print(json.dumps(values))
"""


def run_script(root: Path, body: str) -> dict[str, Any]:
    """Run ``body`` in a fresh interpreter over ``root``; returns what it reported."""
    argv = [sys.executable, "-I", "-X", "faulthandler", "-c", SCRIPT_PRELUDE + textwrap.dedent(body), str(root)]
    proc = subprocess.run(argv, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and proc.stdout.strip(), f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    return json.loads(proc.stdout.strip().splitlines()[-1])


Label = type("Label", (str,), {})
Opaque = type("Opaque", (), {})


def fresh(text: str) -> str:
    """An equal string that is not the interned literal, so identity means something."""
    return "".join(list(text))


def vectorcall(func: Any, args: tuple[Any, ...], names: tuple[Any, ...], values: tuple[Any, ...]) -> Any:
    """Call through the fast convention with keyword names the language cannot write."""
    api = ctypes.pythonapi.PyObject_Vectorcall
    api.restype, api.argtypes = ctypes.py_object, [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]
    stack = args + values
    array = (ctypes.py_object * len(stack))(*stack)
    return api(func, ctypes.addressof(array), len(args), id(names))


def object_call(func: Any, args: tuple[Any, ...], kwargs: dict[Any, Any]) -> Any:
    """Call with a keyword dict whose keys the language would refuse."""
    api = ctypes.pythonapi.PyObject_Call
    api.restype, api.argtypes = ctypes.py_object, [ctypes.py_object] * 3
    return api(func, args, kwargs)


class Settings:
    """Route settings that log every public attribute read and assignment."""

    def __init__(self, log: list[tuple[Any, ...]], label: str, **values: Any) -> None:
        object.__setattr__(self, "_log", log)
        object.__setattr__(self, "_label", label)
        object.__getattribute__(self, "__dict__").update(values)

    def __getattribute__(self, name: str) -> Any:
        if not name.startswith("_"):
            object.__getattribute__(self, "_log").append(("get", object.__getattribute__(self, "_label"), name))
        return object.__getattribute__(self, name)

    def __setattr__(self, name: str, value: Any) -> None:
        object.__getattribute__(self, "_log").append(("set", object.__getattribute__(self, "_label"), name, value))
        object.__setattr__(self, name, value)

    def _snapshot(self) -> dict[str, Any]:
        own = object.__getattribute__(self, "__dict__")
        return {name: own[name] for name in SETTINGS_ATTRIBUTES if name in own}


class Collaborators:
    """Recording replacements for the three collaborators.

    ``log`` holds the collaborator calls and the attribute traffic of every
    ``Settings`` object made with it, in one sequence.  ``before`` maps a
    collaborator to a hook run inside its call with the call's index.
    """

    def __init__(self) -> None:
        self.log: list[tuple[Any, ...]] = []
        self.made: dict[str, list[Any]] = {name: [] for name in COLLABORATORS}
        self.before: dict[str, Callable[[int], None]] = {}
        for name in COLLABORATORS:
            setattr(self, name, self._recorder(name))

    def _recorder(self, name: str) -> Callable[..., Any]:
        def call(*args: Any, **kwargs: Any) -> Any:
            index = len(self.made[name])
            self.log.append(("call", name, args, list(kwargs.items())))
            self.made[name].append(None)
            if name in self.before:
                self.before[name](index)
            made = Settings(self.log, f"default:{OPERATIONS[index % 5]}", **kwargs) if name == "RouterConfig" else object()
            self.made[name][index] = made
            return made

        return call

    routers = property(lambda self: self.made["AuthRouter"])
    defaults = property(lambda self: self.made["RouterConfig"])

    def settings(self, label: str, **values: Any) -> Settings:
        return Settings(self.log, label, **{**dict.fromkeys(SETTINGS_ATTRIBUTES), **values})

    def calls(self, name: str | None = None) -> list[tuple[Any, ...]]:
        return [e for e in self.log if e[0] == "call" and name in (None, e[1])]

    def kwargs(self, name: str, index: int = 0) -> dict[str, Any]:
        return dict(self.calls(name)[index][3])

    def traffic(self, *labels: str) -> list[tuple[Any, ...]]:
        """Attribute reads and assignments on the settings objects of these labels."""
        return [e for e in self.log if e[0] in ("get", "set") and e[1] in labels]

    def assigned(self, label: str) -> list[str]:
        return [e[2] for e in self.traffic(label) if e[0] == "set"]


def default_settings(operation: str) -> list[tuple[str, Any]]:
    """Keywords of the default route settings of one operation, in call order."""
    return [("enabled", True), ("message", DEFAULT_MESSAGES[operation]), ("summary", DEFAULT_SUMMARIES[operation]),
            ("auth", True), ("auth_role", None), ("auth_obj", None), ("auth_act", operation)]


def typed(items: list[tuple[str, Any]]) -> list[tuple[str, type, Any]]:
    """Keyword items with their value types, so True and 1 or str subclasses differ."""
    return [(name, type(value), value) for name, value in items]


def router_keywords(schema: Any, prefix: str, tag: str, auth_obj: str) -> list[tuple[str, Any]]:
    """What the router receives when only the schema and table names are given."""
    return [("prefix", prefix), ("tags", [tag]), ("db_config_name", None), ("default_role", schema),
            ("auth_role", None), ("auth_obj", auth_obj), ("auth_act", None)]


def merge_traffic(label: str, caller: dict[str, Any], default_label: str, default: dict[str, Any]) -> list[tuple[Any, ...]]:
    """The reads and assignments that merging ``caller`` over ``default`` makes."""
    events: list[tuple[Any, ...]] = [("get", label, "enabled")]
    if caller["enabled"] is False:
        return events
    for name in MERGED_ATTRIBUTES:
        events.append(("get", label, name))
        source, value = (default_label, default[name]) if caller[name] is None else (label, caller[name])
        events += [("get", source, name), ("set", label, name, value)]
    return events
