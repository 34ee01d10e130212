"""What ``AuthController.create`` derives, which collaborators it calls, and how it fails."""

from __future__ import annotations

import builtins
import sys
import traceback
import weakref
from types import ModuleType
from typing import Any

import pytest

from native_support import (
    CREATE_ENTRY,
    OPERATIONS,
    Collaborators,
    Settings,
    default_settings,
    merge_traffic,
    native_entries,
    typed,
)

ROUTER_KEYWORDS = ("prefix", "tags", "db_config_name", "default_role", "auth_role", "auth_obj", "auth_act")
CONTROLLER_KEYWORDS = (
    "auth_router",
    "model_class",
    "create_schema",
    "update_schema",
    "response_schema",
    "create_router",
    "update_router",
    "read_router",
    "delete_router",
    "query_router",
)


def fresh(text: str) -> str:
    """An equal string that is not the interned literal, so identity means something."""
    return "".join(list(text))


def router_kwargs(collab: Collaborators) -> dict[str, Any]:
    (call,) = collab.calls("AuthRouter")
    return dict(call[3])


def router_kwargs_of(collab: Collaborators, index: int) -> dict[str, Any]:
    return dict(collab.calls("AuthRouter")[index][3])


def controller_kwargs(collab: Collaborators) -> dict[str, Any]:
    (call,) = collab.calls("GenericController")
    return dict(call[3])


class Boom(Exception):
    pass


def test_typical_call(AC: type, collab: Collaborators) -> None:
    model, response = object(), object()
    result = AC.create(model_class=model, response_schema=response, schema_name="sales", table_name="invoice")

    router = collab.routers[0]
    assert result is router
    assert [(e[1], e[2]) for e in collab.log] == [
        ("AuthRouter", ()),
        *[("RouterConfig", ())] * 5,
        ("GenericController", ()),
    ]
    assert typed(collab.calls("AuthRouter")[0][3]) == typed(
        [
            ("prefix", "/v1/sales/invoice"),
            ("tags", ["sales.table"]),
            ("db_config_name", None),
            ("default_role", "sales"),
            ("auth_role", None),
            ("auth_obj", "sales.invoice"),
            ("auth_act", None),
        ]
    )
    for operation, call in zip(OPERATIONS, collab.calls("RouterConfig")):
        assert typed(call[3]) == typed(default_settings(operation))
    call = collab.calls("GenericController")[0]
    assert [name for name, _ in call[3]] == list(CONTROLLER_KEYWORDS)
    expected = [router, model, None, None, response, *collab.defaults]
    assert all(value is want for (_, value), want in zip(call[3], expected, strict=True))
    assert collab.controllers[0] is not result


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
    ],
)
def test_derived_names(
    AC: type, collab: Collaborators, schema_name: str | None, table_name: str | None, prefix: str, tag: str, auth_obj: str
) -> None:
    schema = fresh(schema_name) if schema_name else schema_name
    AC.create(model_class=1, response_schema=2, schema_name=schema, table_name=table_name)
    kwargs = router_kwargs(collab)
    assert typed(list(kwargs.items())) == typed(
        [
            ("prefix", prefix),
            ("tags", [tag]),
            ("db_config_name", None),
            ("default_role", schema),
            ("auth_role", None),
            ("auth_obj", auth_obj),
            ("auth_act", None),
        ]
    )
    assert kwargs["default_role"] is schema


def test_given_values_reach_the_router_as_they_are(AC: type, collab: Collaborators) -> None:
    given = {
        "prefix": fresh("/api/custom"),
        "tags": ["one", "two"],
        "db_config_name": fresh("main"),
        "default_role": fresh("admin"),
        "auth_role": fresh("auditor"),
        "auth_obj": fresh("ledger"),
        "auth_act": fresh("inspect"),
    }
    AC.create(model_class=1, response_schema=2, schema_name="sales", table_name="invoice", **given)
    kwargs = router_kwargs(collab)
    assert list(kwargs) == list(ROUTER_KEYWORDS)
    for name, value in given.items():
        assert kwargs[name] is value
    assert given["tags"] == ["one", "two"]


