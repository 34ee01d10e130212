"""Casbin policy storage in an SQL database, over SQLAlchemy Core.

Rules live in the table ``casbin_rule`` (``id``, ``ptype``, ``v0`` .. ``v5``),
the layout Casbin's SQL adapters share, so existing tooling can read it.
Unused value columns are NULL.  Beside it, the one-row table
``casbin_policy_version`` holds a counter that every write through this
adapter increments in the same transaction: application processes sharing the
database compare it with the version they loaded to notice each other's
changes without reloading every rule.

Values are stored as they are and loaded without any text parsing, so object
and action names may contain commas, brackets or spaces.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence

from casbin import persist
from casbin.model import Model
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
    insert,
    select,
    update,
)
from sqlalchemy.exc import IntegrityError

MAX_RULE_VALUES = 6

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

Rule = tuple[str, ...]
_VALUE_COLUMNS = [casbin_rule.c[f"v{i}"] for i in range(MAX_RULE_VALUES)]


def _check_rule(rule: Sequence[str]) -> Rule:
    if not 1 <= len(rule) <= MAX_RULE_VALUES:
        raise ValueError(f"a policy rule has 1 to {MAX_RULE_VALUES} values, got {len(rule)}")
    if not all(isinstance(value, str) for value in rule):
        raise TypeError(f"policy rule values must be strings: {list(rule)!r}")
    return tuple(rule)


def _row_values(rule: Rule) -> dict[str, str | None]:
    padded = list(rule) + [None] * (MAX_RULE_VALUES - len(rule))
    return {f"v{i}": value for i, value in enumerate(padded)}


def _row_rule(row: Sequence[str | None]) -> Rule:
    values = list(row)
    while values and values[-1] is None:
        values.pop()
    return tuple("" if value is None else value for value in values)


def _rule_condition(ptype: str, rule: Rule):  # type: ignore[no-untyped-def]
    conditions = [casbin_rule.c.ptype == ptype]
    for column, value in zip(_VALUE_COLUMNS, _row_values(rule).values(), strict=True):
        conditions.append(column.is_(None) if value is None else column == value)
    return and_(*conditions)


class SQLAlchemyPolicyAdapter(persist.Adapter):  # type: ignore[misc]
    """Loads and saves Casbin rules in the database behind ``engine``."""

    def __init__(self, engine: Engine, *, create_tables: bool = True) -> None:
        self.engine = engine
        if create_tables:
            self.create_tables()

    def create_tables(self) -> None:
        metadata.create_all(self.engine, checkfirst=True)
        with self.engine.begin() as connection:
            if connection.execute(select(casbin_policy_version.c.id)).first() is None:
                try:
                    with connection.begin_nested():
                        connection.execute(insert(casbin_policy_version).values(id=1, version=0))
                except IntegrityError:
                    pass  # another process created the row first

    # Reading -----------------------------------------------------------------

    def version(self) -> int:
        """The counter of writes made to the rules so far."""
        with self.engine.connect() as connection:
            return self._version(connection)

    @staticmethod
    def _version(connection: Connection) -> int:
        value = connection.execute(
            select(casbin_policy_version.c.version).where(casbin_policy_version.c.id == 1)
        ).scalar()
        return int(value or 0)

    def rules(self) -> tuple[int, list[tuple[str, Rule]]]:
        """The version and every stored ``(ptype, rule)``, read in one transaction."""
        with self.engine.connect() as connection, connection.begin():
            version = self._version(connection)
            rows = connection.execute(
                select(casbin_rule.c.ptype, *_VALUE_COLUMNS).order_by(casbin_rule.c.id)
            ).all()
        return version, [(row[0], _row_rule(row[1:])) for row in rows]

    def load_policy(self, model: Model) -> None:
        self.load_rules(model, self.rules()[1])

    @staticmethod
    def load_rules(model: Model, rules: Iterable[tuple[str, Rule]]) -> None:
        """Put ``rules`` into ``model``, skipping types the model does not declare."""
        for ptype, rule in rules:
            section = model.model.get(ptype[:1])
            if section is None or ptype not in section:
                continue
            assertion = section[ptype]
            assertion.policy.append(list(rule))
            assertion.policy_map[",".join(rule)] = len(assertion.policy) - 1

    # Writing -----------------------------------------------------------------

    def add_rules(self, ptype: str, rules: Iterable[Sequence[str]]) -> tuple[int, int]:
        """Store the rules not yet stored; returns (rules added, version after)."""
        wanted = list(dict.fromkeys(_check_rule(rule) for rule in rules))
        with self.engine.begin() as connection:
            stored = {
                _row_rule(row)
                for row in connection.execute(
                    select(*_VALUE_COLUMNS).where(casbin_rule.c.ptype == ptype)
                )
            }
            new = [rule for rule in wanted if rule not in stored]
            if new:
                connection.execute(
                    insert(casbin_rule), [{"ptype": ptype, **_row_values(rule)} for rule in new]
                )
            return len(new), self._bump(connection, bool(new))

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

    def _bump(self, connection: Connection, changed: bool) -> int:
        if changed:
            connection.execute(
                update(casbin_policy_version)
                .where(casbin_policy_version.c.id == 1)
                .values(version=casbin_policy_version.c.version + 1)
            )
        return self._version(connection)

    # Casbin's adapter interface, for enforcers with auto-save ------------------

    def save_policy(self, model: Model) -> bool:
        with self.engine.begin() as connection:
            connection.execute(delete(casbin_rule))
            rows = [
                {"ptype": ptype, **_row_values(_check_rule(rule))}
                for section in ("p", "g")
                for ptype, assertion in (model.model.get(section) or {}).items()
                for rule in assertion.policy
            ]
            if rows:
                connection.execute(insert(casbin_rule), rows)
            self._bump(connection, True)
        return True

    def add_policy(self, sec: str, ptype: str, rule: Sequence[str]) -> bool:
        self.add_rules(ptype, [rule])
        return True

    def add_policies(self, sec: str, ptype: str, rules: Sequence[Sequence[str]]) -> bool:
        self.add_rules(ptype, rules)
        return True

    def remove_policy(self, sec: str, ptype: str, rule: Sequence[str]) -> bool:
        return self.remove_rules(ptype, [rule])[0] > 0

    def remove_policies(self, sec: str, ptype: str, rules: Sequence[Sequence[str]]) -> bool:
        return self.remove_rules(ptype, rules)[0] > 0

    def remove_filtered_policy(self, sec: str, ptype: str, field_index: int, *field_values: str) -> bool:
        return self.remove_matching(ptype, field_index, field_values)[0] > 0
