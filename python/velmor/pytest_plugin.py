"""velmor's pytest plugin, registered as `velmor` (the pytest11 entry point).

Fixtures:
    free_port      a port from velmor.reserve(): no other process gets it
                   from a bind on port 0 for about a minute, and a server
                   that sets SO_REUSEADDR binds it at once
    port_factory   velmor.reserve itself, for a test that needs several

    velmor_server  starts a server on a reserved port, returns once it
                   listens, and stops it and its descendants at teardown

The ports are distinct across pytest-xdist workers and processes without
any shared file: the kernel does not hand a reserved port out again.

With --velmor-leftovers, the end of the session reports (one line each) every
process started during it, a descendant of the process that ran the tests,
that still listens on a port; --velmor-leftovers=stop also stops them. The
session becomes a child subreaper, so that a server whose starter exited
stays among its descendants. Under pytest-xdist each worker looks for its own
leftovers (and stops them) as it finishes, before its children would be
handed away, and the controller's summary shows what every worker found.

A leftover is pinned when it is found: the stop signals, through that pin,
only the processes found, and each only while it still holds a socket it was
found with, so a process that later gets a reused pid is never stopped.
"""

from __future__ import annotations

import os
import select
import subprocess
import sys
import threading
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import TypeVar

import pytest

import velmor
from velmor import _ports, _table
from velmor._text import printable

_OPTION = "--velmor-leftovers"
_WORKER_KEY = "velmor_leftovers"  # in an xdist worker's output: its report lines
_SECTION = "velmor: servers left running"

# Stopping: SIGTERM, SIGKILL to what still runs this long after, and no
# longer a wait than this in all.
_KILL_AFTER = 2.0
_STOP_TIMEOUT = _table.STOP_TIMEOUT

_lines_key = pytest.StashKey[list[str]]()  # the report, as each session process made it


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


# --- finding leftovers --------------------------------------------------------------


class Leftover:
    """A descendant that listens: the process, the listening sockets it
    holds (sorted by port and address), and its pin, a pidfd opened when it
    was found (None where it could not be pinned)."""

    def __init__(self, process: velmor.Process, sockets: Sequence[velmor.Socket], pin: int | None) -> None:
        self.process = process
        self.sockets = tuple(sockets)
        self.pin = pin

    def ports(self) -> list[int]:
        return sorted({socket.port for socket in self.sockets})

    def close(self) -> None:
        if self.pin is not None:
            os.close(self.pin)
            self.pin = None


def _exited(pin: int) -> bool:
    """True once the pinned process has exited (a zombie has)."""
    import select

    poller = select.poll()
    poller.register(pin, select.POLLIN)
    return bool(poller.poll(0))


def _holds(pid: int, sockets: Sequence[velmor.Socket]) -> bool:
    """True when the process `pid` holds one of `sockets` (by inode) now."""
    inodes = {socket.inode for socket in sockets}
    ports = sorted({socket.port for socket in sockets})
    return any(
        raw[8] in inodes and any(holder[0] == pid for holder in raw[10])
        for raw in _table.sockets(ports, listening=True, pids=[pid])
    )


def _pin(pid: int, sockets: Sequence[velmor.Socket]) -> tuple[bool, int | None]:
    """Pins the process found holding `sockets`: (still a leftover, pin).
    The pidfd is opened before the check that the process holds one of the
    sockets, and the process must still be alive after it: then the pid
    named the pinned process all along. Where pidfds or our own /proc are
    missing, a process is kept unpinned."""
    if not hasattr(os, "pidfd_open") or not _ports.pids_are_ours():
        return True, None
    try:
        pin = os.pidfd_open(pid)
    except ProcessLookupError:
        return False, None
    except OSError:
        return True, None
    if _holds(pid, sockets) and not _exited(pin):
        return True, pin
    os.close(pin)
    return False, None


