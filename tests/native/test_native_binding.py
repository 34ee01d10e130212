"""Binding of ``AuthController.create`` calls and the checks made on the arguments."""

from __future__ import annotations

import collections
import types
from collections.abc import Callable
from typing import Any

import pytest

from native_support import CREATE_ENTRY, Collaborators, native_entries

try:
    import ctypes
except ImportError:  # an interpreter built without libffi
    ctypes = None  # type: ignore[assignment]

needs_ctypes = pytest.mark.skipif(ctypes is None, reason="ctypes is not available")

CHECKED = (
    ("prefix", "str"),
    ("schema_name", "str"),
    ("table_name", "str"),
    ("tags", "list"),
    ("default_role", "str"),
    ("auth_role", "str"),
    ("auth_obj", "str"),
    ("auth_act", "str"),
    ("db_config_name", "str"),
)
REQUIRED = {"model_class": "M", "response_schema": "R"}


def m1(given: int) -> str:
    return f"create() takes exactly 1 positional argument ({given} given)"


def m2(name: str) -> str:
    return f"create() needs keyword-only argument {name}"


def m3(name: str) -> str:
    return f"create() got an unexpected keyword argument '{name}'"


def m4(name: str) -> str:
    return f"create() got multiple values for keyword argument '{name}'"


def m7(name: str, expected: str, got: str) -> str:
    return f"Argument '{name}' has incorrect type (expected {expected}, got {got})"


class Key(str):
    """A keyword name that is a str subclass compared with str's own equality."""


class CaselessKey(str):
    def __eq__(self, other: object) -> bool:
        return isinstance(other, str) and self.lower() == other.lower()

    __hash__ = str.__hash__


class BrokenEquality(Exception):
    pass


class RaisingKey(str):
    def __eq__(self, other: object) -> bool:
        raise BrokenEquality(str(self))

    __hash__ = str.__hash__


class Label(str):
    pass


class Tags(list):
    pass


class Opaque:
    pass


# Each case: (call, expected message, whether create adds its traceback entry)
CallCase = Callable[[type, Any], Any]

BINDING_FAILURES: list[tuple[str, CallCase, str, bool]] = [
    ("no-argument", lambda AC, f: AC.create(), m2("model_class"), True),
    ("one-extra-positional", lambda AC, f: AC.create(1), m1(2), True),
    ("two-extra-positional", lambda AC, f: AC.create(1, 2), m1(3), True),
    ("extra-positional-with-keywords", lambda AC, f: AC.create(1, 2, model_class=1, response_schema=2), m1(3), True),
    ("one-extra-positional-with-keywords", lambda AC, f: AC.create(1, model_class=1, response_schema=2), m1(2), True),
    ("positional-count-before-bad-keyword", lambda AC, f: AC.create(1, zzz=1), m1(2), True),
    ("only-response-schema", lambda AC, f: AC.create(response_schema=1), m2("model_class"), True),
    ("only-model-class", lambda AC, f: AC.create(model_class=1), m2("response_schema"), True),
    ("cls-keyword-through-class", lambda AC, f: AC.create(model_class=1, response_schema=2, cls=AC), m4("cls"), True),
    ("misspelt-tags", lambda AC, f: AC.create(model_class=1, response_schema=2, tag=[]), m3("tag"), True),
    ("keywords-are-case-sensitive", lambda AC, f: AC.create(model_class=1, response_schema=2, Tags=[]), m3("Tags"), True),
    ("unexpected-before-missing", lambda AC, f: AC.create(tag=[]), m3("tag"), True),
    ("first-unexpected-reported", lambda AC, f: AC.create(first=1, second=2), m3("first"), True),
    ("first-unexpected-reported-reversed", lambda AC, f: AC.create(second=1, first=2), m3("second"), True),
    ("duplicate-before-unexpected", lambda AC, f: AC.create(cls=1, zzz=2), m4("cls"), True),
    ("unexpected-before-duplicate", lambda AC, f: AC.create(zzz=1, cls=2), m3("zzz"), True),
    ("unexpected-before-type-test", lambda AC, f: AC.create(model_class=1, response_schema=2, prefix=5, zzz=1), m3("zzz"), True),
    ("missing-before-type-test", lambda AC, f: AC.create(response_schema=1, prefix=5), m2("model_class"), True),
    ("empty-mapping", lambda AC, f: AC.create(**{}), m2("model_class"), True),
    ("direct-no-argument", lambda AC, f: f(), m1(0), True),
    ("direct-cls-only", lambda AC, f: f(AC), m2("model_class"), True),
    ("direct-without-cls", lambda AC, f: f(model_class=1, response_schema=2), m1(0), True),
    ("direct-missing-cls-before-response-schema", lambda AC, f: f(model_class=1), m1(0), True),
    ("direct-missing-cls-before-model-class", lambda AC, f: f(response_schema=1), m1(0), True),
    ("direct-only-optional-keyword", lambda AC, f: f(table_name="t"), m1(0), True),
    ("direct-cls-keyword-only", lambda AC, f: f(cls=AC), m2("model_class"), True),
    ("direct-cls-keyword-missing-model", lambda AC, f: f(response_schema=1, cls=AC), m2("model_class"), True),
    ("direct-cls-twice", lambda AC, f: f(AC, cls=AC, model_class=1, response_schema=2), m4("cls"), True),
    ("direct-unexpected-before-missing-cls", lambda AC, f: f(zzz=1), m3("zzz"), True),
    ("direct-two-positional", lambda AC, f: f(AC, 1, model_class=1, response_schema=2), m1(2), True),
    ("non-string-key", lambda AC, f: AC.create(**{1: 2}), "keywords must be strings", False),
    ("non-string-key-with-names", lambda AC, f: AC.create(model_class=1, response_schema=2, **{3: 4}), "keywords must be strings", False),
    ("non-string-key-before-unexpected", lambda AC, f: AC.create(**{"zzz": 1, 2: 3}), "keywords must be strings", False),
    ("direct-non-string-key", lambda AC, f: f(**{1: 2}), "keywords must be strings", False),
]


