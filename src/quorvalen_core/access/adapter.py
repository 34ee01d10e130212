"""Policy storage in an SQL database, over SQLAlchemy Core.

Rules live in the table ``casbin_rule`` (``id``, ``ptype``, ``v0`` .. ``v5``),
the layout Casbin's SQL adapters share, so that tools reading that layout can
read it.  Unused value columns are NULL.  The kinds of rule (``ptype``) this package
writes and reads:

=========  ===========================  ==========================================
ptype      values                       meaning
=========  ===========================  ==========================================
``p``      role, object, action         the role may act on the object
``g``      subject, role                the caller ``subject`` holds the role
``g2``     role, parent role            the role has every right of the parent
``d``      role, object, action         a router's default grant was stored once;
                                        kept after a revocation so that the
                                        grant is not stored again
``r``      object, action, role         a route on that object and action
                                        admits holders of the role (instead of
                                        checking a permission); ``*``: anyone,
                                        the route is public
``k``      object, action               a guarded route checks this action on
                                        this object (so the command line knows
                                        the names routes use)
=========  ===========================  ==========================================

Beside it, the one-row table ``casbin_policy_version`` holds a counter that
every write through this adapter increments in the same transaction:
application processes sharing the database compare it with the version they
loaded to notice each other's changes without reloading every rule.  The
one-row table ``casbin_policy_format`` records the format of the rules, so
that rules written by earlier versions are converted once (see
:func:`migrate_legacy_rules`).

Values are stored as they are and loaded without any text parsing, so object
and action names may contain commas, brackets or spaces.
"""

from __future__ import annotations

import logging
from collections.abc import Iterable, Sequence
from dataclasses import dataclass

from sqlalchemy import (
    BigInteger,
    Column,
    Connection,
    Engine,
    Index,
    Integer,
    MetaData,
    String,
    Table,
    and_,
    delete,
    func,
    insert,
    select,
    update,
)
from sqlalchemy.exc import IntegrityError
from sqlalchemy.sql.elements import ColumnElement

MAX_RULE_VALUES = 6

PERMISSION = "p"
MEMBERSHIP = "g"
INHERITANCE = "g2"
DEFAULT_GRANT = "d"
ROUTE_ROLE = "r"
KNOWN_ROUTE = "k"

# Number of values of each kind of rule this package uses.
RULE_SIZES: dict[str, int] = {
    PERMISSION: 3,
    MEMBERSHIP: 2,
    INHERITANCE: 2,
    DEFAULT_GRANT: 3,
    ROUTE_ROLE: 3,
    KNOWN_ROUTE: 2,
}

# The PostgreSQL notification channel on which writes announce a new version.
POLICY_CHANNEL = "quorvalen_policy"

# Format 1: Casbin's plain RBAC, where one name was a caller and a role at
# once and ``g`` rows also linked roles to roles.  Format 2: the table above.
CURRENT_FORMAT = 2

logger = logging.getLogger("quorvalen_core.auth")

metadata = MetaData()

casbin_rule = Table(
    "casbin_rule",
    metadata,
    Column("id", Integer, primary_key=True),
    Column("ptype", String(255), nullable=False),
    *(Column(f"v{i}", String(255)) for i in range(MAX_RULE_VALUES)),
    Index("ix_casbin_rule_ptype_v0", "ptype", "v0"),
)

casbin_policy_version = Table(
    "casbin_policy_version",
    metadata,
    Column("id", Integer, primary_key=True),
    Column("version", BigInteger, nullable=False),
)

casbin_policy_format = Table(
    "casbin_policy_format",
    metadata,
    Column("id", Integer, primary_key=True),
    Column("format", Integer, nullable=False),
)

Rule = tuple[str, ...]
_VALUE_COLUMNS = [casbin_rule.c[f"v{i}"] for i in range(MAX_RULE_VALUES)]


@dataclass(frozen=True)
class StoredRule:
    """One row of ``casbin_rule`` as stored: trailing NULLs dropped, others kept."""

    id: int
    ptype: str
    values: tuple[str | None, ...]


def _check_rule(rule: Sequence[str]) -> Rule:
    if not 1 <= len(rule) <= MAX_RULE_VALUES:
        raise ValueError(f"a policy rule has 1 to {MAX_RULE_VALUES} values, got {len(rule)}")
    if not all(isinstance(value, str) for value in rule):
        raise TypeError(f"policy rule values must be strings: {list(rule)!r}")
    return tuple(rule)


def _row_values(rule: Rule) -> dict[str, str | None]:
    padded = list(rule) + [None] * (MAX_RULE_VALUES - len(rule))
    return {f"v{i}": value for i, value in enumerate(padded)}


def _trimmed(row: Sequence[str | None]) -> tuple[str | None, ...]:
    values = list(row)
    while values and values[-1] is None:
        values.pop()
    return tuple(values)


def _row_rule(row: Sequence[str | None]) -> Rule:
    return tuple("" if value is None else value for value in _trimmed(row))


