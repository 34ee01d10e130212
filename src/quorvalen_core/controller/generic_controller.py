"""Registers the CRUD and query endpoints of one table on an AuthRouter.

Each operation that its settings do not switch off becomes one guarded route
(``AuthRouter.add_guarded_route``):

=========  ==========  ===============  =============================
operation  method      path             success
=========  ==========  ===============  =============================
create     ``POST``    prefix           201, the new row
read       ``GET``     prefix/{id}      200, the row
update     ``PATCH``   prefix/{id}      200, the row (partial update)
delete     ``DELETE``  prefix/{id}      200, the deleted row
query      ``GET``     prefix           200, a page of rows
=========  ==========  ===============  =============================

Successful responses are ``{"code": 0, "message": <operation message>,
"data": ...}``; errors keep FastAPI's ``{"detail": ...}`` form: 404 for a
missing row, 409 when the database refuses a change (unique or foreign-key
constraint), 422 for input that does not validate.
"""

from __future__ import annotations

import inspect
import logging
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Annotated, Any

from fastapi import Body, HTTPException, Path, Response, status
from fastapi.exceptions import RequestValidationError
from pydantic import ValidationError
from sqlalchemy import delete as sql_delete
from sqlalchemy import update as sql_update
from sqlalchemy import func, select
from sqlalchemy.exc import DataError, SQLAlchemyError
from sqlalchemy.orm.exc import ObjectDeletedError, StaleDataError
from sqlmodel import Session

from ..auth.auth_router import AuthRouter
from ..db import get_database_registry
from ..db.errors import DatabaseErrorKind, LogThrottle, classify_database_error, describe_database_error
from .envelope import Envelope, Page, chosen_fields_schema, error_response
from .operations import (
    CREATE,
    DELETE,
    OPERATIONS,
    QUERY,
    READ,
    UPDATE,
    Operation,
    effective_config,
    is_switched_off,
    operation_id,
    warn_shared_configs,
)
from .query_limits import QueryLimits
from .query_parameters import QueryParameters
from .router_config import RouterConfig
from .table_schema import (
    INT64_MAX,
    INT64_MIN,
    TableInfo,
    database_assigns_key,
    derive_create_schema,
    derive_response_schema,
    derive_update_schema,
    inspect_table,
)
from .validation import client_errors

NOT_FOUND = "Row not found"
CONFLICT = "The change conflicts with existing data (a unique or foreign-key constraint)"
INVALID_DATA = "The database refused a value of the request"
UNAVAILABLE = "The database is unavailable; try again shortly"
DATABASE_FAULT = "The database could not serve the request"
ROW_NOT_REPRESENTABLE = "A stored row does not fit the table's response schema"
RETRY_AFTER_SECONDS = 2

logger = logging.getLogger("quorvalen_core.controller")


# Errors of a row that vanished while the request worked on it (a concurrent
# delete): the row is missing, as for a request that came a moment later.
_VANISHED_ROW_ERRORS = (StaleDataError, ObjectDeletedError)


def _database_http_error(error: BaseException, table: str, throttle: LogThrottle) -> HTTPException:
    """The response for a database error; the error's text (SQL, values) is never passed on."""
    if isinstance(error, _VANISHED_ROW_ERRORS):
        return HTTPException(status_code=status.HTTP_404_NOT_FOUND, detail=NOT_FOUND)
    kind = classify_database_error(error)
    if kind is DatabaseErrorKind.CONFLICT:
        return HTTPException(status_code=status.HTTP_409_CONFLICT, detail=CONFLICT)
    if kind is DatabaseErrorKind.REFUSED_VALUE:
        return HTTPException(status_code=422, detail=INVALID_DATA)
    if kind is DatabaseErrorKind.UNAVAILABLE:
        held_back = throttle.admit("unavailable")
        if held_back is not None:
            logger.warning(
                "database unavailable for table %s: %s%s",
                table,
                describe_database_error(error),
                f" ({held_back} more such failures since the last report)" if held_back else "",
            )
        return HTTPException(
            status_code=status.HTTP_503_SERVICE_UNAVAILABLE,
            detail=UNAVAILABLE,
            headers={"Retry-After": str(RETRY_AFTER_SECONDS)},
        )
    logger.error("database error on table %s: %s", table, describe_database_error(error))
    return HTTPException(status_code=status.HTTP_500_INTERNAL_SERVER_ERROR, detail=DATABASE_FAULT)