@pytest.mark.parametrize(
    "call, message, entry",
    [pytest.param(call, message, entry, id=name) for name, call, message, entry in BINDING_FAILURES],
)
def test_binding_failures(AC: type, collab: Collaborators, call: CallCase, message: str, entry: bool) -> None:
    func = AC.__dict__["create"].__func__
    with pytest.raises(TypeError) as info:
        call(AC, func)
    assert str(info.value) == message
    assert type(info.value) is TypeError
    assert native_entries(info.value) == ([CREATE_ENTRY] if entry else [])
    assert collab.log == []


# ``type(f).__call__(f, ...)`` reaches the function type's own call slot,
# which receives the keywords as a dict (a wrapper in Python would check the
# names itself), so these calls take the mapping path of the binding.
MAPPING_FAILURES: list[tuple[str, CallCase, str, bool]] = [
    ("no-argument", lambda AC, f: type(f).__call__(f), m1(0), True),
    ("cls-only", lambda AC, f: type(f).__call__(f, AC), m2("model_class"), True),
    ("two-positional", lambda AC, f: type(f).__call__(f, AC, 1), m1(2), True),
    ("positional-count-before-key-types", lambda AC, f: type(f).__call__(f, AC, 1, **{1: 2}), m1(2), True),
    ("non-string-key", lambda AC, f: type(f).__call__(f, AC, **{1: 2}), "keywords must be strings", False),
    ("key-types-before-names", lambda AC, f: type(f).__call__(f, AC, **{"zzz": 1, 2: 3}), "keywords must be strings", False),
    ("without-cls", lambda AC, f: type(f).__call__(f, model_class=1, response_schema=2), m1(0), True),
    ("cls-twice", lambda AC, f: type(f).__call__(f, AC, model_class=1, response_schema=2, cls=AC), m4("cls"), True),
    ("unexpected", lambda AC, f: type(f).__call__(f, AC, model_class=1, response_schema=2, tag=[]), m3("tag"), True),
    ("missing-response-schema", lambda AC, f: type(f).__call__(f, AC, model_class=1), m2("response_schema"), True),
    ("wrong-type", lambda AC, f: type(f).__call__(f, AC, model_class=1, response_schema=2, tags=()), m7("tags", "list", "tuple"), False),
]


@pytest.mark.parametrize(
    "call, message, entry",
    [pytest.param(call, message, entry, id=name) for name, call, message, entry in MAPPING_FAILURES],
)
def test_mapping_call_failures(AC: type, collab: Collaborators, call: CallCase, message: str, entry: bool) -> None:
    func = AC.__dict__["create"].__func__
    with pytest.raises(TypeError) as info:
        call(AC, func)
    assert str(info.value) == message
    assert native_entries(info.value) == ([CREATE_ENTRY] if entry else [])
    assert collab.log == []