def find_leftovers() -> list[Leftover]:
    """The descendants of this process that hold a listening socket, each
    pinned; only the descendants are walked."""
    me = os.getpid()
    below = [pid for pid in _table.process_tree(me) if pid != me]
    if not below:
        return []
    found = [_ports._socket(raw) for raw in _table.sockets(None, listening=True, pids=below)]
    held: dict[int, tuple[velmor.Process, list[velmor.Socket]]] = {}
    for socket in found:
        for process in socket.processes:
            held.setdefault(process.pid, (process, []))[1].append(socket)
    leftovers = []
    for process, sockets in held.values():
        still, pin = _pin(process.pid, sockets)
        if still:
            leftovers.append(Leftover(process, sockets, pin))
    return leftovers


def report_lines(leftovers: Sequence[Leftover]) -> list[str]:
    """One line per listening socket and holder, by port and address."""
    pairs = [(socket, leftover.process) for leftover in leftovers for socket in leftover.sockets]
    pairs.sort(key=lambda pair: (_ports.socket_order(pair[0]), pair[1].pid))
    return [
        f"pid {process.pid} {process.name} listens on port {socket.port} ({socket.address}): {process.cmd}"
        for socket, process in pairs
    ]


# --- stopping them ----------------------------------------------------------------------


def _ports_text(ports: Sequence[int]) -> str:
    return ("port " if len(ports) == 1 else "ports ") + ", ".join(map(str, ports))


def _send(pin: int, number: int) -> str | None:
    """Signals the pinned process; None when it was, else the outcome."""
    import signal

    try:
        signal.pidfd_send_signal(pin, number)
    except ProcessLookupError:
        return "gone"
    except PermissionError:
        return "refused"
    except OSError:
        return "failed"
    return None


def _wait_for_exits(pins: Sequence[int], seconds: float) -> None:
    """Returns once every pinned process has exited, or after `seconds`."""
    import select
    import time

    deadline = time.monotonic() + seconds
    waiting = list(pins)
    while waiting:
        left = deadline - time.monotonic()
        if left <= 0:
            return
        poller = select.poll()
        for pin in waiting:
            poller.register(pin, select.POLLIN)
        ready = {fd for fd, _ in poller.poll(left * 1000)}
        waiting = [pin for pin in waiting if pin not in ready]


_Key = TypeVar("_Key")


def _signal_pinned(pins: Mapping[_Key, int], kill_after: float, timeout: float) -> dict[_Key, tuple[str | None, str]]:
    """SIGTERM through every pin, SIGKILL through those whose process still
    runs `kill_after` seconds later, waiting up to `timeout` seconds in all
    (at least 1 s after the SIGKILL): for each key, the last signal sent and
    what became of it ("exited", "running", "gone", "refused", "failed")."""
    import signal

    outcomes: dict[_Key, tuple[str | None, str]] = {}
    signalled: dict[_Key, int] = {}
    for key, pin in pins.items():
        failure = _send(pin, signal.SIGTERM)
        outcomes[key] = ("SIGTERM", failure or "running")
        if failure is None:
            signalled[key] = pin
    _wait_for_exits(list(signalled.values()), kill_after)
    for key, pin in signalled.items():
        if not _exited(pin) and _send(pin, signal.SIGKILL) is None:
            outcomes[key] = ("SIGKILL", "running")
    _wait_for_exits(list(signalled.values()), max(timeout - kill_after, 1.0))
    for key, pin in signalled.items():
        if _exited(pin):
            outcomes[key] = (outcomes[key][0], "exited")
    return outcomes


