"""A query's bounds, under the name applications have imported them by (their home is :mod:`quorvalen_core.rows`)."""

from ..rows.query_limits import QueryLimits

__all__ = ["QueryLimits"]
