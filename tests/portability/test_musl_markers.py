"""The suite's platform markers: skipped under a musl interpreter, run elsewhere."""

from __future__ import annotations

import sysconfig
from pathlib import Path

import pytest

PLATFORM_MARKERS = Path(__file__).resolve().parents[1] / "support" / "platform_markers.py"

INNER_TESTS = """
import pytest

@pytest.mark.browser
def test_in_a_browser():
    pass

def test_plain():
    pass
"""


@pytest.mark.parametrize(
    ("soabi", "passed", "skipped"),
    [
        ("cpython-311-x86_64-linux-musl", 1, 1),
        ("cpython-311-aarch64-linux-musl", 1, 1),
        ("cpython-311-x86_64-linux-gnu", 2, 0),
        (None, 2, 0),  # an interpreter that does not say
    ],
)
def test_musl_skips_what_it_lacks_with_the_reason(
    pytester: pytest.Pytester, monkeypatch: pytest.MonkeyPatch, soabi: str | None, passed: int, skipped: int
) -> None:
    real = sysconfig.get_config_var
    monkeypatch.setattr(sysconfig, "get_config_var", lambda name: soabi if name == "SOABI" else real(name))
    pytester.makeconftest(PLATFORM_MARKERS.read_text(encoding="utf-8"))
    pytester.makepyfile(INNER_TESTS)
    result = pytester.runpytest_inprocess("-v", "-rs", "--strict-markers", "-p", "no:cacheprovider")
    result.assert_outcomes(passed=passed, skipped=skipped)
    if skipped:
        result.stdout.fnmatch_lines(["*::test_in_a_browser SKIPPED*", "SKIPPED*musl: needs a web browser*"])
