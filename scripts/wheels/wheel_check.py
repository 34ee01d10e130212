"""Checks a repaired platform wheel of the package before it is installed.

    wheel_check.py WHEEL PLATFORM AUDIT_JSON

* the file name and the ``WHEEL`` file's tags are CPython 3.11's, for
  PLATFORM (e.g. ``manylinux_2_17_x86_64``, ``musllinux_1_2_x86_64``), and
  the wheel is not pure Python;
* it holds what pyproject.toml lays out (``wheel.packages`` less
  ``wheel.exclude``, read by ../musl/wheel_layout.py), the native module
  built for that platform's C library, and its ``.dist-info``: nothing is
  missing, nothing else is there (no sources, headers, CMake or compiler
  output, byte code, libraries grafted in by the repair);
* ``RECORD`` lists every file with its size and SHA-256;
* ``auditwheel show --json`` (AUDIT_JSON, ``-`` for stdin) found the wheel
  consistent with PLATFORM and needing no library outside the policy.

Exits non-zero with one line per problem. Runs with the standard library
alone.
"""

from __future__ import annotations

import base64
import hashlib
import json
import re
import sys
import zipfile
from collections.abc import Mapping
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "musl"))

from wheel_layout import Project, import_name  # noqa: E402

PYTHON_TAG = "cp311"
NATIVE_MODULE = "controller/table_controller"
# The C library a platform tag stands for, as CPython names it in the
# extension suffix.
EXTENSION_SUFFIXES = {
    "manylinux": ".cpython-311-x86_64-linux-gnu.so",
    "musllinux": ".cpython-311-x86_64-linux-musl.so",
}
# What must never ship, whatever pyproject.toml says: sources and headers of
# the native module, build files and compiler output, byte code.
NEVER_SHIPPED = re.compile(
    r"(\.(c|cc|cpp|cxx|h|hh|hpp|o|obj|a|cmake|pyc|pyo)$|(^|/)(CMakeLists\.txt|CMakeCache\.txt|__pycache__/.*)$)"
)
WHEEL_NAME = re.compile(r"^(?P<name>[^-]+)-(?P<version>[^-]+)-(?P<python>[^-]+)-(?P<abi>[^-]+)-(?P<platforms>[^-]+)\.whl$")


def wheel_fields(text: str) -> dict[str, list[str]]:
    fields: dict[str, list[str]] = {}
    for line in text.splitlines():
        key, sep, value = line.partition(":")
        if sep:
            fields.setdefault(key.strip(), []).append(value.strip())
    return fields


def record_problems(archive: zipfile.ZipFile, record_name: str) -> list[str]:
    problems = []
    listed: dict[str, tuple[str, str]] = {}
    for line in archive.read(record_name).decode().splitlines():
        path, digest, size = line.rsplit(",", 2)
        listed[path] = (digest, size)
    for info in archive.infolist():
        if info.is_dir() or info.filename == record_name:
            continue
        data = archive.read(info)
        digest = "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        if info.filename not in listed:
            problems.append(f"RECORD does not list {info.filename}")
        elif listed[info.filename] != (digest, str(len(data))):
            problems.append(f"RECORD has another size or digest for {info.filename}")
    for path in sorted(set(listed) - set(archive.namelist()) - {record_name}):
        problems.append(f"RECORD lists {path}, which the wheel does not hold")
    return problems


def contents_problems(wheel: Path, platform: str, project: Project) -> list[str]:
    problems: list[str] = []
    match = WHEEL_NAME.match(wheel.name)
    if match is None:
        return [f"{wheel.name} is not a wheel's file name"]
    platforms = match["platforms"].split(".")
    if (match["python"], match["abi"]) != (PYTHON_TAG, PYTHON_TAG):
        problems.append(f"tagged {match['python']}-{match['abi']}, not {PYTHON_TAG}-{PYTHON_TAG}")
    if platform not in platforms:
        problems.append(f"tagged for {match['platforms']}, not {platform}")
    family = platform.split("_", 1)[0]
    if family not in EXTENSION_SUFFIXES:
        return [*problems, f"{platform} is neither a manylinux nor a musllinux tag"]

    package = import_name(project.name)
    dist_info = f"{package}-{project.version}.dist-info"
    native = f"{package}/{NATIVE_MODULE}{EXTENSION_SUFFIXES[family]}"
    expected = {inside for _, inside in project.files()} | {native}
    with zipfile.ZipFile(wheel) as archive:
        names = {name for name in archive.namelist() if not name.endswith("/")}
        for required in ("METADATA", "WHEEL", "RECORD"):
            if f"{dist_info}/{required}" not in names:
                problems.append(f"no {dist_info}/{required}")
        if problems:
            return problems
        fields = wheel_fields(archive.read(f"{dist_info}/WHEEL").decode())
        problems += record_problems(archive, f"{dist_info}/RECORD")

    tags = {f"{match['python']}-{match['abi']}-{tag}" for tag in platforms}
    if set(fields.get("Tag", [])) != tags:
        problems.append(f"WHEEL has the tags {sorted(fields.get('Tag', []))}, the file name {sorted(tags)}")
    if fields.get("Root-Is-Purelib") != ["false"]:
        problems.append("WHEEL does not say Root-Is-Purelib: false")
    shipped = {name for name in names if not name.startswith(f"{dist_info}/")}
    problems += [f"holds {name}, which must never ship" for name in sorted(shipped) if NEVER_SHIPPED.search(name)]
    problems += [
        f"holds {name}, which the package does not lay out"
        for name in sorted(shipped - expected)
        if not NEVER_SHIPPED.search(name)
    ]
    problems += [f"lacks {name}" for name in sorted(expected - shipped)]
    return problems


def audit_problems(report: Mapping[str, Any], platform: str) -> list[str]:
    """What ``auditwheel show --json`` said against the platform."""
    problems = []
    if report.get("pure", True):
        problems.append("auditwheel found no binary built for a platform: a pure wheel")
    if report.get("overall_tag") != platform:
        problems.append(f"auditwheel finds it consistent with {report.get('overall_tag')}, not {platform}")
    if report.get("external_libs"):
        problems.append(f"auditwheel finds it needs libraries outside the policy: {sorted(report['external_libs'])}")
    if report.get("unsupported_isa"):
        problems.append("auditwheel finds instructions beyond the platform's baseline")
    return problems


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print(f"usage: {sys.argv[0]} WHEEL PLATFORM AUDIT_JSON", file=sys.stderr)
        return 2
    wheel, platform, audit = Path(argv[0]), argv[1], argv[2]
    report = json.loads(sys.stdin.read() if audit == "-" else Path(audit).read_text(encoding="utf-8"))
    project = Project.load(Path(__file__).resolve().parents[2] / "pyproject.toml")
    problems = contents_problems(wheel, platform, project) + audit_problems(report, platform)
    for problem in problems:
        print(f"[wheels] {wheel.name}: {problem}", file=sys.stderr)
    if not problems:
        print(f"[wheels] {wheel.name}: {platform}, contents as laid out, RECORD consistent, auditwheel clean")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
