"""Owner searches and kill when the system gets in the way: processes that
vanish in the middle of a pass, descriptors the caller may not read, a
netlink socket the system refuses, and a descriptor table with no room left.

Each case runs in a network namespace of its own where one can be made (see
private_network.py): only the test's own processes hold sockets there, so the
answers are exact and kill can reach nobody else.
"""

from __future__ import annotations

import json
import os
import platform
import subprocess
import sys
import textwrap
import threading
import time
from collections.abc import Callable, Iterator
from typing import Any

import pytest

import private_network
import velmor
from conftest import AS_NOBODY, Ghost, Holder, command_line, in_subprocess, not_freed, process_name, unused_ports

try:
    import _velmor_hooks as hooks
except ImportError:  # built by scripts/test only
    hooks = None


@pytest.fixture
def inside(network: int | None) -> Iterator[int | None]:
    """Runs the test (and every process it starts) in the namespace."""
    with private_network.inside(network):
        yield network


@pytest.fixture
def ghost(inside: int | None) -> Iterator[Ghost]:
    ghost = Ghost()
    yield ghost
    ghost.close()


def info_of(holder: Holder) -> dict[str, Any]:
    """What get_info should say of one of our holders, as the kernel shows it."""
    return {"pid": holder.pid, "name": process_name(holder.pid), "cmd": command_line(holder.pid)}


# --- processes that vanish mid-pass ------------------------------------------------

# Lives a few milliseconds, holding the churn port beside its siblings.
_SHORT_LIVED = """
import socket, sys
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
s.bind(("127.0.0.1", int(sys.argv[1])))
s.listen()
"""


@pytest.mark.slow
def test_processes_vanishing_mid_pass(
    inside: int | None, ghost: Ghost, start_holder: Callable[..., Holder]
) -> None:
    steady_port, churn_port = unused_ports(2)
    steady = start_holder(steady_port, "tcp,udp")
    expected = velmor.get_info(steady.port)
    assert expected is not None and expected["pid"] == steady.pid
    stop = threading.Event()
    churned: set[int] = set()
    problems: list[str] = []

    def churn(command: list[str]) -> None:
        if inside is not None:
            private_network.enter(inside)
        try:
            while not stop.is_set():
                process = subprocess.Popen(command)
                churned.add(process.pid)
                process.wait()
        except BaseException as error:  # noqa: BLE001 - reported to the test
            problems.append(repr(error))

    # Python children that hold the churn port for an instant, and a stream
    # of processes that exit at once: /proc entries come and go all the time.
    workers = [
        threading.Thread(target=churn, args=([sys.executable, "-c", _SHORT_LIVED, str(churn_port)],)),
        threading.Thread(target=churn, args=([sys.executable, "-c", _SHORT_LIVED, str(churn_port)],)),
        threading.Thread(target=churn, args=(["true"],)),
    ]
    for worker in workers:
        worker.start()
    passes = 0
    try:
        end = time.monotonic() + 4
        while time.monotonic() < end or passes < 20:
            # The ghost's port makes each of these passes walk every process.
            assert velmor.get_info(steady.port) == expected
            assert velmor.get_info(ghost.port) is None
            answers = velmor.scan([ghost.port, steady.port, churn_port, ghost.port])
            assert answers[ghost.port] is None and answers[steady.port] == expected
            churner = answers[churn_port]
            assert churner is None or churner["pid"] in churned
            if hooks is not None:
                for listening_only in (True, False):
                    owners = hooks.holders(steady.port, listening_only, False)
                    assert [owner["pid"] for owner in owners] == [steady.pid]
                    assert {owner["pid"] for owner in hooks.holders(churn_port, listening_only, False)} <= churned
            passes += 1
    finally:
        stop.set()
        for worker in workers:
            worker.join()
    assert problems == []
    assert len(churned) > 20, "too little churn to have disturbed a pass"
    assert steady.process.poll() is None


