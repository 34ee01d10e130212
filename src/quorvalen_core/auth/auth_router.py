"""Where the native controller factory finds :class:`AuthRouter` (its home is :mod:`quorvalen_core.web.router`)."""

from ..web.router import AuthRouter, RoutePermission, guarded_route_responses

__all__ = ["AuthRouter", "RoutePermission", "guarded_route_responses"]
