"""Conditional requests (RFC 9110, section 13): a row's entity tag, ``If-Match`` and ``If-None-Match``.

A row's ``ETag`` is a strong tag: a digest of the row as the answer shows it
(the response schema's JSON), so it changes whenever what a client can see
changes, and reveals nothing the schema hides.  ``If-Match`` uses the strong
comparison and ``If-None-Match`` the weak one, as the RFC says; a header
that holds no well-formed tag matches nothing.
"""

from __future__ import annotations

import re
from hashlib import blake2b
from typing import Any

from fastapi import Header

ANY_TAG = "*"

# One entity tag of a list: an optional weak mark, then a quoted opaque tag.
_LISTED_TAG = re.compile(r'\s*(W/)?("[\x21\x23-\x7e\x80-\xff]*")\s*(?:,|$)')


def entity_tag(representation: bytes) -> str:
    """The strong entity tag of a representation: a quoted digest of its bytes."""
    return f'"{blake2b(representation, digest_size=16).hexdigest()}"'


def listed_tags(header: str) -> list[tuple[bool, str]] | None:
    """The tags of an ``If-Match`` or ``If-None-Match`` value, each with whether it is weak.

    None for ``*``; a value that is no list of tags gives what it holds up to
    the first malformed one (an empty list for pure garbage).
    """
    if header.strip() == ANY_TAG:
        return None
    tags: list[tuple[bool, str]] = []
    position = 0
    while position < len(header):
        found = _LISTED_TAG.match(header, position)
        if found is None or found.end() == position:
            break
        tags.append((found.group(1) is not None, found.group(2)))
        position = found.end()
    return tags


def if_match_holds(header: str, current: str) -> bool:
    """Whether ``If-Match: header`` lets a write of a row tagged ``current`` go on (strong comparison)."""
    tags = listed_tags(header)
    return tags is None or any(not weak and tag == current for weak, tag in tags)


def if_none_match_holds(header: str, current: str) -> bool:
    """Whether ``If-None-Match: header`` asks for the row tagged ``current`` (false: answer 304)."""
    tags = listed_tags(header)
    return tags is not None and all(tag != current for _weak, tag in tags)


def if_match_parameter() -> tuple[Any, Any]:
    """The documented ``If-Match`` header of a write of one row."""
    return (
        str | None,
        Header(
            None,
            alias="If-Match",
            description=(
                "The row's ETag as last read: the write happens only if the row is still in that state, "
                "else 412 and nothing is written. `*`: any state."
            ),
        ),
    )


def if_none_match_parameter() -> tuple[Any, Any]:
    """The documented ``If-None-Match`` header of a read of one row."""
    return (
        str | None,
        Header(
            None,
            alias="If-None-Match",
            description="ETags the client holds: 304 with no body when the row's is among them.",
        ),
    )


ETAG_HEADER = {
    "ETag": {
        "description": "The row's entity tag, for If-Match and If-None-Match.",
        "schema": {"type": "string"},
    }
}
