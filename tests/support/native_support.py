"""What the native ``table_controller`` module's checks share: its tests
(tests/native, tests/hardening), the memcheck run (scripts/valgrind) and the
benchmarks (bench/).

The real package pulls in FastAPI and SQLModel, so the built library is copied
into a package of trivial siblings (``standin_core``) and imported from there;
a copy at another path has its own process-wide state and cannot clash with
the real module that other test directories import.  Only the standard
library is needed, so all of it runs on a bare interpreter (the musl build's).
"""

from __future__ import annotations

import gc
import importlib.machinery
import importlib.util
import json
import os
import shutil
import subprocess
import sys
import textwrap
import traceback
import tracemalloc
import weakref
from collections.abc import Callable, Iterable, Sequence
from pathlib import Path
from types import ModuleType
from typing import Any

try:
    import ctypes
except ImportError:  # an interpreter built without libffi
    ctypes = None  # type: ignore[assignment]

REPOSITORY = Path(__file__).resolve().parents[2]
SOURCE_PACKAGE = REPOSITORY / "src" / "quorvalen_core"

EXTENSION_ENV = "QUORVALEN_NATIVE_EXTENSION"
PACKAGE = "standin_core"
FULL_NAME = f"{PACKAGE}.controller.table_controller"
NATIVE_FILE = "table_controller.py"
INIT_ENTRY = "init table_controller"
CREATE_ENTRY = "table_controller.AuthController.create"
MERGE_ENTRY = "table_controller.AuthController.create._apply_route_config"


def _operation_table() -> ModuleType:
    """The package's operation table (web/operations.py), read from the
    source tree under a name of its own: it loads without the web stack, and
    beside an installed copy of the package."""
    name = "quorvalen_operation_table"
    if name not in sys.modules:
        spec = importlib.util.spec_from_file_location(name, SOURCE_PACKAGE / "web" / "operations.py")
        assert spec is not None and spec.loader is not None
        module = importlib.util.module_from_spec(spec)
        sys.modules[name] = module  # dataclasses look their module up while the class is made
        spec.loader.exec_module(module)
    return sys.modules[name]


operation_table = _operation_table()
OPERATIONS: tuple[str, ...] = tuple(operation.key for operation in operation_table.OPERATIONS)
ROUTER_PARAMETERS: tuple[str, ...] = tuple(operation.parameter for operation in operation_table.OPERATIONS)
MERGED_ATTRIBUTES: tuple[str, ...] = operation_table.MERGED_FIELDS
SETTINGS_ATTRIBUTES = ("enabled",) + MERGED_ATTRIBUTES
COLLABORATORS = ("AuthRouter", "RouterConfig", "GenericController")
CALL_ORDER = ["AuthRouter"] + ["RouterConfig"] * 5 + ["GenericController"]
ROUTER_KEYWORDS = ("prefix", "tags", "db_config_name", "default_role", "auth_role", "auth_obj", "auth_act")
CONTROLLER_KEYWORDS = ("auth_router", "model_class", "create_schema", "update_schema", "response_schema") + ROUTER_PARAMETERS


# The messages of the TypeErrors with which create() refuses a call.
wrong_positional_count = "create() takes exactly 1 positional argument ({} given)".format
missing_keyword = "create() needs keyword-only argument {}".format
unexpected_keyword = "create() got an unexpected keyword argument '{}'".format
repeated_keyword = "create() got multiple values for keyword argument '{}'".format
wrong_type = "Argument '{}' has incorrect type (expected {}, got {})".format


def default_settings(operation: str) -> dict[str, Any]:
    """The keywords of an operation's default route settings, in call order."""
    return operation_table.OPERATIONS[OPERATIONS.index(operation)].default_settings()


# --------------------------------------------------------------------------
# The stand-in package

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
# The package's stand-in for an unbuilt module lies beside the library in the
# stand-in package as in the real one: every import there shows that the
# library is the one imported.
FALLBACK = SOURCE_PACKAGE / "controller" / NATIVE_FILE


def installed_extension() -> Path:
    """The library installed with quorvalen_core."""
    package = importlib.util.find_spec("quorvalen_core")
    for location in list(package.submodule_search_locations or []) if package else []:
        for suffix in importlib.machinery.EXTENSION_SUFFIXES:
            if (candidate := Path(location) / "controller" / f"table_controller{suffix}").is_file():
                return candidate
    raise FileNotFoundError(f"no built table_controller extension: install quorvalen_core or set {EXTENSION_ENV}")


def locate_extension() -> Path:
    """The library named by the environment, else the one installed with quorvalen_core."""
    explicit = os.environ.get(EXTENSION_ENV)
    if explicit:
        if not Path(explicit).is_file():
            raise FileNotFoundError(f"{EXTENSION_ENV}={explicit} names no file")
        return Path(explicit)
    return installed_extension()


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
    shutil.copyfile(FALLBACK, package / "controller" / NATIVE_FILE)
    shutil.copyfile(extension, package / "controller" / library_file_name(extension))
    return root


# --------------------------------------------------------------------------
# Tracebacks and fresh interpreters


def native_entries(exc: BaseException) -> list[str]:
    """Names of the traceback entries that the native module added, outermost first."""
    return [f.name for f in traceback.extract_tb(exc.__traceback__) if f.filename == NATIVE_FILE]


