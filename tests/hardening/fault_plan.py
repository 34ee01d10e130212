"""Collaborators and route settings that fail on demand, and a model of what a
failed ``create`` call must leave behind.

A ``Plan`` stands in for the three collaborators of one ``create`` call and
logs the attribute traffic of every route settings object made with it.  It
raises its ``Fault`` at one chosen point: a collaborator call, or one read or
assignment of the merge (counted across the whole call).  Hooks run inside a
chosen collaborator call, to change the module namespace mid-call.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from hardening_support import MERGED_ATTRIBUTES, OPERATIONS, ROUTER_PARAMETERS, SETTINGS_ATTRIBUTES, default_settings

Event = tuple[str, str, str]  # ("get" | "set", label, attribute)


class Fault(Exception):
    """The exception a fault point raises: one instance per plan, checked by identity."""


class Settings:
    """Route settings that report every public attribute read and assignment to a plan."""

    def __init__(self, plan: Plan, label: str, values: dict[str, Any]) -> None:
        object.__setattr__(self, "_plan", plan)
        object.__setattr__(self, "_label", label)
        for name, value in values.items():
            object.__setattr__(self, name, value)

    def __getattribute__(self, name: str) -> Any:
        if name.startswith("_"):
            return object.__getattribute__(self, name)
        object.__getattribute__(self, "_plan").traffic(("get", object.__getattribute__(self, "_label"), name))
        return object.__getattribute__(self, name)

    def __setattr__(self, name: str, value: Any) -> None:
        object.__getattribute__(self, "_plan").traffic(("set", object.__getattribute__(self, "_label"), name))
        object.__setattr__(self, name, value)

    def _state(self) -> dict[str, Any]:
        own = object.__getattribute__(self, "__dict__")
        return {name: own[name] for name in SETTINGS_ATTRIBUTES}


class Made:
    """What the AuthRouter and GenericController stand-ins return."""

    def __init__(self, kwargs: dict[str, Any]) -> None:
        self.kwargs = kwargs


@dataclass
class Plan:
    fail_at_event: int | None = None
    fail_at_call: tuple[str, int] | None = None
    hooks: dict[tuple[str, int], Callable[[], None]] = field(default_factory=dict)
    fault: Fault = field(default_factory=lambda: Fault("injected"))
    events: list[Event] = field(default_factory=list)
    calls: list[str] = field(default_factory=list)
    defaults: list[Settings] = field(default_factory=list)
    made: list[Made] = field(default_factory=list)

    def traffic(self, event: Event) -> None:
        if len(self.events) == self.fail_at_event:
            raise self.fault
        self.events.append(event)

    def _enter(self, name: str) -> int:
        index = self.calls.count(name)
        self.calls.append(name)
        hook = self.hooks.get((name, index))
        if hook is not None:
            hook()
        if self.fail_at_call == (name, index):
            raise self.fault
        return index

    def AuthRouter(self, **kwargs: Any) -> Made:
        self._enter("AuthRouter")
        self.made.append(Made(kwargs))
        return self.made[-1]

    def RouterConfig(self, **kwargs: Any) -> Settings:
        index = self._enter("RouterConfig")
        self.defaults.append(Settings(self, f"default:{OPERATIONS[index]}", kwargs))
        return self.defaults[-1]

    def GenericController(self, **kwargs: Any) -> Made:
        self._enter("GenericController")
        self.made.append(Made(kwargs))
        return self.made[-1]


# Caller settings covering every merge rule: set values of every falsy kind,
# one object shared by two operations, an operation left to its default, a
# switched-off operation and one whose `enabled` is None.
SHARED = {"enabled": True, "auth": False, "auth_role": None, "auth_obj": "", "auth_act": None, "message": None, "summary": "mine"}
OFF = {"enabled": False, "auth": None, "auth_role": None, "auth_obj": None, "auth_act": None, "message": None, "summary": None}
UNSET = {"enabled": None, "auth": None, "auth_role": 0, "auth_obj": None, "auth_act": None, "message": None, "summary": None}
CALLER_LABELS: dict[str, str | None] = {
    "create_router": "shared",
    "update_router": "shared",
    "read_router": None,
    "delete_router": "off",
    "query_router": "unset",
}
INITIAL = {"shared": SHARED, "off": OFF, "unset": UNSET}


def caller_settings(plan: Plan) -> dict[str, Settings | None]:
    """Fresh caller settings objects for one call, keyed by ``create`` parameter."""
    objects = {label: Settings(plan, label, dict(values)) for label, values in INITIAL.items()}
    return {parameter: (objects[label] if label else None) for parameter, label in CALLER_LABELS.items()}


@dataclass(frozen=True)
class FromDefault:
    """A value the merge copied from an operation's default settings object."""

    operation: str
    name: str
    value: Any

    @staticmethod
    def unset(value: Any) -> bool:
        return value is None or (isinstance(value, FromDefault) and value.value is None)


@dataclass
class Outcome:
    """What the model says a call leaves: the traffic, and the caller objects' values."""

    events: list[Event]
    states: dict[str, dict[str, Any]]
    failed: bool


def merge_model(fail_at_event: int | None = None, operations: int = len(OPERATIONS)) -> Outcome:
    """The merges of the first ``operations`` operations over the caller settings above,
    stopping at the event ``fail_at_event`` (which then has no effect)."""
    states = {label: dict(values) for label, values in INITIAL.items()}
    events: list[Event] = []

    def step(event: Event) -> bool:
        if len(events) == fail_at_event:
            return False
        events.append(event)
        return True

    for operation, parameter in zip(OPERATIONS[:operations], ROUTER_PARAMETERS):
        label = CALLER_LABELS[parameter]
        if label is None:
            continue
        state = states[label]
        if not step(("get", label, "enabled")):
            return Outcome(events, states, True)
        if state["enabled"] is False:
            continue
        for name in MERGED_ATTRIBUTES:
            if not step(("get", label, name)):
                return Outcome(events, states, True)
            if FromDefault.unset(state[name]):
                source, value = f"default:{operation}", FromDefault(operation, name, default_settings(operation)[name])
            else:
                source, value = label, state[name]
            if not step(("get", source, name)) or not step(("set", label, name)):
                return Outcome(events, states, True)
            state[name] = value
    return Outcome(events, states, False)


def events_before_operation(operation_index: int) -> int:
    """How many merge events the operations before this one make."""
    return len(merge_model(operations=operation_index).events)


def fail_call(plan: Plan) -> dict[str, Any]:
    """Keyword arguments of a ``create`` call driven by ``plan``."""
    return {
        "model_class": "model",
        "response_schema": "response",
        "schema_name": "sales",
        "table_name": "invoice",
        **caller_settings(plan),
    }
