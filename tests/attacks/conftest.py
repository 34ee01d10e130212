"""The attack tests serve attack_support's account table (``account_shop``) as ``shop``."""

from __future__ import annotations

import pytest

from attack_support import Shop


@pytest.fixture
def shop(account_shop: Shop) -> Shop:
    return account_shop
