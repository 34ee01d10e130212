"""What a caller sees after importing the module: namespace, class and ``create``."""

from __future__ import annotations

import builtins
import gc
import inspect
import sys
import types
import typing
from types import ModuleType
from typing import Any

from native_support import FULL_NAME, NATIVE_FILE, PACKAGE, ROUTER_PARAMETERS, Collaborators, library_file_name, router_keywords

ROUTERS = list(ROUTER_PARAMETERS)
TEXT_PARAMETERS = ["prefix", "schema_name", "table_name", "tags", "default_role", "auth_role", "auth_obj", "auth_act",
                   "db_config_name"]
ANNOTATIONS = [("model_class", "Type[SQLModelDB]"), ("create_schema", "Type[SQLModelCreate]"),
               ("update_schema", "Type[SQLModelUpdate]"), ("response_schema", "Type[SQLModelResponse]")]
ANNOTATIONS += [(name, "RouterConfig") for name in ROUTERS]
ANNOTATIONS += [(name, "Optional[list]" if name == "tags" else "Optional[str]") for name in TEXT_PARAMETERS]
KEYWORD_ONLY = [name for name, _ in ANNOTATIONS]
REQUIRED = ("model_class", "response_schema")

CLASS_DOC = "\n".join(
    [
        "认证控制器工厂类。",
        "",
        "    该类提供一个统一的工厂方法 `create`，用于快速生成带有权限控制（RBAC/ABAC）的 Restful API 控制器。",
        "    它基于通用控制器 `GenericController` 封装，并结合 `AuthRouter` 实现路由注册与权限校验逻辑。",
        "    支持对创建、读取、更新、删除、查询等操作分别配置路由行为与权限策略。",
        "",
        "    适用于需要对数据库模型（SQLModel）快速暴露带权限验证接口的场景。",
        "    ",
    ]
)

CREATE_DOC = "\n".join(
    [
        "",
        "        创建一个带权限控制的控制器实例，并注册对应路由。",
        "",
        "        该方法通过组合 `AuthRouter` 与 `GenericController`，为指定的数据模型自动生成标准",
        "        CRUD+Q（查询）接口，并集成权限中间件。所有接口默认启用认证与授权，",
        "        可通过 `RouterConfig` 精细控制各操作的行为。",
        "",
        "        Args:",
        "            model_class (Type[SQLModelDB]): 对应数据库表的 SQLModel 模型类（需继承自 SQLModelDB）。",
        "            create_schema (Type[SQLModelCreate], optional): 创建数据时使用的 Pydantic 输入模型。",
        "            update_schema (Type[SQLModelUpdate], optional): 更新数据时使用的 Pydantic 输入模型。",
        "            response_schema (Type[SQLModelResponse]): 接口返回时使用的 Pydantic 输出模型。",
        "            create_router (RouterConfig, optional): 创建操作的路由配置。若为 None，则使用默认配置。",
        "            update_router (RouterConfig, optional): 更新操作的路由配置。若为 None，则使用默认配置。",
        "            read_router (RouterConfig, optional): 单条读取操作的路由配置。若为 None，则使用默认配置。",
        "            delete_router (RouterConfig, optional): 删除操作的路由配置。若为 None，则使用默认配置。",
        "            query_router (RouterConfig, optional): 列表查询操作的路由配置。若为 None，则使用默认配置。",
        "            prefix (str, optional): API 路由前缀。若未指定，将自动生成为 ``/v1/{schema_name}/{table_name}``。",
        '            schema_name (str, optional): 逻辑模块名（如 "user", "order"），用于生成默认权限角色、对象名及标签。',
        "            table_name (str, optional): 数据表名（或资源名），用于生成路由前缀和权限对象标识。",
        '            tags (List[str], optional): OpenAPI 文档中的标签，用于分组接口。默认为 ``["{schema_name}.table"]``。',
        "            default_role (str, optional): 默认角色名，用于角色定义并关联对象动作。默认为 ``schema_name``。",
        "            auth_role (str, optional): 特定角色访问授权校验时使用的角色标识。默认为 None。",
        "            auth_obj (str, optional): 权限校验时的操作对象（资源）标识。默认为 ``{schema_name}.{table_name}``。",
        '            auth_act (str, optional): 全局默认的操作动作（如 "read"），但通常由各 RouterConfig 覆盖。',
        "            db_config_name (str, optional): 指定使用的数据库配置名称。",
        "",
        "        Returns:",
        "            AuthRouter: 已配置并注册了所有操作路由的认证路由器实例，可用于挂载到 FastAPI 应用。",
        "",
        "        Note:",
        "            - 各 ``RouterConfig`` 实例若未显式设置 ``enabled=False``，则对应接口将被启用。",
        "            - 权限字段（如 ``auth_role``, ``auth_obj``, ``auth_act``）支持在全局和单个路由级别分别配置，",
        "              路由级别配置优先。",
        "            - 自动生成的权限标识遵循 ``{schema}.{resource}`` 命名规范，便于 RBAC/ABAC 策略管理。",
        "        ",
    ]
)


SIBLING_NAMES = {"controller.generic_controller": ["GenericController"], "controller.router_config": ["RouterConfig"],
                 "auth.auth_router": ["AuthRouter"], "type.var": [f"SQLModel{n}" for n in ("DB", "Create", "Update", "Response")]}


