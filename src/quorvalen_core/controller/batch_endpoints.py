"""The batch forms of create, update and delete: many rows in one request, all or nothing.

=============  ==========  ================  ==================================
operation      method      path              success
=============  ==========  ================  ==================================
create_many    ``POST``    prefix/batch      201, the new rows, in order
update_many    ``PATCH``   prefix?filter=..  200, ``{"count": n}``
delete_many    ``DELETE``  prefix?filter=..  200, ``{"count": n}``
=============  ==========  ================  ==================================

Each is guarded by an action of its own (``create_many``, ``update_many``,
``delete_many``; ``<action>:all`` widens an update or delete to every row as
for the single-row forms) and writes at most the settings' ``max_rows``.
The update and delete name their rows with the query's ``filter`` and ``or``
parameters, at least one of them.
"""

from __future__ import annotations

import enum
import inspect
from collections.abc import Callable
from contextlib import AbstractContextManager
from typing import TYPE_CHECKING, Annotated, Any

from fastapi import Body, Query, Request, Response
from pydantic import BaseModel, Field
from sqlmodel import Session

from ..access.row_access import RowAccess
from ..rows.batch import DEFAULT_MAX_ROWS, BatchWrites
from ..rows.query import QueryRequest
from ..rows.table_rows import TableRows
from ..web.router import AuthRouter
from ..web.router_config import RouterConfig
from .query_parameters import query_parameters

if TYPE_CHECKING:
    from .endpoints import _Answers, _Responder


class BatchCount(BaseModel):
    """What a batch update or delete did."""

    count: int = Field(description="Rows written.")


class BatchEndpoints:
    """The batch endpoints' builders; :class:`~.endpoints.TableEndpoints` registers them as its others."""

    rows: TableRows
    model_class: type[Any]
    create_schema: type[Any]
    update_schema: type[Any]
    _serving: Callable[[Session], AbstractContextManager[None]]
    _caller: Callable[[RouterConfig, AuthRouter], Callable[[Request], RowAccess]]
    _finish: Callable[..., Callable[..., Any]]

    def _filter_parameters(self) -> dict[str, tuple[Any, Any]]:
        parameters = query_parameters(self.rows.planner)
        return {name: parameters[name] for name in ("filters", "any_of")}

    def _create_many_endpoint(self, answers: _Answers, config: RouterConfig, router: AuthRouter) -> Callable[..., Any]:
        batch, serving, caller, respond = BatchWrites(self.rows), self._serving, self._caller(config, router), answers.plain
        max_rows = config.max_rows or DEFAULT_MAX_ROWS

        targets = batch.conflict_targets()

        def create_many(*, body: list[Any], request: Request, session: Session, on_conflict: Any = None) -> Response:
            access = caller(request)
            target = targets[on_conflict.value] if on_conflict is not None else None
            with serving(session):
                created = batch.insert_many(
                    session, [item.model_dump() for item in body], access, max_rows=max_rows, on_conflict=target
                )
                envelope = _commit_rows(session, respond, created)
            return respond.send(envelope)

        items: Any = list[self.create_schema]  # type: ignore[name-defined]
        parameters: dict[str, tuple[Any, Any]] = {}
        if targets:
            choices: Any = enum.Enum(  # type: ignore[misc]
                f"{self.model_class.__name__}ConflictTarget", {name: name for name in targets}, type=str
            )
            parameters["on_conflict"] = (
                choices | None,
                Query(
                    None,
                    description="Columns of the primary key or of a unique constraint: a row whose values there are "
                    "taken writes over the row that has them (as PUT does), where the caller may change it; "
                    "a 409 naming the row otherwise.",
                ),
            )
        return self._finish(
            create_many,
            f"Create many {self.model_class.__name__} rows in one transaction: all, or none when one is refused "
            f"(the error names its index). At most {max_rows} rows.",
            router,
            body=(Annotated[items, Body(min_length=1, max_length=max_rows)], inspect.Parameter.empty),
            **parameters,
        )

    def _update_many_endpoint(self, answers: _Answers, config: RouterConfig, router: AuthRouter) -> Callable[..., Any]:
        batch, serving, caller, respond = BatchWrites(self.rows), self._serving, self._caller(config, router), answers.plain
        max_rows = config.max_rows or DEFAULT_MAX_ROWS

        def update_many(
            *, body: Any, filters: list[str] | None, any_of: list[str] | None, request: Request, session: Session
        ) -> Response:
            access = caller(request)
            query = QueryRequest(filters=filters, any_of=any_of)
            with serving(session):
                count = batch.update_where(session, query, body.model_dump(exclude_unset=True), access, max_rows=max_rows)
                envelope = _commit_count(session, respond, count)
            return respond.send(envelope)

        return self._finish(
            update_many,
            f"Update every {self.model_class.__name__} row the filters match (and the caller may change) "
            f"with the same values, in one transaction. At most {max_rows} rows: beyond, nothing is written.",
            router,
            body=(Annotated[self.update_schema, Body()], inspect.Parameter.empty),
            **self._filter_parameters(),
        )

    def _delete_many_endpoint(self, answers: _Answers, config: RouterConfig, router: AuthRouter) -> Callable[..., Any]:
        batch, serving, caller, respond = BatchWrites(self.rows), self._serving, self._caller(config, router), answers.plain
        max_rows = config.max_rows or DEFAULT_MAX_ROWS

        def delete_many(*, filters: list[str] | None, any_of: list[str] | None, request: Request, session: Session) -> Response:
            access = caller(request)
            query = QueryRequest(filters=filters, any_of=any_of)
            with serving(session):
                count = batch.delete_where(session, query, access, max_rows=max_rows)
                envelope = _commit_count(session, respond, count)
            return respond.send(envelope)

        return self._finish(
            delete_many,
            f"Delete every {self.model_class.__name__} row the filters match (and the caller may delete), "
            f"in one transaction"
            + (" (the rows are marked deleted and can be restored)" if self.rows.soft_deletes else "")
            + f". At most {max_rows} rows: beyond, nothing is deleted.",
            router,
            **self._filter_parameters(),
        )


def _commit_rows(session: Session, respond: _Responder, rows: list[Any]) -> Any:
    """Commit and return the rows' answer, checked against the response schema before the commit."""
    envelope = respond.envelope_of(rows)
    session.commit()
    return envelope


def _commit_count(session: Session, respond: _Responder, count: int) -> Any:
    session.commit()
    return respond.envelope_of(BatchCount(count=count))
