"""Fixtures of the hardening tests beside the shared ones (tests/conftest.py)."""

from __future__ import annotations

from collections.abc import Iterator

import pytest
from hypothesis import HealthCheck, settings

from native_support import COLLABORATORS

# Reproducible in CI: the same examples on every run and no time limits
# (sanitizers and valgrind slow every call down).
settings.register_profile("hardening", derandomize=True, deadline=None, max_examples=300, database=None,
                          suppress_health_check=[HealthCheck.too_slow])  # fmt: skip
settings.load_profile("hardening")


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
