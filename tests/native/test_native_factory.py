"""What ``AuthController.create`` derives, which collaborators it calls, and how it fails."""

from __future__ import annotations

import builtins
import types
from typing import Any

import pytest

from native_support import (
    CALL_ORDER, COLLABORATORS, CONTROLLER_KEYWORDS, CREATE_ENTRY, OPERATIONS, ROUTER_KEYWORDS,
    Collaborators, Settings, default_settings, fresh, frame_names, merge_traffic, native_entries, router_keywords, typed,
)

REQUIRED = {"model_class": 1, "response_schema": 2}


def all_settings(collab: Collaborators) -> dict[str, Settings]:
    return {f"{op}_router": collab.settings(f"{op}_router", enabled=True) for op in OPERATIONS}


def config_calls(collab: Collaborators) -> list[list[tuple[str, type, Any]]]:
    return [typed(c[3]) for c in collab.calls("RouterConfig")]


class Boom(Exception):
    pass


def test_typical_call(AC: type, collab: Collaborators) -> None:
    model, response = object(), object()
    result = AC.create(model_class=model, response_schema=response, schema_name="sales", table_name="invoice")
    assert result is collab.routers[0]
    assert [(e[1], e[2]) for e in collab.log] == [(name, ()) for name in CALL_ORDER]
    sales = router_keywords("sales", "/v1/sales/invoice", "sales.table", "sales.invoice")
    assert typed(collab.calls("AuthRouter")[0][3]) == typed(sales)
    assert config_calls(collab) == [typed(default_settings(op).items()) for op in OPERATIONS]
    call = collab.calls("GenericController")[0][3]
    assert [name for name, _ in call] == list(CONTROLLER_KEYWORDS)
    expected = [result, model, None, None, response, *collab.defaults]
    assert all(value is want for (_, value), want in zip(call, expected, strict=True))
    assert collab.made["GenericController"][0] is not result


@pytest.mark.parametrize(
    "schema_name, table_name, prefix, tag, auth_obj",
    [
        ("sales", "invoice", "/v1/sales/invoice", "sales.table", "sales.invoice"),
        (None, "invoice", "/v1/invoice", "table", "invoice"),
        ("", "invoice", "/v1/invoice", "table", "invoice"),
        ("sales", None, "/v1/sales/None", "sales.table", "sales.None"),
        ("sales", "", "/v1/sales/", "sales.table", "sales."),
        (None, None, "/v1/None", "table", "None"),
        ("销售", "发票", "/v1/销售/发票", "销售.table", "销售.发票"),
        ("🛒", "é", "/v1/🛒/é", "🛒.table", "🛒.é"),
        ("sales", "发票🛒", "/v1/sales/发票🛒", "sales.table", "sales.发票🛒"),
    ],
)
def test_derived_names(
    AC: type, collab: Collaborators, schema_name: Any, table_name: Any, prefix: str, tag: str, auth_obj: str
) -> None:
    schema = fresh(schema_name) if schema_name else schema_name
    AC.create(**REQUIRED, schema_name=schema, table_name=table_name)
    assert typed(collab.calls("AuthRouter")[0][3]) == typed(router_keywords(schema, prefix, tag, auth_obj))
    assert collab.kwargs("AuthRouter")["default_role"] is schema


@pytest.mark.parametrize("name", ROUTER_KEYWORDS)
def test_given_and_empty_values(AC: type, collab: Collaborators, name: str) -> None:
    given, empty = (["one"], []) if name == "tags" else (fresh("given"), "")
    for value in (given, empty, None):
        AC.create(**REQUIRED, schema_name="sales", table_name="invoice", **{name: value})
    with_given, with_empty, absent = (collab.kwargs("AuthRouter", i) for i in range(3))
    assert with_given[name] is given
    assert {**with_given, name: None} == {**absent, name: None}
    if name in ("prefix", "tags", "default_role", "auth_obj"):
        # An empty value counts as absent; the default tag list is new for every call.
        assert typed(list(with_empty.items())) == typed(list(absent.items()))
        assert with_empty["tags"] is not empty and with_empty["tags"] is not absent["tags"]
    else:
        assert with_empty[name] is empty


def test_defaults_are_built_and_merged_in_turn(AC: type, collab: Collaborators) -> None:
    callers = {
        "create": collab.settings("create_router"),
        "update": collab.settings("update_router", enabled=False),
        "read": collab.settings("read_router", enabled=True, auth=False, message="", summary="mine"),
        "delete": collab.settings("delete_router", enabled=None, auth_role="clerk", auth_act="remove"),
        "query": collab.settings("query_router", enabled=0, auth_obj="books"),
    }
    initial = {op: settings._snapshot() for op, settings in callers.items()}
    AC.create(**REQUIRED, **{f"{op}_router": s for op, s in callers.items()})
    expected: list[tuple[Any, ...]] = []
    for operation in OPERATIONS:
        items = list(default_settings(operation).items())
        expected.append(("call", "RouterConfig", (), items))
        expected += merge_traffic(f"{operation}_router", initial[operation], f"default:{operation}", dict(items))
    assert collab.log[1:-1] == expected
    bound = collab.kwargs("GenericController")
    assert all(bound[f"{op}_router"] is settings for op, settings in callers.items())
    assert callers["update"]._snapshot() == initial["update"]
    assert callers["read"]._snapshot() == {"enabled": True, "auth": False, "auth_role": None, "auth_obj": None,
                                           "auth_act": "read", "message": "", "summary": "mine"}


# --------------------------------------------------------------------------
# Name lookups


