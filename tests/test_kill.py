"""kill: signalling the holders of a port and waiting for it to become free.
Every case runs against the shipped module and against the same function
over the macOS layer (see builds.py)."""

from __future__ import annotations

import os
import shutil
import signal
import sys
import textwrap
import time
from collections.abc import Callable
from pathlib import Path
from types import ModuleType

import numpy
import pytest

from builds import MODULE_BUILDS, Build, build_fixture
from conftest import (
    AS_NOBODY,
    WITHOUT_KILL,
    Holder,
    assert_note,
    denied,
    in_subprocess,
    needs_root_that_can_drop_kill,
    not_freed,
    port_is_bindable,
    unused_port,
)


build = build_fixture(MODULE_BUILDS)


@pytest.fixture
def lib(build: Build) -> ModuleType:
    return build.module()


def exit_signal(holder: Holder) -> int:
    """The signal that ended the holder (waiting for it to finish)."""
    return -holder.process.wait(timeout=10)


# A child holding `port` with the sockets named in `kinds` that writes one
# line to `log` per SIGTERM it receives. The first SIGTERM closes the sockets
# at once; the child lingers half a second so that a second SIGTERM would still
# be counted, then exits.
_COUNTING_HOLDER = textwrap.dedent(
    """
    import signal, socket, sys, time
    port, kinds, log = int(sys.argv[1]), sys.argv[2].split(","), sys.argv[3]
    held = []
    for kind in kinds:
        family = socket.AF_INET6 if kind.endswith("6") else socket.AF_INET
        kind_type = socket.SOCK_DGRAM if kind.startswith("udp") else socket.SOCK_STREAM
        s = socket.socket(family, kind_type)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        if family == socket.AF_INET6:
            s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        s.bind(("::1" if family == socket.AF_INET6 else "127.0.0.1", port))
        if kind_type == socket.SOCK_STREAM:
            s.listen()
        held.append(s)
    leave_at = None
    def on_term(signum, frame):
        global leave_at
        with open(log, "a") as f:
            f.write("TERM\\n")
        for s in held:
            s.close()
        leave_at = time.monotonic() + 0.5
    signal.signal(signal.SIGTERM, on_term)
    print("ready", flush=True)
    while leave_at is None or time.monotonic() < leave_at:
        time.sleep(0.05)
    """
)


# A child holding `port` that, on SIGTERM, waits `delay` seconds, writes the
# monotonic time to stdout and exits.
_SLOW_HOLDER = textwrap.dedent(
    """
    import os, signal, socket, sys, time
    port, delay = int(sys.argv[1]), float(sys.argv[2])
    s = socket.socket()
    s.bind(("127.0.0.1", port))
    s.listen()
    def on_term(signum, frame):
        time.sleep(delay)
        # Not print: the signal can come while the main code is still inside
        # print("ready"), and sys.stdout refuses a reentrant write.
        os.write(1, f"{time.monotonic()}\\n".encode())
        os._exit(0)
    signal.signal(signal.SIGTERM, on_term)
    print("ready", flush=True)
    while True:
        time.sleep(60)
    """
)


def kill_elsewhere(build: Build, port: int, prefix: tuple[str, ...]) -> str:
    """Calls the build's kill in a fresh interpreter run under `prefix`;
    returns "" when it freed the port, else the error as "type|message"."""
    result = in_subprocess(
        f"""
        import {build.module_name} as velmor
        try:
            velmor.kill({port})
        except OSError as error:
            print(type(error).__name__, error.args[0], sep="|")
        """,
        prefix=prefix,
    )
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


