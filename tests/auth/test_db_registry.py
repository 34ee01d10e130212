"""Named databases: URL resolution, shared engines, sessions and the FastAPI dependency."""

from __future__ import annotations

from collections.abc import Iterator
from pathlib import Path

import pytest
from fastapi import Depends, FastAPI
from fastapi.testclient import TestClient
from sqlalchemy import text
from sqlalchemy.exc import IntegrityError
from sqlmodel import Session

from quorvalen_core.db import (
    DEFAULT_DATABASE_URL,
    DatabaseRegistry,
    UnknownDatabaseError,
    get_database_registry,
    set_database_registry,
)


@pytest.fixture
def registry() -> Iterator[DatabaseRegistry]:
    reg = DatabaseRegistry(environ={})
    yield reg
    reg.reset()


@pytest.mark.parametrize(
    ("name", "environ", "configured", "expected"),
    [
        (None, {}, None, DEFAULT_DATABASE_URL),
        (None, {"QUORVALEN_DATABASE_URL": "sqlite:///env.db"}, None, "sqlite:///env.db"),
        (None, {"QUORVALEN_DATABASE_URL": "sqlite:///env.db"}, "sqlite:///conf.db", "sqlite:///conf.db"),
        ("a", {"QUORVALEN_DATABASE_URL_A": "sqlite:///a.db"}, None, "sqlite:///a.db"),
        ("a", {"QUORVALEN_DATABASE_URL_A": "sqlite:///a.db"}, "sqlite:///c.db", "sqlite:///c.db"),
        ("reports-2.eu", {"QUORVALEN_DATABASE_URL_REPORTS_2_EU": "sqlite:///r.db"}, None, "sqlite:///r.db"),
        # An empty variable counts as unset.
        (None, {"QUORVALEN_DATABASE_URL": ""}, None, DEFAULT_DATABASE_URL),
    ],
)
def test_url_resolution_order(
    name: str | None, environ: dict[str, str], configured: str | None, expected: str
) -> None:
    reg = DatabaseRegistry(environ=environ)
    if configured is not None:
        reg.configure(name, configured)
    assert reg.url(name) == expected


def test_unknown_name_is_a_clear_error(registry: DatabaseRegistry) -> None:
    with pytest.raises(UnknownDatabaseError, match="QUORVALEN_DATABASE_URL_ARCHIVE"):
        registry.engine("archive")


def test_engine_is_shared_per_name_and_replaced_on_reconfigure(
    registry: DatabaseRegistry, tmp_path: Path
) -> None:
    registry.configure("a", f"sqlite:///{tmp_path / 'a.db'}")
    registry.configure("b", f"sqlite:///{tmp_path / 'b.db'}")
    first = registry.engine("a")
    assert registry.engine("a") is first
    assert registry.engine("b") is not first
    registry.configure("a", f"sqlite:///{tmp_path / 'a2.db'}")
    assert registry.engine("a") is not first
    assert str(registry.engine("a").url).endswith("a2.db")


def test_sessions_of_one_name_share_the_database(registry: DatabaseRegistry, tmp_path: Path) -> None:
    registry.configure("a", f"sqlite:///{tmp_path / 'a.db'}")
    registry.configure("b", f"sqlite:///{tmp_path / 'b.db'}")
    with registry.session("a") as session:
        session.exec(text("CREATE TABLE t (x INTEGER)"))  # type: ignore[call-overload]
        session.exec(text("INSERT INTO t VALUES (7)"))  # type: ignore[call-overload]
        session.commit()
    with registry.session("a") as session:
        assert session.exec(text("SELECT x FROM t")).all() == [(7,)]  # type: ignore[call-overload]
    with registry.session("b") as session, pytest.raises(Exception, match="no such table"):
        session.exec(text("SELECT x FROM t"))  # type: ignore[call-overload]


def test_in_memory_database_is_shared_between_sessions(registry: DatabaseRegistry) -> None:
    registry.configure(None, "sqlite://")
    with registry.session() as session:
        session.exec(text("CREATE TABLE t (x INTEGER)"))  # type: ignore[call-overload]
        session.commit()
    with registry.session() as session:
        assert session.exec(text("SELECT count(*) FROM t")).one() == (0,)  # type: ignore[call-overload]


def test_session_dependency_gives_one_session_per_request(
    registry: DatabaseRegistry, tmp_path: Path
) -> None:
    registry.configure("a", f"sqlite:///{tmp_path / 'a.db'}")
    dependency = registry.session_dependency("a")
    assert registry.session_dependency("a") is dependency
    assert registry.session_dependency("b") is not dependency
    app = FastAPI()
    seen: list[int] = []

    def other(session: Session = Depends(dependency)) -> Session:
        return session

    @app.get("/")
    def endpoint(session: Session = Depends(dependency), again: Session = Depends(other)) -> int:
        assert session is again
        seen.append(id(session))
        return int(session.exec(text("SELECT 41 + 1")).one()[0])  # type: ignore[call-overload]

    with TestClient(app) as client:
        assert client.get("/").json() == 42
        assert client.get("/").json() == 42
    assert len(seen) == 2


def test_reset_forgets_configuration(registry: DatabaseRegistry, tmp_path: Path) -> None:
    registry.configure("a", f"sqlite:///{tmp_path / 'a.db'}")
    registry.engine("a")
    registry.reset()
    with pytest.raises(UnknownDatabaseError):
        registry.engine("a")


def test_application_registry_is_lazy_and_replaceable() -> None:
    mine = DatabaseRegistry(environ={})
    previous = set_database_registry(mine)
    try:
        assert get_database_registry() is mine
        set_database_registry(None)
        fresh = get_database_registry()
        assert fresh is not mine and get_database_registry() is fresh
    finally:
        set_database_registry(previous)


def test_sqlite_engines_enforce_foreign_keys(registry: DatabaseRegistry, tmp_path: Path) -> None:
    registry.configure("fk", f"sqlite:///{tmp_path / 'fk.db'}")
    with registry.engine("fk").begin() as connection:
        connection.execute(text("CREATE TABLE parent (id INTEGER PRIMARY KEY)"))
        connection.execute(text("CREATE TABLE child (id INTEGER PRIMARY KEY, parent_id INTEGER REFERENCES parent(id))"))
    with pytest.raises(IntegrityError), registry.engine("fk").begin() as connection:
        connection.execute(text("INSERT INTO child (id, parent_id) VALUES (1, 42)"))
