"""A wrong or missing token key: refused at startup, and never echoed by a message or a log line."""

from __future__ import annotations

import logging
import subprocess
import sys
from collections.abc import Iterator
from pathlib import Path

import pytest
from fastapi.testclient import TestClient

from attack_support import account_app
from quorvalen_core.auth import AuthConfigurationError, AuthService, set_auth_service
from quorvalen_core.db import DatabaseRegistry, set_database_registry

KEY_40 = "forty-byte-key-0123456789-abcdefghijklmn"

# (environment, what the one line says)
BAD_KEYS = {
    "no key": ({}, "QUORVALEN_AUTH_SECRET_KEY"),
    "HS256 with 31 bytes": ({"QUORVALEN_AUTH_SECRET_KEY": KEY_40[:31]}, "at least 32 bytes for HS256"),
    "HS384 with 40 bytes": ({"QUORVALEN_AUTH_SECRET_KEY": KEY_40, "QUORVALEN_AUTH_ALGORITHM": "HS384"}, "at least 48 bytes"),
    "HS512 with 63 bytes": (
        {"QUORVALEN_AUTH_SECRET_KEY": (KEY_40 * 2)[:63], "QUORVALEN_AUTH_ALGORITHM": "HS512"},
        "at least 64 bytes",
    ),
    "no such algorithm": ({"QUORVALEN_AUTH_SECRET_KEY": KEY_40, "QUORVALEN_AUTH_ALGORITHM": "HS999"}, "HS999"),
}


@pytest.fixture
def databases(tmp_path: Path) -> Iterator[DatabaseRegistry]:
    registry = DatabaseRegistry(default_url=f"sqlite:///{tmp_path / 'keys.db'}", environ={})
    previous = set_database_registry(registry)
    yield registry
    set_database_registry(previous)
    registry.reset()


@pytest.mark.parametrize("case", BAD_KEYS)
def test_a_bad_key_stops_the_application_and_the_command_line_with_one_line(
    case: str, databases: DatabaseRegistry, monkeypatch: pytest.MonkeyPatch, caplog: pytest.LogCaptureFixture
) -> None:
    environment, says = BAD_KEYS[case]
    for name in ("QUORVALEN_AUTH_SECRET_KEY", "QUORVALEN_AUTH_ALGORITHM"):
        monkeypatch.delenv(name, raising=False)
    for name, value in environment.items():
        monkeypatch.setenv(name, value)
    key = environment.get("QUORVALEN_AUTH_SECRET_KEY", "\0")
    previous = set_auth_service(AuthService(databases=databases))
    try:
        with caplog.at_level(logging.DEBUG), pytest.raises(AuthConfigurationError) as refused:
            with TestClient(account_app()):
                pass
    finally:
        set_auth_service(previous)
    assert says in str(refused.value) and key not in str(refused.value)
    assert key not in caplog.text
    command = subprocess.run(
        [sys.executable, "-m", "quorvalen_core.auth", "token", "alice"], capture_output=True, text=True
    )
    assert command.returncode == 2 and command.stdout == ""
    assert command.stderr.count("\n") == 1 and command.stderr.startswith("error:") and says in command.stderr
    assert key not in command.stderr
