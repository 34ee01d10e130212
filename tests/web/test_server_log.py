"""The guard's decisions where a user who asks uvicorn for debug logs looks."""

from __future__ import annotations

import sys
from pathlib import Path

import httpx

from docs_support import environment, served

APP = """
from fastapi import FastAPI
from quorvalen_core.auth import AuthRouter

router = AuthRouter(prefix="/v1/reports", auth_role="sales")


@router.get("/summary")
def summary() -> dict[str, str]:
    return {"ok": "yes"}


app = FastAPI()
app.include_router(router)
"""


def test_uvicorn_at_debug_level_shows_the_decisions(tmp_path: Path) -> None:
    (tmp_path / "app.py").write_text(APP)
    env = environment(QUORVALEN_DATABASE_URL=f"sqlite:///{tmp_path / 'app.db'}",
                      QUORVALEN_AUTH_SECRET_KEY="server-log-key-0123456789abcdefghijklmn")
    from quorvalen_core.access.settings import AuthSettings
    from quorvalen_core.access.tokens import create_access_token

    token = create_access_token("zoe", AuthSettings(secret_key=env["QUORVALEN_AUTH_SECRET_KEY"]))
    with served([sys.executable, "-m", "uvicorn", "app:app", "--log-level", "debug"], tmp_path, env) as base:
        assert httpx.get(f"{base}/v1/reports/summary", headers={"Authorization": f"Bearer {token}"}).status_code == 403
    assert "decision: subject 'zoe', role 'sales' -> denied" in (tmp_path / "server.log").read_text()
