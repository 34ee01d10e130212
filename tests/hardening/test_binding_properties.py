"""Property tests: the native binding of ``create`` against a pure-Python model of its rules,
and what a bound call derives against the factory's Python version.

Calls arrive as the bound classmethod, the bare function (fast-call keywords),
the type's ``__call__`` slot (a keyword dict, non-string keys reaching the
module), ``PyObject_Vectorcall`` (repeated or non-string names) and
``PyObject_Call`` (a dict the interpreter unpacks, refusing non-string keys itself).
"""

from __future__ import annotations

import types
from collections.abc import Callable
from types import ModuleType
from typing import Any, NamedTuple

import hypothesis
import pytest
from hypothesis import given
from hypothesis import strategies as st

import reference_factory
from native_support import (
    CREATE_ENTRY, ctypes, missing_keyword, native_entries, object_call, repeated_keyword, unexpected_keyword, vectorcall,
    wrong_positional_count, wrong_type,
)

# The model: a name table, open slots and the order of the checks, stated directly.
PARAMETERS = (
    "cls", "model_class", "create_schema", "update_schema", "response_schema",
    "create_router", "update_router", "read_router", "delete_router", "query_router",
    "prefix", "schema_name", "table_name", "tags", "default_role",
    "auth_role", "auth_obj", "auth_act", "db_config_name",
)  # fmt: skip
REQUIRED = ("model_class", "response_schema")
MATCH_ORDER = ("cls", *REQUIRED) + tuple(name for name in PARAMETERS[1:] if name not in REQUIRED)
TYPE_TESTS = [(name, list if name == "tags" else str) for name in PARAMETERS[10:]]


class Refused(NamedTuple):  # a TypeError of the binding
    message: str
    subclass_note: bool = False  # the message continues with ". " and the fixed note
    traceback_entry: bool = True  # the create entry is added


def type_name(value: Any) -> str:
    """The name in the value's type object: bare for a class defined in Python
    or a builtin, dotted for a type defined in C elsewhere."""
    kind = type(value)
    if kind.__flags__ & (1 << 9) or kind.__module__ == "builtins":  # a heap type, or a builtin
        return kind.__name__
    return f"{kind.__module__}.{kind.__qualname__}"


def positional_count(given: int) -> Refused:
    return Refused(wrong_positional_count(given))


def missing(name: str) -> Refused:
    return Refused(missing_keyword(name))


def bind(positional: list[Any], keywords: list[tuple[Any, Any]], keywords_as_mapping: bool) -> Refused | dict[str, Any]:
    """Binds positional values and (name, value) keyword pairs in call order:
    the refusal, or the bound values by parameter.  An exception raised by
    comparing a name with a parameter's ends the call and passes through."""
    count = len(positional)
    if not keywords:
        return missing("model_class") if count == 1 else positional_count(count)
    if count >= 2:
        return positional_count(count)
    if keywords_as_mapping and not all(isinstance(name, str) for name, _ in keywords):
        return Refused("keywords must be strings", traceback_entry=False)
    slots: dict[str, Any] = {"cls": positional[0]} if count else {}
    open_slots = MATCH_ORDER[count:]
    for name, value in keywords:
        if not isinstance(name, str):
            return Refused("create() keywords must be strings")
        slot = next((parameter for parameter in open_slots if name == parameter), None)
        if slot is not None:
            slots[slot] = value
            continue
        text = str.__str__(name)  # what %U prints: the characters, never ``__str__``
        if count == 1 and name == "cls":
            return Refused(repeated_keyword(text))
        return Refused(unexpected_keyword(text))
    if "cls" not in slots:
        return positional_count(0)
    for required in REQUIRED:
        if required not in slots:
            return missing(required)
    slots = {name: slots.get(name) for name in PARAMETERS}
    for parameter, expected in TYPE_TESTS:
        value = slots[parameter]
        if value is not None and type(value) is not expected:
            message = wrong_type(parameter, expected.__name__, type_name(value))
            return Refused(message, subclass_note=isinstance(value, expected), traceback_entry=False)
    return slots


