"""Corners where an answer used to go wrong: descriptors running out, a
pidfd numbered past select()'s range, thread ids given as pids, targets
whose first socket ends, another process trying the port in a loop, a pid
reused while a wait watches it, a /proc of another pid namespace, and a
socket listed twice by the /proc/net reader. Everything that signals runs in
network namespaces of its own and signals only the test's children."""

from __future__ import annotations

import asyncio
import errno
import os
import resource
import signal
import socket
import subprocess
import sys
import textwrap
import threading
from collections.abc import Callable

import pytest

import velmor
import velmor.aio
from conftest import Holder, unused_port
from test_mended import needs_unshare, run_isolated

# A listener that ignores SIGTERM, started before the descriptors run out.
_STUBBORN = (
    "import signal, socket, sys; signal.signal(signal.SIGTERM, signal.SIG_IGN); "
    "s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.bind(('127.0.0.1', 0)); "
    "s.listen(); print(s.getsockname()[1], s.fileno(), flush=True); sys.stdin.read()"
)


# --- descriptors running out -----------------------------------------------------------


@needs_unshare
@pytest.mark.parametrize("free", [0, 1, 2, 3, 4, 5, 6, 12])
def test_no_answer_is_given_short_of_descriptors(free: int) -> None:
    # Each call either answers rightly or raises OSError(EMFILE); a holder
    # that ignores SIGTERM is never reported exited without its SIGKILL.
    answer = run_isolated(
        f"""
        import asyncio, errno, pwd, resource, select
        import _velmor_hooks, velmor.aio
        stubborn = subprocess.Popen([sys.executable, "-c", {_STUBBORN!r}], stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, text=True)
        port, fd = map(int, stubborn.stdout.readline().split())
        [listener] = velmor.listeners(port)
        record = {{"pid": stubborn.pid, "fd": fd, "socket_id": listener.inode}}
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]

        def limited():  # the command's own three streams, one for its loader, and the spares
            resource.setrlimit(resource.RLIMIT_NOFILE, (4 + {free}, hard))

        program = os.path.join(os.path.dirname(velmor.__file__), "velmor")
        who = subprocess.run([program, "who", str(port)], capture_output=True, text=True, preexec_fn=limited)
        answer = {{"who": [who.returncode, who.stderr, who.stdout]}}
        resource.setrlimit(resource.RLIMIT_NOFILE, (256, hard))
        filler = []
        try:
            while True:
                filler.append(os.open(os.devnull, os.O_RDONLY))
        except OSError:
            pass
        for spare in filler[len(filler) - {free}:]:
            os.close(spare)

        def attempt(call):
            try:
                return call()
            except OSError as error:
                return "EMFILE" if error.errno == errno.EMFILE else repr(error)

        answer["listeners"] = attempt(lambda: [[p.pid for p in s.processes] for s in velmor.listeners(port)])
        answer["wait"] = attempt(lambda: velmor.wait_until_listening(port, 0))
        if {free} == 0:
            answer["unpinned"] = _velmor_hooks.signal_holder(record, signal.SIGTERM)
        def stop():
            [report] = velmor.stop(port, kill_after=0.3, timeout=5)
            return [report.result, [(p.signal, p.outcome) for p in report.processes]]
        answer["stop"] = attempt(stop)
        for spare in filler[: len(filler) - {free}]:
            os.close(spare)
        answer["running"] = stubborn.poll() is None
        stubborn.kill()
        answer["ended"] = stubborn.wait()
        answer["pid"] = stubborn.pid
        print(json.dumps(answer))
        """
    )
    pid = answer["pid"]
    assert answer["listeners"] in ("EMFILE", [[pid]])
    assert answer["wait"] in ("EMFILE", True)
    code, said, shown = answer["who"]  # type: ignore[misc]
    if code == 0:
        assert said == "" and f" {pid} " in shown
    else:
        assert code == 1 and said.count("\n") == 1 and "Too many open files" in said
    if free >= 2:
        assert code == 0
    if "unpinned" in answer:
        assert answer["unpinned"] == "failed"  # nothing is signalled without a pin
    if answer["stop"] == "EMFILE":
        assert answer["running"] is True  # nothing was signalled
    else:
        assert answer["stop"] == ["freed", [["SIGKILL", "exited"]]]
        assert (answer["running"], answer["ended"]) == (False, -signal.SIGKILL)
    if free == 12:
        assert "EMFILE" not in (answer["listeners"], answer["wait"], answer["stop"])


# --- a pidfd past select()'s range -----------------------------------------------------


