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

try:
    import ctypes
except ImportError:  # an interpreter built without libffi
    ctypes = None  # type: ignore[assignment]

ROUNDS = 2000
# Far below what one leaked object per call would add over ROUNDS calls.
ALLOWED_GROWTH = 8 * 1024

SETTINGS_NAMES = ("enabled", "auth", "auth_role", "auth_obj", "auth_act", "message", "summary")
# Names the module keeps as interned constants; error messages and lookups
# use them, so a lost reference shows in their counts.
CONSTANT_NAMES = (
    "AuthRouter",
    "RouterConfig",
    "GenericController",
    "auth_router",
    "cls",
    "model_class",
    "create_schema",
    "update_schema",
    "response_schema",
    "create_router",
    "update_router",
    "read_router",
    "delete_router",
    "query_router",
    "prefix",
    "schema_name",
    "table_name",
    "tags",
    "default_role",
    "db_config_name",
    "create",
    "update",
    "read",
    "delete",
    "query",
) + SETTINGS_NAMES


class Opaque:
    pass


class Label(str):
    pass


class Key(str):
    pass


class RaisingKey(str):
    def __eq__(self, other: object) -> bool:
        raise LookupError("no comparison")

    __hash__ = str.__hash__


class Failure(Exception):
    pass


FIXED_SUMMARY = Opaque()


class FixedSummary:
    """Settings whose ``summary`` cannot be assigned."""

    def __init__(self) -> None:
        for name in SETTINGS_NAMES[:-1]:
            setattr(self, name, None)

    @property
    def summary(self) -> Opaque:
        return FIXED_SUMMARY


def fresh(text: str) -> str:
    return "".join(list(text))


def expecting(exc_type: type[BaseException], call: Callable[[], Any]) -> Callable[[], None]:
    def run() -> None:
        try:
            call()
        except exc_type:
            pass
        else:
            raise AssertionError(f"{exc_type.__name__} expected")

    return run


class World:
    """The caller's objects and cheap collaborators for one leak run."""

    def __init__(self, tc: ModuleType, monkeypatch: pytest.MonkeyPatch) -> None:
        self.tc = tc
        self.AC = tc.AuthController
        self.func = self.AC.__dict__["create"].__func__
        self.model, self.response = Opaque(), Opaque()
        self.schema, self.table = fresh("sales"), fresh("invoice")
        self.tags = [fresh("one")]
        self.values = {name: Opaque() for name in SETTINGS_NAMES}
        self.settings = [types.SimpleNamespace() for _ in range(5)]
        self.switched_off = types.SimpleNamespace(enabled=False)
        self.key = fresh("unexpected_keyword")
        self.label = Label("x")
        self.opaque = Opaque()
        self.collaborators = {name: types.SimpleNamespace for name in ("AuthRouter", "RouterConfig", "GenericController")}
        for name, value in self.collaborators.items():
            monkeypatch.setattr(tc, name, value)

    def reset_settings(self) -> None:
        for settings in self.settings:
            settings.__dict__.update(dict.fromkeys(SETTINGS_NAMES))
            settings.enabled = self.values["enabled"]

    def watched(self) -> list[Any]:
        return [
            self.AC,
            self.func,
            self.model,
            self.response,
            self.schema,
            self.table,
            self.tags,
            self.switched_off,
            self.key,
            self.label,
            Label,
            self.opaque,
            Opaque,
            *self.values.values(),
            *self.settings,
            *(sys.intern(name) for name in CONSTANT_NAMES),
            FIXED_SUMMARY,
        ]

    def required(self) -> dict[str, Any]:
        return {"model_class": self.model, "response_schema": self.response}

    def everything(self) -> Any:
        self.reset_settings()
        return self.AC.create(
            **self.required(),
            create_schema=self.model,
            update_schema=self.response,
            create_router=self.settings[0],
            update_router=self.settings[1],
            read_router=self.switched_off,
            delete_router=self.settings[3],
            query_router=self.settings[4],
            prefix=self.schema,
            schema_name=self.schema,
            table_name=self.table,
            tags=self.tags,
            default_role=self.schema,
            auth_role=self.table,
            auth_obj=self.table,
            auth_act=self.table,
            db_config_name=self.schema,
        )


def vectorcall(func: Any, args: tuple[Any, ...], names: tuple[Any, ...], values: tuple[Any, ...]) -> Any:
    api = ctypes.pythonapi.PyObject_Vectorcall
    api.restype = ctypes.py_object
    api.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]
    stack = args + values
    array = (ctypes.py_object * len(stack))(*stack)
    return api(func, ctypes.addressof(array), len(args), id(names))


