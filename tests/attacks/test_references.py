"""Foreign keys to other owners' rows, and unique values they hold, on SQLite and PostgreSQL.

bob and carol may create orders, customers and lines; neither may see the
other's rows.  A key naming carol's row must be answered exactly as one
naming no row at all, and a number carol holds must not reveal itself.
"""

from __future__ import annotations

from typing import Any

import pytest

from rows_support import CUSTOMERS, LINES, ORDERS, RowLine, RowOrder, Shop

MISSING = 10**6

# (caller, method, path, body; "{...}" name rows set up below, status)
REFERENCES = [
    # Answered as a missing row, whatever the row's owner and key.
    ("bob", "POST", LINES, {"order_id": "{carol_order}", "line_no": 2, "item": "x"}, "as missing"),
    ("bob", "POST", LINES, {"order_id": "{carol_order}", "line_no": 1, "item": "x"}, "as missing"),
    ("bob", "POST", LINES, {"order_id": "{bob_deleted_order}", "line_no": 1, "item": "x"}, "as missing"),
    ("bob", "POST", ORDERS, {"number": "B-2", "customer_id": "{carol_customer}"}, "as missing"),
    ("bob", "PATCH", "{bob_order_path}", {"customer_id": "{carol_customer}"}, "as missing"),
    # One's own rows, and every row with the every-row read of the referenced table.
    ("bob", "POST", LINES, {"order_id": "{bob_order}", "line_no": 1, "item": "x"}, 201),
    ("bob", "POST", ORDERS, {"number": "B-2", "customer_id": "{bob_customer}"}, 201),
    ("bob", "PATCH", "{bob_order_path}", {"customer_id": "{bob_customer}", "total": 3}, 200),
    ("bob", "PATCH", "{bob_order_path}", {"customer_id": None}, 200),
    ("alice", "POST", LINES, {"order_id": "{carol_order}", "line_no": 2, "item": "x"}, 201),
    ("alice", "PATCH", "{bob_order_path}", {"customer_id": "{carol_customer}"}, 200),
    # A number is unique per owner: carol's does not keep bob from his.
    ("bob", "POST", ORDERS, {"number": "C-1"}, 201),
    ("carol", "POST", ORDERS, {"number": "C-1"}, 409),
]


def _filled(value: Any, rows: dict[str, Any]) -> Any:
    if isinstance(value, dict):
        return {name: _filled(item, rows) for name, item in value.items()}
    if isinstance(value, str) and value.startswith("{"):
        return rows[value[1:-1]]
    return value


@pytest.mark.parametrize(("caller", "method", "path", "body", "status"), REFERENCES)
def test_a_reference_to_a_row_the_caller_may_not_read_is_answered_as_a_missing_one(
    rows_shop: Shop, caller: str, method: str, path: str, body: dict[str, Any], status: Any
) -> None:
    shop = rows_shop
    bob_order = shop.ok("bob", "POST", ORDERS, {"number": "B-1"})["id"]
    bob_deleted_order = shop.ok("bob", "POST", ORDERS, {"number": "B-0"})["id"]
    shop.ok("bob", "DELETE", f"{ORDERS}/{bob_deleted_order}")
    carol_order = shop.ok("carol", "POST", ORDERS, {"number": "C-1"})["id"]
    shop.ok("carol", "POST", LINES, {"order_id": carol_order, "line_no": 1, "item": "tea"})
    rows = {
        "bob_order": bob_order,
        "bob_order_path": f"{ORDERS}/{bob_order}",
        "bob_deleted_order": bob_deleted_order,
        "bob_customer": shop.ok("bob", "POST", CUSTOMERS, {"name": "B"})["id"],
        "carol_order": carol_order,
        "carol_customer": shop.ok("carol", "POST", CUSTOMERS, {"name": "C"})["id"],
    }
    response = shop.call(caller, method, _filled(path, rows), _filled(body, rows))
    if status != "as missing":
        assert response.status_code == status, response.text
        return
    missing = {name: MISSING if str(value).startswith("{") else value for name, value in body.items()}
    answer_for_missing = shop.call(caller, method, _filled(path, rows), missing)
    assert (response.status_code, response.json()) == (answer_for_missing.status_code, answer_for_missing.json())
    assert response.status_code == 409, response.text
    # Nothing was written: carol's order has her one line, bob's order no customer.
    with shop.databases.session() as session:
        assert session.get(RowLine, (carol_order, 2)) is None
        assert session.get(RowOrder, bob_order).customer_id is None
