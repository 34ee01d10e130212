"""Names with control characters: refused when written, escaped when the command line prints them."""

from __future__ import annotations

import io
from pathlib import Path

import pytest
from sqlalchemy import create_engine, insert

from quorvalen_core.auth import PolicyStore
from quorvalen_core.access.adapter import casbin_rule
from quorvalen_core.access.cli import main as command_line

# (a name as stored by another program, as `list` prints it)
SHOWN = [
    ("query\nfake", "query\\nfake"),
    ("a\tb", "a\\tb"),
    ("\x1b[2Jwiped", "\\x1b[2Jwiped"),
    ("\u202eevil", "\\u202eevil"),
    ("back\\slash", "back\\\\slash"),
    ("café", "café"),
]


def test_list_prints_every_stored_name_escaped_on_its_own_line(tmp_path: Path) -> None:
    url = f"sqlite:///{tmp_path / 'policies.db'}"
    engine = create_engine(url)
    PolicyStore(engine)  # the tables
    with engine.begin() as connection:
        connection.execute(
            insert(casbin_rule), [{"ptype": "p", "v0": "viewer", "v1": "shop.account", "v2": name} for name, _ in SHOWN]
        )
    out = io.StringIO()
    assert command_line(["--url", url, "list"], out=out) == 0
    assert out.getvalue().splitlines() == [f"p\tviewer\tshop.account\t{shown}" for _, shown in SHOWN]


# (how a name is written, the call)
WRITES = {
    "grant": lambda store, name: store.grant("viewer", "shop.account", name),
    "assign_role": lambda store, name: store.assign_role(name, "viewer"),
    "inherit_role": lambda store, name: store.inherit_role("viewer", name),
    "store_route_roles": lambda store, name: store.store_route_roles([("shop.account", "read", name)]),
}


@pytest.mark.parametrize("name", [name for name, shown in SHOWN if name != shown and "\\" not in name])
@pytest.mark.parametrize("write", WRITES)
def test_a_name_with_a_control_character_is_refused_by_the_store_and_the_command_line(
    tmp_path: Path, write: str, name: str, capsys: pytest.CaptureFixture[str]
) -> None:
    url = f"sqlite:///{tmp_path / 'policies.db'}"
    store = PolicyStore(create_engine(url))
    with pytest.raises(ValueError, match="no control characters"):
        WRITES[write](store, name)
    assert command_line(["--url", url, "grant", "viewer", "shop.account", name], out=io.StringIO()) == 2
    assert "no control characters" in capsys.readouterr().err
    assert store.adapter.rules()[1] == []
