"""Route settings of one generated operation."""

from __future__ import annotations

from typing import Any

from pydantic import BaseModel, ConfigDict, Field, field_validator

from ..rows.query_limits import QueryLimits


class RouterConfig(BaseModel):
    """Settings of one operation (create, update, read, delete or query).

    Every field is optional; ``None`` means "not set", so that the factory can
    fill it from the operation's defaults.  An operation is switched off only
    when ``enabled`` is ``False``.

    Values are checked strictly, on construction and on every assignment: a
    wrong type raises ``pydantic.ValidationError`` naming the field instead of
    being coerced (``enabled=0`` must not quietly become ``False``).
    """

    model_config = ConfigDict(validate_assignment=True, extra="forbid", strict=True)

    enabled: bool | None = Field(default=None, description="False switches the operation off.")
    auth: bool | None = Field(default=None, description="Whether callers must be authenticated and authorised.")
    auth_role: str | None = Field(default=None, description="Role the caller must hold, instead of a permission.")
    auth_obj: str | None = Field(default=None, description="Permission object; None: the router's.")
    auth_act: str | None = Field(default=None, description="Permission action; None: the router's.")
    message: str | None = Field(default=None, description="Message returned with a successful result.")
    summary: str | None = Field(default=None, description="Summary of the operation in the API documentation.")
    description: str | None = Field(default=None, description="Longer text for the API documentation.")
    deprecated: bool | None = Field(default=None, description="Marks the operation deprecated in the documentation.")
    dependencies: list[Any] | None = Field(
        default=None,
        description="Extra FastAPI dependencies (``Depends(...)``) run before the endpoint, after the permission check.",
    )

    batch: bool | None = Field(
        default=None,
        description="False switches off the operation's batch form (create: POST {prefix}/batch; update: "
        "PATCH {prefix}; delete: DELETE {prefix}); None: on while the operation is.",
    )
    upsert: bool | None = Field(
        default=None,
        description="On update: False switches off PUT {prefix}/{id} (insert or write over one row); "
        "None: on while create and update are.",
    )
    max_rows: int | None = Field(
        default=None, ge=1, description="Most rows one request of the batch form writes; None: 1000."
    )
    limits: QueryLimits | None = Field(
        default=None,
        description="Page sizes and bounds of the query operation's parameters; None: the defaults.",
    )
    query_columns: list[str] | None = Field(
        default=None,
        description="Columns the query operation may filter and sort on (the primary key always); "
        "None: every column of the response schema. A column the response schema hides is refused.",
    )

    @field_validator("dependencies")
    @classmethod
    def _check_dependencies(cls, value: list[Any] | None) -> list[Any] | None:
        for item in value or ():
            if not callable(getattr(item, "dependency", None)):
                raise ValueError(f"dependencies hold FastAPI Depends(...) objects, got {item!r}")
        return value