def test_rebinding_during_a_call_is_seen_by_the_next_lookup(AC: type, collab: Collaborators, rebind: Any) -> None:
    replacement = Collaborators()
    collab.before["RouterConfig"] = lambda i: i == 1 and rebind(replacement, "RouterConfig", "GenericController")
    AC.create(**REQUIRED)
    assert config_calls(collab) == [typed(default_settings(op).items()) for op in ("create", "update")]
    assert config_calls(replacement) == [typed(default_settings(op).items()) for op in ("read", "delete", "query")]
    assert collab.calls("GenericController") == [] and len(replacement.calls("GenericController")) == 1


def test_rebinding_between_calls_and_the_builtins_fallback(
    AC: type, collab: Collaborators, rebind: Any, monkeypatch: pytest.MonkeyPatch
) -> None:
    AC.create(**REQUIRED)
    second, module_level = Collaborators(), Collaborators()
    rebind(second)
    assert AC.create(**REQUIRED) is second.routers[0]
    for name in COLLABORATORS:
        monkeypatch.setattr(builtins, name, getattr(collab, name), raising=False)
    rebind(None)
    assert AC.create(**REQUIRED) is collab.routers[1]
    # A module attribute bound again takes precedence over the builtin.
    rebind(module_level, "RouterConfig")
    AC.create(**REQUIRED)
    assert [len(r.calls(n)) for r in (collab, second, module_level) for n in COLLABORATORS] == [3, 10, 3, 1, 5, 1, 0, 5, 0]


# --------------------------------------------------------------------------
# Failures of collaborators


STOPS = [(i, n, CALL_ORDER[:i].count(n)) for i, n in enumerate(CALL_ORDER)]


@pytest.mark.parametrize("how", ["raises", "missing"])
@pytest.mark.parametrize("stop, collaborator, index", STOPS, ids=[f"{n}-{i}" for _, n, i in STOPS])
def test_collaborator_failure_passes_through(
    AC: type, collab: Collaborators, rebind: Any, how: str, stop: int, collaborator: str, index: int
) -> None:
    boom, missing = Boom(), how == "missing"

    def interrupt(at: int) -> None:
        # A name removed during the collaborator's previous call fails the next lookup.
        if missing and at == index - 1:
            rebind(None, collaborator)
        elif not missing and at == index:
            raise boom

    if missing and index == 0:
        rebind(None, collaborator)
    collab.before[collaborator] = interrupt
    callers = all_settings(collab)
    with pytest.raises(NameError if missing else Boom) as info:
        AC.create(**REQUIRED, **callers)
    names = frame_names(info.value)
    if missing:
        assert str(info.value) == f"name '{collaborator}' is not defined" and names[-1] == CREATE_ENTRY
    else:
        assert info.value is boom and names[-1] == "interrupt" and names.index(CREATE_ENTRY) < len(names) - 1
    assert native_entries(info.value) == [CREATE_ENTRY]
    assert [c[1] for c in collab.calls()] == CALL_ORDER[: stop + (not missing)]
    merged_operations = max(0, min(stop - 1, 5))
    for position, (label, settings) in enumerate(callers.items()):
        merged = position < merged_operations
        assert settings._snapshot()["auth_act"] == (OPERATIONS[position] if merged else None)
        assert len(collab.traffic(label)) == (13 if merged else 0)
        assert settings._snapshot()["enabled"] is True


def test_nested_calls_do_not_interfere(AC: type, collab: Collaborators) -> None:
    inner: list[Any] = []
    nested = {"model_class": "inner", "response_schema": 2, "schema_name": "in", "table_name": "t"}
    collab.before["RouterConfig"] = lambda i: i == 2 and inner.append(AC.create(**nested))
    read_settings = collab.settings("read_router")
    outer = AC.create(model_class="outer", response_schema=1, schema_name="out", table_name="t", read_router=read_settings)
    assert [outer] + inner == collab.routers
    controllers = collab.calls("GenericController")
    assert [dict(c[3])["model_class"] for c in controllers] == ["inner", "outer"]
    assert dict(controllers[1][3])["read_router"] is read_settings
    assert read_settings._snapshot()["auth_act"] == "read"
    assert [dict(c[3])["prefix"] for c in collab.calls("AuthRouter")] == ["/v1/out/t", "/v1/in/t"]


def test_collaborator_classes_receive_the_same_keywords(AC: type, rebind: Any) -> None:
    # Classes defined in Python take their keywords as a dict rather than
    # through the fast call convention; they must see the same keywords.
    received: list[tuple[str, list[tuple[str, type, Any]]]] = []

    def recording_class(name: str) -> type:
        def __init__(self: Any, *args: Any, **kwargs: Any) -> None:
            assert args == ()
            received.append((name, typed(list(kwargs.items()))))
            kwargs.clear()

        return type(name, (), {"__init__": __init__})

    rebind(types.SimpleNamespace(**{name: recording_class(name) for name in COLLABORATORS}))
    for _ in range(2):
        router = AC.create(**REQUIRED, schema_name="sales", table_name="invoice")
    assert type(router).__name__ == "AuthRouter"
    assert [name for name, _ in received] == CALL_ORDER * 2
    configs = [items for name, items in received if name == "RouterConfig"]
    assert configs == [typed(default_settings(op).items()) for op in OPERATIONS] * 2
    assert received[0][1] == typed(router_keywords("sales", "/v1/sales/invoice", "sales.table", "sales.invoice"))
    assert [name for name, _, _ in received[6][1]] == list(CONTROLLER_KEYWORDS)
