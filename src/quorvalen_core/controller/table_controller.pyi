from typing import Optional, Type

from ..auth.auth_router import AuthRouter
from ..type.var import SQLModelCreate, SQLModelDB, SQLModelResponse, SQLModelUpdate
from .generic_controller import GenericController as GenericController
from .router_config import RouterConfig

class AuthController:
    @classmethod
    def create(
        cls,
        *,
        model_class: Type[SQLModelDB],
        create_schema: Optional[Type[SQLModelCreate]] = None,
        update_schema: Optional[Type[SQLModelUpdate]] = None,
        response_schema: Type[SQLModelResponse],
        create_router: Optional[RouterConfig] = None,
        update_router: Optional[RouterConfig] = None,
        read_router: Optional[RouterConfig] = None,
        delete_router: Optional[RouterConfig] = None,
        query_router: Optional[RouterConfig] = None,
        prefix: Optional[str] = None,
        schema_name: Optional[str] = None,
        table_name: Optional[str] = None,
        tags: Optional[list[str]] = None,
        default_role: Optional[str] = None,
        auth_role: Optional[str] = None,
        auth_obj: Optional[str] = None,
        auth_act: Optional[str] = None,
        db_config_name: Optional[str] = None,
    ) -> AuthRouter: ...
