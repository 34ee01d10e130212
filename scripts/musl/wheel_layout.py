"""What the package's wheel holds, read from pyproject.toml, for an interpreter
that cannot build the wheel itself (the musl one: no pip, no compiler).

    wheel_layout.py requirements PYPROJECT [EXTRA...]
        prints the ``[project] dependencies`` and those of the named extras,
        one a line, as pip takes them

    wheel_layout.py install PYPROJECT SITE_PACKAGES
        copies the package's files into SITE_PACKAGES as the wheel lays them
        out (``tool.scikit-build`` ``wheel.packages`` less ``wheel.exclude``)
        and writes the distribution's ``.dist-info``; the built extension is
        expected there already (CMake's install step puts it in place)

Runs on Python 3.11+ (tomllib) with the standard library alone.
"""

from __future__ import annotations

import argparse
import base64
import fnmatch
import hashlib
import re
import shutil
import sys
import tomllib
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path

INSTALLER = "quorvalen-musl-check"


@dataclass(frozen=True)
class Project:
    root: Path
    name: str
    version: str
    summary: str
    requires_python: str
    dependencies: tuple[str, ...]
    extras: dict[str, tuple[str, ...]]
    packages: tuple[str, ...]
    exclude: tuple[str, ...]

    @classmethod
    def load(cls, pyproject: Path) -> Project:
        data = tomllib.loads(pyproject.read_text(encoding="utf-8"))
        project = data["project"]
        wheel = data.get("tool", {}).get("scikit-build", {}).get("wheel", {})
        name = project["name"]
        root = pyproject.resolve().parent
        # scikit-build-core's default: the import package under src/ or at the top.
        default = f"src/{import_name(name)}" if (root / "src" / import_name(name)).is_dir() else import_name(name)
        return cls(
            root=root,
            name=name,
            version=project["version"],
            summary=project.get("description", ""),
            requires_python=project.get("requires-python", ""),
            dependencies=tuple(project.get("dependencies", ())),
            extras={extra: tuple(reqs) for extra, reqs in project.get("optional-dependencies", {}).items()},
            packages=tuple(wheel.get("packages", (default,))),
            exclude=tuple(wheel.get("exclude", ())),
        )

    def requirements(self, extras: Iterable[str]) -> list[str]:
        chosen = list(self.dependencies)
        for extra in extras:
            if extra not in self.extras:
                raise SystemExit(f"pyproject.toml declares no extra {extra!r} (has: {', '.join(sorted(self.extras))})")
            chosen += [req for req in self.extras[extra] if req not in chosen]
        return chosen

    def files(self) -> list[tuple[Path, str]]:
        """(source file, path inside the wheel) for every packaged file."""
        found: list[tuple[Path, str]] = []
        for package in self.packages:
            source = self.root / package
            if not source.is_dir():
                raise SystemExit(f"wheel.packages names {package}, which is not a directory")
            for path in sorted(source.rglob("*")):
                if not path.is_file() or "__pycache__" in path.parts or path.suffix == ".pyc":
                    continue
                inside = f"{source.name}/{path.relative_to(source).as_posix()}"
                if not any(fnmatch.fnmatchcase(inside, pattern) for pattern in self.exclude):
                    found.append((path, inside))
        return found

    def metadata(self) -> str:
        lines = ["Metadata-Version: 2.1", f"Name: {self.name}", f"Version: {self.version}"]
        if self.summary:
            lines.append(f"Summary: {self.summary}")
        if self.requires_python:
            lines.append(f"Requires-Python: {self.requires_python}")
        lines += [f"Requires-Dist: {req}" for req in self.dependencies]
        for extra, reqs in self.extras.items():
            lines.append(f"Provides-Extra: {extra}")
            lines += [f"Requires-Dist: {for_extra(req, extra)}" for req in reqs]
        return "\n".join(lines) + "\n"


def import_name(distribution: str) -> str:
    return re.sub(r"[-_.]+", "_", distribution).lower()


def for_extra(requirement: str, extra: str) -> str:
    """The requirement as listed in METADATA: its own marker joined with the extra's."""
    spec, _, marker = requirement.partition(";")
    condition = f'extra == "{extra}"'
    return f"{spec.strip()}; ({marker.strip()}) and {condition}" if marker.strip() else f"{spec.strip()}; {condition}"


def record_line(path: Path, site: Path) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(path.read_bytes()).digest()).rstrip(b"=").decode()
    return f"{path.relative_to(site).as_posix()},sha256={digest},{path.stat().st_size}"


def install(project: Project, site: Path) -> Path:
    """Lays the package out in ``site``; returns its .dist-info folder."""
    top_levels = set()
    for source, inside in project.files():
        target = site / inside
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(source, target)
        top_levels.add(inside.split("/", 1)[0])
    dist_info = site / f"{import_name(project.name)}-{project.version}.dist-info"
    shutil.rmtree(dist_info, ignore_errors=True)
    dist_info.mkdir(parents=True)
    (dist_info / "METADATA").write_text(project.metadata(), encoding="utf-8")
    (dist_info / "INSTALLER").write_text(INSTALLER + "\n", encoding="utf-8")
    (dist_info / "top_level.txt").write_text("".join(f"{name}\n" for name in sorted(top_levels)), encoding="utf-8")
    # Everything under the top-level packages, the extension CMake put there included.
    installed = sorted(p for name in top_levels for p in (site / name).rglob("*") if p.is_file() and "__pycache__" not in p.parts)
    installed += sorted(p for p in dist_info.iterdir())
    record = [record_line(path, site) for path in installed]
    record.append(f"{dist_info.name}/RECORD,,")
    (dist_info / "RECORD").write_text("\n".join(record) + "\n", encoding="utf-8")
    return dist_info


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    requirements = commands.add_parser("requirements")
    requirements.add_argument("pyproject", type=Path)
    requirements.add_argument("extras", nargs="*")
    installing = commands.add_parser("install")
    installing.add_argument("pyproject", type=Path)
    installing.add_argument("site", type=Path)
    args = parser.parse_args(argv)

    project = Project.load(args.pyproject)
    if args.command == "requirements":
        print("\n".join(project.requirements(args.extras)))
    else:
        print(install(project, args.site))
    return 0


if __name__ == "__main__":
    sys.exit(main())
