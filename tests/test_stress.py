"""Eight threads call all six functions for a bounded time while the test
starts and stops listener processes on ports of its own. Nothing may crash or
hang, and every answer must agree with what the test knew of its listeners
during that call:

- a port held by the same listener from before a call until after it is never
  reported free (is_available, wait_until_free, find_free's preference) and its
  owner is that listener;
- a port that nobody of ours listened on throughout a call has no owner, save
  this very process, whose own probes hold ports for an instant (or a child
  it is starting, which holds copies of its descriptors until it execs);
- every owner ever reported is one of the test's listeners or this process
  (or a child it was starting during the call).

kill is only ever called on a port that one of the test's listeners holds, and
while it runs no other thread kills or stops that listener. Everything runs in
a network namespace of the test's own where one can be made, so no other
process's sockets can meet the test's ports.
"""

from __future__ import annotations

import faulthandler
import os
import random
import signal
import subprocess
import sys
import threading
import time
from collections import Counter
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import pytest

import private_network
import velmor
from conftest import command_line, stop_process, unused_ports

pytestmark = pytest.mark.slow

THREADS = 8
PORTS = 6
# The calls run for this long (at most 20 s); CI keeps the default.
SECONDS = min(float(os.environ.get("VELMOR_STRESS_SECONDS", "8")), 20.0)
# How long a thread may take to finish its last call once the time is up.
GRACE = 30.0

# A listener: waits for a line on stdin (sent once the test has noted its
# pid), binds (retrying while a probe holds the port for an instant), says
# "ready", and holds the port until its stdin closes or a signal ends it.
_LISTENER = """
import socket, sys, time
port = int(sys.argv[1])
sys.stdin.readline()
for attempt in range(5000):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        s.bind(("127.0.0.1", port))
        s.listen()
        break
    except OSError:  # a probe had the port: bind or listen refused
        s.close()
        time.sleep(0.001)
else:
    sys.exit("could not listen")
print("ready", flush=True)
sys.stdin.read()
"""


@dataclass
class Port:
    number: int
    generation: int = 0  # moves on at the start and the end of every change
    holder: subprocess.Popen[str] | None = None
    changing: bool = False


@dataclass(frozen=True)
class Seen:
    generation: int
    holder: int | None  # pid
    changing: bool
    # How many listener pids were known then (Ports.known_pids only grows);
    # not part of what two looks at a port compare.
    known: int = field(default=0, compare=False)


class Ports:
    """The test's ports and what it knows of each."""

    def __init__(self, numbers: list[int]) -> None:
        self.lock = threading.Lock()
        self.ports = {number: Port(number) for number in numbers}
        self.known_pids: list[int] = []  # every listener's, in starting order

    def look(self, number: int) -> Seen:
        with self.lock:
            port = self.ports[number]
            return Seen(port.generation, port.holder.pid if port.holder else None, port.changing, len(self.known_pids))

    def begin_change(self, number: int, *, held: bool) -> subprocess.Popen[str] | None | bool:
        """Claims a port for a change if it is still as `held` says; returns
        its holder (or None), or False when the port is taken or changing."""
        with self.lock:
            port = self.ports[number]
            if port.changing or (port.holder is not None) != held:
                return False
            port.changing = True
            port.generation += 1
            return port.holder

    def end_change(self, number: int, holder: subprocess.Popen[str] | None) -> None:
        with self.lock:
            port = self.ports[number]
            port.holder = holder
            port.changing = False
            port.generation += 1


