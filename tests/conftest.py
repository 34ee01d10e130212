"""Fixtures shared across the suite.

The native module's tests (tests/native, tests/hardening) get the built
library, imported once per session from a stand-in package.  Tests of the
web stack that take ``database_url`` run once on an SQLite file and once on
the PostgreSQL server named by QUORVALEN_TEST_POSTGRES_URL (skipped when that
is unset; scripts/postgres.sh starts one).

Set ``QUORVALEN_NATIVE_EXTENSION`` to the path of a built
``table_controller*.so`` to test that file instead of the one installed with
``quorvalen_core``.  See ``tests/support/native_support.py`` for how the
library is loaded.
"""

from __future__ import annotations

import importlib
import os
import sys
from collections.abc import Iterator
from pathlib import Path
from types import FunctionType, ModuleType

import pytest

from native_support import FULL_NAME, build_tree, locate_extension

pytest_plugins = ["pytester", "platform_markers", "shop_fixtures"]

POSTGRES_URL_ENV = "QUORVALEN_TEST_POSTGRES_URL"

TESTS = Path(__file__).resolve().parent
# The native module's tests collect and trace the whole heap, again and
# again: they run first, before the web tests' applications have made it
# several times larger.
HEAP_WALKING = (TESTS / "native", TESTS / "hardening")


def pytest_collection_modifyitems(items: list[pytest.Item]) -> None:
    items.sort(key=lambda item: not any(item.path.is_relative_to(folder) for folder in HEAP_WALKING))


@pytest.fixture(params=["sqlite", "postgresql"])
def database_url(request: pytest.FixtureRequest, tmp_path: Path) -> str:
    if request.param == "sqlite":
        return f"sqlite:///{tmp_path / 'test.db'}"
    url = os.environ.get(POSTGRES_URL_ENV)
    if not url:
        pytest.skip(f"{POSTGRES_URL_ENV} is not set (scripts/postgres.sh starts a server)")
    return url


@pytest.fixture
def postgres_url() -> str:
    """The PostgreSQL server's URL, for tests of what only PostgreSQL has (notifications)."""
    url = os.environ.get(POSTGRES_URL_ENV)
    if not url:
        pytest.skip(f"{POSTGRES_URL_ENV} is not set (scripts/postgres.sh starts a server)")
    return url


@pytest.fixture(scope="session")
def native_extension() -> Path:
    try:
        return locate_extension()
    except FileNotFoundError as exc:
        pytest.fail(str(exc), pytrace=False)


@pytest.fixture(scope="session")
def tc(native_extension: Path, tmp_path_factory: pytest.TempPathFactory) -> Iterator[ModuleType]:
    """The native module, imported once per session from a stand-in package."""
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
def create_function(AC: type) -> FunctionType:
    """The function under the ``create`` classmethod, called with ``cls`` supplied by the caller."""
    return AC.__dict__["create"].__func__
