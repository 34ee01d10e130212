"""Bounds on what one query request may ask for.

The defaults are far beyond what a real client sends; they keep a crafted
request from costing the server or the database more than a page of rows.
Beyond a bound the request is refused with a 422 that names it.
"""

from __future__ import annotations

from typing import Any

from pydantic import BaseModel, ConfigDict, Field, model_validator

DEFAULT_PAGE_SIZE = 20


class QueryLimits(BaseModel):
    """Page sizes and the largest query a client may send (``RouterConfig(limits=...)``)."""

    model_config = ConfigDict(frozen=True, extra="forbid", strict=True)

    default_limit: int = Field(
        default=DEFAULT_PAGE_SIZE,
        ge=1,
        description="Rows on a page when the client does not say (at most max_limit; default 20).",
    )
    max_limit: int = Field(default=100, ge=1, description="Most rows on one page.")
    max_filters: int = Field(default=50, ge=0, description="Most filter parameters in one query.")
    max_sorts: int = Field(default=10, ge=0, description="Most sort keys in one query.")
    max_value_length: int = Field(
        default=1000, ge=1, description="Longest filter value, in characters (a like pattern included)."
    )
    max_in_values: int = Field(default=1000, ge=1, description="Most values in one in or not_in list.")
    max_or_conditions: int = Field(default=50, ge=0, description="Most conditions in the or group of one query.")
    max_fields: int = Field(default=100, ge=1, description="Most names in one fields parameter.")
    max_cursor_length: int = Field(default=4096, ge=64, description="Longest cursor, in characters.")
    max_total_values: int = Field(
        default=10_000,
        ge=1,
        le=30_000,
        description=(
            "Most values in all filters and or conditions of one query together: each is a bind "
            "parameter, of which SQLite takes 32,766 and PostgreSQL 65,535."
        ),
    )

    @model_validator(mode="before")
    @classmethod
    def _default_fits_maximum(cls, values: Any) -> Any:
        # A smaller max_limit alone brings the default page size down with it.
        if isinstance(values, dict) and "default_limit" not in values and isinstance(values.get("max_limit"), int):
            return {**values, "default_limit": max(1, min(DEFAULT_PAGE_SIZE, values["max_limit"]))}
        return values

    @model_validator(mode="after")
    def _default_within_maximum(self) -> QueryLimits:
        if self.default_limit > self.max_limit:
            raise ValueError(f"default_limit {self.default_limit} exceeds max_limit {self.max_limit}")
        return self
