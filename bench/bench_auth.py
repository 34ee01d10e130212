"""Requests per second on one endpoint, called in process through the ASGI app.

Scenarios, measured side by side in interleaved rounds:

- unguarded: a public route;
- authenticated: a bearer token checked, no permission check;
- authorised/N: token checked and a permission check against a database
  holding N policy rules (10, 1,000, 10,000, 100,000).

- authorised/rs256: as authorised/10, with an RS256 token of an identity
  provider (a key set fetched once from a local server) whose caller's
  role comes from its ``roles`` claim.

Targets: authorised <= 1.2 x the cost of authenticated at every N,
<= 2 x the cost of unguarded, and flat: <= 1.2 x the cost at 10 rules;
authorised/rs256 <= 1.1 x authorised/10 (an HS256 token).  Also printed,
without a target: the cost of a first, not yet cached decision at each N
relative to 10 rules, and of one signature check, RS256 against HS256.  Run: ``python bench/bench_auth.py [--requests N --rounds R]``.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import statistics
import sys
import tempfile
import threading
import time
from collections.abc import Iterator, MutableMapping
from contextlib import contextmanager
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any

import jwt
from cryptography.hazmat.primitives.asymmetric import rsa
from jwt.algorithms import RSAAlgorithm

from fastapi import APIRouter, Depends, FastAPI

from sqlalchemy import create_engine

from quorvalen_core.auth import (
    AuthRouter,
    AuthService,
    AuthSettings,
    PolicyStore,
    authenticate,
    set_auth_service,
)
from quorvalen_core.access.tokens import decode_access_token
from quorvalen_core.controller.router_config import RouterConfig
from quorvalen_core.db import DatabaseRegistry, set_database_registry
from quorvalen_core.web import AppContext, use_context

RULE_COUNTS = (10, 1_000, 10_000, 100_000)
# A request costs the same however many rules are stored, within this factor.
FLAT_WITHIN = 1.2
SUBJECT = "bench-user"
OBJECT = "sales.invoice"
# Against authorised/10 with an HS256 token.
RS256_WITHIN = 1.1
RS256_KEY = rsa.generate_private_key(public_exponent=65537, key_size=2048)


@contextmanager
def key_set_server() -> Iterator[str]:
    """A key set with RS256_KEY's public half, served on 127.0.0.1; yields its URL."""
    jwk = {**RSAAlgorithm.to_jwk(RS256_KEY.public_key(), as_dict=True), "kid": "bench", "use": "sig"}
    body = json.dumps({"keys": [jwk]}).encode()

    class Handler(BaseHTTPRequestHandler):
        def do_GET(self) -> None:  # noqa: N802
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, format: str, *args: Any) -> None:
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}/jwks"
    finally:
        server.shutdown()
        server.server_close()


def rs256_token(subject: str) -> str:
    now = int(time.time())
    claims = {"sub": subject, "roles": ["clerk"], "iat": now, "exp": now + 3600}
    return jwt.encode(claims, RS256_KEY, algorithm="RS256", headers={"kid": "bench"})


async def endpoint() -> dict[str, bool]:
    return {"ok": True}


