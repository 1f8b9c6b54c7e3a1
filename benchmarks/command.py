"""The velmor command as a native program, measured as whole commands beside
what users run today: `ss`, `lsof`, an interpreter's start-up, and
`python -m velmor` (an interpreter that starts and hands over to the program).

    python benchmarks/command.py --program PATH [--runs 20] [--crowd 300]

Run through ``bash benchmarks/run --command`` (which builds the program
alone, with the Python faces off, and installs what it needs). Runs in a
network namespace of its own (it re-runs itself under unshare -n), so the
only listeners are its own; it signals only the processes it started. Each
ratio is of medians over paired runs (the two commands alternate, so that a
change of the machine's load falls on both), at rest, with a crowd of
processes (each holding 20 descriptors) and with 3,000 listeners in one
process. Prints a markdown table; asserts nothing.
"""

from __future__ import annotations

import argparse
import os
import resource
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Sequence

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from fixture import Fixture  # noqa: E402
from free import wait_cpu_share  # noqa: E402
from watch import loopback_up  # noqa: E402

_INSIDE = "VELMOR_BENCH_OWN_NETWORK"
MODULE_COMMAND = [sys.executable, "-m", "velmor"]


def run_seconds(argv: Sequence[str]) -> float:
    start = time.perf_counter()
    subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    return time.perf_counter() - start


def paired(first: Callable[[], float], second: Callable[[], float], runs: int) -> tuple[float, float]:
    """Medians of `first` and `second`, run in turn `runs` times each (after one of each to warm up)."""
    first(), second()
    a, b = [], []
    for _ in range(runs):
        a.append(first())
        b.append(second())
    return statistics.median(a), statistics.median(b)


def command(argv: Sequence[str]) -> Callable[[], float]:
    return lambda: run_seconds(argv)


def listeners(count: int) -> list[socket.socket]:
    held = []
    for _ in range(count):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        s.listen()
        held.append(s)
    return held


def ms(seconds: float) -> str:
    return f"{seconds * 1000:.2f} ms"


class Table:
    def __init__(self) -> None:
        print("| whole command, median of paired runs | setting | velmor | other | ratio |")
        print("|---|---|---:|---:|---:|")

    def row(self, what: str, setting: str, mine: float, other: float) -> None:
        print(f"| {what} | {setting} | {ms(mine)} | {ms(other)} | {mine / other:.2f} |", flush=True)

    def figure(self, what: str, setting: str, text: str) -> None:
        print(f"| {what} | {setting} | {text} | | |", flush=True)


def kill_seconds(program: str, fx: Fixture) -> float:
    """One `velmor kill P` on a listener of the fixture's, which exits on SIGTERM."""
    holder = fx.listen()
    took = run_seconds([program, "kill", str(holder.port)])
    try:
        os.kill(holder.pid, signal.SIGKILL)  # the fixture's child, should the kill have failed
    except ProcessLookupError:
        pass
    return took


def measure_setting(table: Table, program: str, setting: str, port: int, runs: int, fx: Fixture | None) -> None:
    ls = command([program, "ls"])
    table.row("`velmor ls` ÷ `ss -ltnp`", setting, *paired(ls, command(["ss", "-ltnp"]), runs))
    table.row("`velmor ls` ÷ `lsof -nP -iTCP -sTCP:LISTEN`", setting,
              *paired(ls, command(["lsof", "-nP", "-iTCP", "-sTCP:LISTEN"]), runs))
    table.row("`velmor ls` ÷ `python -m velmor ls`", setting, *paired(ls, command([*MODULE_COMMAND, "ls"]), runs))
    table.row("`velmor who P` ÷ `ss -ltnp 'sport = :P'`", setting,
              *paired(command([program, "who", str(port)]), command(["ss", "-ltnp", f"sport = :{port}"]), runs))
    if fx is not None:
        table.row("`velmor kill P` (exits on SIGTERM) ÷ `velmor ls`", setting,
                  *paired(lambda: kill_seconds(program, fx), ls, runs))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", required=True, help="the native velmor program")
    parser.add_argument("--runs", type=int, default=20, help="paired runs of each comparison (default 20)")
    parser.add_argument("--crowd", type=int, default=300, help="processes of the crowd, 20 descriptors each")
    parser.add_argument("--wait-seconds", type=float, default=5.0, help="time the CPU of `wait` is measured over")
    args = parser.parse_args()
    if os.environ.get(_INSIDE) != "1":
        os.execvpe("unshare", ["unshare", "-n", sys.executable, *sys.argv], {**os.environ, _INSIDE: "1"})
    loopback_up()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(max(soft, 8192), hard), hard))
    program = os.path.abspath(args.program)
    version = subprocess.run([program, "--version"], capture_output=True, text=True).stdout.strip()
    print(f"{version} (native), {os.cpu_count()} cores, load {os.getloadavg()[0]:.2f}, "
          f"a network namespace of its own; {args.runs} paired runs each\n")
    table = Table()
    table.row("`velmor --version` ÷ `python3 -c pass`", "at rest",
              *paired(command([program, "--version"]), command([sys.executable, "-S", "-c", "pass"]), args.runs))
    table.row("`velmor --version` ÷ `python -m velmor --version`", "at rest",
              *paired(command([program, "--version"]), command([*MODULE_COMMAND, "--version"]), args.runs))
    check = statistics.median(run_seconds([program, "check", "1-65535", "-q"]) for _ in range(5))
    table.figure("`velmor check 1-65535 -q`, nothing listens", "at rest", ms(check))
    table.figure("`velmor wait P` on a held port", "at rest",
                 f"{wait_cpu_share(args.wait_seconds, [program]) * 100:.2f} % of a core")
    with tempfile.TemporaryDirectory(prefix="velmor-bench-") as exit_dir, Fixture(exit_dir) as fx:
        first = fx.listen()
        measure_setting(table, program, "at rest", first.port, args.runs, fx)
        fx.start_crowd(args.crowd, 20)
        measure_setting(table, program, f"N = {args.crowd} × 20 fds", first.port, args.runs, fx)
        fx.drop_crowd()
    many = listeners(3000)
    try:
        measure_setting(table, program, "3,000 listeners in one process", many[0].getsockname()[1], args.runs, None)
    finally:
        for s in many:
            s.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
