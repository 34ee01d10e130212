"""The route classes of guarded routers.

:class:`AuthRoute` runs a route's guard before FastAPI reads or validates
anything of the request, parses a JSON body strictly and makes validation
errors safe to encode whatever the client sent (see :mod:`.strict_json`).
:class:`GeneratedRoute`, the class of the routes a controller generates,
is also built on first use.
"""

from __future__ import annotations

import inspect
import threading
from collections.abc import Callable, Coroutine
from enum import IntEnum
from typing import Any

from fastapi import HTTPException, Request, Response
from fastapi.encoders import jsonable_encoder
from fastapi.exceptions import RequestValidationError
from fastapi.responses import JSONResponse
from fastapi.routing import APIRoute
from starlette.routing import get_name
from starlette.types import Message, Receive

from .fastapi_internals import ROUTE_PARAMETERS, ROUTE_SETTINGS, check_form_limits, construct_route, served_route
from .context import context_of
from .errors import error_code
from .guard import find_guard
from .strict_json import StrictJSONRequest, encodable_validation_error


class AuthRoute(APIRoute):
    """A route of an :class:`~.router.AuthRouter`: guarded before anything of the request is read.

    Its errors are answered ``{"detail": ..., "code": ...}`` (see :mod:`.errors`).
    """

    def get_route_handler(self) -> Callable[[Request], Coroutine[Any, Any, Response]]:
        handler = super().get_route_handler()
        guard = find_guard(self.dependencies)
        has_body = served_route(self).body_field is not None

        async def answered_handler(request: Request) -> Response:
            try:
                if guard is not None:
                    await guard.check(request)
                if not has_body:
                    return await handler(request)
                return await handler(StrictJSONRequest(request.scope, _limited(request)))
            except RequestValidationError as exc:
                refused = encodable_validation_error(exc)
                return JSONResponse({"detail": jsonable_encoder(refused.errors()), "code": error_code(refused)}, 422)
            except HTTPException as exc:
                return JSONResponse(
                    {"detail": exc.detail, "code": error_code(exc)}, status_code=exc.status_code, headers=exc.headers
                )

        return answered_handler


def _limited(request: Request) -> Receive:
    """The request's body, refused with a 413 once it is larger than the application takes.

    A declared length beyond the limit is refused before any of the body is
    read; a body that grows beyond it, as soon as it does.
    """
    limit = context_of(request).max_body_bytes
    declared = request.headers.get("content-length", "")
    too_large = HTTPException(
        status_code=413, detail=f"The body is larger than {limit} bytes"
    )
    if declared.isdigit() and int(declared) > limit:
        raise too_large
    received = 0

    async def receive() -> Message:
        nonlocal received
        message = await request.receive()
        if message["type"] == "http.request":
            received += len(message.get("body", b""))
            if received > limit:
                raise too_large
        return message

    return receive


_build_lock = threading.RLock()


class GeneratedRoute(AuthRoute):
    """A route a controller generates, built on first use.

    FastAPI builds a route's parameters, body and response fields (a
    validator for every model) when the route is constructed, and again for
    every router the route is included in.  A route served through an
    including router, the usual case, never uses its own: they are built
    when first asked for.  Until then the route holds its settings as given.
    Only generated routes wait: their definitions are known to be sound, so
    no error of a route's definition is put off until its first use.
    """

    def __init__(self, path: str, endpoint: Callable[..., Any], **settings: Any) -> None:
        arguments = ROUTE_PARAMETERS.bind(self, path, endpoint, **settings)
        arguments.apply_defaults()
        given = arguments.arguments
        self.path = path
        self.endpoint = endpoint
        for name in ROUTE_SETTINGS:
            if name in given:
                setattr(self, name, given[name])
        status_code = given.get("status_code")
        self.status_code = int(status_code) if isinstance(status_code, IntEnum) else status_code
        self.tags = list(given.get("tags") or [])
        self.dependencies = list(given.get("dependencies") or [])
        self.responses = dict(given.get("responses") or {})
        self.methods = {method.upper() for method in given.get("methods") or ["GET"]}
        self.name = get_name(endpoint) if given.get("name") is None else given["name"]
        description = given.get("description") or inspect.cleandoc(endpoint.__doc__ or "")
        self.description = description.split("\f")[0].strip()
        if "form_limits" in given:
            self.form_limits = check_form_limits(given["form_limits"])
        if not (inspect.isgeneratorfunction(endpoint) or inspect.isasyncgenfunction(endpoint)):
            # Only a generator streams items, whose type FastAPI reads from its annotation.
            self.stream_item_type = None
        self._unbuilt: tuple[str, Callable[..., Any], dict[str, Any]] | None = (path, endpoint, settings)

    def __getattr__(self, name: str) -> Any:
        # Reached only for what the route has not set: the parts built on first use.
        if name.startswith("__") or "_unbuilt" not in self.__dict__:
            raise AttributeError(name)
        # Another thread waits for the route being built; the building thread
        # itself, asking for what is not set yet, gets the plain AttributeError.
        with _build_lock:
            unbuilt = self.__dict__.get("_unbuilt")
            if unbuilt is not None:
                self._unbuilt = None
                path, endpoint, settings = unbuilt
                try:
                    construct_route(self, path, endpoint, settings)
                except BaseException:
                    self._unbuilt = unbuilt
                    raise
                del self._unbuilt
        return object.__getattribute__(self, name)
