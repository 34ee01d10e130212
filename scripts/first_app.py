"""The README's first app as a reader runs it: from an empty folder outside the clone.

The Install section's lines (with this repository's folder for
``/path/to/quorvalen_core``), then ``app.py`` as the first app's block, then
its shell session, in one shell, exactly as written. Exits 1, saying why,
unless every step ran and the answers are those the session's comments give.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
README = (ROOT / "README.md").read_text(encoding="utf-8")


def section(title: str) -> str:
    start = README.index(f"\n## {title}\n")
    end = README.find("\n## ", start + 1)
    return README[start : end if end != -1 else len(README)]


def fenced(text: str, language: str) -> list[str]:
    return re.findall(rf"^```{language}\n(.*?)^```$", text, re.M | re.S)


def reader_environment() -> dict[str, str]:
    """A reader's shell: no virtual environment active, none of the package's settings, no PYTHONPATH."""
    environ = {k: v for k, v in os.environ.items() if not k.startswith("QUORVALEN_") and k not in ("VIRTUAL_ENV", "PYTHONPATH")}
    environ["PATH"] = os.pathsep.join(
        part for part in environ.get("PATH", "").split(os.pathsep) if not Path(part, "activate").exists()
    )
    return environ


def main() -> int:
    install = fenced(section("Install"), "sh")[0].replace("/path/to/quorvalen_core", str(ROOT))
    first_app = section("The first app")
    app = fenced(first_app, "python")[0]
    session = fenced(first_app, "sh")[0]
    script = f"{install}\ncat > app.py <<'APP'\n{app}APP\n{session}"
    with tempfile.TemporaryDirectory(prefix="first-app-") as folder:
        result = subprocess.run(
            ["bash", "-euo", "pipefail", "-c", script], cwd=folder, capture_output=True, text=True, timeout=900,
            env=reader_environment(),
        )
        created = Path(folder, "invoices", "quorvalen.db").exists()
    out = result.stdout
    checks = {
        "every line ran": result.returncode == 0,
        "the public query answered an empty page": '"items":[]' in out,
        "the create without a token was refused": "401 Unauthorized" in out,
        "alice's create was accepted": '"message":"创建成功"' in out,
        "the tables were made at startup, in the folder": created,
    }
    failed = [name for name, passed in checks.items() if not passed]
    if failed:
        print(f"first app: failed: {', '.join(failed)}\n--- stdout\n{out}\n--- stderr\n{result.stderr[-4000:]}", file=sys.stderr)
        return 1
    print("first app: installed and served from an empty folder as the README says")
    return 0


if __name__ == "__main__":
    sys.exit(main())
