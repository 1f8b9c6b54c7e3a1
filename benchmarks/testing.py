"""What test suites get from velmor, measured: ports handed to parallel
workers (collisions and failed binds), the cost of one port, how soon
wait_until_listening returns once a server listens, and how often a
process that only probes a port still gets a SIGTERM from another
process's kill loop.

    python benchmarks/testing.py [--workers 16] [--ports 500] [--race-seconds 30]

Run through ``bash benchmarks/run --testing`` (which installs what it needs).
Everything that signals runs in a network namespace of its own (unshare -n)
and signals only processes this script started. Prints markdown tables."""

from __future__ import annotations

import argparse
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import textwrap
import time

import portpicker

import velmor
from velmor import _lib

# --- collisions ------------------------------------------------------------------

_WORKER = """
import socket, sys, time
method, count, start_at = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
def bind_zero():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
if method == "reserve":
    import velmor; take = velmor.reserve
elif method == "find_free":
    from velmor import _lib; take = _lib.find_free
elif method == "portpicker":
    import portpicker; take = portpicker.pick_unused_port
else:
    take = bind_zero
while time.time() < start_at:
    time.sleep(0.0005)
print(" ".join(str(take()) for _ in range(count)))
"""

METHODS = {
    "reserve": "velmor.reserve()",
    "find_free": "_lib.find_free()",
    "portpicker": "portpicker.pick_unused_port()",
    "bind0": "bind 127.0.0.1:0, getsockname, close",
}


def bind_later(port: int) -> bool:
    """A server's bind, as Python's socketserver and asyncio make it."""
    with socket.socket() as server:
        server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            server.bind(("127.0.0.1", port))
            server.listen()
        except OSError:
            return False
    return True


def collisions(method: str, workers: int, count: int) -> tuple[int, int, int]:
    """(ports handed out, duplicates among them, distinct ports a later bind failed on)."""
    start_at = time.time() + 1.0  # every worker starts taking at once
    processes = [
        subprocess.Popen([sys.executable, "-c", _WORKER, method, str(count), str(start_at)], stdout=subprocess.PIPE, text=True)
        for _ in range(workers)
    ]
    ports = [int(port) for process in processes for port in process.communicate(timeout=600)[0].split()]
    distinct = set(ports)
    failed = sum(not bind_later(port) for port in distinct)
    return len(ports), len(ports) - len(distinct), failed


# --- one port ----------------------------------------------------------------------


def per_call(fn: object, calls: int) -> float:
    samples = []
    for _ in range(calls):
        t0 = time.perf_counter_ns()
        fn()  # type: ignore[operator]
        samples.append(time.perf_counter_ns() - t0)
    return statistics.median(samples) / 1000


# --- waiting for a server ------------------------------------------------------------

_SERVER = """
import socket, sys, time
time.sleep(float(sys.argv[2]))
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1])))
s.listen(64)
print(time.clock_gettime_ns(time.CLOCK_MONOTONIC), flush=True)
sys.stdin.read()
"""


def connect_poll(port: int, pause: float) -> None:
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(pause)