def test_mapping_call_binds_str_subclass_names(AC: type, collab: Collaborators) -> None:
    func = AC.__dict__["create"].__func__
    model, response = object(), object()
    router = type(func).__call__(func, **{"cls": AC, Key("response_schema"): response, CaselessKey("Model_Class"): model})
    assert router is collab.routers[0]
    bound = dict(collab.calls("GenericController")[0][3])
    assert bound["model_class"] is model and bound["response_schema"] is response
    with pytest.raises(BrokenEquality) as info:
        type(func).__call__(func, AC, **{"response_schema": 1, RaisingKey("model_class"): 2})
    assert native_entries(info.value) == [CREATE_ENTRY]


def vectorcall(func: Any, args: tuple[Any, ...], names: tuple[Any, ...], values: tuple[Any, ...]) -> Any:
    """Call through the fast convention with keyword names the language cannot write."""
    api = ctypes.pythonapi.PyObject_Vectorcall
    api.restype = ctypes.py_object
    api.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]
    stack = args + values
    array = (ctypes.py_object * max(len(stack), 1))(*stack)
    return api(func, ctypes.addressof(array), len(args), id(names) if names else None)


@needs_ctypes
def test_non_string_keyword_name_in_fast_call(AC: type, collab: Collaborators) -> None:
    func = AC.__dict__["create"].__func__
    with pytest.raises(TypeError) as info:
        vectorcall(func, (AC,), ("model_class", 7, "response_schema"), (1, 2, 3))
    assert str(info.value) == "create() keywords must be strings"
    assert native_entries(info.value) == [CREATE_ENTRY]
    assert collab.log == []


@needs_ctypes
def test_fast_call_binds_like_a_written_call(AC: type, collab: Collaborators) -> None:
    func = AC.__dict__["create"].__func__
    router = vectorcall(func, (), ("response_schema", "cls", "model_class"), ("R", AC, "M"))
    assert router is collab.routers[0]
    controller_kwargs = dict(collab.calls("GenericController")[0][3])
    assert controller_kwargs["model_class"] == "M" and controller_kwargs["response_schema"] == "R"


@needs_ctypes
def test_mapping_call_binds_like_a_written_call(AC: type, collab: Collaborators) -> None:
    func = AC.__dict__["create"].__func__
    api = ctypes.pythonapi.PyObject_Call
    api.restype = ctypes.py_object
    api.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    model, response = object(), object()
    router = api(func, (AC,), {Key("response_schema"): response, "model_class": model, "table_name": "t"})
    assert router is collab.routers[0]
    controller_kwargs = dict(collab.calls("GenericController")[0][3])
    assert controller_kwargs["model_class"] is model and controller_kwargs["response_schema"] is response
    with pytest.raises(TypeError) as info:
        api(func, (AC,), {"model_class": 1, 5: 2})
    assert str(info.value) == "keywords must be strings"
    assert native_entries(info.value) == []


def controller_kwargs(collab: Collaborators) -> dict[str, Any]:
    (call,) = collab.calls("GenericController")
    return dict(call[3])


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda AC, f, kw: AC.create(**kw), id="class"),
        pytest.param(lambda AC, f, kw: AC().create(**kw), id="instance"),
        pytest.param(lambda AC, f, kw: type("Sub", (AC,), {}).create(**kw), id="subclass"),
        pytest.param(lambda AC, f, kw: f(AC, **kw), id="direct-positional-cls"),
        pytest.param(lambda AC, f, kw: f(cls=AC, **kw), id="direct-keyword-cls"),
        pytest.param(lambda AC, f, kw: f(**kw, cls=object()), id="cls-not-consulted"),
    ],
)
def test_every_call_form_binds_the_same_values(AC: type, collab: Collaborators, call: Callable[..., Any]) -> None:
    func = AC.__dict__["create"].__func__
    kw = {"model_class": object(), "response_schema": object(), "update_schema": object(), "schema_name": "s"}
    result = call(AC, func, kw)
    assert result is collab.routers[0]
    bound = controller_kwargs(collab)
    assert bound["model_class"] is kw["model_class"]
    assert bound["response_schema"] is kw["response_schema"]
    assert bound["update_schema"] is kw["update_schema"]
    assert bound["create_schema"] is None
    assert dict(collab.calls("AuthRouter")[0][3])["default_role"] is kw["schema_name"]


@pytest.mark.parametrize(
    "make_names",
    [
        pytest.param(lambda: ("".join(["model_", "class"]), "".join(["response_", "schema"])), id="built-at-run-time"),
        pytest.param(lambda: (Key("model_class"), Key("response_schema")), id="str-subclass"),
        pytest.param(lambda: (CaselessKey("MODEL_CLASS"), "response_schema"), id="subclass-equality-decides"),
    ],
)
def test_keyword_names_match_by_value(AC: type, collab: Collaborators, make_names: Callable[[], tuple[str, str]]) -> None:
    model_name, response_name = make_names()
    model, response = object(), object()
    AC.create(**{model_name: model, response_name: response})
    bound = controller_kwargs(collab)
    assert bound["model_class"] is model and bound["response_schema"] is response


