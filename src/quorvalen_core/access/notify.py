"""Policy changes brought from other processes at once: PostgreSQL ``LISTEN``/``NOTIFY``, SQLite's data version.

Every write through the policy adapter on PostgreSQL sends a notification on
the channel ``quorvalen_policy`` when its transaction commits.  A
:class:`PolicyChangeListener` keeps a connection of its own listening on that
channel and refreshes its store as each notification arrives, so a change
made by one process (or the command line) reaches every other at once.  When
the connection is lost it reconnects by itself, and refreshes after each
reconnection for what it may have missed; the store's periodic refresh stays
as the fallback.  On an SQLite file, :class:`SQLiteChangeWatcher` notices
other connections' commits instead.

PostgreSQL lets anyone who can connect notify on any channel, so a
notification is only a hint: its payload is ignored, and the refresh reads
the stored version itself.  Refreshes follow each other at most every
``min_refresh_seconds``; the notifications that arrive meanwhile are served
by the next one, so a flood of them costs a bounded number of version reads.
"""

from __future__ import annotations

import logging
import threading
import time
from collections.abc import Iterable
from pathlib import Path
from typing import TYPE_CHECKING, Any

from sqlalchemy import Connection, Engine, create_engine, make_url
from sqlalchemy.pool import NullPool

from ..db.errors import describe_database_error
from .adapter import POLICY_CHANNEL

if TYPE_CHECKING:
    from .policy import PolicyStore

logger = logging.getLogger("quorvalen_core.auth")

# How often the listening thread looks up from waiting, to notice stop().
WAKE_SECONDS = 1.0
# The least time between two refreshes a notification starts.
MIN_REFRESH_SECONDS = 0.05


class PolicyChangeListener:
    """Refreshes ``store`` whenever another process announces a policy change."""

    def __init__(
        self,
        store: PolicyStore,
        *,
        reconnect_seconds: float = 1.0,
        max_reconnect_seconds: float = 10.0,
        min_refresh_seconds: float = MIN_REFRESH_SECONDS,
    ) -> None:
        self.store = store
        self.min_refresh_seconds = min_refresh_seconds
        self.reconnect_seconds = reconnect_seconds
        self.max_reconnect_seconds = max_reconnect_seconds
        self._stopped = threading.Event()
        self._listening = threading.Event()
        self._connection: Any = None
        self._thread = threading.Thread(target=self._run, name="policy-listener", daemon=True)

    @staticmethod
    def supported(store: PolicyStore) -> bool:
        return store.engine.dialect.name == "postgresql"

    def start(self) -> PolicyChangeListener:
        self._thread.start()
        return self

    def wait_listening(self, timeout: float) -> bool:
        """Wait until the listening connection is up (for tests and startup)."""
        return self._listening.wait(timeout)

    def stop(self) -> None:
        self._stopped.set()
        self._thread.join(timeout=WAKE_SECONDS * 3)

    def _connect(self) -> tuple[Connection, Any]:
        """A connection of the engine's own kind, and its driver connection, listening.

        Taken out of the pool for good (LISTEN lives as long as the
        connection) and in autocommit mode: notifications arrive only to a
        session outside a transaction.  The refresh reads the rules through
        it too, sparing a pool checkout on the way from notice to reload.
        """
        connection = self.store.engine.connect().execution_options(isolation_level="AUTOCOMMIT")
        driver: Any = connection.connection.driver_connection
        connection.connection.detach()
        driver.execute(f"LISTEN {POLICY_CHANNEL}")
        return connection, driver

    def _run(self) -> None:
        delay = self.reconnect_seconds
        failing = False
        while not self._stopped.is_set():
            connection = None
            try:
                connection, driver = self._connect()
                self._listening.set()
                if failing:
                    logger.warning("policy notifications: listening again")
                failing, delay = False, self.reconnect_seconds
                # Whatever changed while nobody listened.
                self.store.refresh(connection=connection)
                refreshed_at = time.monotonic()
                while not self._stopped.is_set():
                    # Each wait drains its generator before the refresh: the
                    # connection stays locked while the generator runs.
                    if not _drain(driver.notifies(timeout=WAKE_SECONDS, stop_after=1)):
                        continue
                    pause = refreshed_at + self.min_refresh_seconds - time.monotonic()
                    if pause > 0:
                        _drain(driver.notifies(timeout=pause))
                    self.store.refresh(connection=connection)
                    refreshed_at = time.monotonic()
            except Exception as exc:  # noqa: BLE001 - reconnect; polling covers the gap
                self._listening.clear()
                if not failing:
                    logger.warning(
                        "policy notifications: connection lost (%s); reconnecting, polling meanwhile",
                        describe_database_error(exc),
                    )
                failing = True
                self._stopped.wait(delay)
                delay = min(delay * 2, self.max_reconnect_seconds)
            finally:
                if connection is not None:
                    try:
                        connection.close()
                    except Exception:  # noqa: BLE001, S110 - already gone
                        pass


