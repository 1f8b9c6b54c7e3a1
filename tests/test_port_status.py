"""The engine's classification of a port and its texts for people, on
socket tables made up for the case: the ranking of the possible holders,
the evidence by process view, plural forms, unknown users, escaped names,
and what a trial bind decides when no socket does."""

from __future__ import annotations

import errno
import os
import pickle
from collections.abc import Callable

import pytest

import velmor
from builds import NETLINK
from conftest import Holder

LISTEN, ESTABLISHED, FIN_WAIT2, TIME_WAIT, BOUND = 10, 1, 5, 6, 7
NOBODY = 4_000_000  # a uid that names no user
PORT = 5000

root_only = pytest.mark.skipif(os.geteuid() != 0, reason="the evidence is told to root only")


def statuses_of(sockets: list[tuple[object, ...]], unreadable: list[tuple[object, ...]] = (), view: str = "every",
                probe_errors: list[int] | None = None, lasting: bool = False, ports: list[int] = [PORT]) -> list[tuple]:
    hooks = NETLINK.module()
    return hooks.statuses_of(ports, sockets, list(unreadable), view, probe_errors or [0] * len(ports), lasting)


def one(*args: object, **kwargs: object) -> tuple:
    (port, state, reason, owner, sockets, probe_error, hidden, candidates, texts, _) = statuses_of(*args, **kwargs)[0]
    return state, reason, hidden, [c[0] for c in candidates], texts


@root_only
@pytest.mark.parametrize(
    ("socket_uid", "ranked", "named"),
    [
        # The socket's user first, each group by pid; the fourth is counted, not named.
        (NOBODY, [10, 40, 20, 30], f"a (pid 10, uid {NOBODY}), d (pid 40, uid {NOBODY}), b (pid 20, an unknown user) and 1 more"),
        # A socket whose owner is not recorded ranks the processes whose user is not known first.
        (None, [20, 10, 30, 40], f"b (pid 20, an unknown user), a (pid 10, uid {NOBODY}), c (pid 30, user root) and 1 more"),
    ],
)
def test_possible_holders_are_ranked_by_the_sockets_user_then_pid(
    socket_uid: int | None, ranked: list[int], named: str
) -> None:
    unreadable = [(30, "c", 0), (10, "a", NOBODY), (20, "b", None), (40, "d", NOBODY)]
    state, reason, hidden, candidates, texts = one([("tcp", LISTEN, PORT, socket_uid, 77, [])], unreadable)
    assert (state, reason, hidden, candidates) == ("listening", "hidden-owner", "unreadable", ranked)
    assert texts[0] == f"listening, held by one of the processes whose descriptors cannot be read: {named}"
    assert texts[4] == named


@root_only
@pytest.mark.parametrize(
    ("view", "unreadable", "hidden", "why"),
    [
        ("foreign", [(3, "x", 0)], "other-pid-namespace",
         f"held by a process of uid {NOBODY} that is not visible here: it runs in another pid namespace (a container)"),
        ("own-namespace", [], "other-pid-namespace",
         f"held by a process of uid {NOBODY} that is not visible here: it runs in another pid namespace (a container)"),
        ("own-namespace", [(3, "x", 0)], "unreadable",
         "held by one of the processes whose descriptors cannot be read: x (pid 3, user root)"),
        ("every", [], "no-process", "held by no process (in flight between processes, or kept by the kernel)"),
    ],
)
def test_the_evidence_follows_the_process_view(view: str, unreadable: list[tuple[object, ...]], hidden: str, why: str) -> None:
    # A connection that no visible process holds: the same evidence as for a listener.
    sockets = [("tcp", ESTABLISHED, PORT, NOBODY, 77, [])]
    state, reason, said, _, texts = one(sockets, unreadable, view)
    assert (state, reason, said) == ("busy", "connection", hidden)
    assert texts[0] == f"busy: held by a connection (established), {why}"


@pytest.mark.parametrize("count", [1, 2, 3])
def test_connections_left_closing_on_a_free_port_are_counted(count: int) -> None:
    sockets = [("tcp", FIN_WAIT2, PORT, 0, 0, [])] * count
    state, reason, _, _, texts = one(sockets)
    assert (state, reason, texts[0]) == ("free", None, "free")
    plural = "s" if count > 1 else ""
    assert texts[1] == (f"{count} closing connection{plural} on {PORT} held by no process (the kernel ends them, "
                        "within tcp_fin_timeout); a server that sets SO_REUSEADDR binds the port now")


def test_a_connection_still_held_after_its_close_is_no_lingering_one() -> None:
    # FIN-WAIT-2 with an identity: its process still holds it.
    state, reason, _, _, texts = one([("tcp", FIN_WAIT2, PORT, 0, 9, [(4, "srv", 0)])])
    assert (state, reason, texts[0], texts[1]) == (
        "busy", "connection", "busy: held by a connection (fin-wait-2) of srv (pid 4), not a listener", None)
    state, _, _, _, texts = one([("tcp", BOUND, PORT, 0, 9, [(4, "srv", 0)])])
    assert texts[0] == "busy: held by a bound socket of srv (pid 4), not a listener"


