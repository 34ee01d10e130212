"""How a caller's route settings are laid over an operation's default."""

from __future__ import annotations

import traceback
import types
from types import ModuleType
from typing import Any

import pytest

from native_support import (
    CREATE_ENTRY,
    MERGE_ENTRY,
    MERGED_ATTRIBUTES,
    OPERATIONS,
    Collaborators,
    Settings,
    default_settings,
    merge_traffic,
    native_entries,
)


def run(AC: type, **settings: Any) -> Any:
    return AC.create(model_class=1, response_schema=2, **settings)


def passed_settings(collab: Collaborators, operation: str) -> Any:
    (call,) = collab.calls("GenericController")
    return dict(call[3])[f"{operation}_router"]


def default_of(collab: Collaborators, operation: str) -> Settings:
    return collab.defaults[OPERATIONS.index(operation)]


class Untestable:
    """A value on which any truth test or comparison fails."""

    def __bool__(self) -> bool:
        raise AssertionError("truth test made")

    def __eq__(self, other: object) -> bool:
        raise AssertionError("comparison made")

    __hash__ = object.__hash__


@pytest.mark.parametrize("operation", OPERATIONS)
def test_unset_values_take_the_defaults_objects(AC: type, collab: Collaborators, operation: str) -> None:
    label = f"{operation}_router"
    settings = collab.settings(label, enabled=True)
    run(AC, **{label: settings})
    default = default_of(collab, operation)
    assert passed_settings(collab, operation) is settings
    values = settings._snapshot()
    for name in MERGED_ATTRIBUTES:
        assert values[name] is default._snapshot()[name]
    assert values["auth_act"] == operation
    assert dict(default_settings(operation))["summary"] == values["summary"]
    assert [e[2] for e in collab.traffic(label) if e[0] == "set"] == list(MERGED_ATTRIBUTES)
    assert all(e[0] == "get" for e in collab.traffic(f"default:{operation}"))


@pytest.mark.parametrize(
    "given",
    [
        pytest.param({"enabled": False}, id="switched-off-all-unset"),
        pytest.param({"enabled": False, "auth": True, "message": "kept"}, id="switched-off-partly-set"),
        pytest.param({"enabled": True}, id="switched-on-all-unset"),
        pytest.param({"enabled": None, "auth_role": "clerk"}, id="enabled-none-counts-as-on"),
        pytest.param({"enabled": 0, "summary": "s"}, id="enabled-zero-counts-as-on"),
        pytest.param({"enabled": "", "auth_obj": "o"}, id="enabled-empty-string-counts-as-on"),
        pytest.param({"enabled": True, "auth": False}, id="false-is-a-set-value"),
        pytest.param({"enabled": True, "message": ""}, id="empty-string-is-a-set-value"),
        pytest.param({"enabled": True, "auth_role": 0, "auth_obj": [], "auth_act": ()}, id="falsy-values-are-set"),
        pytest.param(
            {"enabled": True, "auth": True, "auth_role": "r", "auth_obj": "o", "auth_act": "a", "message": "m", "summary": "s"},
            id="everything-set",
        ),
    ],
)
def test_merge_reads_and_assigns_in_fixed_order(AC: type, collab: Collaborators, given: dict[str, Any]) -> None:
    settings = collab.settings("read_router", **given)
    before = settings._snapshot()
    run(AC, read_router=settings)
    default = dict(default_settings("read"))
    assert collab.traffic("read_router", "default:read") == merge_traffic("read_router", before, "default:read", default)
    after = settings._snapshot()
    assert after["enabled"] is before["enabled"]
    for name in MERGED_ATTRIBUTES:
        if before["enabled"] is False or before[name] is not None:
            assert after[name] is before[name]
        else:
            assert after[name] is default_of(collab, "read")._snapshot()[name]
    assert passed_settings(collab, "read") is settings


def test_switched_off_settings_are_not_touched(AC: type, collab: Collaborators) -> None:
    settings = collab.settings("delete_router", enabled=False)
    run(AC, delete_router=settings)
    assert collab.traffic("delete_router") == [("get", "delete_router", "enabled")]
    assert collab.traffic("default:delete") == []
    assert passed_settings(collab, "delete") is settings


def test_merge_makes_identity_tests_only(AC: type, collab: Collaborators) -> None:
    values = {name: Untestable() for name in ("enabled",) + MERGED_ATTRIBUTES}
    settings = collab.settings("update_router", **values)
    run(AC, update_router=settings)
    assert all(settings._snapshot()[n] is v for n, v in values.items())
    assert [e[3] for e in collab.traffic("update_router") if e[0] == "set"] == [values[n] for n in MERGED_ATTRIBUTES]


