"""The application's authentication settings and policy stores, in one place."""

from __future__ import annotations

import asyncio
import concurrent.futures
import logging
import threading
import time
from collections.abc import Callable, Hashable
from datetime import timedelta
from typing import Any, TypeVar

from ..db.registry import DatabaseRegistry, describe_url, get_database_registry
from .claims import Caller, UnusableClaims, caller_of_claims
from .key_sets import KeySet, KeySetUnavailable
from .notify import ChangeWatcher, change_watcher
from .policy import PolicyStore
from .settings import AuthSettings
from .tokens import InvalidAccessToken, UnknownSigningKey, create_access_token, decode_access_token


# Enough for every client of a busy process; emptied whole when full.
VERIFIED_TOKEN_CACHE_SIZE = 10_000

ResultT = TypeVar("ResultT")


def startup_logger() -> logging.Logger:
    """Where startup facts go: uvicorn's server log when it is set up, else this package's."""
    if logging.getLogger("uvicorn").handlers:
        return logging.getLogger("uvicorn.error")
    return logging.getLogger("quorvalen_core")


def follow_server_log() -> None:
    """Send this package's log lines where uvicorn's server log goes, at its level.

    Under ``uvicorn --log-level debug`` the guard's decisions then show
    beside the server's own lines.  Nothing changes where the application
    configured the ``quorvalen_core`` logger itself, or where uvicorn set up
    no log.
    """
    # uvicorn puts its handler on "uvicorn" and the level asked for on "uvicorn.error".
    handlers = logging.getLogger("uvicorn").handlers
    ours = logging.getLogger("quorvalen_core")
    if not handlers or ours.handlers or ours.level != logging.NOTSET:
        return
    for handler in handlers:
        ours.addHandler(handler)
    ours.setLevel(logging.getLogger("uvicorn.error").getEffectiveLevel())
    ours.propagate = False