@pytest.mark.parametrize(
    ("name", "shown"),
    [
        ("evil\x1b]0;pwned\x07\nforged", "evil\\x1b]0;pwned\\x07\\nforged"),
        ("\u202eexe.txt", "\\u202eexe.txt"),
        ("", "?"),
        ("plain", "plain"),
    ],
)
def test_names_in_the_texts_are_escaped(name: str, shown: str) -> None:
    _, _, _, _, texts = one([("tcp", LISTEN, PORT, 0, 7, [(9, name, 0)]), ("udp", BOUND, PORT, 0, 8, [(9, name, 0)])])
    assert texts[0] == f"listening: {shown} (pid 9)"
    assert texts[2] == f"UDP on {PORT} too: {shown} (pid 9)"


def test_the_udp_note_names_each_holder_once() -> None:
    udp = [("udp", BOUND, PORT, 0, 8, [(4, "dns", 0), (6, "relay", 0)]), ("udp", ESTABLISHED, PORT, 0, 9, [(4, "dns", 0)])]
    assert one(udp)[4][2] == f"UDP on {PORT} too: dns (pid 4), relay (pid 6)"
    assert one([("udp", BOUND, PORT, 0, 8, [])])[4][2] == f"UDP on {PORT} too: not visible"
    assert one([])[4][2] is None


@pytest.mark.parametrize(
    ("sockets", "error", "lasting", "state", "reason", "line"),
    [
        ([], 0, False, "free", None, "free"),
        # A bind that meets a socket of a moment while two reads saw none: free.
        ([], errno.EADDRINUSE, True, "free", None, "free"),
        ([], errno.EADDRINUSE, False, "busy", "unknown",
         "busy: no socket holds it in this network namespace, yet a bind on 127.0.0.1 fails: Address already in use"),
        ([], errno.EACCES, True, "busy", "unknown",
         "busy: no socket holds it in this network namespace, yet a bind on 127.0.0.1 fails: Permission denied "
         "(ports below the unprivileged limit need privileges)"),
        ([("tcp", TIME_WAIT, PORT, 0, 0, [])], errno.EADDRINUSE, True, "busy", "time-wait",
         "busy: only TIME-WAIT sockets of closed connections remain (they end within a minute); "
         "their sockets did not set SO_REUSEADDR, so no bind can take them over"),
        ([("tcp", TIME_WAIT, PORT, 0, 0, []), ("tcp", FIN_WAIT2, PORT, 0, 0, [])], errno.EADDRINUSE, False, "busy",
         "closing", "busy: only closing connections remain, held by no process (the kernel ends them, within "
         "tcp_fin_timeout); their sockets did not set SO_REUSEADDR, so no bind can take them over"),
    ],
)
def test_the_trial_bind_decides_what_no_holder_does(
    sockets: list[tuple[object, ...]], error: int, lasting: bool, state: str, reason: str | None, line: str
) -> None:
    said = statuses_of(sockets, probe_errors=[error], lasting=lasting)[0]
    assert (said[1], said[2], said[5], said[8][0]) == (state, reason, error if state == "busy" else 0, line)


def test_each_port_gets_its_own_sockets_in_the_order_asked() -> None:
    sockets = [("tcp", LISTEN, 7001, 0, 1, [(5, "a", 0)]), ("tcp", LISTEN, 7002, 0, 2, [(6, "b", 0)])]
    found = statuses_of(sockets, ports=[7002, 7003, 7001])
    assert [(s[0], s[1], s[3] and s[3][0]) for s in found] == [(7002, "listening", 6), (7003, "free", None),
                                                                (7001, "listening", 5)]


def test_the_texts_belong_to_states_the_engine_made(inside: None) -> None:
    state = velmor.status(PORT)
    assert velmor._ports.explain(state) == "free"
    copied = pickle.loads(pickle.dumps(state))
    assert copied == state and velmor._ports.explain(copied) == "free"
    by_hand = velmor.PortStatus(PORT, "free", None, None, ())
    assert by_hand == state
    with pytest.raises(ValueError, match="not made by velmor"):
        velmor._ports.explain(by_hand)


@pytest.mark.parametrize(("timeout", "shown"), [(0.25, "0.25"), (0.00001, "1e-05")])
def test_a_holder_that_outlasts_the_wait_is_told_with_the_librarys_hint(
    inside: None, start_holder: Callable[..., Holder], timeout: float, shown: str
) -> None:
    stubborn = start_holder(kinds="tcp,ignore-term")
    [report] = velmor.stop(stubborn.port, timeout=timeout)
    assert (report.result, [(p.pid, p.signal, p.outcome) for p in report.processes]) == (
        "failed", [(stubborn.pid, "SIGTERM", "running")])
    assert report.error == (f"port {stubborn.port}: python (pid {stubborn.pid}) got SIGTERM and still holds the port "
                            f"after {shown}s (kill_after=SECONDS sends SIGKILL to what is left)")
    assert stubborn.process.poll() is None


def test_the_engine_lists_the_holders_once_each_in_pid_order(inside: None) -> None:
    sockets = [("tcp", LISTEN, PORT, 0, 1, [(9, "b", 0)]), ("tcp", LISTEN, PORT, 0, 2, [(5, "a", 0), (9, "b", 0)])]
    [found] = statuses_of(sockets)
    assert [process[0] for process in found[-1]] == [5, 9]
    state = velmor.status(PORT)  # made by the engine: its holders survive a copy
    assert list(pickle.loads(pickle.dumps(state)).holders()) == list(state.holders())
