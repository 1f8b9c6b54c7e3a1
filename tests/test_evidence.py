"""What velmor says about what it cannot see, and about what a stop will do
before it does it, against real processes in a network namespace of the
tests' own: connections left closing by a server that is gone, a listener
in flight between processes, holders whose descriptors cannot be read, a
master that respawns its workers, a server that waits for its sessions,
and UDP sockets beside TCP ones."""

from __future__ import annotations

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import textwrap
from collections.abc import Callable
from contextlib import ExitStack
from pathlib import Path
from typing import Any

import pytest

import velmor
from conftest import AS_NOBODY, WITHOUT_KILL, Ghost, Holder, in_subprocess, unused_port
from velmor_command import main

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="namespaces and /proc are Linux's")

needs_root = pytest.mark.skipif(
    not sys.platform.startswith("linux") or os.geteuid() != 0 or shutil.which("setpriv") is None
    or shutil.which("unshare") is None,
    reason="needs root, setpriv and unshare",
)
WITHOUT_PTRACE = ("setpriv", "--bounding-set=-sys_ptrace", "--inh-caps=-sys_ptrace")


def run(capsys: pytest.CaptureFixture[str], *argv: str) -> tuple[int, str, str]:
    """The tool in this process: exit code, stdout, stderr."""
    code = main(list(argv))
    captured = capsys.readouterr()
    return code, captured.out, captured.err


def parent_of(pid: int) -> int:
    with open(f"/proc/{pid}/stat") as stat:
        return int(stat.read().rpartition(")")[2].split()[1])


def velmor_as(prefix: tuple[str, ...], *argv: str) -> subprocess.CompletedProcess[str]:
    """The tool in a child run under `prefix` (another user, fewer rights),
    in the calling thread's network namespace."""
    result = subprocess.run([*prefix, sys.executable, "-m", "velmor", *argv],
                            capture_output=True, text=True, timeout=60)
    if result.returncode != 0 and "No module named" in result.stderr:
        pytest.skip("velmor cannot be imported under " + " ".join(prefix))
    return result


def unreadable_to_us() -> set[int]:
    """The processes whose descriptor links this process may not read,
    found without velmor."""
    refused = set()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            names = os.listdir(f"/proc/{entry}/fd")
            if names:
                os.readlink(f"/proc/{entry}/fd/{names[0]}")
        except PermissionError:
            refused.add(int(entry))
        except OSError:
            pass  # gone meanwhile
    return refused


# --- connections left closing ----------------------------------------------------

# A server on argv[1] (argv[2] "reuse": with SO_REUSEADDR) that prints
# "ready", accepts one connection, prints "accepted", and keeps it until it
# is ended.
SERVER = textwrap.dedent(
    """
    import socket, sys
    server = socket.socket()
    if sys.argv[2] == "reuse":
        server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", int(sys.argv[1])))
    server.listen()
    print("ready", flush=True)
    peer, _ = server.accept()
    print("accepted", flush=True)
    sys.stdin.read()
    """
)

def leave_closing(start_child: Callable[..., Holder], reuse: str, capsys: pytest.CaptureFixture[str],
                  stack: ExitStack) -> tuple[int, tuple[int, str, str], list[Any]]:
    """A server (with SO_REUSEADDR or not) with a client (this process,
    connected until `stack` closes) that never reads nor closes, stopped with
    `velmor kill`: its side of the connection is left closing, held by no
    process. The kernel now and then tears such a connection down at once
    instead (no socket closing is left on the port): then the scene is set
    again, up to three times. Gives the port, what kill answered and the
    closing sockets."""
    for _ in range(3):
        server = start_child(SERVER, unused_port(), reuse)
        client = stack.enter_context(socket.create_connection(("127.0.0.1", server.port)))
        assert server.process.stdout is not None and server.process.stdout.readline() == "accepted\n"
        answer = run(capsys, "kill", str(server.port))
        assert server.process.wait(timeout=10) == -signal.SIGTERM
        state = velmor.status(server.port)
        closing = [s for s in state.sockets if s.state in ("fin-wait-1", "fin-wait-2", "last-ack", "closing")]
        if closing:
            return server.port, answer, closing
        client.close()
    pytest.fail("the kernel left no connection closing in three tries")


@pytest.mark.parametrize("reuse", ["reuse", "no-reuse"])
def test_connections_left_closing_count_like_time_wait(
    inside: None, start_child: Callable[..., Holder], capsys: pytest.CaptureFixture[str], reuse: str
) -> None:
    with ExitStack() as stack:
        check_left_closing(*leave_closing(start_child, reuse, capsys, stack), reuse, capsys)