def stop_leftovers(leftovers: Sequence[Leftover], kill_after: float = _KILL_AFTER,
                   timeout: float = _STOP_TIMEOUT) -> list[str]:
    """Stops the leftovers found: SIGTERM through each pin to a process that
    still holds a socket it was found with, SIGKILL to those still running
    `kill_after` seconds later; one line per process on what became of it."""
    if not hasattr(os, "pidfd_open"):
        return _stop_unpinned(leftovers)
    outcomes: dict[int, tuple[str | None, str]] = {}  # index: (signal sent, outcome)
    to_signal: dict[int, int] = {}  # index: pin
    for index, leftover in enumerate(leftovers):
        pin = leftover.pin
        if pin is None:
            outcomes[index] = (None, "not pinned when found (no /proc of our own pid namespace)")
        elif not _holds(leftover.process.pid, leftover.sockets) or _exited(pin):
            # Alive after the look: the look was at the pinned process.
            outcomes[index] = (None, "gone (exited, or no longer holds a socket it was found with)")
        else:
            to_signal[index] = pin
    outcomes.update(_signal_pinned(to_signal, kill_after, timeout))
    lines = []
    for index, leftover in enumerate(leftovers):
        sent, outcome = outcomes[index]
        process = leftover.process
        what = f"pid {process.pid} {process.name} on {_ports_text(leftover.ports())}"
        lines.append(f"stopped {what}: {sent} {outcome}" if sent else f"not stopped {what}: {outcome}")
    return lines


def _stop_unpinned(leftovers: Sequence[Leftover]) -> list[str]:
    """Where the system has no pidfds: velmor.stop, which pins each process
    when it signals it, restricted to the processes found."""
    if not leftovers:
        return []
    ports = sorted({port for leftover in leftovers for port in leftover.ports()})
    lines = []
    for report in velmor.stop(ports, pids=[leftover.process.pid for leftover in leftovers],
                              kill_after=_KILL_AFTER, timeout=_STOP_TIMEOUT):
        for signalled in report.processes:
            lines.append(f"stopped pid {signalled.pid} {signalled.name} on port {report.port}: "
                         f"{signalled.signal} {signalled.outcome}")
    return lines


# --- the session's hooks ----------------------------------------------------------------

_PR_SET_CHILD_SUBREAPER = 36


