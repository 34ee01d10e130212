"""Policy versions another connection forges or sets back, on PostgreSQL with a listening store.

PostgreSQL lets anyone who can connect notify on any channel.  Whatever a
notification says, and whichever way the stored counter moves, a
revocation must be enforced at once, and a flood of notifications must not
make the store reload its rules.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Iterator

import pytest
from sqlalchemy import Connection, Engine, create_engine, text

from quorvalen_core.access.adapter import POLICY_CHANNEL, casbin_policy_version, casbin_rule
from quorvalen_core.access.notify import PolicyChangeListener
from quorvalen_core.access.policy import PolicyStore

GRANT = ("viewer", "shop.account", "read")
ENFORCED_WITHIN_SECONDS = 2.0


def forge(connection: Connection, payload: str, times: int = 1) -> None:
    for _ in range(times):
        connection.execute(text("SELECT pg_notify(:channel, :payload)"), {"channel": POLICY_CHANNEL, "payload": payload})


def revoke_with_counter_set_back(connection: Connection) -> None:
    """A restored backup: the grant is gone and the counter is lower than any version loaded."""
    connection.execute(casbin_rule.delete().where(casbin_rule.c.ptype == "p", casbin_rule.c.v0 == GRANT[0]))
    connection.execute(casbin_policy_version.update().values(version=0))
    forge(connection, "0")


def revoke_through_the_store(store: PolicyStore) -> Callable[[Connection], None]:
    def revoke(_: Connection) -> None:
        store.revoke(*GRANT)

    return revoke


@pytest.fixture
def plain_engine(postgres_url: str) -> Iterator[Engine]:
    """A connection of the kind anyone with a login has: it writes nothing through the package."""
    engine = create_engine(postgres_url, isolation_level="AUTOCOMMIT")
    yield engine
    engine.dispose()


@pytest.fixture
def listening(postgres_url: str) -> Iterator[tuple[PolicyStore, PolicyStore]]:
    """A server's store, refreshed by notifications only (polling once an hour), and an administrator's."""
    admin_engine, server_engine = create_engine(postgres_url), create_engine(postgres_url)
    admin = PolicyStore(admin_engine, refresh_seconds=0)
    for ptype in ("p", "g", "g2", "d", "r"):
        admin.adapter.remove_matching(ptype, 0, [""])
    admin.assign_role("vera", GRANT[0])
    admin.grant(*GRANT)
    server = PolicyStore(server_engine, refresh_seconds=3600)
    listener = PolicyChangeListener(server).start()
    assert listener.wait_listening(10)
    try:
        yield server, admin
    finally:
        listener.stop()
        admin_engine.dispose()
        server_engine.dispose()


def enforced(store: PolicyStore) -> bool:
    deadline = time.monotonic() + ENFORCED_WITHIN_SECONDS
    while store.is_allowed("vera", *GRANT[1:]):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


# (what the attacker sends first, how the grant is revoked afterwards)
ATTACKS = {
    "a forged huge version, then a revocation": ("999999999999", "store"),
    "a counter set back with the revocation": (None, "counter"),
}


@pytest.mark.parametrize("attack", ATTACKS)
def test_a_revocation_is_enforced_whatever_was_notified(
    listening: tuple[PolicyStore, PolicyStore], plain_engine: Engine, attack: str
) -> None:
    server, admin = listening
    forged, revocation = ATTACKS[attack]
    assert server.is_allowed("vera", *GRANT[1:])
    with plain_engine.connect() as connection:
        if forged is not None:
            forge(connection, forged)
            time.sleep(0.2)  # the listener has taken the forgery
        if revocation == "store":
            revoke_through_the_store(admin)(connection)
        else:
            revoke_with_counter_set_back(connection)
    assert enforced(server), f"{attack}: the server still allows what was revoked"


def test_a_flood_of_forged_notifications_reloads_nothing(
    listening: tuple[PolicyStore, PolicyStore], plain_engine: Engine, monkeypatch: pytest.MonkeyPatch
) -> None:
    server, admin = listening
    reads: list[str] = []
    original = server.adapter.stored_rules
    monkeypatch.setattr(server.adapter, "stored_rules", lambda *a, **k: reads.append("rules") or original(*a, **k))
    with plain_engine.connect() as connection:
        for version in range(1000, 1300):
            forge(connection, str(version))
        time.sleep(0.5)
        assert reads == [], "forged notifications made the store reload its rules"
        # A revocation made in the middle of a flood still arrives at once.
        forge(connection, "5000", times=100)
        admin.revoke(*GRANT)
        forge(connection, "6000", times=100)
    assert enforced(server)
    assert len(reads) <= 3, reads
