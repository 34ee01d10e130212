"""A pure-Python model of how ``AuthController.create`` binds a call, and of
what a bound call hands to the router it builds.

The model states the rules directly (a name table, open slots, the order of
the checks); the property tests compare the native module against it.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

PARAMETERS = (
    "cls", "model_class", "create_schema", "update_schema", "response_schema",
    "create_router", "update_router", "read_router", "delete_router", "query_router",
    "prefix", "schema_name", "table_name", "tags", "default_role",
    "auth_role", "auth_obj", "auth_act", "db_config_name",
)  # fmt: skip
MATCH_ORDER = ("cls", "model_class", "response_schema") + tuple(
    name for name in PARAMETERS[1:] if name not in ("model_class", "response_schema")
)
TYPE_TESTS = (
    ("prefix", str), ("schema_name", str), ("table_name", str), ("tags", list), ("default_role", str),
    ("auth_role", str), ("auth_obj", str), ("auth_act", str), ("db_config_name", str),
)  # fmt: skip


@dataclass
class Refused:
    """A TypeError of the binding, or an exception raised by comparing a keyword name."""

    error: type[BaseException]
    message: str | None = None  # None: the exception object in ``raised`` is expected
    raised: BaseException | None = None
    subclass_note: bool = False  # the message continues with ". " and the fixed note
    traceback_entry: bool = True  # the create entry is added


@dataclass
class Bound:
    values: dict[str, Any]


def text_of(name: str) -> str:
    """What the interpreter's %U prints for a name (its characters, never ``__str__``)."""
    return str.__str__(name)


def type_name(value: Any) -> str:
    """The name recorded in the value's type object: a bare name for a class
    defined in Python, the dotted name given to a type defined in C."""
    kind = type(value)
    if kind.__flags__ & (1 << 9) or kind.__module__ == "builtins":  # a heap type, or a builtin
        return kind.__name__
    return f"{kind.__module__}.{kind.__qualname__}"


def m1(given: int) -> Refused:
    return Refused(TypeError, f"create() takes exactly 1 positional argument ({given} given)")


def m2(name: str) -> Refused:
    return Refused(TypeError, f"create() needs keyword-only argument {name}")


class _ComparisonFailed(Exception):
    def __init__(self, raised: BaseException) -> None:
        self.raised = raised


def _same_name(keyword: str, parameter: str) -> bool:
    if type(keyword) is str:
        return keyword == parameter
    try:
        return bool(keyword == parameter)
    except Exception as exc:  # noqa: BLE001 - any exception of the comparison ends the call
        raise _ComparisonFailed(exc) from None


def bind(positional: list[Any], keywords: list[tuple[Any, Any]], keywords_as_mapping: bool) -> Refused | Bound:
    """Binds positional values and (name, value) keyword pairs in call order."""
    count = len(positional)
    if not keywords:
        return m2("model_class") if count == 1 else m1(count)
    if count >= 2:
        return m1(count)
    if keywords_as_mapping and not all(isinstance(name, str) for name, _ in keywords):
        return Refused(TypeError, "keywords must be strings", traceback_entry=False)
    slots: dict[str, Any] = {}
    if count == 1:
        slots["cls"] = positional[0]
    open_slots = MATCH_ORDER[1:] if count == 1 else MATCH_ORDER
    try:
        for name, value in keywords:
            if not isinstance(name, str):
                return Refused(TypeError, "create() keywords must be strings")
            slot = next((parameter for parameter in open_slots if _same_name(name, parameter)), None)
            if slot is not None:
                slots[slot] = value
            elif count == 1 and _same_name(name, "cls"):
                return Refused(TypeError, f"create() got multiple values for keyword argument '{text_of(name)}'")
            else:
                return Refused(TypeError, f"create() got an unexpected keyword argument '{text_of(name)}'")
    except _ComparisonFailed as failed:
        return Refused(type(failed.raised), raised=failed.raised)
    for parameter in PARAMETERS[1:]:
        if parameter not in ("model_class", "response_schema"):
            slots.setdefault(parameter, None)
    if "cls" not in slots:
        return m1(0)
    for required in ("model_class", "response_schema"):
        if required not in slots:
            return m2(required)
    for parameter, expected in TYPE_TESTS:
        value = slots[parameter]
        if value is not None and type(value) is not expected:
            return Refused(
                TypeError,
                f"Argument '{parameter}' has incorrect type (expected {expected.__name__}, got {type_name(value)})",
                subclass_note=isinstance(value, expected),
                traceback_entry=False,
            )
    return Bound(slots)


def router_keywords(values: dict[str, Any]) -> list[tuple[str, Any, bool]]:
    """The AuthRouter keywords a bound call derives: (name, value, passed as the caller's own object)."""
    schema, table = values["schema_name"], values["table_name"]
    schema_path = schema + "/" if schema else ""
    schema_dotted = schema + "." if schema else ""
    table_text = "None" if table is None else table

    def given_or(name: str, derived: Any) -> tuple[str, Any, bool]:
        return (name, values[name], True) if values[name] else (name, derived, False)

    default_role = values["default_role"] if values["default_role"] else schema
    return [
        given_or("prefix", "/v1/" + schema_path + table_text),
        given_or("tags", [schema_dotted + "table"]),
        ("db_config_name", values["db_config_name"], True),
        ("default_role", default_role, True),
        ("auth_role", values["auth_role"], True),
        given_or("auth_obj", schema_dotted + table_text),
        ("auth_act", values["auth_act"], True),
    ]
