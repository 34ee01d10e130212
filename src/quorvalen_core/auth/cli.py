"""Command line for roles and permissions: ``python -m quorvalen_core.auth``.

Examples::

    python -m quorvalen_core.auth assign-role alice sales
    python -m quorvalen_core.auth grant sales sales.invoice read
    python -m quorvalen_core.auth --db reports list
    python -m quorvalen_core.auth check alice sales.invoice read
    python -m quorvalen_core.auth token alice --expires 600

The database is the application's default one (``QUORVALEN_DATABASE_URL``, else
``./quorvalen.db``), the one named by ``--db`` (``QUORVALEN_DATABASE_URL_<NAME>``),
or ``--url``.  ``token`` signs with ``QUORVALEN_AUTH_SECRET_KEY``.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence
from datetime import timedelta
from typing import TextIO

from ..db.registry import DatabaseRegistry, UnknownDatabaseError
from .policy import PolicyStore
from .settings import AuthConfigurationError, AuthSettings
from .tokens import create_access_token


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m quorvalen_core.auth", description=__doc__.split("\n")[0])
    parser.add_argument("--db", metavar="NAME", help="named database holding the policies")
    parser.add_argument("--url", help="SQLAlchemy URL of the database holding the policies")
    commands = parser.add_subparsers(dest="command", required=True)

    def command(name: str, help: str, *arguments: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help)
        for argument in arguments:
            sub.add_argument(argument)
        return sub

    command("grant", "allow a subject or role an action on an object", "subject", "object", "action")
    command("revoke", "remove a permission", "subject", "object", "action")
    command("assign-role", "make a subject or role a member of a role", "member", "role")
    command("remove-role", "end a membership", "member", "role")
    command("roles", "list the roles a subject holds, inherited ones included", "subject")
    command("check", "exit 0 when the subject may act on the object, else 1", "subject", "object", "action")
    command("list", "list memberships and permissions")
    token = command("token", "print an access token for a subject", "subject")
    token.add_argument("--expires", type=int, metavar="SECONDS", help="lifetime (default: configured)")
    return parser


def main(argv: Sequence[str] | None = None, out: TextIO = sys.stdout) -> int:
    args = _parser().parse_args(argv)
    try:
        if args.command == "token":
            expires = timedelta(seconds=args.expires) if args.expires is not None else None
            print(create_access_token(args.subject, AuthSettings.from_env(), expires_in=expires), file=out)
            return 0
        databases = DatabaseRegistry()
        if args.url:
            databases.configure(args.db, args.url)
        store = PolicyStore(databases.engine(args.db), refresh_seconds=0)
        try:
            return _run(args, store, out)
        finally:
            databases.dispose()
    except (AuthConfigurationError, UnknownDatabaseError, ValueError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2


def _run(args: argparse.Namespace, store: PolicyStore, out: TextIO) -> int:
    def report(changed: bool, done: str, unchanged: str) -> int:
        print(done if changed else unchanged, file=out)
        return 0

    match args.command:
        case "grant":
            return report(store.grant(args.subject, args.object, args.action), "granted", "already granted")
        case "revoke":
            return report(store.revoke(args.subject, args.object, args.action), "revoked", "not granted")
        case "assign-role":
            return report(store.assign_role(args.member, args.role), "assigned", "already assigned")
        case "remove-role":
            return report(store.remove_role(args.member, args.role), "removed", "not assigned")
        case "roles":
            for role in store.roles_of(args.subject):
                print(role, file=out)
            return 0
        case "check":
            allowed = store.is_allowed(args.subject, args.object, args.action)
            print("allowed" if allowed else "denied", file=out)
            return 0 if allowed else 1
        case _:
            for member, role in store.memberships():
                print(f"g\t{member}\t{role}", file=out)
            for subject, obj, act in store.permissions():
                print(f"p\t{subject}\t{obj}\t{act}", file=out)
            return 0