@pytest.mark.parametrize("how", ["sync", "asyncio"])
@pytest.mark.parametrize("child", ["running", "exited"])
def test_a_wait_by_pid_watches_a_pidfd_numbered_past_1024(how: str, child: str) -> None:
    if not hasattr(os, "pidfd_open"):
        pytest.skip("no pidfd_open")
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < 1200:
        pytest.skip("the descriptor limit is too low")
    process = subprocess.Popen([sys.executable, "-c", "import sys; sys.stdin.read()"], stdin=subprocess.PIPE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, 1200), hard))
    filler: list[int] = []
    try:
        while True:
            fd = os.open(os.devnull, os.O_RDONLY)
            filler.append(fd)
            if fd >= 1030:
                break
        if child == "exited":
            process.kill()
            os.waitid(os.P_PID, process.pid, os.WEXITED | os.WNOWAIT)  # a zombie: still there to be watched
        port = unused_port()

        def wait() -> bool:
            if how == "sync":
                return velmor.wait_until_listening(port, 0, pid=process.pid)
            return asyncio.run(velmor.aio.wait_until_listening(port, 0, pid=process.pid))

        if child == "running":
            assert wait() is False
        else:
            with pytest.raises(ProcessLookupError):
                wait()
    finally:
        for fd in filler:
            os.close(fd)
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
        process.kill()
        process.communicate(timeout=10)


# --- thread ids are not processes --------------------------------------------------------


@needs_unshare
@pytest.mark.parametrize("whose", ["own", "parent"])
def test_a_thread_id_never_leads_a_stop_to_the_caller(whose: str) -> None:
    answer = run_isolated(
        f"""
        received = []
        signal.signal(signal.SIGTERM, lambda *_: received.append(1))
        listener = socket.socket(); listener.bind(("127.0.0.1", 0)); listener.listen()
        port = listener.getsockname()[1]
        tids, parked = [], threading.Event()
        def park():
            tids.append(threading.get_native_id())
            parked.wait()
        thread = threading.Thread(target=park); thread.start()
        while not tids:
            time.sleep(0.01)
        stop = "import json, sys, velmor; [r] = velmor.stop(int(sys.argv[1]), pids=[int(sys.argv[2])], timeout=0.2); " \\
               "print(json.dumps([r.result, [(p.pid, p.outcome) for p in r.processes]]))"
        if "{whose}" == "own":
            [report] = velmor.stop(port, pids=[tids[0]], timeout=0.2)
            result = [report.result, [(p.pid, p.outcome) for p in report.processes]]
        else:
            result = json.loads(subprocess.run([sys.executable, "-c", stop, str(port), str(tids[0])],
                                               capture_output=True, text=True, check=True).stdout)
        for _ in range(50):  # a signal already sent runs its handler within these
            time.sleep(0.01)
        parked.set(); thread.join()
        print(json.dumps({{"received": len(received), "result": result}}))
        """
    )
    assert answer == {"received": 0, "result": ["failed", []]}


# --- a target pinned by the socket that lasts ----------------------------------------------

_SERVER_WITH_A_CONNECTION = textwrap.dedent(
    """
    import socket, sys
    listener = socket.socket(); listener.bind(("127.0.0.1", int(sys.argv[1]))); listener.listen()
    print("ready", flush=True)
    connection, _ = listener.accept()
    print("accepted", flush=True)
    for line in sys.stdin:
        connection.close()
        print("closed", flush=True)
    """
)


@pytest.mark.parametrize("connection", ["ends before the signal", "lasts"])
def test_a_server_whose_connection_ends_is_still_stopped(
    inside: None, start_child: Callable[..., Holder], connection: str
) -> None:
    hooks = pytest.importorskip("_velmor_hooks")
    server = start_child(_SERVER_WITH_A_CONNECTION, unused_port())
    assert server.process.stdout is not None and server.process.stdin is not None
    with socket.create_connection(("127.0.0.1", server.port)):
        assert server.process.stdout.readline() == "accepted\n"

        def between() -> None:
            if connection == "lasts":
                return
            server.process.stdin.write("close\n")  # type: ignore[union-attr]
            server.process.stdin.flush()  # type: ignore[union-attr]
            assert server.process.stdout.readline() == "closed\n"  # type: ignore[union-attr]

        assert hooks.stop_between(server.port, True, between) == [(server.pid, "exited")]
    assert server.process.wait(timeout=10) == -signal.SIGTERM


# --- another process trying the port meanwhile -------------------------------------------


@needs_unshare
def test_a_stop_while_another_process_tries_the_port_is_freed() -> None:
    answer = run_isolated(
        """
        port = 41000
        prober = subprocess.Popen([sys.executable, "-c",
            "import sys, velmor\\nwhile True: velmor.is_available(int(sys.argv[1]))", str(port)])
        # The prober's trial listener makes a bind or a listen fail now and
        # then (EADDRINUSE): the server tries both again with a new socket.
        server = ("import socket, sys, time\\n"
                  "while True:\\n    s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\\n"
                  "    try:\\n        s.bind(('127.0.0.1', int(sys.argv[1]))); s.listen(); break\\n"
                  "    except OSError:\\n        s.close(); time.sleep(0.001)\\n"
                  "print('ready', flush=True); sys.stdin.read()")
        results = []
        for _ in range(20):
            child = subprocess.Popen([sys.executable, "-c", server, str(port)], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
            assert child.stdout.readline() == "ready\\n"
            [report] = velmor.stop(port, timeout=5)
            results.append([report.result, report.error, [p.pid for p in report.processes] == [child.pid]])
            child.kill(); child.wait()
        alive = prober.poll() is None
        prober.kill(); prober.wait()
        print(json.dumps({"results": results, "prober alive": alive}))
        """
    )
    assert answer["prober alive"] is True
    assert answer["results"] == [["freed", None, True]] * 20


