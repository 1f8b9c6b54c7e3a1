"""What test suites get from velmor: reserved ports, waiting for a server
to listen (blocking and asyncio), and the pytest plugin with its fixtures
and its report of leaked servers."""

from __future__ import annotations

import asyncio
import json
import os
import signal
import socket
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

import velmor
import velmor.aio
from conftest import descriptor_count, unused_port

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="TIME-WAIT reservation is Linux's")


# --- reserve ----------------------------------------------------------------------------


def test_reserved_ports_are_distinct_bindable_and_leave_nothing_open() -> None:
    before = descriptor_count()
    ports = [velmor.reserve() for _ in range(200)]
    assert descriptor_count() == before
    assert len(set(ports)) == len(ports)
    for port in ports[:20]:
        with socket.socket() as server:
            server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            server.bind(("127.0.0.1", port))
            server.listen()
    # Without SO_REUSEADDR the TIME-WAIT is in the way: the documented limit.
    with socket.socket() as plain, pytest.raises(OSError):
        plain.bind(("127.0.0.1", ports[-1]))


def test_a_reserved_port_is_not_handed_out_by_a_bind_on_port_zero() -> None:
    reserved = {velmor.reserve() for _ in range(300)}
    handed = subprocess.run(
        [sys.executable, "-c", textwrap.dedent("""
            import socket
            held = []
            for _ in range(3000):
                s = socket.socket(); s.bind(("127.0.0.1", 0)); held.append(s)
            print(" ".join(str(s.getsockname()[1]) for s in held))
            """)],
        capture_output=True, text=True, timeout=60, check=True,
    ).stdout.split()
    assert reserved.isdisjoint(int(port) for port in handed)


# --- wait_until_listening -------------------------------------------------------------------

_LATE_SERVER = """
import socket, sys, time
time.sleep(float(sys.argv[2]))
s = socket.socket(socket.AF_INET6); s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
s.bind(("::1", int(sys.argv[1]))); s.listen()
sys.stdin.read()
"""


def late_server(port: int, delay: float, *, through_shell: bool = False) -> subprocess.Popen[str]:
    command = [sys.executable, "-c", _LATE_SERVER, str(port), str(delay)]
    if through_shell:  # the listener is then a child of the process waited for
        command = ["sh", "-c", " ".join(f"'{part}'" for part in command) + "; true"]
    return subprocess.Popen(command, stdin=subprocess.PIPE, text=True)


@pytest.mark.parametrize("with_pid", [False, True])
def test_wait_until_listening_sees_a_server_on_ipv6_loopback(with_pid: bool) -> None:
    port = unused_port()
    server = late_server(port, 0.3, through_shell=with_pid)
    try:
        start = time.monotonic()
        assert velmor.wait_until_listening(port, 20, pid=server.pid if with_pid else None) is True
        assert 0.25 < time.monotonic() - start < 15
        assert velmor.listeners(port)[0].address == "::1"
    finally:
        server.kill()
        server.communicate(timeout=10)


def test_wait_until_listening_ends_when_the_process_exits_first() -> None:
    quitter = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(0.3)"])
    start = time.monotonic()
    with pytest.raises(ProcessLookupError):
        velmor.wait_until_listening(unused_port(), 30, pid=quitter.pid)
    assert time.monotonic() - start < 15
    quitter.wait(timeout=10)


def test_wait_until_listening_times_out_in_fractions() -> None:
    start = time.monotonic()
    assert velmor.wait_until_listening(unused_port(), 0.25) is False
    assert 0.2 < time.monotonic() - start < 5


