"""velmor's benchmark suite: every task beside the usual ways of doing it,
in one run, printed as one table.

Run it through ``bash benchmarks/run`` (which installs everything it needs);
options are listed by ``--help``.

For each crowd size N (extra processes, each holding K descriptors) a fresh
fixture starts: one listener before the crowd (its pid, and so its place in
/proc, comes before the crowd's), the crowd, then one listener after it and
ten more for the scans. Figures are medians:

* library calls (velmor, psutil, the socket module, portpicker) are timed
  per call inside this process;
* commands (ss, fuser, lsof) are timed as whole processes, spawn to exit;
* the C floor (floor.c) times itself in a loop and reports its own medians;
* the tools compared on a task take turns, round after round, so that
  whatever else the machine is doing weighs on all of them alike;
* kill rounds each use a fresh listener, and time from the call until the
  port can be bound again.

Every cell also gives its ratio to velmor's figure for the same task and N.
Nothing here asserts a speed; the checks at the end print the ratios that
the targets are stated in.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

import psutil
import portpicker

import velmor

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from fixture import Fixture, Listener  # noqa: E402

RESERVED_PORTS = {2024}  # held by a process that is none of ours; never probed on purpose


def now_ns() -> int:
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC)


# ------------------------------------------------------------------ figures


@dataclass
class Figure:
    """A median, its unit ("ns" or "KiB") and how many samples it rests on."""

    value: float
    unit: str = "ns"
    samples: int = 0
    note: str = ""


@dataclass
class Row:
    task: str
    tool: str
    reference: bool = False  # velmor's row: the one the others are divided by
    cells: dict[int, Figure] = field(default_factory=dict)


class Results:
    def __init__(self) -> None:
        self.rows: list[Row] = []
        self._index: dict[tuple[str, str], Row] = {}

    def put(self, task: str, tool: str, n: int, figure: Figure | None, reference: bool = False) -> None:
        key = (task, tool)
        row = self._index.get(key)
        if row is None:
            row = Row(task, tool, reference)
            self._index[key] = row
            self.rows.append(row)
        if figure is not None:
            row.cells[n] = figure

    def get(self, task: str, tool: str, n: int) -> float | None:
        row = self._index.get((task, tool))
        if row is None or n not in row.cells:
            return None
        return row.cells[n].value

    def reference(self, task: str) -> Row | None:
        for row in self.rows:
            if row.task == task and row.reference:
                return row
        return None


# ------------------------------------------------------------------ timing


@dataclass
class Budget:
    seconds: float  # time given to each compared entry, spread over the rounds
    rounds: int  # rounds: every entry of a group is sampled once per round, in turn
    kill_rounds: int  # most kill rounds per tool
    kill_seconds: float  # kill rounds stop once this much time per tool has passed (after 5)


def spawn_and_wait(argv: Sequence[str]) -> int:
    """Runs a command with its output discarded; returns its wall time in ns
    from spawn to exit."""
    actions = [
        (os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
        (os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0),
        (os.POSIX_SPAWN_OPEN, 2, os.devnull, os.O_WRONLY, 0),
    ]
    t0 = time.perf_counter_ns()
    pid = os.posix_spawn(argv[0], list(argv), os.environ, file_actions=actions)
    os.waitpid(pid, 0)
    return time.perf_counter_ns() - t0


class Entry:
    """One tool doing one task. `sample` spends about `seconds` (at least one
    sample) and returns the samples, in ns."""

    def __init__(self, task: str, tool: str, reference: bool = False) -> None:
        self.task = task
        self.tool = tool
        self.reference = reference
        self.samples: list[float] = []

    def warm_up(self) -> None:
        self.sample(0)

    def sample(self, seconds: float) -> list[float]:
        raise NotImplementedError

    def figure(self) -> Figure | None:
        if not self.samples:
            return None
        return Figure(statistics.median(self.samples), "ns", len(self.samples))


class Call(Entry):
    """A library call, timed inside this process. Calls cheaper than ~50 µs
    are timed in batches; the batch mean is the sample."""

    def __init__(self, task: str, tool: str, fn: Callable[[], object], reference: bool = False, max_calls: int | None = None):
        super().__init__(task, tool, reference)
        self.fn = fn
        self.batch = 1
        self.calls = 0
        self.max_calls = max_calls

    def warm_up(self) -> None:
        self.fn()
        t0 = time.perf_counter_ns()
        self.fn()
        one = max(time.perf_counter_ns() - t0, 1)
        self.batch = max(1, min(1000, 50_000 // one))
        self.calls += 2

    def sample(self, seconds: float) -> list[float]:
        out: list[float] = []
        fn, batch, clock = self.fn, self.batch, time.perf_counter_ns
        end = time.perf_counter() + seconds
        while not out or time.perf_counter() < end:
            if self.max_calls is not None and self.calls + batch > self.max_calls:
                break
            t0 = clock()
            for _ in range(batch):
                fn()
            out.append((clock() - t0) / batch)
            self.calls += batch
        return out


class Command(Entry):
    """A command, timed as a whole process from spawn to exit."""

    def __init__(self, task: str, tool: str, argv: Sequence[str]) -> None:
        super().__init__(task, tool)
        self.argv = list(argv)

    def sample(self, seconds: float) -> list[float]:
        out: list[float] = []
        end = time.perf_counter() + seconds
        while not out or time.perf_counter() < end:
            out.append(spawn_and_wait(self.argv))
        return out


class FloorTask(Entry):
    """One task of the C floor; each sample is the median of the floor's own
    loop over about `seconds`, so its start-up is not counted."""

    def __init__(self, task: str, tool: str, floor: str, name: str, busy: int, free: int) -> None:
        super().__init__(task, tool)
        self.argv = [floor, str(busy), str(free)]
        self.name = name
        self.detail = ""

    def warm_up(self) -> None:
        pass

    def sample(self, seconds: float) -> list[float]:
        out = subprocess.run([*self.argv, f"{seconds:.4f}", self.name], capture_output=True, text=True, check=True)
        name, median, _reps, *detail = out.stdout.split()
        self.detail = " ".join(detail)
        return [float(median)]


def compare(entries: Sequence[Entry], budget: Budget) -> None:
    """Samples every entry in turn, round after round, so that whatever else
    the machine is doing weighs on all of them alike."""
    for entry in entries:
        entry.warm_up()
    share = budget.seconds / budget.rounds
    for _ in range(budget.rounds):
        for entry in entries:
            entry.samples += entry.sample(share)


# ------------------------------------------------------- the compared tools


def psutil_lookup(port: int) -> dict[str, object] | None:
    """The owner of a listening port the way psutil users find it."""
    for conn in psutil.net_connections(kind="tcp"):
        if conn.laddr and conn.laddr.port == port and conn.status == psutil.CONN_LISTEN and conn.pid:
            process = psutil.Process(conn.pid)
            return {"pid": conn.pid, "name": process.name(), "cmd": " ".join(process.cmdline())}
    return None


def psutil_scan(ports: Sequence[int]) -> dict[int, dict[str, object] | None]:
    """scan() done with psutil: one connection table, then each owner."""
    found: dict[int, dict[str, object] | None] = dict.fromkeys(ports)
    wanted = set(ports)
    for conn in psutil.net_connections(kind="tcp"):
        if conn.status != psutil.CONN_LISTEN or not conn.laddr or not conn.pid:
            continue
        port = conn.laddr.port
        if port in wanted and found[port] is None:
            process = psutil.Process(conn.pid)
            found[port] = {"pid": conn.pid, "name": process.name(), "cmd": " ".join(process.cmdline())}
    return found


def psutil_listeners() -> list[tuple[object, ...]]:
    """velmor.listeners() done with psutil: every TCP listener, with its
    holder's name, command line and user."""
    found = []
    for connection in psutil.net_connections("inet"):
        if connection.type != socket.SOCK_STREAM or connection.status != psutil.CONN_LISTEN:
            continue
        holder: tuple[object, ...] = ()
        if connection.pid:
            try:
                process = psutil.Process(connection.pid)
                holder = (connection.pid, process.name(), process.cmdline(), process.username())
            except psutil.Error:
                pass
        found.append((connection.laddr, holder))
    return found


