"""Route settings of one generated operation."""

from __future__ import annotations

from pydantic import BaseModel, ConfigDict


class RouterConfig(BaseModel):
    """Settings of one operation (create, update, read, delete or query).

    Every field is optional; ``None`` means "not set", so that the factory can
    fill it from the operation's defaults.  An operation is switched off only
    when ``enabled`` is ``False``.
    """

    model_config = ConfigDict(validate_assignment=True, extra="forbid")

    enabled: bool | None = None
    auth: bool | None = None
    auth_role: str | None = None
    auth_obj: str | None = None
    auth_act: str | None = None
    message: str | None = None
    summary: str | None = None