def paths(w: World) -> dict[str, Callable[[], Any]]:
    AC = w.AC
    found = {
        "defaults": lambda: AC.create(**w.required(), schema_name=w.schema, table_name=w.table),
        "everything-given": w.everything,
        "str-subclass-keywords": lambda: AC.create(**{Key("model_class"): w.model, Key("response_schema"): w.response}),
        "direct-call": lambda: w.func(w.AC, **w.required()),
        "too-many-positional": expecting(TypeError, lambda: AC.create(w.model, **w.required())),
        "missing-required": expecting(TypeError, lambda: AC.create(model_class=w.model)),
        "unexpected-keyword": expecting(TypeError, lambda: AC.create(**w.required(), **{w.key: w.model})),
        "duplicate-cls": expecting(TypeError, lambda: AC.create(**w.required(), cls=w.model)),
        "non-string-key": expecting(TypeError, lambda: AC.create(**{1: w.model})),
        "keyword-comparison-fails": expecting(LookupError, lambda: AC.create(**{RaisingKey("model_class"): w.model})),
        "wrong-type": expecting(TypeError, lambda: AC.create(**w.required(), auth_act=w.opaque)),
        "str-subclass-refused": expecting(TypeError, lambda: AC.create(**w.required(), table_name=w.label)),
        "merge-read-fails": expecting(
            AttributeError,
            lambda: AC.create(**w.required(), schema_name=w.schema, update_router=types.SimpleNamespace(enabled=True, auth=None)),
        ),
        "merge-without-enabled": expecting(
            AttributeError, lambda: AC.create(**w.required(), query_router=types.SimpleNamespace())
        ),
        "merge-assignment-fails": expecting(AttributeError, lambda: AC.create(**w.required(), read_router=FixedSummary())),
    }
    if ctypes is not None:
        found["non-string-keyword-name"] = expecting(
            TypeError, lambda: vectorcall(w.func, (w.AC,), ("model_class", 3), (w.model, w.response))
        )
    return found


PATH_NAMES = [
    "defaults",
    "everything-given",
    "str-subclass-keywords",
    "direct-call",
    "too-many-positional",
    "missing-required",
    "unexpected-keyword",
    "duplicate-cls",
    "non-string-key",
    "keyword-comparison-fails",
    "wrong-type",
    "str-subclass-refused",
    "merge-read-fails",
    "merge-without-enabled",
    "merge-assignment-fails",
    "non-string-keyword-name",
]


def measure(call: Callable[[], Any], watched: list[Any]) -> tuple[int, list[int], list[int]]:
    """Memory growth over ROUNDS calls, and reference counts before and after."""
    for _ in range(100):
        call()
    gc.collect()
    before = [sys.getrefcount(obj) for obj in watched]
    tracemalloc.start()
    try:
        for _ in range(100):
            call()
        gc.collect()
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(ROUNDS):
            call()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    after = [sys.getrefcount(obj) for obj in watched]
    return grown, before, after


@pytest.mark.parametrize("path", PATH_NAMES)
def test_no_leak(tc: ModuleType, monkeypatch: pytest.MonkeyPatch, path: str) -> None:
    world = World(tc, monkeypatch)
    calls = paths(world)
    if path not in calls:
        pytest.skip("ctypes is not available")
    grown, before, after = measure(calls[path], world.watched())
    assert after == before
    assert grown < ALLOWED_GROWTH


@pytest.mark.parametrize("failing", ["AuthRouter", "RouterConfig", "GenericController"])
@pytest.mark.parametrize("how", ["raises", "missing"])
def test_no_leak_when_a_collaborator_fails(
    tc: ModuleType, monkeypatch: pytest.MonkeyPatch, failing: str, how: str
) -> None:
    world = World(tc, monkeypatch)
    if how == "missing":
        monkeypatch.delattr(tc, failing)
        expected: type[BaseException] = NameError
    else:

        def fail(**kwargs: Any) -> Any:
            raise Failure

        monkeypatch.setattr(tc, failing, fail)
        expected = Failure
    watched = world.watched() + [getattr(tc, name) for name in ("AuthRouter", "RouterConfig", "GenericController") if hasattr(tc, name)]
    grown, before, after = measure(expecting(expected, world.everything), watched)
    assert after == before
    assert grown < ALLOWED_GROWTH