def socket_probe(port: int) -> bool:
    """is_available done with the socket module: bind and listen on 127.0.0.1."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("127.0.0.1", port))
        s.listen()
        return True
    except OSError:
        return False
    finally:
        s.close()


def socket_port_zero() -> int:
    """find_free done with the socket module: bind port 0, read the port."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])
    finally:
        s.close()


def wait_bindable(port: int, timeout: float = 5.0) -> None:
    """Returns as soon as the port can be bound again (busy polling)."""
    deadline = time.monotonic() + timeout
    while not socket_probe(port):
        if time.monotonic() > deadline:
            raise RuntimeError(f"port {port} still busy after {timeout} s")


# ------------------------------------------------------------------ helpers


def holders(fuser: str, port: int) -> set[int]:
    """Every pid with a TCP socket on local port `port`, as fuser lists them."""
    out = subprocess.run([fuser, "-n", "tcp", str(port)], capture_output=True, text=True)
    return {int(word) for word in out.stdout.split() if word.isdigit()}


def is_our_child(pid: int, spawner: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat") as file:
            fields = file.read().rsplit(")", 1)[1].split()
        return int(fields[1]) == spawner and fields[0] != "Z"
    except (FileNotFoundError, ProcessLookupError, IndexError, ValueError):
        return False


def pick_free_ports(count: int, start: int, exclude: set[int]) -> list[int]:
    """Ports below the ephemeral range that bind now (so they stay free)."""
    ports = []
    port = start
    while len(ports) < count and port < 65536:
        if port not in exclude and port not in RESERVED_PORTS and socket_probe(port):
            ports.append(port)
        port += 1
    return ports


def load_average() -> str:
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def format_time(ns: float) -> str:
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if ns >= scale:
            value = ns / scale
            return f"{value:.3g} {unit}" if value < 100 else f"{value:.0f} {unit}"
    return f"{ns:.0f} ns"


def format_figure(figure: Figure) -> str:
    if figure.unit == "KiB":
        return f"{figure.value:.0f} KiB"
    return format_time(figure.value)


def format_ratio(ratio: float) -> str:
    if ratio >= 10:
        return f"{ratio:.0f}×"
    return f"{ratio:.2f}×"


# ----------------------------------------------------------------- the run


class Bench:
    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.budget = Budget(0.3, 3, 3, 0.0) if args.quick else Budget(args.seconds, args.rounds, 15, 5.0)
        self.results = Results()
        self.started = time.monotonic()
        self.notes: list[str] = []
        self.tools = {name: shutil.which(name) for name in ("ss", "fuser", "lsof")}
        for name, path in self.tools.items():
            if path is None:
                self.notes.append(f"{name} is not installed: its rows are empty")

    def progress(self, text: str) -> None:
        print(f"[{time.monotonic() - self.started:6.1f} s] {text}", file=sys.stderr, flush=True)

    def note(self, text: str) -> None:
        self.notes.append(text)
        print(f"  note: {text}", file=sys.stderr)

    # -- fixture

    def build_fixture(self, fx: Fixture, n: int) -> tuple[Listener, Listener, list[Listener]]:
        early = fx.listen()
        crowd = fx.start_crowd(n, self.args.k)
        late = fx.listen()
        scanned = [fx.listen() for _ in range(10)]
        if len(crowd) != n:
            raise RuntimeError(f"the crowd has {len(crowd)} processes, not {n}")
        last_of_crowd = max(crowd, default=early.pid)
        first_of_crowd = min(crowd, default=late.pid)
        ordered = early.pid < first_of_crowd and last_of_crowd < late.pid and all(
            listener.pid > last_of_crowd for listener in scanned
        )
        if not ordered:
            raise PidWrapped()
        return early, late, scanned

    # -- one crowd size

    def run_n(self, n: int) -> None:
        for attempt in range(3):
            with tempfile.TemporaryDirectory(prefix="velmor-bench-") as exit_dir, Fixture(exit_dir) as fx:
                t0 = time.monotonic()
                try:
                    early, late, scanned = self.build_fixture(fx, n)
                except PidWrapped:
                    self.note(f"N={n}: pids wrapped while the fixture started; starting it again")
                    continue
                self.progress(
                    f"N={n}: fixture up in {time.monotonic() - t0:.1f} s (early pid {early.pid}, "
                    f"crowd {min(fx.crowd, default='-')}..{max(fx.crowd, default='-')}, late pid {late.pid}); "
                    f"load {load_average()}"
                )
                self.measure(fx, n, early, late, scanned)
                return
        raise RuntimeError(f"N={n}: could not start the fixture with its pids in order")

    def measure(self, fx: Fixture, n: int, early: Listener, late: Listener, scanned: list[Listener]) -> None:
        held = {early.port, late.port, *(listener.port for listener in scanned)}
        free_port = pick_free_ports(1, 29000, held)[0]
        others = pick_free_ports(990, 30000, held | {free_port})
        ten = [listener.port for listener in scanned]
        thousand = ten + others
        floor = self.args.floor

        def floor_task(task: str, tool: str, name: str) -> FloorTask:
            return FloorTask(task, tool, floor, name, late.port, free_port)

        # Every tool must find the right owner before it is timed.
        for listener in (early, late):
            info = velmor.get_info(listener.port)
            if not info or info["pid"] != listener.pid:
                self.note(f"N={n}: velmor.get_info({listener.port}) gave {info}, expected pid {listener.pid}")
            info = psutil_lookup(listener.port)
            if not info or info["pid"] != listener.pid:
                self.note(f"N={n}: psutil lookup gave {info}, expected pid {listener.pid}")
        found = velmor.scan(thousand)
        wrong = [p for p in ten if not found.get(p) or found[p]["pid"] not in {s.pid for s in scanned}]
        if wrong or any(found[p] is not None for p in others):
            self.note(f"N={n}: velmor.scan answered wrongly for ports {wrong}")
        if not velmor.is_available(free_port):
            self.note(f"N={n}: port {free_port} was not free for the probe")

        self.progress(f"N={n}: get_info beside psutil, ss, fuser, lsof and the floor")
        group: list[Entry] = []
        for where, listener in (("early", early), ("late", late)):
            task = f"get_info, owner {where}"
            port = listener.port
            group.append(Call(task, "velmor.get_info", lambda port=port: velmor.get_info(port), reference=True))
            group.append(Call(task, "psutil: net_connections + Process", lambda port=port: psutil_lookup(port)))
            group += self.commands(task, n, port, listener.pid)
        walk = floor_task("get_info, owner late", "C floor: full /proc/*/fd walk", "walk")
        netlink = floor_task("get_info, owner late", "C floor: netlink query (port, LISTEN)", "netlink")
        group += [walk, netlink]
        self.run_group(group, n)
        if "matches=1" not in walk.detail:
            self.note(f"N={n}: the floor's walk found {walk.detail}")
        self.results.put("get_info, owner early", walk.tool, n, walk.figure())
        self.results.put("get_info, owner early", netlink.tool, n, netlink.figure())

        self.progress(f"N={n}: scans")
        group = []
        for task, ports in (
            ("scan 1 port (late owner)", [late.port]),
            ("scan 10 busy ports", ten),
            ("scan 1,000 ports (10 busy)", thousand),
        ):
            group.append(Call(task, "velmor.scan", lambda ports=ports: velmor.scan(ports), reference=True))
            group.append(Call(task, "psutil: net_connections + Process", lambda ports=ports: psutil_scan(ports)))
            if len(ports) == 10:
                one = ten[-1]
                group.append(Call(task, "velmor.get_info of one of them", lambda: velmor.get_info(one)))
        self.run_group(group, n)
        everything = list(range(1, 65536))
        self.run_group([Call("scan 1..65535", "velmor.scan", lambda: velmor.scan(everything), reference=True)], n)

        self.progress(f"N={n}: every listener, and the commands people run")
        task = "listeners(), every port"
        self.run_group(
            [
                Call(task, "velmor.listeners()", velmor.listeners, reference=True),
                Call(task, "psutil: net_connections + name, cmdline, username", psutil_listeners),
                floor_task(task, "C floor: LISTEN dump per family + full walk", "listeners"),
            ],
            n,
        )
        self.run_group(self.command_group("velmor ls (whole command)", "velmor ls", ["ls"], {
            "ss -ltnp": ("ss", ["-ltnp"]),
            "lsof -nP -iTCP -sTCP:LISTEN": ("lsof", ["-nP", "-iTCP", "-sTCP:LISTEN"]),
        }), n)
        port = late.port
        self.run_group(self.command_group("velmor who P (whole command)", "velmor who P", ["who", str(port)], {
            "ss -Hltnp 'sport = :P'": ("ss", ["-Hltnp", f"sport = :{port}"]),
            "lsof -nP -iTCP:P -sTCP:LISTEN": ("lsof", ["-nP", f"-iTCP:{port}", "-sTCP:LISTEN"]),
        }), n)

        self.progress(f"N={n}: probes")
        task = "is_available (free port)"
        self.run_group(
            [
                Call(task, "velmor.is_available", lambda: velmor.is_available(free_port), reference=True),
                Call(task, "socket: bind + listen + close", lambda: socket_probe(free_port)),
                floor_task(task, "C floor: socket+setsockopt+bind+listen+close", "probe"),
            ],
            n,
        )
        task = "find_free()"
        self.run_group(
            [
                Call(task, "velmor.find_free", velmor.find_free, reference=True),
                Call(task, "socket: bind port 0 + getsockname", socket_port_zero),
                # portpicker never hands out the same port twice in one
                # process, so its calls are capped well below the number of
                # ephemeral ports.
                Call(task, "portpicker.pick_unused_port", portpicker.pick_unused_port, max_calls=300),
                floor_task(task, "C floor: bind port 0 + getsockname", "bind0"),
                floor_task(task, "C floor: the same + listen", "bind0l"),
            ],
            n,
        )

        self.progress(f"N={n}: kill rounds")
        self.kills(fx, n)

        if not self.args.no_memory:
            self.progress(f"N={n}: memory")
            self.memory(n, late, ten)

    def run_group(self, entries: Sequence[Entry], n: int) -> None:
        compare(entries, self.budget)
        for entry in entries:
            self.results.put(entry.task, entry.tool, n, entry.figure(), reference=entry.reference)

    def command_group(
        self, task: str, label: str, velmor_args: list[str], others: dict[str, tuple[str, list[str]]]
    ) -> list[Entry]:
        """`velmor ARGS` as a whole command beside `others` and beside the
        interpreter starting and doing nothing."""
        command = os.path.join(os.path.dirname(sys.executable), "velmor")
        entries: list[Entry] = [Command(task, label, [command, *velmor_args])]
        entries[0].reference = True
        entries.append(Command(task, "python3 -c pass (same interpreter)", [sys.executable, "-c", "pass"]))
        for label, (name, rest) in others.items():
            if self.tools[name] is not None:
                entries.append(Command(task, label, [str(self.tools[name]), *rest]))
        return entries

    def commands(self, task: str, n: int, port: int, pid: int) -> list[Entry]:
        argvs = {
            "ss -Hltnp 'sport = :P'": ("ss", ["-Hltnp", f"sport = :{port}"]),
            "fuser -n tcp P": ("fuser", ["-n", "tcp", str(port)]),
            "lsof -nP -iTCP:P -sTCP:LISTEN": ("lsof", ["-nP", f"-iTCP:{port}", "-sTCP:LISTEN"]),
        }
        entries: list[Entry] = []
        for label, (name, rest) in argvs.items():
            path = self.tools[name]
            if path is None:
                self.results.put(task, label, n, None)
                continue
            argv = [path, *rest]
            out = subprocess.run(argv, capture_output=True, text=True)
            if str(pid) not in out.stdout:
                self.note(f"N={n}: {name} did not list pid {pid} for port {port}")
            entries.append(Command(task, label, argv))
        return entries

    # -- kill

    def kills(self, fx: Fixture, n: int) -> None:
        b = self.budget
        fuser = self.tools["fuser"]
        if fuser is None:
            self.note("fuser is missing: kill rounds need it to check that a port's only holder is ours")
            return

        def velmor_kill(listener: Listener) -> None:
            velmor.kill(listener.port)

        def velmor_kill_force(listener: Listener) -> None:
            velmor.kill(listener.port, force=True)

        def fuser_kill(listener: Listener) -> None:
            spawn_and_wait([fuser, "-k", "-n", "tcp", str(listener.port)])

        def psutil_kill(listener: Listener) -> None:
            info = psutil_lookup(listener.port)
            if info is None:
                raise RuntimeError(f"psutil found no owner of port {listener.port}")
            psutil.Process(int(info["pid"])).kill()  # type: ignore[call-overload]

        def signal_known_pid(listener: Listener) -> None:
            os.kill(listener.pid, signal.SIGTERM)

        sigterm = "velmor.kill (SIGTERM)"
        known_pid = "floor: os.kill(pid, SIGTERM), pid known, + poll bind"
        tools: list[tuple[str, Callable[[Listener], None]]] = [
            (sigterm, velmor_kill),
            ("velmor.kill(force=True)", velmor_kill_force),
            ("fuser -k -n tcp P (SIGKILL)", fuser_kill),
            ("psutil: lookup + Process.kill() + poll bind", psutil_kill),
            (known_pid, signal_known_pid),
        ]
        task = "kill: call → port binds again"
        totals: dict[str, list[int]] = {label: [] for label, _ in tools}
        # For the tools that send SIGTERM, the listener stamps the moment it
        # starts exiting; the port frees once the kernel has torn it down.
        after_exit: dict[str, list[int]] = {sigterm: [], known_pid: []}
        started = time.monotonic()
        for round_number in range(b.kill_rounds):
            if round_number >= 5 and time.monotonic() - started > b.kill_seconds * len(tools):
                break
            # The tools take turns, a fresh listener each.
            for label, tool in tools:
                listener = fx.listen()
                try:
                    # Only a port whose sole holder is the listener just
                    # started is ever handed to a killing tool.
                    if holders(fuser, listener.port) != {listener.pid}:
                        self.note(f"N={n}: port {listener.port} has holders besides pid {listener.pid}; round skipped")
                        continue
                    t0 = now_ns()
                    tool(listener)
                    wait_bindable(listener.port)
                    t1 = now_ns()
                    totals[label].append(t1 - t0)
                    exited = fx.exit_time_ns(listener.pid)
                    if label in after_exit and exited is not None:
                        after_exit[label].append(t1 - exited)
                finally:
                    self.stop_listener(fx, listener)
        for label, _ in tools:
            values = totals[label]
            figure = Figure(statistics.median(values), "ns", len(values)) if values else None
            self.results.put(task, label, n, figure, reference=label == sigterm)
        for label, values in after_exit.items():
            if values:
                self.results.put(
                    "kill: holder starts exiting → port binds again",
                    label,
                    n,
                    Figure(statistics.median(values), "ns", len(values), f"max {format_time(max(values))}"),
                    reference=label == sigterm,
                )

    def stop_listener(self, fx: Fixture, listener: Listener) -> None:
        """Makes sure a kill round's listener is gone, stopping it by pid if
        it is still the spawner's child."""
        deadline = time.monotonic() + 2
        while time.monotonic() < deadline:
            if not is_our_child(listener.pid, fx.group):
                return
            time.sleep(0.001)
        if is_our_child(listener.pid, fx.group):
            os.kill(listener.pid, signal.SIGKILL)

    # -- memory

    def memory(self, n: int, late: Listener, ten: list[int]) -> None:
        probe = os.path.join(HERE, "memprobe.py")
        cases = (
            ("memory: get_info pass (late owner)", ["get_info", str(late.port)]),
            ("memory: scan of 10 busy ports", ["scan", *map(str, ten)]),
            ("memory: scan 1..65535", ["scan-all"]),
        )
        for task, argv in cases:
            out = subprocess.run([sys.executable, probe, *argv], capture_output=True, text=True)
            if out.returncode != 0:
                self.note(f"N={n}: memory probe {argv[0]} failed: {out.stderr.strip()[-200:]}")
                continue
            data = json.loads(out.stdout)
            self.results.put(task, "peak RSS rise during the call", n, Figure(data["peak_kib"], "KiB", 1), reference=True)
            self.results.put(task, "size of the result (Python objects)", n, Figure(data["result_kib"], "KiB", 1))
            if data["heap_kept_kib"] is not None:
                self.results.put(task, "malloc heap kept after the result is dropped", n, Figure(data["heap_kept_kib"], "KiB", 1))

    # -- output

    def table(self, ns: Sequence[int]) -> str:
        headers = ["task", "tool", *[f"N={n}" for n in ns]]
        lines = []
        previous_task = None
        # Rows of one task together, tasks in the order they were first measured.
        first_seen: dict[str, int] = {}
        for index, row in enumerate(self.results.rows):
            first_seen.setdefault(row.task, index)
        rows = sorted(self.results.rows, key=lambda row: first_seen[row.task])
        for row in rows:
            ref = self.results.reference(row.task)
            cells = []
            for n in ns:
                figure = row.cells.get(n)
                if figure is None:
                    cells.append("—")
                    continue
                text = format_figure(figure)
                if ref is not None and ref is not row and figure.unit == "ns" and n in ref.cells and ref.cells[n].value > 0:
                    text += f" ({format_ratio(figure.value / ref.cells[n].value)})"
                cells.append(text)
            lines.append([row.task if row.task != previous_task else "", row.tool, *cells])
            previous_task = row.task
        widths = [max(len(h), *(len(line[i]) for line in lines)) for i, h in enumerate(headers)]

        def render(values: Sequence[str]) -> str:
            return "| " + " | ".join(v.ljust(w) if i < 2 else v.rjust(w) for i, (v, w) in enumerate(zip(values, widths))) + " |"

        rule = "|" + "|".join(("-" * (w + 1) + ":") if i >= 2 else "-" * (w + 2) for i, w in enumerate(widths)) + "|"
        return "\n".join([render(headers), rule, *map(render, lines)])

    def checks(self, ns: Sequence[int]) -> list[str]:
        """The ratios the targets are stated in (figures, not verdicts)."""
        g = self.results.get
        out = []

        def ratio(a: float | None, b: float | None) -> str:
            return "—" if a is None or b is None or b == 0 else f"{a / b:.2f}"

        for n in ns:
            walk = g("get_info, owner late", "C floor: full /proc/*/fd walk", n)
            netlink = g("get_info, owner late", "C floor: netlink query (port, LISTEN)", n)
            early = g("get_info, owner early", "velmor.get_info", n)
            late = g("get_info, owner late", "velmor.get_info", n)
            ps = g("get_info, owner late", "psutil: net_connections + Process", n)
            ps_early = g("get_info, owner early", "psutil: net_connections + Process", n)
            scan10 = g("scan 10 busy ports", "velmor.scan", n)
            one_of_ten = g("scan 10 busy ports", "velmor.get_info of one of them", n)
            avail = g("is_available (free port)", "velmor.is_available", n)
            probe = g("is_available (free port)", "C floor: socket+setsockopt+bind+listen+close", n)
            free = g("find_free()", "velmor.find_free", n)
            bind0 = g("find_free()", "C floor: bind port 0 + getsockname", n)
            bind0l = g("find_free()", "C floor: the same + listen", n)
            kill = g("kill: call → port binds again", "velmor.kill (SIGTERM)", n)
            kill_exit = g("kill: holder starts exiting → port binds again", "velmor.kill (SIGTERM)", n)
            kill_exit_floor = g(
                "kill: holder starts exiting → port binds again", "floor: os.kill(pid, SIGTERM), pid known, + poll bind", n
            )
            fuser_k = g("kill: call → port binds again", "fuser -k -n tcp P (SIGKILL)", n)
            psutil_k = g("kill: call → port binds again", "psutil: lookup + Process.kill() + poll bind", n)
            listeners = g("listeners(), every port", "velmor.listeners()", n)
            listeners_floor = g("listeners(), every port", "C floor: LISTEN dump per family + full walk", n)
            listeners_psutil = g("listeners(), every port", "psutil: net_connections + name, cmdline, username", n)
            scan_all = g("scan 1..65535", "velmor.scan", n)
            ls = g("velmor ls (whole command)", "velmor ls", n)
            ls_pass = g("velmor ls (whole command)", "python3 -c pass (same interpreter)", n)
            ls_ss = g("velmor ls (whole command)", "ss -ltnp", n)
            ls_lsof = g("velmor ls (whole command)", "lsof -nP -iTCP -sTCP:LISTEN", n)
            who = g("velmor who P (whole command)", "velmor who P", n)
            who_pass = g("velmor who P (whole command)", "python3 -c pass (same interpreter)", n)
            who_ss = g("velmor who P (whole command)", "ss -Hltnp 'sport = :P'", n)
            who_lsof = g("velmor who P (whole command)", "lsof -nP -iTCP:P -sTCP:LISTEN", n)
            out.append(
                f"N={n}: listeners() ÷ floor {ratio(listeners, listeners_floor)} (target ≤ 1.1); "
                f"psutil ÷ listeners() {ratio(listeners_psutil, listeners)} (target ≥ 5 at N=0); "
                f"scan 1..65535 {format_time(scan_all) if scan_all else '—'} (target ≤ 10 ms at N=0); "
                f"velmor ls: ss -ltnp ÷ it {ratio(ls_ss, ls)}, lsof ÷ it {ratio(ls_lsof, ls)} (target > 1 at N=300, 1500), "
                f"it ÷ python3 -c pass {ratio(ls, ls_pass)} (target ≤ 2.5 at N=0); "
                f"velmor who P: ss ÷ it {ratio(who_ss, who)}, lsof ÷ it {ratio(who_lsof, who)}, "
                f"it ÷ python3 -c pass {ratio(who, who_pass)}"
            )
            mem = g("memory: get_info pass (late owner)", "peak RSS rise during the call", n)
            mem_scan = g("memory: scan 1..65535", "peak RSS rise during the call", n)
            out.append(
                f"N={n}: get_info ÷ floor walk: early {ratio(early, walk)}, late {ratio(late, walk)} "
                f"(÷ netlink + walk: {ratio(late, None if walk is None or netlink is None else walk + netlink)}) (target ≤ 1.1); "
                f"psutil lookup ÷ get_info: early {ratio(ps_early, early)}, late {ratio(ps, late)} (target ≥ 6 at N=0); "
                f"scan 10 ÷ get_info {ratio(scan10, one_of_ten)} (same rounds), {ratio(scan10, late)} (get_info rounds) (target ≤ 1.3); "
                f"is_available ÷ floor probe {ratio(avail, probe)}, find_free ÷ floor bind0 {ratio(free, bind0)} "
                f"(÷ bind0+listen {ratio(free, bind0l)}) (target ≤ 1.1); "
                f"kill: exit → bind {format_time(kill_exit) if kill_exit else '—'} "
                f"(with os.kill and busy polling: {format_time(kill_exit_floor) if kill_exit_floor else '—'}) (target ≤ 5 ms), "
                f"fuser -k ÷ kill {ratio(fuser_k, kill)}, psutil ÷ kill {ratio(psutil_k, kill)} (target > 1); "
                f"memory, peak RSS rise: get_info {mem if mem is None else f'{mem:.0f}'} KiB, "
                f"scan 1..65535 {mem_scan if mem_scan is None else f'{mem_scan:.0f}'} KiB"
            )
        return out


class PidWrapped(Exception):
    """The fixture's pids are not in start order (pid numbers wrapped)."""


def machine() -> str:
    model = "?"
    try:
        with open("/proc/cpuinfo") as file:
            for line in file:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return (
        f"{os.cpu_count()} CPUs ({model}), Linux {platform.release()}, Python {platform.python_version()}, "
        f"velmor {velmor.__version__}, psutil {psutil.__version__}"
    )


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", default="0,300,1500", help="crowd sizes, comma separated (default 0,300,1500)")
    parser.add_argument("--k", type=int, default=20, help="descriptors per crowd process (default 20)")
    parser.add_argument("--quick", action="store_true", help="a few repetitions of everything (about a minute)")
    parser.add_argument("--seconds", type=float, default=1.6, help="time given to each tool and task (default 1.6)")
    parser.add_argument("--rounds", type=int, default=8, help="interleaved rounds per group of tools (default 8)")
    parser.add_argument("--floor", default=os.path.join(HERE, "floor"), help="the compiled floor.c")
    parser.add_argument("--no-memory", action="store_true", help="skip the memory measurements")
    parser.add_argument("--json", help="also write every figure to this file")
    args = parser.parse_args(argv)
    ns = [int(word) for word in args.n.split(",") if word.strip()]
    if args.k < 8:
        parser.error("--k must be at least 8 (stdio, the lifeline and four sockets come first)")
    if not os.access(args.floor, os.X_OK):
        parser.error(f"no floor program at {args.floor}: compile benchmarks/floor.c (bash benchmarks/run does)")

    # Turn SIGTERM and SIGHUP into an exit so every fixture's `finally` runs.
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, lambda s, f: sys.exit(128 + s))

    bench = Bench(args)
    started = time.monotonic()
    load_before = load_average()
    for n in ns:
        bench.run_n(n)
    elapsed = time.monotonic() - started

    print(f"velmor benchmarks — {machine()}")
    print(
        f"K={args.k} descriptors per extra process; {'quick run' if args.quick else 'full run'} in {elapsed:.0f} s; "
        f"load average before {load_before}, after {load_average()}"
    )
    print("Cells: median (its ratio to velmor's figure for the same task and N).")
    print()
    print(bench.table(ns))
    print()
    for line in bench.checks(ns):
        print(line)
    for note in bench.notes:
        print(f"note: {note}")
    if args.json:
        with open(args.json, "w") as file:
            json.dump(
                [
                    {"task": row.task, "tool": row.tool, "cells": {str(n): vars(f) for n, f in row.cells.items()}}
                    for row in bench.results.rows
                ],
                file,
                indent=1,
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
