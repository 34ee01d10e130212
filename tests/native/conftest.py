"""Fixtures for the tests of the native ``table_controller`` extension.

Set ``QUORVALEN_NATIVE_EXTENSION`` to the path of a built
``table_controller*.so`` to test that file instead of the one installed with
``quorvalen_core``.  See ``native_support`` for how the library is loaded.
"""

from __future__ import annotations

import importlib
import sys
from collections.abc import Callable, Iterator
from pathlib import Path
from types import ModuleType

import pytest

from native_support import FULL_NAME, Collaborators, build_tree, locate_extension


@pytest.fixture(scope="session")
def native_extension() -> Path:
    try:
        return locate_extension()
    except FileNotFoundError as exc:
        pytest.fail(str(exc), pytrace=False)


@pytest.fixture(scope="session")
def tc(native_extension: Path, tmp_path_factory: pytest.TempPathFactory) -> Iterator[ModuleType]:
    """The extension, imported once per session from a stand-in package."""
    root = build_tree(tmp_path_factory.mktemp("standin"), native_extension)
    sys.path.insert(0, str(root))
    importlib.invalidate_caches()
    try:
        yield importlib.import_module(FULL_NAME)
    finally:
        sys.path.remove(str(root))


@pytest.fixture()
def make_tree(native_extension: Path, tmp_path: Path) -> Callable[..., Path]:
    """A fresh stand-in package tree for one subprocess."""
    count = 0

    def make(overrides: dict[str, str | None] | None = None) -> Path:
        nonlocal count
        count += 1
        return build_tree(tmp_path / f"tree{count}", native_extension, overrides)

    return make


@pytest.fixture()
def collab(tc: ModuleType, monkeypatch: pytest.MonkeyPatch) -> Collaborators:
    """Installs recording collaborators in the module for one test."""
    recorder = Collaborators()
    monkeypatch.setattr(tc, "AuthRouter", recorder.AuthRouter)
    monkeypatch.setattr(tc, "RouterConfig", recorder.RouterConfig)
    monkeypatch.setattr(tc, "GenericController", recorder.GenericController)
    return recorder



@pytest.fixture(scope="session")
def AC(tc: ModuleType) -> type:
    return tc.AuthController
