"""A batch's body: an array of items, validated a slice at a time.

FastAPI would validate a body of 10,000 rows into 10,000 model instances
that live as long as the request: enough objects surviving the garbage
collector's young passes to set off full passes over every object of the
process, which cost more than the rest of the request.  A batch endpoint
declares its body with :meth:`ArrayBody.annotation`, which documents the
same array in OpenAPI but leaves the parsed JSON as it is, and reads it with
:meth:`ArrayBody.read`: a slice of items is validated and turned into what
the endpoint keeps (plain values) before the next one is, so the instances
die young.  The errors are those FastAPI would give, located the same way.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Annotated, Any, Generic, TypeVar

from fastapi import Body
from fastapi.exceptions import RequestValidationError
from pydantic import Field, SkipValidation, TypeAdapter, ValidationError

from ..rows.table_rows import ROWS_PER_SLICE

KeptT = TypeVar("KeptT")


class ArrayBody(Generic[KeptT]):
    """An array of ``item_type`` (1 to ``max_items`` items), of which an endpoint keeps ``keep(items)`` per slice.

    Without ``keep``, each item's values (``dict`` of its fields) are kept.
    """

    def __init__(self, item_type: Any, max_items: int, keep: Callable[[list[Any]], list[KeptT]] | None = None) -> None:
        self.item_type = item_type
        self.max_items = max_items
        self.keep = keep
        self.array: Any = Annotated[list[item_type], Field(min_length=1, max_length=max_items)]
        # Built on the first request, as most tables never get a batch.
        self._adapters: tuple[TypeAdapter[Any], TypeAdapter[list[Any]]] | None = None

    def annotation(self) -> Any:
        """The body parameter's annotation: the array as OpenAPI shows it, read by :meth:`read`."""
        unvalidated: Any = SkipValidation
        return Annotated[unvalidated[self.array], Body()]

    def read(self, body: Any) -> list[KeptT]:
        """What the endpoint keeps of every item, in order; a RequestValidationError naming every refused item."""
        whole, items = self._built()
        if not isinstance(body, list) or not 1 <= len(body) <= self.max_items:
            _validated(whole, body, 0)
        kept: list[KeptT] = []
        errors: list[dict[str, Any]] = []
        for start in range(0, len(body), ROWS_PER_SLICE):
            try:
                part = _validated(items, body[start : start + ROWS_PER_SLICE], start)
            except RequestValidationError as error:
                errors += error.errors()
                continue
            if not errors:
                kept += self.keep(part) if self.keep is not None else items.dump_python(part)
        if errors:
            raise RequestValidationError(errors, body=body)
        return kept

    def _built(self) -> tuple[TypeAdapter[Any], TypeAdapter[list[Any]]]:
        if self._adapters is None:
            self._adapters = (TypeAdapter(self.array), TypeAdapter(list[self.item_type]))  # type: ignore[name-defined]
        return self._adapters


def _validated(adapter: TypeAdapter[Any], value: Any, offset: int) -> Any:
    """``value`` validated as FastAPI validates a body, its errors located in the body, items counted from ``offset``."""
    try:
        return adapter.validate_python(value, from_attributes=True)
    except ValidationError as error:
        errors = [
            {**item, "loc": ("body", *_shifted(item["loc"], offset))} for item in error.errors(include_url=False)
        ]
        raise RequestValidationError(errors, body=value) from None


def _shifted(location: tuple[int | str, ...], offset: int) -> tuple[int | str, ...]:
    if offset and location and isinstance(location[0], int):
        return (location[0] + offset, *location[1:])
    return location