class TestSignals:
    @pytest.mark.parametrize(
        ("kwargs", "expected"),
        [
            ({}, signal.SIGTERM),
            ({"force": False}, signal.SIGTERM),
            ({"force": True}, signal.SIGKILL),
        ],
        ids=["default", "force-false", "force-true"],
    )
    def test_listener_ends_by_the_chosen_signal(
        self, lib: ModuleType, held_port: Holder, kwargs: dict[str, bool], expected: signal.Signals
    ) -> None:
        assert lib.kill(held_port.port, **kwargs) is True
        assert exit_signal(held_port) == expected
        assert port_is_bindable(held_port.port)

    def test_force_by_position(self, lib: ModuleType, held_port: Holder) -> None:
        assert lib.kill(held_port.port, True) is True
        assert exit_signal(held_port) == signal.SIGKILL

    def test_udp_holder_beside_tcp_listener_is_signalled_too(
        self, lib: ModuleType, start_holder: Callable[..., Holder]
    ) -> None:
        udp = start_holder(kinds="udp")
        tcp = start_holder(udp.port, kinds="tcp")
        assert lib.kill(tcp.port) is True
        assert exit_signal(tcp) == signal.SIGTERM
        assert exit_signal(udp) == signal.SIGTERM

    @pytest.mark.parametrize(
        ("processes", "kinds"),
        [
            (1, "tcp,tcp6,udp"),
            (1, "tcp,tcp"),
            (2, "tcp"),
            (3, "tcp,udp"),
        ],
    )
    def test_each_holder_is_signalled_once(
        self, lib: ModuleType, start_child: Callable[..., Holder], tmp_path: Path, processes: int, kinds: str
    ) -> None:
        port = unused_port()
        logs = [tmp_path / f"holder-{n}.log" for n in range(processes)]
        holders = [start_child(_COUNTING_HOLDER, port, kinds, str(log)) for log in logs]
        assert lib.kill(port) is True
        for holder, log in zip(holders, logs):
            assert holder.process.wait(timeout=10) == 0  # left on its own after the handler
            assert log.read_text().splitlines() == ["TERM"]

    def test_holder_that_ignores_sigterm_survives(self, lib: ModuleType, start_holder: Callable[..., Holder]) -> None:
        holder = start_holder(kinds="tcp,ignore-term")
        started = time.monotonic()
        with pytest.raises(OSError) as caught:
            lib.kill(holder.port)
        elapsed = time.monotonic() - started
        assert type(caught.value) is OSError
        assert caught.value.args == (not_freed(holder.port),)
        assert caught.value.errno is None
        assert 0.9 <= elapsed < 10
        assert holder.process.poll() is None  # no escalation to SIGKILL
        assert not port_is_bindable(holder.port)

    def test_sigterm_ignored_by_one_holder_of_two(self, lib: ModuleType, start_holder: Callable[..., Holder]) -> None:
        leaving = start_holder(kinds="reuseport")
        staying = start_holder(leaving.port, kinds="reuseport,ignore-term")
        with pytest.raises(OSError, match="^Could not free port"):
            lib.kill(leaving.port)
        assert exit_signal(leaving) == signal.SIGTERM
        assert staying.process.poll() is None

    @pytest.mark.skipif(not sys.platform.startswith("linux"), reason="watches holders through pidfds")
    @pytest.mark.linux_only("the exit wake-up, which runs only on a Mac")
    def test_returns_soon_after_the_holder_exits(self, lib: ModuleType, start_child: Callable[..., Holder]) -> None:
        # Each holder exits 20 ms after a probe would be due, about 30 ms
        # before the next one: kill notices the exit itself instead. The
        # median of three keeps one slow scheduling round from deciding.
        lags = []
        for delay in ("0.02", "0.07", "0.12"):
            holder = start_child(_SLOW_HOLDER, unused_port(), delay)
            assert lib.kill(holder.port) is True
            returned = time.monotonic()
            assert holder.process.stdout is not None
            exited = float(holder.process.stdout.readline())
            assert holder.process.wait(timeout=10) == 0
            lags.append(returned - exited)
        assert min(lags) >= 0
        assert sorted(lags)[1] < 0.02


class TestNothingToSignal:
    def test_port_zero(self, lib: ModuleType) -> None:
        assert lib.kill(0) is True
        assert lib.kill(0, force=True) is True

    def test_free_port(self, lib: ModuleType) -> None:
        port = unused_port()
        assert lib.kill(port) is True
        assert port_is_bindable(port)

    @pytest.mark.skipif(
        shutil.which("setpriv") is None or os.geteuid() != 0,
        reason="starts a listener as root and calls kill as nobody",
    )
    def test_owner_hidden_from_the_caller(self, build: Build, start_child: Callable[..., Holder]) -> None:
        listener = start_child(_SLOW_HOLDER, unused_port(), "0")
        kind, message = kill_elsewhere(build, listener.port, prefix=AS_NOBODY).split("|")
        expected = {"OSError": not_freed(listener.port), "PermissionError": denied(listener.port)}
        assert expected.get(kind) == message
        assert listener.process.poll() is None
        assert not port_is_bindable(listener.port)


@needs_root_that_can_drop_kill
def test_holder_beyond_permission_is_refused(build: Build, start_child: Callable[..., Holder]) -> None:
    # Root without CAP_KILL still reads the descriptors of a holder run as
    # nobody, so it finds the holder, but the signal is refused.
    holder = start_child(_SLOW_HOLDER, unused_port(), "0", prefix=AS_NOBODY)
    assert kill_elsewhere(build, holder.port, prefix=WITHOUT_KILL) == f"PermissionError|{denied(holder.port)}"
    assert holder.process.poll() is None