class _Responder:
    """Builds one operation's success response: the envelope, serialised at once.

    The endpoint serialises while its session is open and in its own worker
    thread; FastAPI then sends the bytes as they are.  The route's
    ``response_model`` documents the same envelope in OpenAPI.
    """

    def __init__(self, data_type: Any, message: str, status_code: int, table: str) -> None:
        self.envelope: type[Envelope[Any]] = Envelope[data_type]
        self.message = message
        self.status_code = status_code
        self.table = table

    def __call__(self, data: Any, exclude: dict[str, Any] | None = None) -> Response:
        return self.send(self.envelope_of(data), exclude)

    def envelope_of(self, data: Any) -> Envelope[Any]:
        """The envelope holding ``data``, its values read (and checked) now.

        A write endpoint takes it before committing, so a row the response
        schema refuses rolls the write back, and serialises it after, so the
        database's write lock is not held while the JSON is written.
        """
        try:
            return self.envelope(message=self.message, data=data)
        except ValidationError as error:
            # Stored data the schema refuses: the server's fault, reported
            # without the values (the error's text holds the row).
            fields = sorted({".".join(str(part) for part in item["loc"]) for item in error.errors()})
            logger.error("row of table %s does not fit the response schema (fields: %s)", self.table, ", ".join(fields))
            raise HTTPException(status_code=status.HTTP_500_INTERNAL_SERVER_ERROR, detail=ROW_NOT_REPRESENTABLE) from None

    def send(self, envelope: Envelope[Any], exclude: dict[str, Any] | None = None) -> Response:
        return Response(
            content=envelope.__pydantic_serializer__.to_json(envelope, by_alias=True, exclude=exclude),
            status_code=self.status_code,
            media_type="application/json",
        )


# What a 422 says when a create body fails only on fields it does not carry.
ROW_REFUSED = {"type": "value_error", "loc": ("body",), "msg": "the table refuses a row made from this body"}


