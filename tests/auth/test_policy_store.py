"""Policies in the database: storage, inheritance, caching and sharing between processes."""

from __future__ import annotations

import os
from collections.abc import Iterator
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from sqlalchemy import Engine, create_engine, delete, insert, select

from quorvalen_core.auth import PolicyStore, SQLAlchemyPolicyAdapter
from quorvalen_core.auth.adapter import casbin_policy_version, casbin_rule, metadata

POSTGRES_URL_ENV = "QUORVALEN_TEST_POSTGRES_URL"


class FakeClock:
    def __init__(self) -> None:
        self.now = 1000.0

    def __call__(self) -> float:
        return self.now


@pytest.fixture(params=["sqlite", "postgresql"])
def engine(request: pytest.FixtureRequest, tmp_path: Path) -> Iterator[Engine]:
    if request.param == "sqlite":
        url = f"sqlite:///{tmp_path / 'policies.db'}"
    else:
        url = os.environ.get(POSTGRES_URL_ENV, "")
        if not url:
            pytest.skip(f"{POSTGRES_URL_ENV} is not set (scripts/postgres.sh starts a server)")
    engine = create_engine(url)
    metadata.drop_all(engine)
    yield engine
    metadata.drop_all(engine)
    engine.dispose()


def stored(engine: Engine) -> set[tuple[str | None, ...]]:
    with engine.connect() as connection:
        return {tuple(row) for row in connection.execute(select(*list(casbin_rule.c)[1:]))}


def test_rules_persist_and_load_exactly(engine: Engine) -> None:
    store = PolicyStore(engine)
    # Names Casbin's text format would split or trim.
    odd = ("team, north", "report[2026] (draft)", " read ")
    assert store.grant(*odd)
    assert not store.grant(*odd)
    assert store.assign_role("alice", "team, north")
    assert stored(engine) == {
        ("p", "team, north", "report[2026] (draft)", " read ", None, None, None),
        ("g", "alice", "team, north", None, None, None, None),
    }
    fresh = PolicyStore(engine)
    assert fresh.permissions() == [odd]
    assert fresh.is_allowed("alice", "report[2026] (draft)", " read ")
    assert not fresh.is_allowed("alice", "report[2026] (draft)", "read")


def test_removing_rules_removes_exactly_those(engine: Engine) -> None:
    store = PolicyStore(engine)
    store.grant_many([("a", "o", "x"), ("b", "o", "y"), ("a", "o", "y"), ("b", "o", "x")])
    store.adapter.remove_rules("p", [("a", "o", "x"), ("b", "o", "y")])
    store.reload()
    assert sorted(store.permissions()) == [("a", "o", "y"), ("b", "o", "x")]
    assert store.revoke("a", "o", "y") and not store.revoke("a", "o", "y")
    assert sorted(PolicyStore(engine).permissions()) == [("b", "o", "x")]


def test_inheritance_through_role_chains(engine: Engine) -> None:
    store = PolicyStore(engine)
    store.assign_roles([("ann", "junior"), ("junior", "senior"), ("senior", "lead")])
    store.grant("lead", "plan", "approve")
    assert store.is_allowed("ann", "plan", "approve")
    assert store.has_role("ann", "lead") and not store.has_role("lead", "ann")
    assert sorted(store.roles_of("ann")) == ["junior", "lead", "senior"]
    assert store.remove_role("junior", "senior")
    assert not store.is_allowed("ann", "plan", "approve")
    assert not store.has_role("ann", "lead")


def test_delete_subject_removes_its_rules_and_memberships(engine: Engine) -> None:
    store = PolicyStore(engine)
    store.grant_many([("clerk", "o", "read"), ("boss", "o", "read")])
    store.assign_roles([("ann", "clerk"), ("clerk", "staff")])
    assert store.delete_subject("clerk") == 3
    assert store.permissions() == [("boss", "o", "read")] and store.memberships() == []


@pytest.mark.parametrize(
    "bad",
    [("", "o", "a"), ("s", "", "a"), ("s", "o", 3)],
)
def test_invalid_names_are_rejected(engine: Engine, bad: tuple[object, ...]) -> None:
    store = PolicyStore(engine)
    with pytest.raises(ValueError):
        store.grant(*bad)  # type: ignore[arg-type]
    assert stored(engine) == set()


def test_a_role_cannot_contain_itself(engine: Engine) -> None:
    with pytest.raises(ValueError, match="member of itself"):
        PolicyStore(engine).assign_role("ops", "ops")