def start_listener(number: int, known_pids: list[int]) -> subprocess.Popen[str]:
    """A listener on `number`; its pid goes into `known_pids` before it binds."""
    process = subprocess.Popen(
        [sys.executable, "-c", _LISTENER, str(number)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
    )
    known_pids.append(process.pid)
    assert process.stdin is not None and process.stdout is not None
    process.stdin.write("bind\n")
    process.stdin.flush()
    if process.stdout.readline().strip() != "ready":
        stop_process(process)
        raise RuntimeError(f"listener on {number} did not start")
    return process


@dataclass
class Run:
    ports: Ports
    deadline: float
    errors: list[str] = field(default_factory=list)
    counts: Counter[str] = field(default_factory=Counter)
    lock: threading.Lock = field(default_factory=threading.Lock)

    def fail(self, text: str) -> None:
        with self.lock:
            self.errors.append(text)

    def count(self, what: str) -> None:
        with self.lock:
            self.counts[what] += 1


def held_throughout(before: Seen, after: Seen) -> int | None:
    """The pid of the listener that held the port for the whole call, if any."""
    if before == after and not before.changing and before.holder is not None:
        return before.holder
    return None


def free_throughout(before: Seen, after: Seen) -> bool:
    return before == after and not before.changing and before.holder is None


OWN_COMMAND = command_line("self")


def parent_of(pid: int) -> int | None:
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return None
    return int(stat.rsplit(")", 1)[1].split()[1])


def is_us(run: Run, info: dict[str, Any], before: Seen) -> bool:
    """This process, or a child it was starting during the call. Between fork
    and exec a child holds copies of our descriptors, our probes' among them,
    and by the time its command line is read it may be the listener's already;
    its pid is known only once it has started."""
    pid = info["pid"]
    if pid == os.getpid() or info["cmd"] == OWN_COMMAND:
        return True
    known = run.ports.known_pids
    return pid not in known[: before.known] and (parent_of(pid) == os.getpid() or pid in known)


def check_owner(run: Run, what: str, number: int, info: Any, before: Seen, after: Seen) -> None:
    if info is not None:
        if set(info) != {"pid", "name", "cmd"} or not isinstance(info["pid"], int):
            run.fail(f"{what}: malformed info {info!r}")
            return
        if not is_us(run, info, before) and info["pid"] not in run.ports.known_pids:
            run.fail(f"{what}: port {number} owned by a stranger {info!r}")
    pid = held_throughout(before, after)
    if pid is not None:
        run.count(f"{what} held")
        if info is None or info["pid"] != pid:
            run.fail(f"{what}: port {number} held by {pid} throughout, reported {info!r}")
    elif free_throughout(before, after) and info is not None and not is_us(run, info, before):
        run.fail(f"{what}: port {number} free throughout, reported {info!r}")


# kill ends a listener each time: rarer than the rest, so that ports stay held
# long enough to be watched.
OPERATIONS = ["is_available", "get_info", "scan", "find_free", "wait_until_free", "kill", "bad"]
WEIGHTS = [10, 10, 10, 10, 10, 2, 5]


def observe(run: Run, rng: random.Random) -> None:
    """One call of a randomly chosen function, checked against what the test knew."""
    numbers = list(run.ports.ports)
    number = rng.choice(numbers)
    operation = rng.choices(OPERATIONS, WEIGHTS)[0]
    run.count(operation)
    ports = run.ports

    if operation == "scan":
        chosen = rng.sample(numbers, rng.randint(1, len(numbers))) + [0, number]
        looked = {n: ports.look(n) for n in chosen if n}
        owners = velmor.scan(chosen)
        looked_again = {n: ports.look(n) for n in chosen if n}
        if set(owners) != set(chosen):
            run.fail(f"scan keys {sorted(owners)} for {sorted(set(chosen))}")
            return
        if owners[0] is not None:
            run.fail(f"scan gave an owner for port 0: {owners[0]!r}")
        for n in looked:
            check_owner(run, "scan", n, owners[n], looked[n], looked_again[n])
        return

    if operation == "kill":
        holder = ports.begin_change(number, held=True)
        if not isinstance(holder, subprocess.Popen):
            if velmor.kill(0, force=rng.random() < 0.5) is not True:
                run.fail("kill(0) was not True")
            return
        force = rng.random() < 0.5
        try:
            freed = velmor.kill(number, force)
            if freed is not True:
                run.fail(f"kill({number}) gave {freed!r}")
            ending = holder.wait(timeout=10)
            if ending not in (-signal.SIGTERM, -signal.SIGKILL):
                run.fail(f"kill({number}) ended the listener with {ending}")
            run.count("kill held")
        except Exception as error:  # reported, then the listener is stopped below
            run.fail(f"kill({number}) raised {error!r}")
        finally:
            stop_process(holder)
            ports.end_change(number, None)
        return

    before = ports.look(number)
    if operation == "is_available":
        answer: Any = velmor.is_available(number)
    elif operation == "get_info":
        answer = velmor.get_info(number)
    elif operation == "find_free":
        answer = velmor.find_free(number) if rng.random() < 0.7 else velmor.find_free()
    elif operation == "wait_until_free":
        answer = velmor.wait_until_free(number, 0 if rng.random() < 0.9 else 1)
    else:
        check_bad_call(run, rng, number)
        return
    after = ports.look(number)

    if operation == "get_info":
        check_owner(run, "get_info", number, answer, before, after)
        return
    if operation == "find_free":
        if not isinstance(answer, int) or not 0 < answer < 65536:
            run.fail(f"find_free gave {answer!r}")
        elif held_throughout(before, after) is not None and answer == number:
            run.fail(f"find_free handed out {number}, held throughout")
        return
    if not isinstance(answer, bool):
        run.fail(f"{operation} gave {answer!r}")
    elif held_throughout(before, after) is not None:
        run.count(f"{operation} held")
        if answer:
            run.fail(f"{operation}({number}) said free while held throughout")


BAD_CALLS: list[tuple[Callable[[int], Any], type[BaseException]]] = [
    (lambda n: velmor.is_available(-n), OverflowError),
    (lambda n: velmor.get_info(str(n)), TypeError),
    (lambda n: velmor.scan(str(n)), TypeError),
    (lambda n: velmor.scan([n, 70000]), OverflowError),
    (lambda n: velmor.kill(n, 1), TypeError),
    (lambda n: velmor.wait_until_free(n, -1), OverflowError),
    (lambda n: velmor.find_free(n, n), TypeError),
]


def check_bad_call(run: Run, rng: random.Random, number: int) -> None:
    call, kind = rng.choice(BAD_CALLS)
    try:
        call(number)
    except kind:
        return
    except BaseException as error:  # noqa: BLE001 - any other outcome is the finding
        run.fail(f"bad call raised {error!r} instead of {kind.__name__}")
        return
    run.fail(f"bad call raised no {kind.__name__}")


def worker(run: Run, network: int | None, seed: int) -> None:
    if network is not None:
        private_network.enter(network)
    rng = random.Random(seed)
    try:
        while time.monotonic() < run.deadline:
            observe(run, rng)
    except BaseException as error:  # noqa: BLE001 - reported to the test
        run.fail(f"worker stopped by {error!r}")


def manager(run: Run, network: int | None, seed: int) -> None:
    """Starts and stops listeners until the time is up."""
    if network is not None:
        private_network.enter(network)
    rng = random.Random(seed)
    numbers = list(run.ports.ports)
    try:
        while time.monotonic() < run.deadline:
            time.sleep(rng.uniform(0.02, 0.2))
            number = rng.choice(numbers)
            if run.ports.look(number).holder is None:
                holder = run.ports.begin_change(number, held=False)
                if holder is None:
                    run.ports.end_change(number, start_listener(number, run.ports.known_pids))
                    run.count("started")
            elif rng.random() < 0.25:
                holder = run.ports.begin_change(number, held=True)
                if isinstance(holder, subprocess.Popen):
                    stop_process(holder)
                    run.ports.end_change(number, None)
                    run.count("stopped")
    except BaseException as error:  # noqa: BLE001 - reported to the test
        run.fail(f"manager stopped by {error!r}")


def test_threads_and_listeners(network: int | None, no_signal_to_us: list[int]) -> None:
    with private_network.inside(network):
        ports = Ports(unused_ports(PORTS))
        for number in list(ports.ports)[: PORTS // 2]:
            ports.begin_change(number, held=False)
            ports.end_change(number, start_listener(number, ports.known_pids))

    run = Run(ports, deadline=time.monotonic() + SECONDS)
    threads = [threading.Thread(target=worker, args=(run, network, seed), daemon=True) for seed in range(THREADS)]
    threads.append(threading.Thread(target=manager, args=(run, network, THREADS), daemon=True))
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=max(0.0, run.deadline - time.monotonic()) + GRACE)
        hung = [thread for thread in threads if thread.is_alive()]
        if hung:
            faulthandler.dump_traceback(all_threads=True)
            pytest.fail(f"{len(hung)} threads still in a call {GRACE:.0f} s after the time was up")
    finally:
        for port in ports.ports.values():
            if port.holder is not None:
                stop_process(port.holder)

    assert no_signal_to_us == []
    assert run.errors == [], sorted({error.split(":")[0] for error in run.errors})
    # Every kind of call ran, some of them while a port was held. (An owner
    # search walks every process: on a busy machine a call can take 50 ms.)
    for operation in OPERATIONS:
        assert run.counts[operation] >= 5, run.counts
    for held in ("get_info held", "scan held", "is_available held", "kill held"):
        assert run.counts[held] >= 2, run.counts
    assert run.counts["started"] >= 3 and run.counts["stopped"] + run.counts["kill held"] >= 3, run.counts