def frame_names(exc: BaseException) -> list[str]:
    return [f.name for f in traceback.extract_tb(exc.__traceback__)]


def entries_after_caller(exc: BaseException, caller: str) -> list[tuple[str, str]]:
    """(file, function) of every traceback entry below the caller's own frame."""
    frames = traceback.extract_tb(exc.__traceback__)
    names = [frame.name for frame in frames]
    start = len(names) - names[::-1].index(caller)
    return [(Path(frame.filename).name, frame.name) for frame in frames[start:]]


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


# --------------------------------------------------------------------------
# Values and calls the language cannot write

Label = type("Label", (str,), {})
Opaque = type("Opaque", (), {})


def fresh(text: str) -> str:
    """An equal string that is not the interned literal, so identity means something."""
    return "".join(list(text))


def _c_api(name: str, *argtypes: Any) -> Any:
    # Indexing makes function objects of our own, not those shared through ctypes.pythonapi.
    function = ctypes.pythonapi[name]
    function.argtypes, function.restype = list(argtypes), ctypes.py_object
    return function


if ctypes is not None:
    _vectorcall = _c_api("PyObject_Vectorcall", ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object)
    _object_call = _c_api("PyObject_Call", ctypes.py_object, ctypes.py_object, ctypes.py_object)


def vectorcall(function: Any, stack: Sequence[Any], nargs: int, kwnames: tuple[Any, ...]) -> Any:
    """``PyObject_Vectorcall``: ``nargs`` positional values, then one value per
    name in ``kwnames``, which may repeat or not be strings."""
    array = (ctypes.py_object * max(len(stack), 1))(*stack)
    return _vectorcall(function, ctypes.cast(array, ctypes.c_void_p), nargs, kwnames)


def object_call(function: Any, args: tuple[Any, ...], kwargs: dict[Any, Any]) -> Any:
    """``PyObject_Call`` with a keyword dict whose keys the language would refuse."""
    return _object_call(function, args, kwargs)


# --------------------------------------------------------------------------
# Recording collaborators


class Settings:
    """Route settings that report every public attribute read and assignment,
    before it is made, as ("get", label, name) or ("set", label, name, value)."""

    def __init__(self, report: Callable[[tuple[Any, ...]], Any], label: str, **values: Any) -> None:
        object.__setattr__(self, "_report", report)
        object.__setattr__(self, "_label", label)
        object.__getattribute__(self, "__dict__").update(values)

    def __getattribute__(self, name: str) -> Any:
        if not name.startswith("_"):
            object.__getattribute__(self, "_report")(("get", object.__getattribute__(self, "_label"), name))
        return object.__getattribute__(self, name)

    def __setattr__(self, name: str, value: Any) -> None:
        object.__getattribute__(self, "_report")(("set", object.__getattribute__(self, "_label"), name, value))
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
            label = f"default:{OPERATIONS[index % 5]}"
            made = Settings(self.log.append, label, **kwargs) if name == "RouterConfig" else object()
            self.made[name][index] = made
            return made

        return call

    routers = property(lambda self: self.made["AuthRouter"])
    defaults = property(lambda self: self.made["RouterConfig"])

    def settings(self, label: str, **values: Any) -> Settings:
        """Caller's settings logged here; attributes not given are None."""
        return Settings(self.log.append, label, **{**dict.fromkeys(SETTINGS_ATTRIBUTES), **values})

    def calls(self, name: str | None = None) -> list[tuple[Any, ...]]:
        return [e for e in self.log if e[0] == "call" and name in (None, e[1])]

    def kwargs(self, name: str, index: int = 0) -> dict[str, Any]:
        return dict(self.calls(name)[index][3])

    def traffic(self, *labels: str) -> list[tuple[Any, ...]]:
        """Attribute reads and assignments on the settings objects of these labels."""
        return [e for e in self.log if e[0] in ("get", "set") and e[1] in labels]

    def assigned(self, label: str) -> list[str]:
        return [e[2] for e in self.traffic(label) if e[0] == "set"]


def typed(items: Iterable[tuple[str, Any]]) -> list[tuple[str, type, Any]]:
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


# --------------------------------------------------------------------------
# Lifetimes


def assert_released(make: Callable[[], Iterable[object]]) -> None:
    """Every object ``make`` hands back must die with its last local reference."""
    refs = [weakref.ref(obj) for obj in make()]
    gc.collect()
    assert not (alive := [ref() for ref in refs if ref() is not None]), f"still referenced after the call: {alive!r}"


def collect_all_garbage() -> None:
    """Collect until a collection frees nothing: freeing one cycle (a finalizer, a
    weak reference's callback, a cache letting go) can leave another behind, which
    would otherwise be freed in the middle of a measurement."""
    for _ in range(10):
        if not gc.collect():
            return


def assert_no_growth(run_once: Callable[[], None], watched: Iterable[object] = (), repeats: int = 400) -> None:
    """Over many runs the counts of ``watched`` come back and traced memory does not
    grow (a leaked object adds 16 bytes or more per run).  Interpreter caches move
    the counts of None, True and False a little: below one per ten runs is tolerated."""
    watched = list(watched)
    tracemalloc.start()
    try:
        for _ in range(40):
            run_once()
        collect_all_garbage()
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
