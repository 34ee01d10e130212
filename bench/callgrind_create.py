"""Instruction count of one ``AuthController.create`` call, measured by callgrind.

One run of the interpreter under callgrind makes, after warming up, three
regions separated by calls of the builtin ``id`` (callgrind dumps its counters
on each entry of ``builtin_id``): an empty region, one native ``create`` call
and one call of a pure-Python version of the same factory, all with
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
sys.path.insert(0, str(ROOT / "scripts" / "valgrind"))

from exercise import FULL_NAME, build_tree  # noqa: E402

MEASURED = '''
import sys, types
sys.path.insert(0, sys.argv[1])
from {full_name} import AuthController
import {package}.controller.table_controller as module

for name in ("AuthRouter", "RouterConfig", "GenericController"):
    setattr(module, name, types.SimpleNamespace)


def reference_create(cls, *, model_class, create_schema=None, update_schema=None, response_schema,
                     create_router=None, update_router=None, read_router=None, delete_router=None,
                     query_router=None, prefix=None, schema_name=None, table_name=None, tags=None,
                     default_role=None, auth_role=None, auth_obj=None, auth_act=None, db_config_name=None):
    for name, value, kind in (("prefix", prefix, str), ("schema_name", schema_name, str),
                              ("table_name", table_name, str), ("tags", tags, list),
                              ("default_role", default_role, str), ("auth_role", auth_role, str),
                              ("auth_obj", auth_obj, str), ("auth_act", auth_act, str),
                              ("db_config_name", db_config_name, str)):
        if value is not None and type(value) is not kind:
            raise TypeError(name)

    def _apply_route_config(router, default_router):
        if router is None:
            return default_router
        if router.enabled is False:
            return router
        router.auth = router.auth if router.auth is not None else default_router.auth
        router.auth_role = router.auth_role if router.auth_role is not None else default_router.auth_role
        router.auth_obj = router.auth_obj if router.auth_obj is not None else default_router.auth_obj
        router.auth_act = router.auth_act if router.auth_act is not None else default_router.auth_act
        router.message = router.message if router.message is not None else default_router.message
        router.summary = router.summary if router.summary is not None else default_router.summary
        return router

    _schema_name1 = f"{{schema_name}}/" if schema_name else ""
    _schema_name2 = f"{{schema_name}}." if schema_name else ""
    _prefix = prefix if prefix else f"/v1/{{_schema_name1}}{{table_name}}"
    _tag = tags if tags else [f"{{_schema_name2}}table"]
    _default_role = default_role if default_role else schema_name
    _auth_obj = auth_obj if auth_obj else f"{{_schema_name2}}{{table_name}}"
    auth_router = module.AuthRouter(prefix=_prefix, tags=_tag, db_config_name=db_config_name,
                                    default_role=_default_role, auth_role=auth_role, auth_obj=_auth_obj,
                                    auth_act=auth_act)
    routers = []
    for router, operation, message, summary in (
            (create_router, "create", "创建成功", "create - 创建"), (update_router, "update", "更新成功", "update - 更新"),
            (read_router, "read", "获取成功", "read - 读取 "), (delete_router, "delete", "删除成功", "delete - 删除"),
            (query_router, "query", "查询成功", "query - 查询")):
        default = module.RouterConfig(enabled=True, message=message, summary=summary, auth=True, auth_role=None,
                                      auth_obj=None, auth_act=operation)
        routers.append(_apply_route_config(router, default))
    module.GenericController(auth_router=auth_router, model_class=model_class, create_schema=create_schema,
                             update_schema=update_schema, response_schema=response_schema,
                             create_router=routers[0], update_router=routers[1], read_router=routers[2],
                             delete_router=routers[3], query_router=routers[4])
    return auth_router


create = AuthController.create
kwargs = dict(model_class=object, response_schema=object, schema_name="sales", table_name="invoice")
for _ in range(5):
    create(**kwargs)
    reference_create(AuthController, **kwargs)
    id(0)
id(0)
id(0)
create(**kwargs)
id(0)
reference_create(AuthController, **kwargs)
id(0)
'''


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
        script.write_text(MEASURED.format(full_name=FULL_NAME, package=FULL_NAME.split(".")[0]), encoding="utf-8")
        output = directory / "callgrind.out.%p"
        subprocess.run(
            # Without address space randomisation: addresses reach hashes and allocator paths.
            ["setarch", platform.machine(), "--addr-no-randomize", "valgrind", "--tool=callgrind", "--dump-before=builtin_id", f"--callgrind-out-file={output}",
             python, "-s", str(script), str(directory)],
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
