"""get_info and scan as callers see them: the owner's dict, and one pass for
many ports that answers exactly as get_info does port by port. Every case
runs against the shipped module and against the same functions over the
macOS layer (see builds.py)."""

from __future__ import annotations

import json
import os
import socket
import threading
from collections.abc import Callable
from types import ModuleType

import pytest

from builds import MODULE_BUILDS, Build, build_fixture
from conftest import AS_NOBODY, Holder, in_subprocess, unused_port


build = build_fixture(MODULE_BUILDS)


@pytest.fixture
def lib(build: Build) -> ModuleType:
    return build.module()


def test_listener_described_as_the_kernel_shows_it(build: Build, lib: ModuleType, held_port: Holder) -> None:
    assert lib.get_info(held_port.port) == build.owner(held_port.pid)
    assert lib.get_info(port=held_port.port) == build.owner(held_port.pid)


def test_own_listener_is_found(build: Build, lib: ModuleType) -> None:
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen()
        port = listener.getsockname()[1]
        assert lib.get_info(port) == build.owner(os.getpid())
        assert lib.scan([port]) == {port: build.owner(os.getpid())}


@pytest.mark.parametrize("port", [0, None])
def test_free_port_has_no_owner(lib: ModuleType, port: int | None) -> None:
    port = unused_port() if port is None else port
    assert lib.get_info(port) is None
    assert lib.scan([port]) == {port: None}


def test_scan_answers_as_get_info_does_port_by_port(
    build: Build, lib: ModuleType, start_holder: Callable[..., Holder]
) -> None:
    listeners = [start_holder() for _ in range(3)]
    shared = start_holder(kinds="reuseport")
    start_holder(shared.port, kinds="reuseport")
    udp_only = start_holder(kinds="udp")
    with socket.socket() as bound_only:  # busy, but nobody listens
        bound_only.bind(("127.0.0.1", 0))
        ports = [
            *(h.port for h in listeners),
            shared.port,
            listeners[0].port,  # listed twice
            udp_only.port,
            bound_only.getsockname()[1],
            unused_port(),
            0,
        ]
        expected = {port: lib.get_info(port) for port in ports}
        assert lib.scan(ports) == expected
        assert lib.scan(tuple(reversed(ports))) == expected
    assert expected[shared.port] == build.owner(shared.pid)  # the first in process order
    for holder in listeners:
        assert expected[holder.port] == build.owner(holder.pid)
    assert [expected[p] for p in ports[-4:]] == [None] * 4


def test_hidden_owner_reads_as_none_in_both(build: Build, held_port: Holder) -> None:
    if os.geteuid() != 0:
        pytest.skip("needs root to run the caller as another user")
    free = unused_port()
    result = in_subprocess(
        f"""
        import json
        import {build.module_name} as velmor
        ports = [{held_port.port}, {free}, {held_port.port}]
        print(json.dumps([velmor.scan(ports), [velmor.get_info(p) for p in ports], velmor.is_available(ports[0])]))
        """,
        prefix=AS_NOBODY,
    )
    assert result.returncode == 0, result.stderr
    scanned, single, available = json.loads(result.stdout)
    assert scanned == {str(held_port.port): None, str(free): None}
    assert single == [None, None, None]
    assert available is False
    assert held_port.process.poll() is None


def test_threads_agree(lib: ModuleType, start_holder: Callable[..., Holder]) -> None:
    holders = [start_holder() for _ in range(4)]
    ports = [h.port for h in holders] + [unused_port()]
    expected = {p: lib.get_info(p) for p in ports}
    failures: list[str] = []

    def ask() -> None:
        for _ in range(20):
            if lib.scan(ports) != expected:
                failures.append("scan")
            if any(lib.get_info(p) != expected[p] for p in ports):
                failures.append("get_info")

    threads = [threading.Thread(target=ask) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