def test_one_object_for_two_operations(AC: type, collab: Collaborators) -> None:
    shared = collab.settings("shared", enabled=True)
    run(AC, create_router=shared, update_router=shared)
    values = shared._snapshot()
    assert values["auth_act"] == "create"
    assert values["message"] == "创建成功"
    assert values["summary"] == "create - 创建"
    # The update merge keeps what the create merge set; only the values that
    # stayed None (no role, no object in the defaults) are read again.
    sets = [e for e in collab.traffic("shared") if e[0] == "set"]
    assert len(sets) == 12
    assert collab.traffic("default:update") == [
        ("get", "default:update", "auth_role"),
        ("get", "default:update", "auth_obj"),
    ]
    bound = dict(collab.calls("GenericController")[0][3])
    assert bound["create_router"] is bound["update_router"] is shared


class SettingsError(Exception):
    pass


class Faulty(Settings):
    """Settings whose reads or assignments of one attribute fail."""

    def __init__(self, log: list[tuple[Any, ...]], label: str, fail_get: str = "", fail_set: str = "", **values: Any) -> None:
        super().__init__(log, label, **values)
        object.__setattr__(self, "_fail_get", fail_get)
        object.__setattr__(self, "_fail_set", fail_set)
        object.__setattr__(self, "_error", SettingsError(label))

    def __getattribute__(self, name: str) -> Any:
        if not name.startswith("_") and name == object.__getattribute__(self, "_fail_get"):
            raise object.__getattribute__(self, "_error")
        return super().__getattribute__(name)

    def __setattr__(self, name: str, value: Any) -> None:
        if name == object.__getattribute__(self, "_fail_set"):
            raise object.__getattribute__(self, "_error")
        super().__setattr__(name, value)


@pytest.mark.parametrize(
    "fail_get, fail_set, assigned",
    [
        ("enabled", "", []),
        ("auth", "", []),
        ("auth_obj", "", ["auth", "auth_role"]),
        ("summary", "", ["auth", "auth_role", "auth_obj", "auth_act", "message"]),
        ("", "auth", []),
        ("", "message", ["auth", "auth_role", "auth_obj", "auth_act"]),
    ],
)
def test_failing_settings_object(
    AC: type, collab: Collaborators, fail_get: str, fail_set: str, assigned: list[str]
) -> None:
    settings = Faulty(collab.log, "read_router", fail_get, fail_set, **dict.fromkeys(("enabled",) + MERGED_ATTRIBUTES))
    later = collab.settings("delete_router", enabled=True)
    with pytest.raises(SettingsError) as info:
        run(AC, read_router=settings, delete_router=later)
    assert info.value is object.__getattribute__(settings, "_error")
    assert native_entries(info.value) == [CREATE_ENTRY, MERGE_ENTRY]
    frames = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    assert frames.index(CREATE_ENTRY) < frames.index(MERGE_ENTRY) < len(frames) - 1

    sets = [e[2] for e in collab.traffic("read_router") if e[0] == "set"]
    assert sets == assigned
    values = settings._snapshot()
    for name in MERGED_ATTRIBUTES:
        expected = dict(default_settings("read"))[name] if name in assigned else None
        assert values[name] == expected
    if fail_get == "enabled":
        assert collab.traffic("default:read") == []
    assert all(e[0] == "get" for e in collab.traffic("default:read"))
    assert collab.traffic("delete_router") == []
    assert [c[1] for c in collab.calls()] == ["AuthRouter"] + ["RouterConfig"] * 3


def test_missing_attribute_on_a_plain_object(AC: type, collab: Collaborators) -> None:
    plain = types.SimpleNamespace(enabled=True, auth=None, auth_role=None)
    with pytest.raises(AttributeError) as info:
        run(AC, create_router=plain)
    assert "auth_obj" in str(info.value)
    assert native_entries(info.value) == [CREATE_ENTRY, MERGE_ENTRY]
    assert traceback.extract_tb(info.value.__traceback__)[-1].name == MERGE_ENTRY
    assert plain.auth is True and plain.auth_role is None
    assert vars(plain) == {"enabled": True, "auth": True, "auth_role": None}


def test_missing_attribute_on_the_default(
    tc: ModuleType, AC: type, collab: Collaborators, monkeypatch: pytest.MonkeyPatch
) -> None:
    def incomplete(**kwargs: Any) -> types.SimpleNamespace:
        kwargs.pop("summary")
        return types.SimpleNamespace(**kwargs)

    monkeypatch.setattr(tc, "RouterConfig", incomplete)
    given = collab.settings("create_router", enabled=True, summary="mine")
    missing = collab.settings("update_router", enabled=True)
    with pytest.raises(AttributeError) as info:
        run(AC, create_router=given, update_router=missing)
    assert native_entries(info.value) == [CREATE_ENTRY, MERGE_ENTRY]
    assert given._snapshot()["summary"] == "mine" and given._snapshot()["auth_act"] == "create"
    assert missing._snapshot()["message"] == "更新成功"
    assert missing._snapshot()["summary"] is None
    assert collab.calls("GenericController") == []
