"""Fixtures and helpers shared by the test areas: ports nobody uses, child
processes that the tests start themselves and always stop again, running
code as another user, and the messages kill raises."""

from __future__ import annotations

import os
import shutil
import signal
import socket
import subprocess
import sys
import textwrap
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path

import pytest

import private_network

# A run started in the background of a script inherits SIGINT ignored, and
# every process the tests start would inherit it too (an ignored signal stays
# ignored across exec): the tests of Ctrl-C need it to act as at a terminal.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

# Under AddressSanitizer (scripts/test-sanitized) the runtime is preloaded.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

OUT_OF_RANGE = "out of range integral type conversion attempted"

# Exceptions take notes from Python 3.11 on (BaseException.add_note); on 3.10
# the boundary raises its conversion failures without one.
TAKES_NOTES = hasattr(BaseException, "add_note")


def assert_note(error: BaseException, note: str | None) -> None:
    """Checks the notes a failure carries: exactly `note` where exceptions take
    notes, and none at all (no __notes__) where they don't or for None."""
    expected = [note] if note is not None and TAKES_NOTES else None
    assert getattr(error, "__notes__", None) == expected


# --- ports -------------------------------------------------------------------


def unused_port() -> int:
    """A port the system just handed out for a bind on 127.0.0.1 port 0."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def leave_time_wait(port: int) -> None:
    """Leaves a TIME-WAIT on 127.0.0.1:port, as a client without SO_REUSEADDR
    that closes first does."""
    with socket.socket() as server:
        server.bind(("127.0.0.1", 0))
        server.listen()
        client = socket.socket()
        client.bind(("127.0.0.1", port))
        client.connect(server.getsockname())
        peer, _ = server.accept()
        client.close()  # the client closes first: the TIME-WAIT is on its port
        peer.recv(1)
        peer.close()


def unused_ports(count: int) -> list[int]:
    """`count` distinct ports the system just handed out, all held at once
    while choosing so that none comes twice."""
    held = [socket.socket() for _ in range(count)]
    try:
        for s in held:
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in held]
    finally:
        for s in held:
            s.close()


def port_is_bindable(port: int) -> bool:
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


class Ghost:
    """A listener whose only reference is in flight in a local socket's queue:
    its port is busy, yet no process holds a descriptor of it, so every
    search for it walks all processes and finds nobody."""

    def __init__(self) -> None:
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen()
        self.port = listener.getsockname()[1]
        self.sender, self.receiver = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
        socket.send_fds(self.sender, [b"x"], [listener.fileno()])
        listener.close()

    def close(self) -> None:
        self.sender.close()
        self.receiver.close()


@pytest.fixture(scope="module")
def network() -> Iterator[int | None]:
    """A network namespace of the module's own, where every port is the
    tests' (see private_network.py); None where one cannot be made."""
    fd = private_network.make()
    yield fd
    if fd is not None:
        os.close(fd)


@pytest.fixture
def inside(network: int | None) -> Iterator[None]:
    """Runs the test in the module's own network namespace, where every port
    is the test's and a kill can only reach the test's own children."""
    if network is None:
        pytest.skip("needs a network namespace of our own (CAP_SYS_ADMIN)")
    with private_network.inside(network):
        yield


# --- processes the tests start -----------------------------------------------

