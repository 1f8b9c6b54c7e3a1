"""Calls every function on every path a few times, for scripts/valgrind-check
to watch under memcheck: the paths of test_leaks.py (answers, each kind of
argument error, kill's OSError), kill that ends a holder, the socket table's
calls and a stop that ends a holder, kill refused for lack
of permission (when run as root), and the probe and find_free with no
descriptor left. Prints one line per group and "done" at the end.

Not a test module: run it as `python tests/valgrind_script.py`.
"""

from __future__ import annotations

import os
import resource
import signal
import socket
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import private_network  # noqa: E402
import test_leaks  # noqa: E402
import velmor  # noqa: E402
from conftest import AS_NOBODY, CAP_KILL, has_capabilities  # noqa: E402

ROUNDS = 3


def each_path(network: int | None) -> None:
    generator = test_leaks._ports()
    ports = next(generator)
    try:
        for name, (_, make) in test_leaks.CASES.items():
            if network is None and name in test_leaks.NEEDS_PRIVATE_NETWORK:
                continue
            call, _ = make(ports)
            for _ in range(ROUNDS):
                call()
            print("path", name, flush=True)
    finally:
        generator.close()


def kill_that_frees() -> None:
    for force, ending in ((False, signal.SIGTERM), (True, signal.SIGKILL)):
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen()
        port = listener.getsockname()[1]
        pid = test_leaks.forked_holder(listener)
        try:
            assert velmor.kill(port, force) is True
        finally:
            status = test_leaks.reap(pid)
        assert os.WTERMSIG(status) == ending
    print("path kill-frees", flush=True)


def socket_table_paths() -> None:
    """The socket table's calls: listings, a port's state, reserving, waiting,
    and a stop that ends a holder, with kill-after and a dry run."""
    listener = socket.socket(socket.AF_INET6)
    listener.bind(("::1", 0))
    listener.listen()
    port = listener.getsockname()[1]
    pid = test_leaks.forked_holder(listener)
    try:
        for _ in range(ROUNDS):
            assert [p.pid for s in velmor.listeners(port) for p in s.processes] == [pid]
            assert velmor.status(port).state == "listening" and not velmor.is_free(port)
            velmor.sockets(udp=True)
            assert [velmor._table.printable(t) for t in ("\x1b\u202e", "\udcff")] == ["\\x1b\\u202e", "\\udcff"]
            reserved = velmor.reserve()
            assert velmor.status(reserved).state == "free"
            assert velmor.wait_until_listening(port, 1, pid=pid)
            assert velmor.stop(port, dry_run=True)[0].result == "dry_run"
        [report] = velmor.stop(port, kill_after=0.5)
        assert report.result == "freed", report
    finally:
        status = test_leaks.reap(pid)
    assert os.WIFSIGNALED(status)
    print("path socket-table", flush=True)


def kill_refused() -> None:
    """A holder run as nobody; this process, started as root without CAP_KILL
    by scripts/valgrind-check, sees it and is refused."""
    holder_code = "import socket,sys; s=socket.socket(); s.bind(('127.0.0.1',0)); s.listen(); print(s.getsockname()[1], flush=True); sys.stdin.read()"
    holder = subprocess.Popen([*AS_NOBODY, sys.executable, "-c", holder_code], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout is not None
        port = int(holder.stdout.readline())
        try:
            velmor.kill(port)
        except PermissionError:
            print("path kill-refused", flush=True)
        else:
            raise AssertionError("kill was not refused")
    finally:
        holder.communicate(timeout=60)  # it leaves once its stdin closes; we may not signal it


def no_descriptor_left() -> None:
    free = velmor.find_free()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (64, hard))
    hog: list[int] = []
    try:
        try:
            while True:
                hog.append(os.open("/dev/null", os.O_RDONLY))
        except OSError:
            pass
        for _ in range(ROUNDS):
            assert velmor.is_available(free) is False
            try:
                velmor.find_free(free)
            except OSError:
                pass
            else:
                raise AssertionError("find_free found a port without a descriptor")
            assert velmor.get_info(free) is None
            assert velmor.scan([free]) == {free: None}
    finally:
        for fd in hog:
            os.close(fd)
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    print("path no-descriptor-left", flush=True)


def main() -> None:
    network = private_network.make()
    with private_network.inside(network):
        each_path(network)
        if network is not None:
            kill_that_frees()
            socket_table_paths()
            if os.geteuid() == 0 and not has_capabilities(CAP_KILL):
                kill_refused()
    no_descriptor_left()
    print("done", flush=True)


if __name__ == "__main__":
    main()
