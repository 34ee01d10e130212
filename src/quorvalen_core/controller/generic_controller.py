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
restore    ``POST``    prefix/{id}/...  200, the row (tables that
                       restore          delete softly only)
=========  ==========  ===============  =============================

A composite primary key takes one path segment per key column instead of
``{id}``.  A table's ``__table_options__`` (:mod:`.table_options`) add row
policies, server-set columns, soft delete and embedded related rows: the
endpoints of such a table take the caller's :class:`RowAccess` from the
request's state and narrow every statement to the rows it may see.

Successful responses are ``{"code": 0, "message": <operation message>,
"data": ...}``; errors keep FastAPI's ``{"detail": ...}`` form: 404 for a
missing row, 409 when the database refuses a change (unique or foreign-key
constraint), 422 for input that does not validate.
"""

from __future__ import annotations

import inspect
import logging
from collections.abc import Callable, Collection, Iterator, Sequence
from contextlib import contextmanager
from functools import cached_property
from typing import Annotated, Any

from fastapi import Body, HTTPException, Path, Query, Request, Response, status
from fastapi.exceptions import RequestValidationError
from pydantic import ValidationError
from sqlalchemy import delete as sql_delete
from sqlalchemy import update as sql_update
from sqlalchemy import and_, func, select
from sqlalchemy.exc import DataError, SQLAlchemyError
from sqlalchemy.orm.exc import ObjectDeletedError, StaleDataError
from sqlalchemy.sql.elements import ColumnElement
from sqlmodel import Session

from ..auth.auth_router import AuthRouter
from ..auth.guard import AuthRoute, GeneratedRoute
from ..auth.row_access import ROW_ACCESS_STATE_ATTR, RowAccess, deleted_rows_action, every_row_action
from ..auth.service import get_auth_service
from ..db import get_database_registry
from ..db.errors import DatabaseErrorKind, LogThrottle, classify_database_error, describe_database_error
from .envelope import Envelope, Page, chosen_fields_schema, error_response
from .operations import (
    CREATE,
    DELETE,
    OPERATIONS,
    QUERY,
    READ,
    RESTORE,
    UPDATE,
    Operation,
    effective_config,
    is_switched_off,
    operation_id,
    warn_shared_configs,
)
from .query_limits import QueryLimits
from .includes import Includes, Inclusion
from .query_parameters import QueryParameters
from .references import References, record_every_row_read
from .router_config import RouterConfig
from .row_rules import DeletedRows, RowRules
from .table_options import table_options_of
from .table_schema import (
    INT64_MAX,
    INT64_MIN,
    TableColumn,
    TableInfo,
    database_assigns_key,
    derive_create_schema,
    derive_field_checks,
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
        # The same operation's answer with related rows embedded (include=).
        self.included: _Responder | None = None

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
    schema every field; columns the server fills (see
    :class:`~.table_options.TableOptions`) are in neither body.  A composite
    primary key gives one path segment per key column.  The query's page
    sizes and bounds come from the query settings' ``limits``
    (:class:`QueryLimits`).
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
        options = table_options_of(model_class)
        self.rules: RowRules | None = None if options.is_plain else RowRules.resolve(self.table, options)
        server_set = tuple(self.rules.server_set) if self.rules is not None else ()
        key = self.table.key_names
        self.create_schema = create_schema or derive_create_schema(
            model_class, exclude=(*key, *server_set) if database_assigns_key(self.table) else server_set
        )
        self.update_schema = update_schema or derive_update_schema(model_class, exclude=(*key, *server_set))
        self.response_schema = response_schema or derive_response_schema(model_class)
        self.includes: Includes | None = (
            Includes(self.table, options.includes, self.response_schema) if options.includes else None
        )
        self.references = References(self.table)
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
        builders: dict[str, Callable[[_Responder, Any], Callable[..., Any]]] = {
            CREATE.key: self._create_endpoint,
            UPDATE.key: self._update_endpoint,
            READ.key: self._read_endpoint,
            DELETE.key: self._delete_endpoint,
            QUERY.key: self._query_endpoint,
            RESTORE.key: self._restore_endpoint,
        }
        registered: list[tuple[Operation, Any]] = []
        for operation in OPERATIONS:
            config = configs[operation.key]
            if is_switched_off(config):
                continue
            registered.append((operation, effective_config(operation, config)))
            if operation is DELETE and self.rules is not None and self.rules.deleted_at is not None:
                registered.append((RESTORE, self._restore_config(registered[-1][1])))
        for operation, config in registered:
            self._check_row_policy_is_guarded(operation, config)
        for operation, config in registered:
            self._register(operation, config, builders[operation.key])
        auth_router.models.append(model_class)

    def _config_of(self, operation: Operation) -> Any:
        config: Any = getattr(self, operation.parameter)
        return config

    @staticmethod
    def _restore_config(delete_config: Any) -> RouterConfig:
        """The restore route's settings: the delete route's, with its own action, message and summary."""
        values = {name: getattr(delete_config, name, None) for name in RouterConfig.model_fields}
        values.update(auth_act=RESTORE.key, message=RESTORE.message, summary=RESTORE.summary, description=None)
        return RouterConfig(**values)

    def _check_row_policy_is_guarded(self, operation: Operation, config: Any) -> None:
        if self.rules is not None and self.rules.owner is not None and not getattr(config, "auth", None):
            raise ValueError(
                f"the {operation.key} operation of table {self.table.table_name!r} is public, but the table "
                f"has an owner column ({self.rules.owner.name!r}): its row policy needs a caller; "
                "guard the operation or switch it off"
            )

    # -- registration ---------------------------------------------------------

    def _row_actions(self, operation: Operation, config: Any) -> tuple[str, ...] | None:
        """The row permissions a route decides on (None: it decides on none)."""
        if not self._decides_on_rows(operation):
            return None
        act = getattr(config, "auth_act", None) or operation.key
        rules = self.rules
        actions: list[str] = []
        if rules is not None and rules.owner is not None and operation is not CREATE:
            actions.append(every_row_action(act))
        if rules is not None and rules.deleted_at is not None and operation in (READ, QUERY):
            actions.append(deleted_rows_action(act))
        return tuple(actions)

    def _decides_on_rows(self, operation: Operation) -> bool:
        """Whether the operation's endpoint needs its caller's RowAccess.

        Beside row options and includes, a write of a table with foreign
        keys does: they may name rows of owned tables.
        """
        if self.rules is not None or self.includes is not None:
            return True
        return operation in (CREATE, UPDATE) and self.references.possible

    def _item_path(self, operation: Operation) -> str:
        if not operation.on_item:
            return ""
        path = "/" + "/".join(f"{{{name}}}" for name in self.table.key_names) if self.table.composite_key else "/{id}"
        return path + "/restore" if operation is RESTORE else path

    def _register(
        self,
        operation: Operation,
        config: Any,
        build: Callable[[_Responder, Any], Callable[..., Any]],
    ) -> None:
        router = self.auth_router
        permission_object = (
            getattr(config, "auth_obj", None)
            or getattr(router, "auth_obj", None)
            or self.table.table_name
        )
        if operation in (READ, QUERY) and self.rules is not None and self.rules.owner is not None:
            reading_object = config.auth_obj if config.auth_obj is not None else router.auth_obj
            if reading_object and config.auth_act:
                record_every_row_read(self.table, reading_object, config.auth_act)
        data_type, listed = self._answer_type(operation, self.response_schema)
        respond = _Responder(data_type, config.message, operation.status_code, self.table.table_name)
        if self.includes is not None and operation in (READ, QUERY):
            # Embedded items are built as the include schema's own instances:
            # its answer keeps that schema.
            included, listed = self._answer_type(operation, self.includes.response_schema, items_from_rows=False)
            respond.included = _Responder(included, config.message, operation.status_code, self.table.table_name)
        documented: Any = (respond.included or respond).envelope
        if listed is not None:
            # Items may hold only the fields a request names: documented so
            # (the answer's own envelope when the item schema serves both).
            documented = Envelope[Page[listed]]  # type: ignore[valid-type]
        router.add_guarded_route(
            self._item_path(operation),
            build(respond, config),
            methods=[operation.method],
            config=config,
            row_actions=self._row_actions(operation, config),
            summary=config.summary,
            response_model=documented,
            status_code=operation.status_code,
            operation_id=operation_id(permission_object, operation),
            responses=self._error_responses(operation),
            # Built on first use, unless the application chose its own route class.
            route_class_override=GeneratedRoute if router.route_class is AuthRoute else None,
        )

    def _answer_type(
        self, operation: Operation, schema: type[Any], *, items_from_rows: bool = True
    ) -> tuple[Any, type[Any] | None]:
        """What an operation's answer holds, and for a query the item schema its documentation lists."""
        if operation is not QUERY:
            return schema, None
        listed = chosen_fields_schema(schema, self.table.key_names)
        item = listed if items_from_rows and issubclass(listed, schema) else schema
        return Page[item], listed  # type: ignore[valid-type]

    @staticmethod
    def _error_responses(operation: Operation) -> dict[int | str, dict[str, Any]]:
        responses: dict[int | str, dict[str, Any]] = {}
        if operation.on_item:
            responses[404] = error_response(NOT_FOUND)
        if operation in (CREATE, UPDATE, DELETE, RESTORE):
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

    def _finish(self, endpoint: Callable[..., Any], doc: str, **parameters: tuple[Any, Any]) -> Callable[..., Any]:
        """Give ``endpoint`` its documentation and the typed signature FastAPI reads its parameters from.

        An endpoint on one row takes the row's key as ``id``: one value, or
        the tuple of a composite key's values, each its own path segment.
        """
        if "id" in parameters and self.table.composite_key:
            names = [f"key_{index}" for index in range(len(self.table.key))]
            single = endpoint

            def endpoint(**values: Any) -> Any:
                return single(id=tuple(values.pop(name) for name in names), **values)

            key_parameters = {
                name: self._key_parameter(column, alias=column.name) for name, column in zip(names, self.table.key)
            }
            del parameters["id"]
            parameters = {**key_parameters, **parameters}
        elif "id" in parameters:
            parameters["id"] = self._key_parameter(self.table.key[0])
        endpoint.__doc__ = doc
        endpoint.__signature__ = inspect.Signature(  # type: ignore[attr-defined]
            [
                inspect.Parameter(name, inspect.Parameter.KEYWORD_ONLY, annotation=annotation, default=default)
                for name, (annotation, default) in parameters.items()
            ]
        )
        return endpoint

    @staticmethod
    def _key_parameter(key: TableColumn, *, alias: str | None = None) -> tuple[Any, Any]:
        description = f"Primary key ({key.name}) of the row." if alias is None else f"Primary key column {key.name} of the row."
        if key.annotation is int:
            return int, Path(ge=INT64_MIN, le=INT64_MAX, description=description, alias=alias)
        return key.annotation, Path(description=description, alias=alias)

    def _row_parameters(self, operation: Operation) -> dict[str, tuple[Any, Any]]:
        """The parameters an endpoint deciding on rows takes beyond the plain ones."""
        if not self._decides_on_rows(operation):
            return {}
        parameters: dict[str, tuple[Any, Any]] = {"request": (Request, inspect.Parameter.empty)}
        if operation in (READ, QUERY) and self.rules is not None and self.rules.deleted_at is not None:
            parameters["deleted"] = (
                DeletedRows,
                Query(
                    DeletedRows.exclude,
                    description=(
                        "Soft-deleted rows: exclude (default), include or only; "
                        "include and only need the permission <action>:deleted."
                    ),
                ),
            )
        if operation in (READ, QUERY) and self.includes is not None:
            parameters["include"] = self.includes.parameter()
        return parameters

    # -- rows -----------------------------------------------------------------

    def _access(self, request: Request | None, config: Any) -> RowAccess:
        """Who calls, and the policies its row decisions are drawn from.

        A guarded route's guard left them in the request's state.  A public
        route has no caller; its policies are loaded (in this worker thread)
        only for what public callers may embed.
        """
        access: RowAccess | None = getattr(request.state, ROW_ACCESS_STATE_ATTR, None) if request is not None else None
        if access is not None:
            return access
        policies = None
        if self.includes is not None:
            try:
                policies = get_auth_service().policies(self.db_config_name).snapshot
            except Exception as error:  # noqa: BLE001 - the caller is told to retry
                logger.warning("policies not loaded for table %s: %s", self.table.table_name, describe_database_error(error))
                raise HTTPException(
                    status_code=status.HTTP_503_SERVICE_UNAVAILABLE,
                    detail=UNAVAILABLE,
                    headers={"Retry-After": str(RETRY_AFTER_SECONDS)},
                ) from None
        return RowAccess(None, policies, getattr(config, "auth_obj", None), getattr(config, "auth_act", None))

    def _key_match(self, ident: Any) -> ColumnElement[bool]:
        if self.table.composite_key:
            return and_(*(column.column == value for column, value in zip(self.table.key, ident)))
        return self.table.key[0].column == ident  # type: ignore[no-any-return]

    def _sent(self, body: Any) -> dict[str, Any]:
        """The body's values for columns a client may write."""
        columns = self.table.columns
        server_set = self.rules.server_set if self.rules is not None else frozenset()
        return {
            name: value
            for name, value in body.model_dump(exclude_unset=True).items()
            if name in columns and name not in server_set
        }

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

    def _find_row(
        self, session: Session, row_id: Any, conditions: Sequence[ColumnElement[bool]], options: Sequence[Any] = ()
    ) -> Any:
        """The row with key ``row_id`` that also meets ``conditions``; else 404."""
        try:
            row = session.scalars(
                select(self.model_class).where(self._key_match(row_id), *conditions).options(*options)
            ).first()
        except (DataError, OverflowError):
            session.rollback()
            row = None
        if row is None:
            raise HTTPException(status_code=404, detail=NOT_FOUND)
        return row

    def _validated_row(self, values: dict[str, Any], sent: Collection[str] | None = None) -> Any:
        """A table row from a create body; errors name only the body's fields."""
        try:
            return self.model_class.model_validate(values)
        except ValidationError as error:
            refused = client_errors(error, values if sent is None else sent)
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

    @cached_property
    def _field_checks(self) -> type[Any] | None:
        # Built on the first update: most tables are updated seldom or never,
        # and an application publishing hundreds of tables starts faster without.
        return derive_field_checks(self.model_class, self.table.columns)

    def _written_at_once(self, session: Session, row_id: Any, changes: dict[str, Any]) -> Any:
        """The row as one statement writes ``changes`` to it, without reading it first.

        None where that cannot be done, leaving the transaction as it was
        (rolled back if the statement failed): the model checks across fields,
        a value is refused by the model or the database, or no row has the
        key.  The update then reads the row first and names what is wrong: a
        missing row is a 404 before a refused value is a 422.
        """
        checks = self._field_checks
        if checks is None:
            return None
        try:
            checked = checks.model_validate(changes)
        except ValidationError:
            return None
        values = {name: getattr(checked, name) for name in changes}
        statement = sql_update(self.model_class).where(self._key_match(row_id)).values(**values)
        try:
            return _first_returned(session, statement, self.model_class)
        except (DataError, OverflowError):
            session.rollback()
            return None

    def _create_endpoint(self, respond: _Responder, config: Any) -> Callable[..., Any]:
        open_session = self.session
        validated_row = self._validated_row
        rules = self.rules
        table = self.table
        access_of = self._access
        references = self.references

        def create(*, body: Any, request: Request | None = None) -> Response:
            access = None if request is None else access_of(request, config)
            if rules is None:
                row = validated_row(body.model_dump())
            else:
                assert access is not None
                values = {name: value for name, value in body.model_dump().items() if name not in rules.server_set}
                sent = list(values)
                values.update(rules.created(access, table))
                row = validated_row(values, sent)
            with open_session() as session:
                if access is not None and not references.readable(session, row, access):
                    raise _reference_refused()
                session.add(row)
                session.flush()
                # Read back in the same transaction: values the database
                # filled in (keys, defaults) are part of the answer.
                session.refresh(row)
                envelope = _commit_answer(session, respond, row)
            return respond.send(envelope)

        return self._finish(
            create,
            f"Create a {self.model_class.__name__} row.",
            body=(Annotated[self.create_schema, Body()], inspect.Parameter.empty),
            **self._row_parameters(CREATE),
        )

    def _read_endpoint(self, respond: _Responder, config: Any) -> Callable[..., Any]:
        open_session = self.session
        get_row = self._get_row
        find_row = self._find_row
        rules = self.rules
        includes = self.includes
        access_of = self._access
        respond_included = respond.included

        def read(
            *,
            id: Any,  # noqa: A002 - the path's name
            request: Request | None = None,
            deleted: DeletedRows = DeletedRows.exclude,
            include: list[Any] | None = None,
        ) -> Response:
            if request is None:
                with open_session() as session:
                    return respond(get_row(session, id))
            access = access_of(request, config)
            conditions: list[ColumnElement[bool]] = []
            if rules is not None:
                rules.deleted_view_allowed(access, deleted)
                conditions = rules.visible(access, deleted)
            if includes is None:
                with open_session() as session:
                    return respond(find_row(session, id, conditions))
            requested = includes.requested(include, access)
            if not requested:
                with open_session() as session:
                    return respond(find_row(session, id, conditions))
            left_out = includes.left_out(requested)
            with open_session() as session:
                row = find_row(session, id, conditions, includes.loader_options(requested, access))
                [item] = includes.embed(session, [row], requested, access)
                return respond_included(item, {"data": left_out} if left_out else None)

        return self._finish(
            read,
            f"Read one {self.model_class.__name__} row by primary key.",
            id=(Any, None),
            **self._row_parameters(READ),
        )

    def _update_endpoint(self, respond: _Responder, config: Any) -> Callable[..., Any]:
        open_session = self.session
        get_row = self._get_row
        find_row = self._find_row
        validated_changes = self._validated_changes
        written_at_once = self._written_at_once
        sent_values = self._sent
        model_class = self.model_class
        key_match = self._key_match
        rules = self.rules
        table = self.table
        access_of = self._access
        references = self.references

        def update(*, id: Any, body: Any, request: Request | None = None) -> Response:  # noqa: A002
            sent = sent_values(body)
            conditions: list[ColumnElement[bool]] = []
            stamps: dict[str, Any] = {}
            access = None if request is None else access_of(request, config)
            if rules is not None:
                assert access is not None
                conditions = rules.visible(access)
                stamps = rules.changed(access, table)

            def check_references(session: Session, row: Any) -> None:
                # Checked on the row as written, in the write's transaction:
                # a refusal rolls the write back.
                if access is not None and not references.readable(session, row, access, sent):
                    raise _reference_refused()

            with open_session() as session:
                returned = written_at_once(session, id, sent) if sent and rules is None else None
                if returned is not None:
                    check_references(session, returned)
                    envelope = _commit_answer(session, respond, returned)
                    return respond.send(envelope)
                row = get_row(session, id) if rules is None else find_row(session, id, conditions)
                if not sent:
                    return respond(row)
                values = validated_changes(row, sent)
                session.expunge(row)
                # One statement writes the row and returns it as stored: if a
                # concurrent delete took the row meanwhile, none matches (404).
                returned = _returned_row(
                    session,
                    sql_update(model_class).where(key_match(id), *conditions).values(**values, **stamps),
                    model_class,
                )
                check_references(session, returned)
                envelope = _commit_answer(session, respond, returned)
            return respond.send(envelope)

        return self._finish(
            update,
            f"Update a {self.model_class.__name__} row: fields not sent stay as they are.",
            id=(Any, None),
            body=(Annotated[self.update_schema, Body()], inspect.Parameter.empty),
            **self._row_parameters(UPDATE),
        )

    def _delete_endpoint(self, respond: _Responder, config: Any) -> Callable[..., Any]:
        open_session = self.session
        model_class = self.model_class
        key_match = self._key_match
        rules = self.rules
        table = self.table
        access_of = self._access
        soft = rules is not None and rules.deleted_at is not None

        def delete(*, id: Any, request: Request | None = None) -> Response:  # noqa: A002
            conditions: list[ColumnElement[bool]] = []
            statement: Any
            if rules is None:
                statement = sql_delete(model_class)
            else:
                access = access_of(request, config)
                conditions = rules.visible(access)
                statement = sql_update(model_class).values(**rules.deletion(access, table)) if soft else sql_delete(model_class)
            with open_session() as session:
                # One statement removes (or marks) the row and returns it: of
                # concurrent deletes of one row, exactly one gets it back.
                returned = _returned_row(
                    session, statement.where(key_match(id), *conditions), model_class, key_may_not_fit=True
                )
                envelope = _commit_answer(session, respond, returned)
            return respond.send(envelope)

        return self._finish(
            delete,
            f"Delete a {self.model_class.__name__} row; returns it."
            + (" The row is marked deleted and can be restored." if soft else ""),
            id=(Any, None),
            **self._row_parameters(DELETE),
        )

    def _restore_endpoint(self, respond: _Responder, config: Any) -> Callable[..., Any]:
        open_session = self.session
        model_class = self.model_class
        key_match = self._key_match
        rules = self.rules
        assert rules is not None and rules.deleted_at is not None
        table = self.table
        access_of = self._access

        def restore(*, id: Any, request: Request | None = None) -> Response:  # noqa: A002
            access = access_of(request, config)
            with open_session() as session:
                returned = _returned_row(
                    session,
                    sql_update(model_class)
                    .where(key_match(id), *rules.visible(access, DeletedRows.only))
                    .values(**rules.restoration(access, table)),
                    model_class,
                    key_may_not_fit=True,
                )
                envelope = _commit_answer(session, respond, returned)
            return respond.send(envelope)

        return self._finish(
            restore,
            f"Restore a deleted {self.model_class.__name__} row; returns it. 404 unless the row is deleted.",
            id=(Any, None),
            **self._row_parameters(RESTORE),
        )

    def _query_endpoint(self, respond: _Responder, config: Any) -> Callable[..., Any]:
        open_session = self.session
        model_class = self.model_class
        parameters = self.query_parameters
        rules = self.rules
        includes = self.includes
        access_of = self._access
        respond_included = respond.included

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
            request: Request | None = None,
            deleted: DeletedRows = DeletedRows.exclude,
            include: list[Any] | None = None,
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
            exclude = plan.exclude
            requested: list[Inclusion] = []
            if request is not None:
                access = access_of(request, config)
                if rules is not None:
                    rules.deleted_view_allowed(access, deleted)
                    # The caller's rows only: for the page and its total alike.
                    plan.conditions.extend(rules.visible(access, deleted))
                if includes is not None:
                    requested = includes.requested(include, access)
                    if requested:
                        exclude = _without_items_fields(exclude, includes.left_out(requested))
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
            if requested:
                statement = statement.options(*includes.loader_options(requested, access))  # type: ignore[union-attr]
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
                next_cursor = parameters.next_cursor(plan, rows[-1], len(rows)) if has_more else None
                page = {
                    "items": includes.embed(session, rows, requested, access) if requested else rows,  # type: ignore[union-attr]
                    "total": (count or 0) if plan.count_total else None,
                    "offset": plan.first_row,
                    "limit": limit,
                    "has_more": has_more,
                    "next_cursor": next_cursor,
                }
                return (respond_included if requested else respond)(page, exclude)  # type: ignore[operator]

        return self._finish(
            query,
            f"Query {model_class.__name__} rows: filters, sorting and one page of results.",
            **parameters.signature_defaults(),
            **self._row_parameters(QUERY),
        )