def _become_subreaper() -> None:
    """Makes this process the one that inherits its orphaned descendants,
    instead of init: a server whose starter exited stays a descendant."""
    if not sys.platform.startswith("linux"):
        return
    import ctypes

    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(_PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


def _is_xdist_controller(config: pytest.Config) -> bool:
    """True in the process that hands the tests to xdist workers."""
    return config.pluginmanager.getplugin("dsession") is not None


def _mode(config: pytest.Config) -> str | None:
    mode: str | None = config.getoption("velmor_leftovers")
    return mode


def pytest_configure(config: pytest.Config) -> None:
    config.stash[_lines_key] = []


def pytest_sessionstart(session: pytest.Session) -> None:
    # By now xdist has set up its controller, if this is one: it runs no tests.
    config = session.config
    if _mode(config) is not None and not _is_xdist_controller(config):
        _become_subreaper()


def pytest_sessionfinish(session: pytest.Session) -> None:
    config = session.config
    mode = _mode(config)
    if mode is None or _is_xdist_controller(config):
        return
    leftovers = find_leftovers()
    try:
        lines = report_lines(leftovers)
        if mode == "stop":
            lines += stop_leftovers(leftovers)
    finally:
        for leftover in leftovers:
            leftover.close()
    config.stash[_lines_key].extend(lines)
    workeroutput = getattr(config, "workeroutput", None)
    if workeroutput is not None:  # an xdist worker: the controller shows them
        workeroutput[_WORKER_KEY] = lines


@pytest.hookimpl(optionalhook=True)
def pytest_testnodedown(node: object, error: object) -> None:
    """In the xdist controller: keeps what a finished worker found."""
    output = getattr(node, "workeroutput", None) or {}
    lines = output.get(_WORKER_KEY)
    config = getattr(node, "config", None)
    if lines and config is not None:
        config.stash[_lines_key].extend(lines)


def pytest_terminal_summary(terminalreporter: pytest.TerminalReporter, config: pytest.Config) -> None:
    if _mode(config) is None or hasattr(config, "workerinput"):  # the xdist controller reports for everyone
        return
    terminalreporter.section(_SECTION)
    lines = config.stash.get(_lines_key, [])
    if not lines:
        terminalreporter.write_line("none")
    for line in lines:
        terminalreporter.write_line(printable(line))


# --- a server for a test: velmor_server ---------------------------------------------

_SERVER_LINES = 20  # lines of a server's output a failure shows


class Server:
    """A server the `velmor_server` fixture started, listening on `port`:
    its `pid`, its `process` (stdout and stderr go to one pipe, which the
    fixture reads) and `output`, all it has written so far."""

    def __init__(self, command: Sequence[str], port: int, process: subprocess.Popen[bytes]) -> None:
        self.command = list(command)
        self.port = port
        self.process = process
        self.pid = process.pid
        self._output = bytearray()
        self._ended = False
        self._lock = threading.Lock()
        assert process.stdout is not None
        self._pipe = process.stdout.fileno()
        os.set_blocking(self._pipe, False)
        self._reader = threading.Thread(target=self._read, name=f"velmor_server {self.pid} output", daemon=True)
        self._reader.start()

    def _read(self) -> None:
        """Collects the output as it comes. Reads happen under the lock, as
        do those of `output`, so that the chunks keep their order."""
        poller = select.poll()
        poller.register(self._pipe, select.POLLIN)
        try:
            while True:
                poller.poll()
                with self._lock:
                    if not self._take_waiting():
                        return
        finally:
            with self._lock:
                self._ended = True

    def _take_waiting(self) -> bool:
        """Appends what the pipe holds now (the lock held); False once the
        pipe has ended."""
        while not self._ended:
            try:
                chunk = os.read(self._pipe, 65536)
            except BlockingIOError:
                return True
            if not chunk:
                self._ended = True
            self._output += chunk
        return False

    @property
    def output(self) -> str:
        """What the server has written so far (stdout and stderr, as they
        came), bytes that are not UTF-8 as U+FFFD. What was written before
        the server listened is always there once the fixture returns."""
        with self._lock:
            self._take_waiting()
            return self._output.decode(errors="replace")

    def last_lines(self, wait: float = 2.0) -> str:
        """The end of the output, once the pipe is closed (or after `wait`
        seconds), indented, every line escaped."""
        self._reader.join(wait)
        lines = self.output.splitlines()[-_SERVER_LINES:]
        return "\n".join("    " + printable(line) for line in lines) if lines else "    (no output)"

    def close_output(self, wait: float = 1.0) -> None:
        """Closes the pipe once the reader has met its end (a process that
        survived the stop still holds it: the pipe is then left open, since
        closing a stream another thread reads would wait for that read)."""
        self._reader.join(wait)
        if not self._reader.is_alive() and self.process.stdout is not None:
            with self._lock:
                self._ended = True
                self.process.stdout.close()

    def __repr__(self) -> str:
        return f"<Server pid {self.pid} on port {self.port}: {printable(' '.join(self.command))}>"


class ServerFactory:
    """velmor_server(command, *, port=None, env=None, cwd=None, timeout=30.0,
    kill_after=2.0): starts `command` (a list; "{port}" in any argument is
    replaced by the port: `port`, or one from velmor.reserve()) with `env`
    (as Popen takes it: the whole environment) in `cwd`, and returns once
    the process or one of its descendants listens on the port. The test
    fails, with the exit code and the last lines of output, when the server
    exits first or does not listen within `timeout` seconds (it is then
    stopped). At teardown each server and its descendants get SIGTERM
    through pins, SIGKILL `kill_after` seconds later."""

    def __init__(self) -> None:
        self._started: list[tuple[Server, _ServerTree, float]] = []

    def __call__(
        self,
        command: Sequence[str],
        *,
        port: int | None = None,
        env: Mapping[str, str] | None = None,
        cwd: str | os.PathLike[str] | None = None,
        timeout: float = _table.WAIT_TIMEOUT,
        kill_after: float = _KILL_AFTER,
    ) -> Server:
        if isinstance(command, (str, bytes)):
            raise TypeError("the command is a list of arguments, not a string")
        chosen = velmor.reserve() if port is None else port
        argv = [str(argument).replace("{port}", str(chosen)) for argument in command]
        process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, env=env, cwd=cwd)
        server = Server(argv, chosen, process)
        tree = _ServerTree(process)
        self._started.append((server, tree, kill_after))
        try:
            listening = velmor.wait_until_listening(chosen, timeout, pid=server.pid)
        except ProcessLookupError:
            code = process.wait()
            pytest.fail(f"server {server.command[0]!r} exited with code {code} before it listened on port "
                        f"{chosen}; its last lines:\n{server.last_lines()}", pytrace=False)
        tree.pin_descendants()
        if not listening:
            tree.stop(kill_after)
            pytest.fail(f"server {server.command[0]!r} (pid {server.pid}) did not listen on port {chosen} "
                        f"within {timeout:g}s and was stopped; its last lines:\n{server.last_lines()}",
                        pytrace=False)
        return server

    def stop_all(self) -> list[str]:
        """Stops every server started, the last first; the problems found
        (a descendant still listening), one line each."""
        problems = []
        for server, tree, kill_after in reversed(self._started):
            try:
                tree.pin_descendants()
                tree.stop(kill_after)
                problems += tree.still_listening()
            finally:
                tree.close()
                server.close_output()
        self._started.clear()
        return problems


