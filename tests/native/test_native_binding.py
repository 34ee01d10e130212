"""Binding of ``AuthController.create`` calls and the checks made on the arguments."""

from __future__ import annotations

import collections
import types
from collections.abc import Callable
from typing import Any

import pytest

from native_support import (
    CREATE_ENTRY, Collaborators, Label, Opaque, ctypes, missing_keyword, native_entries, object_call, repeated_keyword,
    unexpected_keyword, vectorcall, wrong_positional_count, wrong_type,
)

needs_ctypes = pytest.mark.skipif(ctypes is None, reason="ctypes is not available")

CHECKED = [(n, "str") for n in ("prefix", "schema_name", "table_name")] + [("tags", "list")] + [
    (n, "str") for n in ("default_role", "auth_role", "auth_obj", "auth_act", "db_config_name")
]
REQUIRED = {"model_class": "M", "response_schema": "R"}
NOT_STRINGS = "keywords must be strings"




Key = type("Key", (str,), {})  # a str subclass compared with str's own equality
Tags = type("Tags", (list,), {})


class CaselessKey(str):
    def __eq__(self, other: object) -> bool:
        return isinstance(other, str) and self.lower() == other.lower()

    __hash__ = str.__hash__


class BrokenEquality(Exception):
    pass


class RaisingKey(str):
    """Fails when compared with its own name; other names compare unequal."""

    def __eq__(self, other: object) -> bool:
        if str.__eq__(self, other):
            raise BrokenEquality(str(self))
        return False

    __hash__ = str.__hash__


def slot(f: Any) -> Callable[..., Any]:
    """The function type's own call slot, which receives the keywords as a dict and
    leaves every check to the function (a wrapper written in Python would check the names)."""
    return f.__call__


