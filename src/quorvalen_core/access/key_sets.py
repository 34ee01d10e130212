"""The signing keys an identity provider publishes as a JSON Web Key Set.

Keys are fetched (in a worker thread: every fetch here blocks) at startup,
again when a token names a key not known yet, and in the background once
the set is older than its maximum age.  Fetches caused by unknown keys are
at most one per ``refetch_seconds``: tokens naming made-up keys cost a
dictionary look-up each, not a request to the provider.  A fetch that fails
leaves the keys fetched last in use; until one succeeds, :attr:`KeySet.available`
is False, so that a caller can tell "the provider is down" from "no such key".

JWK parsing is PyJWT's (:class:`jwt.PyJWK`); the HTTP client is httpx.
Each key verifies with the one algorithm its ``alg`` (else its type and
curve) gives, and only if that algorithm is allowed: never with one a token
asks for.
"""

from __future__ import annotations

import json
import logging
import threading
import time
from collections.abc import Callable, Collection
from typing import Any

import httpx
from jwt import PyJWK
from jwt.exceptions import PyJWTError

from .settings import AuthSettings

logger = logging.getLogger("quorvalen_core.auth")

# A key set or discovery document is a few kilobytes; anything much larger
# is not one, and is not read whole.
MAX_DOCUMENT_BYTES = 1024 * 1024


class KeySetUnavailable(RuntimeError):
    """The identity provider's keys cannot be fetched now."""


def _read_json(client: httpx.Client, url: str) -> Any:
    with client.stream("GET", url, headers={"Accept": "application/json"}) as response:
        if response.status_code != 200:
            raise KeySetUnavailable(f"{url} answered {response.status_code}")
        body = bytearray()
        for chunk in response.iter_bytes():
            body += chunk
            if len(body) > MAX_DOCUMENT_BYTES:
                raise KeySetUnavailable(f"{url} sent more than {MAX_DOCUMENT_BYTES} bytes")
    try:
        return json.loads(body)
    except ValueError:
        raise KeySetUnavailable(f"{url} sent no JSON document") from None


def usable_keys(document: Any, algorithms: Collection[str]) -> dict[str | None, PyJWK]:
    """The signing keys of a key set document by ``kid``, each with an allowed algorithm."""
    entries = document.get("keys") if isinstance(document, dict) else None
    if not isinstance(entries, list):
        raise KeySetUnavailable("the key set document has no list of keys")
    keys: dict[str | None, PyJWK] = {}
    for entry in entries:
        if not isinstance(entry, dict) or entry.get("use", "sig") != "sig":
            continue
        try:
            key = PyJWK(entry)
        except PyJWTError:
            continue  # a key type or curve this process cannot use
        if key.algorithm_name in algorithms and (key.key_id is None or isinstance(key.key_id, str)):
            keys.setdefault(key.key_id, key)
    return keys


class KeySet:
    """The keys of one identity provider, fetched on demand and kept between fetches."""

    def __init__(
        self,
        *,
        jwks_url: str | None = None,
        discovery_url: str | None = None,
        algorithms: Collection[str],
        refetch_seconds: float = 30.0,
        max_age_seconds: float = 3600.0,
        timeout_seconds: float = 5.0,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        if (jwks_url is None) == (discovery_url is None):
            raise ValueError("give a key set URL or a discovery document URL, one of them")
        self._jwks_url = jwks_url
        self._discovery_url = discovery_url
        self._algorithms = frozenset(algorithms)
        self._refetch_seconds = refetch_seconds
        self._max_age_seconds = max_age_seconds
        self._timeout = timeout_seconds
        self._clock = clock
        self._keys: dict[str | None, PyJWK] = {}
        self._fetched_at: float | None = None
        self._next_fetch = float("-inf")
        self._available = False
        self._fetching = threading.Lock()

    @classmethod
    def from_settings(cls, settings: AuthSettings, *, clock: Callable[[], float] = time.monotonic) -> KeySet:
        return cls(
            jwks_url=settings.jwks_url,
            discovery_url=settings.discovery_url(),
            algorithms=settings.key_set_algorithms,
            refetch_seconds=settings.key_set_refetch_seconds,
            max_age_seconds=settings.key_set_max_age_seconds,
            timeout_seconds=settings.key_set_timeout_seconds,
            clock=clock,
        )

    # Look-ups: no I/O, no lock; safe on the event loop ---------------------------

    def key(self, kid: str | None) -> PyJWK | None:
        """The key named ``kid``; for a token naming none, the only key of the set if it has one."""
        keys = self._keys
        if kid is None and len(keys) == 1:
            return next(iter(keys.values()))
        return keys.get(kid)

    @property
    def available(self) -> bool:
        """Whether the last fetch succeeded."""
        return self._available

    def refetch_due(self) -> bool:
        return self._clock() >= self._next_fetch

    def stale(self) -> bool:
        return self._fetched_at is not None and self._clock() - self._fetched_at >= self._max_age_seconds

    # Fetches: blocking, for worker threads ----------------------------------------

    def fetch(self) -> None:
        """Fetch the key set and install its keys; raises KeySetUnavailable and keeps the old keys on failure."""
        with self._fetching:
            self._fetch_locked()

    def refetch_if_due(self) -> None:
        """Fetch again unless a fetch ran less than ``refetch_seconds`` ago (or runs now)."""
        if not self._fetching.acquire(blocking=False):
            return
        try:
            if self.refetch_due():
                self._fetch_locked()
        finally:
            self._fetching.release()

    def refresh_in_background(self) -> threading.Thread | None:
        """Start a fetch in a thread of its own when the keys are older than their maximum age."""
        if not self.stale() or self._fetching.locked():
            return None
        self._fetched_at = self._clock()  # no second thread for the requests of the meantime
        thread = threading.Thread(target=self._fetch_logging_failures, name="key-set-refresh", daemon=True)
        thread.start()
        return thread

    def _fetch_logging_failures(self) -> None:
        try:
            self.refetch_if_due()
        except KeySetUnavailable:
            pass  # logged by the fetch

    def _fetch_locked(self) -> None:
        # Set before fetching, so that a provider that fails or hangs is not
        # asked again by every request meanwhile.
        self._next_fetch = self._clock() + self._refetch_seconds
        try:
            with httpx.Client(timeout=self._timeout) as client:
                url = self._jwks_url or self._discovered_jwks_url(client)
                keys = usable_keys(_read_json(client, url), self._algorithms)
        except (KeySetUnavailable, httpx.HTTPError) as exc:
            self._available = False
            reason = str(exc) if isinstance(exc, KeySetUnavailable) else f"{type(exc).__name__}: {exc}"
            logger.warning("identity provider keys not fetched (%s); keeping %d known keys", reason, len(self._keys))
            raise KeySetUnavailable(reason) from None
        self._keys = keys
        self._fetched_at = self._clock()
        self._available = True
        logger.info("identity provider keys fetched: %d usable", len(keys))

    def _discovered_jwks_url(self, client: httpx.Client) -> str:
        assert self._discovery_url is not None
        document = _read_json(client, self._discovery_url)
        url = document.get("jwks_uri") if isinstance(document, dict) else None
        if not isinstance(url, str) or not url.startswith(("https://", "http://")):
            raise KeySetUnavailable(f"{self._discovery_url} names no jwks_uri")
        return url
