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
from velmor import _ports, _table

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


def leftovers() -> tuple[list[int], list[tuple[velmor.Socket, velmor.Process]]]:
    """The descendants of this process, and each listening socket one of
    them holds with that holder; only the descendants are walked."""
    me = os.getpid()
    below = [pid for pid in _table.process_tree(me) if pid != me]
    if not below:
        return below, []
    found = [_ports._socket(raw) for raw in _table.sockets(None, listening=True, pids=below)]
    found.sort(key=_ports._by_port_and_address)
    return below, [(socket, process) for socket in found for process in socket.processes]


def pytest_terminal_summary(terminalreporter: pytest.TerminalReporter, config: pytest.Config) -> None:
    mode = config.getoption("velmor_leftovers")
    if mode is None or hasattr(config, "workerinput"):  # the xdist controller reports for everyone
        return
    below, leftovers_found = leftovers()
    terminalreporter.section("velmor: servers left running")
    if not leftovers_found:
        terminalreporter.write_line("none")
        return
    for socket, process in leftovers_found:
        terminalreporter.write_line(
            f"pid {process.pid} {process.name} listens on port {socket.port} ({socket.address}): {process.cmd}"
        )
    if mode == "stop":
        ports = sorted({socket.port for socket, _ in leftovers_found})
        for report in velmor.stop(ports, pids=below, kill_after=2.0):
            for signalled in report.processes:
                terminalreporter.write_line(
                    f"stopped pid {signalled.pid} {signalled.name} on port {report.port}: "
                    f"{signalled.signal} {signalled.outcome}"
                )
