"""The query-string parameters of a table's query endpoint and its ``include`` parameter, as FastAPI reads them.

The parameters are documented in OpenAPI with their bounds; what they mean
is the data layer's (:mod:`quorvalen_core.rows.query`).
"""

from __future__ import annotations

import re
from collections.abc import Sequence
from typing import Any

from fastapi import Query

from ..rows.filter_operators import describe_operators
from ..rows.includes import Includes
from ..rows.query import QueryPlanner


def query_parameters(planner: QueryPlanner) -> dict[str, tuple[Any, Any]]:
    """Annotation and default of each query-string parameter of a table's query endpoint."""
    limits = planner.limits
    columns = ", ".join(planner.columns)
    example_column = next(iter(planner.columns))
    filter_rules = (
        f"Columns: {columns}. Operators ({describe_operators()}); "
        "like, ilike, contains, startswith and endswith need a text column. "
        f"Values of at most {limits.max_value_length} characters, "
        f"lists of at most {limits.max_in_values} values."
    )
    return {
        "offset": (
            int,
            Query(0, ge=0, le=2**63 - 1, description="Rows to skip before the page (not with cursor)."),
        ),
        "limit": (
            int,
            Query(
                limits.default_limit,
                ge=1,
                le=limits.max_limit,
                description=f"Rows on the page, at most {limits.max_limit}.",
            ),
        ),
        "sort": (
            list[planner.sort_keys] | None,  # type: ignore[name-defined]
            Query(
                None,
                description=(
                    "Sort key, repeatable: a column for ascending order, "
                    "-column for descending order; earlier keys sort first, the primary key "
                    "breaks ties; NULL sorts last ascending, first descending; "
                    f"at most {limits.max_sorts} keys."
                ),
                json_schema_extra={"maxItems": limits.max_sorts},
            ),
        ),
        "filters": (
            list[str] | None,
            Query(
                None,
                alias="filter",
                description=(
                    "Filter, repeatable, all must hold: column:operator:value "
                    f"(column:operator for is_null and not_null). {filter_rules} "
                    f"At most {limits.max_filters} filters."
                ),
                examples=[[f"{example_column}:eq:1"]],
                json_schema_extra={"maxItems": limits.max_filters},
            ),
        ),
        "any_of": (
            list[str] | None,
            Query(
                None,
                alias="or",
                description=(
                    "Condition of the or group, repeatable, in the form of filter: a row matches "
                    "when any of them holds and every filter does. "
                    f"At most {limits.max_or_conditions} conditions."
                ),
                examples=[[f"{example_column}:eq:1", f"{example_column}:gt:100"]],
                json_schema_extra={"maxItems": limits.max_or_conditions},
            ),
        ),
        "total": (
            bool,
            Query(True, description="false: skip counting the matching rows (total is null); faster on big tables."),
        ),
        "cursor": (
            str | None,
            Query(
                None,
                description=(
                    "next_cursor of a page of this query (same sort and filters): the page after it, "
                    "stable under inserts. Not with offset; empty: no cursor. "
                    f"At most {limits.max_cursor_length} characters."
                ),
                json_schema_extra={"maxLength": limits.max_cursor_length},
            ),
        ),
        "fields": (
            str | None,
            Query(
                None,
                description=(
                    "Comma-separated fields each item holds (the primary key always); "
                    f"default: all. Fields: {', '.join(planner.response_fields)}. "
                    f"At most {limits.max_fields} names."
                ),
                examples=[",".join(planner.response_fields[:2])],
                # Names of the response schema, comma-separated.
                json_schema_extra={"pattern": _names_pattern(planner.response_fields)},
            ),
        ),
    }


def _names_pattern(names: Sequence[str]) -> str:
    """A pattern of ``names`` comma-separated, each maybe with blanks around it."""
    name = "(" + "|".join(re.escape(one) for one in names) + ")"
    return f"^ *{name} *(, *{name} *)*$"


def include_parameter(includes: Includes) -> tuple[Any, Any]:
    """The ``include`` parameter of read and query: declared relations, comma-separated or repeated."""
    names = list(includes.by_name)
    return (
        list[str] | None,
        Query(
            None,
            description=(
                "Related rows to embed, comma-separated or repeated (as fields): "
                + "; ".join(
                    f"{name} ({'one-to-many, at most ' + str(inclusion.max_items) if inclusion.many else 'many-to-one'})"
                    for name, inclusion in includes.by_name.items()
                )
                + ". A related row the caller may not read is not embedded."
            ),
            examples=[[",".join(names)]],
            json_schema_extra={"items": {"type": "string", "pattern": _names_pattern(names)}},
        ),
    )
