"""What the controller needs to know about a table model, and the schemas it derives."""

from __future__ import annotations

import types
from collections.abc import Iterable

import annotated_types
from datetime import date, datetime, time, timezone
from dataclasses import dataclass
from functools import cached_property
from typing import Annotated, Any, Optional, Union, get_args, get_origin

from pydantic import BaseModel, BeforeValidator, ConfigDict, Field, Strict, TypeAdapter, create_model
from pydantic.fields import FieldInfo
from sqlalchemy import BigInteger, Integer, SmallInteger, inspect
from sqlalchemy.orm import Mapper
from sqlalchemy.types import TypeEngine
from sqlalchemy.sql.elements import ColumnElement

from ..type.var import SQLModelCreate, SQLModelResponse, SQLModelUpdate


@dataclass(frozen=True)
class TableColumn:
    """A mapped column: attribute name, SQL column and a parser for text values."""

    name: str
    column: ColumnElement[Any]
    annotation: Any
    is_text: bool

    @cached_property
    def holds_aware_times(self) -> bool:
        """Whether the column stores times with their time zone (``DateTime(timezone=True)``)."""
        return bool(getattr(self.column.type, "timezone", False))

    def stored(self, value: Any) -> Any:
        """``value`` as the column takes it: a time without a zone, in a column with zones, read as UTC.

        A time the column's zone cannot hold (the first hours of year 1 east
        of UTC, say) raises OverflowError.
        """
        if isinstance(value, datetime) and self.holds_aware_times:
            return value.replace(tzinfo=timezone.utc) if value.utcoffset() is None else value.astimezone(timezone.utc)
        return value

    @cached_property
    def integer_range(self) -> tuple[int, int]:
        """The integers the column's SQL type holds (see ``integer_range``)."""
        # Read for every integer a write stores: worked out once.
        return integer_range(self.column.type)

    @cached_property
    def parser(self) -> TypeAdapter[Any]:
        # Built on first use: most columns are never filtered on, and an
        # application publishing hundreds of tables starts faster without.
        return TypeAdapter(_bounded(self.annotation))


@dataclass(frozen=True)
class TableInfo:
    """A table model's primary key columns and its columns, in declaration order."""

    model_class: type[Any]
    table_name: str
    key: tuple[TableColumn, ...]
    columns: dict[str, TableColumn]

    @cached_property
    def key_names(self) -> tuple[str, ...]:
        return tuple(column.name for column in self.key)

    @property
    def composite_key(self) -> bool:
        return len(self.key) > 1


def _without_none(annotation: Any) -> Any:
    """``int | None`` -> ``int``: the type of a value that is present."""
    origin = get_origin(annotation)
    if origin is Union or origin is types.UnionType:
        present = [arg for arg in get_args(annotation) if arg is not type(None)]
        if len(present) == 1:
            return present[0]
        return Union[tuple(present)]
    return annotation


# No database stores wider integers; refusing wider values while parsing keeps
# them from reaching a driver that would fail on them.
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
# Integers every JSON reader holds exactly (I-JSON, RFC 7493): the bounds of a
# derived body's integers.  A double rounds wider ones, so that a client (or
# a tool checking against the documentation) cannot tell where 64 bits end.
JSON_INT_MIN, JSON_INT_MAX = -(2**53 - 1), 2**53 - 1


def integer_range(column_type: TypeEngine[Any]) -> tuple[int, int]:
    """The integers a column of ``column_type`` holds on every database.

    SQL's INTEGER (what SQLModel makes of ``int``) has 32 bits on PostgreSQL
    and most others, SMALLINT 16, BIGINT 64; SQLite stores 64 bits in any of
    them, but a value it takes must not be one PostgreSQL refuses.
    """
    if isinstance(column_type, BigInteger):
        return INT64_MIN, INT64_MAX
    if isinstance(column_type, SmallInteger):
        return -(2**15), 2**15 - 1
    if isinstance(column_type, Integer):
        return -(2**31), 2**31 - 1
    return INT64_MIN, INT64_MAX


# Databases refuse a NUL in text (PostgreSQL) or cut the text at it (C
# readers of SQLite's); the documentation of a derived body says so.
WITHOUT_NUL = "^[^\\x00]*$"


def _whole_number(value: Any) -> Any:
    return int(value) if isinstance(value, float) and value.is_integer() and abs(value) < 2**63 else value


def _bounded(annotation: Any) -> Any:
    if annotation is int:
        return Annotated[int, Field(ge=INT64_MIN, le=INT64_MAX)]
    return annotation


def _is_text(annotation: Any) -> bool:
    return isinstance(annotation, type) and issubclass(annotation, str)