def _reference_refused() -> HTTPException:
    """A foreign key naming a row the caller may not read: answered as one naming a missing row."""
    return HTTPException(status_code=status.HTTP_409_CONFLICT, detail=CONFLICT)


def _without_items_fields(exclude: dict[str, Any] | None, names: set[str]) -> dict[str, Any] | None:
    """``exclude`` of a page, leaving ``names`` out of every item as well."""
    if not names:
        return exclude
    current: set[str] = set(exclude["data"]["items"]["__all__"]) if exclude else set()
    return {"data": {"items": {"__all__": current | names}}}


def _returned_row(session: Session, statement: Any, model_class: type, *, key_may_not_fit: bool = False) -> Any:
    """The row an UPDATE or DELETE ``statement`` touched, as it left it; 404 when none matched.

    One statement finds the row and writes it: of concurrent writes to one
    row, one that finds it gone (or no longer visible) answers 404.
    ``key_may_not_fit``: an id the key column cannot hold matches no row
    rather than failing (for statements the id was not checked before).
    """
    try:
        row = _first_returned(session, statement, model_class)
    except (DataError, OverflowError):
        if not key_may_not_fit:
            raise
        row = None
    if row is None:
        raise HTTPException(status_code=404, detail=NOT_FOUND)
    return row


def _first_returned(session: Session, statement: Any, model_class: type) -> Any:
    """The row an UPDATE or DELETE ``statement`` touched, as it left it; None when none matched."""
    return session.scalars(statement.returning(model_class).execution_options(synchronize_session=False)).first()


def _commit_answer(session: Session, respond: _Responder, row: Any) -> Any:
    """Commit the write and return ``row``'s answer, read before the commit.

    The answer's JSON is written by the caller after this returns, so the
    database's write lock is not held while it is serialised.
    """
    envelope = respond.envelope_of(row)
    _keep_loaded(session, row)
    session.commit()
    return envelope


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
