"""Row policies, server-set fields and soft delete through the generated routes, on SQLite and PostgreSQL."""

from __future__ import annotations

import io
from datetime import datetime, timedelta, timezone
from typing import Any

import pytest
from sqlalchemy import event, select, update

from quorvalen_core.access.cli import main as command_line
from fastapi.testclient import TestClient

from rows_support import CUSTOMERS, ORDERS, TICKETS, RowOrder, Shop, shop_app
from shop_fixtures import concurrently


def order(shop: Shop, subject: str, number: str, **fields: Any) -> dict[str, Any]:
    return shop.ok(subject, "POST", ORDERS, {"number": number, **fields})  # type: ignore[no-any-return]


# (caller, method, path of bob's order, body, status)
FOREIGN_ROW = [
    ("carol", "GET", "{item}", None, 404),
    ("carol", "PATCH", "{item}", {"total": 1}, 404),
    ("carol", "DELETE", "{item}", None, 404),
    ("carol", "POST", "{item}/restore", None, 403),  # no restore permission at all
    ("alice", "GET", "{item}", None, 200),  # the default role may act on every row
    ("alice", "PATCH", "{item}", {"total": 2}, 200),
    ("bob", "GET", "{item}", None, 200),
    ("bob", "PATCH", "{item}", {"total": 3}, 200),
]


@pytest.mark.parametrize(("caller", "method", "path", "body", "status"), FOREIGN_ROW)
def test_another_users_row_is_missing_for_each_operation(
    shop: Shop, caller: str, method: str, path: str, body: Any, status: int
) -> None:
    mine = order(shop, "bob", "B-1")
    item = f"{ORDERS}/{mine['id']}"
    response = shop.call(caller, method, path.format(item=item), body)
    assert response.status_code == status, response.text
    if status == 404:
        assert response.json() == {"detail": "Row not found", "code": "not_found"}
    # Nothing changed for bob.
    assert shop.ok("bob", "GET", item)["deleted_at"] is None


def test_the_query_and_its_total_hold_only_the_callers_rows(shop: Shop) -> None:
    for index in range(3):
        order(shop, "bob", f"B-{index}", total=index)
    order(shop, "carol", "C-0", total=10)
    expected = {"bob": (3, {"B-0", "B-1", "B-2"}), "carol": (1, {"C-0"}), "alice": (4, {"B-0", "B-1", "B-2", "C-0"})}
    for caller, (total, numbers) in expected.items():
        page = shop.ok(caller, "GET", ORDERS, limit=2)
        assert page["total"] == total, caller
        seen = {item["number"] for item in page["items"]}
        cursor = page["next_cursor"]
        while cursor:
            page = shop.ok(caller, "GET", ORDERS, limit=2, cursor=cursor)
            seen |= {item["number"] for item in page["items"]}
            cursor = page["next_cursor"]
        assert seen == numbers, caller
    # A filter cannot reach another's rows either.
    assert shop.ok("carol", "GET", ORDERS, filter="owner:eq:bob")["total"] == 0
    assert shop.ok("carol", "GET", ORDERS, total="false", filter="total:lt:5")["items"] == []


def test_the_every_row_permission_is_granted_and_revoked_while_serving(shop: Shop) -> None:
    mine = order(shop, "bob", "B-1")
    item = f"{ORDERS}/{mine['id']}"
    store = shop.service.policies()
    url = ["--url", shop.databases.url()]

    def agree(act: str) -> None:
        """The command line answers as the server decides."""
        expected = shop.call("carol", "GET", item).status_code == 200
        assert (command_line([*url, "check", "carol", "shop.order", act], out=io.StringIO()) == 0) == expected

    steps = [
        (lambda: None, 404, 1),
        (lambda: store.grant("buyer", "shop.order", "read:all"), 200, 1),
        (lambda: store.grant("buyer", "shop.order", "query:all"), 200, 2),
        (lambda: store.revoke("buyer", "shop.order", "read:all"), 404, 2),
        (lambda: store.revoke("buyer", "shop.order", "query:all"), 404, 1),
    ]
    order(shop, "carol", "C-1")
    for change, status, total in steps:
        change()
        assert shop.call("carol", "GET", item).status_code == status
        assert shop.ok("carol", "GET", ORDERS)["total"] == total
        agree("read:all")
    # Every row for reading is not every row for changing.
    store.grant("buyer", "shop.order", "read:all")
    assert shop.call("carol", "PATCH", item, {"total": 9}).status_code == 404
    assert shop.call("carol", "DELETE", item).status_code == 404


