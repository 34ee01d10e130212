"""Testing an application built on quorvalen_core: a database of its own per test, tokens, a client.

:class:`TestApplication` serves an application for one test on a database
made for it (an SQLite file in a temporary folder, unless a URL is given),
with the tables of every table model and the policy tables created, a token
key of its own, and FastAPI's ``TestClient``::

    with TestApplication(app) as shop:
        shop.policies.assign_role("bob", "buyer")
        response = shop.client.get("/v1/shop/order", headers=shop.token("bob"))

Nothing of it outlives the block: the application's own context is put
back, the database's folder removed.  With pytest, the fixture
``quorvalen_app`` of :mod:`quorvalen_core.testing.plugin` does the same for
the application a test's ``app`` fixture returns.
"""

from __future__ import annotations

import secrets
import tempfile
from pathlib import Path
from types import TracebackType
from typing import Any

from fastapi import FastAPI
from fastapi.testclient import TestClient
from pydantic import SecretStr
from sqlmodel import Session, SQLModel

from ..access.policy import PolicyStore
from ..access.settings import AuthSettings
from ..db.registry import DatabaseRegistry
from ..web.context import CONTEXT_STATE_ATTR, AppContext, use_context


class TestApplication:
    """``app`` served on a database and a token key of its own, while the ``with`` block runs."""

    __test__ = False  # not a test class, for pytest

    def __init__(self, app: FastAPI, *, database_url: str | None = None, secret_key: str | None = None) -> None:
        self.app = app
        self._database_url = database_url
        self._secret_key = secret_key or secrets.token_urlsafe(48)
        self._folder: tempfile.TemporaryDirectory[str] | None = None
        self._previous: Any = None
        self.context: AppContext | None = None
        self._client: TestClient | None = None

    def __enter__(self) -> TestApplication:
        url = self._database_url
        if url is None:
            self._folder = tempfile.TemporaryDirectory(prefix="quorvalen-test-")
            url = f"sqlite:///{Path(self._folder.name) / 'test.db'}"
        databases = DatabaseRegistry(default_url=url, environ={})
        SQLModel.metadata.create_all(databases.engine())
        self.context = AppContext(databases=databases, auth_settings=AuthSettings(secret_key=SecretStr(self._secret_key)))
        self._previous = getattr(self.app.state, CONTEXT_STATE_ATTR, None)
        use_context(self.app, self.context)
        self._client = TestClient(self.app).__enter__()
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None
    ) -> None:
        assert self.context is not None and self._client is not None
        try:
            self._client.__exit__(kind, error, trace)
        finally:
            self.context.auth.close()
            self.context.databases.reset()
            setattr(self.app.state, CONTEXT_STATE_ATTR, self._previous)
            if self._folder is not None:
                self._folder.cleanup()

    @property
    def client(self) -> TestClient:
        assert self._client is not None, "use TestApplication in a with block"
        return self._client

    @property
    def policies(self) -> PolicyStore:
        """The application's policies for this test: assign roles and grant here; changes apply at once."""
        assert self.context is not None
        return self.context.auth.policies()

    def token(self, subject: str, **claims: Any) -> dict[str, str]:
        """The ``Authorization`` header of an access token naming ``subject``."""
        assert self.context is not None
        return {"Authorization": f"Bearer {self.context.auth.create_access_token(subject, claims=claims or None)}"}

    def session(self) -> Session:
        """A session on the test's database, to put rows in place or look at them."""
        assert self.context is not None
        return Session(self.context.databases.engine())
