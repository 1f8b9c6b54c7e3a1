"""velmor's pytest plugin, registered as `velmor` (the pytest11 entry point).

Fixtures:
    free_port      a port from velmor.reserve(): no other process gets it
                   from a bind on port 0 for about a minute, and a server
                   that sets SO_REUSEADDR binds it at once
    port_factory   velmor.reserve itself, for a test that needs several

Both give distinct ports across pytest-xdist workers and processes without
any shared file: the kernel does not hand a reserved port out again.

With --velmor-leftovers, the end of the session reports (one line each) every
process started during it, a descendant of the test process, that still
listens on a port; --velmor-leftovers=stop also stops them (only those, by
velmor.stop with its checks).
"""

from __future__ import annotations

import os
from collections.abc import Callable

import pytest

import velmor
from velmor import _table

_OPTION = "--velmor-leftovers"


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("velmor", "velmor: reserved ports and leaked servers")
    group.addoption(
        _OPTION,
        nargs="?",
        const="report",
        default=None,
        choices=("report", "stop"),
        help="at the end, report processes started by the session that still listen on a port "
        "(=stop: also stop them)",
    )


@pytest.fixture
def free_port() -> int:
    """A reserved port (velmor.reserve): bind it with SO_REUSEADDR."""
    return velmor.reserve()


@pytest.fixture
def port_factory() -> Callable[[], int]:
    """A callable that gives a new reserved port at each call."""
    return velmor.reserve


def leftover_listeners() -> list[velmor.Socket]:
    """The listening sockets held by descendants of this process."""
    below = [pid for pid in _table.process_tree(os.getpid()) if pid != os.getpid()]
    if not below:
        return []
    found = velmor.listeners(udp=False)
    wanted = set(below)
    return [s for s in found if any(p.pid in wanted for p in s.processes)]


def pytest_terminal_summary(terminalreporter: pytest.TerminalReporter, config: pytest.Config) -> None:
    mode = config.getoption("velmor_leftovers")
    if mode is None or hasattr(config, "workerinput"):  # the xdist controller reports for everyone
        return
    below = {pid for pid in _table.process_tree(os.getpid()) if pid != os.getpid()}
    leftovers = [
        (socket, process)
        for socket in leftover_listeners()
        for process in socket.processes
        if process.pid in below
    ]
    terminalreporter.section("velmor: servers left running")
    if not leftovers:
        terminalreporter.write_line("none")
        return
    for socket, process in leftovers:
        terminalreporter.write_line(
            f"pid {process.pid} {process.name} listens on port {socket.port} ({socket.address}): {process.cmd}"
        )
    if mode == "stop":
        ports = sorted({socket.port for socket, _ in leftovers})
        for report in velmor.stop(ports, pids=sorted(below), kill_after=2.0):
            for signalled in report.processes:
                terminalreporter.write_line(
                    f"stopped pid {signalled.pid} {signalled.name} on port {report.port}: "
                    f"{signalled.signal} {signalled.outcome}"
                )
