"""Fixtures of the hardening tests: the native module loaded from a stand-in package."""

from __future__ import annotations

import importlib
import sys
from collections.abc import Iterator
from types import ModuleType

import pytest
from hypothesis import HealthCheck, settings

from hardening_support import COLLABORATORS, FULL_NAME, build_tree, locate_extension

# Reproducible in CI: the same examples on every run and no time limits
# (sanitizers and valgrind slow every call down).
settings.register_profile("hardening", derandomize=True, deadline=None, max_examples=300, database=None,
                          suppress_health_check=[HealthCheck.too_slow])  # fmt: skip
settings.load_profile("hardening")


@pytest.fixture(scope="session")
def tc(tmp_path_factory: pytest.TempPathFactory) -> Iterator[ModuleType]:
    """The native module, imported once per session from a stand-in package."""
    try:
        root = str(build_tree(tmp_path_factory.mktemp("hardened"), locate_extension()))
    except FileNotFoundError as exc:
        pytest.fail(str(exc), pytrace=False)
    sys.path.insert(0, root)
    importlib.invalidate_caches()
    try:
        yield importlib.import_module(FULL_NAME)
    finally:
        sys.path.remove(root)


@pytest.fixture(autouse=True)
def restore_collaborators(request: pytest.FixtureRequest) -> Iterator[None]:
    """Whatever a test rebinds or deletes, the next test sees the imported names."""
    if "tc" not in request.fixturenames:
        yield
        return
    namespace = request.getfixturevalue("tc").__dict__
    saved = {name: namespace[name] for name in COLLABORATORS}
    yield
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
