"""Sustained load on several uvicorn workers over PostgreSQL, with policy changes and an optional outage.

``deploy_app`` runs under ``uvicorn --workers N`` on 127.0.0.1.  Clients (each
a caller holding the table's default role) create, read, update, delete and
query rows of their own for a fixed time, while another caller's role is
granted and revoked over and over through the policy store (whose
notifications reach every worker).  With ``--outage START:SECONDS`` the
PostgreSQL server started by ``scripts/postgres.sh`` is stopped at START for
SECONDS and started again.

At the end the table is read directly and reconciled with what the server
acknowledged: every row a client was told exists holds the value it was last
told, every row it was told is gone is gone, and no other row is there.  An
operation whose answer never came (a 503, a dropped connection) may or may
not have happened; the row it touched may hold either outcome, never
anything else.

Printed: requests per second, latency percentiles, answers by status, and the
checks.  Everything is bounded: the run's duration, each request's timeout,
the number of connections.  Run:
``python bench/load_test.py --database-url URL [--workers 4 --connections 32 --seconds 60 --outage 20:5]``.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import os
import random
import signal
import socket
import subprocess
import sys
import threading
import time
import uuid
from collections import Counter
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import httpx
from sqlalchemy import delete, select

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(HERE))

from deploy_app import PERMISSION_OBJECT, PREFIX, SCHEMA_NAME, LoadItem  # noqa: E402

from quorvalen_core.auth import AuthService, AuthSettings  # noqa: E402
from quorvalen_core.db import DatabaseRegistry  # noqa: E402

SECRET_KEY = "load-test-secret-key-0123456789abcdefghij"
REQUEST_TIMEOUT_SECONDS = 30.0
# A request waits at most this long on a database that is down: the
# registry's connect and pool timeouts, with room for the answer.
HANG_BOUND_SECONDS = 16.0
RECOVERY_SECONDS = 5.0
CHURN_ROLE = "churn_reader"
CHURN_SUBJECT = "churner"


@dataclass
class Answer:
    kind: str
    status: int  # 0: no answer (connection dropped or timed out)
    started: float
    latency: float
    retry_after: str | None = None
    error: str | None = None  # why no answer came


@dataclass
class Row:
    """What a client knows of one of its rows."""

    label: str
    id: int | None = None
    exists: bool | None = None  # None: unknown
    values: set[int] = field(default_factory=set)  # the values it may hold


@dataclass
class Report:
    answers: list[Answer]
    elapsed: float
    problems: list[str]
    outage: tuple[float, float] | None
    policy_changes: int

    def statuses(self) -> Counter[int]:
        return Counter(answer.status for answer in self.answers)

    def percentile(self, fraction: float) -> float:
        latencies = sorted(answer.latency for answer in self.answers)
        return latencies[min(len(latencies) - 1, int(fraction * len(latencies)))] if latencies else 0.0

    def lines(self) -> list[str]:
        total = len(self.answers)
        lines = [
            f"{total} requests in {self.elapsed:.1f} s: {total / self.elapsed:.0f} requests per second",
            "latency ms: p50 {:.1f}  p99 {:.1f}  p99.9 {:.1f}  max {:.1f}".format(
                *(1000 * self.percentile(f) for f in (0.5, 0.99, 0.999, 1.0))
            ),
            "answers by status: " + ", ".join(f"{status or 'none'}: {count}" for status, count in sorted(self.statuses().items())),
            f"policy changes during the run: {self.policy_changes}",
        ]
        if self.outage is not None:
            start, end = self.outage
            during = [a for a in self.answers if start <= a.started < end + RECOVERY_SECONDS]
            lines.append(
                f"outage {end - start:.1f} s: {len(during)} requests in it and the {RECOVERY_SECONDS:.0f} s after, "
                f"by status {dict(sorted(Counter(a.status for a in during).items()))}, "
                f"slowest {max((a.latency for a in during), default=0):.2f} s"
            )
        lines.append("checks: " + ("passed" if not self.problems else f"{len(self.problems)} failed"))
        lines += [f"  - {problem}" for problem in self.problems[:20]]
        return lines


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return int(sock.getsockname()[1])


def environment(database_url: str, **extra: str) -> dict[str, str]:
    env = {key: value for key, value in os.environ.items() if not key.startswith("QUORVALEN_")}
    env.update(QUORVALEN_DATABASE_URL=database_url, QUORVALEN_AUTH_SECRET_KEY=SECRET_KEY, **extra)
    return env


def serving(database_url: str, *, workers: int, **extra_env: str) -> contextlib.AbstractContextManager[str]:
    """``deploy_app`` under uvicorn with ``workers`` processes; yields its base URL."""
    return serving_module(database_url, "deploy_app:app", workers=workers, **extra_env)


@contextlib.contextmanager
def serving_module(database_url: str, app: str, *, workers: int, **extra_env: str) -> Iterator[str]:
    """An app of bench/ (``module:attribute``) under uvicorn with ``workers`` processes; yields its base URL."""
    port = free_port()
    command = [
        sys.executable, "-m", "uvicorn", "--app-dir", str(HERE), app,
        "--host", "127.0.0.1", "--port", str(port), "--workers", str(workers), "--log-level", "warning",
        # Longer than the client keeps a connection idle: a server closing an
        # idle keep-alive connection as the client reuses it drops a request
        # that never reached the application.
        "--timeout-keep-alive", "75",
    ]
    process = subprocess.Popen(command, env=environment(database_url, **extra_env), start_new_session=True)
    base = f"http://127.0.0.1:{port}"
    try:
        deadline = time.monotonic() + 60
        while True:
            assert process.poll() is None, "uvicorn exited at startup"
            with contextlib.suppress(httpx.HTTPError):
                if httpx.get(f"{base}/openapi.json", timeout=2).status_code == 200:
                    break
            assert time.monotonic() < deadline, "uvicorn did not start"
            time.sleep(0.2)
        yield base
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, signal.SIGTERM)
        try:
            process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()


def prepare(database_url: str, clients: int) -> tuple[DatabaseRegistry, AuthService, list[str]]:
    """The table (emptied), the callers' roles, and one token per client."""
    databases = DatabaseRegistry(default_url=database_url, environ={})
    databases.create_tables([LoadItem])
    with databases.engine().begin() as connection:
        connection.execute(delete(LoadItem.__table__))  # type: ignore[arg-type]
    service = AuthService(settings=AuthSettings(secret_key=SECRET_KEY), databases=databases)
    store = service.policies()
    subjects = [f"loader{index}" for index in range(clients)]
    store.assign_roles([(subject, SCHEMA_NAME) for subject in subjects] + [(CHURN_SUBJECT, CHURN_ROLE)])
    store.revoke(CHURN_ROLE, PERMISSION_OBJECT, "read")
    return databases, service, [service.create_access_token(subject) for subject in subjects]


