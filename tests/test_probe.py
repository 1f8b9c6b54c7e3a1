"""Probing: is_available, find_free and wait_until_free."""

from __future__ import annotations

import socket
import sys
import threading
import time
from collections.abc import Callable

import pytest

import velmor
from conftest import Holder, descriptor_count, in_subprocess, port_is_bindable, unused_port


class TestIsAvailable:
    def test_free_port(self) -> None:
        port = unused_port()
        assert velmor.is_available(port) is True
        assert velmor.is_available(port) is True
        assert port_is_bindable(port)  # nothing held afterwards

    def test_held_port_and_the_listener_keeps_working(self, held_port: Holder) -> None:
        assert velmor.is_available(held_port.port) is False
        with socket.create_connection(("127.0.0.1", held_port.port), timeout=5):
            pass

    def test_port_zero_is_never_free(self) -> None:
        assert velmor.is_available(0) is False

    def test_time_wait_counts_as_free(self) -> None:
        server = socket.socket()
        server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        server.bind(("127.0.0.1", 0))
        server.listen()
        port = server.getsockname()[1]
        client = socket.create_connection(("127.0.0.1", port))
        accepted, _ = server.accept()
        accepted.close()  # the side that closes first lingers in TIME_WAIT
        client.close()
        server.close()
        assert velmor.is_available(port) is True

    def test_no_descriptor_leaks(self, held_port: Holder) -> None:
        free = unused_port()
        before = descriptor_count()
        for _ in range(2000):
            velmor.is_available(free)
            velmor.is_available(held_port.port)
        assert descriptor_count() == before


def test_full_descriptor_table() -> None:
    result = in_subprocess(
        f"""
        import resource, socket, velmor
        port = {unused_port()}
        resource.setrlimit(resource.RLIMIT_NOFILE, (16, 16))
        hog = []
        try:
            while True:
                hog.append(socket.socket())
        except OSError:
            pass
        print(velmor.is_available(port))
        for call in (lambda: velmor.find_free(port), lambda: velmor.find_free()):
            try:
                print(call())
            except OSError as error:
                print(type(error).__name__, error.args, error.errno)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "False",
        "OSError ('Could not find a free port',) None",
        "OSError ('Could not find a free port',) None",
    ]


class TestFindFree:
    @pytest.mark.parametrize("preferred", [(), (None,), (0,)])
    def test_without_preference_the_system_chooses(self, preferred: tuple[int | None, ...]) -> None:
        port = velmor.find_free(*preferred)
        assert 0 < port < 65536
        assert port_is_bindable(port)

    def test_free_preferred_port_comes_back(self) -> None:
        port = unused_port()
        assert velmor.find_free(port) == port
        assert velmor.find_free(preferred=port) == port

    def test_taken_preferred_port_gives_another(self, held_port: Holder) -> None:
        port = velmor.find_free(held_port.port)
        assert port != held_port.port
        assert port_is_bindable(port)


class TestWaitUntilFree:
    @pytest.mark.parametrize("timeout", [(), (0,), (5,), (2**64 - 1,), (sys.maxsize,), (2**63,)])
    def test_free_port_at_once(self, timeout: tuple[int, ...]) -> None:
        started = time.monotonic()
        assert velmor.wait_until_free(unused_port(), *timeout) is True
        assert time.monotonic() - started < 0.5

    def test_port_zero(self) -> None:
        assert velmor.wait_until_free(0) is False
        assert velmor.wait_until_free(0, 2**64 - 1) is False

    def test_held_with_zero_timeout_probes_once(self, held_port: Holder) -> None:
        started = time.monotonic()
        assert velmor.wait_until_free(held_port.port, 0) is False
        assert time.monotonic() - started < 0.09  # no poll interval slept

    def test_held_throughout(self, held_port: Holder) -> None:
        started = time.monotonic()
        assert velmor.wait_until_free(held_port.port, timeout=1) is False
        assert 1.0 <= time.monotonic() - started < 2.0

    @pytest.mark.parametrize("timeout", [5, 2**64 - 1, sys.maxsize])
    def test_released_during_the_wait(self, start_holder: Callable[..., Holder], timeout: int) -> None:
        holder = start_holder()
        released_at: list[float] = []

        def release() -> None:
            time.sleep(0.5)
            released_at.append(time.monotonic())
            holder.stop()

        threading.Thread(target=release).start()
        assert velmor.wait_until_free(holder.port, timeout) is True
        assert time.monotonic() - released_at[0] < 0.6

    def test_other_threads_run_during_the_wait(self, held_port: Holder) -> None:
        ticks = 0
        stop = threading.Event()

        def tick() -> None:
            nonlocal ticks
            while not stop.is_set():
                ticks += 1
                time.sleep(0.01)

        ticker = threading.Thread(target=tick)
        ticker.start()
        try:
            velmor.wait_until_free(held_port.port, 1)
        finally:
            stop.set()
            ticker.join()
        assert ticks > 20
