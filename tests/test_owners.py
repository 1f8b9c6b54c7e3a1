"""Who holds a port, as the socket table's reads find it, run directly
through the test hooks: which processes count as holding a port, in which
order, and what is reported about them. `holders(port, listening_only,
first_named)` is the read that kill makes (all sockets, every holder) or
that get_info makes (listeners, the first holder with a name);
`first_owners(ports)` is scan's read of many ports at once.
Every case runs against both socket table readers of the Linux core (netlink
and /proc/net) and against the macOS layer over its emulation (see builds.py)."""

from __future__ import annotations

import os
import shutil
import sysconfig
import socket
import subprocess
import sys
import threading
from collections.abc import Callable
from pathlib import Path
from types import ModuleType
from typing import Any

import pytest

from builds import MACOS, NETLINK, OWNER_BUILDS, PROC_NET, Build, build_fixture
from conftest import Holder, raw_command_line, unused_port, unused_ports

# The two kinds of sockets a read looks for, by its listening_only flag.
MODES = [pytest.param(True, id="listening"), pytest.param(False, id="all")]


build = build_fixture(OWNER_BUILDS)


@pytest.fixture
def hooks(build: Build) -> ModuleType:
    return build.module()


def proc_order() -> list[int]:
    """The pids in the order the /proc directory lists them."""
    return [int(entry) for entry in os.listdir("/proc") if entry.isdigit()]


def socket_inode(pid: int, fd: int) -> int:
    link = os.readlink(f"/proc/{pid}/fd/{fd}")
    assert link.startswith("socket:["), link
    return int(link[len("socket:[") : -1])


def owner(hooks: ModuleType, port: int) -> dict[str, Any] | None:
    """The owner get_info reports for `port` (without its probe), as a record."""
    found = hooks.holders(port, True, True)
    assert len(found) <= 1, found
    return found[0] if found else None


def pids(owners: list[dict[str, Any]]) -> list[int]:
    return [owner["pid"] for owner in owners]


def program_named(directory: Path, name: str) -> Path:
    """A copy of the interpreter under `name`, so that the executable itself
    bears the name (a symbolic link would leave the target's name to it)."""
    program = directory / name
    shutil.copy(os.path.realpath(sys.executable), program)
    # An interpreter that finds its shared libpython by a path relative to
    # itself (the test matrix's copies do) needs it named for the copy; the
    # children of this test process inherit the setting, harmlessly.
    libdir = os.path.join(sys.base_prefix, "lib")
    if not os.path.isdir(libdir):
        libdir = sysconfig.get_config_var("LIBDIR")
    if sysconfig.get_config_var("Py_ENABLE_SHARED") and libdir:
        paths = os.environ.get("LD_LIBRARY_PATH", "").split(os.pathsep)
        if libdir not in paths:
            os.environ["LD_LIBRARY_PATH"] = os.pathsep.join([libdir, *filter(None, paths)])
    return program


