"""Policies in the database: storage, inheritance, caching, sharing between processes, the command line."""

from __future__ import annotations

import io
import itertools
import sys
import threading
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import casbin
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from sqlalchemy import Engine, create_engine, select

from quorvalen_core.auth import AuthSettings, PolicyStore, SQLAlchemyPolicyAdapter, decode_access_token
from quorvalen_core.access.adapter import casbin_policy_version, casbin_rule, metadata
from quorvalen_core.access.cli import main
from quorvalen_core.access.notify import SQLiteChangeWatcher

# Casbin's plain RBAC model: the reference the decisions are compared with.
RBAC_MODEL = """
[request_definition]
r = sub, obj, act
[policy_definition]
p = sub, obj, act
[role_definition]
g = _, _
[policy_effect]
e = some(where (p.eft == allow))
[matchers]
m = g(r.sub, p.sub) && (p.obj == "*" || r.obj == p.obj) && (p.act == "*" || r.act == p.act)
"""

@pytest.fixture
def engine(database_url: str) -> Iterator[Engine]:
    engine = create_engine(database_url)
    metadata.drop_all(engine)
    yield engine
    metadata.drop_all(engine)
    engine.dispose()


def stored(engine: Engine) -> set[tuple[str | None, ...]]:
    with engine.connect() as connection:
        return {tuple(row) for row in connection.execute(select(*list(casbin_rule.c)[1:]))}


def test_rules_persist_load_and_are_removed_exactly(engine: Engine) -> None:
    store = PolicyStore(engine)
    # Names Casbin's text format would split or trim.
    odd = ("team, north", "report[2026] (draft)", " read ")
    assert store.grant(*odd) and not store.grant(*odd)
    assert store.assign_role("alice", "team, north")
    store.grant_many([("a", "o", "x"), ("b", "o", "y"), ("a", "o", "y")])
    store.adapter.remove_rules("p", [("a", "o", "x"), ("b", "o", "y")])
    assert stored(engine) == {
        ("p", "team, north", "report[2026] (draft)", " read ", None, None, None),
        ("p", "a", "o", "y", None, None, None),
        ("g", "alice", "team, north", None, None, None, None),
    }
    fresh = PolicyStore(engine)
    assert sorted(fresh.permissions()) == [("a", "o", "y"), odd]
    assert fresh.is_allowed("alice", "report[2026] (draft)", " read ")
    assert not fresh.is_allowed("alice", "report[2026] (draft)", "read")
    assert fresh.revoke("a", "o", "y") and not fresh.revoke("a", "o", "y")
    assert PolicyStore(engine).permissions() == [odd]


def test_inheritance_through_role_chains(engine: Engine) -> None:
    store = PolicyStore(engine)
    store.assign_role("ann", "junior")
    store.inherit_roles([("junior", "senior"), ("senior", "lead")])
    store.grant("lead", "plan", "approve")
    assert store.is_allowed("ann", "plan", "approve")
    assert store.has_role("ann", "lead") and not store.has_role("lead", "ann")
    assert store.roles_of("ann") == ["junior", "lead", "senior"]
    assert store.remove_inheritance("junior", "senior")
    assert not store.is_allowed("ann", "plan", "approve") and not store.has_role("ann", "lead")
    # Deleting a name removes its rules, assignments and inheritances either way round.
    store.inherit_role("junior", "senior")
    store.grant("senior", "plan", "read")
    assert store.delete_subject("senior") == 3
    assert store.permissions() == [("lead", "plan", "approve")] and store.memberships() == [("ann", "junior")]


@pytest.mark.parametrize(
    ("change", "names", "message"),
    [
        ("grant", ("", "o", "a"), "non-empty strings, got ''"),
        ("grant", ("s", "", "a"), "non-empty strings, got ''"),
        ("grant", ("s", "o", 3), "non-empty strings, got 3"),
        ("inherit_role", ("ops", "ops"), "inherit from itself"),
    ],
)
def test_invalid_rules_are_refused(engine: Engine, change: str, names: tuple[Any, ...], message: str) -> None:
    with pytest.raises(ValueError, match=message):
        getattr(PolicyStore(engine), change)(*names)
    assert stored(engine) == set()


