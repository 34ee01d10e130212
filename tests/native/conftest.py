"""Fixtures of the native module's tests beside the shared ones (tests/conftest.py):
recording collaborators and a stand-in package tree per test."""

from __future__ import annotations

from collections.abc import Callable
from pathlib import Path
from types import ModuleType
from typing import Any

import pytest

from native_support import COLLABORATORS, Collaborators, build_tree


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
