"""Alembic's autogenerate over an application's tables and the policy tables.

The policy tables (``casbin_rule``, ``casbin_policy_version``,
``casbin_policy_format``, see :mod:`quorvalen_core.access.adapter`) live on a
:class:`~sqlalchemy.MetaData` of their own, not on the application's.  An
``env.py`` that hands Alembic only the application's metadata would have
``alembic revision --autogenerate`` drop them.  With the options of
:func:`autogenerate_options` instead:

- the policy tables are part of the target, so the first revision of a new
  database creates them (the adapter inserts their version and format rows
  on first use);
- a policy table the database already has is never dropped or altered: the
  adapter owns its layout and converts its rows itself at startup;
- a column type from outside SQLAlchemy (SQLModel's ``AutoString``) gets the
  import its rendered name needs in the revision script.

Nothing here imports Alembic at run time: the hooks only receive its objects.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Literal

from sqlalchemy import MetaData, Table

from .adapter import metadata as policy_metadata

if TYPE_CHECKING:
    from alembic.autogenerate.api import AutogenContext
    from sqlalchemy.sql.schema import SchemaItem

__all__ = ["POLICY_TABLES", "autogenerate_options", "include_object", "policy_metadata", "render_item"]

# Keys (table names) of the policy tables.
POLICY_TABLES = frozenset(policy_metadata.tables)


def include_object(
    obj: SchemaItem,
    name: str | None,
    type_: str,
    reflected: bool,
    compare_to: SchemaItem | None,
) -> bool:
    """Alembic's ``include_object`` hook: a policy table is only ever created.

    A policy table missing from the database passes (with its columns and
    indexes); one the database has, whether or not the target metadata holds
    it, is left out of the comparison, so no revision drops or alters it.
    Everything else passes.
    """
    if type_ == "table" and isinstance(obj, Table) and obj.key in POLICY_TABLES:
        return not reflected and compare_to is None
    return True


def render_item(type_: str, obj: Any, autogen_context: AutogenContext) -> Literal[False]:
    """Alembic's ``render_item`` hook: imports the module of a column type from outside SQLAlchemy.

    Alembic writes such a type by its full dotted name
    (``sqlmodel.sql.sqltypes.AutoString()``) without importing it; the
    revision script gets the import.  The rendering itself stays Alembic's.
    """
    if type_ == "type":
        module = type(obj).__module__
        if module.partition(".")[0] != "sqlalchemy":
            autogen_context.imports.add(f"import {module}")
    return False


def autogenerate_options(*metadata: MetaData) -> dict[str, Any]:
    """Keyword arguments of ``context.configure`` for the application's ``metadata``.

    The target is the application's metadata and the policy tables'; the
    hooks are :func:`include_object` and :func:`render_item`.  An ``env.py``
    with hooks of its own calls these two from them.
    """
    if not metadata:
        raise ValueError("autogenerate_options() needs the application's MetaData (SQLModel.metadata)")
    return {
        "target_metadata": list(dict.fromkeys([*metadata, policy_metadata])),
        "include_object": include_object,
        "render_item": render_item,
    }