def test_keyword_name_equality_failure_passes_through(AC: type, collab: Collaborators) -> None:
    with pytest.raises(BrokenEquality) as info:
        AC.create(**{RaisingKey("model_class"): 1, "response_schema": 2})
    assert str(info.value) == "model_class"
    assert native_entries(info.value) == [CREATE_ENTRY]
    assert collab.log == []


@pytest.mark.parametrize(
    "values",
    [
        pytest.param({"model_class": None, "response_schema": None}, id="required-may-be-none"),
        pytest.param(
            {
                "model_class": 1,
                "response_schema": "text",
                "create_schema": [1],
                "update_schema": {},
                "create_router": None,
                "delete_router": types.SimpleNamespace(enabled=False),
            },
            id="any-object-for-untyped",
        ),
        pytest.param({**REQUIRED, "prefix": "", "tags": [], "schema_name": "", "table_name": ""}, id="empty-values"),
        pytest.param({**REQUIRED, **{name: None for name, _ in CHECKED}}, id="explicit-none"),
    ],
)
def test_accepted_values(AC: type, collab: Collaborators, values: dict[str, Any]) -> None:
    assert AC.create(**values) is collab.routers[0]
    bound = controller_kwargs(collab)
    for name, value in values.items():
        if name in bound and value is not None:
            assert bound[name] is value


TYPE_FAILURES = [
    *[(name, 5, expected, "int") for name, expected in CHECKED],
    ("prefix", b"/v1", "str", "bytes"),
    ("schema_name", Opaque(), "str", "Opaque"),
    ("tags", ("a",), "list", "tuple"),
    ("tags", {"a": 1}, "list", "dict"),
    ("tags", "a", "list", "str"),
    ("tags", collections.OrderedDict(), "list", "collections.OrderedDict"),
    ("db_config_name", ["main"], "str", "list"),
]


@pytest.mark.parametrize("name, value, expected, got", TYPE_FAILURES)
def test_type_test_failures(AC: type, collab: Collaborators, name: str, value: Any, expected: str, got: str) -> None:
    with pytest.raises(TypeError) as info:
        AC.create(**REQUIRED, **{name: value})
    assert str(info.value) == m7(name, expected, got)
    assert native_entries(info.value) == []
    assert collab.log == []


def test_subclasses_of_str_and_list_are_refused_with_one_note(AC: type, collab: Collaborators) -> None:
    notes = set()
    for name, expected in CHECKED:
        value, got = (Tags(["a"]), "Tags") if expected == "list" else (Label("x"), "Label")
        with pytest.raises(TypeError) as info:
            AC.create(**REQUIRED, **{name: value})
        message = str(info.value)
        head = m7(name, expected, got) + ". "
        assert message.startswith(head)
        notes.add(message[len(head) :])
        assert native_entries(info.value) == []
    assert len(notes) == 1 and notes.pop() != ""
    assert collab.log == []


@pytest.mark.parametrize("first", range(len(CHECKED)))
def test_first_failing_type_test_is_reported(AC: type, collab: Collaborators, first: int) -> None:
    bad = {name: 5 for name, _ in CHECKED[first:]}
    name, expected = CHECKED[first]
    with pytest.raises(TypeError) as info:
        AC.create(**REQUIRED, **dict(reversed(bad.items())))
    assert str(info.value) == m7(name, expected, "int")


@pytest.mark.parametrize(
    "bad",
    [
        pytest.param({"zzz": 1}, id="unexpected-keyword"),
        pytest.param({"cls": 1}, id="duplicate-cls"),
        pytest.param({"table_name": 5}, id="wrong-type"),
        pytest.param({"db_config_name": Label("main")}, id="str-subclass"),
    ],
)
def test_failed_binding_leaves_settings_objects_untouched(AC: type, collab: Collaborators, bad: dict[str, Any]) -> None:
    settings = {f"{op}_router": collab.settings(f"{op}_router", enabled=True) for op in ("create", "update", "read", "delete", "query")}
    with pytest.raises(TypeError):
        AC.create(**REQUIRED, **settings, **bad)
    assert collab.log == []
    assert all(s._snapshot()["auth"] is None for s in settings.values())
