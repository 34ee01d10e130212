"""The naming scheme over arbitrary schema and table names."""

from __future__ import annotations

from types import ModuleType
from typing import Any

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

# Text of every string width the interpreter stores differently.
names = st.one_of(st.none(), st.just(""), st.text(min_size=1, max_size=12))
tag_lists = st.one_of(st.none(), st.lists(st.text(max_size=4), max_size=2))


@settings(max_examples=300, deadline=None)
@given(schema=names, table=names, prefix=names, default_role=names, auth_obj=names, tags=tag_lists)
def test_naming_scheme(tc: ModuleType, schema: Any, table: Any, prefix: Any, default_role: Any, auth_obj: Any, tags: Any) -> None:
    received: dict[str, Any] = {}
    saved = tc.AuthRouter, tc.RouterConfig, tc.GenericController
    tc.AuthRouter, tc.RouterConfig, tc.GenericController = lambda **kw: received.update(kw), dict, lambda **kw: None
    try:
        tc.AuthController.create(model_class=1, response_schema=2, schema_name=schema, table_name=table,
                                 prefix=prefix, default_role=default_role, auth_obj=auth_obj, tags=tags)
    finally:
        tc.AuthRouter, tc.RouterConfig, tc.GenericController = saved
    table_text, scoped = "None" if table is None else table, f"{schema}." if schema else ""
    assert received["prefix"] == (prefix or f"/v1/{schema + '/' if schema else ''}{table_text}")
    assert received["tags"] == (tags or [f"{scoped}table"])
    assert received["default_role"] is (default_role or schema)
    assert received["auth_obj"] == (auth_obj or f"{scoped}{table_text}")
    assert not prefix or received["prefix"] is prefix
    assert not tags or received["tags"] is tags
