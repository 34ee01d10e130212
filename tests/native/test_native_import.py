"""Importing the extension, each case in a fresh interpreter over its own package tree."""

from __future__ import annotations

import shutil
import textwrap
from collections.abc import Callable
from pathlib import Path

import pytest

from native_support import FULL_NAME, INIT_ENTRY, NATIVE_FILE, PACKAGE, SIBLINGS, library_file_name, run_script

MakeTree = Callable[..., Path]

# A sibling that records the module under construction before its own body runs.
CAPTURE = (
    "import builtins as _b, sys as _s\n"
    f"_b.__dict__.setdefault('_captured', []).append((_s.modules.get({FULL_NAME!r}), _s.modules.get('table_controller')))\n"
)

SIBLING_NAMES = [
    ("controller/generic_controller.py", "GenericController"),
    ("controller/router_config.py", "RouterConfig"),
    ("auth/auth_router.py", "AuthRouter"),
    ("type/var.py", "SQLModelDB"),
    ("type/var.py", "SQLModelCreate"),
    ("type/var.py", "SQLModelUpdate"),
    ("type/var.py", "SQLModelResponse"),
]
IMPORTED_NAMES = ["Type", "Optional"] + [name for _, name in SIBLING_NAMES]


def native_names(report: dict) -> list[str]:
    return [name for filename, name in report["frames"] if filename == NATIVE_FILE]


def frame_names(report: dict) -> list[str]:
    return [name for _, name in report["frames"]]


def without_class(source: str, name: str) -> str:
    """The sibling's source less the class ``name``."""
    lines = textwrap.dedent(source).splitlines()
    if sum(line.startswith("class ") for line in lines) == 1:
        return "pass\n"
    return "\n".join(line for line in lines if not line.startswith(f"class {name}:"))


def capturing(overrides: dict[str, str] | None = None) -> dict[str, str | None]:
    """Every sibling records the module being built; ``overrides`` replace bodies."""
    files: dict[str, str | None] = {}
    for relative, source in SIBLINGS.items():
        if relative.endswith("__init__.py"):
            continue
        files[relative] = CAPTURE + textwrap.dedent((overrides or {}).get(relative, source))
    return files


def test_fresh_import_registers_the_short_name(make_tree: MakeTree) -> None:
    root = make_tree(capturing())
    out = run_script(
        root,
        """
        import builtins, importlib
        m = importlib.import_module(FULL_NAME)
        full, short = builtins._captured[0]
        report(
            bound=[n for n in vars(m) if n == "__builtins__" or not n.startswith("__")],
            short_is_module=sys.modules.get("table_controller") is m,
            short_set_before_imports=short is m and full is m,
            class_module=m.AuthController.__module__,
            by_class_module=sys.modules[m.AuthController.__module__] is m,
            name=m.__name__,
        )
        """,
    )
    assert out == {
        "bound": ["__builtins__"] + IMPORTED_NAMES + ["AuthController"],
        "short_is_module": True,
        "short_set_before_imports": True,
        "class_module": "table_controller",
        "by_class_module": True,
        "name": FULL_NAME,
    }


def test_occupied_short_name_is_left_alone(make_tree: MakeTree) -> None:
    out = run_script(
        make_tree(),
        """
        import importlib, types
        occupant = types.ModuleType("table_controller")
        sys.modules["table_controller"] = occupant
        m = importlib.import_module(FULL_NAME)
        report(kept=sys.modules["table_controller"] is occupant, imported=hasattr(m, "AuthController"))
        """,
    )
    assert out == {"kept": True, "imported": True}


def test_second_import_returns_the_same_module_without_executing_again(make_tree: MakeTree) -> None:
    counting = "import builtins as _b\n_b.__dict__.setdefault('_executions', []).append(__name__)\n"
    root = make_tree({rel: counting + src for rel, src in SIBLINGS.items() if not rel.endswith("__init__.py")})
    out = run_script(
        root,
        """
        import builtins, importlib
        first = importlib.import_module(FULL_NAME)
        again = importlib.import_module(FULL_NAME)
        executed = list(builtins._executions)
        del sys.modules[FULL_NAME]
        for name in list(sys.modules):
            if name.startswith("standin_core.") and name.count(".") == 2 and name != FULL_NAME:
                del sys.modules[name]
        third = importlib.import_module(FULL_NAME)
        report(
            same=again is first and third is first,
            same_class=third.AuthController is first.AuthController,
            executed=executed,
            executed_later=builtins._executions[len(executed):],
        )
        """,
    )
    assert out["same"] is True and out["same_class"] is True
    assert out["executed"] == [
        f"{PACKAGE}.controller.generic_controller",
        f"{PACKAGE}.controller.router_config",
        f"{PACKAGE}.auth.auth_router",
        f"{PACKAGE}.type.var",
    ]
    assert out["executed_later"] == []


