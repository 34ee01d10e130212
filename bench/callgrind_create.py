"""Instruction count of one ``AuthController.create`` call, measured by callgrind.

One run of the interpreter under callgrind makes, after warming up, three
regions separated by calls of the builtin ``id`` (callgrind dumps its counters
on each entry of ``builtin_id``): an empty region, one native ``create`` call
and one call of the pure-Python version of the same factory
(tests/support/reference_factory.py), all with
``types.SimpleNamespace`` collaborators.  The empty region's count (the
marker's own cost) is subtracted from the other two.  PYTHONHASHSEED=0 and the
fixed build (scripts/valgrind/build.sh) make the counts exactly reproducible,
so a change of the module shows as a change of its count.

Usage: python bench/callgrind_create.py [path/to/table_controller*.so]
"""

from __future__ import annotations

import os
import platform
import re
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SUPPORT = ROOT / "tests" / "support"
sys.path.insert(0, str(SUPPORT))

from native_support import FULL_NAME, build_tree  # noqa: E402

MEASURED = f"""
import sys, types
sys.path[:0] = [sys.argv[1], sys.argv[2]]
import {FULL_NAME} as module
from reference_factory import ReferenceAuthController, use_collaborators

for name in ("AuthRouter", "RouterConfig", "GenericController"):
    setattr(module, name, types.SimpleNamespace)
use_collaborators(module)

create, reference_create = module.AuthController.create, ReferenceAuthController.create
kwargs = dict(model_class=object, response_schema=object, schema_name="sales", table_name="invoice")
for _ in range(5):
    create(**kwargs)
    reference_create(**kwargs)
    id(0)
id(0)
id(0)
create(**kwargs)
id(0)
reference_create(**kwargs)
id(0)
"""


def counts(directory: Path) -> list[int]:
    """Instruction totals of the numbered dumps, in dump order."""
    parts = sorted(directory.glob("callgrind.out.*.*"), key=lambda path: int(path.name.rsplit(".", 1)[1]))
    totals = []
    for part in parts:
        match = re.search(r"^(?:summary|totals): (\d+)", part.read_text(), re.MULTILINE)
        if match is None:
            raise RuntimeError(f"no total in {part}")
        totals.append(int(match.group(1)))
    return totals


def main() -> int:
    if len(sys.argv) > 1:
        extension = Path(sys.argv[1])
    else:
        built = subprocess.run(["bash", str(ROOT / "scripts/valgrind/build.sh")], check=True, capture_output=True, text=True)
        extension = Path(ROOT, built.stdout.strip())
    python = os.path.realpath(sys.executable)
    # A fixed place: the length of the paths the interpreter handles shows in the count.
    directory = ROOT / "build" / "callgrind-bench"
    shutil.rmtree(directory, ignore_errors=True)
    directory.mkdir(parents=True)
    try:
        build_tree(directory, extension)
        script = directory / "measured.py"
        script.write_text(MEASURED, encoding="utf-8")
        output = directory / "callgrind.out.%p"
        subprocess.run(
            # Without address space randomisation: addresses reach hashes and allocator paths.
            ["setarch", platform.machine(), "--addr-no-randomize", "valgrind", "--tool=callgrind", "--dump-before=builtin_id", f"--callgrind-out-file={output}",
             python, "-s", str(script), str(directory), str(SUPPORT)],
            check=True,
            capture_output=True,
            # A fixed environment: string hashing seeded, nothing else inherited.
            env={"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "PYTHONHASHSEED": "0", "LC_ALL": "C.UTF-8"},
        )
        empty, native, reference = counts(directory)[-3:]
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    native -= empty
    reference -= empty
    print("callgrind: one AuthController.create call, types.SimpleNamespace collaborators, PYTHONHASHSEED=0")
    print(f"  native create:                   {native:>9} instructions")
    print(f"  pure-Python create (same steps): {reference:>9} instructions")
    print(f"  ratio pure-Python / native:      {reference / native:9.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
