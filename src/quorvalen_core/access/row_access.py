"""What a caller may do to rows, beyond the route's permission.

A route's permission (a role, an object and an action) lets a caller use the
route.  Tables with an owner column narrow it to rows: a caller acts on the
rows it owns, and on every row only when it may ``<action>:all`` on the
route's object.  On tables that delete softly, ``<action>:deleted`` lets a
caller read and list deleted rows too.  Both are permissions like any other:
granted, revoked and checked (``python -m quorvalen_core.auth check alice
shop.order read:all``) as the route's own.

The guard hands the endpoint a :class:`RowAccess` in the request's state:
the caller and the policies the request was admitted on.  The endpoint
(a worker thread) draws its row decisions from that snapshot: no database
I/O, and one picture of the policies for the whole request.
"""

from __future__ import annotations

from dataclasses import dataclass

from .policy import PUBLIC_ROUTE, PolicySnapshot

# request.state attribute holding the RowAccess of a guarded request.
ROW_ACCESS_STATE_ATTR = "quorvalen_row_access"

# What a caller is told when its roles do not allow what it asked.
PERMISSION_DENIED = "Permission denied"

EVERY_ROW_SUFFIX = ":all"
DELETED_ROWS_SUFFIX = ":deleted"


def every_row_action(act: str) -> str:
    """The action that lets a caller ``act`` on every row, not only its own: ``read`` -> ``read:all``."""
    return act + EVERY_ROW_SUFFIX


def deleted_rows_action(act: str) -> str:
    """The action that lets a caller see soft-deleted rows through ``act``: ``read`` -> ``read:deleted``."""
    return act + DELETED_ROWS_SUFFIX


@dataclass(frozen=True, slots=True)
class RowAccess:
    """A caller of a route, and the policies its row decisions are drawn from.

    ``subject`` is None on a public route; ``policies`` is None where no
    policies were loaded for the request (a public route), and then every
    decision is "no".  ``claimed_roles``: the roles the caller's token gives
    it, held beside its stored ones for every decision of the request.
    """

    subject: str | None
    policies: PolicySnapshot | None
    obj: str | None
    act: str | None
    claimed_roles: frozenset[str] = frozenset()

    def allowed(self, obj: str | None, act: str | None) -> bool:
        """Whether the caller's roles may ``act`` on ``obj``."""
        if self.subject is None or self.policies is None or not obj or not act:
            return False
        return self.policies.is_allowed(self.subject, obj, act, self.claimed_roles)

    def every_row(self) -> bool:
        """Whether the caller may use the route on every row, not only its own."""
        return self.act is not None and self.allowed(self.obj, every_row_action(self.act))

    def sees_deleted(self) -> bool:
        """Whether the caller may see soft-deleted rows through the route."""
        return self.act is not None and self.allowed(self.obj, deleted_rows_action(self.act))

    def may_read(self, obj: str) -> bool:
        """What the read route of ``obj`` answers the caller (its route role or public read included)."""
        if self.policies is None:
            return False
        if self.subject is None:
            return self.policies.route_roles.get((obj, "read")) == PUBLIC_ROUTE
        return self.policies.decide(self.subject, obj, "read", self.claimed_roles)

    def teams(self, prefix: str | None) -> frozenset[str]:
        """The caller's roles that are teams: all of them, or those starting with ``prefix``."""
        if self.subject is None or self.policies is None:
            return frozenset()
        roles = self.policies.roles_of(self.subject, self.claimed_roles)
        if prefix is None:
            return roles
        return frozenset(role for role in roles if role.startswith(prefix))
