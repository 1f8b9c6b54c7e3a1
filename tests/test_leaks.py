"""Repeated calls leave nothing behind: after many calls of each function on
each of its paths (answers, argument errors, OSError and PermissionError) the
process has the same open descriptors, the objects passed in have the same
reference counts, and the numbers of live objects, allocated blocks, heap
bytes and resident memory stay within small bounds.

Iterations: 100,000 per path where a call costs microseconds (CHEAP). Paths
that walk every process (a busy port's owner search, kill of a held port) cost
about 3 ms per call on an idle two-core machine: they run WALKS (600) times,
and kill that really ends a holder runs KILLS (150) times, each cut short
after WALK_SECONDS on a loaded machine (never below a fifth of the count).
That keeps the file near a minute (about 50 s measured). The ports live in a
network namespace of the file's own (see private_network.py), so kill can
only ever reach the tests' children.
"""

from __future__ import annotations

import array
import ctypes
import gc
import os
import signal
import socket
import subprocess
import sys
import textwrap
import time
from collections.abc import Callable, Generator, Iterator
from dataclasses import dataclass
from typing import Any

import numpy
import pytest

import private_network
import velmor
from conftest import (
    AS_NOBODY,
    OUT_OF_RANGE,
    SANITIZED,
    WITHOUT_KILL,
    Ghost,
    Holder,
    denied,
    in_subprocess,
    not_freed,
)

pytestmark = pytest.mark.slow

# Under AddressSanitizer (scripts/test-sanitized) a call costs ten times as
# much; the sanitizer checks every call itself, so cheap paths run 10,000
# times there. Its quarantine keeps freed memory, so resident memory grows by
# design and is not bounded there.
CHEAP = 10_000 if SANITIZED else 100_000
WALKS = 600
KILLS = 150
# A walk costs about 3 ms on an idle machine, but grows with every descriptor
# of every process: on a loaded one, walking paths stop after this many
# seconds, once they have made a fifth of their iterations.
WALK_SECONDS = 4.0

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


# --- measuring -------------------------------------------------------------


class _Mallinfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")
    ]


