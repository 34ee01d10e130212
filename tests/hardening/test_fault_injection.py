"""Every collaborator call, name lookup and merge step of ``create`` made to fail
in turn: the exception reaches the caller as the very object raised, with the
entries of the code that raised it below the module's own; the caller's
settings objects hold what the merges before the fault made of them; nothing
of the call stays alive."""

from __future__ import annotations

import builtins
import itertools
from collections import namedtuple
import types
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from types import ModuleType
from typing import Any

import pytest

from native_support import (COLLABORATORS, CREATE_ENTRY, MERGE_ENTRY, MERGED_ATTRIBUTES, NATIVE_FILE, OPERATIONS,
                               ROUTER_PARAMETERS, assert_no_growth, assert_released,
                               Settings, default_settings, entries_after_caller)  # fmt: skip

HERE = Path(__file__).name
SETTINGS_FILE = Path(Settings.__init__.__code__.co_filename).name
Event = tuple[str, str, str]  # ("get" | "set", settings label, attribute)
# The collaborator calls of one create call, in order; the name called at
# place p is looked up right before call p.
CALLS = [("AuthRouter", 0)] + [("RouterConfig", index) for index in range(5)] + [("GenericController", 0)]


Fault = type("Fault", (Exception,), {})  # raised at the fault point: one instance per plan

Made = type("Made", (types.SimpleNamespace,), {})  # what AuthRouter and GenericController return


@dataclass
class Plan:
    """Stands in for the collaborators of one call, logs the attribute traffic of
    the settings objects made with it and raises its fault at the chosen point."""

    fail_at_event: int | None = None
    fail_at_call: tuple[str, int] | None = None
    hooks: dict[tuple[str, int], Callable[[], None]] = field(default_factory=dict)
    fault: Fault = field(default_factory=lambda: Fault("injected"))
    events: list[Event] = field(default_factory=list)
    calls: list[str] = field(default_factory=list)
    defaults: list[Settings] = field(default_factory=list)
    made: list[Made] = field(default_factory=list)

    def traffic(self, event: tuple[Any, ...]) -> None:
        if len(self.events) == self.fail_at_event:
            raise self.fault
        self.events.append(event[:3])  # an assignment's value is checked on the objects

    def _enter(self, name: str, kwargs: dict[str, Any]) -> Any:
        index = self.calls.count(name)
        self.calls.append(name)
        if (hook := self.hooks.get((name, index))) is not None:
            hook()
        if self.fail_at_call == (name, index):
            raise self.fault
        if name == "RouterConfig":
            self.defaults.append(Settings(self.traffic, f"default:{OPERATIONS[index]}", **kwargs))
            return self.defaults[-1]
        self.made.append(Made(kwargs=kwargs))
        return self.made[-1]

    def AuthRouter(self, **kwargs: Any) -> Made:
        return self._enter("AuthRouter", kwargs)

    def RouterConfig(self, **kwargs: Any) -> Settings:
        return self._enter("RouterConfig", kwargs)

    def GenericController(self, **kwargs: Any) -> Made:
        return self._enter("GenericController", kwargs)


# Caller settings covering every merge rule: set values of every falsy kind,
# one object shared by two operations, an operation left to its default, a
# switched-off operation and one whose `enabled` is None.
INITIAL = {
    "shared": {"enabled": True, "auth": False, "auth_role": None, "auth_obj": "", "auth_act": None, "message": None, "summary": "mine"},
    "off": {"enabled": False, **dict.fromkeys(MERGED_ATTRIBUTES)},
    "unset": {"enabled": None, **dict.fromkeys(MERGED_ATTRIBUTES), "auth_role": 0},
}  # fmt: skip
CALLER_LABELS = dict(zip(ROUTER_PARAMETERS, ("shared", "shared", None, "off", "unset")))


FromDefault = namedtuple("FromDefault", "operation value")  # a value the merge copied from a default

