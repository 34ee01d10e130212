"""The native factory against its Python version (tests/support/reference_factory.py):
the same collaborator calls with the same values, the same reads and assignments
on route settings in the same order, and the caller's settings left alike."""

from __future__ import annotations

from typing import Any

import pytest

import reference_factory
from native_support import Collaborators, Settings

MODEL, RESPONSE = object(), object()

ARGUMENTS = {
    "nothing-given": {},
    "names": {"schema_name": "sales", "table_name": "invoice"},
    "everything-given": {"schema_name": "s", "table_name": "t", "prefix": "/p", "tags": ["t"], "default_role": "r",
                         "auth_role": "a", "auth_obj": "o", "auth_act": "x", "db_config_name": "d",
                         "create_schema": MODEL, "update_schema": RESPONSE},
    "empty-texts": {"schema_name": "", "table_name": "", "prefix": "", "tags": [], "default_role": "", "auth_obj": ""},
    "wide-characters": {"schema_name": "销售", "table_name": "发票🛒"},
}
# (the caller's settings objects by label, the label each operation's parameter names)
SETTINGS: dict[str, tuple[dict[str, dict[str, Any]], dict[str, str]]] = {
    "none": ({}, {}),
    "every-kind": (
        {"on": {"enabled": True}, "off": {"enabled": False, "auth": True}, "unset": {"enabled": None, "auth_role": "clerk"},
         "falsy": {"enabled": 0, "message": "", "summary": "s"}, "public": {"enabled": True, "auth": False, "auth_obj": []}},
        {"create_router": "on", "update_router": "off", "read_router": "unset", "delete_router": "falsy",
         "query_router": "public"},
    ),
    "one-object-for-two": ({"shared": {"enabled": True, "auth_act": None}}, {"create_router": "shared", "read_router": "shared"}),
}


def portable(value: Any, recorder: Collaborators) -> Any:
    """``value`` in a form that compares across the two runs: settings objects by
    label, the router by its place, texts with their type, the rest by identity."""
    if isinstance(value, Settings):
        return "settings", object.__getattribute__(value, "_label")
    if any(value is router for router in recorder.routers):
        return "router", [id(router) for router in recorder.routers].index(id(value))
    if isinstance(value, dict):
        return dict, [(key, portable(item, recorder)) for key, item in value.items()]
    if isinstance(value, (list, tuple)):
        return type(value), [portable(item, recorder) for item in value]
    if isinstance(value, (str, bool, int)) or value is None:
        return type(value), value
    return "object", id(value)


def run(create: Any, recorder: Collaborators, arguments: dict[str, Any], settings: str) -> dict[str, Any]:
    objects, routers = SETTINGS[settings]
    callers = {label: recorder.settings(label, **values) for label, values in objects.items()}
    result = create(model_class=MODEL, response_schema=RESPONSE, **arguments,
                    **{parameter: callers[label] for parameter, label in routers.items()})
    return portable({"result": result, "log": recorder.log, "callers": [s._snapshot() for s in callers.values()]},
                    recorder)


@pytest.mark.parametrize("settings", SETTINGS)
@pytest.mark.parametrize("arguments", ARGUMENTS)
def test_native_and_python_factories_agree(AC: type, rebind: Any, arguments: str, settings: str) -> None:
    native, reference = Collaborators(), Collaborators()
    rebind(native)
    reference_factory.use_collaborators(reference)
    assert run(AC.create, native, ARGUMENTS[arguments], settings) == run(
        reference_factory.ReferenceAuthController.create, reference, ARGUMENTS[arguments], settings
    )
