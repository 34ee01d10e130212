"""Fixtures of the hardening tests: the native module loaded from a stand-in package."""

from __future__ import annotations

import importlib
import sys
from collections.abc import Iterator
from pathlib import Path
from types import ModuleType

import pytest

from hardening_support import COLLABORATORS, FULL_NAME, build_tree, locate_extension

try:
    from hypothesis import HealthCheck, settings
except ImportError:  # the property tests skip themselves
    pass
else:
    # Reproducible in CI: the same examples on every run, no time limits
    # (sanitizers and valgrind slow every call down).
    settings.register_profile(
        "hardening",
        derandomize=True,
        deadline=None,
        max_examples=300,
        database=None,
        suppress_health_check=[HealthCheck.too_slow],
    )
    settings.load_profile("hardening")


@pytest.fixture(scope="session")
def tc(tmp_path_factory: pytest.TempPathFactory) -> Iterator[ModuleType]:
    """The native module, imported once per session from a stand-in package."""
    try:
        extension = locate_extension()
    except FileNotFoundError as exc:
        pytest.fail(str(exc), pytrace=False)
    root = build_tree(tmp_path_factory.mktemp("hardened"), extension)
    sys.path.insert(0, str(root))
    importlib.invalidate_caches()
    try:
        yield importlib.import_module(FULL_NAME)
    finally:
        sys.path.remove(str(root))


@pytest.fixture(autouse=True)
def restore_collaborators(request: pytest.FixtureRequest) -> Iterator[None]:
    """Whatever a test rebinds or deletes, the next test sees the imported names."""
    if "tc" not in request.fixturenames:
        yield
        return
    module: ModuleType = request.getfixturevalue("tc")
    saved = {name: module.__dict__[name] for name in COLLABORATORS}
    yield
    namespace = module.__dict__
    for key in [key for key in namespace if not isinstance(key, str)]:
        del namespace[key]
    namespace.update(saved)


@pytest.fixture(scope="session")
def AC(tc: ModuleType) -> type:
    return tc.AuthController


@pytest.fixture(scope="session")
def create_function(AC: type) -> object:
    """The function under the ``create`` classmethod, called with ``cls`` supplied by the caller."""
    return AC.__dict__["create"].__func__