@pytest.mark.parametrize("name", ["prefix", "tags", "default_role", "auth_obj"])
def test_empty_values_count_as_absent(AC: type, collab: Collaborators, name: str) -> None:
    empty: Any = [] if name == "tags" else ""
    AC.create(model_class=1, response_schema=2, schema_name="sales", table_name="invoice", **{name: empty})
    AC.create(model_class=1, response_schema=2, schema_name="sales", table_name="invoice")
    with_empty, without = (typed(call[3]) for call in collab.calls("AuthRouter"))
    assert with_empty == without
    if name == "tags":
        assert router_kwargs_of(collab, 0)["tags"] is not empty


def test_default_tag_list_is_new_for_every_call(AC: type, collab: Collaborators) -> None:
    AC.create(model_class=1, response_schema=2, schema_name="sales")
    AC.create(model_class=1, response_schema=2, schema_name="sales")
    first, second = router_kwargs_of(collab, 0)["tags"], router_kwargs_of(collab, 1)["tags"]
    assert first == second == ["sales.table"]
    assert first is not second


def test_defaults_are_built_and_merged_in_turn(AC: type, collab: Collaborators) -> None:
    callers = {
        "create": collab.settings("create_router"),
        "update": collab.settings("update_router", enabled=False),
        "read": collab.settings("read_router", enabled=True, auth=False, message="", summary="mine"),
        "delete": collab.settings("delete_router", enabled=None, auth_role="clerk", auth_act="remove"),
        "query": collab.settings("query_router", enabled=0, auth_obj="books"),
    }
    initial = {op: settings._snapshot() for op, settings in callers.items()}
    AC.create(model_class=1, response_schema=2, **{f"{op}_router": s for op, s in callers.items()})

    expected: list[tuple[Any, ...]] = []
    for operation in OPERATIONS:
        items = default_settings(operation)
        expected.append(("call", "RouterConfig", (), items))
        expected += merge_traffic(f"{operation}_router", initial[operation], f"default:{operation}", dict(items))
    assert collab.log[1:-1] == expected

    bound = controller_kwargs(collab)
    for operation, settings in callers.items():
        assert bound[f"{operation}_router"] is settings
    assert callers["update"]._snapshot() == initial["update"]
    assert callers["read"]._snapshot() == {
        "enabled": True,
        "auth": False,
        "auth_role": None,
        "auth_obj": None,
        "auth_act": "read",
        "message": "",
        "summary": "mine",
    }


def test_absent_settings_use_the_default_itself(AC: type, collab: Collaborators) -> None:
    AC.create(model_class=1, response_schema=2, read_router=collab.settings("read_router"))
    bound = controller_kwargs(collab)
    defaults = dict(zip(OPERATIONS, collab.defaults, strict=True))
    for operation in ("create", "update", "delete", "query"):
        assert bound[f"{operation}_router"] is defaults[operation]
        assert collab.traffic(f"default:{operation}") == []
    assert typed(list(bound["create_router"]._snapshot().items())) == typed(
        [
            ("enabled", True),
            ("auth", True),
            ("auth_role", None),
            ("auth_obj", None),
            ("auth_act", "create"),
            ("message", "创建成功"),
            ("summary", "create - 创建"),
        ]
    )


def test_subclass_and_instance_calls_behave_alike(AC: type, collab: Collaborators) -> None:
    class Sub(AC):  # type: ignore[misc, valid-type]
        pass

    for owner in (AC, Sub, Sub()):
        owner.create(model_class=1, response_schema=2, schema_name="s", table_name="t")
    router_calls = [typed(c[3]) for c in collab.calls("AuthRouter")]
    assert router_calls[0] == router_calls[1] == router_calls[2]
    config_calls = [typed(c[3]) for c in collab.calls("RouterConfig")]
    assert config_calls[:5] == config_calls[5:10] == config_calls[10:]


# --------------------------------------------------------------------------
# Name lookups


def test_rebinding_between_calls_changes_the_collaborators(
    tc: ModuleType, AC: type, collab: Collaborators, monkeypatch: pytest.MonkeyPatch
) -> None:
    AC.create(model_class=1, response_schema=2)
    second = Collaborators()
    for name in ("AuthRouter", "RouterConfig", "GenericController"):
        monkeypatch.setattr(tc, name, getattr(second, name))
    result = AC.create(model_class=1, response_schema=2)
    assert len(collab.calls()) == 7 and len(second.calls()) == 7
    assert result is second.routers[0]


