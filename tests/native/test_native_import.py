"""Importing the extension, each case in a fresh interpreter over its own package tree."""

from __future__ import annotations

import shutil
import textwrap
from collections.abc import Callable
from pathlib import Path

import pytest

from native_support import FULL_NAME, INIT_ENTRY, NATIVE_FILE, PACKAGE, SIBLINGS, library_file_name, run_script

MakeTree = Callable[..., Path]

# A var sibling without SQLModelCreate; REGISTERED puts a module under that name in the module registry.
VAR_WITHOUT_CREATE = "import sys, types\n" + "".join(f"class SQLModel{n}: pass\n" for n in ("DB", "Update", "Response"))
REGISTERED = "sys.modules[__name__ + '.SQLModelCreate'] = types.ModuleType('marker')\n"
# Prepended to a sibling: records the module under construction before the sibling's body runs.
CAPTURE = (
    "import builtins as _b, sys as _s\n"
    f"_b.__dict__.setdefault('_captured', []).append((_s.modules.get({FULL_NAME!r}), _s.modules.get('table_controller')))\n"
)
SIBLING_NAMES = [
    ("controller/generic_controller.py", "GenericController"),
    ("controller/router_config.py", "RouterConfig"),
    ("auth/auth_router.py", "AuthRouter"),
] + [("type/var.py", f"SQLModel{n}") for n in ("DB", "Create", "Update", "Response")]
IMPORTED_NAMES = ["Type", "Optional"] + [name for _, name in SIBLING_NAMES]
INTERPRETER_CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."


def native_names(report: dict) -> list[str]:
    return [name for filename, name in report["frames"] if filename == NATIVE_FILE]


def capturing(overrides: dict[str, str] | None = None) -> dict[str, str | None]:
    """Every sibling records the module being built; ``overrides`` replace bodies."""
    files = {**SIBLINGS, **(overrides or {})}
    return {rel: src and CAPTURE + textwrap.dedent(src) for rel, src in files.items() if not rel.endswith("__init__.py")}


def assert_failed_in_init(error: dict, type_name: str, message: str) -> None:
    assert (error["type"], error["message"]) == (type_name, message)
    assert native_names(error) == [INIT_ENTRY] and not error["chained"]


@pytest.mark.parametrize("occupied", [False, True], ids=["free", "occupied"])
def test_fresh_and_repeated_imports(make_tree: MakeTree, occupied: bool) -> None:
    # The occupied case also takes SQLModelCreate from the module registry, not the sibling.
    out = run_script(
        make_tree(capturing({"type/var.py": VAR_WITHOUT_CREATE + REGISTERED} if occupied else {})),
        f"""
        import builtins, importlib, types
        occupant = types.ModuleType("table_controller")
        if {occupied}:
            sys.modules["table_controller"] = occupant
        m = importlib.import_module(FULL_NAME)
        full, short = builtins._captured[0]
        executed = len(builtins._captured)
        again = importlib.import_module(FULL_NAME)
        for name in [n for n in sys.modules if n.startswith(FULL_NAME.split(".")[0] + ".") and n.count(".") == 2]:
            del sys.modules[name]
        third = importlib.import_module(FULL_NAME)
        report(
            bound=[n for n in vars(m) if n == "__builtins__" or not n.startswith("__")],
            builtins=m.__builtins__ is builtins,
            short=[short is m, full is m, sys.modules.get("table_controller") is m, short is occupant],
            class_module=m.AuthController.__module__,
            name=m.__name__,
            executed=[executed, len(builtins._captured)],
            same=[again is m, third is m, third.AuthController is m.AuthController],
            registry=m.SQLModelCreate is sys.modules.get(FULL_NAME.split(".")[0] + ".type.var.SQLModelCreate"),
        )
        """,
    )
    assert out == {
        "bound": ["__builtins__"] + IMPORTED_NAMES + ["AuthController"],
        "builtins": True,
        # The short name is registered before the siblings are imported, unless taken.
        "short": [not occupied, True, not occupied, occupied],
        "class_module": "table_controller",
        "name": FULL_NAME,
        # Importing again returns the module without running the siblings again.
        "executed": [4, 4],
        "same": [True, True, True],
        "registry": occupied,
    }


