"""Where the native controller factory finds :class:`RouterConfig` (its home is :mod:`quorvalen_core.web.router_config`)."""

from ..web.router_config import RouterConfig

__all__ = ["RouterConfig"]
