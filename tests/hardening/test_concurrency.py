"""Several threads calling ``create`` while another rebinds, deletes and restores
the module's collaborator names.

Every event is stamped from one global counter, so each collaborator call can
be checked against the names that were bound while its lookup could have
happened: between the thread's previous event and the call itself.  A call
that found a name missing must fail with the NameError for that name and
nothing else.
"""

from __future__ import annotations

import bisect
import itertools
import sys
import threading
import time
import types
from collections import defaultdict
from dataclasses import dataclass, field
from types import ModuleType
from typing import Any

import pytest

from hardening_support import COLLABORATORS, OPERATIONS, default_settings

WORKERS = 4
CALLS_PER_WORKER = 250
GENERATIONS = 3
PLACES = ["AuthRouter"] + ["RouterConfig"] * 5 + ["GenericController"]

stamp = itertools.count()  # next() on it is atomic under the interpreter lock


@dataclass
class Invocation:
    seq: int
    name: str
    generation: int
    kwargs: dict[str, Any]
    result: Any = None


class Generation:
    """One set of collaborators; each records its calls in the calling thread's log."""

    def __init__(self, number: int, logs: dict[int, list[Any]]) -> None:
        self.number = number
        self.logs = logs

    def _record(self, name: str, kwargs: dict[str, Any], result: Any) -> Any:
        if next(stamp) % 7 == 0:
            time.sleep(0)  # let another thread run in the middle of a call
        self.logs[threading.get_ident()].append(Invocation(next(stamp), name, self.number, kwargs, result))
        return result

    def AuthRouter(self, **kwargs: Any) -> Any:
        return self._record("AuthRouter", kwargs, types.SimpleNamespace(generation=self.number))

    def RouterConfig(self, **kwargs: Any) -> Any:
        return self._record("RouterConfig", kwargs, types.SimpleNamespace(**kwargs))

    def GenericController(self, **kwargs: Any) -> Any:
        return self._record("GenericController", kwargs, None)


@dataclass
class Timeline:
    """The bindings of one name: (stamp before, stamp after, generation or None)."""

    changes: list[tuple[int, int, int | None]] = field(default_factory=list)

    def possible(self, start: int, end: int) -> set[int | None]:
        """Generations that may have been bound at some moment within (start, end)."""
        first = bisect.bisect_left([after for _, after, _ in self.changes], start)
        values: set[int | None] = {self.changes[first - 1][2] if first else 0}
        for before, _, value in self.changes[first:]:
            if before > end:
                break
            values.add(value)
        return values


class SharedSettings:
    """Route settings shared between threads and operations; the properties run
    Python code in the middle of a merge, where the interpreter may switch threads."""

    def __init__(self) -> None:
        self._values: dict[str, Any] = {name: None for name in ("auth", "auth_role", "auth_obj", "auth_act", "message", "summary")}
        self.enabled = True

    def __getattr__(self, name: str) -> Any:
        values = self.__dict__.get("_values")
        if values is None or name not in values:
            raise AttributeError(name)
        return values[name]

    def __setattr__(self, name: str, value: Any) -> None:
        if name in ("_values", "enabled"):
            object.__setattr__(self, name, value)
        else:
            self._values[name] = value