def _rule_condition(ptype: str, rule: Rule) -> ColumnElement[bool]:
    conditions = [casbin_rule.c.ptype == ptype]
    for column, value in zip(_VALUE_COLUMNS, _row_values(rule).values(), strict=True):
        conditions.append(column.is_(None) if value is None else column == value)
    return and_(*conditions)


def migrate_legacy_rules(connection: Connection) -> int:
    """Convert format-1 rules to format 2; returns the number of rows changed.

    In format 1 a ``g`` row linked a caller or a role to a role.  A ``g`` row
    whose member is itself a role (some other ``g`` row names it as the role)
    linked two roles: it becomes a ``g2`` row.  Every other ``g`` row stays a
    caller's membership, and ``p`` rows stay role permissions.
    """
    roles = {
        value
        for (value,) in connection.execute(
            select(casbin_rule.c.v1).where(casbin_rule.c.ptype == MEMBERSHIP)
        )
        if value is not None
    }
    if not roles:
        return 0
    changed = connection.execute(
        update(casbin_rule)
        .where(casbin_rule.c.ptype == MEMBERSHIP, casbin_rule.c.v0.in_(sorted(roles)))
        .values(ptype=INHERITANCE)
    ).rowcount
    return int(changed or 0)


class SQLAlchemyPolicyAdapter:
    """Loads and saves policy rules in the database behind ``engine``."""

    def __init__(self, engine: Engine, *, create_tables: bool = True) -> None:
        self.engine = engine
        if create_tables:
            self.create_tables()

    def create_tables(self) -> None:
        """Create the tables if missing, and bring rules of an earlier format up to date."""
        metadata.create_all(self.engine, checkfirst=True)
        with self.engine.begin() as connection:
            self._insert_once(connection, casbin_policy_version, version=0)
            has_rules = connection.execute(select(casbin_rule.c.id).limit(1)).first() is not None
            # A database that already holds rules but no format row was
            # written by an earlier version: format 1.
            self._insert_once(connection, casbin_policy_format, format=1 if has_rules else CURRENT_FORMAT)
        with self.engine.begin() as connection:
            # Claiming the format row first serialises concurrent processes:
            # exactly one of them converts the rules.
            claimed = connection.execute(
                update(casbin_policy_format)
                .where(casbin_policy_format.c.id == 1, casbin_policy_format.c.format < CURRENT_FORMAT)
                .values(format=CURRENT_FORMAT)
            ).rowcount
            if claimed:
                changed = migrate_legacy_rules(connection)
                self._bump(connection, True)
                logger.warning(
                    "policy rules converted to format %d: %d role-to-role links now ptype %r",
                    CURRENT_FORMAT,
                    changed,
                    INHERITANCE,
                )

    @staticmethod
    def _insert_once(connection: Connection, table: Table, **values: int) -> None:
        if connection.execute(select(table.c.id)).first() is not None:
            return
        try:
            with connection.begin_nested():
                connection.execute(insert(table).values(id=1, **values))
        except IntegrityError:
            pass  # another process created the row first

    # Reading -----------------------------------------------------------------

    def version(self, connection: Connection | None = None) -> int:
        """The counter of writes made to the rules so far."""
        if connection is not None:
            return self._version(connection)
        with self.engine.connect() as own:
            return self._version(own)

    @staticmethod
    def _version(connection: Connection) -> int:
        value = connection.execute(
            select(casbin_policy_version.c.version).where(casbin_policy_version.c.id == 1)
        ).scalar()
        return int(value or 0)

    def stored_rules(self, connection: Connection | None = None) -> tuple[int, list[StoredRule]]:
        """The version and every stored row, read in one transaction.

        On a ``connection`` in autocommit mode (a listener's) the reads are
        separate; the version is read first, so the rules are never older
        than the version they are labelled with.
        """
        if connection is None:
            with self.engine.connect() as own, own.begin():
                return self._stored_rules(own)
        return self._stored_rules(connection)

    def _stored_rules(self, connection: Connection) -> tuple[int, list[StoredRule]]:
        version = self._version(connection)
        rows = connection.execute(
            select(casbin_rule.c.id, casbin_rule.c.ptype, *_VALUE_COLUMNS).order_by(casbin_rule.c.id)
        ).all()
        return version, [StoredRule(row[0], row[1], _trimmed(row[2:])) for row in rows]

    def rules(self) -> tuple[int, list[tuple[str, Rule]]]:
        """The version and every stored ``(ptype, rule)`` (NULL values read as ``""``)."""
        version, rows = self.stored_rules()
        return version, [(row.ptype, _row_rule(row.values)) for row in rows]

    # Writing -----------------------------------------------------------------

    def add_rules(self, ptype: str, rules: Iterable[Sequence[str]]) -> tuple[int, int]:
        """Store the rules not yet stored; returns (rules added, version after)."""
        wanted = list(dict.fromkeys(_check_rule(rule) for rule in rules))
        with self.engine.begin() as connection:
            added = self._add(connection, ptype, wanted)
            return added, self._bump(connection, added > 0)

    @staticmethod
    def _add(connection: Connection, ptype: str, wanted: Sequence[Rule]) -> int:
        if not wanted:
            return 0
        stored = {
            _row_rule(row)
            for row in connection.execute(select(*_VALUE_COLUMNS).where(casbin_rule.c.ptype == ptype))
        }
        new = [rule for rule in wanted if rule not in stored]
        if new:
            connection.execute(insert(casbin_rule), [{"ptype": ptype, **_row_values(rule)} for rule in new])
        return len(new)

    def remove_rules(self, ptype: str, rules: Iterable[Sequence[str]]) -> tuple[int, int]:
        """Delete exactly the given rules; returns (rows deleted, version after)."""
        removed = 0
        with self.engine.begin() as connection:
            for rule in dict.fromkeys(_check_rule(rule) for rule in rules):
                removed += connection.execute(
                    delete(casbin_rule).where(_rule_condition(ptype, rule))
                ).rowcount
            return removed, self._bump(connection, removed > 0)

    def remove_matching(
        self, ptype: str, field_index: int, field_values: Sequence[str]
    ) -> tuple[int, int]:
        """Delete the rules whose values from ``field_index`` on match (``""`` matches any)."""
        if not 0 <= field_index < MAX_RULE_VALUES or field_index + len(field_values) > MAX_RULE_VALUES:
            raise ValueError("field index and values fall outside the rule columns")
        conditions = [casbin_rule.c.ptype == ptype]
        for offset, value in enumerate(field_values):
            if value != "":
                conditions.append(_VALUE_COLUMNS[field_index + offset] == value)
        with self.engine.begin() as connection:
            removed = connection.execute(delete(casbin_rule).where(and_(*conditions))).rowcount
            return removed, self._bump(connection, removed > 0)

    def remove_ids(self, ids: Iterable[int]) -> tuple[int, int]:
        """Delete rows by id (for rows that cannot be named by their values)."""
        wanted = sorted(set(ids))
        with self.engine.begin() as connection:
            removed = connection.execute(delete(casbin_rule).where(casbin_rule.c.id.in_(wanted))).rowcount if wanted else 0
            return removed, self._bump(connection, removed > 0)

    def store_default_grants(self, grants: Iterable[Sequence[str]]) -> tuple[int, int]:
        """Store each default grant once: the first time it is seen, as a permission.

        A marker row remembers that it was stored, so that a grant an
        administrator revoked is not stored again by the next start.
        """
        wanted = list(dict.fromkeys(_check_rule(grant) for grant in grants))
        with self.engine.begin() as connection:
            stored = {
                _row_rule(row)
                for row in connection.execute(select(*_VALUE_COLUMNS).where(casbin_rule.c.ptype == DEFAULT_GRANT))
            }
            new = [grant for grant in wanted if grant not in stored]
            added = self._add(connection, DEFAULT_GRANT, new)
            added += self._add(connection, PERMISSION, new)
            return added, self._bump(connection, added > 0)

    def store_route_roles(self, routes: Iterable[tuple[str, str, str | None]]) -> tuple[int, int]:
        """Record each route ``(object, action)``, and the role it admits (None: a permission check)."""
        wanted = list(dict.fromkeys(routes))
        with self.engine.begin() as connection:
            changed = self._add(connection, KNOWN_ROUTE, [_check_rule((obj, act)) for obj, act, _ in wanted])
            for obj, act, role in wanted:
                condition = and_(
                    casbin_rule.c.ptype == ROUTE_ROLE, casbin_rule.c.v0 == obj, casbin_rule.c.v1 == act
                )
                current = [
                    _row_rule(row) for row in connection.execute(select(*_VALUE_COLUMNS).where(condition))
                ]
                if current == ([] if role is None else [(obj, act, role)]):
                    continue
                connection.execute(delete(casbin_rule).where(condition))
                if role is not None:
                    connection.execute(
                        insert(casbin_rule).values(ptype=ROUTE_ROLE, **_row_values(_check_rule((obj, act, role))))
                    )
                changed += 1
            return changed, self._bump(connection, changed > 0)

    def _bump(self, connection: Connection, changed: bool) -> int:
        if changed:
            connection.execute(
                update(casbin_policy_version)
                .where(casbin_policy_version.c.id == 1)
                .values(version=casbin_policy_version.c.version + 1)
            )
        version = self._version(connection)
        if changed and connection.dialect.name == "postgresql":
            # Delivered when the transaction commits, to every process
            # listening (see .notify): they look at once instead of at their
            # next poll.  Anyone may notify on a channel, so the payload is
            # only informative: listeners read the version themselves.
            connection.execute(select(func.pg_notify(POLICY_CHANNEL, str(version))))
        return version