# --- a caller that may not read the holder's descriptors ---------------------------


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to run a listener that nobody may inspect")
def test_caller_that_cannot_read_the_holders_descriptors(inside: int | None, held_port: Holder) -> None:
    probe = in_subprocess("import velmor", prefix=AS_NOBODY)
    if probe.returncode != 0:
        pytest.skip(f"velmor cannot be imported as nobody here: {probe.stderr.strip()[-200:]}")
    result = in_subprocess(
        f"""
        import json, velmor
        port = {held_port.port}
        answers = {{"available": velmor.is_available(port), "info": velmor.get_info(port), "scan": velmor.scan([port, port])}}
        try:
            answers["kill"] = velmor.kill(port)
        except OSError as error:
            answers["kill"] = [type(error).__name__, *error.args]
        print(json.dumps(answers))
        """,
        prefix=AS_NOBODY,
    )
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == {
        "available": False,
        "info": None,
        "scan": {str(held_port.port): None},
        "kill": ["OSError", not_freed(held_port.port)],
    }
    assert held_port.process.poll() is None
    assert velmor.get_info(held_port.port) == info_of(held_port)


# --- netlink refused at run time -----------------------------------------------------

# A seccomp filter that makes socket(AF_NETLINK, ...) fail with EPERM and
# allows everything else: the shipped module must fall back to /proc/net.
_NO_NETLINK = """
import ctypes, socket, struct
ARCH, SOCKET = {arch}, {socket_call}
def statement(code, k, jt=0, jf=0):
    return struct.pack("HBBI", code, jt, jf, k)
LOAD, JUMP_IF_EQUAL, RETURN = 0x20, 0x15, 0x06
program = b"".join([
    statement(LOAD, 4),                          # seccomp_data.arch
    statement(JUMP_IF_EQUAL, ARCH, 0, 4),
    statement(LOAD, 0),                          # seccomp_data.nr
    statement(JUMP_IF_EQUAL, SOCKET, 0, 2),
    statement(LOAD, 16),                         # the low half of args[0]
    statement(JUMP_IF_EQUAL, socket.AF_NETLINK, 1, 0),
    statement(RETURN, 0x7FFF0000),               # allow
    statement(RETURN, 0x00050000 | 1),           # fail with EPERM
])
buffer = ctypes.create_string_buffer(program)
fprog = struct.pack("HxxxxxxP", len(program) // 8, ctypes.addressof(buffer))
libc = ctypes.CDLL(None, use_errno=True)
assert libc.prctl(38, 1, 0, 0, 0) == 0                       # PR_SET_NO_NEW_PRIVS
assert libc.prctl(22, 2, ctypes.c_char_p(fprog), 0, 0) == 0  # PR_SET_SECCOMP, filter
try:
    socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM, 4)
    raise SystemExit("netlink still allowed")
except PermissionError:
    pass
"""

_SECCOMP = {"x86_64": (0xC000003E, 41), "aarch64": (0xC00000B7, 198)}


@pytest.mark.skipif(platform.machine() not in _SECCOMP, reason="the filter knows x86_64 and aarch64 only")
def test_refused_netlink_falls_back_to_proc_net(
    inside: int | None,
    ghost: Ghost,
    start_holder: Callable[..., Holder],
) -> None:
    tcp_port, six_port, udp_port, victim_port, free_port = unused_ports(5)
    tcp = start_holder(tcp_port, "tcp")
    six = start_holder(six_port, "dual-stack")  # IPv4 too, found only in the tcp6 table
    start_holder(udp_port, "udp")
    victim = start_holder(victim_port, "tcp,udp")
    ports = [tcp.port, six_port, udp_port, ghost.port, free_port, 0]
    arch, call = _SECCOMP[platform.machine()]
    code = _NO_NETLINK.format(arch=arch, socket_call=call) + textwrap.dedent(
        f"""
        import json, velmor
        ports = {ports!r}
        print(json.dumps({{
            "info": [velmor.get_info(port) for port in ports],
            "scan": velmor.scan(ports),
            "kill": velmor.kill({victim.port}),
        }}))
        """
    )
    result = in_subprocess(code)
    assert result.returncode == 0, result.stderr

    # The listeners' owners (IPv4 and IPv6 tables), then None for the port
    # held by UDP alone, the ghost's port, a free port and 0: what this
    # process, whose netlink works, answers too.
    answers = json.loads(result.stdout)
    expected_info = [info_of(tcp), info_of(six), None, None, None, None]
    assert [velmor.get_info(port) for port in ports] == expected_info
    assert answers["info"] == expected_info
    assert answers["scan"] == {str(port): info for port, info in zip(ports, expected_info)}
    # kill searches every table, the UDP ones too, and frees the port.
    assert answers["kill"] is True
    assert victim.process.wait(timeout=10) == -15