def merge_model(fail_at_event: int | None = None, operations: int = 5) -> tuple[list[Event], dict[str, dict[str, Any]]]:
    """The traffic and the caller objects' values after the merges of the first
    ``operations`` operations, the event ``fail_at_event`` failing (and so nothing after it)."""
    states = {label: dict(values) for label, values in INITIAL.items()}

    def merges() -> Iterator[Event]:
        for operation, label in zip(OPERATIONS[:operations], CALLER_LABELS.values()):
            if label is None:
                continue
            yield "get", label, "enabled"
            if states[label]["enabled"] is False:
                continue
            for name in MERGED_ATTRIBUTES:
                yield "get", label, name
                value, source = states[label][name], label
                if value is None or (isinstance(value, FromDefault) and value.value is None):
                    value, source = FromDefault(operation, default_settings(operation)[name]), f"default:{operation}"
                yield "get", source, name
                yield "set", label, name
                states[label][name] = value

    steps = merges()
    events = list(itertools.islice(steps, fail_at_event))
    next(steps, None)  # the assignment after the last event that did not fail
    return events, states


# Merge events made by the first k operations, k = 0..5.
EVENTS_BEFORE = [len(merge_model(operations=k)[0]) for k in range(6)]


@dataclass(frozen=True)
class Point:
    kind: str  # "event": a merge read or assignment; "call", "missing", "lookup": at a collaborator place
    index: int

    def __str__(self) -> str:
        return f"merge-event-{self.index}" if self.kind == "event" else "{}-{}-{}".format(self.kind, *CALLS[self.index])

    def merged_operations(self) -> int:
        """Operations whose merge finished (or started) before the fault."""
        if self.kind == "event":
            return next(k for k in range(1, 6) if EVENTS_BEFORE[k] > self.index)
        return min(max(self.index - 1, 0), 5)

    def calls_made(self) -> list[str]:
        made = 1 + self.merged_operations() if self.kind == "event" else self.index + (self.kind == "call")
        return [name for name, _ in CALLS[:made]]


POINTS = [Point("event", n) for n in range(EVENTS_BEFORE[5])] + [
    Point(kind, place) for kind in ("call", "missing", "lookup") for place in range(len(CALLS))
]


class CollidingKey:
    """A namespace key sharing a collaborator name's hash; once armed, comparing
    it with that name raises, so looking the name up fails."""

    def __init__(self, name: str) -> None:
        self.hash, self.fault = hash(name), None

    def __hash__(self) -> int:
        return self.hash

    def __eq__(self, other: object) -> bool:
        if self.fault is not None:
            raise self.fault
        return False


class KeywordDict:
    """A callable without the fast-call protocol: the module calls it with a dict of keywords."""

    def __init__(self, target: Callable[..., Any]) -> None:
        self.target = target

    def __call__(self, **kwargs: Any) -> Any:
        return self.target(**kwargs)


def install(tc: ModuleType, plan: Plan, convention: str = "fast-call") -> None:
    for name in COLLABORATORS:
        setattr(tc, name, getattr(plan, name) if convention == "fast-call" else KeywordDict(getattr(plan, name)))


def caller_settings(plan: Plan) -> dict[str, Any]:
    objects = {label: Settings(plan.traffic, label, **values) for label, values in INITIAL.items()}
    settings = {parameter: objects.get(label) for parameter, label in CALLER_LABELS.items()}  # type: ignore[arg-type]
    return {"model_class": "model", "response_schema": "response", "schema_name": "sales", "table_name": "invoice", **settings}


def run_point(tc: ModuleType, AC: type, point: Point | None, convention: str = "fast-call") -> tuple[Plan, dict[str, Any], Any]:
    """One call failing at ``point`` (None: not at all); the exception, or the result."""
    plan = Plan()
    install(tc, plan, convention)
    if point is None:
        pass
    elif point.kind == "event":
        plan.fail_at_event = point.index
    elif point.kind == "call":
        plan.fail_at_call = CALLS[point.index]
    else:

        def break_lookup() -> None:
            value = tc.__dict__.pop(name := CALLS[point.index][0])
            if point.kind == "lookup":  # the key takes the name's place in the probe sequence
                tc.__dict__[key := CollidingKey(name)] = None
                tc.__dict__[name] = value
                key.fault = plan.fault

        if point.index == 0:
            break_lookup()
        else:  # right after the call before
            plan.hooks[CALLS[point.index - 1]] = break_lookup
    kwargs = caller_settings(plan)
    try:
        return plan, kwargs, AC.create(**kwargs)
    except BaseException as exc:  # noqa: BLE001 - the test inspects whatever arrives
        return plan, kwargs, exc
    finally:
        for key in [key for key in tc.__dict__ if isinstance(key, CollidingKey)]:
            key.fault = None
            del tc.__dict__[key]
        for name in COLLABORATORS:  # the module's lookup caches keep plain classes, not this plan's
            setattr(tc, name, types.SimpleNamespace)
        AC.create(model_class=None, response_schema=None)