def test_the_default_roles_every_row_grants_are_stored_and_stay_revoked(shop: Shop) -> None:
    store = shop.service.policies()
    stored = set(store.permissions())
    for act in ("read", "update", "delete", "query", "restore"):
        assert ("shop", "shop.order", f"{act}:all") in stored, act
    for act in ("read", "query"):
        assert ("shop", "shop.order", f"{act}:deleted") in stored, act
    assert not any(act.endswith(":deleted") for role, obj, act in stored if obj == "shop.line")
    theirs = order(shop, "bob", "B-1")
    assert store.revoke("shop", "shop.order", "read:all")
    assert shop.call("alice", "GET", f"{ORDERS}/{theirs['id']}").status_code == 404
    # Another start stores the router's grants again, but not the revoked one.
    with TestClient(shop_app()) as client:
        response = client.get(f"{ORDERS}/{theirs['id']}", headers=shop.token("alice"))
        assert response.status_code == 404
        assert client.get(ORDERS, headers=shop.token("alice")).json()["data"]["total"] == 1


# (what the client sends, where) -> each must be ignored
SERVER_SET_SENT = [
    ("POST", {"owner": "alice", "created_by": "mallory", "created_at": "2001-01-01T00:00:00Z", "deleted_at": "2001-01-01T00:00:00Z"}),
    ("PATCH", {"owner": "alice", "updated_by": "mallory", "deleted_at": "2001-01-01T00:00:00Z"}),
]


@pytest.mark.parametrize(("method", "sent"), SERVER_SET_SENT)
def test_server_set_fields_ignore_what_the_client_sends(shop: Shop, method: str, sent: dict[str, Any]) -> None:
    before = datetime.now(timezone.utc)
    created = order(shop, "bob", "B-1", **(sent if method == "POST" else {}))
    if method == "PATCH":
        created = shop.ok("bob", "PATCH", f"{ORDERS}/{created['id']}", {"total": 4, **sent})
    with shop.databases.session() as session:
        stored = session.scalars(select(RowOrder)).one()
        assert (stored.owner, stored.created_by, stored.updated_by, stored.deleted_at) == ("bob", "bob", "bob", None)
        assert stored.created_at is not None
        # A column without a zone holds UTC (as older SQLModel declares datetime fields).
        created_at = stored.created_at if stored.created_at.tzinfo else stored.created_at.replace(tzinfo=timezone.utc)
        assert created_at >= before.replace(microsecond=0) - _slack()
    assert (created["owner"], created["created_by"], created["updated_by"], created["deleted_at"]) == ("bob", "bob", "bob", None)
    # Only the fields sent for other columns changed anything.
    if method == "PATCH":
        assert created["total"] == 4 and created["updated_at"] >= created["created_at"]


def _slack() -> timedelta:
    return timedelta(seconds=5)


def test_a_change_records_who_made_it(shop: Shop) -> None:
    shop.service.policies().grant("buyer", "shop.order", "update:all")
    mine = order(shop, "bob", "B-1")
    changed = shop.ok("carol", "PATCH", f"{ORDERS}/{mine['id']}", {"total": 7})
    assert (changed["owner"], changed["created_by"], changed["updated_by"]) == ("bob", "bob", "carol")
    assert changed["created_at"] == mine["created_at"] and changed["updated_at"] > mine["updated_at"]


