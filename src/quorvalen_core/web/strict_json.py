"""What a client is told when its request does not validate.

Three rules hold for every 422 of a published table:

- a request body is JSON as RFC 8259 defines it: ``NaN``, ``Infinity`` and
  numbers beyond the range of a double are refused as invalid JSON
  (:class:`StrictJSONRequest`);
- an error names what the client sent and echoes at most the client's own
  value: errors found on a stored row (a partial update validates the row
  it produces) name only the fields the request carries
  (:func:`client_errors`);
- the error body is valid JSON whatever the client sent: a lone surrogate or
  a non-finite number in an echoed value is written out as text
  (:func:`encodable_validation_error`).
"""

from __future__ import annotations

import json
import math
from collections.abc import Mapping
from typing import Any

from fastapi import Request
from fastapi.exceptions import RequestValidationError

from .errors import ERROR_CODES, CodedValidationError


def _refuse_constant(name: str) -> Any:
    raise json.JSONDecodeError(f"{name} is not a JSON number", name, 0)


def _finite_float(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise json.JSONDecodeError(f"number {text[:40]} is out of range", text, 0)
    return value


def strict_json_loads(body: bytes | str) -> Any:
    """``json.loads`` refusing what is not JSON (``NaN``, ``Infinity``) or cannot be held."""
    try:
        return json.loads(body, parse_constant=_refuse_constant, parse_float=_finite_float)
    except json.JSONDecodeError:
        raise
    except ValueError as exc:  # an integer with more digits than Python converts
        raise json.JSONDecodeError(str(exc), "", 0) from None


class StrictJSONRequest(Request):
    """A request whose JSON body is parsed by :func:`strict_json_loads`."""

    async def json(self) -> Any:
        if not hasattr(self, "_json"):
            self._json = strict_json_loads(await self.body())
        return self._json


def encodable(value: Any) -> Any:
    """``value`` with whatever JSON cannot carry written out as text."""
    if isinstance(value, str):
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            return value.encode("utf-8", "backslashreplace").decode("utf-8")
        return value
    if isinstance(value, float) and not math.isfinite(value):
        return repr(value)
    if isinstance(value, Mapping):
        return {encodable(key): encodable(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [encodable(item) for item in value]
    return value


def encodable_validation_error(error: RequestValidationError) -> RequestValidationError:
    """The same errors, with every echoed input and context value encodable as JSON."""
    items = []
    for item in error.errors():
        item = dict(item)
        if "input" in item:
            item["input"] = encodable(item["input"])
        if isinstance(item.get("ctx"), Mapping):
            item["ctx"] = {key: encodable(value) if not isinstance(value, BaseException) else str(value)
                           for key, value in item["ctx"].items()}
        items.append(item)
    return CodedValidationError(items, getattr(error, "code", ERROR_CODES[422]))