_libc = ctypes.CDLL(None)
_mallinfo2 = getattr(_libc, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = _Mallinfo2


def heap_bytes() -> int:
    """Bytes the C allocator has handed out and not had back (0 where unknown)."""
    if _mallinfo2 is None:
        return 0
    info = _mallinfo2()
    return int(info.uordblks + info.hblkhd)


def open_descriptors() -> list[str]:
    """This process's descriptors with what each refers to."""
    entries = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            entries.append(f"{fd} -> {os.readlink(f'/proc/self/fd/{fd}')}")
        except FileNotFoundError:  # the directory's own descriptor, closed by now
            pass
    return sorted(entries)


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@dataclass
class Snapshot:
    descriptors: list[str]
    refcounts: list[int]
    objects: int
    blocks: int
    heap: int
    resident: int


def snapshot(watched: list[object]) -> Snapshot:
    gc.collect()
    return Snapshot(
        descriptors=open_descriptors(),
        refcounts=[sys.getrefcount(obj) for obj in watched],
        objects=len(gc.get_objects()),
        blocks=sys.getallocatedblocks(),
        heap=heap_bytes(),
        resident=resident_bytes(),
    )


# How far the figures may move over one run. Measured runs move them by a
# handful of objects and up to about 75 blocks (the interpreter's own caches),
# and by no heap bytes at all. A leak of one object per call moves the blocks
# by the number of calls, past the bound on every path but kill that ends a
# holder (at least 30 calls there, where descriptors and reference counts
# still have to match exactly); a leaked allocation moves the heap by 32 bytes
# or more per call.
OBJECTS_BOUND = 20
BLOCKS_BOUND = 100
HEAP_BOUND = 16 << 10
RESIDENT_BOUND = 2 << 20


def check_run(call: Callable[[], Any], iterations: int, watched: list[object], seconds: float | None = None) -> None:
    """Runs `call` (which checks its own answer) `iterations` times after a
    warm-up and compares the figures before and after. With `seconds`, stops
    early once that time has passed, after at least a fifth of the iterations."""
    for _ in range(min(iterations // 10, 500)):
        call()
    before = snapshot(watched)
    if seconds is None:
        for _ in range(iterations):
            call()
    else:
        end = time.monotonic() + seconds
        for done in range(iterations):
            call()
            if done >= iterations // 5 and time.monotonic() > end:
                break
    after = snapshot(watched)
    misses = getattr(call, "misses", [])
    assert len(misses) <= max(5, iterations // 10_000), misses[:5]
    assert after.descriptors == before.descriptors
    assert after.refcounts == before.refcounts, "references to the arguments were leaked or lost"
    assert after.objects - before.objects <= OBJECTS_BOUND, (before.objects, after.objects)
    assert after.blocks - before.blocks <= BLOCKS_BOUND, (before.blocks, after.blocks)
    assert after.heap - before.heap <= HEAP_BOUND, (before.heap, after.heap)
    if not SANITIZED:
        assert after.resident - before.resident <= RESIDENT_BOUND, (before.resident, after.resident)


def answers(
    function: Callable[..., Any],
    *args: Any,
    expected: Any,
    rarely: Callable[[Any], bool] | None = None,
    **kwargs: Any,
) -> Callable[[], None]:
    """A call that must give `expected` (compared with ==, or checked by it
    when callable). `rarely` accepts the other outcome (a result or an
    exception) of a probe that the kernel refused for an instant: on a free
    port, bind-and-listen fails with EADDRINUSE about once in 10^5 tries even
    with no other socket in the namespace. Such misses are counted."""
    misses: list[object] = []

    def call() -> None:
        try:
            result = function(*args, **kwargs)
        except Exception as error:
            if rarely is None or not rarely(error):
                raise
            misses.append(error)
            return
        if callable(expected):
            ok = expected(result)
        else:
            ok = result == expected and type(result) is type(expected)
        if not ok:
            assert rarely is not None and rarely(result), result
            misses.append(result)

    call.misses = misses  # type: ignore[attr-defined]
    return call


def raises(
    function: Callable[..., Any], *args: Any, kind: type[BaseException], message: str | None, **kwargs: Any
) -> Callable[[], None]:
    """A call that must raise exactly `kind`, with `message` when one is given."""

    def call() -> None:
        try:
            function(*args, **kwargs)
        except kind as error:
            assert type(error) is kind, error
            if message is not None:
                assert error.args == (message,), error.args
        else:
            raise AssertionError(f"no {kind.__name__}")

    return call


# --- argument objects ------------------------------------------------------


def fresh_int(value: int) -> int:
    """An int object of its own, outside the interpreter's small-int cache
    for values above 256, so that its reference count is ours to watch."""
    return int(str(value))


class Index:
    """An object that converts by __index__: to a value, or by raising."""

    def __init__(self, value: int | type[BaseException]) -> None:
        self.value = value

    def __index__(self) -> int:
        if isinstance(self.value, type):
            raise self.value("from __index__")
        return self.value


class BrokenSequence:
    """A sequence whose length lies and whose iteration fails."""

    def __len__(self) -> int:
        raise RuntimeError("no length")

    def __getitem__(self, index: int) -> int:
        raise LookupError("broken iteration")


def lookalike(name: str, truth: Callable[[Any], bool] | None) -> object:
    """An instance of a type that passes for a NumPy boolean by its names."""
    namespace: dict[str, Any] = {"__module__": "numpy"}
    if truth is not None:
        namespace["__bool__"] = truth
    return type(name, (), namespace)()


def failing_truth(self: object) -> bool:
    raise ArithmeticError("no truth")


# --- ports the tests hold themselves -----------------------------------------


@dataclass
class Ports:
    held: int  # a listener of this process
    free: int  # handed out by the system and closed again; no socket of ours stays on it
    hidden: int  # a listener no process has a descriptor of
    own_info: dict[str, Any]


@pytest.fixture(scope="module")
def ports(network: int | None) -> Iterator[Ports]:
    with private_network.inside(network):
        yield from _ports()


def _ports() -> Generator[Ports, None, None]:
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen()
    held = listener.getsockname()[1]

    ghost = Ghost()
    hidden = ghost.port

    with socket.socket() as spare:
        spare.bind(("127.0.0.1", 0))
        free = spare.getsockname()[1]

    info = velmor.get_info(held)
    assert info is not None and info["pid"] == os.getpid(), info
    assert velmor.get_info(hidden) is None and not velmor.is_available(hidden)
    assert velmor.is_available(free)
    try:
        yield Ports(held=held, free=free, hidden=hidden, own_info=dict(info))
    finally:
        ghost.close()
        listener.close()


# --- the paths -------------------------------------------------------------

# Each case: (iterations, a maker given the ports that returns the call and
# the objects whose reference counts must not move).
Made = tuple[Callable[[], None], list[object]]
Case = tuple[int, Callable[[Ports], Made]]


def _port(ports: Ports, name: str) -> int:
    return fresh_int(getattr(ports, name))


CASES: dict[str, Case] = {}


def case(name: str, iterations: int = CHEAP) -> Callable[[Callable[[Ports], Made]], None]:
    def register(maker: Callable[[Ports], Made]) -> None:
        CASES[name] = (iterations, maker)

    return register


def plain_case(name: str, make: Callable[[], Callable[[], None]]) -> None:
    """A cheap path that needs none of the ports and passes no object of its
    own whose reference count could be watched."""
    CASES[name] = (CHEAP, lambda p: (make(), []))


# is_available


@case("is_available-free")
def _(p: Ports) -> Made:
    port = _port(p, "free")
    return answers(velmor.is_available, port, expected=True, rarely=lambda got: got is False), [port]


@case("is_available-held")
def _(p: Ports) -> Made:
    port = _port(p, "held")
    return answers(velmor.is_available, port, expected=False), [port]


plain_case("is_available-zero", lambda: answers(velmor.is_available, 0, expected=False))
plain_case(
    "is_available-missing-argument",
    lambda: raises(
        velmor.is_available, kind=TypeError, message="is_available() missing 1 required positional argument: 'port'"
    ),
)


@case("is_available-out-of-range")
def _(p: Ports) -> Made:
    port = fresh_int(65536)
    return raises(velmor.is_available, port, kind=OverflowError, message=OUT_OF_RANGE), [port]


@case("is_available-beyond-c-long")
def _(p: Ports) -> Made:
    port = 2**70 + 1
    return raises(velmor.is_available, port, kind=OverflowError, message=None), [port]


# find_free


plain_case(
    "find_free-no-preference",
    lambda: answers(velmor.find_free, expected=lambda port: type(port) is int and 0 < port < 65536),
)


@case("find_free-preferred-free")
def _(p: Ports) -> Made:
    port = _port(p, "free")
    return answers(velmor.find_free, port, expected=p.free, rarely=lambda got: 0 < got < 65536), [port]


@case("find_free-preferred-held")
def _(p: Ports) -> Made:
    port = _port(p, "held")
    return answers(velmor.find_free, preferred=port, expected=lambda got: got != p.held), [port]


plain_case("find_free-none", lambda: answers(velmor.find_free, None, expected=lambda port: 0 < port < 65536))


@case("find_free-too-many-positional")
def _(p: Ports) -> Made:
    first, second = fresh_int(1000), fresh_int(2000)
    message = "find_free() takes from 0 to 1 positional arguments but 2 were given"
    return raises(velmor.find_free, first, second, kind=TypeError, message=message), [first, second]


@case("find_free-float")
def _(p: Ports) -> Made:
    preferred = 8000.5
    message = "'float' object cannot be interpreted as an integer"
    return raises(velmor.find_free, preferred, kind=TypeError, message=message), [preferred]


# wait_until_free


@case("wait_until_free-free")
def _(p: Ports) -> Made:
    port = _port(p, "free")
    return answers(velmor.wait_until_free, port, expected=True), [port]


@case("wait_until_free-held-no-wait")
def _(p: Ports) -> Made:
    port, timeout = _port(p, "held"), Index(0)
    return answers(velmor.wait_until_free, port, timeout, expected=False), [port, timeout]


@case("wait_until_free-zero")
def _(p: Ports) -> Made:
    timeout = 2**64 - 1
    return answers(velmor.wait_until_free, 0, timeout=timeout, expected=False), [timeout]


@case("wait_until_free-unexpected-keyword")
def _(p: Ports) -> Made:
    keyword = "".join(["tim", "eout_"])  # a str object of its own, not interned
    message = "wait_until_free() got an unexpected keyword argument 'timeout_'"
    return raises(velmor.wait_until_free, 1, **{keyword: 1}, kind=TypeError, message=message), [keyword]


@case("wait_until_free-negative-timeout")
def _(p: Ports) -> Made:
    timeout = fresh_int(-1000)
    message = "can't convert negative int to unsigned"
    return raises(velmor.wait_until_free, 0, timeout, kind=OverflowError, message=message), [timeout]


plain_case(
    "wait_until_free-none-timeout",
    lambda: raises(
        velmor.wait_until_free, 1, None, kind=TypeError, message="'NoneType' object cannot be interpreted as an integer"
    ),
)


# get_info


@case("get_info-free")
def _(p: Ports) -> Made:
    port = Index(p.free)
    return answers(velmor.get_info, port, expected=lambda info: info is None), [port]


plain_case("get_info-zero", lambda: answers(velmor.get_info, 0, expected=lambda info: info is None))


@case("get_info-held", WALKS)
def _(p: Ports) -> Made:
    port = _port(p, "held")
    return answers(velmor.get_info, port, expected=p.own_info), [port]


@case("get_info-busy-without-holder", WALKS)
def _(p: Ports) -> Made:
    port = _port(p, "hidden")
    return answers(velmor.get_info, port=port, expected=lambda info: info is None), [port]


@case("get_info-multiple-values")
def _(p: Ports) -> Made:
    port = _port(p, "free")
    message = "get_info() got multiple values for argument 'port'"
    return raises(velmor.get_info, port, port=port, kind=TypeError, message=message), [port]


@case("get_info-index-raises")
def _(p: Ports) -> Made:
    port = Index(LookupError)
    return raises(velmor.get_info, port, kind=LookupError, message="from __index__"), [port]


# scan


@case("scan-empty")
def _(p: Ports) -> Made:
    ports: list[int] = []
    return answers(velmor.scan, ports, expected={}), [ports]


@case("scan-zeros")
def _(p: Ports) -> Made:
    ports = (0, 0, 0)
    return answers(velmor.scan, ports, expected={0: None}), [ports]


@case("scan-free")
def _(p: Ports) -> Made:
    port = _port(p, "free")
    ports = [port, port, 0]
    return answers(velmor.scan, ports, expected={p.free: None, 0: None}), [ports, port]


@case("scan-held-and-busy-without-holder", WALKS)
def _(p: Ports) -> Made:
    ports = array.array("H", [p.held, p.hidden, p.free, p.held])  # a sequence that is no list
    expected = {p.held: p.own_info, p.hidden: None, p.free: None}
    return answers(velmor.scan, ports, expected=expected), [ports]


@case("scan-str")
def _(p: Ports) -> Made:
    ports = "".join(["80", "00"])
    return raises(velmor.scan, ports, kind=TypeError, message="Can't extract `str` to `Vec`"), [ports]


@case("scan-not-a-sequence")
def _(p: Ports) -> Made:
    ports = {8000, 8001}
    message = "'set' object is not an instance of 'Sequence'"
    return raises(velmor.scan, ports, kind=TypeError, message=message), [ports]


@case("scan-bad-item")
def _(p: Ports) -> Made:
    bad = fresh_int(70000)
    ports = [0, 0, bad]
    return raises(velmor.scan, ports, kind=OverflowError, message=OUT_OF_RANGE), [ports, bad]


@case("scan-broken-iteration")
def _(p: Ports) -> Made:
    ports = BrokenSequence()
    return raises(velmor.scan, ports, kind=LookupError, message="broken iteration"), [ports]


@case("scan-keyword-not-utf8")
def _(p: Ports) -> Made:
    keyword = "ports\udcff"
    message = "scan() got an unexpected keyword argument 'ports\ufffd\ufffd\ufffd'"
    return raises(velmor.scan, **{keyword: [0]}, kind=TypeError, message=message), [keyword]


# kill (only ports of this process: 0, one known free, or the hidden listener)


def refused_probe(port: int) -> Callable[[Any], bool]:
    """kill's answer when its first probe of a free port was refused: the
    search finds no holder (no socket of ours is on the port, so nothing is
    signalled) and it raises."""
    return lambda error: type(error) is OSError and error.args == (not_freed(port),)


plain_case("kill-zero", lambda: answers(velmor.kill, 0, expected=True))


@case("kill-free")
def _(p: Ports) -> Made:
    port = _port(p, "free")
    return answers(velmor.kill, port, False, expected=True, rarely=refused_probe(p.free)), [port]


@case("kill-free-numpy-force")
def _(p: Ports) -> Made:
    port, force = _port(p, "free"), numpy.True_
    return answers(velmor.kill, port, force=force, expected=True, rarely=refused_probe(p.free)), [port, force]


@case("kill-int-force")
def _(p: Ports) -> Made:
    port, force = _port(p, "held"), fresh_int(1000)
    message = "'int' object is not an instance of 'bool'"
    return raises(velmor.kill, port, force, kind=TypeError, message=message), [port, force]


plain_case(
    "kill-none-force", lambda: raises(velmor.kill, 0, None, kind=TypeError, message="'None' is not an instance of 'bool'")
)


@case("kill-lookalike-without-bool")
def _(p: Ports) -> Made:
    force = lookalike("bool_", None)
    message = "object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"
    return raises(velmor.kill, 0, force=force, kind=TypeError, message=message), [force, type(force)]


@case("kill-lookalike-bool-raises")
def _(p: Ports) -> Made:
    force = lookalike("bool", failing_truth)
    return raises(velmor.kill, 0, force, kind=ArithmeticError, message="no truth"), [force, type(force)]


@case("kill-negative-port")
def _(p: Ports) -> Made:
    port = fresh_int(-4000)
    return raises(velmor.kill, port, True, kind=OverflowError, message=OUT_OF_RANGE), [port]


plain_case(
    "kill-too-many-positional",
    lambda: raises(
        velmor.kill, 0, True, 3, kind=TypeError, message="kill() takes from 1 to 2 positional arguments but 3 were given"
    ),
)


@case("kill-busy-without-holder", WALKS)
def _(p: Ports) -> Made:
    port = _port(p, "hidden")
    return raises(velmor.kill, port, kind=OSError, message=not_freed(p.hidden)), [port]


# Cases that probe a port that must be free and then, were it taken after
# all, would search and signal its holders: only where no one else can take it.
NEEDS_PRIVATE_NETWORK = {"kill-free", "kill-free-numpy-force"}


@pytest.mark.parametrize("name", list(CASES))
def test_path_leaves_nothing_behind(network: int | None, ports: Ports, name: str) -> None:
    if network is None and name in NEEDS_PRIVATE_NETWORK:
        pytest.skip("kill of a free port runs only in a network namespace of our own")
    iterations, make = CASES[name]
    with private_network.inside(network):
        call, watched = make(ports)
        check_run(call, iterations, watched, seconds=WALK_SECONDS if iterations == WALKS else None)


# --- kill that frees a port ------------------------------------------------


def forked_holder(listener: socket.socket) -> int:
    """A child of this process that holds `listener` (and nothing else) until
    a signal ends it. The parent's copy is closed once the child is ready."""
    ready_read, ready_write = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: never returns into the test
        try:
            keep = {listener.fileno(), ready_write}
            for fd in map(int, os.listdir("/proc/self/fd")):
                if fd > 2 and fd not in keep:
                    try:
                        os.close(fd)
                    except OSError:
                        pass
            signal.signal(signal.SIGTERM, signal.SIG_DFL)
            os.write(ready_write, b"r")
            while True:
                signal.pause()
        finally:
            os._exit(1)
    os.close(ready_write)
    assert os.read(ready_read, 1) == b"r"
    os.close(ready_read)
    listener.close()
    return pid


@pytest.mark.parametrize(("force", "ending"), [(False, signal.SIGTERM), (numpy.True_, signal.SIGKILL)])
def test_kill_that_frees_the_port_leaves_nothing_behind(
    network: int | None, force: Any, ending: signal.Signals
) -> None:
    def call() -> None:
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen()
        port = listener.getsockname()[1]
        pid = forked_holder(listener)
        try:
            assert velmor.kill(port, force) is True
        finally:
            status = reap(pid)
        assert os.WIFSIGNALED(status) and os.WTERMSIG(status) == ending, status

    with private_network.inside(network):
        check_run(call, KILLS, [force], seconds=WALK_SECONDS)


def reap(pid: int, timeout: float = 10.0) -> int:
    """The exit status of our child `pid`, which should be ending by now; one
    still running after `timeout` is stopped (it is ours) and the test fails."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done == pid:
            return status
        time.sleep(0.002)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    raise AssertionError("the holder was still running after kill returned")


# --- paths reached in a process of their own --------------------------------

# Runs in a fresh interpreter: `setup` prepares, then check_run measures
# `call`; prints "ok" when every figure stayed put.
_RUNNER = """
import sys
sys.path.insert(0, {tests!r})
import private_network
import velmor
from test_leaks import check_run, raises, answers
{setup}
check_run(call, {iterations}, watched, seconds={seconds})
print("ok")
"""


def run_elsewhere(
    setup: str, iterations: int, prefix: tuple[str, ...] = (), seconds: float | None = None
) -> subprocess.CompletedProcess[str]:
    code = _RUNNER.format(tests=TESTS_DIR, setup=textwrap.dedent(setup), iterations=iterations, seconds=seconds)
    return in_subprocess(code, prefix=prefix, timeout=300)


def test_find_free_without_descriptors_leaves_nothing_behind() -> None:
    # With the descriptor table full, find_free raises OSError every time. The
    # descriptor count is taken with one slot freed for the listing itself.
    setup = """
        import resource, socket, test_leaks
        resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))
        hog = []
        def fill():
            try:
                while True:
                    hog.append(socket.socket())
            except OSError:
                pass
        fill()
        measure = test_leaks.snapshot
        def with_one_slot(watched):
            hog.pop().close()
            try:
                return measure(watched)
            finally:
                fill()
        test_leaks.snapshot = with_one_slot
        preferred = 40000 + 1
        watched = [preferred]
        call = raises(velmor.find_free, preferred, kind=OSError, message="Could not find a free port")
    """
    result = run_elsewhere(setup, CHEAP)
    assert result.returncode == 0 and result.stdout.strip() == "ok", result.stderr


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to start a holder as nobody and drop CAP_KILL")
def test_refused_kill_leaves_nothing_behind(network: int | None, start_holder: Callable[..., Holder]) -> None:
    # A holder run as nobody, and a caller that is root without CAP_KILL: the
    # caller sees the holder, and every signal is refused.
    with private_network.inside(network):
        holder = start_holder(prefix=AS_NOBODY)
        setup = f"""
            port = {holder.port} + 0
            watched = [port]
            call = raises(velmor.kill, port, kind=PermissionError, message={denied(holder.port)!r})
        """
        result = run_elsewhere(setup, WALKS, prefix=WITHOUT_KILL, seconds=WALK_SECONDS)
        assert result.returncode == 0 and result.stdout.strip() == "ok", result.stderr
        assert holder.process.poll() is None, "the refused holder must still run"