def test_soft_delete_through_every_operation_and_restore(shop: Shop) -> None:
    gone = order(shop, "bob", "B-1")
    kept = order(shop, "bob", "B-2")
    item = f"{ORDERS}/{gone['id']}"
    deleted = shop.ok("bob", "DELETE", item)
    assert deleted["deleted_at"] is not None and deleted["updated_by"] == "bob"
    for method, path, body in [("GET", item, None), ("PATCH", item, {"total": 1}), ("DELETE", item, None)]:
        assert shop.call("bob", method, path, body).status_code == 404, method
    page = shop.ok("bob", "GET", ORDERS)
    assert [row["id"] for row in page["items"]] == [kept["id"]] and page["total"] == 1
    # The row is still stored: a soft delete.
    with shop.databases.session() as session:
        assert session.get(RowOrder, gone["id"]) is not None
    # Seeing deleted rows, and restoring them, are permissions of their own.
    for mode in ("include", "only"):
        assert shop.call("bob", "GET", ORDERS, deleted=mode).status_code == 403
        assert shop.call("bob", "GET", item, deleted=mode).status_code == 403
    assert shop.call("bob", "POST", f"{item}/restore").status_code == 403
    assert [row["id"] for row in shop.ok("alice", "GET", ORDERS, deleted="only")["items"]] == [gone["id"]]
    assert shop.ok("alice", "GET", ORDERS, deleted="include")["total"] == 2
    assert shop.ok("alice", "GET", item, deleted="include")["id"] == gone["id"]
    store = shop.service.policies()
    store.grant("buyer", "shop.order", "restore")
    assert shop.call("carol", "POST", f"{item}/restore").status_code == 404  # not carol's
    assert shop.call("bob", "POST", f"{ORDERS}/{kept['id']}/restore").status_code == 404  # not deleted
    restored = shop.ok("bob", "POST", f"{item}/restore")
    assert restored["deleted_at"] is None and restored["id"] == gone["id"]
    assert shop.ok("bob", "GET", item)["number"] == "B-1"
    assert shop.call("bob", "POST", f"{item}/restore").status_code == 404


def test_a_deleted_row_does_not_block_a_new_one_under_the_live_unique_index(shop: Shop) -> None:
    first = order(shop, "bob", "N-1")
    assert shop.call("bob", "POST", ORDERS, {"number": "N-1"}).status_code == 409
    shop.ok("bob", "DELETE", f"{ORDERS}/{first['id']}")
    second = order(shop, "bob", "N-1")
    assert second["id"] != first["id"]
    # Restoring the first would make two live rows: the index refuses.
    shop.service.policies().grant("buyer", "shop.order", "restore")
    response = shop.call("bob", "POST", f"{ORDERS}/{first['id']}/restore")
    assert response.status_code == 409 and "INSERT" not in response.text and "UPDATE" not in response.text
    assert shop.ok("bob", "GET", ORDERS)["total"] == 1


# (team roles of the caller, status, owner of the ticket or what the error says)
TEAM_CREATES = [
    (["buyer"], 403, "holds none"),
    (["team:north"], 201, "team:north"),
    (["team:north", "team:south"], 403, "several: team:north, team:south"),
    (["buyer", "team:south"], 201, "team:south"),  # only roles under the prefix are teams
]


@pytest.mark.parametrize(("teams", "status", "expected"), TEAM_CREATES)
def test_a_team_row_takes_the_callers_single_team(shop: Shop, teams: list[str], status: int, expected: str) -> None:
    store = shop.service.policies()
    store.grant_many([(team, "shop.ticket", "create") for team in ("team:north", "team:south", "buyer")])
    store.assign_roles([("dan", team) for team in teams])
    response = shop.call("dan", "POST", TICKETS, {"title": "Broken cup", "team": "team:evil"})
    assert response.status_code == status, response.text
    assert expected in (response.json()["data"]["team"] if status == 201 else response.json()["detail"])


def test_team_rows_are_seen_by_the_teams_members_only(shop: Shop) -> None:
    store = shop.service.policies()
    store.grant_many([("team:north", "shop.ticket", act) for act in ("create", "read", "query", "update")])
    store.inherit_role("team:north-leads", "team:north")
    store.assign_roles([("nina", "team:north"), ("otto", "team:north-leads"), ("sam", "team:south")])
    store.grant_many([("team:south", "shop.ticket", act) for act in ("create", "read", "query")])
    # vic may read and query tickets, but holds no team: no ticket is his.
    store.grant_many([("auditor", "shop.ticket", act) for act in ("read", "query")])
    store.assign_role("vic", "auditor")
    ticket = shop.ok("nina", "POST", TICKETS, {"title": "Broken cup"})
    item = f"{TICKETS}/{ticket['id']}"
    for caller in ("sam", "vic"):
        assert shop.call(caller, "GET", item).status_code == 404, caller
        assert shop.ok(caller, "GET", TICKETS)["total"] == 0, caller
    # A member through an inherited role sees the team's rows too.
    assert shop.ok("otto", "GET", item)["title"] == "Broken cup"
    assert shop.ok("otto", "PATCH", item, {"title": "Two cups"})["team"] == "team:north"
    assert shop.ok("nina", "GET", TICKETS)["total"] == 1
    assert shop.ok("alice", "GET", TICKETS)["total"] == 1