def reference_router_call(values: dict[str, Any]) -> dict[str, Any]:
    """The AuthRouter keywords the factory's Python version derives from the bound values."""
    received: list[dict[str, Any]] = []
    reference_factory.use_collaborators(types.SimpleNamespace(
        AuthRouter=lambda **kwargs: received.append(kwargs), RouterConfig=types.SimpleNamespace,
        GenericController=lambda **kwargs: None))  # fmt: skip
    reference_factory.ReferenceAuthController.create(**{name: values[name] for name in PARAMETERS[1:]})
    return received[0]


ROUTES = ["bound", "function", "slot"] + (["vectorcall", "object-call"] if ctypes is not None else [])


StrSub = type("StrSub", (str,), {})  # names and values compared with str's own equality
ListSub = type("ListSub", (list,), {})
ComparisonFault = type("ComparisonFault", (Exception,), {})
Opaque = type("Opaque", (), {})  # a class defined in Python, no attributes of interest
# A keyword name equal to every parameter name: it fills the first open slot.
AlwaysEqual = type("AlwaysEqual", (str,), {"__eq__": lambda self, other: True, "__hash__": str.__hash__})


class RaisingName(str):
    """A keyword name whose comparison raises, always the same exception object."""

    __hash__ = str.__hash__

    def __eq__(self, other: object) -> bool:
        raise self.__dict__.setdefault("fault", ComparisonFault(str.__str__(self)))


VALUE_FACTORIES: list[Callable[[], Any]] = [
    lambda: None, lambda: "", lambda: "sales", lambda: "发票", lambda: StrSub("sub"),
    lambda: [], lambda: ["t1", "t2"], lambda: ListSub(["t"]), lambda: 0, lambda: 7,
    lambda: (1,), lambda: {"k": 1}, lambda: b"bytes", Opaque, lambda: types.SimpleNamespace(enabled=False),
]  # fmt: skip
values = st.sampled_from(VALUE_FACTORIES).map(lambda make: make())
string_names = st.one_of(
    *map(st.sampled_from, [PARAMETERS, PARAMETERS[1:], PARAMETERS[10:], ["tag", "Prefix", "model", "x", "cls_", "_apply_route_config"]]),
    st.sampled_from(PARAMETERS).map(StrSub), st.sampled_from(["a", "b"]).map(AlwaysEqual), st.sampled_from(["zz1", "zz2"]).map(RaisingName),
)  # fmt: skip
any_names = st.one_of(string_names, st.sampled_from([1, 2.5, b"prefix", None, ("prefix",)]))


@st.composite
def calls(draw: st.DrawFn) -> tuple[str, list[Any], list[tuple[Any, Any]]]:
    route = draw(st.sampled_from(ROUTES))
    # Mostly the one positional argument a call should have (the bound class
    # counts for the bound route), sometimes none or too many.
    count = draw(st.sampled_from([0, 0, 0, 0, 1, 2] if route == "bound" else [1, 1, 1, 1, 0, 0, 2, 3]))
    extra = [draw(values) for _ in range(count)]
    names = any_names if route in ("slot", "vectorcall", "object-call") else string_names
    # Mostly calls that get far: both required names, some optional ones.
    base = draw(st.sampled_from([[], ["model_class"], ["model_class", "response_schema"], ["response_schema", "model_class"]]))
    pairs = [(name, draw(values)) for name in draw(st.permutations(base + draw(st.lists(names, max_size=6))))]
    if route != "vectorcall":
        try:  # a dict keeps one entry per key (the first position, the last value)
            pairs = list(dict(pairs).items())
        except ComparisonFault:  # two names that refuse to be compared
            hypothesis.assume(False)
    return route, extra, pairs


def invoke(AC: type, function: Any, route: str, extra: list[Any], pairs: list[tuple[Any, Any]]) -> Any:
    if route == "vectorcall":
        return vectorcall(function, [*extra, *(value for _, value in pairs)], len(extra), tuple(name for name, _ in pairs))
    if route == "object-call":
        return object_call(function, tuple(extra), dict(pairs))
    if route == "slot":  # the keyword dict reaches the module as it is, non-string keys included
        return type(function).__call__(function, *extra, **dict(pairs))
    return (AC.create if route == "bound" else function)(*extra, **dict(pairs))