def check_left_closing(port: int, answer: tuple[int, str, str], closing: list[Any], reuse: str,
                       capsys: pytest.CaptureFixture[str]) -> None:
    code, out, err = answer
    state = velmor.status(port)
    assert all(s.inode == 0 and s.processes == () for s in closing)
    # What a server that sets SO_REUSEADDR meets, tried here directly: the
    # closing socket gives way when it had set SO_REUSEADDR too.
    with socket.socket() as trial:
        trial.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        bindable = _binds(trial, port)
    assert bindable == (reuse == "reuse")
    if bindable:
        assert (code, out.splitlines()[0], err) == (0, f"port {port}: freed", "")
        assert f"note: {len(closing)} closing connection" in out and "SO_REUSEADDR binds the port now" in out
        assert (state.state, state.reason, state.hidden) == ("free", None, None)
    else:
        assert code == 1 and "closing connections remain, held by no process" in err
        assert "--all-sockets" not in err and "namespace" not in err
        assert (state.state, state.reason, state.hidden) == ("busy", "closing", None)
    code, shown, _ = run(capsys, "who", str(port))
    assert "namespace" not in shown and "not visible" not in shown
    assert ("note: " in shown) == bindable


def _binds(trial: socket.socket, port: int) -> bool:
    try:
        trial.bind(("127.0.0.1", port))
    except OSError:
        return False
    return True


# --- a socket no visible process holds -------------------------------------------


def in_the_first_pid_namespace() -> bool:
    """/proc is ours, and kthreadd, which only the system's first pid
    namespace sees, is in it."""
    try:
        return os.readlink("/proc/self") == str(os.getpid()) and "(kthreadd)" in Path("/proc/2/stat").read_text()
    except OSError:
        return False


def masked_velmor(empty: Path, masked: set[int], *argv: str) -> subprocess.CompletedProcess[str]:
    """The tool as root in a mount namespace of its own where the /proc
    entries of `masked` are the empty directory `empty`: the processes whose tables
    no one here may read (none, on most machines) drop out of its view, and
    every other process stays in it."""
    mounts = "".join(f"mount --bind {empty} /proc/{pid} && " for pid in sorted(masked))
    script = f"mount --make-rprivate / && {mounts}exec \"$0\" -m velmor \"$@\""
    return subprocess.run(["unshare", "-m", "sh", "-c", script, sys.executable, *argv],
                          capture_output=True, text=True, timeout=60)


@needs_root
def test_a_listener_in_flight_is_held_by_no_process(inside: None, tmp_path: Path) -> None:
    if not in_the_first_pid_namespace():
        pytest.skip("needs the system's first pid namespace and its /proc")
    ghost = Ghost()
    try:
        refused_before = unreadable_to_us()
        state = velmor.status(ghost.port)
        refused = unreadable_to_us()
        # The walk recorded the processes that deny their descriptors (others
        # of the machine may come and go meanwhile).
        assert refused_before & refused <= {p.pid for p in state.candidates} <= refused_before | refused
        assert state.hidden == ("unreadable" if state.candidates else "no-process")
        refused |= refused_before

        shown = masked_velmor(tmp_path, refused, "who", "--json", str(ghost.port))
        [entry] = json.loads(shown.stdout)["ports"]
        assert (entry["reason"], entry["hidden"], entry["candidates"]) == ("hidden-owner", "no-process", [])
        text = masked_velmor(tmp_path, refused, "who", str(ghost.port)).stdout
        assert "(held by no process: in flight between processes, or kept by the kernel)" in text
        assert "namespace" not in text
    finally:
        ghost.close()


@needs_root
@pytest.mark.parametrize(
    "prefix",
    [("unshare", "-fp", "--mount-proc"), ("unshare", "-fp")],
    ids=["own-pid-namespace", "proc-of-another-namespace"],
)
def test_another_pid_namespace_is_said_only_from_evidence(inside: None, prefix: tuple[str, ...]) -> None:
    ghost = Ghost()
    try:
        [entry] = json.loads(velmor_as(prefix, "who", "--json", str(ghost.port)).stdout)["ports"]
        assert (entry["reason"], entry["hidden"], entry["candidates"]) == ("hidden-owner", "other-pid-namespace", [])
        text = velmor_as(prefix, "who", str(ghost.port)).stdout
        assert "(not visible: another pid namespace)" in text
    finally:
        ghost.close()


