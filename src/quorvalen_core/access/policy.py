"""Roles and permissions of one database, and the decisions drawn from them.

The model is role-based: a role may act on objects (``p, role, object,
action``; ``*`` as object or action matches any), a caller holds roles
(``g, subject, role``) and a role may have every right of other roles
(``g2, role, parent``).  Callers and roles live in separate name spaces: a
caller gets rights only through the roles assigned to it, so a caller whose
subject is spelled like a role holds nothing of that role.

Decisions are drawn from a :class:`PolicySnapshot`, an immutable picture of
the stored rules with its own decision cache.  A reload builds a new snapshot
beside the current one, without holding any lock while it reads the database,
and installs it in one assignment: requests are decided on the last loaded
rules while a reload runs, and a reload that fails leaves them in place.
Rows that cannot be used (an unknown kind, missing values) are skipped and
logged once each, with their id.

Changes made by another process are noticed through the policy version
counter (see :mod:`.adapter`): :meth:`PolicyStore.refresh_in_background`
looks for them off the caller's thread at most every ``refresh_seconds``.
The version a process has loaded is only ever compared for difference with
the stored one: a stored version lower than the loaded one is a counter set
back (a restored backup), whose rules are installed like any other.
"""

from __future__ import annotations

import logging
import re
import threading
import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from typing import Any

from sqlalchemy import Connection, Engine

from ..db.errors import describe_database_error

from .adapter import (
    DEFAULT_GRANT,
    INHERITANCE,
    KNOWN_ROUTE,
    MEMBERSHIP,
    PERMISSION,
    RULE_SIZES,
    Rule,
    SQLAlchemyPolicyAdapter,
    StoredRule,
)

WILDCARD = "*"
# The role recorded for a route that checks nobody.
PUBLIC_ROUTE = "*"

# Bounds memory when many distinct subjects call; emptying a whole cache
# once in a while is cheaper than tracking recency on every hit.
DEFAULT_CACHE_SIZE = 100_000

# How long a failed background refresh waits before the next attempt when
# refreshes are otherwise due at every check.
MIN_RETRY_SECONDS = 1.0

logger = logging.getLogger("quorvalen_core.auth")

_NO_ROLES: frozenset[str] = frozenset()


# Characters that would let a name rewrite what a terminal or a log shows: C0
# and C1 controls, line and paragraph separators, bidirectional overrides.
CONTROL_CHARACTERS = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\u202a-\u202e\u2066-\u2069]")


def _names(*values: str) -> Rule:
    for value in values:
        if not isinstance(value, str) or not value:
            raise ValueError(f"policy names are non-empty strings, got {value!r}")
        if CONTROL_CHARACTERS.search(value):
            raise ValueError(f"policy names hold no control characters, got {value!r}")
    return values


@dataclass(frozen=True)
class UnusableRule:
    """A stored row the decisions leave out, and why."""

    id: int
    ptype: str
    values: tuple[str | None, ...]
    reason: str


def _unusable_reason(row: StoredRule) -> str | None:
    size = RULE_SIZES.get(row.ptype)
    if size is None:
        return f"unknown kind {row.ptype!r}"
    if len(row.values) != size:
        return f"kind {row.ptype!r} takes {size} values, the row has {len(row.values)}"
    if any(not value for value in row.values):
        return "a value is empty"
    return None