# --- waits by pid -------------------------------------------------------------------------


@needs_unshare
def test_a_wait_by_pid_does_not_follow_the_pid_to_a_newer_process() -> None:
    # The waited-for process exits without listening; a newer process is
    # given its pid and listens; only then does the wait look again.
    answer = run_isolated(
        """
        port = 42000
        waited = subprocess.Popen([sys.executable, "-c", "import sys; sys.stdin.read()"], stdin=subprocess.PIPE)
        wait = ("import json, sys, velmor\\ntry:\\n"
                "    print(json.dumps(velmor.wait_until_listening(int(sys.argv[1]), 60, pid=int(sys.argv[2]))))\\n"
                "except ProcessLookupError:\\n    print(json.dumps('exited first'))")
        waiter = subprocess.Popen([sys.executable, "-c", wait, str(port), str(waited.pid)], stdout=subprocess.PIPE,
                                  text=True)
        def watching():
            try:
                return any(os.readlink(f"/proc/{waiter.pid}/fd/{fd}") == "anon_inode:[pidfd]"
                           for fd in os.listdir(f"/proc/{waiter.pid}/fd"))
            except OSError:
                return False
        while not watching():
            time.sleep(0.005)
        os.kill(waiter.pid, signal.SIGSTOP)
        waited.kill(); waited.wait()
        with open("/proc/sys/kernel/ns_last_pid", "w") as last:
            last.write(str(waited.pid - 1))
        newer = subprocess.Popen([sys.executable, "-c", "import socket, sys; s = socket.socket(); "
                                  "s.bind(('127.0.0.1', int(sys.argv[1]))); s.listen(); print('ready', flush=True); "
                                  "sys.stdin.read()", str(port)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        newer.stdout.readline()
        os.kill(waiter.pid, signal.SIGCONT)
        said = json.loads(waiter.stdout.readline())
        answer = {"same pid": newer.pid == waited.pid, "wait": said}
        newer.kill(); newer.wait(); waiter.wait()
        if not answer["same pid"]:
            answer = {"skip": "could not give the newer process the pid"}
        print(json.dumps(answer))
        """,
        unshare=("--net", "--pid", "--fork", "--mount-proc"),
    )
    assert answer == {"same pid": True, "wait": "exited first"}


@needs_unshare
@pytest.mark.parametrize("proc", ["our own", "another namespace's"])
def test_a_wait_by_pid_needs_a_proc_of_our_own(proc: str) -> None:
    unshare = ("--net", "--pid", "--fork", *(("--mount-proc",) if proc == "our own" else ()))
    answer = run_isolated(
        """
        import errno
        server = subprocess.Popen([sys.executable, "-c", "import socket, sys; s = socket.socket(); "
                                   "s.bind(('127.0.0.1', 0)); s.listen(); print(s.getsockname()[1], flush=True); "
                                   "sys.stdin.read()"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        port = int(server.stdout.readline())
        answer = {"ours": velmor._ports.pids_are_ours()}
        try:
            answer["wait"] = velmor.wait_until_listening(port, 1, pid=server.pid)
        except OSError as error:
            answer["wait"] = "not ours" if error.errno == errno.EOPNOTSUPP else repr(error)
        server.kill(); server.wait()
        print(json.dumps(answer))
        """,
        unshare=unshare,
    )
    if proc == "our own":
        assert answer == {"ours": True, "wait": True}
    else:
        assert answer == {"ours": False, "wait": "not ours"}


# --- the /proc/net reader under churn -----------------------------------------------------


def test_the_proc_net_reader_lists_each_socket_once(inside: None) -> None:
    procnet = pytest.importorskip("_velmor_hooks_procnet")
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(512)
    port = listener.getsockname()[1]
    done = threading.Event()

    def churn() -> None:
        while not done.is_set():
            with socket.create_connection(("127.0.0.1", port)):
                pass

    def accept() -> None:
        while not done.is_set():
            try:
                connection, _ = listener.accept()
            except OSError:
                return
            connection.close()

    # A table long enough to be read in pieces: connections that stay, both ends.
    kept = [socket.create_connection(("127.0.0.1", port)) for _ in range(300)]
    kept += [listener.accept()[0] for _ in range(300)]
    workers = [threading.Thread(target=churn) for _ in range(3)] + [threading.Thread(target=accept)]
    for worker in workers:
        worker.start()
    repeats: list[int] = []
    try:
        for _ in range(30):
            ids = [i for i in procnet.listed_socket_ids(port) if i != 0]
            repeats.append(len(ids) - len(set(ids)))
    finally:
        done.set()
        for worker in workers[:-1]:
            worker.join()
        listener.close()
        workers[-1].join()
        for s in kept:
            s.close()
    assert repeats == [0] * 30
