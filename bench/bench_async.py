"""Sync sessions in the thread pool against async sessions, on PostgreSQL, under uvicorn.

Serves ``async_apps.sync_app`` (the generated endpoints, as shipped) and
``async_apps.async_app`` (the same routes with ``AsyncSession`` over psycopg's
async mode) one after the other, each in one uvicorn process on 127.0.0.1,
and loads them with ``wrk`` (Debian's package) through 64 connections:
reads by id cycling over the table, and query pages.  Rounds alternate the
two apps; each ratio is the median over the rounds of async/sync requests
per second.  Async is worth adopting where the ratio is at least 1.2.

Run: ``python bench/bench_async.py --database-url postgresql+psycopg://... [--rounds 5 --seconds 5]``
(needs ``greenlet`` for SQLAlchemy's asyncio support and ``wrk``).
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from load_test import serving_module  # noqa: E402

ROWS = 10_000
CONNECTIONS = 64
ADOPT_AT = 1.2

READ_SCRIPT = """
counter = 0
request = function()
  counter = counter + 1
  return wrk.format("GET", "/v1/bench/item/" .. ((counter %% %d) + 1))
end
"""


def fill(database_url: str) -> None:
    from sqlalchemy import create_engine, insert, text

    from async_apps import AsyncBenchItem

    engine = create_engine(database_url)
    table = AsyncBenchItem.__table__  # type: ignore[attr-defined]
    table.drop(engine, checkfirst=True)
    table.create(engine)
    with engine.begin() as connection:
        connection.execute(insert(table), [{"name": f"item {i}", "value": i} for i in range(ROWS)])
        connection.execute(text("ANALYZE async_bench_item"))
    engine.dispose()


def wrk(base: str, path: str, seconds: float, script: str | None) -> float:
    command = ["wrk", "-t2", f"-c{CONNECTIONS}", f"-d{int(seconds)}s", "--latency"]
    if script is not None:
        command += ["-s", script]
    output = subprocess.run([*command, base + path], capture_output=True, text=True, check=True).stdout
    match = re.search(r"Requests/sec:\s+([\d.]+)", output)
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", output)
    if match is None or errors is not None:
        raise SystemExit(f"wrk failed or got errors:\n{output}")
    return float(match.group(1))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--database-url", default=os.environ.get("QUORVALEN_TEST_POSTGRES_URL"))
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=5.0)
    args = parser.parse_args()
    if not args.database_url or shutil.which("wrk") is None:
        parser.error("needs --database-url (PostgreSQL) and wrk (apt-get install wrk)")
    fill(args.database_url)
    with tempfile.NamedTemporaryFile("w", suffix=".lua", delete=False) as script:
        script.write(READ_SCRIPT % ROWS)
    workloads = {"read by id": ("/v1/bench/item/1", script.name), "query page": ("/v1/bench/item?offset=40&limit=20", None)}
    results: dict[str, dict[str, list[float]]] = {name: {"sync": [], "async": []} for name in workloads}
    for _ in range(args.rounds):
        for mode in ("sync", "async"):
            with serving_module(args.database_url, f"async_apps:{mode}_app", workers=1) as base:
                for name, (path, lua) in workloads.items():
                    results[name][mode].append(wrk(base, path, args.seconds, lua))
    print(f"PostgreSQL, {ROWS} rows, {CONNECTIONS} connections, {args.rounds} rounds of {args.seconds:.0f} s")
    print(f"{'workload':<14}{'sync req/s':>12}{'async req/s':>13}{'async/sync':>12}")
    for name, modes in results.items():
        ratios = [a / s for a, s in zip(modes["async"], modes["sync"], strict=True)]
        print(
            f"{name:<14}{statistics.median(modes['sync']):>12.0f}{statistics.median(modes['async']):>13.0f}"
            f"{statistics.median(ratios):>12.2f}"
        )
    print(f"adopt async where async/sync >= {ADOPT_AT}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