def test_ctrl_c_ends_a_wait_at_once() -> None:
    waiting = subprocess.Popen(
        [sys.executable, "-c", f"import velmor, sys; print('go', flush=True); velmor.wait_until_listening({unused_port()}, 60)"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    assert waiting.stdout is not None and waiting.stdout.readline() == "go\n"
    time.sleep(0.2)
    sent = time.monotonic()
    waiting.send_signal(signal.SIGINT)
    _, err = waiting.communicate(timeout=30)
    assert "KeyboardInterrupt" in err and time.monotonic() - sent < 5


# --- asyncio -------------------------------------------------------------------------------


def test_aio_waits_let_the_loop_run_and_cancel_at_once() -> None:
    port = unused_port()

    async def scenario() -> tuple[bool, int, float]:
        ticks = 0

        async def ticker() -> None:
            nonlocal ticks
            while True:
                ticks += 1
                await asyncio.sleep(0.005)

        ticking = asyncio.create_task(ticker())
        server = late_server(port, 0.3)
        try:
            listened = await velmor.aio.wait_until_listening(port, 20, pid=server.pid)
        finally:
            server.kill()
            server.communicate(timeout=10)
        with socket.socket() as busy:
            busy.bind(("127.0.0.1", 0))
            busy.listen()
            waiting = asyncio.create_task(velmor.aio.wait_until_free(busy.getsockname()[1], 60))
            await asyncio.sleep(0.05)
            cancelled = time.monotonic()
            waiting.cancel()
            with pytest.raises(asyncio.CancelledError):
                await waiting
        ticking.cancel()
        return listened, ticks, time.monotonic() - cancelled

    listened, ticks, cancel_took = asyncio.run(scenario())
    assert listened is True and ticks > 10 and cancel_took < 1


def test_aio_wait_until_free_sees_a_listener_on_any_address() -> None:
    with socket.socket(socket.AF_INET6) as six:
        six.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        six.bind(("::1", 0))
        six.listen()
        port = six.getsockname()[1]
        assert velmor.is_available(port)  # the module's 127.0.0.1 probe does not see it
        assert asyncio.run(velmor.aio.wait_until_free(port, 0.1)) is False
    assert asyncio.run(velmor.aio.wait_until_free(port, 5)) is True


# --- the pytest plugin ---------------------------------------------------------------------


def pytest_session(tmp_path: Path, test_code: str, *options: str) -> subprocess.CompletedProcess[str]:
    (tmp_path / "test_inner.py").write_text(textwrap.dedent(test_code))
    return subprocess.run(
        [sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-q", str(tmp_path), *options],
        capture_output=True, text=True, timeout=180, cwd=tmp_path,
    )


def test_fixtures_give_distinct_ports_across_xdist_workers(tmp_path: Path) -> None:
    pytest.importorskip("xdist")
    out = tmp_path / "ports"
    out.mkdir()
    result = pytest_session(
        tmp_path,
        f"""
        import os, socket, pytest
        @pytest.mark.parametrize("n", range(24))
        def test_port(n, free_port, port_factory):
            ports = [free_port, port_factory(), port_factory()]
            for port in ports:
                with socket.socket() as s:
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                    s.bind(("127.0.0.1", port)); s.listen()
            with open(os.path.join({str(out)!r}, f"{{os.getpid()}}-{{n}}"), "w") as f:
                f.write(" ".join(map(str, ports)))
        """,
        "-n", "3",
    )
    assert result.returncode == 0, result.stdout + result.stderr
    files = list(out.iterdir())
    workers = {name.name.split("-")[0] for name in files}
    ports = [int(port) for path in files for port in path.read_text().split()]
    assert len(files) == 24 and len(workers) > 1
    assert len(set(ports)) == len(ports) == 72


@pytest.mark.parametrize("mode", ["report", "stop"])
def test_leftovers_are_reported_and_stopped(tmp_path: Path, mode: str) -> None:
    pid_file = tmp_path / "server.pid"
    result = pytest_session(
        tmp_path,
        f"""
        import subprocess, sys, velmor
        def test_leaks_a_server(free_port):
            server = subprocess.Popen([sys.executable, "-c",
                "import socket, sys, time; s = socket.socket(); "
                "s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); "
                "s.bind(('127.0.0.1', int(sys.argv[1]))); s.listen(); time.sleep(120)", str(free_port)])
            open({str(pid_file)!r}, "w").write(f"{{server.pid}} {{free_port}}")
            assert velmor.wait_until_listening(free_port, 20, pid=server.pid)
        """,
        "--velmor-leftovers" if mode == "report" else "--velmor-leftovers=stop",
    )
    assert pid_file.exists(), result.stdout + result.stderr
    pid, port = map(int, pid_file.read_text().split())
    try:
        assert result.returncode == 0, result.stdout + result.stderr
        assert "velmor: servers left running" in result.stdout
        assert f"pid {pid} python" in result.stdout and f"listens on port {port}" in result.stdout
        if mode == "stop":
            assert f"stopped pid {pid}" in result.stdout and "SIGTERM exited" in result.stdout
            assert not os.path.exists(f"/proc/{pid}") or velmor.listeners(port) == []
        else:
            assert [p.pid for s in velmor.listeners(port) for p in s.processes] == [pid]
    finally:
        try:
            os.kill(pid, signal.SIGKILL)  # the inner session's orphan: started by this test
        except ProcessLookupError:
            pass


def test_leftovers_report_is_quiet_without_the_option(tmp_path: Path) -> None:
    result = pytest_session(tmp_path, "def test_nothing(free_port):\n    assert free_port > 0\n")
    assert result.returncode == 0 and "servers left running" not in result.stdout
    assert json.dumps  # the module stays imported for the other tests


# --- leftovers under xdist, pinned when found -------------------------------------------

# A server that names itself with a forged name (see test_table.py), listens
# on argv[1] and then writes "pid port" to a file in the directory argv[2].
_NAMED_SERVER = textwrap.dedent("""
    import ctypes, os, socket, sys, time
    ctypes.CDLL(None).prctl(15, b"\\x1b]0;X\\x07\\r\\n\\t\\xe2\\x80\\xae\\xff", 0, 0, 0)  # PR_SET_NAME
    s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen()
    with open(os.path.join(sys.argv[2], str(os.getpid())), "w") as f:
        f.write(f"{os.getpid()} {sys.argv[1]}")
    time.sleep(120)
    """)


def section_lines(stdout: str) -> list[str]:
    """The lines of the plugin's section in a session's output."""
    lines = stdout.splitlines()
    start = next(i for i, line in enumerate(lines) if "velmor: servers left running" in line)
    return [line for line in lines[start + 1 :] if line and not line.startswith("=")]


def kill_if_ours(pid: int, marker: str) -> None:
    """SIGKILL through a pidfd to the process `pid` if its command line
    carries `marker` (one of this test's servers), never to another one."""
    try:
        pin = os.pidfd_open(pid)
    except OSError:
        return
    try:
        if marker.encode() in Path(f"/proc/{pid}/cmdline").read_bytes():
            signal.pidfd_send_signal(pin, signal.SIGKILL)
    except OSError:
        pass
    finally:
        os.close(pin)


@pytest.mark.parametrize(("workers", "mode"), [(2, "stop"), (4, "stop"), (2, "report")])
def test_leftovers_of_xdist_workers_are_reported_and_stopped(
    inside: None, tmp_path: Path, workers: int, mode: str
) -> None:
    pytest.importorskip("xdist")
    servers = tmp_path / "servers"
    servers.mkdir()
    (tmp_path / "server.py").write_text(_NAMED_SERVER)
    # Half the servers are the test's own children, half are orphans: the
    # process that started them exits at once.
    result = pytest_session(
        tmp_path,
        f"""
        import os, subprocess, sys, time, pytest
        SERVER = [sys.executable, {str(tmp_path / "server.py")!r}]
        @pytest.mark.parametrize("n", range(8))
        def test_leaks_a_server(n, free_port):
            command = [*SERVER, str(free_port), {str(servers)!r}]
            if n % 2:
                subprocess.run([sys.executable, "-c",
                                "import subprocess, sys; subprocess.Popen(sys.argv[1:])", *command], check=True)
            else:
                subprocess.Popen(command)
            while not any(f.read_text().endswith(f" {{free_port}}") for f in __import__("pathlib").Path(
                    {str(servers)!r}).iterdir() if f.stat().st_size):
                time.sleep(0.01)
        """,
        "-n", str(workers), f"--velmor-leftovers={mode}",
    )
    found = [tuple(map(int, path.read_text().split())) for path in servers.iterdir()]
    try:
        assert result.returncode == 0, result.stdout + result.stderr
        assert len(found) == 8
        lines = section_lines(result.stdout)
        assert all(line.isprintable() for line in lines) and "\\x1b]0;X\\x07\\r\\n\\t\\u202e" in lines[0]
        for pid, port in found:
            [listens] = [line for line in lines if line.startswith(f"pid {pid} ") and "listens" in line]
            assert f"listens on port {port} (127.0.0.1)" in listens
            if mode == "stop":
                [stopped] = [line for line in lines if line.startswith(f"stopped pid {pid} ")]
                assert stopped.endswith(f"on port {port}: SIGTERM exited")
                assert velmor.listeners(port) == []
            else:
                assert not [line for line in lines if "stopped" in line]
                assert [p.pid for s in velmor.listeners(port) for p in s.processes] == [pid]
    finally:
        for pid, _ in found:
            kill_if_ours(pid, str(tmp_path))


_REUSED_PID = textwrap.dedent("""
    import json, subprocess, sys
    import private_network, velmor
    from velmor import pytest_plugin
    private_network._loopback_up()
    SERVER = ("import socket, sys, time; s = socket.socket(); "
              "s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); "
              "s.bind(('127.0.0.1', 4000)); s.listen(); print('ready', flush=True); time.sleep(60)")
    def serve():
        server = subprocess.Popen([sys.executable, "-c", SERVER], stdout=subprocess.PIPE, text=True)
        assert server.stdout.readline() == "ready\\n"
        return server
    first = serve()
    found = pytest_plugin.find_leftovers()
    reported = pytest_plugin.report_lines(found)
    first.kill(); first.wait()
    # The next process of this pid namespace gets the reported pid again.
    with open("/proc/sys/kernel/ns_last_pid", "w") as f:
        f.write(str(first.pid - 1))
    second = serve()
    by_pid_list = [p.pid for r in velmor.stop(4000, pids=[first.pid], dry_run=True) for p in r.processes]
    stopped = pytest_plugin.stop_leftovers(found, kill_after=0.2, timeout=0.5)
    print(json.dumps({"first": first.pid, "second": second.pid, "reported": reported, "stopped": stopped,
                      "by_pid_list": by_pid_list, "second_runs": second.poll() is None}))
    second.kill(); second.wait()
    """)


@pytest.mark.skipif(os.geteuid() != 0 or not Path("/usr/bin/unshare").exists(), reason="needs root and unshare")
def test_the_stop_spares_a_process_that_got_a_reported_pid_again(tmp_path: Path) -> None:
    # In a pid namespace (and network namespace) of its own, where the pid
    # that comes next can be chosen.
    tests = Path(__file__).parent
    result = subprocess.run(
        ["unshare", "--fork", "--pid", "--mount-proc", "--net", sys.executable, "-c", _REUSED_PID],
        capture_output=True, text=True, timeout=120, env={**os.environ, "PYTHONPATH": str(tests)},
    )
    assert result.returncode == 0, result.stderr
    seen = json.loads(result.stdout)
    assert seen["second"] == seen["first"]  # the pid came again
    [reported] = seen["reported"]
    assert reported.startswith(f"pid {seen['first']} ") and "listens on port 4000" in reported
    # A list of pids taken at the report would stop the newcomer ...
    assert seen["by_pid_list"] == [seen["second"]]
    # ... the pinned leftovers do not.
    assert seen["second_runs"] is True
    [line] = seen["stopped"]
    assert line.startswith(f"not stopped pid {seen['first']} ") and ": gone" in line
