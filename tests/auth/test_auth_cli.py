"""The roles-and-permissions command line."""

from __future__ import annotations

import io
from pathlib import Path

import pytest

from quorvalen_core.auth import AuthSettings, decode_access_token
from quorvalen_core.auth.cli import main


def run(*argv: str) -> tuple[int, str]:
    out = io.StringIO()
    code = main(list(argv), out=out)
    return code, out.getvalue()


def test_grant_assign_check_list_and_revoke(tmp_path: Path) -> None:
    url = ["--url", f"sqlite:///{tmp_path / 'p.db'}"]
    assert run(*url, "grant", "sales", "sales.invoice", "read") == (0, "granted\n")
    assert run(*url, "grant", "sales", "sales.invoice", "read") == (0, "already granted\n")
    assert run(*url, "assign-role", "alice", "sales") == (0, "assigned\n")
    assert run(*url, "check", "alice", "sales.invoice", "read") == (0, "allowed\n")
    assert run(*url, "check", "alice", "sales.invoice", "delete") == (1, "denied\n")
    assert run(*url, "roles", "alice") == (0, "sales\n")
    assert run(*url, "list") == (0, "g\talice\tsales\np\tsales\tsales.invoice\tread\n")
    assert run(*url, "remove-role", "alice", "sales") == (0, "removed\n")
    assert run(*url, "revoke", "sales", "sales.invoice", "read") == (0, "revoked\n")
    assert run(*url, "list") == (0, "")


def test_named_database_from_environment(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("QUORVALEN_DATABASE_URL_AUTH", f"sqlite:///{tmp_path / 'auth.db'}")
    assert run("--db", "auth", "assign-role", "bob", "ops")[0] == 0
    assert (tmp_path / "auth.db").exists()
    code = main(["--db", "missing", "list"], out=io.StringIO())
    assert code == 2


def test_token(monkeypatch: pytest.MonkeyPatch) -> None:
    secret = "cli-test-secret-0123456789abcdefghij"
    monkeypatch.setenv("QUORVALEN_AUTH_SECRET_KEY", secret)
    code, out = run("token", "alice", "--expires", "60")
    claims = decode_access_token(out.strip(), AuthSettings(secret_key=secret))
    assert code == 0 and claims["sub"] == "alice" and claims["exp"] - claims["iat"] == 60
    monkeypatch.delenv("QUORVALEN_AUTH_SECRET_KEY")
    assert run("token", "alice")[0] == 2