class TestForceConversion:
    @pytest.mark.parametrize(
        ("force", "message"),
        [
            (1, "'int' object is not an instance of 'bool'"),
            (0, "'int' object is not an instance of 'bool'"),
            (None, "'None' is not an instance of 'bool'"),
            ("yes", "'str' object is not an instance of 'bool'"),
            ("", "'str' object is not an instance of 'bool'"),
            (1.0, "'float' object is not an instance of 'bool'"),
        ],
    )
    def test_refused_before_anything_is_signalled(
        self, lib: ModuleType, start_child: Callable[..., Holder], tmp_path: Path, force: object, message: str
    ) -> None:
        log = tmp_path / "holder.log"
        holder = start_child(_COUNTING_HOLDER, unused_port(), "tcp", str(log))
        with pytest.raises(TypeError) as caught:
            lib.kill(holder.port, force=force)
        assert caught.value.args == (message,)
        assert_note(caught.value, "while processing 'force'")
        assert not log.exists()
        assert holder.process.poll() is None

    def test_bad_port_is_reported_before_bad_force(self, lib: ModuleType) -> None:
        with pytest.raises(OverflowError) as caught:
            lib.kill(70000, force=1)
        assert_note(caught.value, "while processing 'port'")

    def test_bad_force_is_reported_for_port_zero(self, lib: ModuleType) -> None:
        with pytest.raises(TypeError) as caught:
            lib.kill(0, 1)
        assert_note(caught.value, "while processing 'force'")

    @pytest.mark.parametrize(
        ("force", "expected"),
        [(numpy.True_, signal.SIGKILL), (numpy.False_, signal.SIGTERM)],
    )
    def test_numpy_boolean(
        self, lib: ModuleType, held_port: Holder, force: numpy.bool_, expected: signal.Signals
    ) -> None:
        assert lib.kill(held_port.port, force=force) is True
        assert exit_signal(held_port) == expected

    @pytest.mark.parametrize("name", ["bool_", "bool"])
    @pytest.mark.parametrize(("truth", "expected"), [(True, signal.SIGKILL), (False, signal.SIGTERM)])
    def test_lookalike_judged_by_its_bool(
        self, lib: ModuleType, held_port: Holder, name: str, truth: bool, expected: signal.Signals
    ) -> None:
        lookalike = type(name, (), {"__module__": "numpy", "__bool__": lambda self: truth})
        assert lib.kill(held_port.port, force=lookalike()) is True
        assert exit_signal(held_port) == expected

    def test_lookalike_whose_bool_raises(
        self, lib: ModuleType, start_child: Callable[..., Holder], tmp_path: Path
    ) -> None:
        class Refusal(Exception):
            pass

        def refuse(self: object) -> bool:
            raise Refusal("no truth here")

        lookalike = type("bool_", (), {"__module__": "numpy", "__bool__": refuse})
        log = tmp_path / "holder.log"
        holder = start_child(_COUNTING_HOLDER, unused_port(), "tcp", str(log))
        with pytest.raises(Refusal) as caught:
            lib.kill(holder.port, force=lookalike())
        assert caught.value.args == ("no truth here",)
        assert_note(caught.value, "while processing 'force'")
        assert not log.exists()
        assert holder.process.poll() is None

    def test_lookalike_without_bool(self, lib: ModuleType, held_port: Holder) -> None:
        lookalike = type("bool_", (), {"__module__": "numpy"})
        with pytest.raises(TypeError) as caught:
            lib.kill(held_port.port, force=lookalike())
        assert caught.value.args == (f"object of type '{lookalike}' does not define a '__bool__' conversion",)
        assert_note(caught.value, "while processing 'force'")
        assert held_port.process.poll() is None

    @pytest.mark.parametrize(
        "attributes",
        [{"__module__": "numpy.typing"}, {"__module__": "mypackage"}],
    )
    def test_other_module_is_no_numpy_boolean(
        self, lib: ModuleType, held_port: Holder, attributes: dict[str, str]
    ) -> None:
        lookalike = type("bool_", (), {**attributes, "__bool__": lambda self: True})
        with pytest.raises(TypeError) as caught:
            lib.kill(held_port.port, force=lookalike())
        assert caught.value.args == ("'bool_' object is not an instance of 'bool'",)
        assert held_port.process.poll() is None
