"""Error answers of guarded routers: FastAPI's ``detail`` and, beside it, a code programs can tell apart.

Every error a route of an :class:`~.router.AuthRouter` answers is
``{"detail": ..., "code": ...}``: ``detail`` as FastAPI gives it (a text, or
for a 422 the list of ``{loc, msg, type}``), ``code`` one of
:data:`ERROR_CODES`, stable across versions.  Each status is documented in
OpenAPI with a schema of its own, whose ``code`` is a constant, so that a
generated client tells the answers apart by type.
"""

from __future__ import annotations

import copy
import functools
from typing import Any, ClassVar

from fastapi import HTTPException
from fastapi.exceptions import RequestValidationError
from pydantic import BaseModel, Field, GetJsonSchemaHandler
from pydantic.json_schema import JsonSchemaValue
from pydantic_core import CoreSchema

# The code of each status's answers; 422 has a second one for a request
# beyond a bound of the server's (a limit it names).
ERROR_CODES: dict[int, str] = {
    401: "not_authenticated",
    403: "permission_denied",
    404: "not_found",
    405: "method_not_allowed",
    409: "conflict",
    412: "precondition_failed",
    413: "payload_too_large",
    422: "invalid_request",
    428: "precondition_required",
    500: "server_error",
    503: "unavailable",
}
LIMIT_EXCEEDED = "limit_exceeded"


class CodedValidationError(RequestValidationError):
    """A 422 with its code: ``invalid_request``, or ``limit_exceeded`` for a request beyond a named limit."""

    def __init__(self, errors: Any, code: str = ERROR_CODES[422]) -> None:
        super().__init__(errors)
        self.code = code


def error_code(error: HTTPException | RequestValidationError) -> str:
    """The code an error is answered with."""
    if isinstance(error, RequestValidationError):
        return getattr(error, "code", ERROR_CODES[422])
    return ERROR_CODES.get(error.status_code, "server_error" if error.status_code >= 500 else "bad_request")


class _CodedAnswer(BaseModel):
    """An error answer of one status with a constant code, for the document only.

    FastAPI builds a validator for every field of every model a document
    names, each time it generates the document.  These answers are written
    by the route classes and never validated, so they declare no fields and
    give their schema whole.
    """

    answer_schema: ClassVar[dict[str, Any]]

    @classmethod
    def __get_pydantic_json_schema__(cls, core_schema: CoreSchema, handler: GetJsonSchemaHandler) -> JsonSchemaValue:
        return copy.deepcopy(cls.answer_schema)


def _answer_model(status: int, name: str, doc: str) -> type[BaseModel]:
    code = ERROR_CODES[status]
    detail = {"title": "Detail", "type": "string", "description": "What went wrong, for a person."}
    constant = {"title": "Code", "type": "string", "const": code, "description": f"Always {code!r}: what went wrong, for a program."}
    schema = {
        "title": name,
        "description": doc,
        "type": "object",
        "properties": {"detail": detail, "code": constant},
        "required": ["detail", "code"],
    }
    return type(name, (_CodedAnswer,), {"__module__": __name__, "__doc__": doc, "answer_schema": schema})


class ValidationErrorItem(BaseModel):
    """One reason a request does not validate: where, why, and what kind."""

    loc: list[str | int] = Field(description="Where: the part of the request (body, query, path) and the field.")
    msg: str = Field(description="Why, for a person.")
    type: str = Field(description="The kind of error, for a program (pydantic's error types).")


@functools.cache
def _validation_error_item_schema() -> dict[str, Any]:
    return ValidationErrorItem.model_json_schema()


class InvalidRequestAnswer(BaseModel):
    """The request does not validate (422): each reason with where it is."""

    # Declared without fields, as the other answers; its items,
    # ValidationErrorItem, are written out in it.

    @classmethod
    def __get_pydantic_json_schema__(cls, core_schema: CoreSchema, handler: GetJsonSchemaHandler) -> JsonSchemaValue:
        item = copy.deepcopy(_validation_error_item_schema())
        codes = ["invalid_request", "limit_exceeded"]
        code = {
            "type": "string",
            "enum": codes,
            "title": "Code",
            "description": "'limit_exceeded' for a request beyond a bound the message names, else 'invalid_request'.",
        }
        return {
            "title": cls.__name__,
            "description": cls.__doc__,
            "type": "object",
            "properties": {"detail": {"title": "Detail", "type": "array", "items": item}, "code": code},
            "required": ["detail", "code"],
        }


NOT_AUTHENTICATED_ANSWER = _answer_model(401, "NotAuthenticatedAnswer", "No valid credentials (401).")
PERMISSION_DENIED_ANSWER = _answer_model(403, "PermissionDeniedAnswer", "The caller may not do this (403).")
NOT_FOUND_ANSWER = _answer_model(404, "NotFoundAnswer", "No such row, or none the caller may see (404).")
CONFLICT_ANSWER = _answer_model(409, "ConflictAnswer", "A constraint refused the change (409).")
PRECONDITION_FAILED_ANSWER = _answer_model(
    412, "PreconditionFailedAnswer", "The row changed since the ETag in If-Match; nothing was written (412)."
)
PRECONDITION_REQUIRED_ANSWER = _answer_model(
    428, "PreconditionRequiredAnswer", "The table's rows are changed only with If-Match (428)."
)
PAYLOAD_TOO_LARGE_ANSWER = _answer_model(413, "PayloadTooLargeAnswer", "The body is larger than the route takes (413).")
UNAVAILABLE_ANSWER = _answer_model(503, "UnavailableAnswer", "The database or the policies cannot be used now (503).")

ERROR_ANSWERS: dict[int, type[BaseModel]] = {
    401: NOT_AUTHENTICATED_ANSWER,
    403: PERMISSION_DENIED_ANSWER,
    404: NOT_FOUND_ANSWER,
    409: CONFLICT_ANSWER,
    412: PRECONDITION_FAILED_ANSWER,
    413: PAYLOAD_TOO_LARGE_ANSWER,
    422: InvalidRequestAnswer,
    428: PRECONDITION_REQUIRED_ANSWER,
    503: UNAVAILABLE_ANSWER,
}


def error_response(status: int, description: str) -> dict[str, Any]:
    """The OpenAPI answer ``status`` of a route: its description and its own schema."""
    return {"model": ERROR_ANSWERS[status], "description": description}