# --- no descriptor left ------------------------------------------------------------

# Runs each function with the descriptor table full but for `room` slots, for
# room = 0 to ROOM, and prints one JSON line of answers per room; kill is
# given a holder of its own each time.
_NO_ROOM = """
import json, os, resource, sys, velmor
held, free, victims = {held}, {free}, {victims}
resource.setrlimit(resource.RLIMIT_NOFILE, (128, 128))
hog = []
def fill():
    try:
        while True:
            hog.append(os.open("/dev/null", os.O_RDONLY))
    except OSError:
        pass
def outcome(call):
    try:
        return call()
    except OSError as error:
        return [type(error).__name__, *error.args]
for room, victim in enumerate(victims):
    fill()
    for _ in range(room):
        os.close(hog.pop())
    answers = {{
        "room": room,
        "available held": velmor.is_available(held),
        "available free": velmor.is_available(free),
        "wait free": velmor.wait_until_free(free, 0),
        "find_free": outcome(lambda: velmor.find_free(free)),
        "find_free any": outcome(lambda: type(velmor.find_free()).__name__),
        "info": velmor.get_info(held),
        "scan": velmor.scan([held, free]),
        "kill": outcome(lambda: velmor.kill(victim)),
    }}
    fill()
    print(json.dumps(answers), flush=True)
"""

ROOM = 8


@pytest.mark.slow
def test_descriptor_table_full(inside: int | None, start_holder: Callable[..., Holder]) -> None:
    held_port, free_port, *victim_ports = unused_ports(2 + ROOM + 1)
    held = start_holder(held_port)
    victims = [start_holder(port) for port in victim_ports]
    code = _NO_ROOM.format(held=held.port, free=free_port, victims=[v.port for v in victims])
    result = in_subprocess(code, timeout=120)
    assert result.returncode == 0, result.stderr
    rows = [json.loads(line) for line in result.stdout.splitlines()]
    assert [row["room"] for row in rows] == list(range(ROOM + 1))

    expected = info_of(held)
    for row, victim in zip(rows, victims):
        room = row["room"]
        # A probe needs one descriptor; without it every port reads as taken.
        assert row["available held"] is False
        assert row["available free"] is (room > 0), row
        assert row["wait free"] is (room > 0), row
        assert row["find_free"] == (free_port if room else ["OSError", "Could not find a free port"]), row
        assert row["find_free any"] == ("int" if room else ["OSError", "Could not find a free port"]), row
        # A search that cannot open what it needs finds nobody; one that can
        # finds the holder. Nothing else may come back.
        assert row["info"] in (None, expected), row
        assert row["scan"] in ({str(held.port): None, str(free_port): None}, {str(held.port): expected, str(free_port): None}), row
        # kill frees the port (its holder ended) or says it could not; never
        # anything else, and never a holder ended without saying so.
        if row["kill"] is True:
            assert victim.process.wait(timeout=10) in (-15, -9), row
        else:
            assert row["kill"] == ["OSError", not_freed(victim.port)], row
            assert victim.process.poll() is None, row
    # With room enough, every answer is the full one.
    last = rows[-1]
    assert last["info"] == expected and last["kill"] is True
    assert held.process.poll() is None
