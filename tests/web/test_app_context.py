"""Applications of one process, each with its own databases and keys, and the endpoints' session replaced."""

from __future__ import annotations

from collections.abc import Iterator
from pathlib import Path

from fastapi import FastAPI
from fastapi.testclient import TestClient
from sqlmodel import Session, SQLModel

from attack_support import Account, AccountResponse
from quorvalen_core.access.settings import AuthSettings
from quorvalen_core.controller.table_controller import AuthController
from quorvalen_core.db import DatabaseRegistry
from quorvalen_core.web import AppContext, database_session, use_context

PATH = "/v1/office/account"


def office(url: str, key: str) -> tuple[FastAPI, AppContext]:
    context = AppContext(databases=DatabaseRegistry(default_url=url, environ={}), auth_settings=AuthSettings(secret_key=key))
    engine = context.databases.engine()
    SQLModel.metadata.drop_all(engine, tables=[Account.__table__])  # type: ignore[attr-defined]
    SQLModel.metadata.create_all(engine, tables=[Account.__table__])  # type: ignore[attr-defined]
    app = FastAPI()
    use_context(app, context)
    app.include_router(AuthController.create(model_class=Account, response_schema=AccountResponse, schema_name="office", table_name="account"))
    context.auth.policies().assign_role("alice", "office")
    return app, context


def test_two_applications_serve_side_by_side_with_their_own_databases_and_keys(database_url: str, tmp_path: Path) -> None:
    north, north_context = office(database_url, "north-key-0123456789abcdefghijklmnopqrs")
    south, south_context = office(f"sqlite:///{tmp_path / 'south.db'}", "south-key-0123456789abcdefghijklmnopqrs")
    tokens = {name: {"Authorization": f"Bearer {context.auth.create_access_token('alice')}"}
              for name, context in (("north", north_context), ("south", south_context))}
    try:
        with TestClient(north) as north_client, TestClient(south) as south_client:
            clients = {"north": north_client, "south": south_client}
            assert north_client.post(PATH, json={"display": "north only"}, headers=tokens["north"]).status_code == 201
            # (application, token, status, rows seen)
            for app_name, token_name, status, total in [("north", "north", 200, 1), ("south", "south", 200, 0),
                                                        ("south", "north", 401, None), ("north", "south", 401, None)]:
                response = clients[app_name].get(PATH, headers=tokens[token_name])
                assert response.status_code == status, (app_name, token_name, response.text)
                if total is not None:
                    assert response.json()["data"]["total"] == total
    finally:
        for context in (north_context, south_context):
            context.auth.close()
            context.databases.reset()


def test_the_endpoints_work_in_the_session_an_application_gives(tmp_path: Path) -> None:
    app, context = office(f"sqlite:///{tmp_path / 'office.db'}", "office-key-0123456789abcdefghijklmnopqr")
    given: list[Session] = []

    def one_session_per_request() -> Iterator[Session]:
        with Session(context.databases.engine()) as session:
            given.append(session)
            yield session

    app.dependency_overrides[database_session] = one_session_per_request
    token = {"Authorization": f"Bearer {context.auth.create_access_token('alice')}"}
    with TestClient(app) as client:
        created = client.post(PATH, json={"display": "a"}, headers=token).json()["data"]
        assert client.get(f"{PATH}/{created['id']}", headers=token).json()["data"]["display"] == "a"
    assert len(given) == 2
    context.auth.close()
    context.databases.reset()