class Client:
    """One connection's worth of a caller working on rows of its own."""

    def __init__(self, index: int, token: str, run: str, answers: list[Answer], seed: int) -> None:
        self.owner = f"loader{index}"
        self.prefix = f"{run}-{index}-"
        self.headers = {"Authorization": f"Bearer {token}"}
        self.answers = answers
        self.rows: list[Row] = []
        self.created = 0
        self.random = random.Random(seed)

    async def request(self, http: httpx.AsyncClient, kind: str, method: str, path: str, body: Any = None) -> httpx.Response | None:
        started = time.monotonic()
        try:
            response = await http.request(method, path, json=body, headers=self.headers)
        except httpx.HTTPError as exc:
            self.answers.append(Answer(kind, 0, started, time.monotonic() - started, error=f"{type(exc).__name__}: {exc}"))
            return None
        self.answers.append(
            Answer(kind, response.status_code, started, time.monotonic() - started, response.headers.get("Retry-After"))
        )
        return response

    async def step(self, http: httpx.AsyncClient) -> None:
        known = [row for row in self.rows if row.id is not None and row.exists is not False]
        roll = self.random.random()
        if roll < 0.3 or not known:
            await self.create(http)
        elif roll < 0.55:
            await self.read(http, self.random.choice(known))
        elif roll < 0.75:
            await self.update(http, self.random.choice(known))
        elif roll < 0.85:
            await self.delete(http, self.random.choice(known))
        else:
            await self.request(http, "query", "GET", f"{PREFIX}?filter=owner:eq:{self.owner}&limit=50&sort=-id")

    async def create(self, http: httpx.AsyncClient) -> None:
        self.created += 1
        value = self.random.randrange(1_000_000)
        row = Row(label=f"{self.prefix}{self.created}", values={value})
        self.rows.append(row)
        response = await self.request(http, "create", "POST", PREFIX, {"label": row.label, "value": value, "owner": self.owner})
        if response is not None and response.status_code == 201:
            row.id, row.exists = response.json()["data"]["id"], True
        elif response is not None and response.status_code < 500:
            row.exists = False

    async def read(self, http: httpx.AsyncClient, row: Row) -> None:
        response = await self.request(http, "read", "GET", f"{PREFIX}/{row.id}")
        if response is not None and response.status_code == 200:
            value = response.json()["data"]["value"]
            if row.exists and len(row.values) == 1 and value not in row.values:
                raise AssertionError(f"{row.label}: read {value}, acknowledged {row.values}")
            row.exists, row.values = True, {value}

    async def update(self, http: httpx.AsyncClient, row: Row) -> None:
        value = self.random.randrange(1_000_000)
        response = await self.request(http, "update", "PATCH", f"{PREFIX}/{row.id}", {"value": value})
        if response is None or response.status_code >= 500:
            row.values.add(value)
        elif response.status_code == 200:
            row.exists, row.values = True, {response.json()["data"]["value"]}
        elif response.status_code == 404:
            row.exists = False

    async def delete(self, http: httpx.AsyncClient, row: Row) -> None:
        response = await self.request(http, "delete", "DELETE", f"{PREFIX}/{row.id}")
        if response is None or response.status_code >= 500:
            row.exists = None
        elif response.status_code in (200, 404):
            row.exists = False