def test_module_objects_made_by_hand(make_tree: MakeTree) -> None:
    # Module attributes come from the ModuleSpec object; only one module object may be executed.
    out = run_script(
        make_tree(),
        """
        import _imp, importlib, importlib.util

        class ModuleSpecLike:
            def __init__(self, fail=None, **attrs):
                object.__setattr__(self, "log", ([], fail or {}))
                self.__dict__.update(attrs)

            def __getattribute__(self, name):
                reads, fail = object.__getattribute__(self, "log")
                if not name.startswith("__"):
                    reads.append(name)
                if name in fail:
                    raise fail[name]
                return object.__getattribute__(self, name)

        module_spec = importlib.util.find_spec(FULL_NAME)
        name, origin, loader, locations = "elsewhere.table_controller", module_spec.origin, object(), ["somewhere"]
        full = ModuleSpecLike(name=name, origin=origin, loader=loader, parent="elsewhere", submodule_search_locations=locations)
        a = _imp.create_dynamic(full)
        nones = dict.fromkeys(("loader", "parent", "submodule_search_locations"))
        b = _imp.create_dynamic(ModuleSpecLike(name=name, origin=origin, **nones))
        c = _imp.create_dynamic(ModuleSpecLike(name=name, origin=origin))
        errors = []
        try:
            _imp.create_dynamic(ModuleSpecLike({"parent": ValueError("parent unreadable")}, name=name, origin=origin))
        except Exception as exc:
            errors.append(describe(exc))
        first, second = _imp.create_dynamic(module_spec), _imp.create_dynamic(module_spec)
        _imp.exec_dynamic(first)
        _imp.exec_dynamic(first)
        try:
            _imp.exec_dynamic(second)
        except Exception as exc:
            errors.append(describe(exc))
        m = importlib.import_module(FULL_NAME)
        report(
            a=[a.__name__, a.__loader__ is loader, a.__file__ == origin, a.__package__, a.__path__ is locations],
            a_reads=object.__getattribute__(full, "log")[0][-5:],
            b=[b.__loader__ is None, b.__file__ == origin, b.__package__ is None, hasattr(b, "__path__"), b is not a],
            c=[getattr(c, "__loader__", None), getattr(c, "__package__", None), hasattr(c, "__path__"), c.__file__ == origin],
            errors=[[e["type"], e["message"], [n for f, n in e["frames"] if f == "table_controller.py"]] for e in errors],
            imported=[m is first, first is not second, sys.modules.get("table_controller") is first, m.__name__],
            names=[hasattr(first, "AuthController"), [n for n in vars(second) if not n.startswith("__")]],
        )
        """,
    )
    assert out == {
        "a": ["elsewhere.table_controller", True, True, "elsewhere", True],
        "a_reads": ["name", "loader", "origin", "parent", "submodule_search_locations"],
        "b": [True, True, True, False, True],
        "c": [None, None, False, True],
        "errors": [
            ["ValueError", "parent unreadable", []],
            ["RuntimeError", "Module 'table_controller' has already been imported. Re-initialisation is not supported.", []],
        ],
        "imported": [True, True, True, FULL_NAME],
        "names": [True, []],
    }


FAILED_IMPORT = """
import builtins, importlib, types
%s
try:
    importlib.import_module(FULL_NAME)
    first = None
except Exception as exc:
    first = describe(exc)
failed, short_during = getattr(builtins, "_captured", [(None, None)])[0]
short_after = sys.modules.get("table_controller")
state = dict(
    first=first,
    short_during_was_failed=short_during is failed,
    short_after=None if short_after is None else short_after is getattr(builtins, "_occupant", None),
    full_after_failure=FULL_NAME in sys.modules,
    failed_names=failed and [n for n in vars(failed) if not n.startswith("__")],
    failed_builtins=failed and vars(failed).get("__builtins__") is builtins,
)
"""
RETRY = """
builtins._fixed = True
m = importlib.import_module(FULL_NAME)
report(**state, new_module=m is not failed, short_is_new=sys.modules.get("table_controller") is m,
       class_module=[m.AuthController.__module__, sys.modules.get(m.AuthController.__module__) is m])
"""
FAILING_ROUTER_CONFIG = """
import builtins
if not getattr(builtins, "_fixed", False):
    raise LookupError("router settings unavailable")
class RouterConfig: pass
"""
OCCUPY = "builtins._occupant = sys.modules['table_controller'] = types.ModuleType('table_controller')"


@pytest.mark.parametrize("occupant", [None, "before-import", "during-import"])
def test_retry_after_a_failed_import(make_tree: MakeTree, occupant: str | None) -> None:
    # A failed import takes back the short name only if it still names the failed module.
    sibling = FAILING_ROUTER_CONFIG
    if occupant == "during-import":
        sibling = f"import sys, types, builtins\n{OCCUPY}\n{FAILING_ROUTER_CONFIG}"
    root = make_tree(capturing({"controller/router_config.py": sibling}))
    out = run_script(root, FAILED_IMPORT % (OCCUPY if occupant == "before-import" else "") + RETRY)
    first = out.pop("first")
    assert_failed_in_init(first, "LookupError", "router settings unavailable")
    names = [name for _, name in first["frames"]]
    assert names.index(INIT_ENTRY) < len(names) - 1 and names[-1] == "<module>"
    assert first["frames"][-1][0].endswith("router_config.py")
    assert out == {
        "short_during_was_failed": occupant != "before-import",
        "short_after": None if occupant is None else True,
        "full_after_failure": False,
        "failed_names": ["Type", "Optional", "GenericController"],
        "failed_builtins": True,
        "new_module": True,
        "short_is_new": occupant is None,
        "class_module": ["table_controller", occupant is None],
    }


