"""Property tests: the native binding of ``create`` against the model in ``binding_model``.

Calls arrive by five routes: the bound classmethod and the bare function
(keywords in the fast-call convention, names as the interpreter unpacks
them), the type's ``__call__`` slot (keywords as a dict, so keys that are not
strings reach the module), ``PyObject_Vectorcall`` through ctypes
(keyword-name tuples the language cannot write: repeated or non-string
names), and ``PyObject_Call`` through ctypes (a dict with any keys, which the
interpreter unpacks into the fast-call convention, refusing non-string keys
itself before the module runs).
"""

from __future__ import annotations

import types
from collections.abc import Callable
from types import ModuleType
from typing import Any

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from binding_model import PARAMETERS, Bound, Refused, bind, router_keywords  # noqa: E402
from hardening_support import CREATE_ENTRY, OPERATIONS, c_object_call, c_vectorcall, native_entries  # noqa: E402

vectorcall = c_vectorcall()
object_call = c_object_call()
ROUTES = ["bound", "function", "slot"] + (["vectorcall"] if vectorcall else []) + (["object-call"] if object_call else [])


class StrSub(str):
    """A name or value of a str subclass compared with str's own equality."""


class ListSub(list):  # type: ignore[type-arg]
    pass


class AlwaysEqual(str):
    """A keyword name equal to every parameter name: it fills the first open slot."""

    def __eq__(self, other: object) -> bool:
        return True

    __hash__ = str.__hash__


class ComparisonFault(Exception):
    pass


class RaisingName(str):
    """A keyword name whose comparison raises; always the same exception object."""

    fault: ComparisonFault

    def __new__(cls, text: str) -> RaisingName:
        name = super().__new__(cls, text)
        name.fault = ComparisonFault(text)
        return name

    __hash__ = str.__hash__

    def __eq__(self, other: object) -> bool:
        raise self.fault


class Opaque:
    """An object of a class defined in Python, with no attributes of interest."""


VALUE_FACTORIES: list[Callable[[], Any]] = [
    lambda: None, lambda: "", lambda: "sales", lambda: "发票", lambda: StrSub("sub"),
    lambda: [], lambda: ["t1", "t2"], lambda: ListSub(["t"]), lambda: 0, lambda: 7,
    lambda: (1,), lambda: {"k": 1}, lambda: b"bytes", Opaque,
    lambda: types.SimpleNamespace(enabled=False),
]  # fmt: skip
values = st.sampled_from(VALUE_FACTORIES).map(lambda make: make())
string_names = st.one_of(
    st.sampled_from(PARAMETERS),
    st.sampled_from(PARAMETERS[1:]),
    st.sampled_from(PARAMETERS[10:]),
    st.sampled_from(["tag", "Prefix", "model", "x", "cls_", "_apply_route_config"]),
    st.sampled_from(PARAMETERS).map(StrSub),
    st.sampled_from(["a", "b"]).map(AlwaysEqual),
    st.sampled_from(["zz1", "zz2"]).map(RaisingName),
)
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
    more = draw(st.lists(names, max_size=6))
    order = draw(st.permutations(base + more))
    pairs = [(name, draw(values)) for name in order]
    if route != "vectorcall":
        # A dict keeps one entry per key (the first position, the last value).
        try:
            pairs = list(dict(pairs).items())
        except ComparisonFault:  # two names that refuse to be compared
            hypothesis.assume(False)
    return route, extra, pairs


def invoke(AC: type, function: Any, route: str, extra: list[Any], pairs: list[tuple[Any, Any]]) -> Any:
    if route == "bound":
        return AC.create(*extra, **dict(pairs))
    if route == "function":
        return function(*extra, **dict(pairs))
    if route == "slot":
        return type(function).__call__(function, *extra, **dict(pairs))
    if route == "object-call":
        assert object_call is not None
        return object_call(function, tuple(extra), dict(pairs))
    assert vectorcall is not None
    stack = [*extra, *(value for _, value in pairs)]
    return vectorcall(function, stack, len(extra), tuple(name for name, _ in pairs))


class Recorder:
    def __init__(self) -> None:
        self.router_calls: list[dict[str, Any]] = []
        self.defaults: list[types.SimpleNamespace] = []
        self.controller_calls: list[dict[str, Any]] = []

    def AuthRouter(self, **kwargs: Any) -> object:
        self.router_calls.append(kwargs)
        return Opaque()

    def RouterConfig(self, **kwargs: Any) -> types.SimpleNamespace:
        self.defaults.append(types.SimpleNamespace(**kwargs))
        return self.defaults[-1]

    def GenericController(self, **kwargs: Any) -> None:
        self.controller_calls.append(kwargs)


