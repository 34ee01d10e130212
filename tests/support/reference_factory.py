"""``AuthController.create`` written in Python: the native module's steps in
the same order, with the same collaborator calls and the same reads and
assignments on route settings.  The benchmarks measure the native module
against it; the tests compare the two.

The collaborators are looked up as this module's globals at each use, as the
native module looks them up in its namespace; :func:`use_collaborators` binds
them.  The default texts and the merge rules are the package's own
(controller/operations.py).  Python binds the call itself, so the messages of
a call the signature refuses differ from the native module's, and a route
settings object without ``enabled`` counts as switched on here.
"""

from __future__ import annotations

from typing import Any, Optional

from native_support import COLLABORATORS, operation_table

is_switched_off = operation_table.is_switched_off
MERGED_FIELDS = operation_table.MERGED_FIELDS
# (message, summary, action) of the operations, in the order they are handled.
DEFAULTS = tuple((operation.message, operation.summary, operation.key) for operation in operation_table.OPERATIONS)

AuthRouter: Any = None
RouterConfig: Any = None
GenericController: Any = None


def use_collaborators(source: Any) -> None:
    """Binds the three collaborator names to the attributes of ``source``."""
    for name in COLLABORATORS:
        globals()[name] = getattr(source, name)


def _check(name: str, value: Any, expected: type) -> None:
    if value is not None and type(value) is not expected:
        raise TypeError(
            f"Argument '{name}' has incorrect type (expected {expected.__name__}, got {type(value).__name__})"
        )


def _apply_route_config(router: Any, default_router: Any) -> Any:
    if router is None:
        return default_router
    if is_switched_off(router):
        return router
    for name in MERGED_FIELDS:
        source = default_router if getattr(router, name) is None else router
        setattr(router, name, getattr(source, name))
    return router


class ReferenceAuthController:
    @classmethod
    def create(
        cls,
        *,
        model_class: Any,
        create_schema: Any = None,
        update_schema: Any = None,
        response_schema: Any,
        create_router: Any = None,
        update_router: Any = None,
        read_router: Any = None,
        delete_router: Any = None,
        query_router: Any = None,
        prefix: Optional[str] = None,
        schema_name: Optional[str] = None,
        table_name: Optional[str] = None,
        tags: Optional[list] = None,
        default_role: Optional[str] = None,
        auth_role: Optional[str] = None,
        auth_obj: Optional[str] = None,
        auth_act: Optional[str] = None,
        db_config_name: Optional[str] = None,
    ) -> Any:
        _check("prefix", prefix, str)
        _check("schema_name", schema_name, str)
        _check("table_name", table_name, str)
        _check("tags", tags, list)
        _check("default_role", default_role, str)
        _check("auth_role", auth_role, str)
        _check("auth_obj", auth_obj, str)
        _check("auth_act", auth_act, str)
        _check("db_config_name", db_config_name, str)

        _schema_name1 = f"{schema_name}/" if schema_name else ""
        _schema_name2 = f"{schema_name}." if schema_name else ""
        _prefix = prefix if prefix else f"/v1/{_schema_name1}{table_name}"
        _tag = tags if tags else [f"{_schema_name2}table"]
        _default_role = default_role if default_role else schema_name
        _auth_obj = auth_obj if auth_obj else f"{_schema_name2}{table_name}"
        auth_router = AuthRouter(
            prefix=_prefix,
            tags=_tag,
            db_config_name=db_config_name,
            default_role=_default_role,
            auth_role=auth_role,
            auth_obj=_auth_obj,
            auth_act=auth_act,
        )
        routers = []
        for router, (message, summary, action) in zip(
            (create_router, update_router, read_router, delete_router, query_router), DEFAULTS
        ):
            default_router = RouterConfig(
                enabled=True, message=message, summary=summary, auth=True, auth_role=None, auth_obj=None, auth_act=action
            )
            routers.append(_apply_route_config(router, default_router))
        GenericController(
            auth_router=auth_router,
            model_class=model_class,
            create_schema=create_schema,
            update_schema=update_schema,
            response_schema=response_schema,
            create_router=routers[0],
            update_router=routers[1],
            read_router=routers[2],
            delete_router=routers[3],
            query_router=routers[4],
        )
        return auth_router
