"""Where the module comes from: the built library wherever one is installed, a
clear ImportError from a source tree without one, and nothing in the package
tree that an import could take for the module."""

from __future__ import annotations

import importlib.machinery
import importlib.util
import shutil
from pathlib import Path
from types import ModuleType

import pytest

from native_support import NATIVE_FILE, SOURCE_PACKAGE, run_script

MODULE = "quorvalen_core.controller.table_controller"
NATIVE_SOURCES = ("*.cpp", "*.hpp", "*.h", "*.cc")


def test_the_built_library_is_imported_beside_the_fallback(tc: ModuleType) -> None:
    # The stand-in package holds the package's fallback file next to the library.
    assert (Path(tc.__file__).parent / NATIVE_FILE).is_file()
    assert type(tc.__spec__.loader) is importlib.machinery.ExtensionFileLoader
    assert hasattr(tc, "AuthController")


def test_a_source_tree_without_a_build_fails_with_the_way_to_build(tmp_path: Path) -> None:
    shutil.copytree(SOURCE_PACKAGE, tmp_path / "quorvalen_core", ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    out = run_script(
        tmp_path,
        f"""
        try:
            import {MODULE}
            report(error=None)
        except ImportError as exc:
            report(error=describe(exc), name=exc.name)
        """,
    )
    assert out["error"]["type"] == "ImportError" and out["name"] == MODULE
    assert MODULE in out["error"]["message"] and "pip install ." in out["error"]["message"]
    assert out["error"]["frames"][-1][0].endswith(f"controller/{NATIVE_FILE}")


@pytest.mark.parametrize("package", ["source", "installed"])
def test_no_folder_or_native_source_in_the_package(package: str) -> None:
    if package == "source":
        root = SOURCE_PACKAGE
    else:
        spec = importlib.util.find_spec("quorvalen_core")
        if spec is None or not spec.submodule_search_locations:
            pytest.skip("quorvalen_core is not installed (the stand-in run)")
        root = Path(next(iter(spec.submodule_search_locations)))
    # A folder without __init__.py would import as an empty namespace package.
    folders = [p for p in root.rglob("*") if p.is_dir() and p.name != "__pycache__"]
    assert [p for p in folders if not (p / "__init__.py").is_file()] == []
    assert [p for pattern in NATIVE_SOURCES for p in root.rglob(pattern)] == []


def test_the_installed_module_is_the_extension() -> None:
    if importlib.util.find_spec("quorvalen_core") is None:
        pytest.skip("quorvalen_core is not installed (the stand-in run)")
    spec = importlib.util.find_spec(MODULE)
    assert spec is not None and type(spec.loader) is importlib.machinery.ExtensionFileLoader
    assert spec.origin is not None and spec.origin.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
