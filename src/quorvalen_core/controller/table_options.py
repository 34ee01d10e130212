"""A table's row options, under the name applications have imported them by (their home is :mod:`quorvalen_core.rows`)."""

from ..rows.table_options import Includable, TableOptions, live_unique_index

__all__ = ["Includable", "TableOptions", "live_unique_index"]