def test_calls_race_with_rebinding(tc: ModuleType, AC: type) -> None:
    logs: dict[int, list[Any]] = defaultdict(list)
    generations = [Generation(number, logs) for number in range(GENERATIONS)]
    timelines = {name: Timeline() for name in COLLABORATORS}
    for name in COLLABORATORS:
        setattr(tc, name, getattr(generations[0], name))
    shared = [SharedSettings() for _ in range(3)]
    shared_use: dict[int, set[str]] = defaultdict(set)
    stop = threading.Event()
    failures: list[BaseException] = []

    def change(name: str, number: int | None) -> None:
        before = next(stamp)
        if number is None:
            delattr(tc, name)
        else:
            setattr(tc, name, getattr(generations[number], name))
        timelines[name].changes.append((before, next(stamp), number))

    def rebind() -> None:
        try:
            for turn in itertools.count():
                if stop.is_set():
                    break
                name = COLLABORATORS[turn % 3]
                number = (turn // 3) % GENERATIONS
                if turn % 7 == 6:
                    # Gone for a moment (a thread switch may fall into it), then back.
                    change(name, None)
                    for _ in range(300):  # about one switch interval
                        pass
                change(name, number)
                time.sleep(0.00005 if turn % 2 else 0)
        finally:
            for name in COLLABORATORS:
                change(name, 0)

    def work(index: int) -> None:
        log = logs[threading.get_ident()]
        try:
            for call in range(CALLS_PER_WORKER):
                settings: dict[str, Any] = {}
                for position, operation in enumerate(OPERATIONS):
                    if (call + position + index) % 3 == 0:
                        chosen = shared[(call + position) % len(shared)]
                        shared_use[id(chosen)].add(operation)
                        settings[f"{operation}_router"] = chosen
                log.append(("start", next(stamp)))
                try:
                    router = AC.create(model_class=index, response_schema=call, table_name="t", **settings)
                except NameError as exc:
                    log.append(("name-error", next(stamp), str(exc)))
                else:
                    log.append(("done", next(stamp), router, settings))
        except BaseException as exc:  # noqa: BLE001 - reported by the main thread
            failures.append(exc)

    previous_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        workers = [threading.Thread(target=work, args=(index,)) for index in range(WORKERS)]
        rebinder = threading.Thread(target=rebind)
        rebinder.start()
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join(timeout=300)
        stop.set()
        rebinder.join(timeout=60)
    finally:
        sys.setswitchinterval(previous_interval)
    assert not failures, failures
    assert not any(worker.is_alive() for worker in workers)

    outcomes = check_logs(logs, timelines)
    print(dict(outcomes))
    assert outcomes["done"] > 0 and sum(outcomes.values()) == WORKERS * CALLS_PER_WORKER
    check_shared(shared, shared_use)


def check_logs(logs: dict[int, list[Any]], timelines: dict[str, Timeline]) -> dict[str, int]:
    outcomes: dict[str, int] = defaultdict(int)
    for log in logs.values():
        call: list[Invocation] = []
        previous = -1
        for entry in log:
            if isinstance(entry, Invocation):
                place = PLACES[len(call)]
                assert entry.name == place, (entry, call)
                possible = timelines[place].possible(previous, entry.seq)
                assert entry.generation in possible, (entry, previous, possible)
                call.append(entry)
                previous = entry.seq
                continue
            kind, seq = entry[0], entry[1]
            if kind == "start":
                call, previous = [], seq
                continue
            outcomes[kind] += 1
            if kind == "name-error":
                missing = PLACES[len(call)]
                assert entry[2] == f"name '{missing}' is not defined"
                assert None in timelines[missing].possible(previous, seq), (missing, previous, seq)
                continue
            router, settings = entry[2], entry[3]
            assert [invocation.name for invocation in call] == PLACES
            assert router is call[0].result
            controller = call[-1].kwargs
            assert controller["auth_router"] is router
            for operation, default in zip(OPERATIONS, call[1:6]):
                given = settings.get(f"{operation}_router")
                assert controller[f"{operation}_router"] is (given if given is not None else default.result)
                assert default.kwargs == default_settings(operation)
    return outcomes


def check_shared(shared: list[SharedSettings], shared_use: dict[int, set[str]]) -> None:
    for settings in shared:
        used = shared_use[id(settings)]
        if not used:
            continue
        candidates = {name: {default_settings(operation)[name] for operation in used} for name in settings._values}
        for name, value in settings._values.items():
            assert value in candidates[name], (name, value, used)
        assert settings.enabled is True


@pytest.mark.parametrize("nested", [1, 3])
def test_collaborator_calling_create_again(tc: ModuleType, AC: type, nested: int) -> None:
    """A collaborator that calls create itself: the inner calls do not disturb the outer one."""
    depth = 0
    routers: list[Any] = []

    def auth_router(**kwargs: Any) -> Any:
        nonlocal depth
        router = types.SimpleNamespace(**kwargs)
        if depth < nested:
            depth += 1
            routers.append(AC.create(model_class=depth, response_schema=None, table_name=f"inner{depth}"))
        return router

    tc.AuthRouter = auth_router
    tc.RouterConfig = types.SimpleNamespace
    tc.GenericController = types.SimpleNamespace
    outer = AC.create(model_class=0, response_schema=None, table_name="outer")
    assert outer.prefix == "/v1/outer"
    assert [router.prefix for router in routers] == [f"/v1/inner{level}" for level in range(nested, 0, -1)]
