"""A smoke run of every public function of an installed velmor and of the
velmor command, against listeners this run starts itself.

    python smoke_run.py VELMOR_COMMAND HOLDER_PORT HOLDER_PID [HOLDER_PORT HOLDER_PID]...

Each HOLDER is a process of the caller's (the launcher in scripts/test-aarch64)
that listens on HOLDER_PORT on 127.0.0.1 and does nothing else: this run
signals those processes, found by their ports, and nothing else. The caller
runs it in a network namespace of its own, where no other process holds a port.
VELMOR_COMMAND is the native program; it runs under the line in
VELMOR_SMOKE_RUNNER (a JSON list, e.g. the qemu line for another
architecture), else as it is.
Prints one line per check, "ok" or "FAIL"; exits 1 if any check failed.
"""

from __future__ import annotations

import json
import os
import platform
import socket
import subprocess
import sys
import threading

import velmor
import velmor._lib
import velmor._table

results: list[bool] = []


def check(what: str, passed: bool, detail: object = "") -> None:
    results.append(bool(passed))
    print(f"{'ok  ' if passed else 'FAIL'} {what}" + (f": {detail}" if detail != "" else ""), flush=True)


def holder_gone(pid: int) -> bool:
    """True once the holder is no longer running (the caller reaps it)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except FileNotFoundError:
        return True


def own_listener() -> socket.socket:
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen()
    return listener


def main() -> int:
    command, *pairs = sys.argv[1:]
    holders = [(int(pairs[i]), int(pairs[i + 1])) for i in range(0, len(pairs), 2)]
    (kill_port, kill_pid), (stop_port, stop_pid) = holders[:2]
    print(f"velmor {velmor.__version__} on {platform.machine()}, CPython {platform.python_version()}, "
          f"modules {os.path.basename(velmor._lib.__file__)}, {os.path.basename(velmor._table.__file__)}")
    check("running on aarch64", platform.machine() == "aarch64", platform.machine())

    mine = own_listener()
    my_port = mine.getsockname()[1]
    check("is_available on a port held here", velmor.is_available(my_port) is False)
    free = velmor.find_free()
    check("find_free gives an available port", velmor.is_available(free), free)
    check("wait_until_free on a free port", velmor.wait_until_free(free, 5) is True)
    info = velmor.get_info(my_port)
    check("get_info names this process", info is not None and info["pid"] == os.getpid(), info)
    scanned = velmor.scan([my_port, free, kill_port])
    check("scan: this process, nobody, the holder",
          scanned[my_port] is not None and scanned[my_port]["pid"] == os.getpid()
          and scanned[free] is None and scanned[kill_port] is not None
          and scanned[kill_port]["pid"] == kill_pid, scanned)

    listening = {(entry.port, process.pid) for entry in velmor.listeners() for process in entry.processes}
    check("listeners holds this process and both holders",
          {(my_port, os.getpid()), (kill_port, kill_pid), (stop_port, stop_pid)} <= listening, sorted(listening))
    state = velmor.status(stop_port)
    check("status of the holder's port", state.state == "listening"
          and stop_pid in {p.pid for p in state.holders()}, state)

    runner = json.loads(os.environ.get("VELMOR_SMOKE_RUNNER", "[]"))
    ls = subprocess.run([*runner, command, "ls", "--json"], capture_output=True, text=True, timeout=120)
    rows = json.loads(ls.stdout)["sockets"] if ls.returncode == 0 else []
    check("velmor ls --json lists the holders", ls.returncode == 0 and
          {kill_port, stop_port, my_port} <= {row["port"] for row in rows}, ls.stderr.strip() or len(rows))
    who = subprocess.run([*runner, command, "who", str(stop_port), str(free)],
                         capture_output=True, text=True, timeout=120)
    check("velmor who: the holder listening, the other port free", who.returncode == 0
          and str(stop_pid) in who.stdout and "free" in who.stdout, who.stdout.strip())

    check("kill stops the first holder", velmor.kill(kill_port) is True)
    check("wait_until_free after kill", velmor.wait_until_free(kill_port, 30) is True)
    [outcome] = velmor.stop(stop_port, timeout=30)
    check("stop frees the second holder's port", outcome.result == "freed"
          and [(p.pid, p.outcome) for p in outcome.processes] == [(stop_pid, "exited")], outcome)
    check("both holders are gone", all(holder_gone(pid) for _port, pid in holders[:2]))

    reserved = velmor.reserve()
    late = socket.socket()
    # A reserved port sits in TIME-WAIT: a server takes it with SO_REUSEADDR.
    late.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)

    def listen_late() -> None:
        late.bind(("127.0.0.1", reserved))
        late.listen()

    started = threading.Timer(0.5, listen_late)
    started.start()
    check("reserve, then wait_until_listening on it", velmor.wait_until_listening(reserved, 30) is True, reserved)
    started.join()
    late.close()
    mine.close()

    print(f"{sum(results)} of {len(results)} checks passed")
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