def test_a_reload_that_read_before_a_change_never_installs_after_it(engine: Engine, monkeypatch: pytest.MonkeyPatch) -> None:
    """Forced: a reload reads, then stalls while a revocation commits and reloads; it ends last."""
    store = PolicyStore(engine)
    store.assign_role("ann", "reader")
    store.grant("reader", "o", "read")
    read, reads = store.adapter.stored_rules, itertools.count()
    first_read, resume = threading.Event(), threading.Event()

    def stored_rules(*args: Any) -> Any:
        rules = read(*args)
        if next(reads) == 0:
            first_read.set()
            resume.wait(10)
        return rules

    monkeypatch.setattr(store.adapter, "stored_rules", stored_rules)
    slow = threading.Thread(target=store.reload)
    slow.start()
    assert first_read.wait(10)
    revocation = threading.Thread(target=store.revoke, args=("reader", "o", "read"))
    revocation.start()
    revocation.join(0.5)  # done by now, unless it waits for the stalled reload
    resume.set()
    for thread in (slow, revocation):
        thread.join(10)
    assert not store.is_allowed("ann", "o", "read")


def test_a_grant_on_the_command_line_reaches_a_server_on_sqlite_without_waiting_for_a_poll(tmp_path: Path) -> None:
    url = f"sqlite:///{tmp_path / 'policies.db'}"
    server = PolicyStore(create_engine(url), refresh_seconds=3600)
    watcher = SQLiteChangeWatcher(server).start()
    try:
        assert run("--url", url, "assign-role", "ann", "reader")[0] == 0
        assert run("--url", url, "grant", "reader", "o", "read")[0] == 0
        deadline = time.monotonic() + 5
        while not server.is_allowed("ann", "o", "read"):
            assert time.monotonic() < deadline, "the server never saw the grant"
            time.sleep(0.01)
    finally:
        watcher.stop()


# (command line, exit status, what stdout and stderr hold between them)
EXPLAINED = [
    (["explain", "ann", "sales.invoice", "read"], 0,
     ["allowed", "ann holds clerk (assignment: g ann clerk)", "clerk has every right of staff (inheritance: g2 clerk staff)",
      "staff may read on sales.invoice (grant: p staff sales.invoice read)"]),
    (["explain", "ann", "sales.invoice", "update"], 1,
     ["denied", "no role ann holds may update on sales.invoice", "ann holds: clerk, staff"]),
    (["explain", "ann", "sales.report", "view"], 1,
     ["the route sales.report view admits holders of the role auditor", "ann does not hold auditor"]),
    (["grant", "staff", "sales.invoce", "read"], 1, ["no route uses the object 'sales.invoce'", "nothing stored"]),
    (["grant", "staff", "sales.invoice", "craete"], 1, ["no route on sales.invoice checks the action 'craete'; its actions: read, update"]),
    (["grant", "staff", "sales.invoice", "update:all"], 0, ["granted"]),
    (["grant", "staff", "sales.invoce", "read", "--force"], 0, ["granted"]),
    (["list"], 0, ["g2       ROLE PARENT             the role has every right of the parent role", "p\tstaff\tsales.invoice\tread"]),
]


@pytest.mark.parametrize(("argv", "status", "said"), EXPLAINED)
def test_the_command_line_explains_decisions_and_refuses_names_no_route_uses(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], argv: list[str], status: int, said: list[str]
) -> None:
    url = f"sqlite:///{tmp_path / 'policies.db'}"
    store = PolicyStore(create_engine(url))
    store.store_route_roles([("sales.invoice", "read", None), ("sales.invoice", "update", None), ("sales.report", "view", "auditor")])
    store.assign_role("ann", "clerk")
    store.inherit_role("clerk", "staff")
    store.grant("staff", "sales.invoice", "read")
    assert main(["--url", url, *argv], out=sys.stdout) == status
    captured = capsys.readouterr()
    for text in said:
        assert text in captured.out + captured.err, (text, captured)


def test_decisions_are_cached_until_a_change(engine: Engine) -> None:
    store = PolicyStore(engine)
    store.grant("reader", "o", "read")
    store.assign_role("ann", "reader")
    assert store.is_allowed("ann", "o", "read") and not store.is_allowed("bob", "o", "read")
    # Decisions made are remembered by the loaded rules, not worked out again.
    store.snapshot._grants = {}
    assert store.is_allowed("ann", "o", "read") and not store.is_allowed("bob", "o", "read")
    store.assign_role("bob", "reader")
    assert store.is_allowed("bob", "o", "read") and store.is_allowed("ann", "o", "read")


def test_default_grants_are_stored_once_and_stay_revoked(engine: Engine) -> None:
    store = PolicyStore(engine)
    store.assign_role("ann", "sales")
    assert store.store_default_grants([("sales", "sales.invoice", "read")]) == 2
    assert store.is_allowed("ann", "sales.invoice", "read")
    assert PolicyStore(engine).permissions() == [("sales", "sales.invoice", "read")]
    assert store.revoke("sales", "sales.invoice", "read")
    # The next start declares the same grant: the revocation holds.
    assert store.store_default_grants([("sales", "sales.invoice", "read")]) == 0
    assert not PolicyStore(engine).is_allowed("ann", "sales.invoice", "read")


