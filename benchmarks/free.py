"""Whether ports are free, measured: `velmor check PORTS -q` over a range
(nothing listening, and one listener at the range's end), `velmor --version`
beside it for the start-up, the CPU that `velmor wait P` uses while a
listener holds P, and one is_free call on a free, a listening and a reserved
(TIME-WAIT) port.

    python benchmarks/free.py [--range 1-65535] [--runs 5] [--wait-seconds 5]

Run through ``bash benchmarks/run --free`` (which installs what it needs).
Runs in a network namespace of its own (it re-runs itself under unshare -n),
so that the only sockets are its own; it signals only the processes it
started. Prints a markdown table; asserts nothing."""

from __future__ import annotations

import argparse
import os
import socket
import statistics
import subprocess
import sys
import time

import velmor

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from watch import loopback_up  # noqa: E402

_INSIDE = "VELMOR_BENCH_OWN_NETWORK"
VELMOR = [sys.executable, "-m", "velmor"]


def command_seconds(argv: list[str], runs: int) -> tuple[float, int]:
    """The median time of `argv` as a whole process, spawn to exit, and its exit code."""
    times, code = [], 0
    for _ in range(runs):
        start = time.perf_counter()
        code = subprocess.run(argv, stdout=subprocess.DEVNULL).returncode
        times.append(time.perf_counter() - start)
    return statistics.median(times), code


def listener(port: int = 0) -> socket.socket:
    held = socket.socket()
    held.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    held.bind(("127.0.0.1", port))
    held.listen()
    return held


def cpu_seconds(pid: int) -> float:
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wait_cpu_share(seconds: float, command: list[str] = VELMOR) -> float:
    """The share of one core that `velmor wait P` (run as `command`) uses
    over `seconds` while a listener of ours holds P (its first second,
    start-up, left out)."""
    with listener() as held:
        port = held.getsockname()[1]
        waiter = subprocess.Popen([*command, "wait", str(port), "--timeout", str(seconds + 30)])
        try:
            time.sleep(1.0)
            before, start = cpu_seconds(waiter.pid), time.monotonic()
            time.sleep(seconds)
            used, elapsed = cpu_seconds(waiter.pid) - before, time.monotonic() - start
        finally:
            waiter.terminate()  # our own child, by its pid
            waiter.wait(timeout=10)
    return used / elapsed


def per_call_seconds(call: object, least_seconds: float = 0.5) -> float:
    """The median time of one call, from rounds of calls that last about 50 ms each."""
    assert callable(call)
    rounds, count, start = [], 1, time.perf_counter()
    while time.perf_counter() - start < least_seconds or len(rounds) < 5:
        begun = time.perf_counter()
        for _ in range(count):
            call()
        took = time.perf_counter() - begun
        if took < 0.05:
            count *= 2
            continue
        rounds.append(took / count)
    return statistics.median(rounds)


def ms(seconds: float) -> str:
    return f"{seconds * 1000:.1f} ms"


def us(seconds: float) -> str:
    return f"{seconds * 1e6:.1f} µs"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--range", default="1-65535", help="the ports `check -q` is given (default 1-65535)")
    parser.add_argument("--runs", type=int, default=5, help="runs of each command, the median shown (default 5)")
    parser.add_argument("--wait-seconds", type=float, default=5.0, help="time the CPU of `wait` is measured over")
    args = parser.parse_args()
    if os.environ.get(_INSIDE) != "1":
        os.execvpe("unshare", ["unshare", "-n", sys.executable, *sys.argv], {**os.environ, _INSIDE: "1"})
    loopback_up()
    last = int(args.range.rsplit("-", 1)[-1])
    print(f"velmor {velmor.__version__}, {os.cpu_count()} cores, load {os.getloadavg()[0]:.2f}, "
          f"a network namespace of its own\n")
    print("| measure | figure |")
    print("|---|---:|")
    version, _ = command_seconds([*VELMOR, "--version"], args.runs)
    print(f"| `velmor --version` (start-up) | {ms(version)} |", flush=True)
    check = [*VELMOR, "check", args.range, "-q"]
    idle, code = command_seconds(check, args.runs)
    print(f"| `velmor check {args.range} -q`, nothing listens (exit {code}) | {ms(idle)} |", flush=True)
    with listener(last):
        held, code = command_seconds(check, args.runs)
    print(f"| `velmor check {args.range} -q`, one listener on {last} (exit {code}) | {ms(held)} |", flush=True)
    print(f"| `velmor wait P`, P held: CPU over {args.wait_seconds:g} s | "
          f"{wait_cpu_share(args.wait_seconds) * 100:.2f} % of a core |", flush=True)
    with listener() as gone:
        free_port = gone.getsockname()[1]  # closed below: a port nothing is on
    with listener() as busy:
        reserved = velmor.reserve()
        for name, port in (("free", free_port), ("listening", busy.getsockname()[1]), ("reserved (TIME-WAIT)", reserved)):
            took = per_call_seconds(lambda: velmor.is_free(port))
            print(f"| `is_free(P)`, P {name} (answer {velmor.is_free(port)}) | {us(took)} |", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