class TestWhoHoldsAPort:
    @pytest.mark.parametrize("listening_only", MODES)
    def test_listener_is_reported_as_the_kernel_shows_it(
        self, build: Build, hooks: ModuleType, start_holder: Callable[..., Holder], listening_only: bool
    ) -> None:
        port = unused_port()
        child = start_holder(port, "tcp")
        owners = hooks.holders(port, listening_only, False)
        assert owners == [
            {
                "pid": child.pid,
                "name": build.name(child.pid),
                "cmd": build.cmd(child.pid),
                "fd": child.fds[0],
                "socket_id": socket_inode(child.pid, child.fds[0]),
            }
        ]
        assert owner(hooks, port) == owners[0]

    @pytest.mark.parametrize("listening_only", MODES)
    def test_free_port_has_no_owner(self, hooks: ModuleType, listening_only: bool) -> None:
        port = unused_port()
        assert hooks.holders(port, listening_only, False) == []
        assert owner(hooks, port) is None

    @pytest.mark.parametrize("listening_only", MODES)
    @pytest.mark.parametrize("kinds", ["tcp,tcp6", "tcp6,tcp", "any,udp"])
    def test_one_record_per_process_at_its_first_counting_socket(
        self, hooks: ModuleType, start_holder: Callable[..., Holder], kinds: str, listening_only: bool
    ) -> None:
        port = unused_port()
        child = start_holder(port, kinds)
        owners = hooks.holders(port, listening_only, False)
        assert pids(owners) == [child.pid]
        # Descriptors are examined in ascending order; the first socket opened counts first.
        assert owners[0]["fd"] == child.fds[0]
        assert owners[0]["socket_id"] == socket_inode(child.pid, child.fds[0])

    @pytest.mark.parametrize("listening_only", MODES)
    def test_processes_sharing_a_port_come_in_process_list_order(
        self, hooks: ModuleType, start_holder: Callable[..., Holder], listening_only: bool
    ) -> None:
        port = unused_port()
        children = {start_holder(port, "reuseport").pid, start_holder(port, "reuseport").pid}
        expected = [pid for pid in proc_order() if pid in children]
        assert pids(hooks.holders(port, listening_only, False)) == expected
        assert owner(hooks, port)["pid"] == expected[0]

    @pytest.mark.parametrize("kinds", ["udp", "connected"])
    def test_non_listeners_count_only_for_all_sockets(
        self, hooks: ModuleType, start_holder: Callable[..., Holder], kinds: str
    ) -> None:
        port = unused_port()
        child = start_holder(port, kinds)
        assert pids(hooks.holders(port, False, False)) == [child.pid]
        assert hooks.holders(port, True, False) == []
        assert owner(hooks, port) is None

    @pytest.mark.parametrize("protocol", [socket.IPPROTO_TCP, socket.IPPROTO_UDP])
    def test_raw_socket_never_counts(
        self, hooks: ModuleType, start_holder: Callable[..., Holder], protocol: int
    ) -> None:
        try:
            socket.socket(socket.AF_INET, socket.SOCK_RAW, protocol).close()
        except PermissionError:
            pytest.skip("raw sockets need CAP_NET_RAW")
        child = start_holder(0, f"raw-{protocol}")
        assert child.pid not in pids(hooks.holders(protocol, False, False))

    @pytest.mark.parametrize("listening_only", MODES)
    def test_the_searching_process_finds_itself(self, hooks: ModuleType, listening_only: bool) -> None:
        with socket.socket() as own:
            own.bind(("127.0.0.1", 0))
            own.listen()
            port = own.getsockname()[1]
            owners = hooks.holders(port, listening_only, False)
            assert pids(owners) == [os.getpid()]
            assert owners[0]["fd"] == own.fileno()
            assert owners[0]["socket_id"] == os.fstat(own.fileno()).st_ino

    @pytest.mark.linux_only("network namespaces")
    def test_other_network_namespace_does_not_count(
        self, hooks: ModuleType, start_holder: Callable[..., Holder]
    ) -> None:
        unshare = shutil.which("unshare")
        if unshare is None:
            pytest.skip("needs unshare")
        port = unused_port()
        try:
            elsewhere = start_holder(port, "any", prefix=(unshare, "-n"))
        except RuntimeError:
            pytest.skip("cannot create a network namespace here")
        assert elsewhere.pid not in pids(hooks.holders(port, False, False))
        here = start_holder(port, "tcp")
        assert pids(hooks.holders(port, False, False)) == [here.pid]
        assert owner(hooks, port)["pid"] == here.pid


