"""A client generated from the demo's OpenAPI document, used as a program would: typed, no casts.

Run by scripts/contract.sh against a demo it serves, with the generated
package (``demo_client``) on the path and tokens in the environment:
``DEMO_URL``, ``ALICE_TOKEN`` (every permission) and ``BOB_TOKEN`` (reads
products; places, reads, changes and cancels his own orders).  mypy --strict
checks this file against the generated package first.
"""

from __future__ import annotations

import os

from demo_client import AuthenticatedClient
from demo_client.api.shop_table import (
    shop_order_create,
    shop_order_delete,
    shop_order_history,
    shop_order_query,
    shop_order_restore,
    shop_order_update,
    shop_product_create,
    shop_product_delete,
    shop_product_query,
    shop_product_read,
    shop_product_update,
)
from demo_client.models import (
    ConflictAnswer,
    EnvelopeOrderResponse,
    EnvelopePageOrderHistoryEntryFields,
    EnvelopePageOrderResponseWithIncludesFields,
    EnvelopePageProductResponseFields,
    EnvelopeProductResponse,
    InvalidRequestAnswer,
    NotAuthenticatedAnswer,
    OrderHistoryEntryFieldsChanges,
    OrderHistoryEntryFieldsOperation,
    OrderHistorySortKey,
    NotFoundAnswer,
    OrderCreate,
    OrderUpdate,
    PermissionDeniedAnswer,
    PreconditionFailedAnswer,
    ProductCreate,
    ProductSortKey,
    ProductUpdate,
)
from demo_client.types import UNSET


def main() -> None:
    url = os.environ["DEMO_URL"]
    alice = AuthenticatedClient(base_url=url, token=os.environ["ALICE_TOKEN"])
    bob = AuthenticatedClient(base_url=url, token=os.environ["BOB_TOKEN"])
    # Every operation requires a token, so the generated functions take only an
    # AuthenticatedClient: one whose credentials go in a header nobody reads.
    nobody = AuthenticatedClient(base_url=url, token="", prefix="", auth_header_name="X-Unused")

    # A query: filter, sort, and the pages a cursor walks through.
    seen: list[int] = []
    cursor: str | None = None
    while True:
        page = shop_product_query.sync(
            client=bob, filter_=["stock:ge:0"], sort=[ProductSortKey.PRICE_DESC], limit=2, cursor=cursor or UNSET
        )
        assert isinstance(page, EnvelopePageProductResponseFields), page
        seen += [item.id for item in page.data.items]
        if not page.data.has_more or not isinstance(page.data.next_cursor, str):
            break
        cursor = page.data.next_cursor
    assert len(seen) == len(set(seen)) >= 4, seen

    # Create, change, read and delete a product, as alice.
    created = shop_product_create.sync(client=alice, body=ProductCreate(sku="MAT-001", name="Bamboo mat", price=990))
    assert isinstance(created, EnvelopeProductResponse), created
    product = created.data.id
    # A change made against the state read: once, then refused with the same tag.
    tag = shop_product_read.sync_detailed(product, client=alice).headers["ETag"]
    changed = shop_product_update.sync(product, client=alice, body=ProductUpdate(price=1090), if_match=tag)
    assert isinstance(changed, EnvelopeProductResponse) and changed.data.price == 1090, changed
    stale = shop_product_update.sync(product, client=alice, body=ProductUpdate(price=1), if_match=tag)
    assert isinstance(stale, PreconditionFailedAnswer) and stale.code == "precondition_failed", stale
    again = shop_product_create.sync(client=alice, body=ProductCreate(sku="MAT-001", name="Copy", price=1))
    assert isinstance(again, ConflictAnswer) and again.code == "conflict", again
    assert isinstance(shop_product_delete.sync(product, client=alice), EnvelopeProductResponse)
    gone = shop_product_read.sync(product, client=alice)
    assert isinstance(gone, NotFoundAnswer) and gone.code == "not_found", gone

    # bob's own order: placed, seen with its product, changed, cancelled, restored by alice.
    placed = shop_order_create.sync(client=bob, body=OrderCreate(product_id=1, quantity=2))
    assert isinstance(placed, EnvelopeOrderResponse), placed
    order = placed.data.id
    mine = shop_order_query.sync(client=bob, include=["product"], filter_=[f"id:eq:{order}"])
    assert isinstance(mine, EnvelopePageOrderResponseWithIncludesFields), mine
    assert [item.id for item in mine.data.items] == [order]
    updated = shop_order_update.sync(order, client=bob, body=OrderUpdate(quantity=3))
    assert isinstance(updated, EnvelopeOrderResponse) and updated.data.quantity == 3, updated
    assert isinstance(shop_order_delete.sync(order, client=bob), EnvelopeOrderResponse)
    refused = shop_order_restore.sync(order, client=bob)
    assert isinstance(refused, PermissionDeniedAnswer) and refused.code == "permission_denied", refused
    assert isinstance(shop_order_restore.sync(order, client=alice), EnvelopeOrderResponse)
    # Who did what to it, and what it was before.
    history = shop_order_history.sync(order, client=bob, sort=[OrderHistorySortKey.ID_ASC])
    assert isinstance(history, EnvelopePageOrderHistoryEntryFields), history
    entries = history.data.items
    assert [entry.operation for entry in entries] == [
        OrderHistoryEntryFieldsOperation.CREATE,
        OrderHistoryEntryFieldsOperation.UPDATE,
        OrderHistoryEntryFieldsOperation.DELETE,
        OrderHistoryEntryFieldsOperation.RESTORE,
    ], entries
    assert [entry.subject for entry in entries] == ["bob", "bob", "bob", "alice"], entries
    quantity = entries[1].changes["quantity"] if isinstance(entries[1].changes, OrderHistoryEntryFieldsChanges) else None
    assert quantity is not None and (quantity.old, quantity.new) == (2, 3), entries[1]

    # Errors a program tells apart by their type and code.
    anonymous = shop_product_query.sync(client=nobody)
    assert isinstance(anonymous, NotAuthenticatedAnswer) and anonymous.code == "not_authenticated", anonymous
    denied = shop_product_create.sync(client=bob, body=ProductCreate(sku="X-1", name="x", price=1))
    assert isinstance(denied, PermissionDeniedAnswer), denied
    unknown = shop_product_query.sync(client=bob, filter_=["nosuch:eq:1"])
    assert isinstance(unknown, InvalidRequestAnswer) and unknown.code == "invalid_request", unknown
    too_many = shop_product_query.sync(client=bob, filter_=[f"price:in:{','.join(['1'] * 1001)}"])
    assert isinstance(too_many, InvalidRequestAnswer) and too_many.code == "limit_exceeded", too_many
    print("generated client: query pages, create, conditional update, delete, includes, restore, history and typed errors as documented")


if __name__ == "__main__":
    main()
