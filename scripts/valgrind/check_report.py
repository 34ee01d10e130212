"""Reads a memcheck XML report of scripts/valgrind/exercise.py and decides.

Fails on
- any memcheck error that is not a leak (invalid read or write, invalid or
  mismatched free, use of uninitialised values, overlapping copies...),
  wherever it happens: none is suppressed in the module or the interpreter;
- a definitely or indirectly lost block with a table_controller frame in its
  allocation stack, or allocated by PyModule_ExecDef: a module state block,
  see below (the exercise re-imports no other extension module).

Other lost blocks belong to the interpreter; each is listed with the frames
that tell where it was allocated, so a new one is seen, but it does not fail
the run.  A block allocated by PyModule_ExecDef (moduleobject.c) is a module
state block and counts as the module's.  On a re-import of the module after
its sys.modules entry was removed, the interpreter's PyModule_FromDefAndSpec2
sets md_state to NULL on the module object that the create step hands back
and the exec machinery allocates a new block; the module's exec step frees
the forgotten one, so such a report means that handling broke.

Usage: python check_report.py report.xml
"""

from __future__ import annotations

import sys
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass

MODULE_MARKERS = ("table_controller",)
STATE_BLOCK_ALLOCATOR = "PyModule_ExecDef"
LOST = ("Leak_DefinitelyLost", "Leak_IndirectlyLost")


@dataclass
class Frame:
    function: str
    obj: str
    location: str

    def in_module(self) -> bool:
        return any(marker in self.function or marker in self.obj for marker in MODULE_MARKERS) or (
            self.function == STATE_BLOCK_ALLOCATOR
        )


@dataclass
class Error:
    kind: str
    what: str
    frames: list[Frame]

    def describe(self, depth: int = 12) -> str:
        lines = [f"{self.kind}: {self.what}"]
        for frame in self.frames[:depth]:
            lines.append(f"    {frame.function}  ({frame.location or frame.obj})")
        return "\n".join(lines)


def read_errors(path: str) -> list[Error]:
    root = ElementTree.parse(path).getroot()
    errors = []
    for element in root.iter("error"):
        kind = element.findtext("kind", "")
        what = element.findtext("xwhat/text") or element.findtext("what", "")
        frames = []
        stack = element.find("stack")
        for frame in stack.iter("frame") if stack is not None else []:
            file_name, line = frame.findtext("file"), frame.findtext("line")
            frames.append(
                Frame(
                    frame.findtext("fn", "???"),
                    frame.findtext("obj", ""),
                    f"{file_name}:{line}" if file_name else "",
                )
            )
        errors.append(Error(kind, what, frames))
    return errors


def main() -> int:
    errors = read_errors(sys.argv[1])
    invalid = [error for error in errors if not error.kind.startswith("Leak_")]
    lost = [error for error in errors if error.kind in LOST]
    module_lost = [error for error in lost if any(frame.in_module() for frame in error.frames)]
    interpreter_lost = [error for error in lost if error not in module_lost]

    for error in invalid:
        print("memory error:\n" + error.describe(), file=sys.stderr)
    for error in module_lost:
        print("lost by table_controller:\n" + error.describe(), file=sys.stderr)
    for error in interpreter_lost:
        print("lost by the interpreter (not counted):\n" + error.describe(8))
    print(
        f"valgrind: {len(invalid)} memory errors, {len(module_lost)} lost records from table_controller, "
        f"{len(interpreter_lost)} from the interpreter"
    )
    return 1 if invalid or module_lost else 0


if __name__ == "__main__":
    sys.exit(main())