def test_executing_a_second_module_object_is_refused(make_tree: MakeTree) -> None:
    out = run_script(
        make_tree(),
        """
        import _imp, importlib, importlib.util
        module_spec = importlib.util.find_spec(FULL_NAME)
        first = _imp.create_dynamic(module_spec)
        second = _imp.create_dynamic(module_spec)
        _imp.exec_dynamic(first)
        _imp.exec_dynamic(first)
        try:
            _imp.exec_dynamic(second)
            error = None
        except Exception as exc:
            error = describe(exc)
        imported = importlib.import_module(FULL_NAME)
        report(
            distinct=first is not second,
            error=error,
            imported_is_first=imported is first,
            short_is_first=sys.modules.get("table_controller") is first,
            second_names=sorted(n for n in vars(second) if not n.startswith("__")),
            first_has_class=hasattr(first, "AuthController"),
        )
        """,
    )
    assert out["distinct"] is True
    error = out["error"]
    assert error["type"] == "RuntimeError"
    assert error["message"] == "Module 'table_controller' has already been imported. Re-initialisation is not supported."
    assert native_names(error) == []
    assert out["imported_is_first"] is True and out["short_is_first"] is True
    assert out["second_names"] == [] and out["first_has_class"] is True


def test_module_attributes_come_from_the_module_spec_object(make_tree: MakeTree) -> None:
    out = run_script(
        make_tree(),
        """
        import _imp, importlib, importlib.util

        class ModuleSpecLike:
            def __init__(self, **attrs):
                object.__setattr__(self, "reads", [])
                self.__dict__.update(attrs)

            def __getattribute__(self, name):
                if name not in ("reads", "__dict__", "__class__"):
                    object.__getattribute__(self, "reads").append(name)
                return object.__getattribute__(self, name)

        class Unreadable(ModuleSpecLike):
            @property
            def parent(self):
                raise ValueError("parent unreadable")

        class NoLoader(ModuleSpecLike):
            @property
            def loader(self):
                raise AttributeError("loader")

        origin = importlib.util.find_spec(FULL_NAME).origin
        name = "elsewhere.table_controller"
        loader, locations = object(), ["somewhere"]

        full = ModuleSpecLike(name=name, origin=origin, loader=loader, parent="elsewhere", submodule_search_locations=locations)
        a = _imp.create_dynamic(full)
        nones = ModuleSpecLike(name=name, origin=origin, loader=None, parent=None, submodule_search_locations=None)
        b = _imp.create_dynamic(nones)
        bare = ModuleSpecLike(name=name, origin=origin)
        c = _imp.create_dynamic(bare)
        d = _imp.create_dynamic(NoLoader(name=name, origin=origin, parent="p"))
        try:
            _imp.create_dynamic(Unreadable(name=name, origin=origin, loader=loader))
            error = None
        except Exception as exc:
            error = describe(exc)
        m = importlib.import_module(FULL_NAME)
        report(
            a=[a.__name__, a.__loader__ is loader, a.__file__ == origin, a.__package__, a.__path__ is locations],
            a_reads=full.reads[-5:],
            a_distinct=a is not b and a is not c,
            b=[b.__loader__ is None, "__file__" in vars(b), b.__file__ == origin, b.__package__ is None, hasattr(b, "__path__")],
            c=[getattr(c, "__loader__", None) is None, getattr(c, "__package__", None) is None, hasattr(c, "__path__"), c.__file__ == origin],
            d=[getattr(d, "__loader__", None) is None, d.__package__],
            error=error,
            imported=[m is not a, m.__name__, hasattr(m, "AuthController")],
        )
        """,
    )
    assert out["a"] == ["elsewhere.table_controller", True, True, "elsewhere", True]
    assert out["a_reads"] == ["name", "loader", "origin", "parent", "submodule_search_locations"]
    assert out["a_distinct"] is True
    assert out["b"] == [True, True, True, True, False]
    assert out["c"] == [True, True, False, True]
    assert out["d"] == [True, "p"]
    assert out["error"]["type"] == "ValueError" and out["error"]["message"] == "parent unreadable"
    assert out["imported"] == [True, FULL_NAME, True]


FAILED_IMPORT = """
import builtins, importlib
%s
try:
    importlib.import_module(FULL_NAME)
    first = None
except Exception as exc:
    first = describe(exc)
failed, short_during = builtins._captured[0]
short_after = sys.modules.get("table_controller")
state = dict(
    first=first,
    short_during_was_failed=short_during is failed,
    short_after_failure_absent=short_after is None,
    short_after_failure_kept=short_after is getattr(builtins, "_occupant", object()),
    full_after_failure=FULL_NAME in sys.modules,
    failed_names=[n for n in vars(failed) if not n.startswith("__")],
    failed_builtins=vars(failed).get("__builtins__") is builtins,
)
"""

