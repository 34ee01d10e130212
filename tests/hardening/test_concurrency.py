"""Threads calling ``create``, some sharing settings objects, while another rebinds,
deletes and restores the collaborator names.  Events are stamped from one counter,
so each collaborator call is checked against the names bound between the thread's
previous event and the call; a call that found a name missing fails with its NameError.
"""

from __future__ import annotations

import bisect
import itertools
import sys
import threading
import time
import types
from collections import defaultdict
from types import ModuleType
from typing import Any

from native_support import COLLABORATORS, MERGED_ATTRIBUTES, OPERATIONS, ROUTER_PARAMETERS, default_settings

WORKERS, CALLS_PER_WORKER, GENERATIONS = 4, 250, 3
PLACES = ["AuthRouter"] + ["RouterConfig"] * 5 + ["GenericController"]
Change = tuple[int, int, "int | None"]  # (stamp before, stamp after, generation bound or None: deleted)


def generation(number: int, logs: dict[int, list[Any]], stamp: itertools.count[int]) -> dict[str, Any]:
    """One set of collaborators; each call is logged as (stamp, name, generation, kwargs, result)."""

    def record(name: str, kwargs: dict[str, Any], result: Any) -> Any:
        if next(stamp) % 7 == 0:
            time.sleep(0)  # let another thread run in the middle of a call
        logs[threading.get_ident()].append((next(stamp), name, number, kwargs, result))
        return result

    return {"AuthRouter": lambda **kw: record("AuthRouter", kw, types.SimpleNamespace()),
            "RouterConfig": lambda **kw: record("RouterConfig", kw, types.SimpleNamespace(**kw)),
            "GenericController": lambda **kw: record("GenericController", kw, None)}  # fmt: skip


def possible(changes: list[Change], start: int, end: int) -> set[int | None]:
    """Generations of one name that may have been bound at some moment within (start, end)."""
    first = bisect.bisect_left([after for _, after, _ in changes], start)
    return {changes[first - 1][2] if first else 0} | {value for before, _, value in changes[first:] if before <= end}


class SharedSettings(types.SimpleNamespace):
    def __getattribute__(self, name: str) -> Any:  # Python code mid-merge, where threads may switch
        return super().__getattribute__(name)


def test_calls_race_with_rebinding(tc: ModuleType, AC: type) -> None:
    stamp = itertools.count()  # next() on it is atomic under the interpreter lock
    logs: dict[int, list[Any]] = defaultdict(list)
    generations = [generation(number, logs, stamp) for number in range(GENERATIONS)]
    changes: dict[str, list[Change]] = {name: [] for name in COLLABORATORS}
    shared = [SharedSettings(enabled=True, **dict.fromkeys(MERGED_ATTRIBUTES)) for _ in range(3)]
    shared_use: dict[int, set[str]] = defaultdict(set)
    stop = threading.Event()
    failures: list[BaseException] = []

    def change(name: str, number: int | None) -> None:
        before = next(stamp)
        if number is None:
            delattr(tc, name)
        else:
            setattr(tc, name, generations[number][name])
        changes[name].append((before, next(stamp), number))

    def rebind() -> None:
        try:
            for turn in itertools.takewhile(lambda _: not stop.is_set(), itertools.count()):
                name = COLLABORATORS[turn % 3]
                if turn % 7 == 6:  # gone for about one switch interval, then back
                    change(name, None)
                    for _ in range(300):
                        pass
                change(name, (turn // 3) % GENERATIONS)
                time.sleep(0.00005 if turn % 2 else 0)
        finally:
            for name in COLLABORATORS:
                change(name, 0)

    def work(index: int) -> None:
        log = logs[threading.get_ident()]
        try:
            for call in range(CALLS_PER_WORKER):
                settings = {}
                for position, operation in enumerate(OPERATIONS):
                    if (call + position + index) % 3 == 0:
                        settings[f"{operation}_router"] = chosen = shared[(call + position) % len(shared)]
                        shared_use[id(chosen)].add(operation)
                log.append((next(stamp), "start"))
                try:
                    router = AC.create(model_class=index, response_schema=call, table_name="t", **settings)
                except NameError as exc:
                    log.append((next(stamp), "name-error", str(exc)))
                else:
                    log.append((next(stamp), "done", router, settings))
        except BaseException as exc:  # noqa: BLE001 - reported by the main thread
            failures.append(exc)

    for name in COLLABORATORS:
        change(name, 0)
    previous_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        workers = [threading.Thread(target=work, args=(index,)) for index in range(WORKERS)]
        rebinder = threading.Thread(target=rebind)
        for thread in [rebinder, *workers]:
            thread.start()
        for worker in workers:
            worker.join(timeout=300)
        stop.set()
        rebinder.join(timeout=60)
    finally:
        sys.setswitchinterval(previous_interval)
    assert not failures and not any(worker.is_alive() for worker in workers), failures

    outcomes = check_logs(logs, changes)
    assert outcomes["done"] > 0 and outcomes["done"] + outcomes["name-error"] == WORKERS * CALLS_PER_WORKER, dict(outcomes)
    # Shared objects hold values of the defaults of operations they stood for.
    for settings in shared:
        if used := shared_use[id(settings)]:
            for name, value in vars(settings).items():
                assert value in {default_settings(operation)[name] for operation in used}, (name, value, used)


def check_logs(logs: dict[int, list[Any]], changes: dict[str, list[Change]]) -> dict[str, int]:
    """Entries: (stamp, collaborator, generation, kwargs, result) for a collaborator call;
    (stamp, "start"), (stamp, "name-error", message), (stamp, "done", router, settings)."""
    outcomes: dict[str, int] = defaultdict(int)
    for log in logs.values():
        call: list[Any] = []
        previous = -1
        for entry in log:
            seq, kind = entry[:2]
            if kind == "start":
                call = []
            elif kind in COLLABORATORS:
                place = PLACES[len(call)]
                assert kind == place and entry[2] in possible(changes[place], previous, seq), (entry, previous)
                call.append(entry)
            elif kind == "name-error":
                missing = PLACES[len(call)]
                assert entry[2] == f"name '{missing}' is not defined"
                assert None in possible(changes[missing], previous, seq), (missing, previous, seq)
            else:
                router, settings = entry[2:]
                assert [invocation[1] for invocation in call] == PLACES and router is call[0][4]
                controller = call[-1][3]
                assert controller["auth_router"] is router
                for parameter, operation, default in zip(ROUTER_PARAMETERS, OPERATIONS, call[1:6]):
                    assert controller[parameter] is settings.get(parameter, default[4])
                    assert default[3] == default_settings(operation)
            outcomes[kind] += kind in ("done", "name-error")
            previous = seq
    return outcomes
