"""kill's signalling step and wait, run directly through the test-only
extensions of the Linux core and of the macOS layer (see builds.py)."""

from __future__ import annotations

import re
import shutil
import signal
import sys
import tempfile
import textwrap
from collections.abc import Callable
from types import ModuleType
from typing import Any

import pytest

from builds import MACOS, NETLINK, Build, build_fixture
from conftest import (
    AS_NOBODY,
    WITHOUT_KILL,
    Holder,
    descriptor_count,
    in_subprocess,
    needs_root_that_can_drop_kill,
    unused_port,
)

build = build_fixture([NETLINK, MACOS])


@pytest.fixture
def hooks(build: Build) -> ModuleType:
    return build.module()

linux_only = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")

# A child listening on `port` that obeys one command per stdin line and
# answers "done" each time:
#   close   closes the listening socket;
#   file    puts /dev/null at the socket's descriptor number (closing the socket);
#   socket  puts a fresh, unbound socket at that number;
#   ping    nothing (shows that the child is still running).
_CHANGING_HOLDER = textwrap.dedent(
    """
    import os, socket, sys
    s = socket.socket()
    s.bind(("127.0.0.1", int(sys.argv[1])))
    s.listen()
    fd = s.fileno()
    keep = []
    print("ready", flush=True)
    for line in sys.stdin:
        command = line.strip()
        if command == "close":
            s.close()
        elif command == "file":
            os.dup2(os.open(os.devnull, os.O_RDONLY), fd)
        elif command == "socket":
            fresh = socket.socket()
            keep.append(fresh)
            os.dup2(fresh.fileno(), fd)
        print("done", flush=True)
    """
)

# A child listening on `port` that closes its socket on SIGTERM, says
# "released", and keeps running.
_RELEASING_LISTENER = textwrap.dedent(
    """
    import signal, socket, sys, time
    s = socket.socket()
    s.bind(("127.0.0.1", int(sys.argv[1])))
    s.listen()
    def release(signum, frame):
        s.close()
        print("released", flush=True)
    signal.signal(signal.SIGTERM, release)
    print("ready", flush=True)
    while True:
        time.sleep(60)
    """
)


def order(holder: Holder, command: str) -> None:
    """Has a child running _CHANGING_HOLDER obey `command`."""
    assert holder.process.stdin is not None and holder.process.stdout is not None
    holder.process.stdin.write(command + "\n")
    holder.process.stdin.flush()
    assert holder.process.stdout.readline().strip() == "done"


def assert_alive(holder: Holder) -> None:
    # A signal sent earlier would have ended it before it answers.
    order(holder, "ping")
    assert holder.process.poll() is None


@pytest.fixture
def changing_holder(start_child: Callable[..., Holder]) -> Holder:
    return start_child(_CHANGING_HOLDER, unused_port())


def record_of(hooks: ModuleType, holder: Holder) -> dict[str, Any]:
    """Kill's record of the holder, from its read of the socket table."""
    records = [r for r in hooks.holders(holder.port, False, False) if r["pid"] == holder.pid]
    assert len(records) == 1, records
    return dict(records[0])


@linux_only
class TestSignalHolder:
    @pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGKILL])
    def test_holder_as_found_is_signalled(
        self, hooks: ModuleType, held_port: Holder, signum: signal.Signals
    ) -> None:
        assert hooks.signal_holder(record_of(hooks, held_port), signum) == "delivered"
        assert held_port.process.wait(timeout=10) == -signum

    @pytest.mark.parametrize("change", ["close", "file", "socket"])
    def test_holder_that_let_the_socket_go_is_not_signalled(
        self, hooks: ModuleType, changing_holder: Holder, change: str
    ) -> None:
        record = record_of(hooks, changing_holder)
        order(changing_holder, change)
        assert hooks.signal_holder(record, signal.SIGTERM) == "gone"
        assert_alive(changing_holder)

    @pytest.mark.parametrize(
        "mismatch",
        [
            lambda record, other: {"socket_id": record["socket_id"] + 1},
            lambda record, other: {"socket_id": other["socket_id"]},
            lambda record, other: {"fd": record["fd"] + 100},
            lambda record, other: {"fd": -1},
            lambda record, other: {"pid": other["pid"]},
        ],
        ids=["socket_id-off-by-one", "socket_id-of-another", "fd-not-open", "fd-negative", "pid-of-another"],
    )
    def test_record_that_no_longer_matches_is_not_signalled(
        self,
        hooks: ModuleType,
        changing_holder: Holder,
        held_port: Holder,
        mismatch: Callable[[dict[str, Any], dict[str, Any]], dict[str, Any]],
    ) -> None:
        record = record_of(hooks, changing_holder)
        other = record_of(hooks, held_port)
        assert hooks.signal_holder({**record, **mismatch(record, other)}, signal.SIGTERM) == "gone"
        assert_alive(changing_holder)
        assert held_port.process.poll() is None

    def test_exited_holder_is_gone(self, hooks: ModuleType, held_port: Holder) -> None:
        record = record_of(hooks, held_port)
        held_port.stop()
        assert hooks.signal_holder(record, signal.SIGTERM) == "gone"

    @pytest.mark.parametrize("pid", [0, -1])
    def test_pid_that_names_a_group_is_never_signalled(
        self, hooks: ModuleType, held_port: Holder, pid: int
    ) -> None:
        # The null signal: harmless even if the guard were missing.
        assert hooks.signal_holder({**record_of(hooks, held_port), "pid": pid}, 0) == "failed"