@needs_root
@pytest.mark.parametrize(
    ("holder_prefix", "caller_prefix", "cell", "text"),
    [
        (AS_NOBODY, WITHOUT_PTRACE,
         "(not visible: held by one of the processes whose descriptors cannot be read: {name} (pid {pid}, user {user})",
         "listening, held by one of the processes whose descriptors cannot be read: {name} (pid {pid}, user {user})"),
        ((), AS_NOBODY, "(not visible: try sudo)",
         "listening, held by a process of user root that is not visible to you (try sudo)"),
    ],
    ids=["root-without-ptrace", "ordinary-user"],
)
def test_unreadable_descriptors_name_the_possible_holders(
    inside: None, start_holder: Callable[..., Holder], holder_prefix: tuple[str, ...],
    caller_prefix: tuple[str, ...], cell: str, text: str,
) -> None:
    holder = start_holder(kinds="tcp", prefix=holder_prefix)
    [entry] = json.loads(velmor_as(caller_prefix, "who", "--json", str(holder.port)).stdout)["ports"]
    assert (entry["reason"], entry["hidden"]) == ("hidden-owner", "unreadable")
    candidates = entry["candidates"]
    assert holder.pid in [p["pid"] for p in candidates]
    owners = [p["uid"] == entry["sockets"][0]["uid"] for p in candidates]
    assert owners == sorted(owners, reverse=True)  # the socket's user's processes first
    # Other processes of the machine may run as the same user: the first
    # candidate is the one named first.
    first = candidates[0]
    named = text.format(name=first["name"], pid=first["pid"], user=first["user"])
    shown = velmor_as(caller_prefix, "who", str(holder.port)).stdout
    assert cell.format(name=first["name"], pid=first["pid"], user=first["user"]) in shown
    assert "namespace" not in shown
    checked = velmor_as(caller_prefix, "check", str(holder.port)).stdout
    assert checked.startswith(f"port {holder.port} is not free: {named}") and checked.count("\n") == 1


# --- a stop foreseen to fail -------------------------------------------------------

# A master (root) that listens on argv[1] and keeps argv[2] workers, run as
# nobody and sharing its listener, as a pre-forking server does: a worker
# that dies is replaced. It prints "ready" and its first workers' pids.
MASTER = textwrap.dedent(
    """
    import ctypes, os, signal, socket, sys, time
    libc = ctypes.CDLL(None, use_errno=True)
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", int(sys.argv[1])))
    listener.listen()

    def worker():
        pid = os.fork()
        if pid == 0:
            os.setgroups([])
            os.setgid(65534)
            os.setuid(65534)
            # After the change of user: PR_SET_PDEATHSIG, and PR_SET_DUMPABLE
            # back on (as servers do to allow core dumps), which lets the
            # worker's own user read its descriptors.
            libc.prctl(1, signal.SIGKILL, 0, 0, 0)
            libc.prctl(4, 1, 0, 0, 0)
            if os.getppid() == 1:
                os._exit(0)
            while True:
                time.sleep(60)
        return pid

    workers = [worker() for _ in range(int(sys.argv[2]))]
    print("ready", "workers", *workers, flush=True)
    while True:
        os.wait()
        worker()
    """
)


@needs_root
def test_a_master_out_of_sight_that_respawns_its_workers(
    inside: None, start_child: Callable[..., Holder]
) -> None:
    master = start_child(MASTER, unused_port(), "2")
    port = str(master.port)
    foreseen = velmor_as(AS_NOBODY, "kill", "--dry-run", port)
    expected = f"its master python (pid {master.pid}, user root)"
    assert foreseen.returncode == 1, foreseen
    assert foreseen.stdout.splitlines()[0] == f"port {port}: would not be freed"
    assert f"would not be freed: {expected} holds the listener out of sight" in foreseen.stderr
    assert all(os.path.exists(f"/proc/{pid}") for pid in master.workers)  # nothing was signalled

    done = velmor_as(AS_NOBODY, "kill", "--timeout", "1", port)
    assert done.returncode == 1
    assert f"velmor kill: port {port}: {expected} respawns the workers" in done.stderr
    assert master.process.poll() is None

    # The state after a stop names the workers respawned since its walk.
    after = in_subprocess(
        f"import velmor; [r] = velmor.stop({port}, timeout=1); "
        "print(*sorted({p.pid for s in r.status.listeners for p in s.processes}))",
        prefix=AS_NOBODY,
    )
    named = [int(word) for word in after.stdout.split()]
    assert named and not set(named) & set(master.workers), after
    assert all(parent_of(pid) == master.pid for pid in named)


