"""Processes for the benchmark to look through, and listeners for it to find.

A small helper process (the spawner, this file run as a script under
``python -S``) forks everything the benchmark needs, so that a crowd of
1,500 processes costs 1,500 forks of an already loaded interpreter rather
than 1,500 interpreter launches:

* crowd members: each holds K descriptors (stdio, files, pipes, UDP and
  Unix sockets; never a TCP listener) and sleeps;
* listeners: each binds a port the kernel picks on 127.0.0.1, listens, and
  exits on SIGTERM, first writing the CLOCK_MONOTONIC time of that exit to a
  file so the benchmark can tell how soon after the exit the port was free.

The spawner leads its own process group; every child inherits it. All of
them hold the read end of a lifeline pipe whose only writer is the spawner,
and the spawner reads its commands from the benchmark's pipe: if the
benchmark dies the spawner sees end-of-file and kills its children, and if
the spawner dies the children see end-of-file and exit. ``Fixture.close``
also kills the whole group, so nothing outlives a run.
"""

from __future__ import annotations

import os
import signal
import socket
import sys
import time

# ---------------------------------------------------------------- spawner side


def _redirect_and_close(keep: tuple[int, ...]) -> None:
    """Points stdin and stdout at /dev/null and closes every other inherited
    descriptor except stderr and `keep`, so a child holds only what it opens."""
    devnull = os.open(os.devnull, os.O_RDWR)
    os.dup2(devnull, 0)
    os.dup2(devnull, 1)
    os.close(devnull)
    low = 3
    for fd in sorted(keep):
        if fd >= low:
            os.closerange(low, fd)
            low = fd + 1
    os.closerange(low, 4096)


def _crowd_member(lifeline: int, ready: int, descriptors: int, script: str) -> None:
    _redirect_and_close((lifeline, ready))
    opened: list[int] = []
    # A few sockets that claim no TCP port: a bound and an unbound UDP socket
    # and a connected Unix pair.
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind(("127.0.0.1", 0))
    opened.append(udp.detach())
    opened.append(socket.socket(socket.AF_INET, socket.SOCK_DGRAM).detach())
    left, right = socket.socketpair()
    opened += [left.detach(), right.detach()]
    # Then pipes and files, in turn, up to `descriptors` open in total
    # (stdio and the lifeline count).
    kind = 0
    while 4 + len(opened) < descriptors:
        if kind % 2 == 0 and 4 + len(opened) + 2 <= descriptors:
            opened += list(os.pipe())
        else:
            opened.append(os.open(script if kind % 4 == 1 else os.devnull, os.O_RDONLY))
        kind += 1
    os.write(ready, b".")
    os.close(ready)
    while os.read(lifeline, 1):
        pass


def _listener(lifeline: int, report: int, exit_dir: str) -> None:
    _redirect_and_close((lifeline, report))
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 0))
    server.listen(128)
    port = server.getsockname()[1]
    exit_file = os.open(
        os.path.join(exit_dir, f"exit-{os.getpid()}"), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600
    )

    def on_term(signum: int, frame: object) -> None:
        os.write(exit_file, str(time.clock_gettime_ns(time.CLOCK_MONOTONIC)).encode())
        os._exit(0)

    signal.signal(signal.SIGTERM, on_term)
    os.write(report, f"{port}\n".encode())
    os.close(report)
    while os.read(lifeline, 1):
        pass


def _fork(body, *args) -> int:  # type: ignore[no-untyped-def]
    pid = os.fork()
    if pid == 0:
        code = 0
        try:
            body(*args)
        except BaseException:
            code = 1
        finally:
            os._exit(code)
    return pid