# A child that opens the sockets named in argv[2] (comma-separated) on port
# argv[1], prints "ready" and the descriptor of each socket in opening order,
# and waits until it is ended or its stdin closes.
#   tcp, tcp6      a listener on 127.0.0.1 / ::1, with SO_REUSEADDR
#   any            a listener on the IPv4 wildcard address
#   dual-stack     a listener on the IPv6 wildcard that takes IPv4 too
#   reuseport      a listener on 127.0.0.1 with SO_REUSEPORT
#   bound          a TCP socket bound to 127.0.0.1 that does not listen
#   udp            a UDP socket on 127.0.0.1
#   connected      a TCP connection whose local end is the port
#   raw-N          a raw IPv4 socket for protocol N (the port is unused)
#   at-ADDRESS     a listener on that IPv4 address (127.0.0.2, ...), with SO_REUSEADDR
#   v6only-any     a listener on the IPv6 wildcard that takes IPv6 only
#   workers-N      once the sockets are open, N forked workers that share
#                  them, as a pre-forking server's; their pids follow the
#                  descriptors after the word "workers" (they die with the holder)
#   name-HEX       sets its own comm to the bytes HEX
#   ignore-term    ignores SIGTERM
#   slow-exit-N    N packet sockets: once its descriptors are closed, its exit
#                  waits out a network grace period for each, so that it
#                  exits well after its sockets are gone
_HOLDER = textwrap.dedent(
    """
    import ctypes, os, signal, socket, sys, time
    port = int(sys.argv[1])
    kinds = sys.argv[2].split(",")
    libc = ctypes.CDLL(None, use_errno=True)
    if "ignore-term" in kinds:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
    held = []
    for kind in kinds:
        if kind in ("tcp", "tcp6", "any", "dual-stack", "reuseport", "bound"):
            family = socket.AF_INET6 if kind in ("tcp6", "dual-stack") else socket.AF_INET
            s = socket.socket(family, socket.SOCK_STREAM)
            if kind in ("tcp", "tcp6"):
                s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            if family == socket.AF_INET6:
                s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, int(kind == "tcp6"))
            if kind == "reuseport":
                s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
            s.bind(({"tcp6": "::1", "dual-stack": "::", "any": "0.0.0.0"}.get(kind, "127.0.0.1"), port))
            if kind != "bound":
                s.listen()
            held.append(s)
        elif kind == "udp":
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.bind(("127.0.0.1", port))
            held.append(s)
        elif kind == "connected":
            server = socket.socket()
            server.bind(("127.0.0.1", 0))
            server.listen()
            s = socket.socket()
            s.bind(("127.0.0.1", port))
            s.connect(server.getsockname())
            peer, _ = server.accept()
            server.close()
            held += [s, peer]
        elif kind.startswith("raw-"):
            held.append(socket.socket(socket.AF_INET, socket.SOCK_RAW, int(kind[4:])))
        elif kind.startswith("slow-exit-"):
            slow = [socket.socket(socket.AF_PACKET, socket.SOCK_RAW, 0) for _ in range(int(kind[10:]))]
        elif kind.startswith("at-") or kind == "v6only-any":
            family = socket.AF_INET6 if kind == "v6only-any" else socket.AF_INET
            s = socket.socket(family, socket.SOCK_STREAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            if family == socket.AF_INET6:
                s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            s.bind(("::" if kind == "v6only-any" else kind[3:], port))
            s.listen()
            held.append(s)
        elif kind.startswith("name-"):
            assert libc.prctl(15, bytes.fromhex(kind[5:]), 0, 0, 0) == 0  # PR_SET_NAME
    workers = []
    for kind in kinds:
        if kind.startswith("workers-"):
            for _ in range(int(kind[8:])):
                pid = os.fork()
                if pid == 0:
                    libc.prctl(1, signal.SIGKILL, 0, 0, 0)  # PR_SET_PDEATHSIG: die with the holder
                    if os.getppid() == 1:
                        os._exit(0)
                    while True:
                        time.sleep(60)
                workers.append(pid)
    print("ready", *[s.fileno() for s in held], *(["workers", *workers] if workers else []), flush=True)
    sys.stdin.read()
    """
)


def stop_process(process: subprocess.Popen[str]) -> None:
    """Ends a child of the test, by its pid, and closes its pipes."""
    if process.poll() is None:
        process.send_signal(signal.SIGKILL)
    process.wait(timeout=10)
    for stream in (process.stdin, process.stdout):
        if stream is not None:
            stream.close()


@dataclass
class Holder:
    port: int
    process: subprocess.Popen[str]
    fds: list[int] = field(default_factory=list)  # the descriptors it reported when ready
    workers: list[int] = field(default_factory=list)  # pids of its forked workers

    @property
    def pid(self) -> int:
        return self.process.pid

    def stop(self) -> None:
        """Ends the child, by its pid: it is ours."""
        stop_process(self.process)