class TestWhatIsReported:
    @pytest.mark.parametrize(
        ("program", "comm_hex"),
        [
            # Executed under a long name: Linux keeps 15 bytes of it, macOS 32.
            pytest.param("velmor-owner-search-with-a-long-name", None, id="long-program-name"),
            # A 15-byte comm that the program name does not start with stays as it is.
            pytest.param(
                "python3", b"unrelated-name!".hex(), id="unrelated-comm", marks=pytest.mark.linux_only("setting comm")
            ),
            # A program name cut inside a character, at 15 bytes and at 32.
            pytest.param("velmor-" + "€" * 9 + "-name", None, id="cut-inside-a-character"),
        ],
    )
    def test_name_completes_a_cut_name_from_the_program(
        self, hooks: ModuleType, start_holder: Callable[..., Holder], tmp_path: Path, program: str, comm_hex: str | None
    ) -> None:
        executable = program_named(tmp_path, program)
        port = unused_port()
        child = start_holder(port, "tcp" if comm_hex is None else f"tcp,name-{comm_hex}", executable=executable)
        comm = Path(f"/proc/{child.pid}/comm").read_bytes().rstrip(b"\n")
        assert len(comm) == 15
        expected = program if comm_hex is None else comm.decode()
        # As get_info reports it, and as kill's read names it.
        assert [(o["pid"], o["name"]) for o in hooks.holders(port, True, True)] == [(child.pid, expected)]
        assert [(o["pid"], o["name"]) for o in hooks.holders(port, False, False)] == [(child.pid, expected)]

    @pytest.mark.parametrize(
        "named_by", ["executable", pytest.param("comm", marks=pytest.mark.linux_only("setting comm"))]
    )
    def test_holder_with_a_name_that_is_not_utf8_is_left_out(
        self, hooks: ModuleType, start_holder: Callable[..., Holder], tmp_path: Path, named_by: str
    ) -> None:
        bad_name = b"bad-\xff-name"
        port = unused_port()
        if named_by == "executable":
            child = start_holder(port, "tcp", executable=program_named(tmp_path, os.fsdecode(bad_name)))
        else:
            child = start_holder(port, "tcp,name-" + bad_name.hex())
        for listening_only in (True, False):
            assert hooks.holders(port, listening_only, True) == []
        assert owner(hooks, port) is None
        # A stop needs no name: kill's read still finds the holder.
        assert pids(hooks.holders(port, False, False)) == [child.pid]

    @pytest.mark.linux_only("setting comm")
    @pytest.mark.parametrize("unnamed_first", [True, False], ids=["unnamed-first", "unnamed-second"])
    def test_unnamed_holder_passes_the_port_to_the_next_in_walk_order(
        self, hooks: ModuleType, start_holder: Callable[..., Holder], unnamed_first: bool
    ) -> None:
        port = unused_port()
        unnamed_kinds, named_kinds = "reuseport,name-" + b"bad-\xff-name".hex(), "reuseport"
        first = start_holder(port, unnamed_kinds if unnamed_first else named_kinds)
        second = start_holder(port, named_kinds if unnamed_first else unnamed_kinds)
        named = second if unnamed_first else first
        walked = [pid for pid in proc_order() if pid in (first.pid, second.pid)]
        # get_info's read names the named one, wherever it comes in the walk;
        # kill's read and the table's keep both, in the walk's order.
        assert owner(hooks, port)["pid"] == named.pid
        assert hooks.first_owners([port, port])[0]["pid"] == named.pid
        assert pids(hooks.holders(port, True, False)) == walked
        assert pids(hooks.holders(port, False, False)) == walked

    def test_cmd_that_is_not_utf8_is_empty(
        self, hooks: ModuleType, start_holder: Callable[..., Holder], tmp_path: Path
    ) -> None:
        directory = tmp_path / os.fsdecode(b"not-\xff-utf8")
        directory.mkdir()
        port = unused_port()
        child = start_holder(port, "tcp", executable=program_named(directory, "velmor-holder"))
        [reported] = hooks.holders(port, True, True)
        assert (reported["pid"], reported["name"], reported["cmd"]) == (child.pid, "velmor-holder", "")

    @pytest.mark.parametrize(
        "argument",
        [
            pytest.param("", id="empty-argument"),
            pytest.param("two  spaces", id="spaces"),
            pytest.param(b"not-\xff-utf8", id="not-utf8"),
            pytest.param("é" * 3000, id="longer-than-kept"),
            pytest.param("x" + "é" * 3000, id="longer-than-kept-odd"),
        ],
    )
    @pytest.mark.linux_only("the command line")
    def test_cmd_is_the_command_line_as_utf8(
        self, hooks: ModuleType, start_holder: Callable[..., Holder], argument: str | bytes
    ) -> None:
        port = unused_port()
        child = start_holder(port, "tcp", extra_args=(argument,))
        raw = raw_command_line(child.pid)
        [reported] = hooks.holders(port, True, True)
        cmd: str = reported["cmd"]
        encoded = cmd.encode()
        try:
            full = raw.decode()
        except UnicodeDecodeError:
            assert cmd == ""
            return
        if len(raw) <= 4095:
            assert cmd == full
        else:
            # Cut to at most 4095 bytes, and only between characters.
            assert len(encoded) <= 4095
            assert raw.startswith(encoded)
            assert len(encoded) > 4095 - 4


