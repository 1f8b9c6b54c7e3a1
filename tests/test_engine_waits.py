"""The waits run in the engine: _table.wait judges a port free as status()
does, counts a listener for a pid only when that process or a descendant
holds it, tells `progress` what it still waits for, and ends with what a
progress callback raises. The asyncio forms pace the same checks. The
defaults the package's functions show are the engine's."""

from __future__ import annotations

import asyncio
import inspect
import os
import socket
import subprocess
import sys
from collections.abc import Callable

import pytest
from conftest import Holder, unused_port

import velmor
import velmor.aio
from velmor import _table


def wait_sync(port: int, pid: int | None) -> bool:
    return velmor.wait_until_listening(port, 0, pid=pid)


def wait_async(port: int, pid: int | None) -> bool:
    return asyncio.run(velmor.aio.wait_until_listening(port, 0, pid=pid))


@pytest.mark.parametrize("kinds", ["tcp", "bound", "connected", "udp", "tcp6", None])
def test_the_engine_wait_judges_a_port_free_as_status_does(
    inside: None, start_holder: Callable[..., Holder], kinds: str | None
) -> None:
    port = start_holder(kinds=kinds).port if kinds else unused_port()
    free = velmor.status(port).state == "free"
    assert (_table.wait(port, timeout=0) == []) is free
    assert asyncio.run(velmor.aio.wait_until_free(port, 0)) is free


def test_a_port_left_in_time_wait_by_reusing_sockets_is_free_to_the_wait(inside: None) -> None:
    with socket.socket() as server:
        server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        server.bind(("127.0.0.1", 0))
        server.listen()
        port = server.getsockname()[1]
        client = socket.create_connection(("127.0.0.1", port))
        accepted, _ = server.accept()
        accepted.close()  # the server's end closes first: its side waits out TIME-WAIT
        client.close()
    assert any(s.state == "time-wait" for s in velmor.sockets(port))
    assert velmor.status(port).state == "free"
    assert _table.wait(port, timeout=0) == []


@pytest.mark.parametrize("wait", [wait_sync, wait_async], ids=["sync", "asyncio"])
def test_a_listener_counts_for_a_pid_only_when_it_or_a_descendant_holds_it(
    inside: None, start_holder: Callable[..., Holder], wait: Callable[[int, int | None], bool]
) -> None:
    holder = start_holder()
    with subprocess.Popen([sys.executable, "-c", "import sys; sys.stdin.read()"], stdin=subprocess.PIPE) as other:
        try:
            assert wait(holder.port, None)
            assert wait(holder.port, holder.pid)
            assert wait(holder.port, os.getpid())  # the test is the holder's parent
            assert not wait(holder.port, other.pid)
        finally:
            other.kill()
    # Reaped: no such process.
    with pytest.raises(ProcessLookupError, match=f"no process {other.pid}"):
        wait(holder.port, other.pid)


@pytest.mark.parametrize("form", ["sync", "asyncio"])
def test_a_wait_for_a_pid_ends_when_that_process_exits_first(inside: None, form: str) -> None:
    port = unused_port()
    with subprocess.Popen([sys.executable, "-c", "import sys; sys.stdin.read()"], stdin=subprocess.PIPE) as child:
        assert child.stdin is not None
        child.stdin.close()  # it ends once it reads the end of its input: during the wait, or before it
        with pytest.raises(ProcessLookupError, match=f"process {child.pid} exited before anything listened on port {port}"):
            if form == "sync":
                velmor.wait_until_listening(port, 60, pid=child.pid)
            else:
                asyncio.run(velmor.aio.wait_until_listening(port, 60, pid=child.pid))


def test_progress_is_told_the_ports_still_waited_for(inside: None, start_holder: Callable[..., Holder]) -> None:
    held, free = start_holder(), unused_port()
    told: list[list[int]] = []
    assert _table.wait([held.port, free], timeout=0.6, progress=told.append) == [held.port]
    assert told and all(pending == [held.port] for pending in told)


def test_what_progress_raises_ends_the_wait(inside: None, start_holder: Callable[..., Holder]) -> None:
    held = start_holder()

    def fail(pending: list[int]) -> None:
        raise KeyError(pending)

    with pytest.raises(KeyError) as raised:
        _table.wait(held.port, listening=False, timeout=60, progress=fail)
    assert raised.value.args == ([held.port],)


@pytest.mark.parametrize(("arguments", "error"), [
    ({"progress": 3}, "progress must be callable"),
    ({"pid": 1}, "pid is for a wait for listeners"),
])
def test_a_wait_refuses_what_it_cannot_do(arguments: dict[str, object], error: str) -> None:
    with pytest.raises((TypeError, ValueError), match=error):
        _table.wait(unused_port(), timeout=0, **arguments)  # type: ignore[arg-type]


@pytest.mark.parametrize(("function", "default"), [
    (_table.stop, _table.STOP_TIMEOUT),
    (velmor.stop, _table.STOP_TIMEOUT),
    (_table.wait, _table.WAIT_TIMEOUT),
    (velmor.wait_until_listening, _table.WAIT_TIMEOUT),
    (velmor.aio.wait_until_listening, _table.WAIT_TIMEOUT),
    (velmor.aio.wait_until_free, _table.WAIT_TIMEOUT),
])
def test_the_timeouts_shown_are_the_engines(function: Callable[..., object], default: float) -> None:
    assert inspect.signature(function).parameters["timeout"].default == default
    assert (_table.STOP_TIMEOUT, _table.WAIT_TIMEOUT) == (5.0, 30.0)  # as docs/cli.md and the README say