@pytest.fixture
def start_child() -> Iterator[Callable[..., Holder]]:
    """start_child(script, port, *args, prefix=(), executable=sys.executable):
    a child running the Python `script` with `port` and `args` (under the
    command `prefix`, e.g. setpriv), with its stdin and stdout on pipes,
    awaited until it prints "ready" and maybe its descriptors. A child that
    does not raises RuntimeError. Every child is stopped at the end."""
    started: list[Holder] = []

    def start(
        script: str,
        port: int,
        *args: str | bytes,
        prefix: tuple[str, ...] = (),
        executable: str | Path = sys.executable,
    ) -> Holder:
        command = [*prefix, str(executable), "-c", script, str(port), *args]
        process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        holder = Holder(port, process)
        started.append(holder)
        assert process.stdout is not None
        line = process.stdout.readline()
        words = line.split()
        if words[:1] != ["ready"]:
            raise RuntimeError(f"child failed to start on port {port}: {line!r}")
        fds, _, workers = " ".join(words[1:]).partition("workers")
        holder.fds = [int(word) for word in fds.split()]
        holder.workers = [int(word) for word in workers.split()]
        return holder

    yield start
    for holder in started:
        holder.stop()


@pytest.fixture
def start_holder(start_child: Callable[..., Holder]) -> Callable[..., Holder]:
    """start_holder(port=None, kinds="tcp", extra_args=(), prefix=(),
    executable=sys.executable): a child process holding `port` (an unused
    one when None) with the sockets named in `kinds` (see _HOLDER), given
    `extra_args` after them. Every child is stopped at the end."""

    def start(
        port: int | None = None,
        kinds: str = "tcp",
        extra_args: tuple[str | bytes, ...] = (),
        prefix: tuple[str, ...] = (),
        executable: str | Path = sys.executable,
    ) -> Holder:
        port = unused_port() if port is None else port
        return start_child(_HOLDER, port, kinds, *extra_args, prefix=prefix, executable=executable)

    return start


@pytest.fixture
def held_port(start_holder: Callable[..., Holder]) -> Holder:
    """One TCP listener on 127.0.0.1, in a child process."""
    return start_holder()


def raw_command_line(pid: int | str) -> bytes:
    """The process's command line as the kernel keeps it, arguments joined by spaces."""
    return Path(f"/proc/{pid}/cmdline").read_bytes().rstrip(b"\0").replace(b"\0", b" ")


def command_line(pid: int | str) -> str:
    return raw_command_line(pid).decode()


def process_name(pid: int | str) -> str:
    """The process's comm."""
    return Path(f"/proc/{pid}/comm").read_bytes().rstrip(b"\n").decode()


def descriptor_count() -> int:
    """How many descriptors this process has open."""
    return len(os.listdir("/proc/self/fd"))


@pytest.fixture
def no_signal_to_us() -> Iterator[list[int]]:
    """Records a SIGTERM to this process instead of dying of it, so that a
    kill that reached the test itself shows up as a failure."""
    received: list[int] = []
    previous = signal.signal(signal.SIGTERM, lambda signum, frame: received.append(signum))
    try:
        yield received
    finally:
        signal.signal(signal.SIGTERM, previous)


# --- other users, fewer rights -----------------------------------------------

AS_NOBODY = ("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups")
WITHOUT_KILL = ("setpriv", "--bounding-set=-kill", "--inh-caps=-kill")
CAP_KILL, CAP_SYS_PTRACE = 5, 19


def has_capabilities(*numbers: int) -> bool:
    with open("/proc/self/status") as status:
        effective = next(int(line.split()[1], 16) for line in status if line.startswith("CapEff:"))
    return all(effective >> number & 1 for number in numbers)


# For a caller run as root WITHOUT_KILL: it can still read the descriptors of
# a holder run AS_NOBODY, but may not signal it.
needs_root_that_can_drop_kill = pytest.mark.skipif(
    not sys.platform.startswith("linux")
    or shutil.which("setpriv") is None
    or os.geteuid() != 0
    or not has_capabilities(CAP_KILL, CAP_SYS_PTRACE),
    reason="needs root with CAP_KILL and CAP_SYS_PTRACE, and setpriv",
)


def in_subprocess(code: str, *, prefix: tuple[str, ...] = (), timeout: float = 60) -> subprocess.CompletedProcess[str]:
    """Runs Python code in a fresh interpreter (under the command `prefix`,
    e.g. AS_NOBODY) and returns what it printed."""
    command = [*prefix, sys.executable, "-c", textwrap.dedent(code)]
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout, env=dict(os.environ))


# --- what kill says ----------------------------------------------------------


def not_freed(port: int) -> str:
    return f"Could not free port {port}: no matching process was found or it did not exit"


def denied(port: int) -> str:
    return f"Permission denied to kill the process(es) using port {port} (try running with elevated privileges)"
