"""Several worker processes on one PostgreSQL: policy changes, sustained load, an outage.

These run real uvicorn processes against the server ``scripts/postgres.sh``
starts (skipped without one), in a short form of ``bench/load_test.py``.
"""

from __future__ import annotations

import os
import statistics
import sys
import threading
import time
from contextlib import ExitStack
from pathlib import Path

import httpx
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))

import load_test  # noqa: E402
from deploy_app import PERMISSION_OBJECT, PROBE  # noqa: E402

PROCESSES = 3
ROUNDS = 7
POLL_PAUSE_SECONDS = 0.005
TARGET_SECONDS = 0.1


class Prober(threading.Thread):
    """Asks one worker process, again and again once started, until it refuses.

    Its connection is made beforehand: opening a client takes longer than
    the change takes to arrive.  The guard decides as a request arrives,
    before any database work, so the moment the first refused request was
    sent is the closest a client can see of the moment the process began to
    enforce.
    """

    def __init__(self, base: str, headers: dict[str, str]) -> None:
        super().__init__()
        self.http = httpx.Client(base_url=base, headers=headers, timeout=5)
        self.http.get(PROBE)  # connected, and allowed
        self.go = threading.Event()
        self.since = 0.0
        self.delay: float | None = None

    def run(self) -> None:
        self.go.wait()
        while time.monotonic() - self.since < 10:
            sent = time.monotonic()
            if self.http.get(PROBE).status_code == 403:
                self.delay = sent - self.since
                break
            # A pause between probes: back to back, they would keep the
            # worker's one thread busy and delay its listener (the GIL).
            time.sleep(POLL_PAUSE_SECONDS)
        self.http.close()


def test_a_revocation_reaches_every_worker_process_at_once(postgres_url: str) -> None:
    """Polling is set to a minute: only the notification can bring the change in time."""
    databases, service, _tokens = load_test.prepare(postgres_url, 1)
    store = service.policies()
    headers = {"Authorization": f"Bearer {service.create_access_token(load_test.CHURN_SUBJECT)}"}
    delays: dict[str, list[float]] = {}
    try:
        with ExitStack() as stack:
            bases = [
                stack.enter_context(load_test.serving(postgres_url, workers=1, QUORVALEN_AUTH_POLICY_REFRESH_SECONDS="60"))
                for _ in range(PROCESSES)
            ]
            for _ in range(ROUNDS):
                store.grant(load_test.CHURN_ROLE, PERMISSION_OBJECT, "query")
                for base in bases:
                    deadline = time.monotonic() + 10
                    while httpx.get(f"{base}{PROBE}", headers=headers).status_code != 200:
                        assert time.monotonic() < deadline, f"{base} never saw the grant"
                probers = [Prober(base, headers) for base in bases]
                for prober in probers:
                    prober.start()
                # The commit sends the notification; this process's own reload is not timed.
                store.adapter.remove_rules("p", [(load_test.CHURN_ROLE, PERMISSION_OBJECT, "query")])
                since = time.monotonic()
                for prober in probers:
                    prober.since = since
                    prober.go.set()
                for prober in probers:
                    prober.join()
                    assert prober.delay is not None, "a process did not enforce the revocation"
                    delays.setdefault(str(prober.http.base_url), []).append(prober.delay)
    finally:
        service.close()
        databases.reset()
    medians = {base: statistics.median(values) for base, values in delays.items()}
    print("revocation enforced after (median of", ROUNDS, "rounds, s):", medians)
    assert all(median <= TARGET_SECONDS for median in medians.values()), medians


@pytest.mark.parametrize(
    ("seconds", "outage"),
    [(8.0, None), (18.0, (4.0, 5.0))],
    ids=["load", "outage of 5 s"],
)
def test_four_workers_under_load_lose_no_acknowledged_write(
    postgres_url: str, seconds: float, outage: tuple[float, float] | None
) -> None:
    if outage is not None and not os.environ.get("QUORVALEN_TEST_POSTGRES_DIR"):
        pytest.skip("stopping the server needs the cluster of scripts/postgres.sh")
    report = load_test.run(postgres_url, workers=4, connections=32, seconds=seconds, outage=outage)
    print("\n".join(report.lines()))
    assert not report.problems
    assert report.statuses()[201] > 0 and report.policy_changes > 0
    if outage is not None:
        assert report.statuses()[503] > 0, "the outage was not noticed"