def inspect_table(model_class: type[Any]) -> TableInfo:
    """Read a SQLModel table model; refuse models the controller cannot serve."""
    table = getattr(model_class, "__table__", None)
    if table is None:
        raise TypeError(
            f"{model_class!r} is not a table model: declare it with table=True"
        )
    mapper: Mapper[Any] = inspect(model_class)
    fields = getattr(model_class, "model_fields", {})
    columns: dict[str, TableColumn] = {}
    for attribute in mapper.column_attrs:
        column = attribute.columns[0]
        field = fields.get(attribute.key)
        if field is not None and field.annotation is not None:
            annotation = _without_none(field.annotation)
        else:
            annotation = column.type.python_type
        columns[attribute.key] = TableColumn(
            name=attribute.key,
            column=column,
            annotation=annotation,
            is_text=_is_text(annotation),
        )
    key = tuple(columns[mapper.get_property_by_column(column).key] for column in mapper.primary_key)
    return TableInfo(model_class=model_class, table_name=table.fullname, key=key, columns=columns)


def _request_constraints(
    annotation: Any, constraints: list[Any], column_type: TypeEngine[Any] | None
) -> list[Any]:
    """What keeps a request field to the JSON type and range its documentation gives.

    Pydantic's lax mode would also take "5" and true for an integer, or a
    number for a time; a client reading the documentation sends neither, and
    a tool checking the answers against it expects them refused.  Nor does
    the documentation promise a value the column cannot store.
    """
    if annotation is int:
        lowest, highest = integer_range(column_type) if column_type is not None else (INT64_MIN, INT64_MAX)
        added: list[Any] = []
        # What both JSON (exactly) and the column hold, stated in the documentation.
        if not any(isinstance(item, (annotated_types.Ge, annotated_types.Gt)) for item in constraints):
            added.append(annotated_types.Ge(max(lowest, JSON_INT_MIN)))
        if not any(isinstance(item, (annotated_types.Le, annotated_types.Lt)) for item in constraints):
            added.append(annotated_types.Le(min(highest, JSON_INT_MAX)))
        # JSON has one kind of number: 7.0 is the integer 7.
        return [*added, BeforeValidator(_whole_number), Strict()]
    if annotation in (float, bool):
        return [Strict()]
    if annotation in (datetime, date, time):
        return [BeforeValidator(_text_only)]
    if _is_text(annotation) and not any(getattr(item, "pattern", None) for item in constraints):
        return [Field(pattern=WITHOUT_NUL)]
    return []


def _text_only(value: Any) -> Any:
    if isinstance(value, (int, float)):
        raise ValueError("a time is written as text (ISO 8601)")
    return value


def _field_definition(
    field: FieldInfo, *, optional: bool, request: bool = False, column_type: TypeEngine[Any] | None = None
) -> tuple[Any, Any]:
    """The (annotation, field) pair of a derived schema for one model field.

    Constraints (lengths, bounds) and documentation are kept; SQL-only settings
    (primary key, foreign key, indexes) are not part of a request or response.
    A ``request`` body's field takes only values of the JSON type its
    documentation gives, integers within what both JSON (exactly) and the
    column (``column_type``) hold.
    """
    present = _without_none(field.annotation)
    # A field that may be left out of a partial update is not thereby one
    # that takes null: only a column that holds NULL does.
    nullable = present is not field.annotation
    # Constraints apply to a value that is present.
    constraints = _value_constraints(field)
    if request:
        constraints.extend(_request_constraints(present, constraints, column_type))
    inner: Any = Annotated[(present, *constraints)] if constraints else present
    annotation: Any = Optional[inner] if nullable else inner
    documentation: dict[str, Any] = {
        "title": field.title,
        "description": field.description,
        "examples": field.examples,
    }
    documentation = {k: v for k, v in documentation.items() if v is not None}
    if optional and nullable:
        return annotation, Field(default=None, **documentation)
    if optional:
        # Left out, the field keeps the stored value; null is refused, and the
        # documentation shows no default a client could send.
        return annotation, Field(default=None, json_schema_extra=_without_default, **documentation)
    if field.default_factory is not None:
        return annotation, Field(default_factory=field.default_factory, **documentation)
    if field.is_required():
        return annotation, Field(**documentation)
    return annotation, Field(default=field.default, **documentation)


def _without_default(schema: dict[str, Any]) -> None:
    schema.pop("default", None)


def _value_constraints(field: FieldInfo) -> list[Any]:
    """The constraints a field puts on its values (lengths, bounds), without SQLModel's column metadata."""
    return [item for item in field.metadata if not type(item).__module__.startswith("sqlmodel")]