def wait_latency(waiter: object, rounds: int) -> list[float]:
    """Milliseconds from the server's listen() to the waiter's return."""
    lags = []
    for round_number in range(rounds):
        port = velmor.reserve()
        server = subprocess.Popen([sys.executable, "-c", _SERVER, str(port), str(0.2 + 0.013 * round_number)],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            waiter(port)  # type: ignore[operator]
            returned = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
            assert server.stdout is not None
            listened = int(server.stdout.readline())
            lags.append((returned - listened) / 1e6)
        finally:
            server.kill()
            server.communicate(timeout=10)
    return lags


# --- a probing process and another process's kill loop -----------------------------------

_RACE = """
import ctypes, json, os, signal, socket, sys, time
sys.path.insert(0, sys.argv[3])
import private_network
private_network._loopback_up()
import velmor
seconds, how = float(sys.argv[1]), sys.argv[2]
port = 40000
read, write = os.pipe()
child = os.fork()
if child == 0:
    os.close(read)
    received = []
    signal.signal(signal.SIGTERM, lambda *_: received.append(1))
    probes = 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        velmor.is_available(port); probes += 1
    os.write(write, json.dumps({"received": len(received), "probes": probes}).encode())
    os._exit(0)
os.close(write)
kills = 0
end = time.monotonic() + seconds
while time.monotonic() < end:
    if how == "module":
        try:
            velmor.kill(port)
        except OSError:
            pass
    else:
        velmor.stop(port, timeout=0)
    kills += 1
answer = json.loads(os.read(read, 1000))
os.waitpid(child, 0)
answer["kills"] = kills
print(json.dumps(answer))
"""


def probe_race(seconds: float, how: str) -> dict[str, int] | None:
    if shutil.which("unshare") is None or os.geteuid() != 0:
        return None
    tests = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests")
    result = subprocess.run(["unshare", "--net", sys.executable, "-c", _RACE, str(seconds), how, tests],
                            capture_output=True, text=True, timeout=seconds * 4 + 60)
    if result.returncode != 0:
        print(result.stderr, file=sys.stderr)
        return None
    answer: dict[str, int] = json.loads(result.stdout)
    return answer


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--workers", type=int, default=16)
    parser.add_argument("--ports", type=int, default=500, help="ports each worker takes")
    parser.add_argument("--rounds", type=int, default=20, help="servers waited for, per waiter")
    parser.add_argument("--race-seconds", type=float, default=30)
    args = parser.parse_args()

    print("## One port, per call (median of 300 calls each, before anything below fills the port range)\n")
    print("| call | µs |")
    print("|---|---:|")
    for label, fn, calls in (
        ("velmor.reserve()", velmor.reserve, 300),
        ("_lib.find_free()", _lib.find_free, 300),
        ("portpicker.pick_unused_port()", portpicker.pick_unused_port, 300),
    ):
        print(f"| {label} | {per_call(fn, calls):.1f} |", flush=True)

    print(f"\n## Ports for parallel workers: {args.workers} processes taking {args.ports} ports each, at once\n")
    print("| method | ports | duplicates | later SO_REUSEADDR bind failed |")
    print("|---|---:|---:|---:|")
    for method, label in METHODS.items():
        total, duplicates, failed = collisions(method, args.workers, args.ports)
        print(f"| {label} | {total} | {duplicates} | {failed} |", flush=True)

    print(
        "\nThe reserved ports above stay in TIME-WAIT for a minute: while 8,000 of them do, every "
        "bind on port 0 on the machine searches longer for a port."
    )
    print(f"\n## From the server's listen() to the waiter's return ({args.rounds} servers each)\n")
    print("| waiter | median ms | max ms |")
    print("|---|---:|---:|")
    for label, waiter in (
        ("velmor.wait_until_listening(port)", lambda port: velmor.wait_until_listening(port, 30)),
        ("connect every 100 ms (wait-for-it style)", lambda port: connect_poll(port, 0.1)),
        ("connect every 10 ms", lambda port: connect_poll(port, 0.01)),
    ):
        lags = wait_latency(waiter, args.rounds)
        print(f"| {label} | {statistics.median(lags):.2f} | {max(lags):.2f} |", flush=True)

    print(f"\n## A process probing a free port while another loops a kill of it ({args.race_seconds:g} s each)\n")
    print("| kill loop | kill calls | probes | SIGTERMs the prober got |")
    print("|---|---:|---:|---:|")
    for how, label in (("module", "velmor.kill(port)"), ("stop", "velmor.stop(port)")):
        answer = probe_race(args.race_seconds, how)
        if answer is None:
            print(f"| {label} | — | — | needs root and unshare |")
        else:
            print(f"| {label} | {answer['kills']} | {answer['probes']} | {answer['received']} |", flush=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
