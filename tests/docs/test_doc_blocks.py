"""The Python blocks of the README and of the documentation site work as written.

Each block of ``README.md`` and of every ``docs/**/*.md`` page runs in a fresh
interpreter in an empty folder, with a database of its own and a token key in
the environment.  An HTML comment on the line before a block says what else
it is:

- ``<!-- readme-test: app -->``: an application saved as ``app.py`` and
  served with ``uvicorn app:app``; its public routes without path parameters
  answer 200, its guarded routes 401 to a caller without a token;
- ``<!-- readme-test: fragment -->``: part of a program (or one with
  placeholders); it is only compiled.
"""

from __future__ import annotations

import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import httpx
import pytest

from docs_support import environment, served

ROOT = Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
PAGES = [README, *sorted((ROOT / "docs").rglob("*.md"))]
BLOCK = re.compile(r"^(?:<!-- readme-test: (?P<kind>[\w-]+) -->\n)?```python\n(?P<code>.*?)^```$", re.M | re.S)
KINDS = ("script", "app", "fragment")


@dataclass(frozen=True)
class Block:
    page: str
    line: int
    kind: str
    code: str

    @property
    def name(self) -> str:
        return f"{self.page}:{self.line}"


def page_blocks(page: Path) -> list[Block]:
    text = page.read_text(encoding="utf-8")
    return [
        Block(str(page.relative_to(ROOT)), text.count("\n", 0, match.start("code")) + 1,
              match["kind"] or "script", match["code"])
        for match in BLOCK.finditer(text)
    ]


BLOCKS = [block for page in PAGES for block in page_blocks(page)]


KEY = "readme-test-key-0123456789abcdefghijklmnop"


def block_environment(folder: Path) -> dict[str, str]:
    return environment(QUORVALEN_DATABASE_URL=f"sqlite:///{folder / 'readme.db'}", QUORVALEN_AUTH_SECRET_KEY=KEY)


@pytest.mark.parametrize("page", PAGES, ids=[str(page.relative_to(ROOT)) for page in PAGES])
def test_every_python_block_is_found_with_a_known_marker(page: Path) -> None:
    blocks = page_blocks(page)
    assert {block.kind for block in blocks} <= set(KINDS)
    # Every ```python fence was found (a marker with a typo would hide one).
    assert len(blocks) == page.read_text(encoding="utf-8").count("```python\n")


def check_app(folder: Path, code: str) -> None:
    (folder / "app.py").write_text(code, encoding="utf-8")
    # Importing the application makes nothing: its tables come at startup.
    imported = subprocess.run([sys.executable, "-c", "import app"], cwd=folder, env=environment(),
                              capture_output=True, text=True, timeout=120)
    assert imported.returncode == 0, imported.stderr
    assert sorted(path.name for path in folder.iterdir() if path.name != "__pycache__") == ["app.py"]
    with served([sys.executable, "-m", "uvicorn", "app:app"], folder, block_environment(folder)) as base:
        document: dict[str, Any] = httpx.get(f"{base}/openapi.json").json()
        answers = {
            (method.upper(), path, "401" in operation["responses"]): httpx.request(
                method, base + path.replace("{id}", "1")
            ).status_code
            for path, item in document["paths"].items()
            for method, operation in item.items()
        }
        docs = httpx.get(f"{base}/docs")
    public = {key: status for key, status in answers.items() if not key[2] and "{" not in key[1]}
    guarded = {key: status for key, status in answers.items() if key[2]}
    assert public and set(public.values()) == {200}, answers
    assert guarded and set(guarded.values()) == {401}, answers
    assert docs.status_code == 200


@pytest.mark.parametrize("block", BLOCKS, ids=[f"{block.name}:{block.kind}" for block in BLOCKS])
def test_python_block_works(block: Block, tmp_path: Path) -> None:
    if block.kind == "fragment":
        compile(block.code, block.name, "exec")
    elif block.kind == "app":
        check_app(tmp_path, block.code)
    else:
        # As a reader runs it, twice in one folder: it leaves nothing behind
        # that a second run would trip over.
        (tmp_path / "block.py").write_text(block.code, encoding="utf-8")
        for run in (1, 2):
            result = subprocess.run(
                [sys.executable, "block.py"], cwd=tmp_path, env=environment(QUORVALEN_AUTH_SECRET_KEY=KEY),
                capture_output=True, text=True, timeout=120,
            )
            assert result.returncode == 0, (run, result.stderr)
            left = sorted(path.name for path in tmp_path.iterdir() if path.name not in ("block.py", "__pycache__"))
            assert left == [], (run, left)


def test_command_line_block_works_as_written(tmp_path: Path) -> None:
    """The permissions guide's shell lines, run in the folder of the README's first app after it served."""
    shell = next(
        match[1]
        for page in PAGES
        for match in re.finditer(r"^```sh\n(.*?)^```$", page.read_text(encoding="utf-8"), re.M | re.S)
        if "auth inherit-role" in match[1]
    )
    apps = [block for block in BLOCKS if block.page == "README.md" and block.kind == "app"]
    assert apps, "the README's first app is marked <!-- readme-test: app -->"
    check_app(tmp_path, apps[0].code)
    result = subprocess.run(
        ["bash", "-euo", "pipefail", "-c", shell.replace("python ", f"{sys.executable} ")],
        cwd=tmp_path, env=block_environment(tmp_path), capture_output=True, text=True, timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert "allowed" in result.stdout and result.stderr.count("error:") == 0
