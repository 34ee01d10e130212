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
optional_names = st.one_of(st.none(), st.just(""), st.text(min_size=1, max_size=8))


@settings(max_examples=300, deadline=None)
@given(
    schema_name=names,
    table_name=names,
    prefix=optional_names,
    default_role=optional_names,
    auth_obj=optional_names,
    tags=st.one_of(st.none(), st.lists(st.text(max_size=4), max_size=2)),
)
def test_naming_scheme(
    tc: ModuleType,
    schema_name: str | None,
    table_name: str | None,
    prefix: str | None,
    default_role: str | None,
    auth_obj: str | None,
    tags: list[str] | None,
) -> None:
    received: dict[str, Any] = {}

    def auth_router(**kwargs: Any) -> object:
        received.update(kwargs)
        return object()

    saved = tc.AuthRouter, tc.RouterConfig, tc.GenericController
    tc.AuthRouter, tc.RouterConfig, tc.GenericController = auth_router, lambda **kw: kw, lambda **kw: None
    try:
        tc.AuthController.create(
            model_class=1,
            response_schema=2,
            schema_name=schema_name,
            table_name=table_name,
            prefix=prefix,
            default_role=default_role,
            auth_obj=auth_obj,
            tags=tags,
        )
    finally:
        tc.AuthRouter, tc.RouterConfig, tc.GenericController = saved

    table_text = "None" if table_name is None else table_name
    scoped = f"{schema_name}." if schema_name else ""
    assert received["prefix"] == (prefix or f"/v1/{schema_name + '/' if schema_name else ''}{table_text}")
    assert received["tags"] == (tags or [f"{scoped}table"])
    assert received["default_role"] is (default_role or schema_name)
    assert received["auth_obj"] == (auth_obj or f"{scoped}{table_text}")
    if prefix:
        assert received["prefix"] is prefix
    if tags:
        assert received["tags"] is tags
