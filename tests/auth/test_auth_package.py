"""The auth package loads its parts on demand."""

from __future__ import annotations

import subprocess
import sys

import quorvalen_core.auth as auth


def test_importing_the_package_loads_no_web_stack() -> None:
    code = (
        "import sys, quorvalen_core.auth, quorvalen_core.controller.router_config\n"
        "heavy = [m for m in ('fastapi', 'sqlalchemy', 'sqlmodel', 'casbin', 'jwt') if m in sys.modules]\n"
        "assert not heavy, heavy\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


def test_every_listed_name_resolves() -> None:
    assert sorted(auth.__all__) == sorted(auth._EXPORTS)
    for name in auth.__all__:
        assert getattr(auth, name) is not None
