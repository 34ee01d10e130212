"""What the test shops share: the registry, the auth service and a client of one served application."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from fastapi.testclient import TestClient

from quorvalen_core.access.service import AuthService
from quorvalen_core.db import DatabaseRegistry


@dataclass
class ServedShop:
    databases: DatabaseRegistry
    service: AuthService
    client: TestClient

    def token(self, subject: str) -> dict[str, str]:
        """The Authorization header of a token naming ``subject``."""
        return {"Authorization": f"Bearer {self.service.create_access_token(subject)}"}

    def call(self, subject: str, method: str, path: str, body: Any = None, **params: Any) -> Any:
        return self.client.request(method, path, json=body, params=params or None, headers=self.token(subject))

    def ok(self, subject: str, method: str, path: str, body: Any = None, **params: Any) -> Any:
        response = self.call(subject, method, path, body, **params)
        assert response.status_code < 300, response.text
        return response.json()["data"]

    def engine(self) -> Any:
        return self.databases.engine()