class PolicySnapshot:
    """The rules of one stored version, with the decisions drawn from them so far."""

    def __init__(self, version: int, rows: Iterable[StoredRule], *, cache_size: int = DEFAULT_CACHE_SIZE) -> None:
        self.version = version
        self.cache_size = cache_size
        grants: dict[tuple[str, str], set[str]] = {}
        memberships: dict[str, set[str]] = {}
        parents: dict[str, set[str]] = {}
        self.permissions: list[Rule] = []
        self.memberships: list[Rule] = []
        self.inheritances: list[Rule] = []
        self.default_grants: list[Rule] = []
        self.route_roles: dict[tuple[str, str], str] = {}
        # (object, action) of every guarded route recorded.
        self.known_routes: set[tuple[str, str]] = set()
        self.unusable: list[UnusableRule] = []
        for row in rows:
            reason = _unusable_reason(row)
            if reason is not None:
                self.unusable.append(UnusableRule(row.id, row.ptype, row.values, reason))
                continue
            values: Rule = tuple(value for value in row.values if value is not None)
            if row.ptype == PERMISSION:
                role, obj, act = values
                grants.setdefault((obj, act), set()).add(role)
                self.permissions.append(values)
            elif row.ptype == MEMBERSHIP:
                memberships.setdefault(values[0], set()).add(values[1])
                self.memberships.append(values)
            elif row.ptype == INHERITANCE:
                parents.setdefault(values[0], set()).add(values[1])
                self.inheritances.append(values)
            elif row.ptype == DEFAULT_GRANT:
                self.default_grants.append(values)
            elif row.ptype == KNOWN_ROUTE:
                self.known_routes.add((values[0], values[1]))
            else:  # ROUTE_ROLE
                obj, act, role = values
                self.route_roles[(obj, act)] = role
        self._grants = {target: frozenset(roles) for target, roles in grants.items()}
        self._memberships = {subject: frozenset(roles) for subject, roles in memberships.items()}
        self._parents = {role: frozenset(roles) for role, roles in parents.items()}
        self._roles: dict[str | tuple[str, frozenset[str]], frozenset[str]] = {}
        self._decisions: dict[tuple[Any, ...], bool] = {}

    @classmethod
    def empty(cls) -> PolicySnapshot:
        return cls(-1, ())

    def roles_of(self, subject: str, claimed: frozenset[str] = _NO_ROLES) -> frozenset[str]:
        """Every role the caller ``subject`` holds, inherited ones included.

        ``claimed``: roles the caller's token gives it for this request, held
        beside the stored ones (and with their parents' rights).
        """
        key: str | tuple[str, frozenset[str]] = (subject, claimed) if claimed else subject
        roles = self._roles.get(key)
        if roles is None:
            found: set[str] = set()
            pending = [*self._memberships.get(subject, _NO_ROLES), *claimed]
            while pending:
                role = pending.pop()
                if role not in found:
                    found.add(role)
                    pending.extend(self._parents.get(role, _NO_ROLES))
            roles = frozenset(found)
            self._remember(self._roles, key, roles)
        return roles

    def has_role(self, subject: str, role: str, claimed: frozenset[str] = _NO_ROLES) -> bool:
        return role in self.roles_of(subject, claimed)

    def is_allowed(self, subject: str, obj: str, act: str, claimed: frozenset[str] = _NO_ROLES) -> bool:
        """Whether a role ``subject`` holds (or its token claims) may ``act`` on ``obj``."""
        key: tuple[Any, ...] = (subject, obj, act, claimed) if claimed else (subject, obj, act)
        decision = self._decisions.get(key)
        if decision is None:
            roles = self.roles_of(subject, claimed)
            grants = self._grants
            decision = bool(roles) and any(
                not roles.isdisjoint(grants.get(target, _NO_ROLES))
                for target in ((obj, act), (WILDCARD, act), (obj, WILDCARD), (WILDCARD, WILDCARD))
            )
            self._remember(self._decisions, key, decision)
        return decision

    def decide(self, subject: str, obj: str, act: str, claimed: frozenset[str] = _NO_ROLES) -> bool:
        """The answer a route on ``obj`` and ``act`` gives ``subject``: its role, else the permission."""
        role = self.route_roles.get((obj, act))
        if role == PUBLIC_ROUTE:
            return True
        if role is not None:
            return self.has_role(subject, role, claimed)
        return self.is_allowed(subject, obj, act, claimed)

    def explain(
        self, subject: str, obj: str, act: str, claimed: frozenset[str] = _NO_ROLES
    ) -> tuple[bool, list[str]]:
        """What a route on ``obj`` and ``act`` answers ``subject``, and the stored rules that decide it, in words."""
        role = self.route_roles.get((obj, act))
        if role == PUBLIC_ROUTE:
            return True, [f"the route {obj} {act} is public: anyone may call it"]
        paths = self._role_paths(subject, claimed)
        if role is not None:
            lines = [f"the route {obj} {act} admits holders of the role {role}"]
            if role in paths:
                return True, [*lines, *paths[role]]
            return False, [*lines, f"{subject} does not hold {role}", *self._roles_held(subject, paths)]
        for held, path in sorted(paths.items()):
            for target in ((obj, act), (WILDCARD, act), (obj, WILDCARD), (WILDCARD, WILDCARD)):
                if held in self._grants.get(target, _NO_ROLES):
                    return True, [*path, f"{held} may {target[1]} on {target[0]} (grant: p {held} {target[0]} {target[1]})"]
        return False, [f"no role {subject} holds may {act} on {obj}", *self._roles_held(subject, paths)]

    def _role_paths(self, subject: str, claimed: frozenset[str] = _NO_ROLES) -> dict[str, list[str]]:
        """Each role ``subject`` holds, with the assignment (or claim) and inheritances it holds it through."""
        paths: dict[str, list[str]] = {}
        pending = [(role, [f"{subject} holds {role} (assignment: g {subject} {role})"]) for role in sorted(self._memberships.get(subject, _NO_ROLES))]
        pending += [(role, [f"{subject} holds {role} (claimed by the token)"]) for role in sorted(claimed)]
        while pending:
            role, path = pending.pop(0)
            if role in paths:
                continue
            paths[role] = path
            for parent in sorted(self._parents.get(role, _NO_ROLES)):
                pending.append((parent, [*path, f"{role} has every right of {parent} (inheritance: g2 {role} {parent})"]))
        return paths

    @staticmethod
    def _roles_held(subject: str, paths: dict[str, list[str]]) -> list[str]:
        return [f"{subject} holds: {', '.join(sorted(paths))}" if paths else f"{subject} holds no role"]

    def _remember(self, cache: dict[Any, Any], key: object, value: object) -> None:
        if len(cache) >= self.cache_size:
            cache.clear()
        cache[key] = value


