"""The demo's docs pages in a real browser with no network beyond this machine.

Headless Chromium (Debian's package; scripts/browser.sh installs it) is kept
off the outside network: every host name but 127.0.0.1 fails to resolve, and
any request that would leave goes to a proxy that is not there.  The Swagger
UI screenshot is kept in build/test-artifacts/.
"""

from __future__ import annotations

import html
import re
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Any

import httpx
import pytest

from docs_support import environment, served

pytestmark = pytest.mark.browser

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
ARTIFACTS = Path(__file__).resolve().parents[2] / "build" / "test-artifacts"
OFFLINE = ["--proxy-server=http://127.0.0.1:9", "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1"]
SWAGGER_OPERATION = re.compile(
    r'opblock-summary-method">(\w+)<.*?data-path="([^"]*)".*?opblock-summary-description">([^<]*)<', re.S
)
AUTHORIZE_BUTTON = re.compile(r'<button class="btn authorize[^"]*"[^>]*><span>Authorize</span>')


def run_browser(profile: Path, url: str, *action: str) -> subprocess.CompletedProcess[str]:
    """Headless Chromium run on ``url`` until its scripts are done."""
    if CHROMIUM is None:
        pytest.skip("no Chromium (scripts/browser.sh installs Debian's chromium)")
    return subprocess.run(
        [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
         f"--user-data-dir={profile}", "--virtual-time-budget=15000", *OFFLINE, *action, url],
        capture_output=True, text=True, timeout=120,
    )


def browse(profile: Path, url: str, *action: str) -> str:
    """What headless Chromium prints for ``url`` after its scripts have run."""
    return run_browser(profile, url, *action).stdout


def swagger_operations(dom: str) -> set[tuple[str, str, str]]:
    return {(method, html.unescape(path), html.unescape(summary)) for method, path, summary in SWAGGER_OPERATION.findall(dom)}


def redoc_operations(dom: str) -> set[str]:
    return set(re.findall(r'id="operation/([^"]+)"', dom))


def test_the_browser_is_kept_off_the_outside_network(tmp_path: Path) -> None:
    # The CDN that FastAPI's own docs pages load Swagger UI from.
    result = run_browser(tmp_path, "https://cdn.jsdelivr.net/npm/swagger-ui-dist@5/swagger-ui-bundle.js", "--dump-dom")
    # The browser ran, tried, and was refused by the network settings.
    assert result.returncode == 0, result.stderr
    assert re.search(r"Page load failed: net::ERR_(PROXY_CONNECTION_FAILED|NAME_NOT_RESOLVED)", result.stderr), result.stderr
    assert "SwaggerUIBundle" not in result.stdout


def test_demo_docs_pages_render_without_network(tmp_path: Path) -> None:
    with served([sys.executable, "-m", "quorvalen_core.demo"], tmp_path, environment()) as base:
        document: dict[str, Any] = httpx.get(f"{base}/openapi.json").json()
        operations = [(method, path, op) for path, item in document["paths"].items() for method, op in item.items()]
        swagger = browse(tmp_path / "profile", f"{base}/docs", "--dump-dom")
        redoc = browse(tmp_path / "profile", f"{base}/redoc", "--dump-dom")
        ARTIFACTS.mkdir(parents=True, exist_ok=True)
        screenshot = ARTIFACTS / "docs-page.png"
        screenshot.unlink(missing_ok=True)
        browse(tmp_path / "profile", f"{base}/docs", "--window-size=1280,1100", f"--screenshot={screenshot}")
    print(f"docs page screenshot: {screenshot}")
    assert len(operations) == 25  # five of products, five of orders and their restore, upsert and five batch forms each, two of orders history
    assert swagger_operations(swagger) == {(method.upper(), path, op["summary"]) for method, path, op in operations}
    assert AUTHORIZE_BUTTON.search(swagger)
    assert redoc_operations(redoc) == {op["operationId"] for _, _, op in operations}
    assert screenshot.stat().st_size > 10_000
