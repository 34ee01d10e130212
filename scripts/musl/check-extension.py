"""Checks that a built extension file is one a musl CPython loads as is.

Run by the musl interpreter itself, with the extension's path:

* the file name carries this interpreter's extension suffix;
* its dynamic section needs musl's libc and nothing from glibc or its C++
  runtime (the C++ runtime is linked into the file);
* every symbol it leaves undefined is provided by this interpreter or by
  musl's libc, unversioned (a glibc-versioned reference would not resolve);
* it exports its module init function and, of the C++ runtime, only the
  replaceable operator new and delete.

Exits non-zero with one line per problem.
"""

from __future__ import annotations

import importlib.machinery
import os
import re
import subprocess
import sys
import sysconfig
from dataclasses import dataclass
from pathlib import Path

GLIBC_RUNTIME = frozenset({"libc.so.6", "libstdc++.so.6", "libgcc_s.so.1", "libm.so.6", "libpthread.so.0", "libdl.so.2"})
# Names under which musl's dynamic loader hands out libc itself.
MUSL_LIBC_NAMES = frozenset({"libc.so", "libc.musl-x86_64.so.1", "ld-musl-x86_64.so.1"})
MODULE_INIT = "PyInit_table_controller"
# The replaceable global operator new and delete: the statically linked C++
# runtime defines them weak with default visibility, as the standard library
# must; any other export would be runtime internals leaking out.
REPLACEABLE_ALLOCATION = re.compile(r"_Z(nw|na|dl|da)")


@dataclass(frozen=True)
class DynamicSymbol:
    name: str
    version: str
    binding: str
    defined: bool


def readelf(*args: str) -> str:
    return subprocess.run(["readelf", "-W", *args], check=True, capture_output=True, text=True).stdout


def needed_libraries(path: Path) -> list[str]:
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", readelf("-d", str(path)))


def program_interpreter(path: Path) -> str | None:
    match = re.search(r"Requesting program interpreter: ([^\]]+)\]", readelf("-l", str(path)))
    return match.group(1) if match else None


def musl_libc() -> Path:
    """musl's libc as this interpreter loads it: its program interpreter."""
    loader = program_interpreter(Path(sys.executable).resolve())
    if loader is None:
        raise SystemExit(f"{sys.executable} names no program interpreter: not a dynamically linked musl program")
    return Path(loader).resolve()


def dynamic_symbols(path: Path) -> list[DynamicSymbol]:
    symbols = []
    for line in readelf("--dyn-syms", str(path)).splitlines():
        fields = line.split()
        # Num: Value Size Type Bind Vis Ndx Name
        if len(fields) < 8 or not fields[0].endswith(":") or not fields[0][:-1].isdigit():
            continue
        kind, binding, index, full_name = fields[3], fields[4], fields[6], fields[7]
        if kind in ("SECTION", "FILE"):
            continue
        name, _, version = full_name.partition("@")
        symbols.append(DynamicSymbol(name, version.lstrip("@"), binding, index != "UND"))
    return symbols


def exported_names(path: Path) -> set[str]:
    return {symbol.name for symbol in dynamic_symbols(path) if symbol.defined and symbol.binding != "LOCAL"}


def check(extension: Path) -> list[str]:
    problems: list[str] = []

    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    if suffix != ".cpython-311-x86_64-linux-musl.so":
        problems.append(f"this interpreter's extension suffix is {suffix}, not the musl one")
    if not extension.name.endswith(suffix) or suffix not in importlib.machinery.EXTENSION_SUFFIXES:
        problems.append(f"{extension.name} does not carry the suffix {suffix}")

    needed = needed_libraries(extension)
    glibc = sorted(set(needed) & GLIBC_RUNTIME)
    if glibc:
        problems.append(f"needs glibc or its C++ runtime: {', '.join(glibc)}")
    if not set(needed) & MUSL_LIBC_NAMES:
        problems.append(f"needs no musl libc (NEEDED: {needed or 'nothing'}): libc would be linked in")
    others = sorted(set(needed) - MUSL_LIBC_NAMES - GLIBC_RUNTIME)
    if others:
        problems.append(f"needs libraries a musl system does not have by default: {', '.join(others)}")
    if program_interpreter(extension) is not None:
        problems.append("has a program interpreter: built as an executable, not a shared object")

    symbols = dynamic_symbols(extension)
    provided = exported_names(Path(sys.executable)) | exported_names(musl_libc())
    for symbol in symbols:
        if symbol.defined:
            continue
        if symbol.version:
            problems.append(f"undefined symbol {symbol.name} wants version {symbol.version}")
        elif symbol.name not in provided and symbol.binding != "WEAK":
            problems.append(f"undefined symbol {symbol.name} is provided neither by the interpreter nor by musl")
    # libc itself must come from the process, not from a copy in the file.
    defined = {symbol.name for symbol in symbols if symbol.defined}
    for libc_function in ("malloc", "free", "memcpy", "strlen"):
        if libc_function in defined:
            problems.append(f"defines {libc_function}: a libc is linked into the file")

    exported = exported_names(extension)
    if MODULE_INIT not in exported:
        problems.append(f"does not export {MODULE_INIT}")
    extra = sorted(name for name in exported - {MODULE_INIT} if not REPLACEABLE_ALLOCATION.match(name))
    if extra:
        shown = ", ".join(extra[:10]) + (f" and {len(extra) - 10} more" if len(extra) > 10 else "")
        problems.append(f"exports more than its init function: {shown}")
    return problems


def summary(extension: Path) -> str:
    symbols = dynamic_symbols(extension)
    undefined = [symbol for symbol in symbols if not symbol.defined]
    weak_missing = [
        symbol.name
        for symbol in undefined
        if symbol.binding == "WEAK"
        and symbol.name not in exported_names(Path(sys.executable)) | exported_names(musl_libc())
    ]
    lines = [
        f"{extension.name}: {os.path.getsize(extension)} bytes",
        f"  NEEDED: {', '.join(needed_libraries(extension)) or 'nothing'}",
        f"  undefined symbols: {len(undefined)} ({sum(1 for s in undefined if s.name.startswith(('Py', '_Py')))} from the interpreter)",
    ]
    allocation = sorted(name for name in exported_names(extension) if REPLACEABLE_ALLOCATION.match(name))
    if allocation:
        lines.append(f"  exports the C++ runtime's operator new/delete ({len(allocation)} symbols, weak)")
    if weak_missing:
        lines.append(f"  weak references left unresolved (allowed): {', '.join(sorted(weak_missing))}")
    return "\n".join(lines)


def main() -> int:
    if len(sys.argv) != 2:
        print(f"usage: {sys.argv[0]} EXTENSION", file=sys.stderr)
        return 2
    extension = Path(sys.argv[1])
    problems = check(extension)
    print(summary(extension))
    for problem in problems:
        print(f"  problem: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
