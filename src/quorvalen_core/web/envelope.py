"""The body of every successful response, and the page of a query."""

from __future__ import annotations

from typing import Any, Generic, TypeVar

from pydantic import BaseModel, ConfigDict, Field, GetJsonSchemaHandler, create_model
from pydantic.json_schema import JsonSchemaValue

DataT = TypeVar("DataT")
ItemT = TypeVar("ItemT")


class Envelope(BaseModel, Generic[DataT]):
    """``{"code": 0, "message": ..., "data": ...}``: a successful operation's result."""

    # Every field is in every answer: documented as required.
    model_config = ConfigDict(json_schema_serialization_defaults_required=True)

    code: int = Field(default=0, description="0 for success.", json_schema_extra={"const": 0})
    message: str = Field(description="The operation's success message.")
    data: DataT


class Page(BaseModel, Generic[ItemT]):
    """One page of a query's rows, with the number of rows matching the query."""

    # Every field is in every answer: documented as required.
    model_config = ConfigDict(json_schema_serialization_defaults_required=True)

    items: list[ItemT]
    total: int | None = Field(description="Rows matching the filters, over all pages; null when asked with total=false.")
    offset: int = Field(description="Rows of the query before this page (for a cursor's page: counted along the cursors).")
    limit: int = Field(description="Largest number of rows a page holds.")
    has_more: bool = Field(description="Whether rows follow this page.")
    next_cursor: str | None = Field(
        default=None, description="Pass as cursor, with the same sort and filters, for the next page; null on the last page."
    )


def chosen_fields_schema(response_schema: type[Any], key: tuple[str, ...]) -> type[Any]:
    """The response schema as a query's item: the primary key always there, other fields as chosen.

    Only the documentation changes: every field keeps its type, and only the
    columns of ``key`` stay required, since ``fields`` may leave the others out.
    For a plain schema the item is a subclass, which validates and serialises
    exactly as the schema does, so it can carry the answers too (one model
    fewer per table to build).  A table model's subclass would share the
    model's SQLAlchemy instrumentation without a mapping of its own: its item
    is a copy of its fields, for the documentation only.
    """
    name = f"{response_schema.__name__}Fields"
    doc = (
        f"An item of a {response_schema.__name__} query: every field, or those named by fields "
        "(the primary key always)."
    )

    def only_key_required(schema: dict[str, Any]) -> None:
        schema["required"] = [name for name in schema.get("required", ()) if name in key]

    if getattr(response_schema, "__table__", None) is None:
        documented_by_schema = response_schema.__get_pydantic_json_schema__

        def document(cls: type[Any], core_schema: Any, handler: GetJsonSchemaHandler) -> JsonSchemaValue:
            json_schema = handler.resolve_ref_schema(documented_by_schema(core_schema, handler))
            only_key_required(json_schema)
            return json_schema

        namespace = {
            "__doc__": doc,
            "__module__": response_schema.__module__,
            "__get_pydantic_json_schema__": classmethod(document),
        }
        subclass: type[Any] = type(name, (response_schema,), namespace)
        return subclass
    fields_schema: type[Any] = create_model(  # type: ignore[call-overload]
        name,
        __config__=ConfigDict(from_attributes=True, json_schema_extra=only_key_required),
        __module__=response_schema.__module__,
        **{field_name: (field.annotation, field) for field_name, field in response_schema.model_fields.items()},
    )
    fields_schema.__doc__ = doc
    return fields_schema
