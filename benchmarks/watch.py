"""`velmor watch`, measured: the CPU it uses at rest, how many listeners that
live 20 ms it reports (appeared and gone, with the pid), and how soon after
listen() its `+` line is out, beside N extra processes (benchmarks/fixture.py).

    python benchmarks/watch.py [--n 0,300] [--tries 100] [--rest-seconds 10]

Run through ``bash benchmarks/run --watch`` (which installs what it needs).
Runs in a network namespace of its own (it re-runs itself under unshare -n),
so that the only listeners are its own; it signals only processes it
started. Prints a markdown table; asserts nothing."""

from __future__ import annotations

import argparse
import fcntl
import json
import os
import select
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from fixture import Fixture  # noqa: E402

_INSIDE = "VELMOR_BENCH_OWN_NETWORK"


def loopback_up() -> None:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        request = struct.pack("16sh14x", b"lo", 0)
        flags = struct.unpack("16sh14x", fcntl.ioctl(s, 0x8913, request))[1]  # SIOCGIFFLAGS
        fcntl.ioctl(s, 0x8914, struct.pack("16sh14x", b"lo", flags | 1))  # SIOCSIFFLAGS, IFF_UP


class Watch:
    """`velmor watch --json` in a child, its lines read as they come."""

    def __init__(self) -> None:
        self.process = subprocess.Popen([sys.executable, "-m", "velmor", "watch", "--json"],
                                        stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        assert self.process.stdout is not None
        self.fd = self.process.stdout.fileno()
        self.pending = b""

    def lines(self, until: float) -> list[tuple[float, dict[str, object]]]:
        """The lines that arrive before the monotonic time `until` (or the
        first batch, if some came), each with the time it was read."""
        got: list[tuple[float, dict[str, object]]] = []
        while not got:
            left = until - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                return got
            self.pending += os.read(self.fd, 65536)
            now = time.monotonic()
            *whole, self.pending = self.pending.split(b"\n")
            got += [(now, json.loads(line)) for line in whole if line]
        return got

    def cpu_seconds(self) -> float:
        fields = open(f"/proc/{self.process.pid}/stat").read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def close(self) -> None:
        self.process.terminate()  # our own child, by its pid
        self.process.wait(timeout=10)
        assert self.process.stdout is not None
        self.process.stdout.close()


def short_listener(port: int, seconds: float, report: int) -> None:
    """In a forked child: listens on `port` for `seconds`, after writing the
    monotonic time of its listen() to `report`, then exits."""
    try:
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("127.0.0.1", port))
        s.listen()
        os.write(report, struct.pack("d", time.monotonic()))
        time.sleep(seconds)
        s.close()
    finally:
        os._exit(0)


def wait_for(watch: Watch, events: tuple[str, ...], port: int, seen: list[tuple[float, dict[str, object]]]) -> None:
    deadline = time.monotonic() + 30
    while not any(d["event"] in events and d["port"] == port for _, d in seen):
        batch = watch.lines(deadline)
        if not batch:
            raise SystemExit(f"watch never reported {' or '.join(events)} on port {port}")
        seen += batch


def one_try(watch: Watch, port: int, sentinel_port: int, life: float) -> tuple[bool, bool, float | None]:
    """(caught: appeared and gone, with the child's pid; seen at all;
    seconds from listen() to the + line read)."""
    report_read, report_write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(report_read)
        short_listener(port, life, report_write)
    os.close(report_write)
    listened = struct.unpack("d", os.read(report_read, 8))[0]
    os.close(report_read)
    # Read while it lives, so that the time a line arrives is its own.
    seen: list[tuple[float, dict[str, object]]] = []
    deadline = time.monotonic() + 1.0
    while not any(d["port"] == port for _, d in seen) and time.monotonic() < deadline:
        seen += watch.lines(deadline)
    os.waitpid(pid, 0)
    # A later listener: once it is reported, the watch has looked past the short one.
    with socket.socket() as sentinel:
        sentinel.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sentinel.bind(("127.0.0.1", sentinel_port))
        sentinel.listen()
        wait_for(watch, ("appeared",), sentinel_port, seen)
    wait_for(watch, ("gone",), sentinel_port, seen)
    mine = [(at, d) for at, d in seen if d["port"] == port]
    events = [(d["event"], [p["pid"] for p in d["processes"]]) for _, d in mine]  # type: ignore[attr-defined]
    caught = events == [("appeared", [pid]), ("gone", [pid])]
    latency = next((at - listened for at, d in mine if d["event"] == "appeared"), None)
    return caught, bool(mine), latency