def test_rebinding_during_a_call_is_seen_by_the_next_lookup(
    tc: ModuleType, AC: type, collab: Collaborators, monkeypatch: pytest.MonkeyPatch
) -> None:
    replacement = Collaborators()

    def rebind(index: int) -> None:
        if index == 1:
            monkeypatch.setattr(tc, "RouterConfig", replacement.RouterConfig)
            monkeypatch.setattr(tc, "GenericController", replacement.GenericController)

    collab.before["RouterConfig"] = rebind
    AC.create(model_class=1, response_schema=2)
    assert [typed(c[3]) for c in collab.calls("RouterConfig")] == [typed(default_settings(op)) for op in ("create", "update")]
    assert [typed(c[3]) for c in replacement.calls("RouterConfig")] == [
        typed(default_settings(op)) for op in ("read", "delete", "query")
    ]
    assert collab.calls("GenericController") == []
    assert len(replacement.calls("GenericController")) == 1


def test_names_fall_back_to_builtins(
    tc: ModuleType, AC: type, collab: Collaborators, monkeypatch: pytest.MonkeyPatch
) -> None:
    for name in ("AuthRouter", "RouterConfig", "GenericController"):
        monkeypatch.setattr(builtins, name, getattr(collab, name), raising=False)
        monkeypatch.delattr(tc, name)
    assert AC.create(model_class=1, response_schema=2) is collab.routers[0]
    assert len(collab.calls()) == 7
    # A module attribute bound again takes precedence over the builtin.
    module_level = Collaborators()
    monkeypatch.setattr(tc, "RouterConfig", module_level.RouterConfig, raising=False)
    AC.create(model_class=1, response_schema=2)
    assert len(collab.calls("RouterConfig")) == 5
    assert len(module_level.calls("RouterConfig")) == 5


@pytest.mark.parametrize(
    "missing, calls_before",
    [
        ("AuthRouter", []),
        ("RouterConfig", ["AuthRouter"]),
        ("GenericController", ["AuthRouter"] + ["RouterConfig"] * 5),
    ],
)
def test_missing_collaborator_name(
    tc: ModuleType, AC: type, collab: Collaborators, monkeypatch: pytest.MonkeyPatch, missing: str, calls_before: list[str]
) -> None:
    monkeypatch.delattr(tc, missing)
    callers = {op: collab.settings(f"{op}_router", enabled=True) for op in OPERATIONS}
    with pytest.raises(NameError) as info:
        AC.create(model_class=1, response_schema=2, **{f"{op}_router": s for op, s in callers.items()})
    assert str(info.value) == f"name '{missing}' is not defined"
    assert native_entries(info.value) == [CREATE_ENTRY]
    assert traceback.extract_tb(info.value.__traceback__)[-1].name == CREATE_ENTRY
    assert [c[1] for c in collab.calls()] == calls_before
    merged = missing == "GenericController"
    for operation, settings in callers.items():
        assert (len(collab.traffic(f"{operation}_router")) == 13) is merged
        assert (settings._snapshot()["auth_act"] == operation) is merged


def test_name_removed_during_a_call(
    tc: ModuleType, AC: type, collab: Collaborators, monkeypatch: pytest.MonkeyPatch
) -> None:
    def remove(index: int) -> None:
        if index == 4:
            monkeypatch.delattr(tc, "GenericController")

    collab.before["RouterConfig"] = remove
    with pytest.raises(NameError, match="^name 'GenericController' is not defined$"):
        AC.create(model_class=1, response_schema=2)
    assert len(collab.calls("RouterConfig")) == 5


class Rebinding(Settings):
    """Settings whose read of ``summary`` runs a hook, as a property could."""

    def __init__(self, log: list[tuple[Any, ...]], label: str, hook: Any) -> None:
        super().__init__(log, label, **dict.fromkeys(("enabled", "auth", "auth_role", "auth_obj", "auth_act", "message", "summary")))
        object.__setattr__(self, "_hook", hook)

    def __getattribute__(self, name: str) -> Any:
        if name == "summary":
            hook = object.__getattribute__(self, "_hook")
            object.__setattr__(self, "_hook", lambda: None)
            hook()
        return super().__getattribute__(name)


def test_lookups_follow_the_merge_before_them(
    tc: ModuleType, AC: type, collab: Collaborators, monkeypatch: pytest.MonkeyPatch
) -> None:
    replacement = Collaborators()

    def rebind() -> None:
        monkeypatch.setattr(tc, "RouterConfig", replacement.RouterConfig)

    settings = Rebinding(collab.log, "update_router", rebind)
    AC.create(model_class=1, response_schema=2, update_router=settings)
    assert len(collab.calls("RouterConfig")) == 2
    assert [typed(c[3]) for c in replacement.calls("RouterConfig")] == [
        typed(default_settings(op)) for op in ("read", "delete", "query")
    ]
    assert settings._snapshot()["auth_act"] == "update"


