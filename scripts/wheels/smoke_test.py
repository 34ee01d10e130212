"""Checks an installed wheel of the package in the environment that runs it.

    python -I smoke_test.py EXTENSION_SUFFIX

Run by the interpreter of a fresh virtual environment into which pip has
installed the wheel (and httpx for FastAPI's TestClient), from a folder
outside the repository, so that nothing but the installed package can be
imported:

* ``quorvalen_core.controller.table_controller`` is the native module, the
  file pip installed (listed in the distribution's RECORD) with the suffix
  given, not the stand-in source file beside it;
* ``AuthController.create`` publishes a small SQLModel table on an SQLite
  file in a temporary folder, and FastAPI's TestClient serves it: a create
  without a token is refused (401), a create with the token of a caller
  holding the table's role answers 201, and a public read of the new row
  gives it back.

Exits non-zero with the reason on any failure.
"""

from __future__ import annotations

import importlib.machinery
import importlib.metadata
import os
import secrets
import sys
import tempfile
from pathlib import Path


def check_native_module(suffix: str) -> str:
    from quorvalen_core.controller import table_controller

    path = Path(table_controller.__file__).resolve()
    assert isinstance(table_controller.__loader__, importlib.machinery.ExtensionFileLoader), (
        f"table_controller was loaded by {type(table_controller.__loader__).__name__} from {path}"
    )
    assert path.name == f"table_controller{suffix}", f"table_controller is {path.name}, not built for {suffix}"
    distribution = importlib.metadata.distribution("quorvalen_core")
    installed = {Path(str(distribution.locate_file(file))).resolve() for file in distribution.files or ()}
    assert path in installed, f"{path} is not among the files pip installed for quorvalen_core"
    installer = (distribution.read_text("INSTALLER") or "").strip()
    assert installer == "pip", f"quorvalen_core was installed by {installer or 'an unknown installer'}, not pip"
    return f"{path.name} from quorvalen_core {distribution.version}"


def serve_a_table() -> list[str]:
    from fastapi import FastAPI
    from fastapi.testclient import TestClient
    from sqlmodel import Field

    from quorvalen_core.auth import AuthService, AuthSettings, set_auth_service
    from quorvalen_core.controller.router_config import RouterConfig
    from quorvalen_core.controller.table_controller import AuthController
    from quorvalen_core.type.var import SQLModelCreate, SQLModelDB, SQLModelResponse

    class Parcel(SQLModelDB, table=True):
        id: int | None = Field(default=None, primary_key=True)
        label: str
        grams: int

    class ParcelCreate(SQLModelCreate):
        label: str
        grams: int

    class ParcelResponse(SQLModelResponse):
        id: int
        label: str
        grams: int

    router = AuthController.create(
        model_class=Parcel,
        create_schema=ParcelCreate,
        response_schema=ParcelResponse,
        schema_name="post",
        table_name="parcel",
        read_router=RouterConfig(auth=False),
    )
    router.create_tables()
    service = AuthService(settings=AuthSettings.from_env())
    set_auth_service(service)
    service.policies().assign_role("clerk", "post")
    token = service.create_access_token("clerk")
    app = FastAPI()
    app.include_router(router)

    parcel = {"label": "books", "grams": 1200}
    with TestClient(app) as client:
        refused = client.post("/v1/post/parcel", json=parcel)
        assert refused.status_code == 401, f"create without a token: {refused.status_code} {refused.text}"
        created = client.post("/v1/post/parcel", json=parcel, headers={"Authorization": f"Bearer {token}"})
        assert created.status_code == 201, f"create as clerk: {created.status_code} {created.text}"
        row = created.json()["data"]
        assert {k: row[k] for k in parcel} == parcel and isinstance(row["id"], int), f"created {row}"
        read = client.get(f"/v1/post/parcel/{row['id']}")
        assert read.status_code == 200, f"public read: {read.status_code} {read.text}"
        assert read.json()["data"] == row, f"read {read.json()['data']}, created {row}"
    return [
        "POST /v1/post/parcel without a token: 401",
        f"POST /v1/post/parcel as clerk: 201, id {row['id']}",
        f"GET /v1/post/parcel/{row['id']}: 200, the same row",
    ]


def main(argv: list[str]) -> int:
    if len(argv) != 1:
        print(f"usage: {sys.argv[0]} EXTENSION_SUFFIX", file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory(prefix="quorvalen-wheel-") as folder:
        os.chdir(folder)
        for name in [name for name in os.environ if name.startswith("QUORVALEN_")]:
            del os.environ[name]
        os.environ["QUORVALEN_DATABASE_URL"] = f"sqlite:///{Path(folder) / 'smoke.db'}"
        os.environ["QUORVALEN_AUTH_SECRET_KEY"] = secrets.token_urlsafe(32)
        try:
            lines = [check_native_module(argv[0]), *serve_a_table()]
        except AssertionError as exc:
            print(f"[wheels] smoke test failed under {sys.executable}: {exc}", file=sys.stderr)
            return 1
    for line in lines:
        print(f"[wheels] smoke: {line}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
