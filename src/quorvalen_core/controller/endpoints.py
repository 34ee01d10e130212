"""The CRUD, query and restore endpoints of one table: thin functions over its data layer.

Each operation that its settings do not switch off becomes one guarded route
when :meth:`TableEndpoints.register` registers them on an ``AuthRouter``;
building a :class:`TableEndpoints` registers nothing.

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
``{id}``.  An endpoint parses its request, calls the table's
:class:`~quorvalen_core.rows.TableRows` with the caller's row access and the
request's session (:func:`~quorvalen_core.web.sessions.database_session`),
and answers ``{"code": 0, "message": <operation message>, "data": ...}``;
the data layer's errors keep FastAPI's ``{"detail": ...}`` form: 404 for a
missing row, 409 when the database refuses a change (unique or foreign-key
constraint), 422 for input that does not validate.
"""

from __future__ import annotations

import inspect
import logging
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Annotated, Any

from fastapi import Body, Depends, HTTPException, Path, Request, Response, status
from fastapi.responses import JSONResponse
from pydantic import ValidationError
from sqlmodel import Session

from ..access.row_access import ROW_ACCESS_STATE_ATTR, RowAccess, deleted_rows_action, every_row_action
from ..db.errors import describe_database_error
from ..rows.errors import (
    CONFLICT,
    NOT_FOUND,
    UNAVAILABLE,
    DatabaseUnavailable,
    PreconditionFailed,
    PreconditionRequired,
    RowError,
)
from ..rows.query import QueryRequest
from ..rows.references import record_every_row_read
from ..rows.row_rules import DeletedRows
from ..rows.table_rows import ROWS_PER_SLICE, Precondition, TableRows
from ..rows.table_schema import (
    INT64_MAX,
    INT64_MIN,
    TableColumn,
    database_assigns_key,
    derive_create_schema,
    derive_update_schema,
)
from ..web.conditional import (
    ETAG_HEADER,
    entity_tag,
    if_match_holds,
    if_match_parameter,
    if_none_match_holds,
    if_none_match_parameter,
)
from ..web.context import context_of
from ..web.envelope import Envelope, Page, chosen_fields_schema
from ..web.errors import ERROR_CODES, error_response
from ..web.operations import (
    BATCH_FORMS,
    BY_KEYS_FORMS,
    DELETE_BY_KEYS,
    UPDATE_BY_KEYS,
    CREATE,
    CREATE_MANY,
    DELETE_MANY,
    HISTORY,
    ROW_HISTORY,
    UPDATE_MANY,
    UPSERT,
    MERGED_FIELDS,
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
from ..web.router import AuthRouter
from ..web.router_config import RouterConfig
from ..web.routes import AuthRoute, GeneratedRoute
from ..web.row_errors import http_error_of
from ..web.sessions import close_if_owned, database_session_for, read_outside_transaction
from sqlalchemy.sql.elements import ColumnElement

from .batch_endpoints import BatchCount, BatchEndpoints
from .query_parameters import include_parameter, query_parameters

ROW_NOT_REPRESENTABLE = "A stored row does not fit the table's response schema"

logger = logging.getLogger("quorvalen_core.controller")


class _Responder:
    """Builds one operation's success response: the envelope, serialised at once.

    The endpoint serialises while its session is open and in its own worker
    thread; FastAPI then sends the bytes as they are.  The route's
    ``response_model`` documents the same envelope in OpenAPI.
    """

    def __init__(
        self, data_type: Any, message: str, status_code: int, table: str, *, tagged: bool = False, rows_as_is: type[Any] | None = None
    ) -> None:
        self.envelope: type[Envelope[Any]] = Envelope[data_type]
        self.message = message
        self.status_code = status_code
        self.table = table
        # Answers holding one row carry its ETag: a digest of the row's JSON,
        # which follows this fixed start of every such answer.
        empty = self.envelope.model_construct(message=message, data=None)
        self.data_start = empty.__pydantic_serializer__.to_json(empty, warnings=False)[: -len(b"null}")]
        self.tagged = tagged
        # A table model answering as itself is serialised as it is, in the
        # order its attributes were loaded, which SQLAlchemy draws from a set
        # (it differs from process to process): its rows are put in the order
        # of its fields first, so that an answer, and its ETag, are the same
        # from every worker.
        self._rows_as_is = rows_as_is
        self._fields = tuple(getattr(rows_as_is, "model_fields", ()))

    def __call__(self, data: Any, exclude: dict[str, Any] | None = None) -> Response:
        return self.send(self.envelope_of(data), exclude)

    def envelope_of(self, data: Any) -> Envelope[Any]:
        """The envelope holding ``data``, its values read (and checked) now.

        A write endpoint takes it before committing, so a row the response
        schema refuses rolls the write back, and serialises it after, so the
        database's write lock is not held while the JSON is written.
        """
        if self._rows_as_is is not None:
            self._put_in_field_order(data)
        try:
            return self.envelope(message=self.message, data=data)
        except ValidationError as error:
            # Stored data the schema refuses: the server's fault, reported
            # without the values (the error's text holds the row).
            fields = sorted({".".join(str(part) for part in item["loc"]) for item in error.errors()})
            logger.error("row of table %s does not fit the response schema (fields: %s)", self.table, ", ".join(fields))
            raise HTTPException(status_code=status.HTTP_500_INTERNAL_SERVER_ERROR, detail=ROW_NOT_REPRESENTABLE) from None

    def _put_in_field_order(self, data: Any) -> None:
        """Put each row of ``data`` (a row, a list of rows or a page) in the order of its fields, the rest (its state) after."""
        rows = data if isinstance(data, list) else data.get("items", ()) if isinstance(data, dict) else (data,)
        for row in rows:
            if isinstance(row, self._rows_as_is):  # type: ignore[arg-type]
                values = row.__dict__
                ordered = {name: values[name] for name in self._fields if name in values}
                if list(values)[: len(ordered)] != list(ordered):
                    ordered.update(values)
                    values.clear()
                    values.update(ordered)

    def send(self, envelope: Envelope[Any], exclude: dict[str, Any] | None = None) -> Response:
        return self.send_content(self._serialised(envelope, exclude), tagged=exclude is None)

    def send_content(self, content: bytes, *, tagged: bool = True) -> Response:
        """The response of an answer serialised already (see :meth:`content_of_rows`)."""
        headers = {"ETag": self._tag_of_answer(content)} if self.tagged and tagged else None
        return Response(content=content, status_code=self.status_code, headers=headers, media_type="application/json")

    def content_of_rows(self, rows: list[Any]) -> bytes:
        """The answer holding ``rows``, checked and serialised a slice of rows at a time.

        The same bytes as ``send(envelope_of(rows))`` writes, without holding
        an instance of the response schema per row: a batch's thousands of
        them would set off full passes of the garbage collector.  A batch
        writes them before its commit, so its write lock is held while they
        are (a few milliseconds for thousands of rows).
        """
        start = len(self.data_start)
        parts = []
        for first in range(0, len(rows), ROWS_PER_SLICE):
            array = self._serialised(self.envelope_of(rows[first : first + ROWS_PER_SLICE]))[start:-1]
            parts.append(array[1:-1])
        return b"".join((self.data_start, b"[", b",".join(parts), b"]}"))

    def tag_of(self, row: Any) -> str:
        """The ETag of ``row`` as an answer shows it (the same whichever operation answers)."""
        return self._tag_of_answer(self._serialised(self.envelope_of(row)))

    def _tag_of_answer(self, content: bytes) -> str:
        start = self.data_start
        if not content.startswith(start):  # pragma: no cover - the serialiser keeps the fields' order
            raise AssertionError("an answer does not start as its envelope does")
        return entity_tag(content[len(start) : -1])

    @staticmethod
    def _serialised(envelope: Envelope[Any], exclude: dict[str, Any] | None = None) -> bytes:
        return envelope.__pydantic_serializer__.to_json(envelope, by_alias=True, exclude=exclude)


class _Answers:
    """The responders of one operation: its rows, and its rows with related rows embedded."""

    def __init__(self, plain: _Responder, included: _Responder | None) -> None:
        self.plain = plain
        self.included = included if included is not None else plain


class TableEndpoints(BatchEndpoints):
    """The endpoints of one table, over a :class:`TableRows`; :meth:`register` puts them on a router.

    Schemas left as None are derived from the model: the create schema takes
    the model's fields (but the primary key where the database assigns it),
    the update schema every field except the primary key, each optional, and
    the response schema every field; columns the server fills (see
    :class:`~quorvalen_core.rows.TableOptions`) are in neither body.  Each
    operation's settings are a :class:`RouterConfig` (or an object with its
    attributes), completed from the operation's defaults; the query's page
    sizes and bounds come from its ``limits``.
    """

    def __init__(
        self,
        *,
        model_class: type[Any],
        create_schema: type[Any] | None = None,
        update_schema: type[Any] | None = None,
        response_schema: type[Any] | None = None,
        create_router: Any = None,
        update_router: Any = None,
        read_router: Any = None,
        delete_router: Any = None,
        query_router: Any = None,
    ) -> None:
        given = {CREATE: create_router, UPDATE: update_router, READ: read_router, DELETE: delete_router, QUERY: query_router}
        for operation, config in given.items():
            if config is not None and not isinstance(config, RouterConfig) and not all(
                hasattr(config, name) for name in ("enabled", *MERGED_FIELDS)
            ):
                raise TypeError(f"{operation.parameter} must be a RouterConfig, not {type(config).__name__}")
        warn_shared_configs({operation.key: config for operation, config in given.items()}, stacklevel=4)
        self.configs: dict[Operation, RouterConfig] = {
            operation: effective_config(operation, config)
            for operation, config in given.items()
            if not is_switched_off(config)
        }
        query = self.configs.get(QUERY)
        self.rows = TableRows(
            model_class,
            response_schema=response_schema,
            limits=query.limits if query is not None else None,
            query_columns=query.query_columns if query is not None else None,
        )
        self.model_class = model_class
        self.table = self.rows.table
        # The table whose key the path of a row's endpoints names.
        self.keyed = self.table
        server_set = tuple(self.rows.server_set)
        key = self.table.key_names
        self.create_schema = create_schema or derive_create_schema(
            model_class, exclude=(*key, *server_set) if database_assigns_key(self.table) else server_set
        )
        self.update_schema = update_schema or derive_update_schema(model_class, exclude=(*key, *server_set))
        self.response_schema = self.rows.response_schema
        if DELETE in self.configs and self.rows.soft_deletes:
            self.configs[RESTORE] = self._derived_config(self.configs[DELETE], RESTORE, action=RESTORE.key)
        update_config = self.configs.get(UPDATE)
        if CREATE in self.configs and update_config is not None and update_config.upsert is not False:
            self.configs[UPSERT] = self._derived_config(update_config, UPSERT, action=UPSERT.key)
        for single, batch in BATCH_FORMS:
            config = self.configs.get(single)
            if config is not None and config.batch is not False:
                self.configs[batch] = self._derived_config(config, batch)
        for by_filter, by_keys in BY_KEYS_FORMS:
            config = self.configs.get(by_filter)
            if config is not None:
                # The action of the form by filter: one permission for both.
                self.configs[by_keys] = config.model_copy(update={"summary": by_keys.summary, "description": None})
        read_config = self.configs.get(READ)
        if read_config is not None and self.rows.history is not None:
            for history in (HISTORY, ROW_HISTORY):
                self.configs[history] = self._derived_config(read_config, history, action=ROW_HISTORY.key)
        rules = self.rows.rules
        for operation, config in self.configs.items():
            if rules is not None and rules.owner is not None and not config.auth:
                raise ValueError(
                    f"the {operation.key} operation of table {self.table.table_name!r} is public, but the table "
                    f"has an owner column ({rules.owner.name!r}): its row policy needs a caller; "
                    "guard the operation or switch it off"
                )

    @staticmethod
    def _derived_config(config: RouterConfig, derived: Operation, *, action: str | None = None) -> RouterConfig:
        """A derived route's settings: its operation's, with the action ``<action>_many`` (or ``action``), its message and summary."""
        return config.model_copy(
            update={
                "auth_act": action or f"{config.auth_act}_many",
                "message": derived.message,
                "summary": derived.summary,
                "description": None,
            }
        )

    # -- registration ---------------------------------------------------------

    def register(self, router: AuthRouter) -> AuthRouter:
        """Register the table's endpoints on ``router``; returns it."""
        builders: dict[Operation, Callable[[_Answers, RouterConfig, AuthRouter], Callable[..., Any]]] = {
            CREATE: self._create_endpoint,
            UPDATE: self._update_endpoint,
            READ: self._read_endpoint,
            DELETE: self._delete_endpoint,
            QUERY: self._query_endpoint,
            RESTORE: self._restore_endpoint,
            UPSERT: self._upsert_endpoint,
            CREATE_MANY: self._create_many_endpoint,
            UPDATE_MANY: self._update_many_endpoint,
            DELETE_MANY: self._delete_many_endpoint,
            UPDATE_BY_KEYS: self._update_by_keys_endpoint,
            DELETE_BY_KEYS: self._delete_by_keys_endpoint,
        }
        history = None
        if HISTORY in self.configs:
            from .history_endpoints import HistoryEndpoints

            history = HistoryEndpoints(self)
        operations = (
            *OPERATIONS,
            RESTORE,
            UPSERT,
            *(batch for _single, batch in BATCH_FORMS),
            *(by_keys for _by_filter, by_keys in BY_KEYS_FORMS),
            HISTORY,
            ROW_HISTORY,
        )
        served = [operation for operation in operations if operation in self.configs]
        self.rows.reserved_keys = frozenset(
            self._item_path(operation).lstrip("/") for operation in served if not operation.on_item and operation.suffix
        )
        methods: dict[str, set[str]] = {}
        for operation in served:
            methods.setdefault(self._item_path(operation), set()).add(operation.method)
        # Paths without parameters first, with the 405s of their other
        # methods: PUT {prefix}/{id} would take PUT {prefix}/batch.
        for with_parameters in (False, True):
            for operation in served:
                if ("{" in self._item_path(operation)) != with_parameters:
                    continue
                config = self.configs[operation]
                if history is not None and operation in (HISTORY, ROW_HISTORY):
                    history.register_history(router, operation, config)
                else:
                    self._register(router, operation, config, builders[operation])
            for path, allowed in methods.items():
                if ("{" in path) == with_parameters:
                    _answer_other_methods(router, path, allowed)
        router.models.append(self.model_class)
        if self.rows.history is not None:
            # Recorded whichever operations are served: its table is the table's.
            router.models.append(self.rows.history.model)
        return router

    def _row_actions(self, operation: Operation, config: RouterConfig) -> tuple[str, ...]:
        """The row permissions a route decides on, beyond its own."""
        act = config.auth_act or operation.key
        rules = self.rows.rules
        actions: list[str] = []
        if rules is not None and rules.owner is not None and operation not in (CREATE, CREATE_MANY):
            actions.append(every_row_action(act))
        if rules is not None and rules.deleted_at is not None and operation in (READ, QUERY):
            actions.append(deleted_rows_action(act))
        return tuple(actions)

    def _item_path(self, operation: Operation) -> str:
        if not operation.on_item:
            return operation.suffix
        path = "/" + "/".join(f"{{{name}}}" for name in self.table.key_names) if self.table.composite_key else "/{id}"
        return path + "/restore" if operation is RESTORE else path + operation.suffix

    def _register(
        self,
        router: AuthRouter,
        operation: Operation,
        config: RouterConfig,
        build: Callable[[_Answers, RouterConfig, AuthRouter], Callable[..., Any]],
    ) -> None:
        permission_object = config.auth_obj or router.auth_obj or self.table.table_name
        rules = self.rows.rules
        if operation in (READ, QUERY) and rules is not None and rules.owner is not None:
            reading_object = config.auth_obj if config.auth_obj is not None else router.auth_obj
            if reading_object and config.auth_act:
                record_every_row_read(self.table, reading_object, config.auth_act)
        message = config.message if config.message is not None else operation.message
        data_type, listed = self._answer_type(operation, self.response_schema)
        as_is = self.response_schema if hasattr(self.response_schema, "__mapper__") else None
        plain = _Responder(
            data_type, message, operation.status_code, self.table.table_name, tagged=self._tagged(operation), rows_as_is=as_is
        )
        included: _Responder | None = None
        includes = self.rows.includes
        if includes is not None and operation in (READ, QUERY):
            # Embedded items are built as the include schema's own instances:
            # its answer keeps that schema.
            included_type, listed = self._answer_type(operation, includes.response_schema, items_from_rows=False)
            included = _Responder(included_type, message, operation.status_code, self.table.table_name)
        documented: Any = (included or plain).envelope
        if listed is not None:
            # Items may hold only the fields a request names: documented so
            # (the answer's own envelope when the item schema serves both).
            documented = Envelope[Page[listed]]  # type: ignore[valid-type]
        router.add_guarded_route(
            self._item_path(operation),
            build(_Answers(plain, included), config, router),
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
        if operation in (CREATE_MANY, UPDATE_BY_KEYS):
            return list[schema], None  # type: ignore[valid-type]
        if operation in (UPDATE_MANY, DELETE_MANY, DELETE_BY_KEYS):
            return BatchCount, None
        if operation is not QUERY:
            return schema, None
        listed = chosen_fields_schema(schema, self.table.key_names)
        item = listed if items_from_rows and issubclass(listed, schema) else schema
        return Page[item], listed  # type: ignore[valid-type]

    def _tagged(self, operation: Operation) -> bool:
        """Whether the operation's answer is one row, with its ETag (not a hard delete's: that row is gone)."""
        return operation in (CREATE, READ, UPDATE, RESTORE, UPSERT) or (operation is DELETE and self.rows.soft_deletes)

    def _error_responses(self, operation: Operation) -> dict[int | str, dict[str, Any]]:
        responses: dict[int | str, dict[str, Any]] = {}
        if self._tagged(operation):
            responses[operation.status_code] = {"headers": ETAG_HEADER}
        if operation is READ:
            responses[304] = {"description": "The row's ETag is among those of If-None-Match: no body.", "headers": ETAG_HEADER}
        if operation.on_item or operation in (UPDATE_BY_KEYS, DELETE_BY_KEYS):
            responses[404] = error_response(404, NOT_FOUND)
        if operation is UPSERT:
            responses[201] = {"description": "The row was inserted.", "headers": ETAG_HEADER}
        if operation in (CREATE, UPDATE, DELETE, RESTORE, UPSERT, CREATE_MANY, UPDATE_MANY, DELETE_MANY, UPDATE_BY_KEYS, DELETE_BY_KEYS):
            responses[409] = error_response(409, CONFLICT)
        if operation in (UPDATE, DELETE, RESTORE, UPSERT):
            responses[412] = error_response(412, PreconditionFailed.default_detail)
            if self.rows.requires_if_match:
                responses[428] = error_response(428, PreconditionRequired.default_detail)
        if operation in (CREATE, UPDATE, UPSERT, CREATE_MANY, UPDATE_MANY, UPDATE_BY_KEYS, DELETE_BY_KEYS):
            responses[413] = error_response(413, "The body is larger than the application takes")
        responses[422] = error_response(422, "The request does not validate, or asks beyond a limit it names")
        responses[503] = error_response(503, UNAVAILABLE)
        return responses

    # -- what every endpoint does -------------------------------------------

    def _caller(self, config: RouterConfig, router: AuthRouter) -> Callable[[Request], RowAccess]:
        """How an endpoint finds its caller's row access: the guard's, else a public caller's."""
        includes = self.rows.includes
        public = RowAccess(None, None, config.auth_obj, config.auth_act)
        name = router.db_config_name

        def caller(request: Request) -> RowAccess:
            access: RowAccess | None = getattr(request.state, ROW_ACCESS_STATE_ATTR, None)
            if access is not None:
                return access
            if includes is None:
                return public
            # A public route embedding related rows: what public callers may
            # read is decided by the policies, loaded here in the worker thread.
            try:
                policies = context_of(request).auth.policies(name).snapshot
            except Exception as error:  # noqa: BLE001 - the caller is told to retry
                logger.warning("policies not loaded for table %s: %s", self.table.table_name, describe_database_error(error))
                raise http_error_of(DatabaseUnavailable()) from None
            return RowAccess(None, policies, config.auth_obj, config.auth_act)

        return caller

    @contextmanager
    def _serving(self, session: Session) -> Iterator[None]:
        """One request's work on ``session``: row errors answered, the session closed before the answer goes."""
        try:
            with self.rows.transaction(session):
                yield
        except RowError as error:
            raise http_error_of(error) from None
        finally:
            close_if_owned(session)

    def _finish(
        self, endpoint: Callable[..., Any], doc: str, router: AuthRouter, **parameters: tuple[Any, Any]
    ) -> Callable[..., Any]:
        """Give ``endpoint`` its documentation and the typed signature FastAPI reads its parameters from.

        Every endpoint takes the request and the router's database session.
        An endpoint on one row takes the row's key as ``id``: one value, or
        the tuple of a composite key's values, each its own path segment.
        """
        if "id" in parameters and self.keyed.composite_key:
            names = [f"key_{index}" for index in range(len(self.keyed.key))]
            single = endpoint

            def endpoint(**values: Any) -> Any:
                return single(id=tuple(values.pop(name) for name in names), **values)

            key_parameters = {
                name: self._key_parameter(column, alias=column.name) for name, column in zip(names, self.keyed.key)
            }
            del parameters["id"]
            parameters = {**key_parameters, **parameters}
        elif "id" in parameters:
            parameters["id"] = self._key_parameter(self.keyed.key[0])
        parameters["request"] = (Request, inspect.Parameter.empty)
        parameters["session"] = (Session, Depends(database_session_for(router.db_config_name)))
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

    def _view_parameters(self, operation: Operation) -> dict[str, tuple[Any, Any]]:
        """``deleted`` and ``include``, on the read and query of tables that have them."""
        from fastapi import Query

        parameters: dict[str, tuple[Any, Any]] = {}
        if operation not in (READ, QUERY):
            return parameters
        if self.rows.soft_deletes:
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
        if self.rows.includes is not None:
            parameters["include"] = include_parameter(self.rows.includes)
        return parameters

    def _precondition(self, respond: _Responder) -> Callable[[Session, Any, RowAccess, str | None], Any]:
        """The ``If-Match`` check of a write of one row with a body, run in the write's transaction before it.

        The row is read locked, so that of two writers holding the same tag
        exactly one writes and the other gets a 412.  The check returns the
        row it read (None without If-Match), which the write need not read again.
        (Delete and restore check the row their own statement locks.)
        """
        rows, tag_check = self.rows, self._tag_check

        def check_if_match(session: Session, key: Any, access: RowAccess, if_match: str | None) -> Any:
            check = tag_check(respond, if_match)
            if check is None:
                return None
            current = rows.find_for_write(session, key, access)
            check(current)
            return current

        return check_if_match

    def _tag_check(self, respond: _Responder, if_match: str | None) -> Precondition | None:
        """The check of a row against ``If-Match`` (None without it); PreconditionRequired where the table requires it."""
        if if_match is None:
            if self.rows.requires_if_match:
                raise PreconditionRequired()
            return None

        def check(current: Any) -> None:
            if not if_match_holds(if_match, respond.tag_of(current)):
                raise PreconditionFailed()

        return check

    # -- endpoints ------------------------------------------------------------

    def _create_endpoint(self, answers: _Answers, config: RouterConfig, router: AuthRouter) -> Callable[..., Any]:
        rows, serving, caller, respond = self.rows, self._serving, self._caller(config, router), answers.plain

        def create(*, body: Any, request: Request, session: Session) -> Response:
            access = caller(request)
            with serving(session):
                row = rows.insert(session, body.model_dump(), access)
                envelope = _commit_answer(session, respond, row)
            return respond.send(envelope)

        return self._finish(
            create,
            f"Create a {self.model_class.__name__} row.",
            router,
            body=(Annotated[self.create_schema, Body()], inspect.Parameter.empty),
        )

    def _read_endpoint(self, answers: _Answers, config: RouterConfig, router: AuthRouter) -> Callable[..., Any]:
        rows, serving, caller = self.rows, self._serving, self._caller(config, router)
        respond, respond_included = answers.plain, answers.included

        def read(
            *,
            id: Any,  # noqa: A002 - the path's name
            request: Request,
            session: Session,
            deleted: DeletedRows = DeletedRows.exclude,
            include: list[Any] | None = None,
            if_none_match: str | None = None,
        ) -> Response:
            access = caller(request)
            with serving(session):
                requested = rows.requested_includes(include, access)
                read_outside_transaction(session)
                row = rows.find(session, id, access, deleted=deleted, include=requested)
                if not requested:
                    answer = respond(row)
                    tag = answer.headers["ETag"]
                    if if_none_match is not None and not if_none_match_holds(if_none_match, tag):
                        return Response(status_code=status.HTTP_304_NOT_MODIFIED, headers={"ETag": tag})
                    return answer
                [item] = rows.embed(session, [row], requested, access)
                assert rows.includes is not None  # requested only where the table has includes
                left_out = rows.includes.left_out(requested)
                return respond_included(item, {"data": left_out} if left_out else None)

        return self._finish(
            read,
            f"Read one {self.model_class.__name__} row by primary key.",
            router,
            id=(Any, None),
            **self._view_parameters(READ),
            if_none_match=if_none_match_parameter(),
        )

    def _update_endpoint(self, answers: _Answers, config: RouterConfig, router: AuthRouter) -> Callable[..., Any]:
        rows, serving, caller, respond = self.rows, self._serving, self._caller(config, router), answers.plain
        check_if_match = self._precondition(respond)

        def update(
            *, id: Any, body: Any, request: Request, session: Session, if_match: str | None = None  # noqa: A002
        ) -> Response:
            access = caller(request)
            changes = body.model_dump(exclude_unset=True)
            with serving(session):
                current = check_if_match(session, id, access, if_match)
                row = rows.update(session, id, changes, access, current=current)
                if not rows.writable(changes):
                    return respond(row)
                envelope = _commit_answer(session, respond, row)
            return respond.send(envelope)

        return self._finish(
            update,
            f"Update a {self.model_class.__name__} row: fields not sent stay as they are.",
            router,
            id=(Any, None),
            body=(Annotated[self.update_schema, Body()], inspect.Parameter.empty),
            if_match=if_match_parameter(),
        )

    def _upsert_endpoint(self, answers: _Answers, config: RouterConfig, router: AuthRouter) -> Callable[..., Any]:
        rows, serving, caller, respond = self.rows, self._serving, self._caller(config, router), answers.plain
        check_if_match = self._precondition(respond)

        def upsert(
            *, id: Any, body: Any, request: Request, session: Session, if_match: str | None = None  # noqa: A002
        ) -> Response:
            access = caller(request)
            with serving(session):
                check_if_match(session, id, access, if_match)
                row, inserted = rows.upsert(session, id, body.model_dump(), access)
                envelope = _commit_answer(session, respond, row)
            response = respond.send(envelope)
            if inserted:
                response.status_code = status.HTTP_201_CREATED
            return response

        return self._finish(
            upsert,
            f"Insert a {self.model_class.__name__} row with this key, or write over the one there (201 when "
            "inserted). A row the caller may not change is a 409 and stays as it was.",
            router,
            id=(Any, None),
            body=(Annotated[self.create_schema, Body()], inspect.Parameter.empty),
            if_match=if_match_parameter(),
        )

    def _delete_endpoint(self, answers: _Answers, config: RouterConfig, router: AuthRouter) -> Callable[..., Any]:
        return self._row_write_endpoint(
            self.rows.delete,
            "delete",
            f"Delete a {self.model_class.__name__} row; returns it."
            + (" The row is marked deleted and can be restored." if self.rows.soft_deletes else ""),
            answers.plain,
            config,
            router,
        )

    def _restore_endpoint(self, answers: _Answers, config: RouterConfig, router: AuthRouter) -> Callable[..., Any]:
        return self._row_write_endpoint(
            self.rows.restore,
            "restore",
            f"Restore a deleted {self.model_class.__name__} row; returns it. 404 unless the row is deleted.",
            answers.plain,
            config,
            router,
        )

    def _row_write_endpoint(
        self,
        write: Callable[..., Any],
        name: str,
        doc: str,
        respond: _Responder,
        config: RouterConfig,
        router: AuthRouter,
    ) -> Callable[..., Any]:
        """An endpoint writing one row by key, with no body (delete, restore), checked against ``If-Match``."""
        serving, caller, tag_check = self._serving, self._caller(config, router), self._tag_check

        def endpoint(
            *, id: Any, request: Request, session: Session, if_match: str | None = None  # noqa: A002
        ) -> Response:
            access = caller(request)
            with serving(session):
                row = write(session, id, access, precondition=tag_check(respond, if_match))
                envelope = _commit_answer(session, respond, row)
            return respond.send(envelope)

        endpoint.__name__ = endpoint.__qualname__ = name
        return self._finish(endpoint, doc, router, id=(Any, None), if_match=if_match_parameter())

    def _query_endpoint(
        self,
        answers: _Answers,
        config: RouterConfig,
        router: AuthRouter,
        *,
        of_row: Callable[[Any], ColumnElement[bool]] | None = None,
    ) -> Callable[..., Any]:
        """The query; ``of_row``: the rows of one key only, the condition of the key the path names."""
        rows, serving, caller = self.rows, self._serving, self._caller(config, router)
        respond, respond_included = answers.plain, answers.included
        planner = rows.planner
        signature = {**query_parameters(planner), **self._view_parameters(QUERY)}
        # The names the parameters go by in the query string (aliases included).
        known_parameters = {getattr(default, "alias", None) or name for name, (_, default) in signature.items()}
        if of_row is not None:
            signature["id"] = (Any, None)

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
            request: Request,
            session: Session,
            deleted: DeletedRows = DeletedRows.exclude,
            include: list[Any] | None = None,
            id: Any = None,  # noqa: A002
        ) -> Response:
            access = caller(request)
            asked = QueryRequest(offset, limit, sort, filters, any_of, total, cursor, fields)
            with serving(session):
                planner.check_parameter_names(request.query_params.keys(), known_parameters)
                plan = rows.plan(asked, access, deleted=deleted, cursor_secret=context_of(request).cursor_secret())
                if of_row is not None:
                    plan.conditions.append(of_row(id))
                requested = rows.requested_includes(include, access)
                read_outside_transaction(session)
                page = rows.page(session, plan, access, include=requested)
                if not requested:
                    return respond(page, plan.exclude)
                assert rows.includes is not None  # requested only where the table has includes
                left_out = rows.includes.left_out(requested)
                return respond_included(page, _without_items_fields(plan.exclude, left_out))

        return self._finish(
            query,
            f"Query {self.model_class.__name__} rows: filters, sorting and one page of results.",
            router,
            **signature,
        )


# The methods a path of a table answers 405 to, with every method it takes in Allow.
_HTTP_METHODS = ("GET", "HEAD", "POST", "PUT", "PATCH", "DELETE", "OPTIONS")


def _answer_other_methods(router: AuthRouter, path: str, allowed: set[str]) -> None:
    """A 405 for every other method of ``path``, its ``Allow`` naming all the path takes.

    Without it the router answers with the first route matching the path
    alone, whose ``Allow`` names that route's one method.  A plain route:
    it reads nothing of the request, and FastAPI has no parameters, body
    or answers to build for it.
    """
    others = [method for method in _HTTP_METHODS if method not in allowed]
    allow = ", ".join(method for method in _HTTP_METHODS if method in allowed)
    answer = {"detail": "Method Not Allowed", "code": ERROR_CODES[status.HTTP_405_METHOD_NOT_ALLOWED]}

    async def method_not_allowed(request: Request) -> Response:
        return JSONResponse(answer, status_code=status.HTTP_405_METHOD_NOT_ALLOWED, headers={"Allow": allow})

    router.add_route(router.prefix + path, method_not_allowed, methods=others, include_in_schema=False)


def _without_items_fields(exclude: dict[str, Any] | None, names: set[str]) -> dict[str, Any] | None:
    """``exclude`` of a page, leaving ``names`` out of every item as well."""
    if not names:
        return exclude
    current: set[str] = set(exclude["data"]["items"]["__all__"]) if exclude else set()
    return {"data": {"items": {"__all__": current | names}}}


def _commit_answer(session: Session, respond: _Responder, row: Any) -> Envelope[Any]:
    """Commit the write and return ``row``'s answer, read before the commit.

    The answer's JSON is written by the caller after this returns, so the
    database's write lock is not held while it is serialised.
    """
    envelope = respond.envelope_of(row)
    if row in session:
        # Keep the row's values through the commit, which would otherwise
        # expire them: the envelope may hold the row itself (a response
        # schema that is the table model) and is serialised afterwards.
        session.expunge(row)
    session.commit()
    return envelope