def test_controller_is_looked_up_after_the_last_merge(
    tc: ModuleType, AC: type, collab: Collaborators, monkeypatch: pytest.MonkeyPatch
) -> None:
    settings = Rebinding(collab.log, "query_router", lambda: monkeypatch.delattr(tc, "GenericController"))
    with pytest.raises(NameError, match="^name 'GenericController' is not defined$"):
        AC.create(model_class=1, response_schema=2, query_router=settings)
    assert settings._snapshot()["summary"] == "query - 查询"


# --------------------------------------------------------------------------
# Failures of collaborators


FAILURE_POINTS = [("AuthRouter", 0)] + [("RouterConfig", i) for i in range(5)] + [("GenericController", 0)]


@pytest.mark.parametrize("collaborator, index", FAILURE_POINTS)
def test_collaborator_failure_passes_through(
    AC: type, collab: Collaborators, collaborator: str, index: int
) -> None:
    boom = Boom(collaborator, index)

    def fail(at: int) -> None:
        if at == index:
            raise boom

    collab.before[collaborator] = fail
    callers = {op: collab.settings(f"{op}_router", enabled=True) for op in OPERATIONS}
    with pytest.raises(Boom) as info:
        AC.create(model_class=1, response_schema=2, **{f"{op}_router": s for op, s in callers.items()})
    assert info.value is boom
    assert native_entries(info.value) == [CREATE_ENTRY]
    frames = traceback.extract_tb(info.value.__traceback__)
    assert frames[-1].name == "fail"
    assert [f.name for f in frames].index(CREATE_ENTRY) < len(frames) - 1

    made_calls = [c[1] for c in collab.calls()]
    order = ["AuthRouter"] + ["RouterConfig"] * 5 + ["GenericController"]
    stop = order.index(collaborator) + index
    assert made_calls == order[: stop + 1]
    merged_operations = max(0, min(stop - 1, 5))
    for position, operation in enumerate(OPERATIONS):
        merged = position < merged_operations
        assert (settings := callers[operation])._snapshot()["auth_act"] == (operation if merged else None)
        assert len(collab.traffic(f"{operation}_router")) == (13 if merged else 0)
        assert settings._snapshot()["enabled"] is True


class Tracked:
    """A collaborator result that can be watched with a weak reference."""

    def __init__(self, **kwargs: Any) -> None:
        self.__dict__.update(kwargs)


class Releases:
    """Collaborators that keep only weak references to what they return."""

    def __init__(self, fail_at: str | None = None) -> None:
        self.fail_at = fail_at
        self.made: dict[str, list[weakref.ref[Tracked]]] = {"AuthRouter": [], "RouterConfig": [], "GenericController": []}

    def _make(self, name: str, kwargs: dict[str, Any]) -> Tracked:
        if name == self.fail_at:
            raise Boom(name)
        made = Tracked(**kwargs)
        self.made[name].append(weakref.ref(made))
        return made

    def install(self, tc: ModuleType, monkeypatch: pytest.MonkeyPatch) -> None:
        for name in self.made:
            monkeypatch.setattr(tc, name, lambda _name=name, **kw: self._make(_name, kw))

    def alive(self, name: str) -> int:
        return sum(ref() is not None for ref in self.made[name])


@pytest.mark.parametrize("with_settings", [False, True], ids=["defaults", "caller-settings"])
def test_nothing_but_the_router_outlives_a_call(
    tc: ModuleType, AC: type, monkeypatch: pytest.MonkeyPatch, with_settings: bool
) -> None:
    releases = Releases()
    releases.install(tc, monkeypatch)
    blank = dict.fromkeys(("auth", "auth_role", "auth_obj", "auth_act", "message", "summary"))
    callers = {f"{op}_router": Tracked(enabled=True, **blank) for op in OPERATIONS} if with_settings else {}
    result = AC.create(model_class=1, response_schema=2, schema_name="s", **callers)
    assert releases.made["AuthRouter"][0]() is result
    baseline = Tracked()
    assert sys.getrefcount(result) == sys.getrefcount(baseline)
    assert len(releases.made["RouterConfig"]) == 5
    assert releases.alive("RouterConfig") == 0
    assert releases.alive("GenericController") == 0