@pytest.fixture(scope="module")
def subclass_note(AC: type) -> str:
    """The fixed note that follows a refused str or list subclass."""
    with pytest.raises(TypeError) as caught:
        AC.create(model_class=1, response_schema=2, schema_name=StrSub("s"))
    base = "Argument 'schema_name' has incorrect type (expected str, got StrSub)"
    message = str(caught.value)
    assert message.startswith(base + ". ") and len(message) > len(base) + 2
    return message[len(base) + 2 :]


def check_refused(expected: Refused, exc: BaseException, note: str) -> None:
    if expected.raised is not None:
        assert exc is expected.raised
    else:
        assert type(exc) is expected.error
        message = expected.message + (". " + note if expected.subclass_note else "")
        assert str(exc) == message
    assert native_entries(exc) == ([CREATE_ENTRY] if expected.traceback_entry else [])


def check_bound(expected: Bound, recorder: Recorder, result: Any) -> None:
    values = expected.values
    (router_call,) = recorder.router_calls
    keywords = router_keywords(values)
    assert list(router_call) == [name for name, _, _ in keywords]
    for name, value, same_object in keywords:
        passed = router_call[name]
        assert passed is value if same_object else (type(passed) is type(value) and passed == value), name
    (controller_call,) = recorder.controller_calls
    assert controller_call["auth_router"] is result
    for name in ("model_class", "create_schema", "update_schema", "response_schema"):
        assert controller_call[name] is values[name], name
    for operation, default in zip(OPERATIONS, recorder.defaults):
        given_settings = values[f"{operation}_router"]
        assert controller_call[f"{operation}_router"] is (default if given_settings is None else given_settings)


@hypothesis.settings(max_examples=1000)
@given(call=calls())
def test_binding_matches_the_model(
    tc: ModuleType, AC: type, create_function: Any, subclass_note: str, call: tuple[str, list[Any], list[tuple[Any, Any]]]
) -> None:
    route, extra, pairs = call
    positional = [AC, *extra] if route == "bound" else list(extra)
    if route == "object-call" and not all(isinstance(name, str) for name, _ in pairs):
        # The interpreter's own check, made before the module is called.
        expected: Refused | Bound = Refused(TypeError, "keywords must be strings", traceback_entry=False)
    else:
        expected = bind(positional, pairs, keywords_as_mapping=route == "slot")
    hypothesis.event(route, f"{expected.error.__name__}: {(expected.message or '')[:30]}" if isinstance(expected, Refused) else "bound")
    recorder = Recorder()
    saved = {name: getattr(tc, name) for name in ("AuthRouter", "RouterConfig", "GenericController")}
    for name in saved:
        setattr(tc, name, getattr(recorder, name))
    try:
        result = invoke(AC, create_function, route, extra, pairs)
    except BaseException as exc:  # noqa: BLE001
        outcome: Any = exc
    else:
        outcome = result
    finally:
        for name, value in saved.items():
            setattr(tc, name, value)

    if isinstance(expected, Refused):
        assert isinstance(outcome, BaseException), f"expected {expected}, got {outcome!r}"
        check_refused(expected, outcome, subclass_note)
        assert recorder.router_calls == []
        return
    settings_given = [expected.values[f"{operation}_router"] for operation in OPERATIONS]
    broken = next((value for value in settings_given if value is not None and not hasattr(value, "enabled")), None)
    if broken is not None:
        # Bound, then the merge meets route settings without `enabled`.
        assert type(outcome) is AttributeError and "enabled" in str(outcome)
        return
    assert not isinstance(outcome, BaseException), f"expected success, got {outcome!r}"
    check_bound(expected, recorder, outcome)


@pytest.mark.skipif(vectorcall is None, reason="PyObject_Vectorcall is not reachable through ctypes")
def test_repeated_names_in_a_vectorcall_bind_the_last_value(tc: ModuleType, create_function: Any, AC: type) -> None:
    recorder = Recorder()
    for name in ("AuthRouter", "RouterConfig", "GenericController"):
        setattr(tc, name, getattr(recorder, name))
    first, last = Opaque(), Opaque()
    pairs = [("model_class", first), ("response_schema", None), ("model_class", last)]
    invoke(AC, create_function, "vectorcall", [AC], pairs)
    assert recorder.controller_calls[0]["model_class"] is last