# A call that sleeps or waits with a timeout: nanosleep, clock_nanosleep, or
# poll / ppoll with a timeout that is not 0.
_PAUSE = re.compile(r"(?:clock_)?nanosleep\(|\bpoll\(.*, (?!0\))-?\d+\)\s+=|\bppoll\((?!.*\{tv_sec=0, tv_nsec=0\})")


def pauses(build: Build, port: int) -> list[str]:
    """The pausing calls that stop_port_holders(port) makes, in a child traced by
    strace, between two sched_yield calls that mark the call's start and end."""
    if shutil.which("strace") is None:
        pytest.skip("needs strace")
    code = f"""
        import os, {build.module_name} as hooks
        os.sched_yield()
        outcome = hooks.stop_port_holders({port}, False)
        os.sched_yield()
        print(outcome)
        """
    with tempfile.NamedTemporaryFile("r", suffix=".strace") as log:
        traced = ("strace", "-f", "-qq", "-e", "signal=none", "-e", "trace=sched_yield,nanosleep,clock_nanosleep,poll,ppoll",
                  "-o", log.name)
        result = in_subprocess(code, prefix=traced)
        assert result.returncode == 0, result.stderr
        lines = log.read().splitlines()
    marks = [i for i, line in enumerate(lines) if "sched_yield()" in line]
    assert len(marks) == 2, lines
    return [line for line in lines[marks[0] + 1:marks[1]] if _PAUSE.search(line)]


@linux_only
class TestFreePort:
    @pytest.mark.parametrize(
        ("kinds", "outcome", "survives"),
        [
            ("tcp", "freed", False),
            ("tcp,udp,tcp6", "freed", False),
            ("tcp,ignore-term", "not_freed", True),
        ],
    )
    def test_outcome_and_no_descriptor_left_open(
        self, hooks: ModuleType, start_holder: Callable[..., Holder], kinds: str, outcome: str, survives: bool
    ) -> None:
        holder = start_holder(kinds=kinds)
        before = descriptor_count()
        assert hooks.stop_port_holders(holder.port, False) == outcome
        assert descriptor_count() == before
        assert (holder.process.poll() is None) == survives

    def test_port_released_before_the_search_counts_as_freed_without_waiting(
        self, build: Build, hooks: ModuleType, inside: None
    ) -> None:
        before = descriptor_count()
        assert hooks.stop_port_holders(unused_port(), False) == "freed"
        assert descriptor_count() == before
        # No pause: shown by the calls the search makes, not by a clock.
        assert pauses(build, unused_port()) == []

    def test_a_holder_that_stays_is_waited_for_with_pauses(
        self, build: Build, inside: None, start_holder: Callable[..., Holder]
    ) -> None:
        # The other side of the test above: the trace sees a wait.
        holder = start_holder(kinds="tcp,ignore-term")
        assert pauses(build, holder.port)

    def test_port_released_by_a_holder_that_stays(
        self, hooks: ModuleType, start_child: Callable[..., Holder]
    ) -> None:
        # The holder answers SIGTERM by closing its socket and running on: the
        # port comes free although no watched holder exits.
        holder = start_child(_RELEASING_LISTENER, unused_port())
        assert holder.process.stdout is not None
        assert hooks.stop_port_holders(holder.port, False) == "freed"
        assert holder.process.stdout.readline().strip() == "released"
        assert holder.process.poll() is None


@needs_root_that_can_drop_kill
class TestRefusal:
    """The caller runs as root without CAP_KILL: it can read the descriptors of
    a holder run as nobody, but may not signal it."""

    @pytest.fixture
    def nobody_holder(self, start_holder: Callable[..., Holder]) -> Holder:
        return start_holder(prefix=AS_NOBODY)

    def without_kill(self, code: str) -> str:
        result = in_subprocess(code, prefix=WITHOUT_KILL)
        assert result.returncode == 0, result.stderr
        return result.stdout.strip()

    def test_signal_is_refused(self, build: Build, hooks: ModuleType, nobody_holder: Holder) -> None:
        record = record_of(hooks, nobody_holder)
        answer = self.without_kill(
            f"""
            import {build.module_name} as hooks
            print(hooks.signal_holder({record!r}, 15))
            """
        )
        assert answer == "refused"
        assert nobody_holder.process.poll() is None

    def test_stop_port_holders_reports_permission_denied(self, build: Build, nobody_holder: Holder) -> None:
        answer = self.without_kill(
            f"""
            import {build.module_name} as hooks
            print(hooks.stop_port_holders({nobody_holder.port}, True))
            """
        )
        assert answer == "permission_denied"
        assert nobody_holder.process.poll() is None

    def test_refusal_beside_a_delivered_signal_waits(
        self, build: Build, nobody_holder: Holder, start_holder: Callable[..., Holder]
    ) -> None:
        ours = start_holder(nobody_holder.port, kinds="udp")
        answer = self.without_kill(
            f"""
            import {build.module_name} as hooks
            print(hooks.stop_port_holders({nobody_holder.port}, False))
            """
        )
        assert answer == "not_freed"
        assert ours.process.wait(timeout=10) == -signal.SIGTERM
        assert nobody_holder.process.poll() is None