def test_decisions_are_cached_until_a_change(engine: Engine, monkeypatch: pytest.MonkeyPatch) -> None:
    store = PolicyStore(engine)
    store.grant("ann", "o", "read")
    calls = 0
    enforce = store._enforcer.enforce

    def counting(*args: str) -> bool:
        nonlocal calls
        calls += 1
        return bool(enforce(*args))

    monkeypatch.setattr(store._enforcer, "enforce", counting)
    assert [store.is_allowed("ann", "o", "read") for _ in range(5)] == [True] * 5
    assert [store.is_allowed("bob", "o", "read") for _ in range(5)] == [False] * 5
    assert calls == 2
    store.grant("bob", "o", "read")
    assert store.is_allowed("bob", "o", "read")
    assert calls == 3


def test_declared_grants_are_kept_in_memory_only(engine: Engine) -> None:
    store = PolicyStore(engine)
    store.assign_role("ann", "sales")
    store.declare("sales", "sales.invoice", "read")
    assert store.is_allowed("ann", "sales.invoice", "read")
    store.grant("bob", "x", "y")  # a change reloads every rule from the database
    assert store.is_allowed("ann", "sales.invoice", "read")
    assert stored(engine) == {("g", "ann", "sales", None, None, None, None), ("p", "bob", "x", "y", None, None, None)}
    assert not PolicyStore(engine).is_allowed("ann", "sales.invoice", "read")


def test_changes_by_another_process_are_picked_up_after_the_interval(engine: Engine) -> None:
    clock = FakeClock()
    mine = PolicyStore(engine, refresh_seconds=5, clock=clock)
    theirs = PolicyStore(engine, refresh_seconds=5)
    assert not mine.is_allowed("ann", "o", "read")
    theirs.grant("ann", "o", "read")
    assert not mine.refresh_due() and not mine.is_allowed("ann", "o", "read")
    clock.now += 5
    assert mine.refresh_due()
    assert mine.refresh() and mine.is_allowed("ann", "o", "read")
    # Nothing changed since: the next check reads only the version.
    clock.now += 5
    assert not mine.refresh()
    assert mine.version == theirs.version


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


def test_adapter_serves_a_plain_casbin_enforcer(engine: Engine) -> None:
    import casbin

    from quorvalen_core.auth.policy import RBAC_MODEL

    adapter = SQLAlchemyPolicyAdapter(engine)
    enforcer = casbin.Enforcer(casbin.Enforcer.new_model(text=RBAC_MODEL), adapter)
    enforcer.add_policies([["a", "o", "x"], ["b", "o", "y"], ["a", "o", "y"]])
    enforcer.add_grouping_policy("ann", "a")
    enforcer.remove_policies([["a", "o", "x"], ["b", "o", "y"]])
    enforcer.remove_filtered_grouping_policy(0, "ann")
    assert stored(engine) == {("p", "a", "o", "y", None, None, None)}
    with engine.begin() as connection:  # rows written by other tools load as well
        connection.execute(delete(casbin_rule))
        connection.execute(insert(casbin_rule).values(ptype="g", v0="ann", v1="a"))
    enforcer.load_policy()
    assert enforcer.get_grouping_policy() == [["ann", "a"]]


NAMES = ["ann", "bob", "clerk", "lead", "*"]
OBJECTS = ["o1", "o2", "*"]
ACTIONS = ["read", "write", "*"]


@settings(max_examples=60, deadline=None)
@given(
    rules=st.lists(st.tuples(st.sampled_from(NAMES[:4]), st.sampled_from(OBJECTS), st.sampled_from(ACTIONS))),
    links=st.lists(st.tuples(st.sampled_from(NAMES[:4]), st.sampled_from(NAMES[:4])).filter(lambda p: p[0] != p[1])),
)
def test_decisions_agree_with_a_plain_casbin_enforcer(
    rules: list[tuple[str, str, str]], links: list[tuple[str, str]]
) -> None:
    import casbin

    from quorvalen_core.auth.policy import RBAC_MODEL

    engine = create_engine("sqlite://")
    store = PolicyStore(engine)
    store.grant_many(rules)
    store.assign_roles(links)
    reference = casbin.Enforcer(casbin.Enforcer.new_model(text=RBAC_MODEL))
    for rule in dict.fromkeys(rules):
        reference.add_policy(*rule)
    for link in dict.fromkeys(links):
        reference.add_grouping_policy(*link)
    for subject in NAMES[:4]:
        for obj in OBJECTS[:2]:
            for act in ACTIONS[:2]:
                assert store.is_allowed(subject, obj, act) == reference.enforce(subject, obj, act), (subject, obj, act)
    engine.dispose()