@pytest.mark.parametrize("fail_at", ["RouterConfig", "GenericController"])
def test_a_failed_call_releases_the_router(
    tc: ModuleType, AC: type, monkeypatch: pytest.MonkeyPatch, fail_at: str
) -> None:
    releases = Releases(fail_at)
    releases.install(tc, monkeypatch)
    try:
        AC.create(model_class=1, response_schema=2)
    except Boom as exc:
        traceback.clear_frames(exc.__traceback__)
    else:
        pytest.fail("the collaborator's exception did not pass through")
    assert len(releases.made["AuthRouter"]) == 1
    assert releases.alive("AuthRouter") == 0
    assert releases.alive("RouterConfig") == 0


def test_a_missing_name_releases_the_router(tc: ModuleType, AC: type, monkeypatch: pytest.MonkeyPatch) -> None:
    releases = Releases()
    releases.install(tc, monkeypatch)
    monkeypatch.delattr(tc, "RouterConfig")
    with pytest.raises(NameError):
        AC.create(model_class=1, response_schema=2)
    assert len(releases.made["AuthRouter"]) == 1
    assert releases.alive("AuthRouter") == 0


def test_nested_calls_do_not_interfere(AC: type, collab: Collaborators) -> None:
    inner_results: list[Any] = []

    def nest(index: int) -> None:
        if index == 2:
            inner_results.append(AC.create(model_class="inner", response_schema=2, schema_name="in", table_name="t"))

    collab.before["RouterConfig"] = nest
    read_settings = collab.settings("read_router")
    outer = AC.create(model_class="outer", response_schema=1, schema_name="out", table_name="t", read_router=read_settings)
    outer_router, inner_router = collab.routers
    assert outer is outer_router and inner_results == [inner_router]
    controllers = collab.calls("GenericController")
    assert [dict(c[3])["model_class"] for c in controllers] == ["inner", "outer"]
    assert dict(controllers[1][3])["read_router"] is read_settings
    assert read_settings._snapshot()["auth_act"] == "read"
    assert [dict(c[3])["prefix"] for c in collab.calls("AuthRouter")] == ["/v1/out/t", "/v1/in/t"]


def test_controller_receives_the_keywords_in_order(AC: type, collab: Collaborators) -> None:
    values = {name: object() for name in ("model_class", "create_schema", "update_schema", "response_schema")}
    AC.create(**values)
    (call,) = collab.calls("GenericController")
    assert [name for name, _ in call[3]] == list(CONTROLLER_KEYWORDS)
    kwargs = dict(call[3])
    for name, value in values.items():
        assert kwargs[name] is value
    assert isinstance(kwargs["create_router"], Settings)


def test_collaborator_classes_receive_the_same_keywords(
    tc: ModuleType, AC: type, monkeypatch: pytest.MonkeyPatch
) -> None:
    # Classes defined in Python take their keywords as a dict rather than
    # through the fast call convention; they must see the same keywords.
    received: list[tuple[str, list[tuple[str, type, Any]]]] = []

    def recording_class(name: str) -> type:
        def __init__(self: Any, *args: Any, **kwargs: Any) -> None:
            assert args == ()
            received.append((name, typed(list(kwargs.items()))))
            self.__dict__.update(kwargs)
            kwargs.clear()

        return type(name, (), {"__init__": __init__})

    for name in ("AuthRouter", "RouterConfig", "GenericController"):
        monkeypatch.setattr(tc, name, recording_class(name))
    for _ in range(2):
        router = AC.create(model_class=1, response_schema=2, schema_name="sales", table_name="invoice")
    assert type(router).__name__ == "AuthRouter"
    assert [name for name, _ in received] == (["AuthRouter"] + ["RouterConfig"] * 5 + ["GenericController"]) * 2
    configs = [items for name, items in received if name == "RouterConfig"]
    assert configs == [typed(default_settings(op)) for op in OPERATIONS] * 2
    assert received[0][1] == typed(
        [
            ("prefix", "/v1/sales/invoice"),
            ("tags", ["sales.table"]),
            ("db_config_name", None),
            ("default_role", "sales"),
            ("auth_role", None),
            ("auth_obj", "sales.invoice"),
            ("auth_act", None),
        ]
    )
    assert [name for name, _, _ in received[6][1]] == list(CONTROLLER_KEYWORDS)
