"""The batch forms of create, update and delete: many rows in one request, all or nothing.

=============  ==========  ================  ==================================
operation      method      path              success
=============  ==========  ================  ==================================
create_many    ``POST``    prefix/batch      201, the new rows, in order
update_many    ``PATCH``   prefix?filter=..  200, ``{"count": n}``
update_many    ``PATCH``   prefix/batch      200, the rows, in order
delete_many    ``DELETE``  prefix?filter=..  200, ``{"count": n}``
delete_many    ``DELETE``  prefix/batch      200, ``{"count": n}``
=============  ==========  ================  ==================================

Each is guarded by an action of its own (``create_many``, ``update_many``,
``delete_many``; ``<action>:all`` widens an update or delete to every row as
for the single-row forms) and writes at most the settings' ``max_rows``.
The update and delete name their rows with the query's ``filter`` and ``or``
parameters, at least one of them, or by key: an array of rows, each its key
with its own changes (update), or an array of keys (delete).
"""

from __future__ import annotations

import enum
import inspect
from collections.abc import Callable
from contextlib import AbstractContextManager
from typing import TYPE_CHECKING, Annotated, Any

from fastapi import Body, Query, Request, Response
from pydantic import BaseModel, Field, TypeAdapter, create_model
from sqlmodel import Session

from ..access.row_access import RowAccess
from ..rows.batch import DEFAULT_MAX_ROWS, BatchWrites
from ..rows.query import QueryRequest
from ..rows.table_rows import TableRows
from ..rows.table_schema import JSON_INT_MAX, JSON_INT_MIN, TableColumn, TableInfo
from ..web.router import AuthRouter
from ..web.router_config import RouterConfig
from .batch_body import ArrayBody
from .query_parameters import query_parameters

if TYPE_CHECKING:
    from .endpoints import _Answers, _Responder


class BatchCount(BaseModel):
    """What a batch update or delete did."""

    count: int = Field(description="Rows written.")


class BatchEndpoints:
    """The batch endpoints' builders; :class:`~.endpoints.TableEndpoints` registers them as its others."""

    rows: TableRows
    table: TableInfo
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
        body_of: ArrayBody[dict[str, Any]] = ArrayBody(self.create_schema, max_rows)

        def create_many(*, body: Any, request: Request, session: Session, on_conflict: Any = None) -> Response:
            values = body_of.read(body)
            access = caller(request)
            target = targets[on_conflict.value] if on_conflict is not None else None
            with serving(session):
                created = batch.insert_many(session, values, access, max_rows=max_rows, on_conflict=target)
                return _commit_rows(session, respond, created)

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
            body=(body_of.annotation(), inspect.Parameter.empty),
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


    def _update_by_keys_endpoint(self, answers: _Answers, config: RouterConfig, router: AuthRouter) -> Callable[..., Any]:
        batch, serving, caller, respond = BatchWrites(self.rows), self._serving, self._caller(config, router), answers.plain
        max_rows = config.max_rows or DEFAULT_MAX_ROWS
        names = self.table.key_names
        composite = self.table.composite_key
        key_fields: dict[str, Any] = {column.name: _key_field(column) for column in self.table.key}
        keyed: Any = create_model(
            f"{self.model_class.__name__}KeyedUpdate",
            __base__=self.update_schema,
            __doc__="A row's key and the changes written to it.",
            **key_fields,
        )

        def keys_and_changes(body: list[Any]) -> list[tuple[Any, dict[str, Any]]]:
            items = []
            for item in body:
                changes = item.model_dump(exclude_unset=True)
                key = tuple(changes.pop(name) for name in names)
                items.append((key if composite else key[0], changes))
            return items

        body_of = ArrayBody(keyed, max_rows, keys_and_changes)

        def update_many_by_key(*, body: Any, request: Request, session: Session) -> Response:
            items = body_of.read(body)
            access = caller(request)
            with serving(session):
                updated = batch.update_keyed(session, items, access, max_rows=max_rows)
                return _commit_rows(session, respond, updated)

        return self._finish(
            update_many_by_key,
            f"Update many {self.model_class.__name__} rows, each named by its key with its own changes, in one "
            f"transaction: all, or none when one is refused (the error names its index). At most {max_rows} rows.",
            router,
            body=(body_of.annotation(), inspect.Parameter.empty),
        )

    def _delete_by_keys_endpoint(self, answers: _Answers, config: RouterConfig, router: AuthRouter) -> Callable[..., Any]:
        batch, serving, caller, respond = BatchWrites(self.rows), self._serving, self._caller(config, router), answers.plain
        max_rows = config.max_rows or DEFAULT_MAX_ROWS
        names = self.table.key_names
        key: Any
        if self.table.composite_key:
            key_fields: dict[str, Any] = {column.name: _key_field(column) for column in self.table.key}
            key = create_model(f"{self.model_class.__name__}Key", __doc__="A row's key.", **key_fields)
        else:
            annotation, field = _key_field(self.table.key[0])
            key = Annotated[annotation, field]

        def keys_of(body: list[Any]) -> list[Any]:
            return [tuple(getattr(item, name) for name in names) for item in body] if len(names) > 1 else body

        body_of = ArrayBody(key, max_rows, keys_of)

        def delete_many_by_key(*, body: Any, request: Request, session: Session) -> Response:
            keys = body_of.read(body)
            access = caller(request)
            with serving(session):
                count = batch.delete_keyed(session, keys, access, max_rows=max_rows)
                envelope = _commit_count(session, respond, count)
            return respond.send(envelope)

        return self._finish(
            delete_many_by_key,
            f"Delete the {self.model_class.__name__} rows of the keys sent, in one transaction"
            + (" (the rows are marked deleted and can be restored)" if self.rows.soft_deletes else "")
            + f": all, or none when one is refused (the error names its index). At most {max_rows} keys.",
            router,
            body=(body_of.annotation(), inspect.Parameter.empty),
        )


def _key_field(column: TableColumn) -> tuple[Any, Any]:
    """A key column as a field of a request body: an integer within what both the column and JSON hold exactly."""
    if column.annotation is int:
        lowest, highest = column.integer_range
        return int, Field(
            ge=max(lowest, JSON_INT_MIN), le=min(highest, JSON_INT_MAX), description=f"Primary key column {column.name}."
        )
    return column.annotation, Field(description=f"Primary key column {column.name}.")


def _commit_rows(session: Session, respond: _Responder, rows: list[Any]) -> Response:
    """Commit and return the rows' answer, checked against the response schema and written before the commit."""
    content = respond.content_of_rows(rows)
    session.commit()
    return respond.send_content(content)


def _commit_count(session: Session, respond: _Responder, count: int) -> Any:
    session.commit()
    return respond.envelope_of(BatchCount(count=count))