class _ServerTree:
    """A server and its descendants, each pinned by a pidfd as soon as it
    is seen, so that only they are ever signalled: the server is pinned
    before it can be reaped, a descendant only while it is still below the
    server (looked at again after pinning)."""

    def __init__(self, process: subprocess.Popen[bytes]) -> None:
        self.process = process
        self.pins: dict[int, int] = {}  # pid: pidfd
        if hasattr(os, "pidfd_open"):
            self.pins[process.pid] = os.pidfd_open(process.pid)

    def pin_descendants(self) -> None:
        if not hasattr(os, "pidfd_open") or not _ports.pids_are_ours():
            return
        root = self.process.pid
        fresh = {}
        for pid in _table.process_tree(root):
            if pid not in self.pins:
                try:
                    fresh[pid] = os.pidfd_open(pid)
                except OSError:
                    continue
        below = set(_table.process_tree(root)) if fresh else set()
        for pid, pin in fresh.items():
            if pid in below and not _exited(pin):
                self.pins[pid] = pin
            else:
                os.close(pin)

    def stop(self, kill_after: float) -> None:
        """SIGTERM, then SIGKILL after `kill_after` seconds, to each pinned
        process still running; the server is reaped."""
        if not self.pins:  # no pidfds here: the server alone, by the pid Popen keeps
            _stop_child(self.process, kill_after)
            return
        running = {pid: pin for pid, pin in self.pins.items() if not _exited(pin)}
        _signal_pinned(running, kill_after, kill_after + _STOP_TIMEOUT)
        try:
            self.process.wait(timeout=1.0)
        except subprocess.TimeoutExpired:
            pass

    def still_listening(self) -> list[str]:
        """A line for each pinned process that survived the stop and still
        listens on a port."""
        alive = [pid for pid, pin in self.pins.items() if not _exited(pin)]
        if not alive:
            return []
        lines = []
        for raw in _table.sockets(None, listening=True, pids=alive):
            for pid, name, cmd, _ in raw[10]:
                lines.append(f"pid {pid} {printable(name)} (of the server {self.process.pid}) still listens on "
                             f"port {raw[3]} ({raw[2]}) after SIGTERM and SIGKILL: {printable(cmd)}")
        return lines

    def close(self) -> None:
        for pin in self.pins.values():
            os.close(pin)
        self.pins.clear()


def _stop_child(process: subprocess.Popen[bytes], kill_after: float) -> None:
    """Where pidfds are missing: the server itself, which Popen keeps from
    being reaped, so its pid names it until the wait."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=kill_after)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


@pytest.fixture
def velmor_server() -> Iterator[ServerFactory]:
    """Starts servers on reserved ports and waits until they listen; stops
    them and their descendants at teardown (see ServerFactory)."""
    factory = ServerFactory()
    yield factory
    problems = factory.stop_all()
    if problems:
        pytest.fail("velmor_server: " + "; ".join(problems), pytrace=False)