RETRY_SCRIPT = FAILED_IMPORT + """
builtins._fixed = True
m = importlib.import_module(FULL_NAME)
report(
    **state,
    new_module=m is not failed,
    short_is_new=sys.modules.get("table_controller") is m,
    class_module=m.AuthController.__module__,
    class_module_names_new=sys.modules.get(m.AuthController.__module__) is m,
)
"""

FAILING_ROUTER_CONFIG = """
import builtins
if not getattr(builtins, "_fixed", False):
    raise LookupError("router settings unavailable")

class RouterConfig:
    pass
"""


def test_retry_after_a_failed_import_registers_the_new_module(make_tree: MakeTree) -> None:
    root = make_tree(capturing({"controller/router_config.py": FAILING_ROUTER_CONFIG}))
    out = run_script(root, RETRY_SCRIPT % "")
    first = out["first"]
    assert first["type"] == "LookupError" and first["message"] == "router settings unavailable"
    assert native_names(first) == [INIT_ENTRY]
    names = frame_names(first)
    assert names.index(INIT_ENTRY) < len(names) - 1 and names[-1] == "<module>"
    assert first["frames"][-1][0].endswith("router_config.py")
    assert not first["context"] and not first["cause"]
    assert out["short_during_was_failed"] is True
    assert out["short_after_failure_absent"] is True
    assert out["full_after_failure"] is False
    assert out["failed_names"] == ["Type", "Optional", "GenericController"]
    assert out["failed_builtins"] is True
    assert out["new_module"] is True
    assert out["short_is_new"] is True
    assert out["class_module"] == "table_controller"
    assert out["class_module_names_new"] is True


def test_failed_import_leaves_an_occupied_short_name_alone(make_tree: MakeTree) -> None:
    root = make_tree(capturing({"controller/router_config.py": FAILING_ROUTER_CONFIG}))
    occupy = 'import types\nbuiltins._occupant = sys.modules["table_controller"] = types.ModuleType("table_controller")'
    out = run_script(root, RETRY_SCRIPT % occupy)
    assert out["first"]["type"] == "LookupError"
    assert out["short_during_was_failed"] is False
    assert out["short_after_failure_kept"] is True
    assert out["short_is_new"] is False
    assert out["new_module"] is True


def test_failed_import_leaves_a_replaced_short_name_alone(make_tree: MakeTree) -> None:
    replacing = (
        "import sys, types, builtins\n"
        "builtins._occupant = sys.modules['table_controller'] = types.ModuleType('table_controller')\n"
        + FAILING_ROUTER_CONFIG
    )
    root = make_tree(capturing({"controller/router_config.py": replacing}))
    out = run_script(root, RETRY_SCRIPT % "")
    assert out["first"]["type"] == "LookupError"
    assert out["short_during_was_failed"] is True
    assert out["short_after_failure_kept"] is True


@pytest.mark.parametrize("relative, missing", SIBLING_NAMES)
def test_missing_name_in_a_sibling(make_tree: MakeTree, relative: str, missing: str) -> None:
    root = make_tree(capturing({relative: without_class(SIBLINGS[relative], missing)}))
    out = run_script(root, (FAILED_IMPORT % "") + "report(**state)")
    first = out["first"]
    assert first["type"] == "ImportError"
    assert first["message"] == f"cannot import name {missing}"
    assert native_names(first) == [INIT_ENTRY]
    assert first["frames"][-1] == [NATIVE_FILE, INIT_ENTRY]
    assert not first["context"] and not first["cause"]
    assert out["failed_names"] == IMPORTED_NAMES[: IMPORTED_NAMES.index(missing)]
    assert out["short_after_failure_absent"] is True
    assert out["full_after_failure"] is False


VAR_WITHOUT_CREATE = """
import sys, types
class SQLModelDB: pass
class SQLModelUpdate: pass
class SQLModelResponse: pass
"""