def test_module_namespace(tc: ModuleType, native_extension: Any) -> None:
    # The binding order is checked on a fresh import (test_native_import): tests
    # here delete and restore attributes, which moves them to the end.
    names = [n for names in SIBLING_NAMES.values() for n in names]
    assert {n for n in vars(tc) if not n.startswith("__")} == {"Type", "Optional", "AuthController", *names}
    assert tc.__builtins__ is builtins and tc.Type is typing.Type and tc.Optional is typing.Optional
    for module, names in SIBLING_NAMES.items():
        assert all(getattr(tc, name) is getattr(sys.modules[f"{PACKAGE}.{module}"], name) for name in names)
    assert (tc.__name__, tc.__doc__, tc.__package__) == (FULL_NAME, None, f"{PACKAGE}.controller")
    assert tc.__file__ == tc.__spec__.origin
    assert tc.__file__.endswith("/controller/" + library_file_name(native_extension))
    assert tc.__loader__ is tc.__spec__.loader and not hasattr(tc, "__path__")


def test_class_is_made_like_a_three_argument_type_call(AC: type, create_function: Any) -> None:
    namespace = {"__module__": "table_controller", "__qualname__": "AuthController", "__doc__": CLASS_DOC,
                 "create": classmethod(create_function)}
    reference = type("AuthController", (), namespace)
    assert type(AC) is type and AC.__bases__ == (object,) and AC.__mro__ == (AC, object)
    assert AC.__name__ == AC.__qualname__ == "AuthController" and AC.__module__ == "table_controller"
    assert list(AC.__dict__) == list(reference.__dict__)
    assert AC.__doc__.encode() == CLASS_DOC.encode()
    assert vars(AC()) == {}
    assert type(AC.__dict__["create"]) is classmethod
    for bound in (AC.create, AC().create):
        assert isinstance(bound, types.MethodType) and bound.__self__ is AC and bound.__func__ is create_function


def test_create_function_attributes(tc: ModuleType, AC: type, create_function: Any) -> None:
    assert (create_function.__name__, create_function.__qualname__, create_function.__module__) == ("create", "AuthController.create", "table_controller")
    assert create_function.__doc__.encode() == AC.create.__doc__.encode() == CREATE_DOC.encode()
    assert create_function.__defaults__ is None
    assert type(create_function.__kwdefaults__) is dict
    assert list(create_function.__kwdefaults__.items()) == [(n, None) for n in KEYWORD_ONLY if n not in REQUIRED]
    assert type(create_function.__annotations__) is dict and list(create_function.__annotations__.items()) == ANNOTATIONS
    assert all(type(v) is str for v in create_function.__annotations__.values())
    assert create_function.__globals__ is vars(tc) and create_function.__closure__ is None
    assert type(create_function.__dict__) is dict and create_function.__dict__ == {}
    code = create_function.__code__
    assert isinstance(code, types.CodeType)
    assert (code.co_name, code.co_qualname, code.co_filename) == ("create", "create", NATIVE_FILE)
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (1, 0, 18)
    assert code.co_varnames[:19] == ("cls", *KEYWORD_ONLY)
    assert not code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS)
    # The function takes part in garbage collection.
    assert gc.is_tracked(create_function)
    referents = gc.get_referents(create_function)
    assert any(r is create_function.__globals__ for r in referents) and any(r is create_function.__dict__ for r in referents)


def test_signature_and_type_hints(tc: ModuleType, AC: type, create_function: Any) -> None:
    empty = inspect.Parameter.empty
    keyword_only = [inspect.Parameter(name, inspect.Parameter.KEYWORD_ONLY, default=empty if name in REQUIRED else None,
                                      annotation=annotation) for name, annotation in ANNOTATIONS]
    cls = inspect.Parameter("cls", inspect.Parameter.POSITIONAL_OR_KEYWORD)
    assert inspect.signature(create_function) == inspect.Signature([cls] + keyword_only)
    assert inspect.signature(AC.create) == inspect.Signature(keyword_only)
    hints = typing.get_type_hints(create_function)
    models = (tc.SQLModelDB, tc.SQLModelCreate, tc.SQLModelUpdate, tc.SQLModelResponse)
    texts = [list if name == "tags" else str for name in TEXT_PARAMETERS]
    types_of = [typing.Type[m] for m in models] + [tc.RouterConfig] * 5 + [typing.Optional[t] for t in texts]
    assert list(hints.items()) == list(zip(KEYWORD_ONLY, types_of))
    assert all(hints[name] is tc.RouterConfig for name in ROUTERS)


def test_assigned_kwdefaults_do_not_change_calls(create_function: Any, collab: Collaborators) -> None:
    original = create_function.__kwdefaults__
    replacement = {name: "/changed" for name in original}
    create_function.__kwdefaults__ = replacement
    try:
        assert create_function.__kwdefaults__ is replacement
        create_function(object, model_class=1, response_schema=2, schema_name="s", table_name="t")
    finally:
        create_function.__kwdefaults__ = original
    assert collab.calls("AuthRouter")[0][3] == router_keywords("s", "/v1/s/t", "s.table", "s.t")
    assert collab.calls("GenericController")[0][3][2] == ("create_schema", None)
