"""Named databases shared by the routers and controllers of an application."""

from .registry import (
    DEFAULT_DATABASE_URL,
    DatabaseConfigurationError,
    DatabaseRegistry,
    UnknownDatabaseError,
    database_url_env_var,
    describe_url,
    get_database_registry,
    set_database_registry,
)

__all__ = [
    "DEFAULT_DATABASE_URL",
    "DatabaseConfigurationError",
    "DatabaseRegistry",
    "UnknownDatabaseError",
    "database_url_env_var",
    "describe_url",
    "get_database_registry",
    "set_database_registry",
]
