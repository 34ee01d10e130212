"""What scripts/wheels/wheel_check.py finds wrong with a repaired platform
wheel: its tags, files that do not belong or are missing, its RECORD, and
auditwheel's report."""

from __future__ import annotations

import base64
import hashlib
import importlib.util
import sys
import zipfile
from collections.abc import Callable, Iterator
from pathlib import Path
from types import ModuleType

import pytest

REPO = Path(__file__).resolve().parents[2]

PYPROJECT = """
[project]
name = "demo-pkg"
version = "1.0"

[tool.scikit-build]
wheel.packages = ["src/demo_pkg"]
"""
SOURCES = ["demo_pkg/__init__.py", "demo_pkg/controller/__init__.py", "demo_pkg/controller/table_controller.pyi"]
GNU_MODULE = "demo_pkg/controller/table_controller.cpython-311-x86_64-linux-gnu.so"
MUSL_MODULE = "demo_pkg/controller/table_controller.cpython-311-x86_64-linux-musl.so"
MANYLINUX = "manylinux_2_17_x86_64"
DIST_INFO = "demo_pkg-1.0.dist-info"


@pytest.fixture(scope="module")
def check() -> Iterator[ModuleType]:
    saved_path, saved_modules = list(sys.path), set(sys.modules)
    spec = importlib.util.spec_from_file_location("wheel_check", REPO / "scripts" / "wheels" / "wheel_check.py")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    try:
        spec.loader.exec_module(module)
        yield module
    finally:
        sys.path[:] = saved_path
        for name in set(sys.modules) - saved_modules:
            del sys.modules[name]


@pytest.fixture
def project(check: ModuleType, tmp_path: Path) -> object:
    (tmp_path / "pyproject.toml").write_text(PYPROJECT)
    for inside in SOURCES:
        (tmp_path / "src" / inside).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "src" / inside).write_text("")
    return check.Project.load(tmp_path / "pyproject.toml")


def digest(data: bytes) -> str:
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def write_wheel(folder: Path, name: str, files: dict[str, bytes], tags: list[str]) -> Path:
    """A wheel of these files, its WHEEL naming the tags, its RECORD true to
    the files unless a RECORD is among them."""
    files = dict(files)
    files.setdefault(f"{DIST_INFO}/METADATA", b"Metadata-Version: 2.1\nName: demo-pkg\nVersion: 1.0\n")
    files.setdefault(
        f"{DIST_INFO}/WHEEL",
        ("Wheel-Version: 1.0\nRoot-Is-Purelib: false\n" + "".join(f"Tag: {tag}\n" for tag in tags)).encode(),
    )
    files.setdefault(
        f"{DIST_INFO}/RECORD",
        "".join(f"{path},{digest(data)},{len(data)}\n" for path, data in files.items()).encode()
        + f"{DIST_INFO}/RECORD,,\n".encode(),
    )
    path = folder / name
    with zipfile.ZipFile(path, "w") as archive:
        for inside, data in files.items():
            archive.writestr(inside, data)
    return path


GOOD = {**{inside: b"" for inside in SOURCES}, GNU_MODULE: b"\x7fELF"}
GOOD_NAME = "demo_pkg-1.0-cp311-cp311-manylinux2014_x86_64.manylinux_2_17_x86_64.whl"
GOOD_TAGS = ["cp311-cp311-manylinux2014_x86_64", "cp311-cp311-manylinux_2_17_x86_64"]

Change = Callable[[dict[str, bytes]], None]


@pytest.mark.parametrize(
    ("name", "tags", "change", "problems"),
    [
        (GOOD_NAME, GOOD_TAGS, lambda files: None, []),
        (
            "demo_pkg-1.0-cp311-cp311-linux_x86_64.whl",
            ["cp311-cp311-linux_x86_64"],
            lambda files: None,
            [f"tagged for linux_x86_64, not {MANYLINUX}"],
        ),
        (
            "demo_pkg-1.0-cp312-cp312-manylinux_2_17_x86_64.whl",
            ["cp312-cp312-manylinux_2_17_x86_64"],
            lambda files: None,
            ["tagged cp312-cp312, not cp311-cp311"],
        ),
        (
            GOOD_NAME,
            GOOD_TAGS[:1],
            lambda files: None,
            [f"WHEEL has the tags {GOOD_TAGS[:1]}, the file name {GOOD_TAGS}"],
        ),
        (
            GOOD_NAME,
            GOOD_TAGS,
            lambda files: files.update({"demo_pkg/controller/module.cpp": b"", "demo_pkg/__pycache__/x.cpython-311.pyc": b""}),
            [
                "holds demo_pkg/__pycache__/x.cpython-311.pyc, which must never ship",
                "holds demo_pkg/controller/module.cpp, which must never ship",
            ],
        ),
        (
            GOOD_NAME,
            GOOD_TAGS,
            lambda files: files.update({"demo_pkg.libs/libstdc++-1a2b.so.6": b""}),
            ["holds demo_pkg.libs/libstdc++-1a2b.so.6, which the package does not lay out"],
        ),
        (
            GOOD_NAME,
            GOOD_TAGS,
            lambda files: (files.pop(GNU_MODULE), files.update({MUSL_MODULE: b""})),
            [f"holds {MUSL_MODULE}, which the package does not lay out", f"lacks {GNU_MODULE}"],
        ),
        (GOOD_NAME, GOOD_TAGS, lambda files: files.pop(SOURCES[0]), [f"lacks {SOURCES[0]}"]),
        (
            GOOD_NAME,
            GOOD_TAGS,
            lambda files: files.update(
                {f"{DIST_INFO}/RECORD": f"{GNU_MODULE},{digest(b'other')},5\ndemo_pkg/gone.py,{digest(b'')},0\n".encode()}
            ),
            [
                f"RECORD has another size or digest for {GNU_MODULE}",
                "RECORD lists demo_pkg/gone.py, which the wheel does not hold",
                *(f"RECORD does not list {path}" for path in (*SOURCES, f"{DIST_INFO}/METADATA", f"{DIST_INFO}/WHEEL")),
            ],
        ),
    ],
    ids=["good", "unrepaired", "other-python", "wheel-tags", "sources", "grafted", "musl-module", "missing", "record"],
)
def test_contents_problems(
    check: ModuleType, project: object, tmp_path: Path, name: str, tags: list[str], change: Change, problems: list[str]
) -> None:
    files = dict(GOOD)
    change(files)
    wheel = write_wheel(tmp_path, name, files, tags)
    assert sorted(check.contents_problems(wheel, MANYLINUX, project)) == sorted(problems)


CLEAN = {"pure": False, "overall_tag": MANYLINUX, "external_libs": {}, "unsupported_isa": False}


@pytest.mark.parametrize(
    ("report", "problem"),
    [
        (CLEAN, None),
        ({**CLEAN, "overall_tag": "linux_x86_64"}, f"consistent with linux_x86_64, not {MANYLINUX}"),
        ({**CLEAN, "external_libs": {"libc.so": None}}, "libraries outside the policy: ['libc.so']"),
        ({**CLEAN, "unsupported_isa": True}, "beyond the platform's baseline"),
        ({**CLEAN, "pure": True}, "a pure wheel"),
    ],
)
def test_audit_problems(check: ModuleType, report: dict[str, object], problem: str | None) -> None:
    problems = check.audit_problems(report, MANYLINUX)
    if problem is None:
        assert problems == []
    else:
        assert len(problems) == 1 and problem in problems[0], problems
