"""The documentation site's own checks: the asset check that scripts/docs.sh
runs on the built site, and the links of the pages mkdocs does not build."""

from __future__ import annotations

import importlib.util
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
spec = importlib.util.spec_from_file_location("check_site_assets", ROOT / "scripts" / "check_site_assets.py")
assert spec is not None and spec.loader is not None
check_site_assets = importlib.util.module_from_spec(spec)
spec.loader.exec_module(check_site_assets)


@pytest.mark.parametrize(
    ("name", "text", "outside"),
    [
        pytest.param("page.html", '<script src="https://cdn.example.org/x.js"></script>',
                     ["https://cdn.example.org/x.js"], id="script elsewhere"),
        pytest.param("page.html", '<script src="assets/javascripts/bundle.js"></script>', [], id="script of the site"),
        pytest.param("page.html", '<link rel="stylesheet" href="//fonts.example.org/css?family=Roboto">',
                     ["//fonts.example.org/css?family=Roboto"], id="protocol-relative style sheet"),
        pytest.param("page.html", '<a href="https://example.org/guide">a page elsewhere</a>', [], id="text link"),
        pytest.param("page.html", '<img srcset="a.png 1x, HTTP://example.org/b.png 2x">',
                     ["HTTP://example.org/b.png"], id="srcset candidate, upper-case scheme"),
        pytest.param("page.html", """<div style="background: url('https://example.org/i.png')"></div>""",
                     ["https://example.org/i.png"], id="style attribute"),
        pytest.param("page.html", "<style>@import 'https://example.org/f.css';</style><p>@import 'https://x.org/t'</p>",
                     ["https://example.org/f.css"], id="style element, not text"),
        pytest.param("page.html", """<script>el.innerHTML = '<img src="http://example.org/p.gif">'</script>""",
                     ["http://example.org/p.gif"], id="markup an inline script writes"),
        pytest.param("page.html", '<pre class="mermaid">graph LR</pre>',
                     ["//a mermaid diagram: the theme loads its renderer from a CDN"], id="mermaid diagram"),
        pytest.param("main.css", """.a{background:url("data:image/svg+xml,<svg xmlns='http://www.w3.org/2000/svg'/>")}""",
                     [], id="data URL naming a namespace"),
        pytest.param("main.css", '@import url("https://fonts.example.org/a.css");.b{src:url(fonts/a.woff2)}',
                     ["https://fonts.example.org/a.css"], id="import elsewhere, font of the site"),
        pytest.param("bundle.js", 'e.src="https://unpkg.example.org/poly.js";t.src="search.js"',
                     ["https://unpkg.example.org/poly.js"], id="source a script sets"),
    ],
)
def test_asset_check_finds_what_a_browser_would_fetch_elsewhere(name: str, text: str, outside: list[str]) -> None:
    assert check_site_assets.outside_loads(name, text) == outside


@pytest.mark.parametrize("page", ["README.md", "CONTRIBUTING.md"])
def test_relative_links_name_files_of_the_repository(page: str) -> None:
    text = (ROOT / page).read_text(encoding="utf-8")
    targets = {link.split("#")[0] for link in re.findall(r"\]\(([^)\s]+)\)", text) if "://" not in link}
    assert targets, page
    assert [target for target in sorted(targets) if target and not (ROOT / target).exists()] == []