def without_class(relative: str, name: str) -> str:
    source = SIBLINGS[relative] if SIBLINGS[relative].count("class ") > 1 else "pass\n"
    return "\n".join(line for line in source.splitlines() if not line.startswith(f"class {name}:"))


RAISING_GETATTR = "def __getattr__(name):\n    raise (ValueError if name == 'SQLModelCreate' else AttributeError)(name)\n"
# (id, overrides, first name not bound, error type, message)
IMPORT_FAILURES = [
    *[(f"missing-{n}", {rel: without_class(rel, n)}, n, "ImportError", f"cannot import name {n}") for rel, n in SIBLING_NAMES],
    ("attribute-error", {"type/var.py": VAR_WITHOUT_CREATE + RAISING_GETATTR.replace("ValueError", "AttributeError")},
     "SQLModelCreate", "ImportError", "cannot import name SQLModelCreate"),
    ("other-error-skips-the-registry", {"type/var.py": VAR_WITHOUT_CREATE + REGISTERED + RAISING_GETATTR},
     "SQLModelCreate", "ImportError", "cannot import name SQLModelCreate"),
    ("missing-sibling", {"auth/auth_router.py": None}, "AuthRouter", "ModuleNotFoundError",
     f"No module named '{PACKAGE}.auth.auth_router'"),
    ("top-level-without-package", {}, None, "ImportError", "attempted relative import with no known parent package"),
]


@pytest.mark.parametrize("overrides, unbound, error, message", [pytest.param(*c[1:], id=c[0]) for c in IMPORT_FAILURES])
def test_import_failures(make_tree: MakeTree, native_extension: Path, overrides: dict, unbound: str | None,
                         error: str, message: str) -> None:
    root = make_tree(capturing(overrides))
    top_level = unbound is None
    if top_level:
        shutil.copyfile(native_extension, root / library_file_name(native_extension))
    out = run_script(root, (FAILED_IMPORT % ("FULL_NAME = 'table_controller'" if top_level else "")) + "report(**state)")
    assert_failed_in_init(out["first"], error, message)
    assert out["failed_names"] == (None if top_level else IMPORTED_NAMES[: IMPORTED_NAMES.index(unbound)])
    assert out["short_after"] is None and out["full_after_failure"] is False
    if error == "ImportError":
        assert out["first"]["frames"][-1] == [NATIVE_FILE, INIT_ENTRY]


ATTEMPT = """
try:
    m = importlib.import_module(FULL_NAME)
    result = {"type": None, "has_class": hasattr(m, "AuthController")}
except Exception as exc:
    native = [f.name for f in traceback.extract_tb(exc.__traceback__) if f.filename == "table_controller.py"]
    result = {"type": type(exc).__name__, "message": str(exc), "native": native}
"""
SUBINTERPRETERS = f"""
import importlib, os
interpreters = __import__("_xxsubinterpreters")
outcome = os.path.join(sys.argv[1], "outcome.json")
ATTEMPT = {ATTEMPT!r}
IN_SUB = f"import importlib, json, sys, traceback\\nsys.path.insert(0, {{sys.argv[1]!r}})\\nFULL_NAME = {{FULL_NAME!r}}\\n"
IN_SUB += ATTEMPT + f"open({{outcome!r}}, 'w').write(json.dumps(result))\\n"

def in_main():
    exec(ATTEMPT, globals())
    return result

def in_subinterpreter():
    sub = interpreters.create()
    interpreters.run_string(sub, IN_SUB)
    with open(outcome) as f:
        return sub, json.load(f)
"""
MAIN_FIRST = """
main = in_main()
sub, other = in_subinterpreter()
interpreters.destroy(sub)
report(first=main, second=other)
"""
SUB_FIRST = """
sub, other = in_subinterpreter()
main = in_main()
report(first=other, second=main)
sys.stdout.flush()
os._exit(0)
"""


@pytest.mark.parametrize(
    "body, main_fails",
    [(MAIN_FIRST, False), (MAIN_FIRST, True), (SUB_FIRST, False)],
    ids=["after-success", "after-failure", "subinterpreter-first"],
)
def test_second_interpreter_is_refused(make_tree: MakeTree, body: str, main_fails: bool) -> None:
    pytest.importorskip("_xxsubinterpreters")
    overrides = {"controller/router_config.py": "raise LookupError('broken')\n"} if main_fails else {}
    out = run_script(make_tree(overrides), SUBINTERPRETERS + body)
    assert out["first"]["type"] == ("LookupError" if main_fails else None)
    assert out["second"] == {"type": "ImportError", "message": INTERPRETER_CHANGE, "native": []}
