"""Checks that a built documentation site loads nothing from outside itself.

Usage: python scripts/check_site_assets.py SITE_FOLDER

Every HTML, CSS and JavaScript file of the site is read for what a browser
would fetch: ``src=`` and ``srcset=`` of any element, ``<link href=``, CSS
``url(...)`` and ``@import`` (in style sheets, ``<style>`` elements and
``style=`` attributes), and the same patterns inside scripts. A URL with a
scheme of ``http``/``https``, or one starting with ``//``, would be fetched
from another host: each is printed with its file, and the exit status is 1.
Links in the text (``<a href=``) to outside pages are not loaded, and are
fine.

The theme's script loads its diagram renderer from a CDN for an element of
class ``mermaid``, so such an element is reported too.
"""

from __future__ import annotations

import re
import sys
from html.parser import HTMLParser
from pathlib import Path

OUTSIDE = re.compile(r"^\s*(?:https?:)?//", re.I)
CSS_LOADS = re.compile(r"""url\(\s*(['"]?)([^'")]*)\1\s*\)|@import\s+(['"])([^'"]*)\3""", re.I)
SCRIPT_LOADS = re.compile(
    r"""\bsrc\s*=\s*(['"`])([^'"`]*)\1|<link\b[^>]*?\bhref\s*=\s*(['"`]?)([^'"`\s>]*)\3""", re.I
)
CHECKED = (".html", ".css", ".js")


def css_loads(text: str) -> list[str]:
    return [match[2] or match[4] for match in CSS_LOADS.finditer(text)]


def script_loads(text: str) -> list[str]:
    return [match[2] or match[4] for match in SCRIPT_LOADS.finditer(text)] + css_loads(text)


class PageLoads(HTMLParser):
    """What an HTML page makes the browser fetch, plus the diagrams that fetch a renderer."""

    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.loads: list[str] = []
        self.inside: str | None = None

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        for name, value in attrs:
            value = value or ""
            if name == "src" or (name == "href" and tag == "link"):
                self.loads.append(value)
            elif name == "srcset":
                self.loads.extend(candidate.split()[0] for candidate in value.split(",") if candidate.strip())
            elif name == "style":
                self.loads.extend(css_loads(value))
            elif name == "class" and "mermaid" in value.split():
                self.loads.append("//a mermaid diagram: the theme loads its renderer from a CDN")
        self.inside = tag if tag in ("style", "script") else None

    def handle_endtag(self, tag: str) -> None:
        self.inside = None

    def handle_data(self, data: str) -> None:
        if self.inside == "style":
            self.loads.extend(css_loads(data))
        elif self.inside == "script":
            self.loads.extend(script_loads(data))


def outside_loads(name: str, text: str) -> list[str]:
    """The URLs on other hosts that the file ``name`` with contents ``text`` loads."""
    if name.endswith(".html"):
        parser = PageLoads()
        parser.feed(text)
        parser.close()
        loads = parser.loads
    elif name.endswith(".css"):
        loads = css_loads(text)
    else:
        loads = script_loads(text)
    return [url for url in loads if OUTSIDE.match(url)]


def main(site: Path) -> int:
    files = sorted(path for path in site.rglob("*") if path.suffix in CHECKED)
    if not any(path.suffix == ".html" for path in files):
        print(f"{site}: no HTML page to check", file=sys.stderr)
        return 1
    found = [
        (path.relative_to(site), url)
        for path in files
        for url in outside_loads(path.name, path.read_text(encoding="utf-8", errors="replace"))
    ]
    for path, url in found:
        print(f"{path}: loads {url}", file=sys.stderr)
    print(f"{len(files)} files of {site} checked: {len(found)} outside loads")
    return 1 if found else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.exit(main(Path(sys.argv[1])))