@pytest.mark.parametrize(
    "extra, outcome",
    [
        pytest.param(
            "marker = types.ModuleType('marker')\nsys.modules[__name__ + '.SQLModelCreate'] = marker\n",
            "submodule",
            id="registry-entry-is-used",
        ),
        pytest.param(
            "def __getattr__(name):\n    raise AttributeError(name)\n",
            "cannot import name SQLModelCreate",
            id="attribute-error",
        ),
        pytest.param(
            "sys.modules[__name__ + '.SQLModelCreate'] = types.ModuleType('marker')\n"
            "def __getattr__(name):\n"
            "    raise (ValueError if name == 'SQLModelCreate' else AttributeError)(name)\n",
            "cannot import name SQLModelCreate",
            id="other-error-skips-the-registry",
        ),
    ],
)
def test_name_taken_from_the_module_registry(make_tree: MakeTree, extra: str, outcome: str) -> None:
    root = make_tree({"type/var.py": VAR_WITHOUT_CREATE + extra})
    out = run_script(
        root,
        """
        import importlib
        try:
            m = importlib.import_module(FULL_NAME)
            report(ok=m.SQLModelCreate is sys.modules["standin_core.type.var.SQLModelCreate"])
        except Exception as exc:
            report(error=describe(exc))
        """,
    )
    if outcome == "submodule":
        assert out == {"ok": True}
    else:
        error = out["error"]
        assert error["type"] == "ImportError" and error["message"] == outcome
        assert not error["context"] and not error["cause"]
        assert native_names(error) == [INIT_ENTRY]


def test_missing_sibling_module(make_tree: MakeTree) -> None:
    out = run_script(
        make_tree({"auth/auth_router.py": None}),
        """
        import importlib
        try:
            importlib.import_module(FULL_NAME)
        except Exception as exc:
            report(error=describe(exc), short="table_controller" in sys.modules)
        """,
    )
    assert out["error"]["type"] == "ModuleNotFoundError"
    assert out["error"]["message"] == f"No module named '{PACKAGE}.auth.auth_router'"
    assert native_names(out["error"]) == [INIT_ENTRY]
    assert out["short"] is False


def test_top_level_import_has_no_parent_package(make_tree: MakeTree, native_extension: Path) -> None:
    root = make_tree()
    shutil.copyfile(native_extension, root / library_file_name(native_extension))
    out = run_script(
        root,
        """
        try:
            import table_controller
        except Exception as exc:
            report(error=describe(exc), short="table_controller" in sys.modules)
        """,
    )
    assert out["error"]["type"] == "ImportError"
    assert out["error"]["message"] == "attempted relative import with no known parent package"
    assert native_names(out["error"]) == [INIT_ENTRY]
    assert out["short"] is False


SUBINTERPRETER_SCRIPT = """
import os, importlib
interpreters = __import__("_xxsubinterpreters")
outcome_file = os.path.join(sys.argv[1], "outcome.json")
in_sub = (
    "import sys, json, traceback\\n"
    f"sys.path.insert(0, {sys.argv[1]!r})\\n"
    "try:\\n"
    "    import standin_core.controller.table_controller as m\\n"
    "    result = {'type': None, 'has_class': hasattr(m, 'AuthController')}\\n"
    "except BaseException as exc:\\n"
    "    result = {'type': type(exc).__name__, 'message': str(exc),\\n"
    "              'native': [f.name for f in traceback.extract_tb(exc.__traceback__) if f.filename == 'table_controller.py']}\\n"
    f"open({outcome_file!r}, 'w').write(json.dumps(result))\\n"
)

def in_main():
    try:
        m = importlib.import_module(FULL_NAME)
        return {"type": None, "has_class": hasattr(m, "AuthController")}
    except Exception as exc:
        return describe(exc)

def in_subinterpreter():
    sub = interpreters.create()
    interpreters.run_string(sub, in_sub)
    with open(outcome_file) as f:
        return sub, json.load(f)

%s
"""


@pytest.mark.parametrize("main_fails", [False, True], ids=["after-success", "after-failure"])
def test_second_interpreter_is_refused(make_tree: MakeTree, main_fails: bool) -> None:
    pytest.importorskip("_xxsubinterpreters")
    overrides = {"controller/router_config.py": "raise LookupError('broken')\n"} if main_fails else {}
    body = """
main = in_main()
sub, other = in_subinterpreter()
interpreters.destroy(sub)
report(main=main, other=other)
"""
    out = run_script(make_tree(overrides), SUBINTERPRETER_SCRIPT % body)
    assert out["main"]["type"] == ("LookupError" if main_fails else None)
    assert out["other"] == {
        "type": "ImportError",
        "message": "Interpreter change detected - this module can only be loaded into one interpreter per process.",
        "native": [],
    }


def test_first_interpreter_to_import_keeps_the_module(make_tree: MakeTree) -> None:
    pytest.importorskip("_xxsubinterpreters")
    body = """
sub, other = in_subinterpreter()
main = in_main()
report(main=main, other=other)
sys.stdout.flush()
os._exit(0)
"""
    out = run_script(make_tree(), SUBINTERPRETER_SCRIPT % body)
    assert out["other"] == {"type": None, "has_class": True}
    assert out["main"]["type"] == "ImportError"
    assert out["main"]["message"] == (
        "Interpreter change detected - this module can only be loaded into one interpreter per process."
    )
    assert native_names(out["main"]) == []
