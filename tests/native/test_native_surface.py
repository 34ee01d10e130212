"""What a caller sees after importing the module: namespace, class and ``create``."""

from __future__ import annotations

import builtins
import gc
import inspect
import types
import typing
from types import ModuleType

import pytest

from native_support import FULL_NAME, NATIVE_FILE, PACKAGE, Collaborators, library_file_name

KEYWORD_ONLY = (
    "model_class",
    "create_schema",
    "update_schema",
    "response_schema",
    "create_router",
    "update_router",
    "read_router",
    "delete_router",
    "query_router",
    "prefix",
    "schema_name",
    "table_name",
    "tags",
    "default_role",
    "auth_role",
    "auth_obj",
    "auth_act",
    "db_config_name",
)
REQUIRED = ("model_class", "response_schema")

ANNOTATIONS = [
    ("model_class", "Type[SQLModelDB]"),
    ("create_schema", "Type[SQLModelCreate]"),
    ("update_schema", "Type[SQLModelUpdate]"),
    ("response_schema", "Type[SQLModelResponse]"),
    ("create_router", "RouterConfig"),
    ("update_router", "RouterConfig"),
    ("read_router", "RouterConfig"),
    ("delete_router", "RouterConfig"),
    ("query_router", "RouterConfig"),
    ("prefix", "Optional[str]"),
    ("schema_name", "Optional[str]"),
    ("table_name", "Optional[str]"),
    ("tags", "Optional[list]"),
    ("default_role", "Optional[str]"),
    ("auth_role", "Optional[str]"),
    ("auth_obj", "Optional[str]"),
    ("auth_act", "Optional[str]"),
    ("db_config_name", "Optional[str]"),
]

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

BOUND_NAMES = [
    "__builtins__",
    "Type",
    "Optional",
    "GenericController",
    "RouterConfig",
    "AuthRouter",
    "SQLModelDB",
    "SQLModelCreate",
    "SQLModelUpdate",
    "SQLModelResponse",
    "AuthController",
]


@pytest.fixture(scope="module")
def func(AC: type) -> types.FunctionType:
    return AC.__dict__["create"].__func__


class TestModuleNamespace:
    def test_only_the_imported_names_and_the_class_are_bound(self, tc: ModuleType) -> None:
        # The binding order is checked on a fresh import (test_native_import): tests
        # here delete and restore attributes, which moves them to the end.
        assert {n for n in vars(tc) if not n.startswith("__")} == set(BOUND_NAMES[1:])

    def test_bound_objects_come_from_their_modules(self, tc: ModuleType) -> None:
        import sys

        var = sys.modules[f"{PACKAGE}.type.var"]
        assert tc.__builtins__ is builtins
        assert tc.Type is typing.Type and tc.Optional is typing.Optional
        assert tc.GenericController is sys.modules[f"{PACKAGE}.controller.generic_controller"].GenericController
        assert tc.RouterConfig is sys.modules[f"{PACKAGE}.controller.router_config"].RouterConfig
        assert tc.AuthRouter is sys.modules[f"{PACKAGE}.auth.auth_router"].AuthRouter
        for name in ("SQLModelDB", "SQLModelCreate", "SQLModelUpdate", "SQLModelResponse"):
            assert getattr(tc, name) is getattr(var, name)

    def test_module_attributes_follow_the_module_spec_object(self, tc: ModuleType, native_extension) -> None:
        assert tc.__name__ == FULL_NAME
        assert tc.__doc__ is None
        assert tc.__package__ == f"{PACKAGE}.controller"
        assert tc.__file__ == tc.__spec__.origin
        assert tc.__file__.endswith("/controller/" + library_file_name(native_extension))
        assert tc.__loader__ is tc.__spec__.loader
        assert not hasattr(tc, "__path__")


class TestAuthController:
    def test_class_is_made_like_a_three_argument_type_call(self, AC: type, func) -> None:
        reference = type(
            "AuthController",
            (),
            {
                "__module__": "table_controller",
                "__qualname__": "AuthController",
                "__doc__": CLASS_DOC,
                "create": classmethod(func),
            },
        )
        assert type(AC) is type
        assert AC.__bases__ == (object,)
        assert AC.__mro__ == (AC, object)
        assert AC.__name__ == AC.__qualname__ == "AuthController"
        assert AC.__module__ == "table_controller"
        assert list(AC.__dict__) == list(reference.__dict__)

    def test_docstring_byte_for_byte(self, AC: type) -> None:
        assert AC.__doc__ == CLASS_DOC
        assert AC.__doc__.encode() == CLASS_DOC.encode()

    def test_instances_have_no_own_attributes(self, AC: type) -> None:
        instance = AC()
        assert vars(instance) == {}
        assert "__init__" not in AC.__dict__

    def test_create_is_a_classmethod(self, AC: type, func) -> None:
        entry = AC.__dict__["create"]
        assert type(entry) is classmethod
        for bound, owner in ((AC.create, AC), (AC().create, AC)):
            assert isinstance(bound, types.MethodType)
            assert bound.__self__ is owner
            assert bound.__func__ is func


