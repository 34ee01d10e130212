"""What scripts/musl/wheel_layout.py installs into a musl environment: the
package as its wheel lays it out, and the requirements pip resolves for it."""

from __future__ import annotations

import base64
import hashlib
import importlib.metadata
import importlib.util
import sys
from collections.abc import Iterator
from pathlib import Path
from types import ModuleType

import pytest

REPO = Path(__file__).resolve().parents[2]


@pytest.fixture(scope="module")
def layout() -> Iterator[ModuleType]:
    spec = importlib.util.spec_from_file_location("wheel_layout", REPO / "scripts" / "musl" / "wheel_layout.py")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    # Its dataclasses look their module up by name while the class is made.
    sys.modules[spec.name] = module
    try:
        spec.loader.exec_module(module)
        yield module
    finally:
        del sys.modules[spec.name]


PYPROJECT = """
[project]
name = "demo-pkg"
version = "1.2.3"
requires-python = ">=3.11"
dependencies = ["alpha>=1", "beta; python_version < '4'"]

[project.optional-dependencies]
test = ["gamma", "alpha>=1"]
docs = ["delta[extra]>=2"]

[tool.scikit-build]
wheel.packages = ["src/demo_pkg"]
wheel.exclude = ["demo_pkg/native/**"]
"""

PACKAGE_FILES = {
    "src/demo_pkg/__init__.py": "",
    "src/demo_pkg/py.typed": "",
    "src/demo_pkg/core.pyi": "",
    "src/demo_pkg/sub/mod.py": "VALUE = 1\n",
    "src/demo_pkg/native/module.cpp": "// C++ source",
    "src/demo_pkg/__pycache__/core.cpython-311.pyc": "",
    "src/other/ignored.py": "",
}


@pytest.fixture
def project(tmp_path: Path) -> Path:
    for relative, text in {"pyproject.toml": PYPROJECT, **PACKAGE_FILES}.items():
        (tmp_path / relative).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / relative).write_text(text)
    return tmp_path / "pyproject.toml"


@pytest.mark.parametrize(
    ("extras", "expected"),
    [
        ((), ["alpha>=1", "beta; python_version < '4'"]),
        (("test",), ["alpha>=1", "beta; python_version < '4'", "gamma"]),
        (("test", "docs"), ["alpha>=1", "beta; python_version < '4'", "gamma", "delta[extra]>=2"]),
    ],
)
def test_requirements_are_the_dependencies_and_the_named_extras(
    layout: ModuleType, project: Path, extras: tuple[str, ...], expected: list[str]
) -> None:
    assert layout.Project.load(project).requirements(extras) == expected


def test_an_unknown_extra_is_refused_by_name(layout: ModuleType, project: Path) -> None:
    with pytest.raises(SystemExit, match="no extra 'browser'"):
        layout.Project.load(project).requirements(["test", "browser"])


def test_install_lays_out_the_wheel_and_its_metadata(layout: ModuleType, project: Path, tmp_path: Path) -> None:
    site = tmp_path / "site"
    # CMake's install step has put the extension in place beforehand.
    (site / "demo_pkg").mkdir(parents=True)
    (site / "demo_pkg" / "native.cpython-311-x86_64-linux-musl.so").write_bytes(b"\x7fELF")

    dist_info = layout.install(layout.Project.load(project), site)

    files = sorted(p.relative_to(site).as_posix() for p in (site / "demo_pkg").rglob("*") if p.is_file())
    assert files == [
        "demo_pkg/__init__.py",
        "demo_pkg/core.pyi",
        "demo_pkg/native.cpython-311-x86_64-linux-musl.so",
        "demo_pkg/py.typed",
        "demo_pkg/sub/mod.py",
    ]
    distribution = importlib.metadata.Distribution.at(dist_info)
    assert (distribution.metadata["Name"], distribution.version) == ("demo-pkg", "1.2.3")
    assert distribution.requires == [
        "alpha>=1",
        "beta; python_version < '4'",
        'gamma; extra == "test"',
        'alpha>=1; extra == "test"',
        'delta[extra]>=2; extra == "docs"',
    ]
    record = {line.split(",")[0]: line.split(",")[1] for line in (dist_info / "RECORD").read_text().splitlines()}
    assert set(record) == set(files) | {f"{dist_info.name}/{name}" for name in ("METADATA", "INSTALLER", "top_level.txt", "RECORD")}
    for path in files:
        digest = base64.urlsafe_b64encode(hashlib.sha256((site / path).read_bytes()).digest()).rstrip(b"=").decode()
        assert record[path] == f"sha256={digest}"


@pytest.mark.parametrize(
    ("requirement", "listed"),
    [
        ("pytest>=8", 'pytest>=8; extra == "test"'),
        ("psycopg[binary]>=3.1", 'psycopg[binary]>=3.1; extra == "test"'),
        ("tomli; python_version<'3.11'", 'tomli; (python_version<\'3.11\') and extra == "test"'),
    ],
)
def test_an_extras_requirement_keeps_its_own_marker(layout: ModuleType, requirement: str, listed: str) -> None:
    assert layout.for_extra(requirement, "test") == listed


def test_the_real_package_ships_python_sources_and_no_cpp(layout: ModuleType) -> None:
    files = [inside for _, inside in layout.Project.load(REPO / "pyproject.toml").files()]
    assert "quorvalen_core/__init__.py" in files and "quorvalen_core/py.typed" in files
    assert not [name for name in files if name.endswith((".cpp", ".hpp", ".h"))]