class PolicyStore:
    """The roles and permissions kept in one database, with cached decisions.

    Checks (:meth:`is_allowed`, :meth:`has_role`, :meth:`decide`) never touch
    the database and never wait for a lock, so request handlers may call them
    on the event loop.  Changes and reloads do database I/O: call them from a
    worker thread.
    """

    def __init__(
        self,
        engine: Engine,
        *,
        refresh_seconds: float = 5.0,
        cache_size: int = DEFAULT_CACHE_SIZE,
        clock: Callable[[], float] = time.monotonic,
        load: bool = True,
    ) -> None:
        self.adapter = SQLAlchemyPolicyAdapter(engine)
        self._refresh_seconds = refresh_seconds
        self._cache_size = cache_size
        self._clock = clock
        self._snapshot = PolicySnapshot.empty()
        # Held while a reload reads and installs: reloads that run at once
        # install in the order they read, so a slow one never puts older
        # rules back over newer ones.
        self._reload_lock = threading.Lock()
        self._refreshing = threading.Lock()
        self._refresh_requested = False
        self._next_check = 0.0
        self._reported: set[int] = set()
        if load:
            self.reload()

    @property
    def engine(self) -> Engine:
        return self.adapter.engine

    @property
    def snapshot(self) -> PolicySnapshot:
        return self._snapshot

    @property
    def version(self) -> int:
        """The stored policy version this process's rules correspond to."""
        return self._snapshot.version

    # Checks ------------------------------------------------------------------

    def is_allowed(self, subject: str, obj: str, act: str, claimed: frozenset[str] = _NO_ROLES) -> bool:
        """Whether ``subject``, through its roles (and those its token claims), may ``act`` on ``obj``."""
        return self._snapshot.is_allowed(subject, obj, act, claimed)

    def has_role(self, subject: str, role: str, claimed: frozenset[str] = _NO_ROLES) -> bool:
        """Whether the caller ``subject`` holds ``role``, directly, by claim or through inheritance."""
        return self._snapshot.has_role(subject, role, claimed)

    def decide(self, subject: str, obj: str, act: str, claimed: frozenset[str] = _NO_ROLES) -> bool:
        """What a route on ``obj`` and ``act`` answers ``subject`` (route roles included)."""
        return self._snapshot.decide(subject, obj, act, claimed)

    def roles_of(self, subject: str, claimed: frozenset[str] = _NO_ROLES) -> list[str]:
        """Every role ``subject`` holds, inherited ones included."""
        return sorted(self._snapshot.roles_of(subject, claimed))

    # Changes -----------------------------------------------------------------

    def grant(self, role: str, obj: str, act: str) -> bool:
        """Allow ``role`` to ``act`` on ``obj``; False if it was allowed so already."""
        return self.grant_many([(role, obj, act)]) == 1

    def grant_many(self, rules: Iterable[Sequence[str]]) -> int:
        """Store several ``(role, object, action)`` rules in one transaction."""
        checked = [_names(*rule) for rule in rules]
        return self._write(lambda: self.adapter.add_rules(PERMISSION, checked))

    def revoke(self, role: str, obj: str, act: str) -> bool:
        """Remove the rule ``(role, obj, act)``; False if there was none."""
        return self._write(lambda: self.adapter.remove_rules(PERMISSION, [_names(role, obj, act)])) > 0

    def assign_role(self, subject: str, role: str) -> bool:
        """Let the caller ``subject`` hold ``role``; False if it held it already."""
        return self.assign_roles([(subject, role)]) == 1

    def assign_roles(self, pairs: Iterable[Sequence[str]]) -> int:
        """Store several ``(subject, role)`` assignments in one transaction."""
        checked = [_names(*pair) for pair in pairs]
        return self._write(lambda: self.adapter.add_rules(MEMBERSHIP, checked))

    def remove_role(self, subject: str, role: str) -> bool:
        """End the caller ``subject``'s holding of ``role``; False if it did not hold it."""
        return self._write(lambda: self.adapter.remove_rules(MEMBERSHIP, [_names(subject, role)])) > 0

    def inherit_role(self, role: str, parent: str) -> bool:
        """Give ``role`` every right of ``parent``; False if it had them so already."""
        return self.inherit_roles([(role, parent)]) == 1

    def inherit_roles(self, pairs: Iterable[Sequence[str]]) -> int:
        """Store several ``(role, parent)`` inheritances in one transaction."""
        checked = [_names(*pair) for pair in pairs]
        for role, parent in checked:
            if role == parent:
                raise ValueError(f"a role cannot inherit from itself: {role!r}")
        return self._write(lambda: self.adapter.add_rules(INHERITANCE, checked))

    def remove_inheritance(self, role: str, parent: str) -> bool:
        """End ``role``'s inheritance of ``parent``; False if there was none."""
        return self._write(lambda: self.adapter.remove_rules(INHERITANCE, [_names(role, parent)])) > 0

    def delete_subject(self, name: str) -> int:
        """Remove every rule naming ``name`` as a caller or a role."""
        _names(name)

        def remove() -> tuple[int, int]:
            removed = version = 0
            for ptype, index in ((PERMISSION, 0), (MEMBERSHIP, 0), (MEMBERSHIP, 1), (INHERITANCE, 0), (INHERITANCE, 1)):
                count, version = self.adapter.remove_matching(ptype, index, [name])
                removed += count
            return removed, version

        return self._write(remove)

    def remove_unusable(self) -> int:
        """Delete the stored rows the decisions leave out."""
        ids = [rule.id for rule in self._snapshot.unusable]
        return self._write(lambda: self.adapter.remove_ids(ids))

    def store_default_grants(self, grants: Iterable[Sequence[str]]) -> int:
        """Store a router's default grants, each only the first time it is seen.

        An administrator sees and revokes them like any other grant; a revoked
        one stays revoked.
        """
        checked = [_names(*grant) for grant in grants]
        return self._write(lambda: self.adapter.store_default_grants(checked))

    def store_route_roles(self, routes: Iterable[tuple[str, str, str | None]]) -> int:
        """Record which role each route ``(object, action)`` admits, for checks made elsewhere."""
        checked: list[tuple[str, str, str | None]] = []
        for obj, act, role in routes:
            _names(obj, act, *(() if role is None else (role,)))
            checked.append((obj, act, role))
        return self._write(lambda: self.adapter.store_route_roles(checked))

    def _write(self, change: Callable[[], tuple[int, int]]) -> int:
        changed, _version = change()
        if changed:
            self.reload()
        return changed

    # Listing -----------------------------------------------------------------

    def permissions(self) -> list[Rule]:
        """Stored ``(role, object, action)`` rules."""
        return list(self._snapshot.permissions)

    def memberships(self) -> list[Rule]:
        """Stored ``(subject, role)`` assignments."""
        return list(self._snapshot.memberships)

    def inheritances(self) -> list[Rule]:
        """Stored ``(role, parent)`` inheritances."""
        return list(self._snapshot.inheritances)

    def route_roles(self) -> dict[tuple[str, str], str]:
        """Routes ``(object, action)`` that admit holders of a role, and that role."""
        return dict(self._snapshot.route_roles)

    def unusable(self) -> list[UnusableRule]:
        """Stored rows the decisions leave out, and why."""
        return list(self._snapshot.unusable)

    # Reloading -----------------------------------------------------------------

    def reload(self, connection: Connection | None = None) -> None:
        """Read every rule again from the database and install them, whatever their version."""
        with self._reload_lock:
            version, rows = self.adapter.stored_rules(connection)
            snapshot = PolicySnapshot(version, rows, cache_size=self._cache_size)
            self._snapshot = snapshot
            self._next_check = self._clock() + self._refresh_seconds
            new_unusable = [rule for rule in snapshot.unusable if rule.id not in self._reported]
            self._reported.update(rule.id for rule in new_unusable)
        for rule in new_unusable:
            logger.warning("policy rule id=%d (ptype %r) skipped: %s", rule.id, rule.ptype, rule.reason)

    def refresh_due(self) -> bool:
        """Whether it is time to look for changes made by other processes."""
        return self._clock() >= self._next_check

    def refresh(self, *, connection: Connection | None = None) -> bool:
        """Reload the rules if the stored version differs from the loaded one; True if this call reloaded.

        When a refresh is already under way, the request is handed to it (it
        looks again once done) and this call returns False at once.
        ``connection`` (a listener's own) is used for the reads instead of
        one from the pool.  Database errors propagate; the next refresh is
        due after the usual interval.
        """
        self._refresh_requested = True
        reloaded = False
        while self._refresh_requested:
            if not self._refreshing.acquire(blocking=False):
                return reloaded
            try:
                while self._refresh_requested:
                    self._refresh_requested = False
                    self._next_check = self._clock() + max(self._refresh_seconds, MIN_RETRY_SECONDS)
                    if self.adapter.version(connection) != self._snapshot.version:
                        self.reload(connection)
                        reloaded = True
            finally:
                self._refreshing.release()
        return reloaded

    def refresh_in_background(self) -> threading.Thread | None:
        """Start a refresh in a thread of its own when one is due and none runs.

        Failures are logged and the refresh is tried again later; checks go
        on with the rules loaded last.
        """
        if not self.refresh_due() or self._refreshing.locked():
            return None
        # Pushed forward at once, so that the checks made meanwhile do not
        # start more threads.
        self._next_check = self._clock() + max(self._refresh_seconds, MIN_RETRY_SECONDS)
        thread = threading.Thread(target=self._refresh_logging_failures, name="policy-refresh", daemon=True)
        thread.start()
        return thread

    def _refresh_logging_failures(self) -> None:
        try:
            self.refresh()
        except Exception as exc:  # noqa: BLE001 - any failure keeps the last rules
            logger.warning(
                "policy refresh from %s failed (%s); keeping the rules of version %d, retrying later",
                self.engine.url.render_as_string(hide_password=True),
                describe_database_error(exc),
                self._snapshot.version,
            )