async def _drive(base: str, clients: list[Client], seconds: float, connections: int) -> list[str]:
    problems: list[str] = []
    limits = httpx.Limits(max_connections=connections, max_keepalive_connections=connections)
    timeout = httpx.Timeout(REQUEST_TIMEOUT_SECONDS)
    async with httpx.AsyncClient(base_url=base, limits=limits, timeout=timeout) as http:
        deadline = time.monotonic() + seconds

        async def work(client: Client) -> None:
            while time.monotonic() < deadline:
                try:
                    await client.step(http)
                except AssertionError as exc:
                    problems.append(str(exc))

        await asyncio.gather(*(work(client) for client in clients))
    return problems


def _churn(service: AuthService, changes: list[int], until: float) -> None:
    """Grant and revoke a role's permission over and over (in a thread of its own)."""
    store = service.policies()
    granted = False
    while time.monotonic() < until:
        try:
            if granted:
                store.revoke(CHURN_ROLE, PERMISSION_OBJECT, "read")
            else:
                store.grant(CHURN_ROLE, PERMISSION_OBJECT, "read")
            granted = not granted
            changes[0] += 1
        except Exception:  # noqa: BLE001, S110 - the database may be down on purpose
            pass
        time.sleep(0.5)


def reconcile(databases: DatabaseRegistry, clients: list[Client], run: str) -> list[str]:
    """Compare the table with what the server acknowledged to each client."""
    with databases.engine().connect() as connection:
        stored = {
            label: value
            for label, value in connection.execute(
                select(LoadItem.label, LoadItem.value).where(LoadItem.label.startswith(f"{run}-"))  # type: ignore[attr-defined]
            )
        }
    problems = []
    tracked = {row.label: row for client in clients for row in client.rows}
    for label in stored.keys() - tracked.keys():
        problems.append(f"row {label} exists, but no client created it")
    for label, row in tracked.items():
        if row.exists is True and label not in stored:
            problems.append(f"row {label} was acknowledged and is missing")
        elif row.exists is False and label in stored:
            problems.append(f"row {label} was acknowledged deleted (or never created) and exists")
        elif label in stored and stored[label] not in row.values:
            problems.append(f"row {label} holds {stored[label]}, acknowledged {sorted(row.values)}")
    return problems