def _derive(
    model_class: type[Any],
    suffix: str,
    base: type[Any],
    *,
    optional: bool,
    exclude: tuple[str, ...] = (),
    request: bool = False,
) -> type[Any]:
    mapper: Mapper[Any] = inspect(model_class)
    column_types = {attribute.key: attribute.columns[0].type for attribute in mapper.column_attrs}
    definitions = {
        name: _field_definition(field, optional=optional, request=request, column_type=column_types.get(name))
        for name, field in model_class.model_fields.items()
        if name not in exclude
    }
    schema: type[Any] = create_model(  # type: ignore[call-overload]
        f"{model_class.__name__}{suffix}",
        __base__=base,
        __module__=model_class.__module__,
        **definitions,
    )
    schema.__doc__ = f"{suffix} schema of {model_class.__name__}, derived from the table model."
    return schema


def derive_create_schema(model_class: type[Any], *, exclude: tuple[str, ...] = ()) -> type[Any]:
    """A create body with the model's fields but ``exclude``, defaults and constraints."""
    return _derive(model_class, "Create", SQLModelCreate, optional=False, exclude=exclude, request=True)


def database_assigns_key(table: TableInfo) -> bool:
    """Whether the database picks the primary key (one column declared ``= None``, as for serials)."""
    if table.composite_key:
        return False
    field = table.model_class.model_fields.get(table.key[0].name)
    return field is not None and not field.is_required() and field.default is None


def derive_update_schema(model_class: type[Any], *, exclude: tuple[str, ...] = ()) -> type[Any]:
    """A partial-update body: every field of the model but ``exclude``, each optional, null only where the column takes it."""
    return _derive(model_class, "Update", SQLModelUpdate, optional=True, exclude=exclude, request=True)


def derive_response_schema(model_class: type[Any]) -> type[Any]:
    """A response with every field of the model."""
    return _derive(model_class, "Response", SQLModelResponse, optional=False)


def attributes_read(schema: type[Any]) -> frozenset[str] | None:
    """The attributes of a row that validating ``schema`` from it reads; None where it may read any (a model validator)."""
    fields: dict[str, FieldInfo] | None = getattr(schema, "model_fields", None)
    decorators = getattr(schema, "__pydantic_decorators__", None)
    if fields is None or decorators is None or decorators.model_validators:
        return None
    read = set(fields)
    for field in fields.values():
        for alias in (field.alias, field.validation_alias):
            if isinstance(alias, str):
                read.add(alias)
            elif alias is not None:  # a path or choices: read as named, beyond this reckoning
                return None
    return frozenset(read)


# Settings of a model's config that change how one field's value is checked.
_FIELD_CHECK_SETTINGS = (
    "str_strip_whitespace",
    "str_to_upper",
    "str_to_lower",
    "str_min_length",
    "str_max_length",
    "strict",
    "arbitrary_types_allowed",
    "allow_inf_nan",
    "use_enum_values",
    "coerce_numbers_to_str",
    "regex_engine",
    "from_attributes",
)


def derive_field_checks(model_class: type[Any], names: Iterable[str], *, whole_rows: bool = False) -> type[BaseModel] | None:
    """A model that checks values for the fields ``names`` each on its own, as ``model_class`` would.

    A partial update's values can then be checked without the stored row;
    with ``whole_rows`` the fields keep the model's defaults and required
    ones, and the model checks new rows, many in one call.
    None where the model's own checks need more than one field (validators
    of a field or of the model), where fields go by other names (aliases) or
    where a column is no field of the model: only the whole row can be
    checked there.
    """
    decorators = model_class.__pydantic_decorators__
    if (
        decorators.validators
        or decorators.field_validators
        or decorators.root_validators
        or decorators.model_validators
        or model_class.model_config.get("alias_generator") is not None
    ):
        return None
    definitions: dict[str, Any] = {}
    for name in names:
        field = model_class.model_fields.get(name)
        if field is None or field.alias is not None or field.validation_alias is not None:
            return None
        constraints = _value_constraints(field)
        annotation = Annotated[(field.annotation, *constraints)] if constraints else field.annotation
        if whole_rows:
            definitions[name] = (annotation, _default_of(field))
        else:
            # A field not sent keeps its stored value: the default is never used.
            definitions[name] = (annotation, Field(default=None))
    config = {key: model_class.model_config[key] for key in _FIELD_CHECK_SETTINGS if key in model_class.model_config}
    checks: type[BaseModel] = create_model(
        f"{model_class.__name__}{'RowChecks' if whole_rows else 'FieldChecks'}",
        __config__=ConfigDict(**config),  # type: ignore[typeddict-item]
        __module__=model_class.__module__,
        **definitions,
    )
    return checks


def _default_of(field: FieldInfo) -> Any:
    """The model field's default as a new field's: required, a value, or a factory."""
    if field.default_factory is not None:
        return Field(default_factory=field.default_factory)
    return Field() if field.is_required() else Field(default=field.default)
