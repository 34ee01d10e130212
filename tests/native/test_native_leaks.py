"""Repeated calls through every path keep memory and the caller's reference counts flat."""

from __future__ import annotations

import gc
import sys
import tracemalloc
import types
from collections.abc import Callable
from types import ModuleType
from typing import Any

import pytest

from native_support import COLLABORATORS, OPERATIONS, SETTINGS_ATTRIBUTES, Label, Opaque, ctypes, fresh, vectorcall

ROUNDS = 2000
# Far below what one leaked object per call would add over ROUNDS calls.
ALLOWED_GROWTH = 8 * 1024
# Names the module keeps as interned constants; error messages and lookups
# use them, so a lost reference shows in their counts.
CONSTANT_NAMES = (
    COLLABORATORS + OPERATIONS + SETTINGS_ATTRIBUTES + tuple(f"{op}_router" for op in OPERATIONS)
    + tuple("auth_router cls model_class create_schema update_schema response_schema prefix schema_name".split())
    + tuple("table_name tags default_role db_config_name".split())
)
FIXED_SUMMARY = Opaque()
# Settings whose ``summary`` cannot be assigned.
FixedSummary = type("FixedSummary", (), {**dict.fromkeys(SETTINGS_ATTRIBUTES), "summary": property(lambda _: FIXED_SUMMARY)})


class RaisingKey(str):
    def __eq__(self, other: object) -> bool:
        raise LookupError("no comparison")

    __hash__ = str.__hash__


class Failure(Exception):
    pass


class World:
    """The caller's objects and cheap collaborators for one leak run."""

    def __init__(self, tc: ModuleType, rebind: Any) -> None:
        self.AC = tc.AuthController
        self.func = self.AC.__dict__["create"].__func__
        self.model, self.response, self.opaque = Opaque(), Opaque(), Opaque()
        self.schema, self.table, self.key = fresh("sales"), fresh("invoice"), fresh("unexpected_keyword")
        self.tags, self.label = [fresh("one")], Label("x")
        self.enabled = Opaque()
        self.settings = [types.SimpleNamespace() for _ in range(5)]
        self.switched_off = types.SimpleNamespace(enabled=False)
        rebind(types.SimpleNamespace(**dict.fromkeys(COLLABORATORS, types.SimpleNamespace)))

    def watched(self) -> list[Any]:
        mine = [self.AC, self.func, self.model, self.response, self.schema, self.table, self.tags, self.switched_off,
                self.key, self.label, Label, self.opaque, Opaque, FIXED_SUMMARY, self.enabled, *self.settings]
        return mine + [sys.intern(name) for name in CONSTANT_NAMES]

    def required(self) -> dict[str, Any]:
        return {"model_class": self.model, "response_schema": self.response}

    def everything(self) -> Any:
        for settings in self.settings:
            settings.__dict__.update(dict.fromkeys(SETTINGS_ATTRIBUTES), enabled=self.enabled)
        routers = dict(zip((f"{op}_router" for op in OPERATIONS), self.settings))
        return self.AC.create(
            **self.required(), **{**routers, "read_router": self.switched_off},
            create_schema=self.model, update_schema=self.response, prefix=self.schema, schema_name=self.schema,
            table_name=self.table, tags=self.tags, default_role=self.schema, auth_role=self.table,
            auth_obj=self.table, auth_act=self.table, db_config_name=self.schema,
        )


# path: (the exception it ends with, the call)
PATHS: dict[str, tuple[Any, Callable[[World], Any]]] = {
    "defaults": (None, lambda w: w.AC.create(**w.required(), schema_name=w.schema, table_name=w.table)),
    "everything-given": (None, lambda w: w.everything()),
    "str-subclass-keywords": (None, lambda w: w.AC.create(**{Label(k): v for k, v in w.required().items()})),
    "too-many-positional": (TypeError, lambda w: w.AC.create(w.model, **w.required())),
    "missing-required": (TypeError, lambda w: w.AC.create(model_class=w.model)),
    "unexpected-keyword": (TypeError, lambda w: w.AC.create(**w.required(), **{w.key: w.model})),
    "duplicate-cls": (TypeError, lambda w: w.AC.create(**w.required(), cls=w.model)),
    "non-string-key": (TypeError, lambda w: w.AC.create(**{1: w.model})),
    "keyword-comparison-fails": (LookupError, lambda w: w.AC.create(**{RaisingKey("model_class"): w.model})),
    "wrong-type": (TypeError, lambda w: w.AC.create(**w.required(), auth_act=w.opaque)),
    "str-subclass-refused": (TypeError, lambda w: w.AC.create(**w.required(), table_name=w.label)),
    "merge-read-fails": (AttributeError, lambda w: w.AC.create(
        **w.required(), schema_name=w.schema, update_router=types.SimpleNamespace(enabled=True, auth=None))),
    "merge-without-enabled": (AttributeError, lambda w: w.AC.create(**w.required(), query_router=types.SimpleNamespace())),
    "merge-assignment-fails": (AttributeError, lambda w: w.AC.create(**w.required(), read_router=FixedSummary())),
    "non-string-keyword-name": (TypeError, lambda w: vectorcall(w.func, [w.AC, w.model, w.response], 1, ("model_class", 3))),
}


def refcounts(watched: list[Any]) -> list[int]:
    # The interpreter's type attribute cache holds references to the names it
    # has looked up lately, which would make the counts of interned names drift.
    gc.collect()
    sys._clear_type_cache()
    return [sys.getrefcount(obj) for obj in watched]


def measure(world: World, expected: Any, call: Callable[[World], Any], watched: list[Any]) -> tuple[int, list[int], list[int]]:
    """Memory growth over ROUNDS calls, and reference counts before and after."""

    def run(rounds: int) -> None:
        for _ in range(rounds):
            try:
                call(world)
            except expected or ():
                continue
            assert expected is None, f"{expected.__name__} expected"

    run(100)
    before = refcounts(watched)
    tracemalloc.start()
    try:
        run(100)
        gc.collect()
        start = tracemalloc.get_traced_memory()[0]
        run(ROUNDS)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    return grown, before, refcounts(watched)


@pytest.mark.parametrize("path", PATHS)
def test_no_leak(tc: ModuleType, rebind: Any, path: str) -> None:
    if path == "non-string-keyword-name" and ctypes is None:
        pytest.skip("ctypes is not available")
    world = World(tc, rebind)
    grown, before, after = measure(world, *PATHS[path], world.watched())
    assert after == before
    assert grown < ALLOWED_GROWTH


@pytest.mark.parametrize("failing", COLLABORATORS)
@pytest.mark.parametrize("how", ["raises", "missing"])
def test_no_leak_when_a_collaborator_fails(tc: ModuleType, rebind: Any, failing: str, how: str) -> None:
    world = World(tc, rebind)

    def fail(**kwargs: Any) -> Any:
        raise Failure

    rebind(None if how == "missing" else types.SimpleNamespace(**{failing: fail}), failing)
    watched = world.watched() + [getattr(tc, name) for name in COLLABORATORS if hasattr(tc, name)]
    grown, before, after = measure(world, NameError if how == "missing" else Failure, World.everything, watched)
    assert after == before
    assert grown < ALLOWED_GROWTH
