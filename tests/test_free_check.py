"""is_free and `velmor check` decide most ports from the listening table and
a trial bind, and read every state only for the rest: whatever path a port
takes, the answer is status(port)'s, one port at a time or many at once.
Sockets of every kind on every local address, in a network namespace of the
tests' own."""

from __future__ import annotations

import os
import shutil
import socket
import subprocess
import sys
from collections.abc import Callable, Iterator
from contextlib import ExitStack
from pathlib import Path

import pytest

import velmor
from conftest import AS_NOBODY, leave_time_wait, unused_port
from velmor import _table
from velmor_command import main

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="network namespaces are Linux's")

REUSEADDR = (socket.SOL_SOCKET, socket.SO_REUSEADDR)
REUSEPORT = (socket.SOL_SOCKET, socket.SO_REUSEPORT)
V6ONLY = (socket.IPPROTO_IPV6, socket.IPV6_V6ONLY)


def opened(stack: ExitStack, port: int, address: str, *, listen: bool = True, options: tuple = (),
           kind: socket.SocketKind = socket.SOCK_STREAM, v6only: bool = True) -> socket.socket:
    family = socket.AF_INET6 if ":" in address else socket.AF_INET
    made = stack.enter_context(socket.socket(family, kind))
    if family == socket.AF_INET6:
        made.setsockopt(*V6ONLY, int(v6only))
    for option in options:
        made.setsockopt(*option, 1)
    made.bind((address, port))
    if listen and kind == socket.SOCK_STREAM:
        made.listen()
    return made


def connection_from(stack: ExitStack, port: int) -> None:
    """A connection whose local end is 127.0.0.2:port, both ends with
    SO_REUSEADDR: the trial bind on 127.0.0.1 does not see it."""
    server = opened(stack, 0, "127.0.0.3", options=(REUSEADDR,))
    client = opened(stack, port, "127.0.0.2", listen=False, options=(REUSEADDR,))
    client.connect(server.getsockname())
    stack.enter_context(server.accept()[0])


_PORT_RANGE = Path("/proc/sys/net/ipv4/ip_local_port_range")
_EPHEMERAL_LOW = int(_PORT_RANGE.read_text().split()[0]) if _PORT_RANGE.exists() else 32768
_NEVER_HANDED_OUT = iter(range(_EPHEMERAL_LOW - 1, 1024, -1))


def fresh_ports_below_the_ephemeral_range(count: int) -> list[int]:
    """Ports that neither a bind to port 0 nor an outgoing connection gets
    (so no helper socket of a case lands on one), each handed out once in
    the module (so none carries a TIME-WAIT of an earlier test)."""
    return sorted(next(_NEVER_HANDED_OUT) for _ in range(count))


# What is put on a port, and status(port)'s (state, reason) then.
CASES: dict[str, tuple[Callable[[ExitStack, int], object], tuple[str, str | None]]] = {
    "nothing": (lambda stack, port: None, ("free", None)),
    "listener on 127.0.0.1": (lambda s, p: opened(s, p, "127.0.0.1", options=(REUSEADDR,)), ("listening", None)),
    "listener on 127.0.0.2": (lambda s, p: opened(s, p, "127.0.0.2"), ("listening", None)),
    "listener on 0.0.0.0": (lambda s, p: opened(s, p, "0.0.0.0"), ("listening", None)),
    "listener on ::1": (lambda s, p: opened(s, p, "::1"), ("listening", None)),
    "listener on :: (IPv6 only)": (lambda s, p: opened(s, p, "::"), ("listening", None)),
    "listener on :: (dual-stack)": (lambda s, p: opened(s, p, "::", v6only=False), ("listening", None)),
    "reuseport listener on 127.0.0.2": (lambda s, p: opened(s, p, "127.0.0.2", options=(REUSEPORT,)), ("listening", None)),
    "bound on 127.0.0.2": (lambda s, p: opened(s, p, "127.0.0.2", listen=False), ("busy", "connection")),
    "bound on 127.0.0.1 with reuse": (lambda s, p: opened(s, p, "127.0.0.1", listen=False, options=(REUSEADDR,)),
                                      ("busy", "connection")),
    "bound on ::1": (lambda s, p: opened(s, p, "::1", listen=False), ("busy", "connection")),
    "connection from 127.0.0.2": (connection_from, ("busy", "connection")),
    "time-wait without reuse": (lambda stack, port: leave_time_wait(port), ("busy", "time-wait")),
    "udp on 127.0.0.1": (lambda s, p: opened(s, p, "127.0.0.1", kind=socket.SOCK_DGRAM), ("free", None)),
}


