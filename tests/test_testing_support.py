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
