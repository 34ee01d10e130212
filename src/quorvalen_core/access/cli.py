"""Command line for roles and permissions: ``python -m quorvalen_core.auth``."""

from __future__ import annotations

import argparse
import re
import sys
from collections.abc import Sequence
from datetime import timedelta
from typing import NoReturn, TextIO

from pydantic import ValidationError

from ..db.registry import DatabaseRegistry, UnknownDatabaseError, database_url_env_var, describe_url
from .claims import Caller, UnusableClaims, caller_of_claims
from .key_sets import KeySet, KeySetUnavailable
from .policy import CONTROL_CHARACTERS, PUBLIC_ROUTE, WILDCARD, PolicyStore
from .row_access import DELETED_ROWS_SUFFIX, EVERY_ROW_SUFFIX
from .settings import ENV_PREFIX, AuthConfigurationError, AuthSettings, describe_settings_error
from .tokens import InvalidAccessToken, create_access_token, decode_access_token

DESCRIPTION = """\
Manage the roles and permissions that guarded routes check, and print access tokens.

A role may act on objects (grant), a caller holds roles (assign-role), and a
role may have every right of another role (inherit-role). A caller gets
rights only through its roles.

The policies live in the application's database: the default one
(QUORVALEN_DATABASE_URL, else the file quorvalen.db in the current folder),
the one named by --db (QUORVALEN_DATABASE_URL_<NAME>), or --url. Every
command says on stderr which database it uses; point the command line and
every application process at the same one.
"""

EXAMPLES = """\
examples:
  python -m quorvalen_core.auth assign-role alice sales
  python -m quorvalen_core.auth grant auditor sales.invoice read
  python -m quorvalen_core.auth check alice sales.invoice read
  python -m quorvalen_core.auth explain alice sales.invoice read
  python -m quorvalen_core.auth check --token - sales.invoice read < token.txt
  QUORVALEN_DATABASE_URL_REPORTS=sqlite:///reports.db python -m quorvalen_core.auth --db reports list
  QUORVALEN_AUTH_SECRET_KEY=... python -m quorvalen_core.auth token alice --expires 600
"""

TOKEN_DESCRIPTION = f"""\
Print an access token naming SUBJECT, signed with {ENV_PREFIX}SECRET_KEY
({ENV_PREFIX}ALGORITHM, default HS256; {ENV_PREFIX}ISSUER and
{ENV_PREFIX}AUDIENCE when set). Use the same key as the application that
checks the token, or the application answers 401.
"""

LIST_LEGEND = """\
Lines of list, a kind and its values, tab-separated:
  g        SUBJECT ROLE            the caller holds the role
  g2       ROLE PARENT             the role has every right of the parent role
  p        ROLE OBJECT ACTION      the role may act on the object (* matches any)
  r        OBJECT ACTION WHO       the route admits holders of a role, or anyone (public)
  unusable id=ID KIND VALUES (WHY) a stored row the decisions leave out
Names are printed with backslashes and control characters escaped.
"""

# Ten years: longer-lived tokens are a mistake rather than a wish.
MAX_TOKEN_SECONDS = 10 * 365 * 24 * 3600


