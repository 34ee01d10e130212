"""The history endpoints of a table that keeps one: a query over its changes, and one row's.

They are the query endpoint of the table's history model
(:mod:`quorvalen_core.rows.history`): the same filters, sorts, cursors and
limits, and the history's row policy, which is the table's, decided on the
owner each entry recorded.  ``GET {prefix}/{id}/history`` narrows that
query to the entries of one key.
"""

from __future__ import annotations

from typing import Any

from ..rows.history import history_response_of, key_text
from ..web.operations import HISTORY, QUERY, ROW_HISTORY, Operation
from ..web.router import AuthRouter
from ..web.router_config import RouterConfig
from .endpoints import TableEndpoints

_OFF = RouterConfig(enabled=False)


class HistoryEndpoints(TableEndpoints):
    """The endpoints over the history of the table of ``of``, registered on that table's router."""

    def __init__(self, of: TableEndpoints) -> None:
        history = of.rows.history
        assert history is not None, "only a table that keeps a history has history endpoints"
        query = of.configs.get(QUERY)
        super().__init__(
            model_class=history.model,
            response_schema=history_response_of(history.model),
            create_router=_OFF,
            update_router=_OFF,
            read_router=_OFF,
            delete_router=_OFF,
            query_router=RouterConfig(limits=query.limits) if query is not None and query.limits is not None else None,
        )
        self.of = of
        self.keyed = of.table
        self._row_key = history.model.row_key

    def register_history(self, router: AuthRouter, operation: Operation, config: RouterConfig) -> None:
        """Put ``operation`` (HISTORY or ROW_HISTORY) on the table's router, with the table's settings."""
        if operation is ROW_HISTORY:
            row_key = self._row_key
            self._register(
                router, operation, config, lambda answers, config, router: self._query_endpoint(
                    answers, config, router, of_row=lambda key: row_key == key_text(key)
                )
            )
        else:
            self._register(router, operation, config, self._query_endpoint)

    def _item_path(self, operation: Operation) -> str:
        return self.of._item_path(operation) if operation in (HISTORY, ROW_HISTORY) else super()._item_path(operation)

    def _answer_type(
        self, operation: Operation, schema: type[Any], *, items_from_rows: bool = True
    ) -> tuple[Any, type[Any] | None]:
        # Both answer a page of entries, as the query does.
        return super()._answer_type(QUERY, schema, items_from_rows=items_from_rows)

    def _row_actions(self, operation: Operation, config: RouterConfig) -> tuple[str, ...]:
        return super()._row_actions(QUERY, config)