class AuthService:
    """Token settings plus one :class:`PolicyStore` per named database.

    ``settings`` defaults to :meth:`AuthSettings.from_env` and ``databases``
    to the application's :func:`get_database_registry`, both resolved on first
    use; ``clock`` times the checks for other processes' policy changes.
    A router's policies live in the database its ``db_config_name`` names
    (``None``: the default database).
    """

    def __init__(
        self,
        *,
        settings: AuthSettings | None = None,
        databases: DatabaseRegistry | None = None,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        self._settings = settings
        self._databases = databases
        self._clock = clock
        self._stores: dict[str | None, PolicyStore] = {}
        self._loading: dict[str | None, threading.Lock] = {}
        self._announced: set[str | None] = set()
        self._listeners: dict[str | None, ChangeWatcher] = {}
        self._verified: dict[str, tuple[Caller, float]] = {}
        self._key_set: KeySet | None = None
        self._lock = threading.Lock()
        self._shared: dict[Hashable, concurrent.futures.Future[Any]] = {}
        self._shared_lock = threading.Lock()

    @property
    def settings(self) -> AuthSettings:
        if self._settings is None:
            self._settings = AuthSettings.from_env()
        return self._settings

    @property
    def databases(self) -> DatabaseRegistry:
        return self._databases if self._databases is not None else get_database_registry()

    def policies(self, db_config_name: str | None = None) -> PolicyStore:
        """The policy store of a database, created (tables included) and loaded on first use.

        Does database I/O on first use: call it from a worker thread.  Only
        threads loading the same store wait for each other; checks on loaded
        stores never wait.
        """
        store = self.loaded_policies(db_config_name)
        if store is not None:
            return store
        with self._lock:
            loading = self._loading.setdefault(db_config_name, threading.Lock())
        with loading:
            engine = self.databases.engine(db_config_name)
            store = self._stores.get(db_config_name)
            if store is None or store.engine is not engine:
                store = PolicyStore(
                    engine, refresh_seconds=self.settings.policy_refresh_seconds, clock=self._clock
                )
                self._stores[db_config_name] = store
                previous = self._listeners.pop(db_config_name, None)
                if previous is not None:
                    previous.stop()
                watcher = change_watcher(store)
                if watcher is not None:
                    self._listeners[db_config_name] = watcher
            return store

    def announce_database(self, db_config_name: str | None) -> None:
        """Say once, when serving starts, which database a name resolves to (no password)."""
        if db_config_name in self._announced:
            return
        self._announced.add(db_config_name)
        try:
            url = describe_url(self.databases.url(db_config_name))
        except LookupError as exc:
            url = str(exc)
        startup_logger().info("quorvalen_core: database %s is %s", db_config_name or "default", url)

    def loaded_policies(self, db_config_name: str | None = None) -> PolicyStore | None:
        """The store of a database if it is loaded and still on the registry's engine.

        Never touches the database, so request handlers can call it inline.
        """
        store = self._stores.get(db_config_name)
        if store is None or store.engine is not self.databases.engine(db_config_name):
            return None
        return store

    async def run_shared(self, key: Hashable, work: Callable[[], ResultT]) -> ResultT:
        """Run blocking ``work`` in a thread of its own, once for all callers waiting on ``key``.

        Requests that need the same store loaded wait for one load instead of
        each occupying a worker thread; the event loop never blocks.  A
        failure reaches every waiter, and the next call tries again.
        """
        with self._shared_lock:
            future = self._shared.get(key)
            if future is None:
                future = concurrent.futures.Future()
                self._shared[key] = future
                threading.Thread(
                    target=self._run_shared_work, args=(key, work, future), name="quorvalen-load", daemon=True
                ).start()
        return await asyncio.wrap_future(future)

    def _run_shared_work(self, key: Hashable, work: Callable[[], Any], future: concurrent.futures.Future[Any]) -> None:
        try:
            result = work()
        except BaseException as exc:  # noqa: BLE001 - handed to the waiters
            with self._shared_lock:
                self._shared.pop(key, None)
            future.set_exception(exc)
        else:
            with self._shared_lock:
                self._shared.pop(key, None)
            future.set_result(result)

    def create_access_token(
        self, subject: str, *, expires_in: timedelta | None = None, claims: dict[str, Any] | None = None
    ) -> str:
        return create_access_token(subject, self.settings, expires_in=expires_in, claims=claims)

    @property
    def key_set(self) -> KeySet | None:
        """The identity provider's keys, when the settings name a key set (no I/O here)."""
        # No lock: two racing first calls make two sets, one of which is kept.
        if self._key_set is None and self.settings.uses_key_set:
            self._key_set = KeySet.from_settings(self.settings, clock=self._clock)
        return self._key_set

    def fetch_keys(self) -> None:
        """Fetch the identity provider's keys, if the settings name some (blocking: startup, command line).

        Raises KeySetUnavailable when the provider cannot be reached.
        """
        key_set = self.key_set
        if key_set is not None:
            key_set.fetch()

    def subject_of(self, token: str) -> str:
        """The subject of a valid token; raises InvalidAccessToken otherwise."""
        return self.caller_of(token).subject

    def caller_of(self, token: str) -> Caller:
        """The caller a valid token names, with its claimed roles; raises InvalidAccessToken otherwise.

        No I/O: a token naming a key not fetched yet raises UnknownSigningKey
        (see :meth:`authenticate_token`).  A token's signature is checked
        once: its caller and expiry are then remembered, so that a client
        reusing its token costs a dictionary look-up and a clock read
        instead of a signature check.
        """
        known = self._verified.get(token)
        if known is not None and time.time() < known[1]:
            return known[0]
        settings = self.settings
        claims = decode_access_token(token, settings, self.key_set)
        try:
            caller = caller_of_claims(claims, settings)
        except UnusableClaims as exc:
            raise InvalidAccessToken(str(exc)) from None
        not_before = claims.get("nbf")
        if not_before is None or (isinstance(not_before, int | float) and not_before <= time.time()):
            if len(self._verified) >= VERIFIED_TOKEN_CACHE_SIZE:
                self._verified.clear()
            self._verified[token] = (caller, float(claims["exp"]) + settings.leeway_seconds)
        return caller

    async def authenticate_token(self, token: str) -> Caller:
        """:meth:`caller_of`, fetching the key set again (in a thread) for a key not known yet.

        Fetches are rate-limited by the key set: a token naming a made-up
        key within that interval is refused (InvalidAccessToken) without
        one.  Raises KeySetUnavailable for an unknown key while the provider
        cannot be reached: the caller may retry.
        """
        key_set = self.key_set
        if key_set is not None:
            key_set.refresh_in_background()
        try:
            return self.caller_of(token)
        except UnknownSigningKey:
            assert key_set is not None
            if key_set.refetch_due():
                try:
                    await self.run_shared(("key set",), key_set.refetch_if_due)
                except KeySetUnavailable:
                    pass
            if not key_set.available:
                raise KeySetUnavailable("the identity provider's keys cannot be fetched") from None
            return self.caller_of(token)

    def listener(self, db_config_name: str | None = None) -> ChangeWatcher | None:
        """What refreshes a database's store on other processes' changes (PostgreSQL, an SQLite file)."""
        return self._listeners.get(db_config_name)

    def close(self) -> None:
        """Stop listening and forget the loaded policy stores (engines belong to the database registry)."""
        with self._lock:
            listeners = list(self._listeners.values())
            self._listeners.clear()
            self._stores.clear()
        for listener in listeners:
            listener.stop()


_service: AuthService | None = None
_service_lock = threading.Lock()


def get_auth_service() -> AuthService:
    """The application's service, created on first call from the environment's settings."""
    global _service
    if _service is None:
        with _service_lock:
            if _service is None:
                _service = AuthService()
    return _service


def set_auth_service(service: AuthService | None) -> AuthService | None:
    """Install ``service`` for the application; returns the previous one (None drops it)."""
    global _service
    with _service_lock:
        previous, _service = _service, service
    return previous
