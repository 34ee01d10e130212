"""Serving an application program on a loopback port for the duration of a test."""

from __future__ import annotations

import os
import signal
import socket
import subprocess
import time
from collections.abc import Iterator, Mapping
from contextlib import contextmanager
from pathlib import Path

import httpx

START_SECONDS = 60


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port: int = sock.getsockname()[1]
        return port


def environment(**overrides: str) -> dict[str, str]:
    """This process's environment without the application's settings, plus ``overrides``."""
    return {**{k: v for k, v in os.environ.items() if not k.startswith("QUORVALEN_")}, **overrides}


@contextmanager
def served(command: list[str], cwd: Path, env: Mapping[str, str]) -> Iterator[str]:
    """Run ``command --host 127.0.0.1 --port P`` in ``cwd``; yield its base URL once it answers.

    The program is stopped with Ctrl-C (SIGINT) afterwards; its output is in
    ``cwd/server.log`` and in the message of a failed start.
    """
    port = free_port()
    log_path = cwd / "server.log"
    with log_path.open("w") as log:
        process = subprocess.Popen(
            [*command, "--host", "127.0.0.1", "--port", str(port)],
            cwd=cwd, env=dict(env), stdout=log, stderr=subprocess.STDOUT,
        )
    base = f"http://127.0.0.1:{port}"
    try:
        deadline = time.monotonic() + START_SECONDS
        while True:
            try:
                httpx.get(f"{base}/openapi.json", timeout=2)
                break
            except httpx.TransportError:
                assert process.poll() is None, f"exited before serving:\n{log_path.read_text()}"
                assert time.monotonic() < deadline, f"did not start serving:\n{log_path.read_text()}"
                time.sleep(0.2)
        yield base
    finally:
        process.send_signal(signal.SIGINT)
        try:
            process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
