"""Repeated calls of the socket-table face leave nothing behind, measured as
test_leaks.py measures _lib (descriptors and the arguments' reference counts
exactly the same, live objects, allocated blocks, heap bytes and resident
memory within its bounds), on each path: answers, refused arguments, an
argument's own exception.

Iterations: 100,000 (CHEAP) where a call costs microseconds; READS (10,000)
where it reads the socket tables or /proc once (50-150 us a call); WALKS
(600, cut short after WALK_SECONDS on a loaded machine) where it walks every
process. The ports are those of test_leaks.py's fixture, in a network
namespace of this file's own."""

from __future__ import annotations

import math
import os
from collections.abc import Callable

import pytest

import private_network
import velmor
from test_leaks import CHEAP, WALK_SECONDS, WALKS, Index, Ports, answers, check_run, fresh_int, raises
from test_leaks import ports  # noqa: F401 - the fixture, used here too
from velmor import _table

pytestmark = pytest.mark.slow

READS = CHEAP // 10
Made = tuple[Callable[[], None], list[object]]


def on(name: str, make: Callable[[int, Ports], Callable[[], None]]) -> Callable[[Ports], Made]:
    """A path that gets one of the fixture's ports, as an int object of its own to watch."""

    def maker(p: Ports) -> Made:
        port = fresh_int(getattr(p, name))
        return make(port, p), [port]

    return maker


def plain(make: Callable[[], Callable[[], None]]) -> Callable[[Ports], Made]:
    return lambda p: (make(), [])


def watched(make: Callable[[object], Callable[[], None]], value: object) -> Callable[[Ports], Made]:
    """A path given `value`, whose reference count is watched."""
    return lambda p: (make(value), [value])


def own_pid(entry: object) -> bool:
    return entry == os.getpid()


def watch_at_rest(port: int, p: Ports) -> Callable[[], None]:
    """Looks of one watch after its first: the listener stays, nothing changes."""
    watch = _table.listener_watch(port)
    assert [change[0] for change in _table.watch_look(watch)] == ["present"]
    return answers(_table.watch_look, watch, expected=[])


def first_holders(changes: list[tuple[object, ...]]) -> list[object]:
    return [change[2][10][0][0] for change in changes]  # type: ignore[index]