@needs_root
@pytest.mark.parametrize(
    ("holders", "caller", "reason"),
    [
        ([(AS_NOBODY, "tcp")], WITHOUT_KILL, "not allowed to signal python (pid {pid}): another user's process"),
        ([(AS_NOBODY, "tcp"), ((), "at-127.0.0.2")], AS_NOBODY,
         "a listener is held by a process of user root that is not visible to you (try sudo)"),
    ],
    ids=["may-not-signal", "listener-out-of-sight"],
)
def test_a_dry_run_foresees_a_stop_that_cannot_free_the_port(
    inside: None, start_holder: Callable[..., Holder], holders: list[tuple[tuple[str, ...], str]],
    caller: tuple[str, ...], reason: str,
) -> None:
    first = start_holder(kinds=holders[0][1], prefix=holders[0][0])
    started = [first] + [start_holder(first.port, kinds=kinds, prefix=prefix) for prefix, kinds in holders[1:]]
    result = velmor_as(caller, "kill", "--dry-run", "--json", str(first.port))
    [entry] = json.loads(result.stdout)["ports"]
    assert (result.returncode, entry["result"]) == (1, "failed")
    assert f"port {first.port}: would not be freed: " + reason.format(pid=first.pid) in entry["error"]
    assert all(holder.process.poll() is None for holder in started)


# --- a holder that waits for its sessions ------------------------------------------

# A server on argv[1] that forks a session per connection (the session
# closes the listener, keeps the connection, and prints its pid) and on
# SIGTERM (argv[2] "close": after closing its listener) waits until every
# session has ended, as a database's postmaster does.
POSTMASTER = textwrap.dedent(
    """
    import ctypes, os, signal, socket, sys, time
    libc = ctypes.CDLL(None, use_errno=True)
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", int(sys.argv[1])))
    listener.listen()

    def shut_down(signum, frame):
        if sys.argv[2] == "close":
            listener.close()
        while True:
            try:
                os.wait()
            except ChildProcessError:
                os._exit(0)

    signal.signal(signal.SIGTERM, shut_down)
    print("ready", flush=True)
    while True:
        peer, _ = listener.accept()
        pid = os.fork()
        if pid == 0:
            signal.signal(signal.SIGTERM, signal.SIG_DFL)
            libc.prctl(1, signal.SIGKILL, 0, 0, 0)  # PR_SET_PDEATHSIG: die with the server
            listener.close()
            os.write(1, b"session %d\\n" % os.getpid())  # one write: sessions share the pipe
            while True:
                time.sleep(60)
        peer.close()
    """
)


@pytest.mark.parametrize("on_term", ["keep", "close"], ids=["keeps-its-listener", "closes-its-listener"])
def test_a_holder_waiting_for_its_sessions_is_said_to_wait(
    inside: None, start_child: Callable[..., Holder], capsys: pytest.CaptureFixture[str], on_term: str
) -> None:
    server = start_child(POSTMASTER, unused_port(), on_term)
    clients = [socket.create_connection(("127.0.0.1", server.port)) for _ in range(2)]
    try:
        assert server.process.stdout is not None
        sessions = sorted(int(server.process.stdout.readline().split()[1]) for _ in clients)
        code, out, err = run(capsys, "kill", "--timeout", "0.5", str(server.port))
        assert code == 1 and server.process.poll() is None
        assert (f"python (pid {server.pid}) got SIGTERM and is waiting for 2 client sessions: "
                f"pids {sessions[0]}, {sessions[1]}; --all-sockets stops them too") in err
        assert "--kill-after" not in err

        code, out, err = run(capsys, "kill", "--all-sockets", str(server.port))
        assert (code, err) == (0, "")
        assert server.process.wait(timeout=10) == 0
    finally:
        for client in clients:
            client.close()


# --- UDP beside TCP ------------------------------------------------------------------


@pytest.mark.parametrize(
    ("argv", "hinted"),
    [(("ls",), True), (("ls", "--udp"), False), (("kill", "--dry-run"), True), (("kill", "--dry-run", "--udp"), False)],
)
def test_udp_beside_tcp_is_named_where_it_is_left_out(
    inside: None, start_holder: Callable[..., Holder], capsys: pytest.CaptureFixture[str],
    argv: tuple[str, ...], hinted: bool,
) -> None:
    tcp = start_holder(kinds="tcp")
    udp = start_holder(tcp.port, kinds="udp")
    code, out, _ = run(capsys, *argv, str(tcp.port))
    notes = [line for line in out.splitlines() if line.startswith("note: UDP")]
    assert code == 0
    if hinted:
        assert len(notes) == 1 and f"note: UDP on {tcp.port} too: python (pid {udp.pid})" in notes[0]
        assert "--udp" in notes[0]
    else:
        assert notes == [] and str(udp.pid) in out  # listed, or a target
    assert udp.process.poll() is None and tcp.process.poll() is None