# (id, call, message of the TypeError or another exception type, whether create
# adds its traceback entry); ``f`` is the unbound function.
FAILURES: list[tuple[str, Callable[[type, Any], Any], Any, bool]] = [
    ("no-argument", lambda AC, f: AC.create(), missing_keyword("model_class"), True),
    ("one-extra-positional", lambda AC, f: AC.create(1), wrong_positional_count(2), True),
    ("extra-positional-with-keywords", lambda AC, f: AC.create(1, 2, model_class=1, response_schema=2), wrong_positional_count(3), True),
    ("positional-count-before-bad-keyword", lambda AC, f: AC.create(1, zzz=1), wrong_positional_count(2), True),
    ("only-response-schema", lambda AC, f: AC.create(response_schema=1), missing_keyword("model_class"), True),
    ("only-model-class", lambda AC, f: AC.create(model_class=1), missing_keyword("response_schema"), True),
    ("cls-keyword-through-class", lambda AC, f: AC.create(**REQUIRED, cls=AC), repeated_keyword("cls"), True),
    ("misspelt-tags", lambda AC, f: AC.create(**REQUIRED, tag=[]), unexpected_keyword("tag"), True),
    ("unexpected-before-missing", lambda AC, f: AC.create(tag=[]), unexpected_keyword("tag"), True),
    ("first-unexpected-reported", lambda AC, f: AC.create(second=1, first=2), unexpected_keyword("second"), True),
    ("duplicate-before-unexpected", lambda AC, f: AC.create(cls=1, zzz=2), repeated_keyword("cls"), True),
    ("unexpected-before-duplicate", lambda AC, f: AC.create(zzz=1, cls=2), unexpected_keyword("zzz"), True),
    ("unexpected-before-type-test", lambda AC, f: AC.create(**REQUIRED, prefix=5, zzz=1), unexpected_keyword("zzz"), True),
    ("missing-before-type-test", lambda AC, f: AC.create(response_schema=1, prefix=5), missing_keyword("model_class"), True),
    ("direct-no-argument", lambda AC, f: f(), wrong_positional_count(0), True),
    ("direct-cls-only", lambda AC, f: f(AC), missing_keyword("model_class"), True),
    ("direct-without-cls", lambda AC, f: f(**REQUIRED), wrong_positional_count(0), True),
    ("direct-missing-cls-before-model-class", lambda AC, f: f(response_schema=1), wrong_positional_count(0), True),
    ("direct-cls-keyword-missing-model", lambda AC, f: f(response_schema=1, cls=AC), missing_keyword("model_class"), True),
    ("direct-cls-twice", lambda AC, f: f(AC, cls=AC, **REQUIRED), repeated_keyword("cls"), True),
    ("direct-unexpected-before-missing-cls", lambda AC, f: f(zzz=1), unexpected_keyword("zzz"), True),
    ("direct-two-positional", lambda AC, f: f(AC, 1, **REQUIRED), wrong_positional_count(2), True),
    ("non-string-key", lambda AC, f: AC.create(**{1: 2}), NOT_STRINGS, False),
    ("non-string-key-before-unexpected", lambda AC, f: AC.create(**{"zzz": 1, 2: 3}), NOT_STRINGS, False),
    ("slot-no-argument", lambda AC, f: slot(f)(), wrong_positional_count(0), True),
    ("slot-cls-only", lambda AC, f: slot(f)(AC), missing_keyword("model_class"), True),
    ("slot-positional-count-before-key-types", lambda AC, f: slot(f)(AC, 1, **{1: 2}), wrong_positional_count(2), True),
    ("slot-non-string-key", lambda AC, f: slot(f)(AC, **{1: 2}), NOT_STRINGS, False),
    ("slot-key-types-before-names", lambda AC, f: slot(f)(AC, **{"zzz": 1, 2: 3}), NOT_STRINGS, False),
    ("slot-without-cls", lambda AC, f: slot(f)(**REQUIRED), wrong_positional_count(0), True),
    ("slot-cls-twice", lambda AC, f: slot(f)(AC, **REQUIRED, cls=AC), repeated_keyword("cls"), True),
    ("slot-unexpected", lambda AC, f: slot(f)(AC, **REQUIRED, tag=[]), unexpected_keyword("tag"), True),
    ("slot-missing-response-schema", lambda AC, f: slot(f)(AC, model_class=1), missing_keyword("response_schema"), True),
    ("slot-wrong-type", lambda AC, f: slot(f)(AC, **REQUIRED, tags=()), wrong_type("tags", "list", "tuple"), False),
    # A failing comparison of a keyword name passes through as it is.
    ("name-comparison-fails", lambda AC, f: AC.create(**{RaisingKey("model_class"): 1}), BrokenEquality, True),
    ("slot-name-comparison-fails", lambda AC, f: slot(f)(AC, response_schema=1, **{RaisingKey("model_class"): 2}),
     BrokenEquality, True),
    ("comparison-with-positional-cls-fails", lambda AC, f: AC.create(**{RaisingKey("cls"): 2}), BrokenEquality, True),
]
if ctypes is not None:
    FAILURES += [
        ("fast-call-non-string-name", lambda AC, f: vectorcall(f, [AC, 1, 2], 1, ("model_class", 7)),
         "create() keywords must be strings", True),
        ("object-call-non-string-key", lambda AC, f: object_call(f, (AC,), {"model_class": 1, 5: 2}), NOT_STRINGS, False),
    ]


