"""Markers for what a test needs from its platform beyond the Python packages.

A pytest plugin, loaded by the suite's root conftest.  scripts/musl-check.sh
runs the whole suite under a CPython built against musl libc. A test that
needs something such an interpreter cannot have carries one of the markers
below and is skipped there, with the marker's reason; everywhere else it runs.
"""

from __future__ import annotations

import sysconfig

import pytest

# Marker -> what musl lacks, said in the skip.
UNAVAILABLE_ON_MUSL: dict[str, str] = {
    "browser": (
        "needs a web browser and its driver, and none is built for musl here "
        "(Debian's chromium is a glibc program; PyPI has no musllinux browser builds)"
    ),
}


def on_musl() -> bool:
    return "-linux-musl" in (sysconfig.get_config_var("SOABI") or "")


def pytest_configure(config: pytest.Config) -> None:
    for marker, reason in UNAVAILABLE_ON_MUSL.items():
        config.addinivalue_line("markers", f"{marker}: skipped under a musl interpreter, which {reason}")


def pytest_collection_modifyitems(config: pytest.Config, items: list[pytest.Item]) -> None:
    if not on_musl():
        return
    for item in items:
        for marker, reason in UNAVAILABLE_ON_MUSL.items():
            if item.get_closest_marker(marker) is not None:
                item.add_marker(pytest.mark.skip(reason=f"musl: {reason}"))