def put(stack: ExitStack, case: str, port: int) -> tuple[str, str | None]:
    make, expected = CASES[case]
    make(stack, port)
    return expected


@pytest.fixture
def stack() -> Iterator[ExitStack]:
    with ExitStack() as sockets:
        yield sockets


@pytest.mark.parametrize("case", list(CASES))
def test_is_free_says_what_status_says(inside: None, stack: ExitStack, case: str) -> None:
    port = unused_port()
    expected = put(stack, case, port)
    state = velmor.status(port)
    assert (state.state, state.reason) == expected
    assert velmor.is_free(port) == (expected[0] == "free")
    assert main(["check", str(port), "-q"]) == (0 if expected[0] == "free" else 1)


def test_a_reserved_port_is_free(inside: None) -> None:
    port = velmor.reserve()
    assert (velmor.status(port).state, velmor.is_free(port)) == ("free", True)


@pytest.mark.parametrize("padding", [0, 100], ids=["few ports, asked one by one", "many ports, one read of every state"])
def test_many_ports_at_once_answer_as_one_at_a_time(
    inside: None, stack: ExitStack, capsys: pytest.CaptureFixture[str], padding: int
) -> None:
    ports = fresh_ports_below_the_ephemeral_range(len(CASES) + padding)
    expected = {port: put(stack, case, port)[0] == "free" for case, port in zip(CASES, ports)}
    expected.update({port: True for port in ports[len(CASES):]})
    one_at_a_time = [velmor.is_free(port) for port in ports]
    assert one_at_a_time == [expected[port] for port in ports]
    assert _table.free_check(ports) == one_at_a_time
    free = [port for port in ports if expected[port]]
    taken = [port for port in ports if not expected[port]]

    def all_free(some: list[int]) -> bool:  # as `velmor check -q` asks: up to the first taken port
        return all(_table.free_check(some, stop_at_taken=True))

    assert (all_free(free), all_free(ports), all_free(free + taken[-1:])) == (True, False, False)
    capsys.readouterr()
    assert main(["check", *map(str, ports), "-q"]) == 1
    assert main(["check", *map(str, free), "-q"]) == 0
    assert main(["check", *map(str, ports)]) == 1
    lines = capsys.readouterr().out.splitlines()
    assert sorted(int(line.split()[1]) for line in lines) == sorted(taken)


def test_a_check_of_many_ports_as_a_user_without_privileges_keeps_the_ports_below_its_limit_taken(
    inside: None, stack: ExitStack
) -> None:
    """Beyond a few ports one read of every state stands in for the trial
    binds, but not below the first unprivileged port, whose bind fails
    whatever is on it: as nobody those stay taken, and a bound socket above
    the limit is still found."""
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        pytest.skip("needs root and setpriv")
    start = int(Path("/proc/sys/net/ipv4/ip_unprivileged_port_start").read_text())
    if not 100 < start < 65000:
        pytest.skip(f"the unprivileged ports start at {start}")
    ports = list(range(start - 40, start + 60))
    opened(stack, start + 10, "127.0.0.2", listen=False)
    answer = subprocess.run([*AS_NOBODY, sys.executable, "-m", "velmor", "check", f"{ports[0]}-{ports[-1]}"],
                            capture_output=True, text=True, timeout=60)
    named = sorted(int(line.split()[1]) for line in answer.stdout.splitlines())
    assert (answer.returncode, named) == (1, [*range(start - 40, start), start + 10]), answer.stderr