class TestCreateFunction:
    def test_names_and_module(self, func) -> None:
        assert func.__name__ == "create"
        assert func.__qualname__ == "AuthController.create"
        assert func.__module__ == "table_controller"

    def test_docstring_byte_for_byte(self, AC: type, func) -> None:
        assert func.__doc__ == CREATE_DOC
        assert AC.create.__doc__.encode() == CREATE_DOC.encode()

    def test_defaults(self, func) -> None:
        assert func.__defaults__ is None
        kwdefaults = func.__kwdefaults__
        assert type(kwdefaults) is dict
        assert list(kwdefaults.items()) == [(n, None) for n in KEYWORD_ONLY if n not in REQUIRED]

    def test_annotations_are_source_strings_in_order(self, func) -> None:
        annotations = func.__annotations__
        assert type(annotations) is dict
        assert list(annotations.items()) == ANNOTATIONS
        assert all(type(v) is str for v in annotations.values())
        assert "return" not in annotations

    def test_function_attributes(self, tc: ModuleType, func) -> None:
        assert func.__globals__ is vars(tc)
        assert func.__closure__ is None
        assert type(func.__dict__) is dict and func.__dict__ == {}

    def test_code_object(self, func) -> None:
        code = func.__code__
        assert isinstance(code, types.CodeType)
        assert code.co_name == "create"
        assert code.co_qualname == "create"
        assert code.co_filename == NATIVE_FILE
        assert code.co_argcount == 1
        assert code.co_posonlyargcount == 0
        assert code.co_kwonlyargcount == 18
        assert code.co_varnames[:19] == ("cls",) + KEYWORD_ONLY
        assert not code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS)

    def test_signature(self, AC: type, func) -> None:
        keyword_only = [
            inspect.Parameter(
                name,
                inspect.Parameter.KEYWORD_ONLY,
                default=inspect.Parameter.empty if name in REQUIRED else None,
                annotation=annotation,
            )
            for name, annotation in ANNOTATIONS
        ]
        cls = inspect.Parameter("cls", inspect.Parameter.POSITIONAL_OR_KEYWORD)
        assert inspect.signature(func) == inspect.Signature([cls] + keyword_only)
        assert inspect.signature(AC.create) == inspect.Signature(keyword_only)

    def test_annotations_evaluate_in_the_module_namespace(self, tc: ModuleType, func) -> None:
        hints = typing.get_type_hints(func)
        assert list(hints) == [name for name, _ in ANNOTATIONS]
        assert hints["model_class"] == typing.Type[tc.SQLModelDB]
        assert hints["create_schema"] == typing.Type[tc.SQLModelCreate]
        assert hints["update_schema"] == typing.Type[tc.SQLModelUpdate]
        assert hints["response_schema"] == typing.Type[tc.SQLModelResponse]
        for name in ("create_router", "update_router", "read_router", "delete_router", "query_router"):
            assert hints[name] is tc.RouterConfig
        assert hints["tags"] == typing.Optional[list]
        for name in ("prefix", "schema_name", "table_name", "default_role", "auth_role", "auth_obj", "auth_act", "db_config_name"):
            assert hints[name] == typing.Optional[str]

    def test_function_takes_part_in_garbage_collection(self, func) -> None:
        assert gc.is_tracked(func)
        referents = gc.get_referents(func)
        assert any(r is func.__globals__ for r in referents)
        assert any(r is func.__dict__ for r in referents)

    def test_assigned_kwdefaults_do_not_change_calls(self, func, collab: Collaborators) -> None:
        original = func.__kwdefaults__
        replacement = {name: "/changed" for name in original}
        func.__kwdefaults__ = replacement
        try:
            assert func.__kwdefaults__ is replacement
            func(object, model_class=1, response_schema=2, schema_name="s", table_name="t")
        finally:
            func.__kwdefaults__ = original
        (call,) = collab.calls("AuthRouter")
        assert call[3] == [
            ("prefix", "/v1/s/t"),
            ("tags", ["s.table"]),
            ("db_config_name", None),
            ("default_role", "s"),
            ("auth_role", None),
            ("auth_obj", "s.t"),
            ("auth_act", None),
        ]
        assert collab.calls("GenericController")[0][3][2] == ("create_schema", None)
