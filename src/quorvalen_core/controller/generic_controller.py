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
from collections.abc import Callable
from contextlib import AbstractContextManager
from typing import Annotated, Any

from fastapi import Body, HTTPException, Path, Response
from fastapi.exceptions import RequestValidationError
from pydantic import TypeAdapter, ValidationError
from sqlalchemy import func, select
from sqlalchemy.exc import DataError, IntegrityError
from sqlmodel import Session

from ..auth.auth_router import AuthRouter
from ..db import get_database_registry
from .envelope import Envelope, ErrorDetail, Page
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
from .query_parameters import DEFAULT_LIMIT, MAX_LIMIT, QueryParameters
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

NOT_FOUND = "Row not found"
CONFLICT = "The change conflicts with existing data (a unique or foreign-key constraint)"
INVALID_DATA = "The database refused a value of the request"


# What drivers raise for a value the column cannot hold: DataError (out of
# range, NUL in text on PostgreSQL), OverflowError (SQLite's integers).
REFUSED_VALUE_ERRORS = (DataError, OverflowError)


def _commit(session: Session) -> None:
    """Commit; a refused change becomes a 409/422 and leaves the session usable.

    The database's own message is not passed on: it may hold SQL and data.
    """
    try:
        session.commit()
    except IntegrityError:
        session.rollback()
        raise HTTPException(status_code=409, detail=CONFLICT) from None
    except REFUSED_VALUE_ERRORS:
        session.rollback()
        raise HTTPException(status_code=422, detail=INVALID_DATA) from None


class _Responder:
    """Builds one operation's success response: the envelope, serialised at once.

    The endpoint serialises while its session is open and in its own worker
    thread; FastAPI then sends the bytes as they are.  The route's
    ``response_model`` documents the same envelope in OpenAPI.
    """

    def __init__(self, data_type: Any, message: str, status_code: int) -> None:
        self.envelope: type[Envelope[Any]] = Envelope[data_type]
        self.adapter: TypeAdapter[Envelope[Any]] = TypeAdapter(self.envelope)
        self.message = message
        self.status_code = status_code

    def __call__(self, data: Any) -> Response:
        envelope = self.envelope(message=self.message, data=data)
        return Response(
            content=self.adapter.dump_json(envelope, by_alias=True),
            status_code=self.status_code,
            media_type="application/json",
        )


def _body_errors(error: ValidationError) -> RequestValidationError:
    return RequestValidationError(
        [{**item, "loc": ("body", *item["loc"])} for item in error.errors(include_url=False)]
    )


class GenericController:
    """Keeps the table's model, schemas and the five operations' settings.

    Constructing it registers the endpoints on ``auth_router``.  Schemas left
    as None are derived from the model: the create schema takes the model's
    fields (but the primary key where the database assigns it), the update
    schema every field except the primary key, each optional, and the response
    schema every field.  Models with a composite
    primary key are refused (``ValueError``).
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
        default_limit: int = DEFAULT_LIMIT,
        max_limit: int = MAX_LIMIT,
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
        self.query_parameters = QueryParameters.for_table(
            self.table, default_limit=default_limit, max_limit=max_limit
        )
        self.db_config_name: str | None = getattr(auth_router, "db_config_name", None)

        configs = {operation.key: self._config_of(operation) for operation in OPERATIONS}
        warn_shared_configs(configs)
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
        respond = _Responder(data_type, config.message, operation.status_code)
        router.add_guarded_route(
            operation.path(),
            build(respond),
            methods=[operation.method],
            config=config,
            summary=config.summary,
            response_model=respond.envelope,
            status_code=operation.status_code,
            operation_id=operation_id(permission_object, operation),
            responses=self._error_responses(operation),
        )

    @staticmethod
    def _error_responses(operation: Operation) -> dict[int | str, dict[str, Any]]:
        responses: dict[int | str, dict[str, Any]] = {}
        if operation.on_item:
            responses[404] = {"model": ErrorDetail, "description": NOT_FOUND}
        if operation in (CREATE, UPDATE, DELETE):
            responses[409] = {"model": ErrorDetail, "description": CONFLICT}
        return responses

    def session(self) -> AbstractContextManager[Session]:
        """A session on the router's database, for one request.

        The registry is looked up per request, so an application (or a test)
        may install its registry after the routers are built.  The endpoint
        opens the session in its worker thread and closes it before the
        response is sent, so the connection returns to the pool at once.
        """
        return get_database_registry().session(self.db_config_name)

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
        except REFUSED_VALUE_ERRORS:
            # An id the key column cannot hold (an integer past its range):
            # no row has it.
            session.rollback()
            row = None
        if row is None:
            raise HTTPException(status_code=404, detail=NOT_FOUND)
        return row

    def _validated_row(self, values: dict[str, Any]) -> Any:
        try:
            return self.model_class.model_validate(values)
        except ValidationError as error:
            raise _body_errors(error) from None

    def _create_endpoint(self, respond: _Responder) -> Callable[..., Any]:
        open_session = self.session
        validated_row = self._validated_row

        def create(*, body: Any) -> Response:
            row = validated_row(body.model_dump())
            with open_session() as session:
                session.add(row)
                _commit(session)
                session.refresh(row)
                return respond(row)

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
        validated_row = self._validated_row
        columns = self.table.columns

        def update(*, id: Any, body: Any) -> Response:  # noqa: A002
            changes = {
                name: value
                for name, value in body.model_dump(exclude_unset=True).items()
                if name in columns
            }
            with open_session() as session:
                row = get_row(session, id)
                if changes:
                    current = {name: getattr(row, name) for name in columns}
                    # Validating the merged row refuses, for instance, an explicit
                    # null for a column that cannot hold one.
                    merged = validated_row({**current, **changes})
                    for name in changes:
                        setattr(row, name, getattr(merged, name))
                    session.add(row)
                    _commit(session)
                    session.refresh(row)
                return respond(row)

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
        get_row = self._get_row
        response_schema = self.response_schema

        def delete(*, id: Any) -> Response:  # noqa: A002
            with open_session() as session:
                row = get_row(session, id)
                # Taken before the row is gone from the session.
                deleted = response_schema.model_validate(row)
                session.delete(row)
                _commit(session)
                return respond(deleted)

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
        ) -> Response:
            conditions = parameters.where(filters)
            order = parameters.order_by(sort)
            with open_session() as session:
                try:
                    total = session.scalar(
                        select(func.count()).select_from(model_class).where(*conditions)
                    )
                    rows = session.scalars(
                        select(model_class)
                        .where(*conditions)
                        .order_by(*order)
                        .offset(offset)
                        .limit(limit)
                    ).all()
                except REFUSED_VALUE_ERRORS:
                    # A filter value the column cannot hold in this database.
                    session.rollback()
                    raise HTTPException(status_code=422, detail=INVALID_DATA) from None
                return respond({"items": rows, "total": total or 0, "offset": offset, "limit": limit})

        query.__doc__ = (
            f"Query {model_class.__name__} rows: filters, sorting and one page of results."
        )
        self._signature(query, **parameters.signature_defaults())
        return query