def build_apps(workdir: Path, jwks_url: str) -> tuple[dict[str, tuple[FastAPI, str]], str]:
    """One application per scenario, each with its one route, so that route
    matching costs the same everywhere."""
    databases = DatabaseRegistry(default_url=f"sqlite:///{workdir / 'default.db'}", environ={})
    service = AuthService(
        settings=AuthSettings(secret_key="bench-secret-" + "k" * 32, policy_refresh_seconds=5.0),
        databases=databases,
    )
    set_database_registry(databases)
    set_auth_service(service)
    apps: dict[str, tuple[FastAPI, str]] = {}

    public = AuthRouter(prefix="/unguarded")
    public.add_guarded_route("/item", endpoint, methods=["GET"], config=RouterConfig(auth=False))
    apps["unguarded"] = (FastAPI(), "/unguarded/item")
    apps["unguarded"][0].include_router(public)

    # Mounted like the others: an included router costs a level of routing.
    authenticated = APIRouter(prefix="/authenticated")
    authenticated.add_api_route("/item", endpoint, methods=["GET"], dependencies=[Depends(authenticate)])
    apps["authenticated"] = (FastAPI(), "/authenticated/item")
    apps["authenticated"][0].include_router(authenticated)

    for count in RULE_COUNTS:
        name = f"rules{count}"
        databases.configure(name, f"sqlite:///{workdir / (name + '.db')}")
        store = service.policies(name)
        # Everyone else's rules, then the caller's role and that role's grant.
        filler = max(count - 2, 0)
        store.grant_many((f"user{i}", f"obj{i % 97}", ("read", "create", "update")[i % 3]) for i in range(filler))
        store.assign_role(SUBJECT, "clerk")
        store.grant("clerk", OBJECT, "read")
        assert len(store.permissions()) + len(store.memberships()) == count
        router = AuthRouter(prefix="/authorised", db_config_name=name, auth_obj=OBJECT)
        router.add_guarded_route(
            "/item", endpoint, methods=["GET"], config=RouterConfig(auth=True, auth_act="read")
        )
        apps[f"authorised/{count}"] = (FastAPI(), "/authorised/item")
        apps[f"authorised/{count}"][0].include_router(router)

    # The identity provider's caller holds no stored role: its token claims one.
    idp_service = AuthService(
        settings=AuthSettings(jwks_url=jwks_url, roles_claim="roles", policy_refresh_seconds=5.0), databases=databases
    )
    idp_service.fetch_keys()
    router = AuthRouter(prefix="/authorised", db_config_name=f"rules{RULE_COUNTS[0]}", auth_obj=OBJECT)
    router.add_guarded_route("/item", endpoint, methods=["GET"], config=RouterConfig(auth=True, auth_act="read"))
    apps["authorised/rs256"] = (FastAPI(), "/authorised/item")
    use_context(apps["authorised/rs256"][0], AppContext(databases=databases, auth=idp_service))
    apps["authorised/rs256"][0].include_router(router)
    return apps, service.create_access_token(SUBJECT)


def signature_check_seconds(token: str, settings: AuthSettings, key_set: Any, checks: int = 300) -> float:
    """Mean time of checking a token not seen before (no cache): the signature check dominates."""
    start = time.process_time()
    for _ in range(checks):
        decode_access_token(token, settings, key_set)
    return (time.process_time() - start) / checks


def first_check_seconds(count: int, checks: int = 200) -> float:
    """Mean time of a decision that is not cached yet (a new caller each time)."""
    with tempfile.TemporaryDirectory() as tmp:
        engine = create_engine(f"sqlite:///{Path(tmp) / 'first.db'}")
        store = PolicyStore(engine)
        store.grant_many((f"user{i}", f"obj{i % 97}", "read") for i in range(count - 1))
        store.grant("clerk", OBJECT, "read")
        store.assign_roles((f"caller{i}", "clerk") for i in range(checks))
        start = time.process_time()
        for i in range(checks):
            if not store.is_allowed(f"caller{i}", OBJECT, "read"):
                raise SystemExit("first check refused a granted caller")
        elapsed = time.process_time() - start
        engine.dispose()
    return elapsed / checks


async def call(app: FastAPI, path: str, headers: list[tuple[bytes, bytes]]) -> int:
    scope: dict[str, Any] = {
        "type": "http",
        "asgi": {"version": "3.0"},
        "http_version": "1.1",
        "method": "GET",
        "scheme": "http",
        "path": path,
        "raw_path": path.encode(),
        "root_path": "",
        "query_string": b"",
        "headers": headers,
        "client": ("127.0.0.1", 50000),
        "server": ("testserver", 80),
    }
    status = 0

    async def receive() -> MutableMapping[str, Any]:
        return {"type": "http.request", "body": b"", "more_body": False}

    async def send(message: MutableMapping[str, Any]) -> None:
        nonlocal status
        if message["type"] == "http.response.start":
            status = message["status"]

    await app(scope, receive, send)
    return status


async def requests_per_second(
    app: FastAPI, path: str, headers: list[tuple[bytes, bytes]], requests: int
) -> float:
    """Requests per second of this process's CPU time.

    CPU time rather than wall time: the machine is shared, and time spent
    descheduled would otherwise land on whichever scenario was running.
    """
    start = time.process_time()
    for _ in range(requests):
        status = await call(app, path, headers)
        if status != 200:
            raise SystemExit(f"{path} answered {status}")
    return requests / (time.process_time() - start)


