"""The five table operations: their HTTP shape, their default route settings
and the rules by which a route's settings meet those defaults.

Imports only the standard library at load time (``RouterConfig`` where a
settings object is made), so that the table can be read without the web
stack: the native module's tests compare its constants with it on a bare
interpreter.
"""

from __future__ import annotations

import re
import warnings
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .router_config import RouterConfig

# The settings that a route takes from its operation's defaults where the
# caller left them unset (None), in the order the factory lays them over
# the defaults.
MERGED_FIELDS: tuple[str, ...] = ("auth", "auth_role", "auth_obj", "auth_act", "message", "summary")


@dataclass(frozen=True)
class Operation:
    """One operation of a table's REST API."""

    key: str
    method: str
    on_item: bool
    status_code: int
    message: str
    summary: str
    # The path after the table's prefix, for operations on no single row.
    suffix: str = ""

    @property
    def parameter(self) -> str:
        """The keyword of ``AuthController.create`` (and attribute of the
        controller) that holds this operation's settings."""
        return f"{self.key}_router"

    def default_settings(self) -> dict[str, Any]:
        """Settings of this operation when the application gives none, in the
        order the factory passes them to ``RouterConfig``."""
        return {
            "enabled": True,
            "message": self.message,
            "summary": self.summary,
            "auth": True,
            "auth_role": None,
            "auth_obj": None,
            "auth_act": self.key,
        }

    def default_config(self) -> RouterConfig:
        """:meth:`default_settings` as a settings object."""
        from .router_config import RouterConfig

        return RouterConfig(**self.default_settings())


CREATE = Operation("create", "POST", False, 201, "创建成功", "create - 创建")
UPDATE = Operation("update", "PATCH", True, 200, "更新成功", "update - 更新")
READ = Operation("read", "GET", True, 200, "获取成功", "read - 读取 ")
DELETE = Operation("delete", "DELETE", True, 200, "删除成功", "delete - 删除")
QUERY = Operation("query", "GET", False, 200, "查询成功", "query - 查询")

OPERATIONS: tuple[Operation, ...] = (CREATE, UPDATE, READ, DELETE, QUERY)

# Only on tables that delete softly (``POST {prefix}/{id}/restore``), with
# the delete operation's settings but its own action, message and summary.
RESTORE = Operation("restore", "POST", True, 200, "恢复成功", "restore - 恢复")

# Insert or write over one row by key (``PUT {prefix}/{id}``): on while create
# and update are, unless the update's settings say upsert=False; the update's
# settings with the action ``upsert``.
UPSERT = Operation("upsert", "PUT", True, 200, "保存成功", "upsert - 保存")

# The batch forms of create, update and delete: on while their operation is,
# unless its settings say batch=False; the operation's settings with an
# action of their own (``<action>_many``), message and summary.
CREATE_MANY = Operation("create_many", "POST", False, 201, "批量创建成功", "create_many - 批量创建", "/batch")
UPDATE_MANY = Operation("update_many", "PATCH", False, 200, "批量更新成功", "update_many - 批量更新")
DELETE_MANY = Operation("delete_many", "DELETE", False, 200, "批量删除成功", "delete_many - 批量删除")
# On tables that keep a history (``TableOptions(history=True)``): the changes
# of one row (``GET {prefix}/{id}/history``) and a query over the table's
# (``GET {prefix}/history``), with the read operation's settings and the
# action ``history``.
ROW_HISTORY = Operation("history", "GET", True, 200, "获取成功", "history - 历史", "/history")
HISTORY = Operation("history_query", "GET", False, 200, "查询成功", "history - 历史查询", "/history")
BATCH_FORMS: tuple[tuple[Operation, Operation], ...] = ((CREATE, CREATE_MANY), (UPDATE, UPDATE_MANY), (DELETE, DELETE_MANY))
# The update and delete of rows named by key, each its own (``PATCH`` and
# ``DELETE {prefix}/batch`` with an array): with the settings and action of
# the update_many and delete_many.
UPDATE_BY_KEYS = Operation("update_many_by_key", "PATCH", False, 200, "批量更新成功", "update_many - 批量更新（按主键）", "/batch")
DELETE_BY_KEYS = Operation("delete_many_by_key", "DELETE", False, 200, "批量删除成功", "delete_many - 批量删除（按主键）", "/batch")
BY_KEYS_FORMS: tuple[tuple[Operation, Operation], ...] = ((UPDATE_MANY, UPDATE_BY_KEYS), (DELETE_MANY, DELETE_BY_KEYS))


def is_switched_off(config: Any) -> bool:
    """An operation is off only when its settings say ``enabled`` is False."""
    return config is not None and getattr(config, "enabled", None) is False


def effective_config(operation: Operation, config: Any) -> RouterConfig:
    """The settings a route is registered with, as a :class:`RouterConfig`: where settings enter.

    Settings that arrive merged (as from ``AuthController.create``) are used
    as they are.  Unset fields, as an application constructing the endpoints
    itself may leave them, are completed from the operation's defaults on a
    copy, so the caller's object stays as it was given.  An object of
    another class (the native factory accepts any with the settings'
    attributes) is read attribute by attribute into a new one.
    """
    from .router_config import RouterConfig

    if config is None:
        return operation.default_config()
    defaults = operation.default_settings()
    missing = {
        name: defaults[name]
        for name in MERGED_FIELDS
        if defaults[name] is not None and getattr(config, name, None) is None
    }
    if isinstance(config, RouterConfig):
        return config.model_copy(update=missing) if missing else config
    values = {name: getattr(config, name, None) for name in RouterConfig.model_fields}
    values.update(missing)
    return RouterConfig(**values)


def operation_id(permission_object: str, operation: Operation) -> str:
    """A stable OpenAPI operation id: permission object and operation key.

    Characters that code generators reject in identifiers become ``_``.
    """
    return re.sub(r"[^0-9A-Za-z_]", "_", f"{permission_object}_{operation.key}")


def warn_shared_configs(configs: dict[str, Any], *, stacklevel: int = 3) -> None:
    """Warn once when one settings object serves more than one operation.

    The factory merges each operation's defaults into the caller's object in
    place, so the first operation's action, message and summary fill it and
    every later operation sharing the object inherits them.
    """
    by_identity: dict[int, list[str]] = {}
    for key, config in configs.items():
        # One "switched off" object for several operations is harmless.
        if config is not None and not is_switched_off(config):
            by_identity.setdefault(id(config), []).append(key)
    shared = [keys for keys in by_identity.values() if len(keys) > 1]
    if not shared:
        return
    described = "; ".join(
        f"operations {', '.join(repr(k) for k in keys)} share one RouterConfig object"
        f" and all use the merged action, message and summary of {keys[0]!r}"
        for keys in shared
    )
    warnings.warn(
        f"{described}. Pass a separate RouterConfig for each operation.",
        UserWarning,
        stacklevel=stacklevel,
    )
