"""No reference and no memory kept per call, on every path of the binding and on success."""

from __future__ import annotations

import types
from collections.abc import Callable
from types import ModuleType
from typing import Any

import pytest

from hardening_support import COLLABORATORS, assert_no_growth, assert_released, c_vectorcall, flush_name_caches

vectorcall_api = c_vectorcall()


class Name(str):
    pass


class Refusal(Exception):
    pass


class RefusingName(str):
    __hash__ = str.__hash__

    def __eq__(self, other: object) -> bool:
        raise Refusal(other)


class Namespace(types.SimpleNamespace):
    """Stands in for every collaborator; weakly referenceable, unlike its base."""


class Value:
    """A value passed to create; weakly referenceable, so its release can be checked."""


def vectorcall(function: Any, stack: list[Any], nargs: int, kwnames: tuple[Any, ...]) -> Any:
    assert vectorcall_api is not None
    return vectorcall_api(function, stack, nargs, kwnames)


# name -> (call(AC, function, value), expected exception type or None for success)
CASES: dict[str, tuple[Callable[[type, Any, Value], Any], type[BaseException] | None]] = {
    "no-arguments": (lambda AC, f, v: AC.create(), TypeError),
    "positional-count": (lambda AC, f, v: AC.create(v, v, model_class=v, response_schema=v), TypeError),
    "missing-response-schema": (lambda AC, f, v: AC.create(model_class=v, prefix="p"), TypeError),
    "unexpected-keyword": (lambda AC, f, v: AC.create(model_class=v, response_schema=v, tag=v), TypeError),
    "duplicate-cls": (lambda AC, f, v: AC.create(model_class=v, response_schema=v, cls=v), TypeError),
    "missing-cls": (lambda AC, f, v: f(model_class=v, response_schema=v), TypeError),
    "mapping-key-not-a-string": (lambda AC, f, v: type(f).__call__(f, AC, **{1: v, "model_class": v}), TypeError),
    "wrong-type": (lambda AC, f, v: AC.create(model_class=v, response_schema=v, tags=(v,)), TypeError),
    "str-subclass-value": (lambda AC, f, v: AC.create(model_class=v, response_schema=v, auth_act=Name("a")), TypeError),
    "name-comparison-raises": (lambda AC, f, v: AC.create(**{"model_class": v, RefusingName("zz"): v}), Refusal),
    "str-subclass-names": (lambda AC, f, v: AC.create(**{Name("model_class"): v, Name("response_schema"): v}), None),
    "success": (
        lambda AC, f, v: AC.create(model_class=v, response_schema=v, schema_name="s", table_name="t", tags=[v]),
        None,
    ),
    "success-through-the-slot": (lambda AC, f, v: type(f).__call__(f, AC, model_class=v, response_schema=v), None),
    "settings-without-enabled": (lambda AC, f, v: AC.create(model_class=v, response_schema=v, read_router=v), AttributeError),
    "keyword-name-not-a-string": (lambda AC, f, v: vectorcall(f, [AC, v, v], 1, ("model_class", 5)), TypeError),
    "repeated-keyword-name": (
        lambda AC, f, v: vectorcall(f, [AC, v, v, v], 1, ("model_class", "response_schema", "model_class")),
        None,
    ),
}


@pytest.mark.parametrize("case", list(CASES))
def test_every_path_releases_what_it_was_given(tc: ModuleType, AC: type, create_function: Any, case: str) -> None:
    call, expected = CASES[case]
    if "vectorcall" in call.__code__.co_names and vectorcall_api is None:
        pytest.skip("PyObject_Vectorcall is not reachable through ctypes")
    for name in COLLABORATORS:
        setattr(tc, name, Namespace)

    def once(value: Value) -> Any:
        try:
            result = call(AC, create_function, value)
        except BaseException as exc:  # noqa: BLE001
            assert type(exc) is expected, exc
            return None
        assert expected is None
        return result

    def make() -> list[object]:
        value = Value()
        result = once(value)
        flush_name_caches(tc)
        return [value] if result is None else [value, result]

    assert_released(make)
    shared = Value()
    assert_no_growth(lambda: once(shared), [shared, AC, create_function, Namespace, None, True, False])


def test_function_attributes_replaced_and_deleted_many_times(create_function: Any) -> None:
    """Each writable attribute of the create function replaced, deleted and
    restored: no reference gained or lost (under the sanitizers, no object
    used after its release), and the original values come back intact."""
    function = create_function
    originals = {name: getattr(function, name) for name in ("__name__", "__qualname__", "__module__", "__doc__",
                                                            "__kwdefaults__", "__annotations__")}
    replacement = {"x": None}

    def once() -> None:
        for name, original in originals.items():
            setattr(function, name, original)
            setattr(function, name, getattr(function, name))
        function.__kwdefaults__ = replacement
        function.__annotations__ = replacement
        del function.__kwdefaults__, function.__annotations__, function.__doc__, function.__module__
        assert function.__kwdefaults__ is None and function.__annotations__ == {}
        function.__dict__["marker"] = replacement
        function.__dict__ = {}
        for name, original in originals.items():
            setattr(function, name, original)

    try:
        assert_no_growth(once, [replacement, *originals.values()])
    finally:
        for name, original in originals.items():
            setattr(function, name, original)
    assert function.__kwdefaults__ is originals["__kwdefaults__"] and len(function.__kwdefaults__) == 16
    assert function.__annotations__ is originals["__annotations__"] and len(function.__annotations__) == 18
    with pytest.raises(TypeError):
        function.__name__ = 5
