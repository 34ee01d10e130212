"""The naming scheme over arbitrary schema and table names, against the factory's Python version."""

from __future__ import annotations

import types
from types import ModuleType
from typing import Any

import pytest

import reference_factory

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

# Text of every string width the interpreter stores differently.
names = st.one_of(st.none(), st.just(""), st.text(min_size=1, max_size=12))
tag_lists = st.one_of(st.none(), st.lists(st.text(max_size=4), max_size=2))


def router_keywords(create: Any, bind: Any, **arguments: Any) -> list[tuple[str, type, Any]]:
    """The keywords ``create`` passes to the router, with the collaborators bound by ``bind``."""
    received: list[dict[str, Any]] = []
    bind(types.SimpleNamespace(AuthRouter=lambda **kw: received.append(kw), RouterConfig=dict,
                               GenericController=lambda **kw: None))
    create(model_class=1, response_schema=2, **arguments)
    (keywords,) = received
    return [(name, type(value), value) for name, value in keywords.items()]


@settings(max_examples=300, deadline=None)
@given(schema=names, table=names, prefix=names, default_role=names, auth_obj=names, tags=tag_lists)
def test_naming_scheme(tc: ModuleType, schema: Any, table: Any, prefix: Any, default_role: Any, auth_obj: Any, tags: Any) -> None:
    arguments = dict(schema_name=schema, table_name=table, prefix=prefix, default_role=default_role, auth_obj=auth_obj,
                     tags=tags)
    saved = tc.AuthRouter, tc.RouterConfig, tc.GenericController
    try:
        native = router_keywords(tc.AuthController.create, lambda source: vars(tc).update(vars(source)), **arguments)
    finally:
        tc.AuthRouter, tc.RouterConfig, tc.GenericController = saved
    reference = router_keywords(reference_factory.ReferenceAuthController.create, reference_factory.use_collaborators,
                                **arguments)
    assert native == reference
    passed = {name: value for name, _, value in native}
    # What the caller gave is passed on as it is, not as an equal copy.
    assert passed["default_role"] is (default_role or schema)
    assert not prefix or passed["prefix"] is prefix
    assert not tags or passed["tags"] is tags