class _Parser(argparse.ArgumentParser):
    """Reports a bad argument on one line, as every other error of the command."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"error: {message} (see {self.prog} --help)\n")


def _lifetime(text: str) -> int:
    try:
        seconds = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number of seconds: {text!r}") from None
    if not 1 <= seconds <= MAX_TOKEN_SECONDS:
        raise argparse.ArgumentTypeError(f"a token lives 1 to {MAX_TOKEN_SECONDS} seconds, not {seconds}")
    return seconds


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="python -m quorvalen_core.auth",
        description=DESCRIPTION,
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--db", metavar="NAME", help="named database holding the policies")
    parser.add_argument("--url", help="SQLAlchemy URL of the database holding the policies")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)

    def command(name: str, help: str, *arguments: str, **options: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=options.get("description", help[0].upper() + help[1:] + "."),
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        for argument in arguments:
            sub.add_argument(argument)
        return sub

    grant = command("grant", "allow a role an action on an object (* matches any)", "role", "object", "action")
    grant.add_argument(
        "--force", action="store_true", help="store it even when no route uses the object or the action"
    )
    command("revoke", "remove a role's permission", "role", "object", "action")
    command("assign-role", "let a caller hold a role", "subject", "role")
    command("remove-role", "end a caller's holding of a role", "subject", "role")
    command("inherit-role", "give a role every right of a parent role", "role", "parent")
    command("remove-inheritance", "end a role's inheritance of a parent role", "role", "parent")
    command("roles", "list the roles a caller holds, inherited ones included", "subject")
    for name, help in (
        ("check", "answer as a route on the object and action would: exit 0 when allowed, else 1"),
        ("explain", "say which assignment (or claim), inheritance and grant (or route role) decide, as check answers"),
    ):
        decision = command(name, help)
        decision.add_argument("subject", nargs="?", help="the caller; omitted with --token")
        decision.add_argument("object")
        decision.add_argument("action")
        decision.add_argument(
            "--token",
            metavar="TOKEN",
            help="decide for the caller this access token names, with the roles it claims "
            f"(checked as the application checks it, {ENV_PREFIX}* settings); - reads it from stdin",
        )
    command(
        "list",
        "list assignments, inheritances, permissions, route roles and unusable rows",
        description="List assignments, inheritances, permissions, route roles and unusable rows.\n\n" + LIST_LEGEND,
    )
    command("remove-unusable", "delete the stored rows that checks leave out")
    token = command("token", "print an access token for a subject", "subject", description=TOKEN_DESCRIPTION)
    token.add_argument(
        "--expires",
        type=_lifetime,
        metavar="SECONDS",
        help=f"lifetime, 1 to {MAX_TOKEN_SECONDS} seconds (default: {ENV_PREFIX}ACCESS_TOKEN_EXPIRE_SECONDS, 3600)",
    )
    return parser


_ESCAPES = {"\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t"}
_SHOWN_ESCAPED = re.compile(f"\\\\|{CONTROL_CHARACTERS.pattern}")


def printable(name: str) -> str:
    """A stored name as one line shows it unambiguously: backslashes and control characters escaped.

    Rows written beside this package may hold any text; the command line
    never prints one raw, so a name cannot add lines or columns of its own.
    """

    def escape(found: re.Match[str]) -> str:
        char = found.group()
        if char in _ESCAPES:
            return _ESCAPES[char]
        return f"\\x{ord(char):02x}" if ord(char) < 0x100 else f"\\u{ord(char):04x}"

    return _SHOWN_ESCAPED.sub(escape, name)


def _line(*values: str | None) -> str:
    return "\t".join("NULL" if value is None else printable(value) for value in values)


def _fail(message: str) -> int:
    print(f"error: {message}", file=sys.stderr)
    return 2


def main(argv: Sequence[str] | None = None, out: TextIO = sys.stdout) -> int:
    args = _parser().parse_args(argv)
    if args.command == "token":
        try:
            settings = AuthSettings.from_env()
            expires = timedelta(seconds=args.expires) if args.expires is not None else None
            print(create_access_token(args.subject, settings, expires_in=expires), file=out)
        except ValidationError as exc:
            return _fail(describe_settings_error(exc))
        except (AuthConfigurationError, ValueError) as exc:
            return _fail(str(exc))
        return 0
    if args.command in ("check", "explain"):
        if (args.subject is None) == (args.token is None):
            return _fail(f"{args.command} takes a SUBJECT or --token, one of them")
        if args.token is not None:
            caller = _caller_of_token(sys.stdin.read().strip() if args.token == "-" else args.token)
            if isinstance(caller, int):
                return caller
            args.subject, args.claimed = caller.subject, caller.claimed_roles
        else:
            args.claimed = frozenset()
    databases = DatabaseRegistry()
    try:
        if args.url:
            databases.configure(args.db, args.url)
        url = databases.url(args.db)
        store = PolicyStore(databases.engine(args.db), refresh_seconds=0)
        print(f"policies in {describe_url(url)}", file=sys.stderr)
        return _run(args, store, out)
    except UnknownDatabaseError as exc:
        return _fail(f"{exc}")
    except ValueError as exc:
        return _fail(str(exc))
    except Exception as exc:  # noqa: BLE001 - a database that cannot be opened or used
        from ..db.errors import describe_database_error

        where = describe_url(args.url) if args.url else database_url_env_var(args.db)
        return _fail(f"cannot use the policy database ({where}): {describe_database_error(exc)}")
    finally:
        databases.dispose()


def _run(args: argparse.Namespace, store: PolicyStore, out: TextIO) -> int:
    def report(changed: bool, done: str, unchanged: str) -> int:
        print(done if changed else unchanged, file=out)
        return 0

    match args.command:
        case "grant":
            unused = _unused_by_routes(store, args.object, args.action)
            if unused is not None and not args.force:
                print(f"error: {unused}; nothing stored (--force stores it anyway)", file=sys.stderr)
                return 1
            return report(store.grant(args.role, args.object, args.action), "granted", "already granted")
        case "revoke":
            return report(store.revoke(args.role, args.object, args.action), "revoked", "not granted")
        case "assign-role":
            return report(store.assign_role(args.subject, args.role), "assigned", "already assigned")
        case "remove-role":
            return report(store.remove_role(args.subject, args.role), "removed", "not assigned")
        case "inherit-role":
            return report(store.inherit_role(args.role, args.parent), "inherited", "already inherited")
        case "remove-inheritance":
            return report(store.remove_inheritance(args.role, args.parent), "removed", "not inherited")
        case "roles":
            for role in store.roles_of(args.subject):
                print(printable(role), file=out)
            return 0
        case "check":
            allowed = store.decide(args.subject, args.object, args.action, args.claimed)
            print("allowed" if allowed else "denied", file=out)
            return 0 if allowed else 1
        case "explain":
            allowed, reasons = store.snapshot.explain(args.subject, args.object, args.action, args.claimed)
            print("allowed" if allowed else "denied", file=out)
            for reason in reasons:
                print(f"  {printable(reason)}", file=out)
            return 0 if allowed else 1
        case "remove-unusable":
            print(f"removed {store.remove_unusable()}", file=out)
            return 0
        case _:
            print(LIST_LEGEND, end="", file=sys.stderr)
            for subject, role in store.memberships():
                print(_line("g", subject, role), file=out)
            for role, parent in store.inheritances():
                print(_line("g2", role, parent), file=out)
            for role, obj, act in store.permissions():
                print(_line("p", role, obj, act), file=out)
            for (obj, act), role in sorted(store.route_roles().items()):
                print(_line("r", obj, act, "public" if role == PUBLIC_ROUTE else f"role {role}"), file=out)
            for rule in store.unusable():
                print(f"unusable\tid={rule.id}\t{_line(rule.ptype, *rule.values)}\t({rule.reason})", file=out)
            return 0


def _caller_of_token(token: str) -> Caller | int:
    """The caller a token names, checked as the application checks it; else an exit status (the token is never shown)."""
    try:
        settings = AuthSettings.from_env()
        key_set = KeySet.from_settings(settings) if settings.uses_key_set else None
        if key_set is not None:
            key_set.fetch()
        caller = caller_of_claims(decode_access_token(token, settings, key_set), settings)
    except ValidationError as exc:
        return _fail(describe_settings_error(exc))
    except (AuthConfigurationError, KeySetUnavailable) as exc:
        return _fail(f"the token cannot be checked: {exc}")
    except (InvalidAccessToken, UnusableClaims) as exc:
        return _fail(f"the token is not valid: {exc}")
    roles = ", ".join(printable(role) for role in sorted(caller.claimed_roles)) or "none"
    print(f"token of {printable(caller.subject)}; roles claimed: {roles}", file=sys.stderr)
    return caller


def _unused_by_routes(store: PolicyStore, obj: str, act: str) -> str | None:
    """Why no recorded route uses ``obj`` and ``act`` (a typo, most likely); None when one does.

    The routes are those every application recorded when it started; with
    none recorded there is nothing to compare with.
    """
    snapshot = store.snapshot
    routes = snapshot.known_routes | set(snapshot.route_roles)
    if not routes or obj == WILDCARD:
        return None
    actions = {route_act for route_obj, route_act in routes if route_obj == obj}
    if not actions:
        objects = ", ".join(sorted({route_obj for route_obj, _ in routes}))
        return f"no route uses the object {printable(obj)!r}; objects of routes: {objects}"
    base = act.rsplit(":", 1)[0] if act.endswith((EVERY_ROW_SUFFIX, DELETED_ROWS_SUFFIX)) else act
    if act == WILDCARD or base in actions:
        return None
    return f"no route on {printable(obj)} checks the action {printable(act)!r}; its actions: {', '.join(sorted(actions))}"
