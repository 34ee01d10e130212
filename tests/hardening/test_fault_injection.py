"""Every collaborator call, name lookup and merge step of ``create`` made to fail in turn.

For each fault the exception must reach the caller as the very object that
was raised, with the traceback entries of the code that raised it below the
module's own entries; the caller's settings objects must hold what the merges
done before the fault made of them; and nothing of the call may stay alive.
"""

from __future__ import annotations

import builtins
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType
from typing import Any

import pytest

from fault_plan import Fault, FromDefault, Plan, Settings, events_before_operation, fail_call, merge_model
from hardening_support import (
    COLLABORATORS,
    CREATE_ENTRY,
    MERGE_ENTRY,
    NATIVE_FILE,
    OPERATIONS,
    assert_no_growth,
    assert_released,
    default_settings,
    entries_after_caller,
    flush_name_caches,
)

HERE = Path(__file__).name
PLAN_FILE = "fault_plan.py"

# The collaborator calls of one create call, in order; the name looked up at
# place p is looked up right before call p.
CALLS = [("AuthRouter", 0)] + [("RouterConfig", index) for index in range(5)] + [("GenericController", 0)]
MERGE_EVENTS = len(merge_model().events)


@dataclass(frozen=True)
class Point:
    kind: str  # "event": a merge read or assignment; "call", "missing", "lookup": at a collaborator place
    index: int

    def __str__(self) -> str:
        if self.kind == "event":
            return f"merge-event-{self.index}"
        name, number = CALLS[self.index]
        return f"{self.kind}-{name}-{number}"

    def merged_operations(self) -> int:
        """Operations whose merge finished (or started) before the fault."""
        if self.kind == "event":
            return next(k for k in range(1, 6) if events_before_operation(k) > self.index)
        return max(self.index - 1, 0) if self.index < 6 else 5

    def events_before(self) -> int:
        return self.index if self.kind == "event" else events_before_operation(self.merged_operations())

    def calls_made(self) -> list[str]:
        if self.kind == "event":
            return ["AuthRouter"] + ["RouterConfig"] * self.merged_operations()
        made = [name for name, _ in CALLS[: self.index]]
        return made + [CALLS[self.index][0]] if self.kind == "call" else made


POINTS = (
    [Point("event", n) for n in range(MERGE_EVENTS)]
    + [Point(kind, place) for kind in ("call", "missing", "lookup") for place in range(len(CALLS))]
)


class CollidingKey:
    """A module-namespace key that shares a collaborator name's hash; once armed,
    comparing it with that name raises, so looking the name up fails."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.fault: Fault | None = None

    def __hash__(self) -> int:
        return hash(self.name)

    def __eq__(self, other: object) -> bool:
        if self.fault is not None:
            raise self.fault
        return False


CURRENT_PLAN: dict[str, Plan] = {}


class ClassCollaborator:
    """A class whose construction runs the current plan's collaborator: a
    callable without the fast-call protocol, which the module calls with a
    dict of keywords.  Made once and never changed, so that repeated calls
    neither make classes nor invalidate the interpreter's type caches."""

    name = ""

    def __new__(cls, **kwargs: Any) -> Any:
        return getattr(CURRENT_PLAN["plan"], cls.name)(**kwargs)


CLASS_COLLABORATORS = {name: type(name, (ClassCollaborator,), {"name": name}) for name in COLLABORATORS}


def install(tc: ModuleType, plan: Plan, convention: str = "fast-call") -> None:
    for name in COLLABORATORS:
        if convention == "fast-call":
            setattr(tc, name, getattr(plan, name))
        else:
            CURRENT_PLAN["plan"] = plan
            setattr(tc, name, CLASS_COLLABORATORS[name])


def break_lookup(tc: ModuleType, name: str, kind: str, plan: Plan) -> None:
    namespace = tc.__dict__
    if kind == "missing":
        del namespace[name]
        return
    # The key takes the name's place in the probe sequence, the name comes after it.
    value = namespace.pop(name)
    key = CollidingKey(name)
    namespace[key] = None
    namespace[name] = value
    key.fault = plan.fault


def repair(tc: ModuleType, plan: Plan) -> None:
    namespace = tc.__dict__
    for key in [key for key in namespace if isinstance(key, CollidingKey)]:
        key.fault = None
        del namespace[key]
    CURRENT_PLAN.clear()
    flush_name_caches(tc)


def run_point(
    tc: ModuleType, AC: type, point: Point, convention: str = "fast-call"
) -> tuple[Plan, dict[str, Any], BaseException | None]:
    plan = Plan()
    install(tc, plan, convention)
    if point.kind == "event":
        plan.fail_at_event = point.index
    elif point.kind == "call":
        plan.fail_at_call = CALLS[point.index]
    else:
        name = CALLS[point.index][0]
        if point.index == 0:
            break_lookup(tc, name, point.kind, plan)
        else:
            plan.hooks[CALLS[point.index - 1]] = lambda: break_lookup(tc, name, point.kind, plan)
    kwargs = fail_call(plan)
    try:
        AC.create(**kwargs)
    except BaseException as exc:  # noqa: BLE001 - the test inspects whatever arrives
        return plan, kwargs, exc
    finally:
        repair(tc, plan)
    return plan, kwargs, None


