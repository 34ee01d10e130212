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
from types import FunctionType, ModuleType
from typing import Any

import pytest

from native_support import COLLABORATORS, FULL_NAME, Collaborators, build_tree, locate_extension


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


@pytest.fixture(scope="session")
def AC(tc: ModuleType) -> type:
    return tc.AuthController


@pytest.fixture(scope="session")
def func(AC: type) -> FunctionType:
    """``create`` itself, not bound to the class."""
    return AC.__dict__["create"].__func__


@pytest.fixture()
def make_tree(native_extension: Path, tmp_path: Path) -> Callable[..., Path]:
    """Writes the stand-in package tree of this test's subprocess."""
    return lambda overrides=None: build_tree(tmp_path, native_extension, overrides)


@pytest.fixture()
def rebind(tc: ModuleType, monkeypatch: pytest.MonkeyPatch) -> Callable[..., None]:
    """Binds the module's collaborator names (all by default) to the attributes of
    ``source`` for one test, or removes them when ``source`` is None."""

    def rebind(source: Any, *names: str) -> None:
        for name in names or COLLABORATORS:
            if source is None:
                monkeypatch.delattr(tc, name)
            else:
                monkeypatch.setattr(tc, name, getattr(source, name), raising=False)

    return rebind


@pytest.fixture()
def collab(rebind: Callable[..., None]) -> Collaborators:
    """Installs recording collaborators in the module for one test."""
    recorder = Collaborators()
    rebind(recorder)
    return recorder
