"""serve_docs_offline: the docs pages load nothing but what the application serves."""

from __future__ import annotations

import re
from typing import Any

import pytest
from fastapi import FastAPI
from fastapi.testclient import TestClient

from quorvalen_core.docs import serve_docs_offline

LINKED = re.compile(r'(?:src|href)="([^"]+)"|url: ?[\'"]([^\'"]+)[\'"]|[a-z-]*-url="([^"]+)"')


def linked_urls(page: str) -> set[str]:
    return {next(url for url in match if url) for match in LINKED.findall(page)}


@pytest.mark.parametrize(
    ("app_kwargs", "serve_kwargs", "pages", "gone"),
    [
        ({}, {}, {"/docs", "/redoc"}, set()),
        ({"docs_url": "/api", "redoc_url": None}, {"assets_path": "/static/docs"}, {"/api"}, {"/docs", "/redoc"}),
        ({"docs_url": None}, {}, {"/redoc"}, {"/docs"}),
        ({"openapi_url": None}, {}, set(), {"/docs", "/redoc", "/docs-assets/swagger-ui.css"}),
    ],
)
def test_pages_load_only_assets_the_app_serves(
    app_kwargs: dict[str, Any], serve_kwargs: dict[str, Any], pages: set[str], gone: set[str]
) -> None:
    app = FastAPI(**app_kwargs)
    serve_docs_offline(app, **serve_kwargs)
    client = TestClient(app)
    for page in pages:
        response = client.get(page)
        assert response.status_code == 200 and response.headers["content-type"].startswith("text/html")
        urls = linked_urls(response.text)
        assert len(urls) >= 3, urls  # the OpenAPI document, a script, the icon
        for url in urls:
            assert url.startswith("/"), url
            assert client.get(url).status_code == 200, url
    for path in gone:
        assert client.get(path).status_code == 404, path


def test_pages_follow_the_root_path_a_proxy_serves_the_app_under() -> None:
    app = FastAPI(swagger_ui_parameters={"deepLinking": False})
    serve_docs_offline(app)
    swagger = TestClient(app, root_path="/shop").get("/docs").text
    assert linked_urls(swagger) == {
        "/shop/openapi.json",
        "/shop/docs-assets/swagger-ui.css",
        "/shop/docs-assets/swagger-ui-bundle.js",
        "/shop/docs-assets/favicon.png",
    }
    assert "/shop/docs/oauth2-redirect" in swagger and '"deepLinking": false' in swagger