def test_version_counts_only_real_changes(engine: Engine) -> None:
    adapter = SQLAlchemyPolicyAdapter(engine)
    assert adapter.add_rules("p", [("a", "o", "x"), ("a", "o", "x")]) == (1, 1)
    assert adapter.add_rules("p", [("a", "o", "x")]) == (0, 1)
    assert adapter.remove_rules("p", [("zzz", "o", "x")]) == (0, 1)
    assert adapter.remove_matching("p", 0, ["a"]) == (1, 2)
    # A second adapter on the same database keeps the single version row.
    SQLAlchemyPolicyAdapter(engine)
    with engine.connect() as connection:
        assert connection.execute(select(casbin_policy_version)).all() == [(1, 2)]


# Every kind of stored row, as written and as a fresh store reads it back.
STORED_KINDS = [
    ("p", ("sales", "sales.invoice", "read")),
    ("g", ("ann", "sales")),
    ("g2", ("sales", "staff")),
    ("d", ("sales", "sales.invoice", "create")),
    ("r", ("sales.invoice", "query", "*")),
]


def test_every_stored_kind_round_trips_and_removing_one_keeps_the_others(engine: Engine) -> None:
    adapter = SQLAlchemyPolicyAdapter(engine)
    for ptype, rule in STORED_KINDS:
        assert adapter.add_rules(ptype, [rule])[0] == 1
    assert sorted(SQLAlchemyPolicyAdapter(engine).rules()[1]) == sorted(STORED_KINDS)
    assert adapter.remove_rules("p", [STORED_KINDS[0][1]])[0] == 1
    assert sorted(SQLAlchemyPolicyAdapter(engine).rules()[1]) == sorted(STORED_KINDS[1:])


NAMES = ["ann", "bob", "clerk", "lead"]
OBJECTS = ["o1", "o2", "*"]
ACTIONS = ["read", "write", "*"]


@settings(max_examples=60, deadline=None)
@given(
    rules=st.lists(st.tuples(st.sampled_from(NAMES), st.sampled_from(OBJECTS), st.sampled_from(ACTIONS))),
    members=st.lists(st.tuples(st.sampled_from(NAMES), st.sampled_from(NAMES))),
    parents=st.lists(st.tuples(st.sampled_from(NAMES), st.sampled_from(NAMES)).filter(lambda p: p[0] != p[1])),
)
def test_decisions_agree_with_a_casbin_enforcer_keeping_callers_apart(
    rules: list[tuple[str, ...]], members: list[tuple[str, str]], parents: list[tuple[str, str]]
) -> None:
    engine = create_engine("sqlite://")
    store = PolicyStore(engine)
    store.grant_many(rules)
    store.assign_roles(members)
    store.inherit_roles(parents)
    # Casbin's RBAC with callers spelled apart from roles: a caller reaches a
    # role only through an assignment, never by sharing its name.
    reference = casbin.Enforcer(casbin.Enforcer.new_model(text=RBAC_MODEL))
    for rule in dict.fromkeys(rules):
        reference.add_policy(*rule)
    for subject, role in dict.fromkeys(members):
        reference.add_grouping_policy(f"caller:{subject}", role)
    for role, parent in dict.fromkeys(parents):
        reference.add_grouping_policy(role, parent)
    for subject, obj, act in itertools.product(NAMES, OBJECTS[:2], ACTIONS[:2]):
        assert store.is_allowed(subject, obj, act) == reference.enforce(f"caller:{subject}", obj, act)
    engine.dispose()


def run(*argv: str) -> tuple[int, str]:
    out = io.StringIO()
    code = main(list(argv), out=out)
    return code, out.getvalue()


def test_command_line_grants_assigns_checks_lists_and_revokes(tmp_path: Path) -> None:
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


def test_command_line_named_database_and_token(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("QUORVALEN_DATABASE_URL_AUTH", f"sqlite:///{tmp_path / 'auth.db'}")
    assert run("--db", "auth", "assign-role", "bob", "ops")[0] == 0
    assert (tmp_path / "auth.db").exists()
    assert run("--db", "missing", "list")[0] == 2
    secret = "cli-test-secret-0123456789abcdefghij"
    monkeypatch.setenv("QUORVALEN_AUTH_SECRET_KEY", secret)
    code, out = run("token", "alice", "--expires", "60")
    claims = decode_access_token(out.strip(), AuthSettings(secret_key=secret))
    assert code == 0 and claims["sub"] == "alice" and claims["exp"] - claims["iat"] == 60
    monkeypatch.delenv("QUORVALEN_AUTH_SECRET_KEY")
    assert run("token", "alice")[0] == 2
