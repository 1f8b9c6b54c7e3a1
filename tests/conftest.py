"""Fixtures shared by the test areas: ports nobody uses, and listener
processes that the tests start themselves and always stop again."""

from __future__ import annotations

import os
import signal
import socket
import subprocess
import sys
import textwrap
from collections.abc import Callable, Iterator
from dataclasses import dataclass

import pytest


def unused_port() -> int:
    """A port the system just handed out for a bind on 127.0.0.1 port 0."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


# A child that opens the sockets it is told to, says "ready", and waits.
_HOLDER = textwrap.dedent(
    """
    import signal, socket, sys, time
    port = int(sys.argv[1])
    kinds = sys.argv[2].split(",")
    if "ignore-term" in kinds:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
    held = []
    for kind in kinds:
        if kind in ("tcp", "tcp6"):
            family = socket.AF_INET6 if kind == "tcp6" else socket.AF_INET
            s = socket.socket(family, socket.SOCK_STREAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            if kind == "tcp6":
                s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            s.bind(("::1" if kind == "tcp6" else "127.0.0.1", port))
            s.listen()
            held.append(s)
        elif kind == "reuseport":
            s = socket.socket()
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
            s.bind(("127.0.0.1", port))
            s.listen()
            held.append(s)
        elif kind == "udp":
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.bind(("127.0.0.1", port))
            held.append(s)
    print("ready", flush=True)
    while True:
        time.sleep(60)
    """
)


@dataclass
class Holder:
    port: int
    process: subprocess.Popen[str]

    @property
    def pid(self) -> int:
        return self.process.pid

    def stop(self) -> None:
        """Ends the child, by its pid: it is ours."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGKILL)
        self.process.wait(timeout=10)
        if self.process.stdout is not None:
            self.process.stdout.close()


@pytest.fixture
def start_holder() -> Iterator[Callable[..., Holder]]:
    """start_holder(port=None, kinds="tcp"): a child process holding `port`
    with the sockets named in `kinds` (tcp, tcp6, reuseport, udp;
    ignore-term makes it ignore SIGTERM). Every child is stopped at the end."""
    started: list[Holder] = []

    def start(port: int | None = None, kinds: str = "tcp") -> Holder:
        port = unused_port() if port is None else port
        command = [sys.executable, "-c", _HOLDER, str(port), kinds]
        process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
        holder = Holder(port, process)
        started.append(holder)
        assert process.stdout is not None
        line = process.stdout.readline()
        assert line.strip() == "ready", f"holder failed to start on port {port}"
        return holder

    yield start
    for holder in started:
        holder.stop()


@pytest.fixture
def held_port(start_holder: Callable[..., Holder]) -> Holder:
    """One TCP listener on 127.0.0.1, in a child process."""
    return start_holder()


def in_subprocess(code: str, *, user: str | None = None, timeout: float = 60) -> subprocess.CompletedProcess[str]:
    """Runs Python code in a fresh interpreter (as another user with setpriv
    when `user` is given) and returns what it printed."""
    command = [sys.executable, "-c", textwrap.dedent(code)]
    if user is not None:
        command = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups", *command]
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout, env=dict(os.environ))