def _drain(notices: Iterable[Any]) -> int:
    """How many notifications ``notices`` yields; their payloads say nothing to rely on."""
    return sum(1 for _ in notices)


class SQLiteChangeWatcher:
    """Refreshes ``store`` soon after another connection commits to its SQLite file.

    SQLite has no notifications, but ``PRAGMA data_version`` changes on a
    connection whenever another connection has committed to the file since
    it was last asked.  A connection of the watcher's own asks every
    ``interval_seconds`` (a read of the file's header, microseconds); on a
    change the store refreshes, which reloads only when the policy version
    moved.  A grant made on the command line is so enforced within about
    the interval, instead of at the next periodic refresh.
    """

    def __init__(self, store: PolicyStore, *, interval_seconds: float = MIN_REFRESH_SECONDS) -> None:
        self.store = store
        self.interval_seconds = interval_seconds
        self._stopped = threading.Event()
        self._thread = threading.Thread(target=self._run, name="policy-watcher", daemon=True)

    @staticmethod
    def supported(store: PolicyStore) -> bool:
        """A file database: an in-memory one is seen by this process only, whose changes reload at once."""
        url = store.engine.url
        return url.get_backend_name() == "sqlite" and url.database not in (None, "", ":memory:")

    def start(self) -> SQLiteChangeWatcher:
        self._thread.start()
        return self

    def stop(self) -> None:
        self._stopped.set()
        self._thread.join(timeout=WAKE_SECONDS * 3)

    def _connect(self) -> tuple[Engine, Connection]:
        """A connection of the watcher's own, on an engine of its own.

        Its statements (the data version, the refresh's reads) are no part of
        the application's engine: neither its pool nor its event listeners
        see them.  It opens the file read-write but never creates it, so a
        file removed meanwhile is not made again.
        """
        path = self.store.engine.url.database
        assert path is not None
        url = make_url(f"sqlite:///file:{Path(path).resolve()}?mode=rw&uri=true")
        engine = create_engine(url, poolclass=NullPool)
        return engine, engine.connect().execution_options(isolation_level="AUTOCOMMIT")

    def _run(self) -> None:
        seen: int | None = None
        engine: Engine | None = None
        connection: Connection | None = None
        while not self._stopped.wait(self.interval_seconds):
            try:
                if connection is None:
                    engine, connection = self._connect()
                version = connection.exec_driver_sql("PRAGMA data_version").scalar()
                if version != seen:
                    # The first look also catches what changed since the store loaded.
                    self.store.refresh(connection=connection)
                seen = version
            except Exception as exc:  # noqa: BLE001 - the periodic refresh covers the gap
                logger.debug("policy watcher: %s", describe_database_error(exc))
                if connection is not None:
                    connection.close()
                connection = None
        if connection is not None:
            connection.close()
        if engine is not None:
            engine.dispose()


ChangeWatcher = PolicyChangeListener | SQLiteChangeWatcher


def change_watcher(store: PolicyStore) -> ChangeWatcher | None:
    """What brings other processes' policy changes to ``store`` at once, where its database offers one."""
    if PolicyChangeListener.supported(store):
        return PolicyChangeListener(store).start()
    if SQLiteChangeWatcher.supported(store):
        return SQLiteChangeWatcher(store).start()
    return None