@pytest.fixture(scope="module")
def subclass_note(AC: type) -> str:
    """The fixed note that follows a refused str or list subclass."""
    with pytest.raises(TypeError) as caught:
        AC.create(model_class=1, response_schema=2, schema_name=StrSub("s"))
    base = "Argument 'schema_name' has incorrect type (expected str, got StrSub). "
    message = str(caught.value)
    assert message.startswith(base) and len(message) > len(base)
    return message[len(base) :]


@hypothesis.settings(max_examples=1000)
@given(call=calls())
@hypothesis.example(call=("function", [], [("response_schema", 1)]))  # no cls and no model_class: cls is reported
# Empty texts and an empty tag list: derived values replace them, given ones are passed on.
@hypothesis.example(call=("bound", [], [("model_class", 1), ("response_schema", 2), ("tags", []),
                                        *((name, "") for name in PARAMETERS[10:] if name != "tags")]))
@hypothesis.example(call=("bound", [], [("model_class", 1), ("response_schema", 2), ("schema_name", "s"),
                                        *((name, "") for name in ("prefix", "default_role", "auth_obj"))]))
def test_binding_matches_the_model(
    tc: ModuleType, AC: type, create_function: Any, subclass_note: str, call: tuple[str, list[Any], list[tuple[Any, Any]]]
) -> None:
    route, extra, pairs = call
    expected: Refused | dict[str, Any] | ComparisonFault
    try:
        expected = bind([AC, *extra] if route == "bound" else extra, pairs, keywords_as_mapping=route == "slot")
    except ComparisonFault as fault:
        expected = fault
    if route == "object-call" and not all(isinstance(name, str) for name, _ in pairs):
        # The interpreter's own check of a keyword dict, made before the module runs.
        expected = Refused("keywords must be strings", traceback_entry=False)
    hypothesis.event(route, expected.message[:30] if isinstance(expected, Refused) else type(expected).__name__)
    router_calls: list[dict[str, Any]] = []
    defaults: list[types.SimpleNamespace] = []
    controller_calls: list[dict[str, Any]] = []
    tc.AuthRouter = lambda **kwargs: router_calls.append(kwargs) or Opaque()
    tc.RouterConfig = lambda **kwargs: defaults.append(types.SimpleNamespace(**kwargs)) or defaults[-1]
    tc.GenericController = lambda **kwargs: controller_calls.append(kwargs)
    try:
        outcome: Any = invoke(AC, create_function, route, extra, pairs)
    except BaseException as exc:  # noqa: BLE001
        outcome = exc

    if isinstance(expected, ComparisonFault):
        assert outcome is expected and native_entries(outcome) == [CREATE_ENTRY]
    elif isinstance(expected, Refused):
        assert type(outcome) is TypeError, f"expected {expected}, got {outcome!r}"
        assert str(outcome) == expected.message + (". " + subclass_note if expected.subclass_note else "")
        assert native_entries(outcome) == ([CREATE_ENTRY] if expected.traceback_entry else [])
        assert router_calls == []
    elif any(expected[p] is not None and not hasattr(expected[p], "enabled") for p in PARAMETERS[5:10]):
        # Bound, then the merge meets route settings without `enabled`.
        assert type(outcome) is AttributeError and "enabled" in str(outcome)
    else:
        assert not isinstance(outcome, BaseException), f"expected success, got {outcome!r}"
        (router_call,) = router_calls
        reference_call = reference_router_call(expected)
        assert list(router_call) == list(reference_call)
        for name, value in reference_call.items():
            passed = router_call[name]
            # A value of the caller's is passed on as it is; a derived one is equal.
            given = any(value is bound for bound in expected.values())
            assert passed is value if given else (type(passed) is type(value) and passed == value), name
        (controller_call,) = controller_calls
        assert controller_call["auth_router"] is outcome
        for name in PARAMETERS[1:5]:
            assert controller_call[name] is expected[name], name
        for parameter, default in zip(PARAMETERS[5:10], defaults):
            assert controller_call[parameter] is (default if expected[parameter] is None else expected[parameter])