def _gone(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    return False


def _serve(exit_dir: str) -> None:
    # Children are reaped by the kernel as they exit; nothing here waits for them.
    signal.signal(signal.SIGCHLD, signal.SIG_IGN)
    lifeline_read, lifeline_write = os.pipe()
    script = os.path.abspath(__file__)
    children: set[int] = set()
    crowd: list[int] = []
    commands = sys.stdin.buffer
    replies = sys.stdout.buffer

    def reply(text: str) -> None:
        replies.write(text.encode() + b"\n")
        replies.flush()

    def kill_all(pids: list[int]) -> None:
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and not all(_gone(pid) for pid in pids):
            time.sleep(0.01)

    try:
        for line in commands:
            words = line.split()
            if not words:
                continue
            if words[0] == b"crowd":
                count, descriptors = int(words[1]), int(words[2])
                ready_read, ready_write = os.pipe()
                for _ in range(count):
                    pid = _fork(_crowd_member, lifeline_read, ready_write, descriptors, script)
                    crowd.append(pid)
                    children.add(pid)
                os.close(ready_write)
                got = 0
                while got < count:
                    chunk = os.read(ready_read, count - got)
                    if not chunk:
                        break
                    got += len(chunk)
                os.close(ready_read)
                reply(" ".join(map(str, crowd[-count:])) if count else "")
            elif words[0] == b"listen":
                report_read, report_write = os.pipe()
                pid = _fork(_listener, lifeline_read, report_write, exit_dir)
                children.add(pid)
                os.close(report_write)
                with os.fdopen(report_read, "rb") as report:
                    port = report.readline().strip().decode() or "0"
                reply(f"{pid} {port}")
            elif words[0] == b"drop-crowd":
                kill_all(crowd)
                children.difference_update(crowd)
                crowd.clear()
                reply("ok")
            elif words[0] == b"quit":
                break
    finally:
        kill_all(sorted(children))


# --------------------------------------------------------------- benchmark side


class Listener:
    """A listening child of the spawner: its pid and the port it holds."""

    def __init__(self, pid: int, port: int) -> None:
        self.pid = pid
        self.port = port

    def __repr__(self) -> str:
        return f"Listener(pid={self.pid}, port={self.port})"


class Fixture:
    """Starts the spawner and talks to it. Use as a context manager; `close`
    is also registered to run at interpreter exit."""

    def __init__(self, exit_dir: str) -> None:
        import atexit
        import subprocess

        self.exit_dir = exit_dir
        self._process = subprocess.Popen(
            [sys.executable, "-S", os.path.abspath(__file__), exit_dir],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            start_new_session=True,
        )
        self.group = self._process.pid
        self.crowd: list[int] = []
        self._closed = False
        atexit.register(self.close)

    def __enter__(self) -> Fixture:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _ask(self, command: str) -> str:
        assert self._process.stdin is not None and self._process.stdout is not None
        self._process.stdin.write(command.encode() + b"\n")
        self._process.stdin.flush()
        line = self._process.stdout.readline()
        if not line:
            raise RuntimeError(f"the fixture's spawner stopped while answering {command!r}")
        return line.decode().strip()

    def listen(self) -> Listener:
        pid, port = map(int, self._ask("listen").split())
        if port == 0:
            raise RuntimeError("a fixture listener could not bind")
        return Listener(pid, port)

    def start_crowd(self, count: int, descriptors: int) -> list[int]:
        answer = self._ask(f"crowd {count} {descriptors}")
        self.crowd = [int(word) for word in answer.split()]
        return self.crowd

    def drop_crowd(self) -> None:
        self._ask("drop-crowd")
        self.crowd = []

    def exit_time_ns(self, pid: int) -> int | None:
        """The CLOCK_MONOTONIC time at which listener `pid` began exiting on
        SIGTERM, or None when it did not (killed by SIGKILL, or still alive)."""
        try:
            with open(os.path.join(self.exit_dir, f"exit-{pid}")) as file:
                text = file.read().strip()
        except FileNotFoundError:
            return None
        return int(text) if text else None

    def close(self) -> None:
        if self._closed:
            return
        self._closed = True
        process = self._process
        try:
            try:
                assert process.stdin is not None
                process.stdin.write(b"quit\n")
                process.stdin.close()
            except (BrokenPipeError, OSError, ValueError):
                pass
            # Wait for the spawner to exit without reaping it: while it is
            # unreaped its pid, and so its process group id, cannot be reused.
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline:
                try:
                    if os.waitid(os.P_PID, process.pid, os.WEXITED | os.WNOWAIT | os.WNOHANG) is not None:
                        break
                except ChildProcessError:
                    break
                time.sleep(0.01)
        finally:
            # The group is ours: its leader is the spawner this object started,
            # and every process in it is one the spawner forked.
            try:
                os.killpg(self.group, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
            process.wait()


if __name__ == "__main__":
    _serve(sys.argv[1])
