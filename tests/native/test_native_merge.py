"""How a caller's route settings are laid over an operation's default."""

from __future__ import annotations

import types
from typing import Any

import pytest

from native_support import (
    CREATE_ENTRY, MERGE_ENTRY, MERGED_ATTRIBUTES, OPERATIONS, SETTINGS_ATTRIBUTES, Collaborators, Settings,
    default_settings, frame_names, merge_traffic, native_entries,
)


def run(AC: type, **settings: Any) -> Any:
    return AC.create(model_class=1, response_schema=2, **settings)


class Untestable:
    """A value on which any truth test or comparison fails."""

    def __bool__(self) -> bool:
        raise AssertionError("truth test made")

    def __eq__(self, other: object) -> bool:
        raise AssertionError("comparison made")

    __hash__ = object.__hash__


@pytest.mark.parametrize(
    "operation, given",
    [
        ("create", {"enabled": True}),
        ("update", {"enabled": True}),
        ("delete", {"enabled": True}),
        ("query", {"enabled": True}),
        ("read", {"enabled": False}),
        ("read", {"enabled": False, "auth": True, "message": "kept"}),
        ("read", {"enabled": True}),
        ("read", {"enabled": None, "auth_role": "clerk"}),
        ("read", {"enabled": 0, "summary": "s"}),
        ("read", {"enabled": "", "auth_obj": "o"}),
        ("read", {"enabled": True, "auth": False}),
        ("read", {"enabled": True, "message": ""}),
        ("read", {"enabled": True, "auth_role": 0, "auth_obj": [], "auth_act": ()}),
        ("read", {"enabled": True, "auth": True, "auth_role": "r", "auth_obj": "o", "auth_act": "a", "message": "m",
                  "summary": "s"}),
        ("update", {name: Untestable() for name in SETTINGS_ATTRIBUTES}),
    ],
)
def test_merge_reads_and_assigns_in_fixed_order(AC: type, collab: Collaborators, operation: str, given: dict[str, Any]) -> None:
    label, default_label = f"{operation}_router", f"default:{operation}"
    settings = collab.settings(label, **given)
    before = settings._snapshot()
    run(AC, **{label: settings})
    default = collab.defaults[OPERATIONS.index(operation)]
    assert collab.traffic(label, default_label) == merge_traffic(label, before, default_label, dict(default_settings(operation)))
    after = settings._snapshot()
    assert after["enabled"] is before["enabled"]
    for name in MERGED_ATTRIBUTES:
        kept = before["enabled"] is False or before[name] is not None
        assert after[name] is (before[name] if kept else default._snapshot()[name])
    assert collab.kwargs("GenericController")[label] is settings


def test_one_object_for_two_operations(AC: type, collab: Collaborators) -> None:
    shared = collab.settings("shared", enabled=True)
    run(AC, create_router=shared, update_router=shared)
    values = shared._snapshot()
    assert (values["auth_act"], values["message"], values["summary"]) == ("create", "创建成功", "create - 创建")
    # The update merge keeps what the create merge set; only the values that
    # stayed None (no role, no object in the defaults) are read again.
    assert len(collab.assigned("shared")) == 12
    assert collab.traffic("default:update") == [("get", "default:update", "auth_role"), ("get", "default:update", "auth_obj")]
    bound = collab.kwargs("GenericController")
    assert bound["create_router"] is bound["update_router"] is shared


class SettingsError(Exception):
    pass


class Faulty(Settings):
    """Settings whose read of ``_get`` or assignment of ``_set`` raises ``_error``."""

    def __getattribute__(self, name: str) -> Any:
        if name == object.__getattribute__(self, "_get"):
            raise object.__getattribute__(self, "_error")
        return super().__getattribute__(name)

    def __setattr__(self, name: str, value: Any) -> None:
        if name == object.__getattribute__(self, "_set"):
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
def test_failing_settings_object(AC: type, collab: Collaborators, fail_get: str, fail_set: str, assigned: list[str]) -> None:
    error = SettingsError()
    settings = Faulty(collab.log.append, "read_router", _get=fail_get, _set=fail_set, _error=error, **dict.fromkeys(SETTINGS_ATTRIBUTES))
    with pytest.raises(SettingsError) as info:
        run(AC, read_router=settings, delete_router=collab.settings("delete_router", enabled=True))
    assert info.value is error
    assert native_entries(info.value) == [CREATE_ENTRY, MERGE_ENTRY]
    frames = frame_names(info.value)
    assert frames.index(CREATE_ENTRY) < frames.index(MERGE_ENTRY) < len(frames) - 1
    assert collab.assigned("read_router") == assigned
    defaults = dict(default_settings("read"))
    assert settings._snapshot() == {"enabled": None, **{n: defaults[n] if n in assigned else None for n in MERGED_ATTRIBUTES}}
    assert all(e[0] == "get" for e in collab.traffic("default:read"))
    assert fail_get != "enabled" or collab.traffic("default:read") == []
    assert collab.traffic("delete_router") == []
    assert [c[1] for c in collab.calls()] == ["AuthRouter"] + ["RouterConfig"] * 3


def test_missing_attribute_on_the_default(AC: type, collab: Collaborators, rebind: Any) -> None:
    def incomplete(**kwargs: Any) -> types.SimpleNamespace:
        kwargs.pop("summary")
        return types.SimpleNamespace(**kwargs)

    rebind(types.SimpleNamespace(RouterConfig=incomplete), "RouterConfig")
    given = collab.settings("create_router", enabled=True, summary="mine")
    missing = collab.settings("update_router", enabled=True)
    with pytest.raises(AttributeError) as info:
        run(AC, create_router=given, update_router=missing)
    assert native_entries(info.value) == [CREATE_ENTRY, MERGE_ENTRY]
    assert given._snapshot()["summary"] == "mine" and given._snapshot()["auth_act"] == "create"
    assert missing._snapshot()["message"] == "更新成功" and missing._snapshot()["summary"] is None
    assert collab.calls("GenericController") == []