@pytest.mark.parametrize("path", [ORDERS, CUSTOMERS])
def test_openapi_documents_the_deleted_parameter_and_the_restore_route(shop: Shop, path: str) -> None:
    paths = shop.client.app.openapi()["paths"]  # type: ignore[attr-defined]
    restore = paths[f"{path}/{{id}}/restore"]["post"]
    assert restore["summary"] == "restore - 恢复" and restore["operationId"].endswith("_restore")
    query = {parameter["name"]: parameter for parameter in paths[path]["get"]["parameters"]}
    deleted = query["deleted"]["schema"]
    # Older FastAPI wraps the reference of a parameter with a default in allOf.
    assert (deleted.get("$ref") or deleted["allOf"][0]["$ref"]).endswith("DeletedRows")
    # The derived bodies leave out the columns the server fills.
    schemas = shop.client.app.openapi()["components"]["schemas"]  # type: ignore[attr-defined]
    for body in ("RowCustomerCreate", "RowCustomerUpdate"):
        assert set(schemas[body]["properties"]) == {"name"}, body


def test_of_concurrent_soft_deletes_and_restores_of_one_row_one_of_each_succeeds(shop: Shop) -> None:
    for round_number in range(5):
        item = f"{ORDERS}/{order(shop, 'bob', f'R-{round_number}')['id']}"
        requests = [("PATCH", item, {"total": n}) for n in range(3)] + [("DELETE", item, None)] * 4
        responses = concurrently(shop.client.app, shop.token("bob"), requests)  # type: ignore[arg-type]
        statuses = [(method, r.status_code) for (method, _, _), r in zip(requests, responses)]
        assert [status for method, status in statuses if method == "DELETE"].count(200) == 1, statuses
        assert {status for _, status in statuses} <= {200, 404}, statuses
        # A change answered 200 was made to the live row.
        assert all(r.json()["data"]["deleted_at"] is None for (method, _, _), r in zip(requests, responses)
                   if method == "PATCH" and r.status_code == 200)
        restores = [("POST", f"{item}/restore", None)] * 4
        answers = concurrently(shop.client.app, shop.token("alice"), restores)  # type: ignore[arg-type]
        assert sorted(r.status_code for r in answers) == [200, 404, 404, 404]


def test_a_soft_delete_between_an_updates_read_and_its_write_leaves_the_row_deleted(shop: Shop) -> None:
    """The interleaving forced: the row is deleted, by another connection, just before the update writes."""
    mine = order(shop, "bob", "B-1")
    engine = shop.engine()
    deleted_at = datetime(2024, 1, 1, tzinfo=timezone.utc)

    fired: list[bool] = []

    def delete_first(connection: Any, cursor: Any, statement: str, *args: Any) -> None:
        if statement.startswith("UPDATE rows_order") and not fired:
            fired.append(True)
            with engine.begin() as other:
                other.execute(update(RowOrder).where(RowOrder.id == mine["id"]).values(deleted_at=deleted_at))

    event.listen(engine, "before_cursor_execute", delete_first)
    try:
        response = shop.call("bob", "PATCH", f"{ORDERS}/{mine['id']}", {"total": 7})
    finally:
        event.remove(engine, "before_cursor_execute", delete_first)
    assert (response.status_code, response.json()) == (404, {"detail": "Row not found", "code": "not_found"})
    with shop.databases.session() as session:
        row = session.get(RowOrder, mine["id"])
        assert (row.total, row.deleted_at.replace(tzinfo=timezone.utc)) == (0, deleted_at)
