"""The pytest fixture of :class:`~quorvalen_core.testing.TestApplication`.

In a ``conftest.py``::

    pytest_plugins = ["quorvalen_core.testing.plugin"]


    @pytest.fixture
    def app() -> FastAPI:
        return build_app()

A test then takes ``quorvalen_app``: the application served on a database
of its own for that test.
"""

from __future__ import annotations

from collections.abc import Iterator

import pytest
from fastapi import FastAPI

from . import TestApplication


@pytest.fixture
def quorvalen_app(app: FastAPI) -> Iterator[TestApplication]:
    """The application of the ``app`` fixture, served for one test on a database and a token key of its own."""
    with TestApplication(app) as served:
        yield served
