"""A local OpenID provider for tests: discovery, a key set, RS256/ES256 signing, rotation, outages.

It serves ``/.well-known/openid-configuration`` and ``/jwks`` on 127.0.0.1
from a thread, signs tokens with the private halves of the keys it
publishes, and can rotate them or stop listening while a test runs.
"""

from __future__ import annotations

import itertools
import json
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any

import jwt
from cryptography.hazmat.primitives.asymmetric import ec, rsa
from jwt.algorithms import ECAlgorithm, RSAAlgorithm

_kids = itertools.count(1)


def new_key(alg: str) -> Any:
    if alg == "RS256":
        return rsa.generate_private_key(public_exponent=65537, key_size=2048)
    return ec.generate_private_key(ec.SECP256R1())


class LocalProvider:
    def __init__(self, audience: str = "api") -> None:
        self.audience = audience
        self.keys: dict[str, tuple[str, Any]] = {}
        self.fetches = 0
        self._server: ThreadingHTTPServer | None = None
        self.port = 0
        self.up()
        self.issuer = f"http://127.0.0.1:{self.port}"

    # Keys -------------------------------------------------------------------

    def add_key(self, alg: str = "RS256") -> str:
        kid = f"key-{next(_kids)}"
        self.keys[kid] = (alg, new_key(alg))
        return kid

    def rotate(self, alg: str = "RS256") -> str:
        """Publish one new key in place of all others."""
        self.keys.clear()
        return self.add_key(alg)

    def jwks(self) -> dict[str, Any]:
        published = []
        for kid, (alg, private) in self.keys.items():
            codec = RSAAlgorithm if alg == "RS256" else ECAlgorithm
            jwk = codec.to_jwk(private.public_key(), as_dict=True)
            published.append({**jwk, "kid": kid, "use": "sig"})
        return {"keys": published}

    def token(self, key_id: str, claims: dict[str, Any] | None = None, header: dict[str, Any] | None = None) -> str:
        """A token signed with the key ``key_id``; ``header`` may name another key or algorithm."""
        alg, private = self.keys[key_id]
        now = int(time.time())
        payload = {"iss": self.issuer, "aud": self.audience, "sub": "alice", "iat": now, "exp": now + 600}
        payload.update(claims or {})
        return jwt.encode(payload, private, algorithm=alg, headers={"kid": key_id, **(header or {})})

    # Serving ----------------------------------------------------------------

    def up(self) -> None:
        provider = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self) -> None:  # noqa: N802 - http.server's name
                if self.path == "/.well-known/openid-configuration":
                    body = {"issuer": provider.issuer, "jwks_uri": provider.issuer + "/jwks"}
                elif self.path == "/jwks":
                    provider.fetches += 1
                    body = provider.jwks()
                else:
                    self.send_error(404)
                    return
                data = json.dumps(body).encode()
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, format: str, *args: Any) -> None:
                pass

        self._server = ThreadingHTTPServer(("127.0.0.1", self.port), Handler)
        self.port = self._server.server_address[1]
        threading.Thread(target=self._server.serve_forever, daemon=True).start()

    def down(self) -> None:
        """Stop listening: connections to the provider are refused."""
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()
            self._server = None