async def run(requests: int, rounds: int) -> int:
    with tempfile.TemporaryDirectory() as tmp, key_set_server() as jwks_url:
        apps, token = build_apps(Path(tmp), jwks_url)
        bearer = [(b"authorization", f"Bearer {token}".encode())]
        idp_bearer = [(b"authorization", f"Bearer {rs256_token('idp-user')}".encode())]
        scenarios = {
            name: (app, path, [] if name == "unguarded" else idp_bearer if name == "authorised/rs256" else bearer)
            for name, (app, path) in apps.items()
        }
        for app, path, headers in scenarios.values():  # warm up: load policies, fill caches
            await requests_per_second(app, path, headers, 500)
        samples: dict[str, list[float]] = {name: [] for name in scenarios}
        for _ in range(rounds):
            for name, (app, path, headers) in scenarios.items():
                samples[name].append(await requests_per_second(app, path, headers, requests))

    def ratio(slow: str, fast: str) -> float:
        """Median over rounds of the cost of ``slow`` relative to ``fast`` in the same round."""
        return statistics.median(f / s for s, f in zip(samples[slow], samples[fast], strict=True))

    print(f"{rounds} rounds of {requests} requests per scenario (median req/s of CPU time)")
    first_rules = f"authorised/{RULE_COUNTS[0]}"
    print(f"{'scenario':<20}{'req/s':>10}{'cost vs authenticated':>24}{'cost vs unguarded':>20}{'vs ' + first_rules:>24}")
    for name, values in samples.items():
        growth = f"{ratio(name, first_rules):.2f}" if name.startswith("authorised/") else "-"
        print(
            f"{name:<20}{statistics.median(values):>10.0f}"
            f"{ratio(name, 'authenticated'):>24.2f}{ratio(name, 'unguarded'):>20.2f}{growth:>24}"
        )
    failures = []
    for count in RULE_COUNTS:
        vs_auth = ratio(f"authorised/{count}", "authenticated")
        vs_open = ratio(f"authorised/{count}", "unguarded")
        if vs_auth > 1.2:
            failures.append(f"authorised/{count} costs {vs_auth:.2f}x authenticated (target <= 1.2)")
        if vs_open > 2.0:
            failures.append(f"authorised/{count} costs {vs_open:.2f}x unguarded (target <= 2.0)")
        growth = ratio(f"authorised/{count}", f"authorised/{RULE_COUNTS[0]}")
        if growth > FLAT_WITHIN:
            failures.append(f"authorised/{count} costs {growth:.2f}x authorised/{RULE_COUNTS[0]} (target <= {FLAT_WITHIN})")
    rs256 = ratio("authorised/rs256", f"authorised/{RULE_COUNTS[0]}")
    print(f"authorised request, RS256 token from a cached key set vs HS256 token: {rs256:.2f} (target <= {RS256_WITHIN})")
    if rs256 > RS256_WITHIN:
        failures.append(f"authorised/rs256 costs {rs256:.2f}x authorised/{RULE_COUNTS[0]} (target <= {RS256_WITHIN})")
    print("targets: " + ("met" if not failures else "MISSED: " + "; ".join(failures)))
    print()
    print("first check of a (subject, object, action), before its decision is cached:")
    first_check_seconds(RULE_COUNTS[0])  # warm up
    first = {count: first_check_seconds(count) for count in RULE_COUNTS}
    for count, seconds in first.items():
        print(f"  {count:>6} rules: {seconds * 1e6:8.0f} us  ({seconds / first[RULE_COUNTS[0]]:.2f} x {RULE_COUNTS[0]} rules)")
    with key_set_server() as jwks_url:
        idp = AuthService(settings=AuthSettings(jwks_url=jwks_url))
        idp.fetch_keys()
        hmac_settings = AuthSettings(secret_key="bench-secret-" + "k" * 32)
        hs256 = signature_check_seconds(AuthService(settings=hmac_settings).create_access_token(SUBJECT), hmac_settings, None)
        rs256_check = signature_check_seconds(rs256_token(SUBJECT), idp.settings, idp.key_set)
    print(f"a token not seen before (signature checked): RS256 {rs256_check * 1e6:.0f} us, HS256 {hs256 * 1e6:.0f} us "
          f"({rs256_check / hs256:.2f} x)")
    return 1 if failures else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--requests", type=int, default=2000, help="requests per scenario and round")
    parser.add_argument("--rounds", type=int, default=15, help="interleaved rounds")
    args = parser.parse_args()
    return asyncio.run(run(args.requests, args.rounds))


if __name__ == "__main__":
    sys.exit(main())