def expected_entries(point: Point, convention: str) -> list[tuple[str, str]]:
    create = (NATIVE_FILE, CREATE_ENTRY)
    if point.kind == "event":
        hook = "__getattribute__" if merge_model()[0][point.index][0] == "get" else "__setattr__"
        return [create, (NATIVE_FILE, MERGE_ENTRY), (SETTINGS_FILE, hook), (HERE, "traffic")]
    if point.kind == "call":
        wrapper = [(HERE, "__call__")] if convention == "keyword-dict" else []
        return [create, *wrapper, (HERE, CALLS[point.index][0]), (HERE, "_enter")]
    return [create, (HERE, "__eq__")] if point.kind == "lookup" else [create]


@pytest.mark.parametrize("convention", ["fast-call", "keyword-dict"])
@pytest.mark.parametrize("point", POINTS, ids=str)
def test_fault_reaches_the_caller_unchanged(tc: ModuleType, AC: type, point: Point, convention: str) -> None:
    plan, kwargs, exc = run_point(tc, AC, point, convention)
    if point.kind == "missing":
        assert type(exc) is NameError and str(exc) == f"name '{CALLS[point.index][0]}' is not defined"
    else:
        assert exc is plan.fault
    assert exc.__context__ is None and exc.__cause__ is None
    assert entries_after_caller(exc, "run_point") == expected_entries(point, convention)

    # The caller's objects hold the merges made before the fault, nothing more.
    events, states = merge_model(point.index if point.kind == "event" else EVENTS_BEFORE[point.merged_operations()])
    assert plan.events == events
    for label, parameter in (("shared", "create_router"), ("off", "delete_router"), ("unset", "query_router")):
        state = kwargs[parameter]._snapshot()
        for name, value in states[label].items():
            if isinstance(value, FromDefault):
                value = plan.defaults[OPERATIONS.index(value.operation)]._snapshot()[name]
            assert state[name] is value, (label, name, state[name], value)
    # Defaults are only read; later steps did not run.
    assert [default._snapshot() for default in plan.defaults] == [default_settings(op) for op in OPERATIONS][: len(plan.defaults)]
    assert plan.calls == point.calls_made()


# Collaborators taking a keyword dict go through their own call path in the
# module; their failures are checked for leaks as well, and so is a call that
# does not fail at all.
LEAK_CASES = [(point, "fast-call") for point in [*POINTS, None]] + [
    (point, "keyword-dict") for point in [*POINTS, None] if point is None or point.kind == "call"
]


@pytest.mark.parametrize(("point", "convention"), LEAK_CASES, ids=str)
def test_fault_path_releases_everything(tc: ModuleType, AC: type, point: Point | None, convention: str) -> None:
    def make() -> list[object]:
        plan, kwargs, outcome = run_point(tc, AC, point, convention)
        if point is None:
            assert plan.events == merge_model()[0]
            assert outcome is plan.made[0] and plan.made[1].kwargs["auth_router"] is outcome
        else:
            assert isinstance(outcome, BaseException)
        # NameError takes no weak reference; the injected faults and the results do.
        kept = [] if isinstance(outcome, NameError) else [outcome]
        return [plan, *kept, *plan.defaults, *plan.made, *(v for v in kwargs.values() if isinstance(v, Settings))]

    assert_released(make)
    texts = [text for operation in OPERATIONS for text in default_settings(operation).values()]
    watched = [AC, AC.create.__func__, tc.__dict__, Fault, NameError, Settings, None, True, False, *texts]
    assert_no_growth(lambda: run_point(tc, AC, point, convention), watched, repeats=150)


@pytest.mark.parametrize("name", COLLABORATORS)
def test_name_missing_from_the_module_is_looked_up_in_builtins(
    tc: ModuleType, AC: type, name: str, monkeypatch: pytest.MonkeyPatch
) -> None:
    plan = Plan()
    install(tc, plan)
    monkeypatch.delattr(tc, name)
    monkeypatch.setattr(builtins, name, getattr(plan, name), raising=False)
    assert AC.create(**caller_settings(plan)) is plan.made[0]
    assert plan.calls == [n for n, _ in CALLS]
