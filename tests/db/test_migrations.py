"""Alembic with the env.py of the migrations guide: autogenerate, upgrade, and autogenerate again.

The guide's ``models.py`` and ``env.py`` blocks run as written, in a folder
that ``alembic init`` set up, with Alembic's command line in a process of
its own (as an application runs it), on an SQLite file and on a fresh
PostgreSQL database.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
import uuid
from collections.abc import Iterator
from pathlib import Path

import pytest
from sqlalchemy import create_engine, inspect, text
from sqlalchemy.engine import make_url

from quorvalen_core.access.adapter import SQLAlchemyPolicyAdapter
from quorvalen_core.access.migrations import POLICY_TABLES

GUIDE = Path(__file__).resolve().parents[2] / "docs" / "guide" / "migrations.md"


def guide_block(containing: str) -> str:
    """The guide's Python block that contains ``containing``."""
    blocks = re.findall(r"^```python\n(.*?)^```$", GUIDE.read_text(encoding="utf-8"), re.M | re.S)
    return next(block for block in blocks if containing in block)


@pytest.fixture
def empty_database_url(database_url: str) -> Iterator[str]:
    """``database_url``, on PostgreSQL a database of its own that holds nothing yet."""
    if not database_url.startswith("postgresql"):
        yield database_url
        return
    name = f"quorvalen_migrations_{uuid.uuid4().hex[:12]}"
    server = create_engine(database_url, isolation_level="AUTOCOMMIT")
    with server.connect() as connection:
        connection.execute(text(f"CREATE DATABASE {name}"))
    try:
        yield make_url(database_url).set(database=name).render_as_string(hide_password=False)
    finally:
        with server.connect() as connection:
            connection.execute(text(f"DROP DATABASE IF EXISTS {name} WITH (FORCE)"))
        server.dispose()


def alembic(folder: Path, url: str, *arguments: str) -> None:
    environ = {key: value for key, value in os.environ.items() if not key.startswith("QUORVALEN_")}
    result = subprocess.run(
        [sys.executable, "-m", "alembic", *arguments], cwd=folder, capture_output=True, text=True,
        env={**environ, "QUORVALEN_DATABASE_URL": url}, timeout=120,
    )
    assert result.returncode == 0, result.stderr


def upgrade_lines(folder: Path, message: str) -> list[str]:
    """The code lines of ``upgrade()`` in the revision script written for ``message``."""
    (script,) = (folder / "migrations" / "versions").glob(f"*_{message}.py")
    body = script.read_text(encoding="utf-8").partition("def upgrade()")[2].partition("def downgrade()")[0]
    lines = [line.strip() for line in body.splitlines()[1:]]
    return [line for line in lines if line and not line.startswith(("#", '"""'))]


@pytest.mark.parametrize("policies_first", [False, True], ids=["new-database", "policies-there-already"])
def test_a_second_autogenerate_after_the_upgrade_comes_out_empty(
    empty_database_url: str, policies_first: bool, tmp_path: Path
) -> None:
    engine = create_engine(empty_database_url)
    if policies_first:
        # The application ran before migrations: it made the policy tables
        # and stored a rule; here they also differ from the package's layout.
        SQLAlchemyPolicyAdapter(engine).add_rules("g", [("alice", "sales")])
        with engine.begin() as connection:
            connection.execute(text("ALTER TABLE casbin_rule ADD COLUMN note VARCHAR(20)"))
            connection.execute(text("DROP INDEX ix_casbin_rule_ptype_v0"))
    (tmp_path / "models.py").write_text(guide_block("class Invoice"), encoding="utf-8")
    alembic(tmp_path, empty_database_url, "init", "migrations")
    (tmp_path / "migrations" / "env.py").write_text(guide_block("context.run_migrations()"), encoding="utf-8")

    alembic(tmp_path, empty_database_url, "revision", "--autogenerate", "-m", "first")
    first = upgrade_lines(tmp_path, "first")
    created = {match[1] for line in first if (match := re.match(r"op\.create_table\('(\w+)'", line))}
    assert created == {"customer", "invoice"} | (set() if policies_first else POLICY_TABLES)
    assert guide_block("op.create_index").strip() in first
    assert not policies_first or [line for line in first if "casbin" in line] == []

    alembic(tmp_path, empty_database_url, "upgrade", "head")
    alembic(tmp_path, empty_database_url, "revision", "--autogenerate", "-m", "second")
    assert upgrade_lines(tmp_path, "second") == ["pass"]

    # A connection older than the revision may answer SQLite's schema
    # pragmas from its cache: the checks below take new ones.
    engine.dispose()
    try:
        (index,) = inspect(engine).get_indexes("invoice")
        assert index["unique"] and str(index["dialect_options"][f"{engine.dialect.name}_where"]).strip("()") == (
            "deleted_at IS NULL"
        )
        # The policies work on the migrated database; a rule stored before stays.
        adapter = SQLAlchemyPolicyAdapter(engine)
        adapter.add_rules("p", [("sales", "sales.invoice", "read")])
        assert adapter.rules() == (
            2 if policies_first else 1,
            [("g", ("alice", "sales"))] * policies_first + [("p", ("sales", "sales.invoice", "read"))],
        )
    finally:
        engine.dispose()