class GenericController:
    """Keeps the table's model, schemas and the five operations' settings.

    Constructing it registers the endpoints on ``auth_router``.  Schemas left
    as None are derived from the model: the create schema takes the model's
    fields (but the primary key where the database assigns it), the update
    schema every field except the primary key, each optional, and the response
    schema every field.  Models with a composite primary key are refused
    (``ValueError``).  The query's page sizes and bounds come from the query
    settings' ``limits`` (:class:`QueryLimits`).
    """

    def __init__(
        self,
        *,
        auth_router: AuthRouter,
        model_class: type[Any],
        create_schema: type[Any] | None = None,
        update_schema: type[Any] | None = None,
        response_schema: type[Any] | None = None,
        create_router: RouterConfig | None = None,
        update_router: RouterConfig | None = None,
        read_router: RouterConfig | None = None,
        delete_router: RouterConfig | None = None,
        query_router: RouterConfig | None = None,
    ) -> None:
        self.auth_router = auth_router
        self.model_class = model_class
        self.table: TableInfo = inspect_table(model_class)
        key = (self.table.primary_key.name,)
        self.create_schema = create_schema or derive_create_schema(
            model_class, exclude=key if database_assigns_key(self.table) else ()
        )
        self.update_schema = update_schema or derive_update_schema(model_class, exclude=key)
        self.response_schema = response_schema or derive_response_schema(model_class)
        self.create_router = create_router
        self.update_router = update_router
        self.read_router = read_router
        self.delete_router = delete_router
        self.query_router = query_router
        self.db_config_name: str | None = getattr(auth_router, "db_config_name", None)
        self._outage_log = LogThrottle()

        configs = {operation.key: self._config_of(operation) for operation in OPERATIONS}
        warn_shared_configs(configs)
        limits: QueryLimits | None = getattr(configs[QUERY.key], "limits", None)
        self.query_parameters = QueryParameters.for_table(
            self.table,
            limits,
            visible=getattr(self.response_schema, "model_fields", None),
            allowed=getattr(configs[QUERY.key], "query_columns", None),
        )
        builders: dict[str, Callable[[_Responder], Callable[..., Any]]] = {
            CREATE.key: self._create_endpoint,
            UPDATE.key: self._update_endpoint,
            READ.key: self._read_endpoint,
            DELETE.key: self._delete_endpoint,
            QUERY.key: self._query_endpoint,
        }
        for operation in OPERATIONS:
            config = configs[operation.key]
            if is_switched_off(config):
                continue
            self._register(operation, effective_config(operation, config), builders[operation.key])
        auth_router.models.append(model_class)

    def _config_of(self, operation: Operation) -> Any:
        config: Any = getattr(self, operation.parameter)
        return config

    # -- registration ---------------------------------------------------------

    def _register(
        self,
        operation: Operation,
        config: Any,
        build: Callable[[_Responder], Callable[..., Any]],
    ) -> None:
        router = self.auth_router
        permission_object = (
            getattr(config, "auth_obj", None)
            or getattr(router, "auth_obj", None)
            or self.table.table_name
        )
        data_type: Any = (
            Page[self.response_schema]  # type: ignore[name-defined]
            if operation is QUERY
            else self.response_schema
        )
        respond = _Responder(data_type, config.message, operation.status_code, self.table.table_name)
        documented: Any = respond.envelope
        if operation is QUERY:
            # Items may hold only the fields a request names: documented so.
            item = chosen_fields_schema(self.response_schema, self.table.primary_key.name)
            documented = Envelope[Page[item]]  # type: ignore[valid-type]
        router.add_guarded_route(
            operation.path(),
            build(respond),
            methods=[operation.method],
            config=config,
            summary=config.summary,
            response_model=documented,
            status_code=operation.status_code,
            operation_id=operation_id(permission_object, operation),
            responses=self._error_responses(operation),
        )

    @staticmethod
    def _error_responses(operation: Operation) -> dict[int | str, dict[str, Any]]:
        responses: dict[int | str, dict[str, Any]] = {}
        if operation.on_item:
            responses[404] = error_response(NOT_FOUND)
        if operation in (CREATE, UPDATE, DELETE):
            responses[409] = error_response(CONFLICT)
        # Every generated route has this one: it carries the model's schema.
        responses[503] = error_response(UNAVAILABLE, declares_model=True)
        return responses

    @contextmanager
    def session(self) -> Iterator[Session]:
        """A session on the router's database, for one request.

        The registry is looked up per request, so an application (or a test)
        may install its registry after the routers are built.  The endpoint
        opens the session in its worker thread and closes it before the
        response is sent, so the connection returns to the pool at once.  A
        database error becomes the matching HTTP error (409, 422, 503, or 500
        for a fault), logged without SQL or values; the session is rolled
        back, so it stays usable.
        """
        table = self.table.table_name
        try:
            with get_database_registry().session(self.db_config_name) as session:
                try:
                    yield session
                except BaseException:
                    _roll_back_quietly(session)
                    raise
        except (SQLAlchemyError, OverflowError) as error:
            raise _database_http_error(error, table, self._outage_log) from None

    @staticmethod
    def _signature(endpoint: Callable[..., Any], **parameters: tuple[Any, Any]) -> None:
        """Give ``endpoint`` the typed signature FastAPI reads its parameters from."""
        endpoint.__signature__ = inspect.Signature(  # type: ignore[attr-defined]
            [
                inspect.Parameter(
                    name, inspect.Parameter.KEYWORD_ONLY, annotation=annotation, default=default
                )
                for name, (annotation, default) in parameters.items()
            ]
        )

    def _id_parameter(self) -> tuple[Any, Any]:
        key = self.table.primary_key
        description = f"Primary key ({key.name}) of the row."
        if key.annotation is int:
            return int, Path(ge=INT64_MIN, le=INT64_MAX, description=description)
        return key.annotation, Path(description=description)

    # -- endpoints ------------------------------------------------------------

    def _get_row(self, session: Session, row_id: Any) -> Any:
        try:
            row = session.get(self.model_class, row_id)
        except (DataError, OverflowError):
            # An id the key column cannot hold (an integer past its range):
            # no row has it.
            session.rollback()
            row = None
        if row is None:
            raise HTTPException(status_code=404, detail=NOT_FOUND)
        return row

    def _validated_row(self, values: dict[str, Any]) -> Any:
        """A table row from a create body; errors name only the body's fields."""
        try:
            return self.model_class.model_validate(values)
        except ValidationError as error:
            refused = client_errors(error, values)
            raise refused if refused.errors() else RequestValidationError([ROW_REFUSED]) from None

    def _validated_changes(self, row: Any, changes: dict[str, Any]) -> dict[str, Any]:
        """The values a partial update writes, checked as part of the row they produce.

        Errors name only the fields sent.  When only stored values fail (the
        row broke a constraint before this request), what was sent is checked
        on its own, field by field, and the stored values are left as they are.
        """
        columns = self.table.columns
        current = {name: getattr(row, name) for name in columns}
        try:
            merged = self.model_class.model_validate({**current, **changes})
        except ValidationError as error:
            refused = client_errors(error, changes)
            if refused.errors():
                raise refused from None
            merged = self.model_class.model_construct(**current)
            validator = self.model_class.__pydantic_validator__
            for name, value in changes.items():
                try:
                    validator.validate_assignment(merged, name, value)
                except ValidationError as field_error:
                    raise client_errors(field_error, changes) from None
        return {name: getattr(merged, name) for name in changes}

    def _create_endpoint(self, respond: _Responder) -> Callable[..., Any]:
        open_session = self.session
        validated_row = self._validated_row

        def create(*, body: Any) -> Response:
            row = validated_row(body.model_dump())
            with open_session() as session:
                session.add(row)
                session.flush()
                # Read back in the same transaction: values the database
                # filled in (keys, defaults) are part of the answer.
                session.refresh(row)
                envelope = respond.envelope_of(row)
                _keep_loaded(session, row)
                session.commit()
            return respond.send(envelope)

        create.__doc__ = f"Create a {self.model_class.__name__} row."
        self._signature(create, body=(Annotated[self.create_schema, Body()], inspect.Parameter.empty))
        return create

    def _read_endpoint(self, respond: _Responder) -> Callable[..., Any]:
        open_session = self.session
        get_row = self._get_row

        def read(*, id: Any) -> Response:  # noqa: A002 - the path's name
            with open_session() as session:
                return respond(get_row(session, id))

        read.__doc__ = f"Read one {self.model_class.__name__} row by primary key."
        self._signature(read, id=self._id_parameter())
        return read

    def _update_endpoint(self, respond: _Responder) -> Callable[..., Any]:
        open_session = self.session
        get_row = self._get_row
        validated_changes = self._validated_changes
        columns = self.table.columns
        model_class = self.model_class
        key_column = self.table.primary_key.column

        def update(*, id: Any, body: Any) -> Response:  # noqa: A002
            sent = {
                name: value
                for name, value in body.model_dump(exclude_unset=True).items()
                if name in columns
            }
            with open_session() as session:
                row = get_row(session, id)
                if not sent:
                    return respond(row)
                values = validated_changes(row, sent)
                session.expunge(row)
                # One statement writes the row and returns it as stored: if a
                # concurrent delete took the row meanwhile, none matches (404).
                updated = session.scalars(
                    sql_update(model_class)
                    .where(key_column == id)
                    .values(**values)
                    .returning(model_class)
                    .execution_options(synchronize_session=False)
                ).first()
                if updated is None:
                    raise HTTPException(status_code=404, detail=NOT_FOUND)
                envelope = respond.envelope_of(updated)
                _keep_loaded(session, updated)
                session.commit()
            return respond.send(envelope)

        update.__doc__ = (
            f"Update a {self.model_class.__name__} row: fields not sent stay as they are."
        )
        self._signature(
            update,
            id=self._id_parameter(),
            body=(Annotated[self.update_schema, Body()], inspect.Parameter.empty),
        )
        return update

    def _delete_endpoint(self, respond: _Responder) -> Callable[..., Any]:
        open_session = self.session
        model_class = self.model_class
        key_column = self.table.primary_key.column

        def delete(*, id: Any) -> Response:  # noqa: A002
            with open_session() as session:
                # One statement removes the row and returns it: of concurrent
                # deletes of one row, exactly one gets it back.
                try:
                    deleted = session.scalars(
                        sql_delete(model_class)
                        .where(key_column == id)
                        .returning(model_class)
                        .execution_options(synchronize_session=False)
                    ).first()
                except (DataError, OverflowError):
                    deleted = None  # an id the key column cannot hold
                if deleted is None:
                    raise HTTPException(status_code=404, detail=NOT_FOUND)
                envelope = respond.envelope_of(deleted)
                _keep_loaded(session, deleted)
                session.commit()
            return respond.send(envelope)

        delete.__doc__ = f"Delete a {self.model_class.__name__} row; returns it."
        self._signature(delete, id=self._id_parameter())
        return delete

    def _query_endpoint(self, respond: _Responder) -> Callable[..., Any]:
        open_session = self.session
        model_class = self.model_class
        parameters = self.query_parameters

        def query(
            *,
            offset: int,
            limit: int,
            sort: list[Any] | None,
            filters: list[str] | None,
            any_of: list[str] | None,
            total: bool,
            cursor: str | None,
            fields: str | None,
        ) -> Response:
            plan = parameters.plan(
                offset=offset,
                limit=limit,
                sort=sort,
                filters=filters,
                any_of=any_of,
                total=total,
                cursor=cursor,
                fields=fields,
            )
            # Conditions the controller adds to plan.conditions (ANDed) reach
            # both the page and its total.
            counting = select(func.count()).select_from(model_class).where(*plan.conditions)
            statement = select(model_class)
            if plan.count_total:
                # The total rides along with the page: one round trip to the
                # database instead of two (uncorrelated, computed once).
                statement = select(model_class, counting.correlate(None).scalar_subquery())
            statement = statement.where(*plan.page_conditions()).order_by(*plan.order_by())
            if plan.after is None and plan.offset:
                statement = statement.offset(plan.offset)
            # One row beyond the page says whether another page follows.
            statement = statement.limit(limit + 1)
            with open_session() as session:
                count: int | None = None
                if plan.count_total:
                    found = session.execute(statement).all()
                    rows = [row for row, _ in found]
                    # Past the last page no row carries the total.
                    count = found[0][1] if found else session.scalar(counting)
                else:
                    rows = list(session.scalars(statement).all())
                has_more = len(rows) > limit
                if has_more:
                    rows = rows[:limit]
                page = {
                    "items": rows,
                    "total": (count or 0) if plan.count_total else None,
                    "offset": plan.first_row,
                    "limit": limit,
                    "has_more": has_more,
                    "next_cursor": parameters.next_cursor(plan, rows[-1], len(rows)) if has_more else None,
                }
                return respond(page, plan.exclude)

        query.__doc__ = (
            f"Query {model_class.__name__} rows: filters, sorting and one page of results."
        )
        self._signature(query, **parameters.signature_defaults())
        return query


def _keep_loaded(session: Session, row: Any) -> None:
    """Keep ``row``'s values through the commit, which would otherwise expire them.

    The envelope may hold the row itself (a response schema that is the
    table model); it is serialised after the commit, from these values,
    without reading the row again.
    """
    if row in session:
        session.expunge(row)


def _roll_back_quietly(session: Session) -> None:
    """Roll back after a failed request; a connection that is gone cannot, and need not."""
    try:
        session.rollback()
    except SQLAlchemyError:
        pass