CASES: dict[str, tuple[int, Callable[[Ports], Made]]] = {
    # Cheap: a trial bind, or no system call at all.
    "probe-free": (CHEAP, on("free", lambda port, p: answers(_table.probe, port, expected=0, rarely=lambda got: got != 0))),
    "probe-held": (CHEAP, on("held", lambda port, p: answers(_table.probe, port, expected=lambda error: error > 0))),
    "probe-out-of-range": (CHEAP, watched(lambda port: raises(_table.probe, port, kind=ValueError,
                                                               message="port 70000 is out of range 1-65535"), fresh_int(70000))),
    "probe-index-raises": (CHEAP, watched(lambda port: raises(_table.probe, port, kind=LookupError, message="from __index__"),
                                          Index(LookupError))),
    "checked": (CHEAP, on("free", lambda port, p: answers(
        _table.checked, ports=[port, p.held, port], timeout=port, kill_after=None, pids=(port,), udp=True,
        expected=([p.free, p.held], float(p.free), None, [p.free], True)))),
    "checked-nan": (CHEAP, watched(lambda nan: raises(_table.checked, timeout=nan, kind=ValueError,
                                                      message="timeout must be 0 or more seconds, not nan"), float("nan"))),
    "checked-bad-pid": (CHEAP, watched(lambda pids: raises(_table.checked, pids=pids, kind=TypeError,
                                                           message="pids: each pid must be an int, not str"), [1, "x"])),
    "checked-unexpected-keyword": (CHEAP, plain(lambda: raises(
        _table.checked, nope=1, kind=TypeError, message="checked() got an unexpected keyword argument 'nope'"))),
    "sockets-unexpected-keyword": (CHEAP, watched(lambda ports: raises(
        _table.sockets, ports, bogus=1, kind=TypeError, message="sockets() got an unexpected keyword argument 'bogus'"), [1])),
    "stop-dry-run-refused": (CHEAP, on("held", lambda port, p: raises(
        _table.stop, [port], dry_run=None, kind=TypeError, message="dry_run must be a bool, not NoneType"))),
    "stop-port-out-of-range": (CHEAP, watched(lambda ports: raises(
        _table.stop, ports, kind=ValueError, message="ports: port 0 is out of range 1-65535"), [1, 0])),
    "is_free-bool": (CHEAP, plain(lambda: raises(
        velmor.is_free, True, kind=TypeError, message="port must be an int, not bool"))),
    "package-stop-nan": (CHEAP, on("held", lambda port, p: raises(
        velmor.stop, port, kill_after=math.nan, dry_run=True, kind=ValueError,
        message="kill_after must be 0 or more seconds, not nan"))),
    # One read of the socket tables, or of this process's entries in /proc.
    "free_check": (READS, on("free", lambda port, p: answers(
        _table.free_check, [port, p.held], expected=[True, False]))),
    "sockets-without-holders": (READS, on("held", lambda port, p: answers(
        _table.sockets, [port], holders=False, expected=lambda found: [s[3] for s in found] == [p.held]))),
    "processes-own": (READS, plain(lambda: answers(
        _table.processes, [os.getpid()], expected=lambda found: own_pid(found[0][0])))),
    "pids_are_ours": (READS, plain(lambda: answers(_table.pids_are_ours, expected=lambda ours: type(ours) is bool))),
    "process_view": (READS, plain(lambda: answers(
        _table.process_view, expected=lambda view: view in ("every", "own-namespace", "foreign")))),
    "printable": (CHEAP, plain(lambda: answers(_table.printable, "\x1b\u202e", expected="\\x1b\\u202e"))),
    "printable-surrogate": (CHEAP, plain(lambda: answers(_table.printable, "\udcff", expected="\\udcff"))),
    "is_free-free": (READS, on("free", lambda port, p: answers(
        velmor.is_free, port, expected=True, rarely=lambda got: got is False))),
    "is_free-held": (READS, on("held", lambda port, p: answers(velmor.is_free, port, expected=False))),
    # A walk over every process.
    "sockets-with-holders": (WALKS, on("held", lambda port, p: answers(
        _table.sockets, port, expected=lambda found: [h[0] for h in found[0][10]] == [os.getpid()]))),
    "stop-dry-run": (WALKS, on("held", lambda port, p: answers(
        _table.stop, [port], dry_run=True, expected=lambda stop: [t[0] for t in stop[3][0][2]] == [os.getpid()]))),
    "process_tree-own": (WALKS, plain(lambda: answers(_table.process_tree, os.getpid(), expected=lambda tree: own_pid(tree[0])))),
    "status-held": (WALKS, on("held", lambda port, p: answers(velmor.status, port, expected=lambda s: s.state == "listening"))),
    "package-stop-dry-run": (WALKS, on("held", lambda port, p: answers(
        velmor.stop, port, dry_run=True, expected=lambda reports: reports[0].processes[0].outcome == "skipped"))),
    "reserve": (WALKS, plain(lambda: answers(_table.reserve, expected=lambda port: 0 < port < 65536))),
    "watch-at-rest": (READS, on("held", watch_at_rest)),
    # A new watch each time: its first look walks every process to name the holder.
    "watch-first-look": (WALKS, on("held", lambda port, p: answers(
        lambda port: first_holders(_table.watch_look(_table.listener_watch(port))), port, expected=[os.getpid()]))),
    "watch_look-not-a-watch": (CHEAP, watched(lambda value: raises(
        _table.watch_look, value, kind=TypeError, message="watch must be a watch from listener_watch(), not int"),
        fresh_int(3000))),
}


@pytest.mark.parametrize("name", list(CASES))
def test_path_leaves_nothing_behind(network: int | None, ports: Ports, name: str) -> None:
    iterations, make = CASES[name]
    with private_network.inside(network):
        call, objects = make(ports)
        check_run(call, iterations, objects, seconds=WALK_SECONDS if iterations == WALKS else None)
