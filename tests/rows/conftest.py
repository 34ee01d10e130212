"""The rows tests serve rows_support's shop (``rows_shop``) as ``shop``."""

from __future__ import annotations

import pytest

from rows_support import Shop


@pytest.fixture
def shop(rows_shop: Shop) -> Shop:
    return rows_shop