@pytest.mark.parametrize("call, message, entry", [pytest.param(*case[1:], id=case[0]) for case in FAILURES])
def test_binding_failures(AC: type, create_function: Any, collab: Collaborators, call: Any, message: Any, entry: bool) -> None:
    with pytest.raises(Exception) as info:
        call(AC, create_function)
    if isinstance(message, str):
        assert type(info.value) is TypeError and str(info.value) == message
    else:
        assert type(info.value) is message
    assert native_entries(info.value) == ([CREATE_ENTRY] if entry else [])
    assert collab.log == []


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda AC, f, kw: AC.create(**kw), id="class"),
        pytest.param(lambda AC, f, kw: AC().create(**kw), id="instance"),
        pytest.param(lambda AC, f, kw: type("Sub", (AC,), {}).create(**kw), id="subclass"),
        pytest.param(lambda AC, f, kw: f(AC, **kw), id="direct-positional-cls"),
        pytest.param(lambda AC, f, kw: f(cls=AC, **kw), id="direct-keyword-cls"),
        pytest.param(lambda AC, f, kw: f(**kw, cls=object()), id="cls-not-consulted"),
        pytest.param(lambda AC, f, kw: slot(f)(**kw, cls=AC), id="slot"),
        pytest.param(lambda AC, f, kw: AC.create(**{Key(k): v for k, v in kw.items()}), id="str-subclass-names"),
        pytest.param(lambda AC, f, kw: AC.create(**{"".join(k): v for k, v in kw.items()}), id="names-built-at-run-time"),
        pytest.param(lambda AC, f, kw: slot(f)(AC, **{Key(k): v for k, v in kw.items()}), id="slot-str-subclass"),
        pytest.param(
            lambda AC, f, kw: slot(f)(AC, **{CaselessKey(k.upper()): v for k, v in kw.items()}), id="slot-equality-decides"
        ),
        pytest.param(
            lambda AC, f, kw: AC.create(**{CaselessKey(k.upper()): v for k, v in kw.items()}), id="equality-decides"
        ),
        pytest.param(lambda AC, f, kw: vectorcall(f, [*kw.values(), AC], 0, (*kw, "cls")), id="fast-call", marks=needs_ctypes),
        pytest.param(lambda AC, f, kw: object_call(f, (AC,), {Key(k): v for k, v in kw.items()}), id="object-call",
                     marks=needs_ctypes),
    ],
)
def test_every_call_form_binds_the_same_values(AC: type, create_function: Any, collab: Collaborators, call: Any) -> None:
    kw = {"model_class": object(), "response_schema": object(), "update_schema": object(), "schema_name": "sales"}
    assert call(AC, create_function, kw) is collab.routers[0]
    bound = collab.kwargs("GenericController")
    for name in ("model_class", "response_schema", "update_schema"):
        assert bound[name] is kw[name]
    assert bound["create_schema"] is None
    assert collab.kwargs("AuthRouter")["default_role"] is kw["schema_name"]


@pytest.mark.parametrize(
    "values",
    [
        pytest.param({"model_class": None, "response_schema": None}, id="required-may-be-none"),
        pytest.param(
            {"model_class": 1, "response_schema": "text", "create_schema": [1], "update_schema": {},
             "create_router": None, "delete_router": types.SimpleNamespace(enabled=False)},
            id="any-object-for-untyped",
        ),
        pytest.param({**REQUIRED, "prefix": "", "tags": [], "schema_name": "", "table_name": ""}, id="empty-values"),
        pytest.param({**REQUIRED, **{name: None for name, _ in CHECKED}}, id="explicit-none"),
    ],
)
def test_accepted_values(AC: type, collab: Collaborators, values: dict[str, Any]) -> None:
    assert AC.create(**values) is collab.routers[0]
    bound = collab.kwargs("GenericController")
    assert all(bound[n] is v for n, v in values.items() if n in bound and v is not None)


SUBCLASS_NOTE = ". Subclasses of built-in types are refused by this check: pass an instance of the built-in type itself."
TYPE_FAILURES = [
    *[(name, 5, wrong_type(name, expected, "int")) for name, expected in CHECKED],
    *[(n, Tags() if e == "list" else Label(), wrong_type(n, e, "Tags" if e == "list" else "Label") + SUBCLASS_NOTE) for n, e in CHECKED],
    ("prefix", b"/v1", wrong_type("prefix", "str", "bytes")),
    ("schema_name", Opaque(), wrong_type("schema_name", "str", "Opaque")),
    ("tags", ("a",), wrong_type("tags", "list", "tuple")),
    ("tags", {"a": 1}, wrong_type("tags", "list", "dict")),
    ("tags", "a", wrong_type("tags", "list", "str")),
    ("tags", collections.OrderedDict(), wrong_type("tags", "list", "collections.OrderedDict")),
    ("db_config_name", ["main"], wrong_type("db_config_name", "str", "list")),
]


@pytest.mark.parametrize("name, value, message", TYPE_FAILURES)
def test_type_test_failures(AC: type, collab: Collaborators, name: str, value: Any, message: str) -> None:
    with pytest.raises(TypeError) as info:
        AC.create(**REQUIRED, **{name: value})
    assert str(info.value) == message
    assert native_entries(info.value) == []
    assert collab.log == []


@pytest.mark.parametrize("first", range(len(CHECKED)))
def test_first_failing_type_test_is_reported(AC: type, collab: Collaborators, first: int) -> None:
    bad = {name: 5 for name, _ in CHECKED[first:]}
    with pytest.raises(TypeError) as info:
        AC.create(**REQUIRED, **dict(reversed(bad.items())))
    assert str(info.value) == wrong_type(CHECKED[first][0], CHECKED[first][1], "int")