def check_answers(answers: list[Answer], outage: tuple[float, float] | None) -> list[str]:
    """No 5xx but a 503 with Retry-After during an outage; no request hangs; service back after it."""
    problems = []
    for answer in answers:
        in_outage = outage is not None and outage[0] - HANG_BOUND_SECONDS <= answer.started < outage[1] + RECOVERY_SECONDS
        if answer.status >= 500 or answer.status == 0:
            if not in_outage:
                problems.append(
                    f"{answer.kind} answered {answer.status or 'nothing'} outside an outage"
                    + (f": {answer.error}" if answer.error else "")
                )
            elif answer.status != 503:
                problems.append(
                    f"{answer.kind} answered {answer.status or 'nothing'} during the outage (not 503)"
                    + (f": {answer.error}" if answer.error else "")
                )
            elif not answer.retry_after:
                problems.append(f"{answer.kind}: a 503 without Retry-After")
        if answer.latency > HANG_BOUND_SECONDS:
            problems.append(f"{answer.kind} took {answer.latency:.1f} s (bound {HANG_BOUND_SECONDS:.0f} s)")
    if outage is not None:
        late = [a for a in answers if a.started >= outage[1] + RECOVERY_SECONDS]
        if not late:
            problems.append("no request ran after the recovery time")
        elif any(a.status >= 500 or a.status == 0 for a in late):
            problems.append(f"still failing {RECOVERY_SECONDS:.0f} s after the database came back")
    return problems


def _postgres(command: str) -> None:
    subprocess.run(["bash", str(REPO / "scripts" / "postgres.sh"), command], check=True, capture_output=True)


def run(
    database_url: str,
    *,
    workers: int = 4,
    connections: int = 32,
    seconds: float = 60.0,
    outage: tuple[float, float] | None = None,
    seed: int = 1,
) -> Report:
    """One load run; ``outage`` = (seconds after the start, duration) halts the test PostgreSQL server."""
    run_id = uuid.uuid4().hex[:8]
    databases, service, tokens = prepare(database_url, connections)
    answers: list[Answer] = []
    clients = [Client(index, token, run_id, answers, seed * 1000 + index) for index, token in enumerate(tokens)]
    window: list[tuple[float, float]] = []
    changes = [0]

    def halt_and_resume(after: float, duration: float) -> None:
        time.sleep(after)
        halted = time.monotonic()
        _postgres("halt")
        time.sleep(duration)
        _postgres("resume")
        window.append((halted, time.monotonic()))

    try:
        with serving(database_url, workers=workers) as base:
            started = time.monotonic()
            helpers = [threading.Thread(target=_churn, args=(service, changes, started + seconds), daemon=True)]
            if outage is not None:
                helpers.append(threading.Thread(target=halt_and_resume, args=outage, daemon=True))
            for helper in helpers:
                helper.start()
            problems = asyncio.run(_drive(base, clients, seconds, connections))
            elapsed = time.monotonic() - started
            for helper in helpers:
                helper.join(timeout=120)
    finally:
        service.close()
    outage_window = window[0] if window else None
    if outage is not None and outage_window is None:
        problems.append("the outage did not finish")
    problems += check_answers(answers, outage_window)
    problems += reconcile(databases, clients, run_id)
    databases.reset()
    return Report(answers, elapsed, problems, outage_window, changes[0])


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--database-url", default=os.environ.get("QUORVALEN_TEST_POSTGRES_URL"))
    parser.add_argument("--workers", type=int, default=4)
    parser.add_argument("--connections", type=int, default=32)
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--outage", metavar="START:SECONDS", help="halt the scripts/postgres.sh server START s in, for SECONDS")
    args = parser.parse_args(argv)
    if not args.database_url:
        parser.error("give --database-url (or start a server: eval \"$(bash scripts/postgres.sh start)\")")
    outage = tuple(float(part) for part in args.outage.split(":")) if args.outage else None
    report = run(
        args.database_url, workers=args.workers, connections=args.connections, seconds=args.seconds,
        outage=outage,  # type: ignore[arg-type]
    )
    print(f"{args.workers} workers, {args.connections} connections, {args.seconds:.0f} s")
    print("\n".join(report.lines()))
    return 0 if not report.problems else 1


if __name__ == "__main__":
    sys.exit(main())
