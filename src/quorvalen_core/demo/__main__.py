"""Serve the demo application: ``python -m quorvalen_core.demo [--host H] [--port P]``.

The database is the application's default one: ``QUORVALEN_DATABASE_URL``, else
the embedded SQLite file ``./quorvalen.db``.  Tokens are signed with
``QUORVALEN_AUTH_SECRET_KEY`` when set, else with a key made for this run (so
the printed tokens stop working when the demo stops).  Ctrl-C stops it.
"""

from __future__ import annotations

import argparse
import os
import secrets
import sys
from collections.abc import Sequence

from ..access.service import AuthService, set_auth_service
from ..access.settings import ENV_PREFIX, AuthSettings
from ..db.registry import describe_url, get_database_registry
from .app import ORDER_OBJECT, PERMISSION_OBJECT, build_app, seed


def _settings() -> AuthSettings:
    if os.environ.get(f"{ENV_PREFIX}SECRET_KEY"):
        return AuthSettings.from_env()
    return AuthSettings.from_env(secret_key=secrets.token_urlsafe(32))


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quorvalen_core.demo", description=__doc__.split("\n")[0])
    parser.add_argument("--host", default=os.environ.get("QUORVALEN_DEMO_HOST", "127.0.0.1"))
    parser.add_argument("--port", type=int, default=int(os.environ.get("QUORVALEN_DEMO_PORT", "8000")))
    args = parser.parse_args(argv)

    import uvicorn

    databases = get_database_registry()
    service = AuthService(settings=_settings(), databases=databases)
    set_auth_service(service)
    users = seed(databases, service)
    app = build_app()

    base = f"http://{args.host}:{args.port}"
    key_env = f"{ENV_PREFIX}SECRET_KEY"
    signing = (
        f"signed with {key_env}"
        if os.environ.get(key_env)
        else f"signed with a key made for this run (set {key_env} to keep one)"
    )
    lines = [
        "",
        f"quorvalen_core demo: tables {PERMISSION_OBJECT} and {ORDER_OBJECT} in {describe_url(databases.url())}",
        f"  OpenAPI docs:  {base}/docs",
        "",
        f"  {ORDER_OBJECT} rows belong to the user who placed them (owner column customer):",
        "  alice (default role shop) sees every order, bob sees his own.",
        "",
        f"  Users and their access tokens, {signing}:",
    ]
    for user in users:
        lines.append(f"  {user.name} (roles {user.role}):")
        lines.append(f"    {user.token}")
    token = users[0].token
    lines += [
        "",
        "  Try:",
        f"    curl -H 'Authorization: Bearer {token}' '{base}/v1/shop/product?sort=-price&limit=2'",
        f"    curl -H 'Authorization: Bearer {token}' '{base}/v1/shop/product?filter=stock:lt:20'",
        f"    curl -H 'Authorization: Bearer {token}' '{base}/v1/shop/order?include=product'",
        f"    curl -H 'Authorization: Bearer {users[1].token}' '{base}/v1/shop/order'   # bob: his 2 orders of 3",
        "",
        "  Ctrl-C stops the demo.",
        "",
    ]
    print("\n".join(lines), flush=True)
    uvicorn.run(app, host=args.host, port=args.port, log_level="info")
    return 0


if __name__ == "__main__":
    sys.exit(main())