class TestOnePassForManyPorts:
    def test_each_entry_equals_the_single_port_search(
        self, hooks: ModuleType, start_holder: Callable[..., Holder]
    ) -> None:
        shared, udp_only, connected, free, only, only_second = unused_ports(6)
        start_holder(shared, "reuseport")
        start_holder(shared, "reuseport")
        start_holder(udp_only, "udp")
        start_holder(connected, "connected")
        start_holder(only, "tcp")
        second = start_holder(only_second, "tcp")
        ports = [only, free, shared, udp_only, connected, only_second, shared, only]
        answers = hooks.first_owners(ports)
        assert answers == [owner(hooks, port) for port in ports]
        assert answers[2]["pid"] == [pid for pid in proc_order() if pid in pids(hooks.holders(shared, True, False))][0]
        assert answers[5]["pid"] == second.pid
        assert answers[1] is None and answers[3] is None and answers[4] is None

    def test_one_process_owns_several_ports(self, hooks: ModuleType, start_holder: Callable[..., Holder]) -> None:
        shared, own_only = unused_ports(2)
        with socket.socket() as first, socket.socket() as second:
            first.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
            first.bind(("127.0.0.1", shared))
            first.listen()
            second.bind(("127.0.0.1", own_only))
            second.listen()
            child = start_holder(shared, "reuseport")
            answers = hooks.first_owners([shared, own_only])
            expected = [pid for pid in proc_order() if pid in (child.pid, os.getpid())][0]
            assert [answer["pid"] for answer in answers] == [expected, os.getpid()]
            assert answers == [owner(hooks, shared), owner(hooks, own_only)]

    def test_wide_range_matches_single_searches(self, hooks: ModuleType, start_holder: Callable[..., Holder]) -> None:
        held_ports = unused_ports(3)
        held = [start_holder(port, "tcp") for port in held_ports]
        low = max(1, min(held_ports) - 60)
        ports = list(range(low, min(65536, low + 120)))
        ports += [port for port in held_ports if port not in ports]
        answers = dict(zip(ports, hooks.first_owners(ports)))
        for port in ports:
            assert answers[port] == owner(hooks, port), port
        assert [answers[port]["pid"] for port in held_ports] == [child.pid for child in held]

    def test_all_ports_at_once(self, hooks: ModuleType, start_holder: Callable[..., Holder]) -> None:
        port = unused_port()
        child = start_holder(port, "tcp")
        answers = hooks.first_owners(range(1, 65536))
        assert len(answers) == 65535
        assert answers[port - 1] == owner(hooks, port)
        assert answers[port - 1]["pid"] == child.pid

    def test_no_ports(self, hooks: ModuleType) -> None:
        assert hooks.first_owners([]) == []


def where_held(owners: list[dict[str, Any]]) -> list[tuple[int, int, int]]:
    return [(owner["pid"], owner["fd"], owner["socket_id"]) for owner in owners]


def test_builds_agree(start_holder: Callable[..., Holder]) -> None:
    netlink, proc_net, macos = NETLINK.module(), PROC_NET.module(), MACOS.module()
    kinds = ("tcp,tcp6", "udp", "connected", "any", "dual-stack")
    *fixture_ports, shared, free = unused_ports(len(kinds) + 2)
    for kind, port in zip(kinds, fixture_ports):
        start_holder(port, kind)
    start_holder(shared, "reuseport")
    start_holder(shared, "reuseport")
    ports = [*fixture_ports, shared, free]
    for listening_only in (True, False):
        for port in ports:
            found = netlink.holders(port, listening_only, False)
            assert found == proc_net.holders(port, listening_only, False), (port, listening_only)
            # The macOS build names processes otherwise, but finds the same sockets in the same holders.
            assert where_held(found) == where_held(macos.holders(port, listening_only, False)), (port, listening_only)
    first = netlink.first_owners(ports)
    assert first == proc_net.first_owners(ports)
    assert [owner and owner["pid"] for owner in first] == [
        owner and owner["pid"] for owner in macos.first_owners(ports)
    ]


def test_processes_exiting_during_the_pass(
    build: Build, hooks: ModuleType, start_holder: Callable[..., Holder]
) -> None:
    port = unused_port()
    holder = start_holder(port, "reuseport")
    stop = threading.Event()

    # Short-lived processes, holding the same port, come and go while the
    # search runs. The kernel's text tables are read a page at a time and
    # resume by position, so a listener that leaves the same hash bucket
    # between two reads can hide its neighbour for that read: the /proc/net
    # reader gets its churn on another port.
    churn_port = unused_port() if build is PROC_NET else port

    def churn() -> None:
        code = "import socket,sys; s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1);"
        code += f"s.bind(('127.0.0.1', {churn_port})); s.listen()"
        while not stop.is_set():
            subprocess.run([sys.executable, "-c", code], check=False)
            subprocess.run(["true"], check=False)

    workers = [threading.Thread(target=churn) for _ in range(2)]
    for worker in workers:
        worker.start()
    try:
        for _ in range(10):
            for listening_only in (True, False):
                owners = hooks.holders(port, listening_only, False)
                assert holder.pid in pids(owners)
                assert len(set(pids(owners))) == len(owners)
            assert hooks.first_owners([port])[0] is not None
    finally:
        stop.set()
        for worker in workers:
            worker.join()