def walk_seconds(times: int = 20) -> float:
    """The median time of the walk that names a new listener's holders,
    as the watch makes it (every process, the newest first): a watch's
    first look, the walk and one read of the listening table."""
    from velmor import _table

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        s.listen()
        port = s.getsockname()[1]
        spent = []
        for _ in range(times):
            watcher = _table.listener_watch([port], False)
            start = time.perf_counter()
            _table.watch_look(watcher)
            spent.append(time.perf_counter() - start)
    return statistics.median(spent)


def measure(crowd: int, tries: int, rest_seconds: float, life: float) -> dict[str, object]:
    with tempfile.TemporaryDirectory() as exit_dir, Fixture(exit_dir) as fixture:
        fixture.start_crowd(crowd, 20)
        walk = walk_seconds()
        watch = Watch()
        try:
            # Its first look done: the watch is at rest from here on.
            with socket.socket() as first:
                first.bind(("127.0.0.1", 0))
                first.listen()
                wait_for(watch, ("present", "appeared"), first.getsockname()[1], [])
            before, started = watch.cpu_seconds(), time.monotonic()
            time.sleep(rest_seconds)
            rest = (watch.cpu_seconds() - before) / (time.monotonic() - started)
            results = [one_try(watch, 20000 + i % 1000, 40000 + i % 1000, life) for i in range(tries)]
        finally:
            watch.close()
    latencies = sorted(latency for _, _, latency in results if latency is not None)
    return {
        "n": crowd,
        "walk": walk,
        "rest_cpu": rest,
        "caught": sum(caught for caught, _, _ in results),
        "seen": sum(seen for _, seen, _ in results),
        "tries": tries,
        "latency_median": statistics.median(latencies) if latencies else None,
        "latency_p95": latencies[int(0.95 * (len(latencies) - 1))] if latencies else None,
        "latency_max": latencies[-1] if latencies else None,
    }


def ms(seconds: object) -> str:
    return "-" if seconds is None else f"{float(seconds) * 1000:.1f} ms"  # type: ignore[arg-type]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", default="0,300", help="crowd sizes, comma separated (default 0,300)")
    parser.add_argument("--tries", type=int, default=100, help="short listeners per crowd size (default 100)")
    parser.add_argument("--life", type=float, default=0.02, help="seconds each short listener lives (default 0.02)")
    parser.add_argument("--rest-seconds", type=float, default=10.0, help="time the CPU at rest is measured over")
    args = parser.parse_args()
    if os.environ.get(_INSIDE) != "1":
        os.execvpe("unshare", ["unshare", "-n", sys.executable, *sys.argv], {**os.environ, _INSIDE: "1"})
    loopback_up()
    print(f"velmor watch, {os.cpu_count()} cores, load {os.getloadavg()[0]:.2f}; "
          f"{args.tries} listeners of {args.life * 1000:g} ms per row\n")
    print("| N processes | CPU at rest | caught (+ and -, with pid) | seen at all "
          "| + line after listen(): median | p95 | max | walk for the holders (median) |")
    print("|---:|---:|---:|---:|---:|---:|---:|---:|")
    for crowd in (int(n) for n in args.n.split(",")):
        row = measure(crowd, args.tries, args.rest_seconds, args.life)
        print(f"| {row['n']} | {float(row['rest_cpu']) * 100:.2f} % | {row['caught']}/{row['tries']} | "  # type: ignore[arg-type]
              f"{row['seen']}/{row['tries']} | {ms(row['latency_median'])} | {ms(row['latency_p95'])} | "
              f"{ms(row['latency_max'])} | {ms(row['walk'])} |", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
