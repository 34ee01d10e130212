"""The pytest plugin of quorvalen_core.testing, as an application's own suite uses it."""

from __future__ import annotations

import pytest

CONFTEST = '''
import pytest
from fastapi import FastAPI
from sqlmodel import Field

from quorvalen_core.controller.table_controller import AuthController
from quorvalen_core.type.var import SQLModelDB, SQLModelResponse

pytest_plugins = ["quorvalen_core.testing.plugin"]


class Memo(SQLModelDB, table=True):
    __tablename__ = "plugin_memo"
    id: int | None = Field(default=None, primary_key=True)
    text: str


class MemoResponse(SQLModelResponse):
    id: int
    text: str


@pytest.fixture
def app() -> FastAPI:
    app = FastAPI()
    app.include_router(AuthController.create(model_class=Memo, response_schema=MemoResponse, schema_name="office", table_name="memo"))
    return app
'''

TESTS = '''
import pytest


@pytest.mark.parametrize("text", ["first", "second"])
def test_each_test_has_a_database_of_its_own(quorvalen_app, text):
    quorvalen_app.policies.assign_role("alice", "office")
    headers = quorvalen_app.token("alice")
    assert quorvalen_app.client.post("/v1/office/memo", json={"text": text}, headers=headers).status_code == 201
    assert quorvalen_app.client.get("/v1/office/memo", headers=headers).json()["data"]["total"] == 1
    assert quorvalen_app.client.get("/v1/office/memo").status_code == 401
'''


def test_the_plugin_serves_each_test_on_a_database_of_its_own(pytester: pytest.Pytester) -> None:
    pytester.makeconftest(CONFTEST)
    pytester.makepyfile(test_memos=TESTS)
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider")
    result.assert_outcomes(passed=2)
    assert sorted(path.name for path in pytester.path.iterdir() if path.suffix == ".db") == []