def expected_entries(point: Point, convention: str) -> list[tuple[str, str]]:
    create = (NATIVE_FILE, CREATE_ENTRY)
    if point.kind == "event":
        event = merge_model().events[point.index]
        hook = "__getattribute__" if event[0] == "get" else "__setattr__"
        return [create, (NATIVE_FILE, MERGE_ENTRY), (PLAN_FILE, hook), (PLAN_FILE, "traffic")]
    if point.kind == "call":
        wrapper = [(HERE, "__new__")] if convention == "keyword-dict" else []
        return [create, *wrapper, (PLAN_FILE, CALLS[point.index][0]), (PLAN_FILE, "_enter")]
    if point.kind == "lookup":
        return [create, (HERE, "__eq__")]
    return [create]


@pytest.mark.parametrize("convention", ["fast-call", "keyword-dict"])
@pytest.mark.parametrize("point", POINTS, ids=str)
def test_fault_reaches_the_caller_unchanged(tc: ModuleType, AC: type, point: Point, convention: str) -> None:
    plan, kwargs, exc = run_point(tc, AC, point, convention)

    if point.kind == "missing":
        assert type(exc) is NameError
        assert str(exc) == f"name '{CALLS[point.index][0]}' is not defined"
    else:
        assert exc is plan.fault
    assert exc.__context__ is None and exc.__cause__ is None
    assert entries_after_caller(exc, "run_point") == expected_entries(point, convention)

    # The caller's objects hold the merges made before the fault, nothing more.
    model = merge_model(fail_at_event=point.events_before())
    assert plan.events == model.events
    objects = {"shared": kwargs["create_router"], "off": kwargs["delete_router"], "unset": kwargs["query_router"]}
    for label, settings in objects.items():
        state = settings._state()
        for name, value in model.states[label].items():
            if isinstance(value, FromDefault):
                value = plan.defaults[OPERATIONS.index(value.operation)]._state()[name]
            assert state[name] is value, (label, name, state[name], value)
    # Defaults are only read; later steps did not run.
    for operation, default in zip(OPERATIONS, plan.defaults):
        assert default._state() == default_settings(operation)
    assert plan.calls == point.calls_made()


# Collaborators taking a keyword dict go through their own call path in the
# module; their failures are checked for leaks as well.
LEAK_CASES = [(point, "fast-call") for point in POINTS] + [
    (point, "keyword-dict") for point in POINTS if point.kind == "call"
]


@pytest.mark.parametrize(("point", "convention"), LEAK_CASES, ids=lambda value: str(value))
def test_fault_path_releases_everything(tc: ModuleType, AC: type, point: Point, convention: str) -> None:
    def make() -> list[object]:
        plan, kwargs, exc = run_point(tc, AC, point, convention)
        assert exc is not None
        # NameError takes no weak reference; the injected faults do.
        raised = [exc] if isinstance(exc, Fault) else []
        return [plan, *raised, *plan.defaults, *plan.made, *(v for v in kwargs.values() if isinstance(v, Settings))]

    assert_released(make)

    def once() -> None:
        run_point(tc, AC, point, convention)

    texts = [text for operation in OPERATIONS for text in default_settings(operation).values()]
    watched = [AC, AC.create.__func__, tc.__dict__, Fault, NameError, Settings, None, True, False, *texts]
    assert_no_growth(once, watched, repeats=150)


def test_success_with_the_same_plan_releases_everything(tc: ModuleType, AC: type) -> None:
    """The model agrees with a call that does not fail, and a successful call keeps nothing but the router."""
    plan = Plan()
    install(tc, plan)
    kwargs = fail_call(plan)
    router = AC.create(**kwargs)
    assert plan.events == merge_model().events
    assert router is plan.made[0] and plan.made[1].kwargs["auth_router"] is router

    def make() -> list[object]:
        plan = Plan()
        install(tc, plan)
        kwargs = fail_call(plan)
        router = AC.create(**kwargs)
        flush_name_caches(tc)
        return [plan, router, *plan.defaults, *plan.made, *(v for v in kwargs.values() if isinstance(v, Settings))]

    assert_released(make)


@pytest.mark.parametrize("name", COLLABORATORS)
def test_name_missing_from_the_module_is_found_in_builtins(
    tc: ModuleType, AC: type, name: str, monkeypatch: pytest.MonkeyPatch
) -> None:
    plan = Plan()
    install(tc, plan)
    monkeypatch.delattr(tc, name)
    monkeypatch.setattr(builtins, name, getattr(plan, name), raising=False)
    router = AC.create(**fail_call(plan))
    assert router is plan.made[0]
    assert plan.calls == [n for n, _ in CALLS]
    monkeypatch.delattr(builtins, name)
    plan = Plan()
    install(tc, plan)
    delattr(tc, name)
    with pytest.raises(NameError, match=f"^name '{name}' is not defined$"):
        AC.create(**fail_call(plan))
