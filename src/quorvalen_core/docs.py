"""API docs pages that work without internet access.

FastAPI's ``/docs`` (Swagger UI) and ``/redoc`` (ReDoc) pages load their
scripts and styles from a CDN, so on an offline or locked-down network they
stay blank.  :func:`serve_docs_offline` serves both pages from the copies of
those assets installed with the ``fastapi-offline`` package instead.
"""

from __future__ import annotations

from importlib.resources import files
from pathlib import Path

from fastapi import FastAPI, Request
from fastapi.openapi.docs import get_redoc_html, get_swagger_ui_html
from fastapi.responses import HTMLResponse
from fastapi.staticfiles import StaticFiles
from starlette.routing import BaseRoute, Route

DOCS_ASSETS_PATH = "/docs-assets"
SWAGGER_JS = "swagger-ui-bundle.js"
SWAGGER_CSS = "swagger-ui.css"
REDOC_JS = "redoc.standalone.js"
FAVICON = "favicon.png"


def docs_assets_directory() -> Path:
    """The folder of the installed Swagger UI and ReDoc assets."""
    directory = Path(str(files("fastapi_offline").joinpath("static")))
    missing = [name for name in (SWAGGER_JS, SWAGGER_CSS, REDOC_JS, FAVICON) if not (directory / name).is_file()]
    if missing:
        raise RuntimeError(f"the installed fastapi-offline lacks the docs assets {missing} in {directory}")
    return directory


def _is_page_route(route: BaseRoute, path: str | None) -> bool:
    return isinstance(route, Route) and route.path == path


def _root_path(request: Request) -> str:
    """The prefix a proxy serves the application under, as FastAPI's pages use it."""
    root: str = request.scope.get("root_path", "")
    return root.rstrip("/")


def serve_docs_offline(app: FastAPI, *, assets_path: str = DOCS_ASSETS_PATH) -> None:
    """Serve ``app``'s docs pages with assets from this installation, not a CDN.

    The pages keep their paths (``app.docs_url``, ``app.redoc_url``; None
    leaves a page out) and FastAPI's page settings (``swagger_ui_parameters``,
    ``swagger_ui_init_oauth``, the OAuth2 redirect page); the assets are
    served under ``assets_path``.  Call it once, right after creating the app.
    """
    if app.openapi_url is None:
        return
    openapi_url = app.openapi_url
    assets = StaticFiles(directory=docs_assets_directory())
    # FastAPI registered its CDN-backed pages when the app was created.
    app.router.routes[:] = [
        route
        for route in app.router.routes
        if not (_is_page_route(route, app.docs_url) or _is_page_route(route, app.redoc_url))
    ]
    app.mount(assets_path, assets, name="docs-assets")

    if app.docs_url is not None:

        async def swagger_ui_page(request: Request) -> HTMLResponse:
            root = _root_path(request)
            redirect = app.swagger_ui_oauth2_redirect_url
            return get_swagger_ui_html(
                openapi_url=f"{root}{openapi_url}",
                title=f"{app.title} - Swagger UI",
                swagger_js_url=f"{root}{assets_path}/{SWAGGER_JS}",
                swagger_css_url=f"{root}{assets_path}/{SWAGGER_CSS}",
                swagger_favicon_url=f"{root}{assets_path}/{FAVICON}",
                oauth2_redirect_url=f"{root}{redirect}" if redirect else None,
                init_oauth=app.swagger_ui_init_oauth,
                swagger_ui_parameters=app.swagger_ui_parameters,
            )

        app.add_route(app.docs_url, swagger_ui_page, include_in_schema=False)

    if app.redoc_url is not None:

        async def redoc_page(request: Request) -> HTMLResponse:
            root = _root_path(request)
            return get_redoc_html(
                openapi_url=f"{root}{openapi_url}",
                title=f"{app.title} - ReDoc",
                redoc_js_url=f"{root}{assets_path}/{REDOC_JS}",
                redoc_favicon_url=f"{root}{assets_path}/{FAVICON}",
                with_google_fonts=False,
            )

        app.add_route(app.redoc_url, redoc_page, include_in_schema=False)
