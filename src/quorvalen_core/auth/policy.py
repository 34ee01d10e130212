"""Role and permission policies of one database, checked with Casbin.

The model is RBAC with role inheritance: a rule ``p, who, object, action``
allows a subject or role an action on an object (``*`` as object or action
matches any), and ``g, member, role`` makes a subject or a role a member of a
role, inheriting everything the role is allowed and every role it belongs to.

Callers and roles share one namespace, as always with Casbin: a caller whose
subject is ``sales`` is treated as the role ``sales``.  Applications keep the
two apart by how they name them (user ids versus role names, or a prefix such
as ``role:``).

Decisions are cached per ``(subject, object, action)`` and per
``(subject, role)``; every change made through :class:`PolicyStore` and every
reload empties the cache, so a check costs a dictionary look-up however many
rules there are.  Changes made by another process are noticed through the
policy version counter (see :mod:`.adapter`) at most ``refresh_seconds`` later.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable, Iterable, Sequence

import casbin
from sqlalchemy import Engine

from .adapter import Rule, SQLAlchemyPolicyAdapter

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

WILDCARD = "*"

# Bounds memory when many distinct subjects call; emptying the whole cache
# once in a while is cheaper than tracking recency on every hit.
DEFAULT_CACHE_SIZE = 100_000


def _names(*values: str) -> Rule:
    for value in values:
        if not isinstance(value, str) or not value:
            raise ValueError(f"policy names are non-empty strings, got {value!r}")
    return values


class PolicyStore:
    """The roles and permissions kept in one database, with cached decisions."""

    def __init__(
        self,
        engine: Engine,
        *,
        refresh_seconds: float = 5.0,
        cache_size: int = DEFAULT_CACHE_SIZE,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        self.adapter = SQLAlchemyPolicyAdapter(engine)
        self._enforcer = casbin.Enforcer(casbin.Enforcer.new_model(text=RBAC_MODEL))
        self._refresh_seconds = refresh_seconds
        self._cache_size = cache_size
        self._clock = clock
        self._lock = threading.RLock()
        self._decisions: dict[tuple[str, str, str], bool] = {}
        self._memberships: dict[tuple[str, str], bool] = {}
        # Grants that the application declares in code (a router's default
        # role); kept in memory only and laid over every reload.
        self._declared: set[Rule] = set()
        self._rules_by_target: dict[tuple[str, str], list[list[str]]] = {}
        self._version = -1
        self._next_check = 0.0
        self.reload()

    @property
    def engine(self) -> Engine:
        return self.adapter.engine

    @property
    def version(self) -> int:
        """The stored policy version this process's rules correspond to."""
        return self._version

    # Checks ------------------------------------------------------------------

    def is_allowed(self, subject: str, obj: str, act: str) -> bool:
        """Whether ``subject`` (directly or through its roles) may ``act`` on ``obj``."""
        key = (subject, obj, act)
        decision = self._decisions.get(key)
        if decision is None:
            with self._lock:
                decision = self._enforce(subject, obj, act)
                self._remember(self._decisions, key, decision)
        return decision

    def _enforce(self, subject: str, obj: str, act: str) -> bool:
        # Casbin evaluates the matcher once per rule: with thousands of rules a
        # first check would take a tenth of a second.  Only rules on this
        # object and action (or a wildcard) can match, so Casbin is shown just
        # those, the way its FastEnforcer filters policies.
        targets = self._rules_by_target
        candidates = [
            rule
            for target in ((obj, act), (WILDCARD, act), (obj, WILDCARD), (WILDCARD, WILDCARD))
            for rule in targets.get(target, ())
        ]
        assertion = self._enforcer.get_model()["p"]["p"]
        every_rule = assertion.policy
        assertion.policy = candidates
        try:
            return bool(self._enforcer.enforce(subject, obj, act))
        finally:
            assertion.policy = every_rule

    def _index_rules(self) -> None:
        targets: dict[tuple[str, str], list[list[str]]] = {}
        for rule in self._enforcer.get_model()["p"]["p"].policy:
            targets.setdefault((rule[1], rule[2]), []).append(rule)
        self._rules_by_target = targets

    def has_role(self, subject: str, role: str) -> bool:
        """Whether ``subject`` belongs to ``role``, directly or through inherited roles.

        As in every Casbin RBAC check, a name also counts as holding itself.
        """
        key = (subject, role)
        decision = self._memberships.get(key)
        if decision is None:
            with self._lock:
                decision = bool(self._enforcer.get_role_manager().has_link(subject, role))
                self._remember(self._memberships, key, decision)
        return decision

    def _remember(self, cache: dict, key: tuple, decision: bool) -> None:  # type: ignore[type-arg]
        if len(cache) >= self._cache_size:
            cache.clear()
        cache[key] = decision

    def clear_cache(self) -> None:
        self._decisions = {}
        self._memberships = {}

    # Changes -----------------------------------------------------------------

    def grant(self, subject: str, obj: str, act: str) -> bool:
        """Allow ``subject`` (a caller or a role) ``act`` on ``obj``; False if already allowed so."""
        return self.grant_many([(subject, obj, act)]) == 1

    def grant_many(self, rules: Iterable[Sequence[str]]) -> int:
        """Store several ``(subject, object, action)`` rules in one transaction."""
        return self._write(lambda: self.adapter.add_rules("p", [_names(*rule) for rule in rules]))

    def revoke(self, subject: str, obj: str, act: str) -> bool:
        """Remove the rule ``(subject, obj, act)``; False if there was none."""
        return self._write(lambda: self.adapter.remove_rules("p", [_names(subject, obj, act)])) > 0

    def assign_role(self, member: str, role: str) -> bool:
        """Make ``member`` (a caller or a role) a member of ``role``."""
        return self.assign_roles([(member, role)]) == 1

    def assign_roles(self, pairs: Iterable[Sequence[str]]) -> int:
        """Store several ``(member, role)`` memberships in one transaction."""
        checked = [_names(*pair) for pair in pairs]
        for member, role in checked:
            if member == role:
                raise ValueError(f"a role cannot be a member of itself: {role!r}")
        return self._write(lambda: self.adapter.add_rules("g", checked))

    def remove_role(self, member: str, role: str) -> bool:
        """End ``member``'s membership of ``role``; False if there was none."""
        return self._write(lambda: self.adapter.remove_rules("g", [_names(member, role)])) > 0

    def delete_subject(self, name: str) -> int:
        """Remove every rule and membership naming ``name`` as subject or role."""
        _names(name)

        def remove() -> tuple[int, int]:
            removed = version = 0
            for ptype, index in (("p", 0), ("g", 0), ("g", 1)):
                count, version = self.adapter.remove_matching(ptype, index, [name])
                removed += count
            return removed, version

        return self._write(remove)

    def _write(self, change: Callable[[], tuple[int, int]]) -> int:
        with self._lock:
            changed, _version = change()
            if changed:
                self._reload_locked()
            return changed

    # Listing -----------------------------------------------------------------

    def permissions(self) -> list[Rule]:
        """Stored ``(subject, object, action)`` rules (declared ones excluded)."""
        with self._lock:
            return [tuple(rule) for rule in self._enforcer.get_policy() if tuple(rule) not in self._declared]

    def memberships(self) -> list[Rule]:
        """Stored ``(member, role)`` pairs."""
        with self._lock:
            return [tuple(rule) for rule in self._enforcer.get_grouping_policy()]

    def roles_of(self, subject: str) -> list[str]:
        """Every role ``subject`` holds, inherited ones included."""
        with self._lock:
            return list(self._enforcer.get_implicit_roles_for_user(subject))

    # Declared grants and reloading ---------------------------------------------

    def declare(self, subject: str, obj: str, act: str) -> None:
        """Allow in memory only, for as long as this process runs (not stored)."""
        rule = (subject, obj, act)
        if rule in self._declared:
            return
        _names(*rule)
        with self._lock:
            self._declared.add(rule)
            self._enforcer.get_model().add_policy("p", "p", list(rule))
            self._index_rules()
            self.clear_cache()

    def refresh_due(self) -> bool:
        """Whether it is time to look for changes made by other processes."""
        return self._clock() >= self._next_check

    def refresh(self) -> bool:
        """Reload the rules if another process changed them; True if reloaded."""
        with self._lock:
            self._next_check = self._clock() + self._refresh_seconds
            if self.adapter.version() == self._version:
                return False
            self._reload_locked()
            return True

    def reload(self) -> None:
        """Read every rule again from the database."""
        with self._lock:
            self._reload_locked()

    def _reload_locked(self) -> None:
        version, rules = self.adapter.rules()
        model = casbin.Enforcer.new_model(text=RBAC_MODEL)
        SQLAlchemyPolicyAdapter.load_rules(model, rules)
        SQLAlchemyPolicyAdapter.load_rules(model, (("p", rule) for rule in self._declared))
        self._enforcer.set_model(model)
        self._enforcer.build_role_links()
        self._index_rules()
        self._version = version
        self._next_check = self._clock() + self._refresh_seconds
        self.clear_cache()
