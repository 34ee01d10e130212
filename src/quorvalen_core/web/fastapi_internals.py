"""Every use of FastAPI's internals, in one place, each checked when this module is imported.

FastAPI offers no public way to do four things the guarded routes need:

1. solve a dependency of the application's own (its authentication) inside
   a request's dependency scope, before the route's own dependencies: the
   guard authenticates before FastAPI reads the request (:func:`solve_dependency`);
2. construct a route later than it is declared: FastAPI builds a route's
   fields when it is constructed and again in every including router, and
   generated routes are served through including routers (:func:`construct_route`,
   :data:`ROUTE_SETTINGS`, :func:`check_form_limits`);
3. know which copy of a route an including router serves, whose settings
   the handler must follow (:func:`served_route`).

Where an installed FastAPI lacks what a use needs, importing this module
fails with an ImportError naming it, rather than a request failing later.
"""

from __future__ import annotations

import inspect
from collections.abc import Callable
from contextlib import AsyncExitStack
from typing import Any

from fastapi import Request
from fastapi import routing as fastapi_routing
from fastapi.dependencies.models import Dependant
from fastapi.dependencies.utils import get_dependant, solve_dependencies
from fastapi.routing import APIRoute


def _require(condition: bool, what: str) -> None:
    if not condition:
        import fastapi

        raise ImportError(f"quorvalen_core needs {what}, which FastAPI {fastapi.__version__} lacks")


_SOLVE_PARAMETERS = set(inspect.signature(solve_dependencies).parameters)
_require(
    {"request", "dependant", "async_exit_stack", "dependency_overrides_provider"} <= _SOLVE_PARAMETERS,
    "fastapi.dependencies.utils.solve_dependencies(request=, dependant=, async_exit_stack=, dependency_overrides_provider=)",
)
# Newer FastAPI takes whether body fields are embedded; a dependency with no body has none.
_SOLVE_EXTRA: dict[str, Any] = {"embed_body_fields": False} if "embed_body_fields" in _SOLVE_PARAMETERS else {}

# The request's exit stack for dependencies with yield, under the key FastAPI keeps it.
_EXIT_STACK_KEYS = ("fastapi_inner_astack", "fastapi_astack")


def dependant_of(dependency: Callable[..., Any]) -> Dependant:
    """FastAPI's description of a dependency returning the caller's subject, made once per dependency."""

    # A default rather than Annotated: an annotation would be a string naming
    # a local that FastAPI cannot resolve.
    from fastapi.params import Depends

    async def caller(subject: str = Depends(dependency)) -> str:  # type: ignore[assignment]
        return subject

    return get_dependant(path="", call=caller)


async def solve_dependency(request: Request, dependant: Dependant) -> tuple[dict[str, Any], list[Any]]:
    """The values and errors of solving ``dependant`` for ``request``, as a route's dependency would be."""
    stack: AsyncExitStack | None = next(
        (request.scope[key] for key in _EXIT_STACK_KEYS if key in request.scope), None
    )
    if stack is None:
        # FastAPI before 0.115 opens the request's stack only around the
        # endpoint: a dependency with yield then ends with the authentication.
        async with AsyncExitStack() as own_stack:
            return await _solve(request, dependant, own_stack)
    return await _solve(request, dependant, stack)


async def _solve(request: Request, dependant: Dependant, stack: AsyncExitStack) -> tuple[dict[str, Any], list[Any]]:
    solved = await solve_dependencies(
        request=request,
        dependant=dependant,
        dependency_overrides_provider=getattr(request, "app", None),
        async_exit_stack=stack,
        **_SOLVE_EXTRA,
    )
    # Older FastAPI returns a tuple (values, errors, ...), newer a SolvedDependency.
    if isinstance(solved, tuple):
        return solved[0], list(solved[1])
    return solved.values, list(solved.errors)


# What APIRoute.__init__ takes, to bind a route's settings as its constructor would.
ROUTE_PARAMETERS = inspect.signature(APIRoute.__init__)

# Settings a route keeps as given, which an including router reads to build
# its own copy of the route: only those this FastAPI's routes take.
ROUTE_SETTINGS = tuple(
    name
    for name in (
        "response_model",
        "summary",
        "response_description",
        "deprecated",
        "operation_id",
        "response_model_include",
        "response_model_exclude",
        "response_model_by_alias",
        "response_model_exclude_unset",
        "response_model_exclude_defaults",
        "response_model_exclude_none",
        "include_in_schema",
        "response_class",
        "dependency_overrides_provider",
        "callbacks",
        "openapi_extra",
        "generate_unique_id_function",
        "strict_content_type",
        "max_body_size",
    )
    if name in ROUTE_PARAMETERS.parameters
)


def construct_route(route: APIRoute, path: str, endpoint: Callable[..., Any], settings: dict[str, Any]) -> None:
    """Run APIRoute's constructor on ``route`` now, which a generated route put off."""
    APIRoute.__init__(route, path, endpoint, **settings)


_validate_form_limits: Callable[[Any], Any] | None = getattr(fastapi_routing, "_validate_form_limits", None)
_require(
    "form_limits" not in ROUTE_PARAMETERS.parameters or _validate_form_limits is not None,
    "fastapi.routing._validate_form_limits (its routes take form_limits)",
)


def check_form_limits(form_limits: Any) -> Any:
    """A route's form limits, checked as the route's own constructor checks them."""
    assert _validate_form_limits is not None
    return _validate_form_limits(form_limits)


# Set while an including router builds its copy of a route (newer FastAPI only).
_effective_route = getattr(fastapi_routing, "_effective_route_context_var", None)


def served_route(route: APIRoute) -> APIRoute:
    """The route whose settings ``route``'s handler follows: an including router's copy of it, else itself."""
    context = _effective_route.get() if _effective_route is not None else None
    return context if context is not None and getattr(context, "original_route", None) is route else route
