"""The socket table and the command line on it, against real servers that
the tests start on every kind of local address, in a network namespace of
their own: what listens, what a busy port is busy with, and stopping
exactly the processes that hold a port."""

from __future__ import annotations

import json
import os
import signal
import socket
import subprocess
import sys
from collections.abc import Callable
from typing import Any

import pytest

import private_network
import velmor
from conftest import AS_NOBODY, Holder, leave_time_wait, unused_port
from velmor_command import main

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="network namespaces are Linux's")


def run(capsys: pytest.CaptureFixture[str], *argv: str) -> tuple[int, str, str]:
    """The tool in this process: exit code, stdout, stderr."""
    code = main(list(argv))
    captured = capsys.readouterr()
    return code, captured.out, captured.err


def run_json(capsys: pytest.CaptureFixture[str], *argv: str) -> tuple[int, Any]:
    code, out, _ = run(capsys, *argv, "--json")
    return code, json.loads(out)


def pids(socket_: velmor.Socket) -> list[int]:
    return [process.pid for process in socket_.processes]


def ended_by(holder: Holder, seconds: float = 10) -> int:
    return holder.process.wait(timeout=seconds)


# --- schemas ------------------------------------------------------------------------

PROCESS_KEYS = {"pid": int, "name": str, "cmd": str, "uid": (int, type(None)), "user": (str, type(None))}
SOCKET_KEYS = {
    "protocol": str, "family": str, "address": str, "port": int, "state": str,
    "uid": (int, type(None)), "user": (str, type(None)), "v6only": (bool, type(None)), "processes": list,
}


def check_keys(document: dict[str, Any], schema: dict[str, Any]) -> None:
    assert set(document) == set(schema), document
    for key, kind in schema.items():
        assert isinstance(document[key], kind), (key, document[key])


def check_socket(document: dict[str, Any]) -> None:
    check_keys(document, SOCKET_KEYS)
    assert "[" not in document["address"]  # brackets only in text
    for process in document["processes"]:
        check_keys(process, PROCESS_KEYS)


def check_port_entry(entry: dict[str, Any]) -> None:
    check_keys(entry, {"port": int, "state": str, "reason": (str, type(None)), "owner": (dict, type(None)),
                       "sockets": list, "hidden": (str, type(None)), "candidates": list})
    assert entry["state"] in ("free", "listening", "busy")
    assert entry["reason"] in (None, "time-wait", "closing", "connection", "hidden-owner", "unknown")
    assert entry["hidden"] in (None, "unreadable", "no-process", "other-pid-namespace")
    assert (entry["hidden"] == "unreadable") == bool(entry["candidates"])
    for process in entry["candidates"]:
        check_keys(process, PROCESS_KEYS)
    if entry["owner"] is not None:
        check_keys(entry["owner"], {"pid": int, "name": str, "cmd": str})
    for document in entry["sockets"]:
        check_socket(document)


def check_kill_entry(entry: dict[str, Any]) -> None:
    check_keys(entry, {"port": int, "result": str, "error": (str, type(None)), "owner": (dict, type(None)), "processes": list})
    assert entry["result"] in ("already_free", "freed", "failed", "dry_run")
    for process in entry["processes"]:
        check_keys(process, {"pid": int, "name": str, "cmd": str, "signal": (str, type(None)), "outcome": str})
        assert process["outcome"] in ("exited", "running", "refused", "gone", "skipped", "failed")


# --- every local address ------------------------------------------------------------


@pytest.mark.parametrize(
    ("kind", "family", "address", "v6only", "shown"),
    [
        ("tcp", "ipv4", "127.0.0.1", None, "127.0.0.1"),
        ("any", "ipv4", "0.0.0.0", None, "0.0.0.0"),
        ("at-127.0.0.2", "ipv4", "127.0.0.2", None, "127.0.0.2"),
        ("tcp6", "ipv6", "::1", True, "[::1]"),
        ("dual-stack", "ipv6", "::", False, "*"),
        ("v6only-any", "ipv6", "::", True, "[::]"),
    ],
)
def test_a_listener_on_any_address_is_seen_named_and_stopped(
    inside: None, start_holder: Callable[..., Holder], capsys: pytest.CaptureFixture[str],
    kind: str, family: str, address: str, v6only: bool | None, shown: str,
) -> None:
    holder = start_holder(kinds=kind)
    [listener] = velmor.listeners(holder.port)
    assert (listener.protocol, listener.family, listener.address, listener.v6only, listener.state) == (
        "tcp", family, address, v6only, "listen")
    assert pids(listener) == [holder.pid] and listener.uid == os.geteuid()

    state = velmor.status(holder.port)
    assert (state.state, state.reason, state.owner and state.owner.pid) == ("listening", None, holder.pid)
    code, out, _ = run(capsys, "ls", str(holder.port))
    assert code == 0 and f"tcp    {shown}" in out and str(holder.pid) in out
    assert run(capsys, "check", str(holder.port))[0] == 1
    code, out, _ = run(capsys, "free", "--prefer", str(holder.port))
    assert code == 0 and int(out) != holder.port

    code, out, err = run(capsys, "kill", str(holder.port))
    assert (code, err) == (0, ""), out
    assert out.splitlines()[0] == f"port {holder.port}: freed"
    assert ended_by(holder) == -signal.SIGTERM
    assert velmor.status(holder.port).state == "free"


def test_every_worker_of_a_forking_server_is_named_and_stopped(
    inside: None, start_holder: Callable[..., Holder], capsys: pytest.CaptureFixture[str]
) -> None:
    server = start_holder(kinds="any,workers-3")
    everyone = sorted([server.pid, *server.workers])
    [listener] = velmor.listeners(server.port)
    assert pids(listener) == everyone

    code, document = run_json(capsys, "who", str(server.port))
    [entry] = document["ports"]
    check_port_entry(entry)
    assert entry["owner"]["pid"] == everyone[0]
    assert [p["pid"] for p in entry["sockets"][0]["processes"]] == everyone

    code, document = run_json(capsys, "kill", str(server.port))
    [entry] = document["ports"]
    check_kill_entry(entry)
    assert (code, entry["result"]) == (0, "freed")
    outcomes = {p["pid"]: (p["signal"], p["outcome"]) for p in entry["processes"]}
    assert sorted(outcomes) == everyone
    assert outcomes[server.pid] == ("SIGTERM", "exited")
    # A worker dies with the server (its parent-death signal): one that is
    # gone before its own SIGTERM is sent is told as such, never signalled.
    assert all(outcomes[pid] in [("SIGTERM", "exited"), (None, "gone")] for pid in server.workers)


def test_a_holder_still_exiting_after_its_sockets_closed_is_told_exited(
    inside: None, start_holder: Callable[..., Holder], capsys: pytest.CaptureFixture[str]
) -> None:
    holder = start_holder(kinds="tcp,slow-exit-40")
    code, document = run_json(capsys, "kill", str(holder.port))
    [entry] = document["ports"]
    assert (code, entry["result"]) == (0, "freed")
    assert [(p["signal"], p["outcome"]) for p in entry["processes"]] == [("SIGTERM", "exited")]
    assert ended_by(holder) == -signal.SIGTERM


def test_default_kill_leaves_a_udp_only_process_alone(
    inside: None, start_holder: Callable[..., Holder], capsys: pytest.CaptureFixture[str]
) -> None:
    tcp = start_holder(kinds="tcp")
    udp = start_holder(tcp.port, kinds="udp")
    code, out, _ = run(capsys, "who", str(tcp.port))
    assert f"note: UDP on {tcp.port} too: " in out and f"pid {udp.pid}" in out

    code, out, _ = run(capsys, "kill", str(tcp.port))
    signalled = [line for line in out.splitlines() if line.startswith("  ")]
    assert code == 0 and not [line for line in signalled if f"pid {udp.pid}" in line]
    assert f"note: UDP on {tcp.port} too: python (pid {udp.pid}), left alone (--udp stops it too)" in out
    assert ended_by(tcp) == -signal.SIGTERM
    assert udp.process.poll() is None
    assert velmor.status(tcp.port).state == "free"  # UDP never makes a TCP port busy

    code, out, _ = run(capsys, "kill", "--udp", str(tcp.port))
    assert code == 0 and f"pid {udp.pid}" in out
    assert ended_by(udp) == -signal.SIGTERM


def test_a_client_connection_on_the_port_is_busy_not_listening(
    inside: None, start_holder: Callable[..., Holder], capsys: pytest.CaptureFixture[str]
) -> None:
    client = start_holder(kinds="connected")
    state = velmor.status(client.port)
    assert (state.state, state.reason, state.owner) == ("busy", "connection", None)
    assert client.pid in [p.pid for p in state.holders()]
    assert "another" not in velmor._ports.explain(state)

    code, out, err = run(capsys, "kill", str(client.port))
    assert code == 1 and "--all-sockets" in err and "--force" not in err
    assert client.process.poll() is None
    code, out, _ = run(capsys, "kill", "--all-sockets", str(client.port))
    assert code == 0 and ended_by(client) == -signal.SIGTERM


def test_time_wait_left_by_a_client_without_reuse_is_explained(inside: None, capsys: pytest.CaptureFixture[str]) -> None:
    port = unused_port()
    leave_time_wait(port)
    state = velmor.status(port)
    assert [s.state for s in state.sockets] == ["time-wait"]
    assert (state.state, state.reason) == ("busy", "time-wait")
    code, out, _ = run(capsys, "who", str(port))
    assert "TIME-WAIT" in out and "namespace" not in out
    # A reserved port carries a TIME-WAIT too, one a bind with SO_REUSEADDR takes over.
    reserved = velmor.reserve()
    assert velmor.status(reserved).state == "free"


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to act as another user")
def test_another_users_holder_seen_as_root_and_as_that_user(
    inside: None, start_holder: Callable[..., Holder], tmp_path: Any
) -> None:
    holder = start_holder(kinds="tcp", prefix=AS_NOBODY)
    [listener] = velmor.listeners(holder.port)
    [process] = listener.processes
    assert (process.pid, process.uid) == (holder.pid, 65534)

    mine = start_holder(kinds="tcp")
    seen = subprocess.run(
        [*AS_NOBODY, sys.executable, "-m", "velmor", "who", "--json", str(holder.port), str(mine.port)],
        capture_output=True, text=True, timeout=60,
    )
    if seen.returncode != 0 and "No module named" in seen.stderr:
        pytest.skip("the unprivileged user cannot import velmor here")
    own, other = json.loads(seen.stdout)["ports"]
    assert own["owner"]["pid"] == holder.pid
    assert (other["state"], other["reason"], other["owner"]) == ("listening", "hidden-owner", None)
    assert other["sockets"][0]["user"] == "root" and other["sockets"][0]["processes"] == []
    text = subprocess.run([*AS_NOBODY, sys.executable, "-m", "velmor", "who", str(mine.port)],
                          capture_output=True, text=True, timeout=60).stdout
    assert "try sudo" in text


def test_a_server_in_another_network_namespace_is_not_ours(
    network: int | None, start_holder: Callable[..., Holder]
) -> None:
    if network is None:
        pytest.skip("needs a network namespace of our own (CAP_SYS_ADMIN)")
    with private_network.inside(network):
        elsewhere = start_holder()
    # This namespace may have its own socket on that port number, but none of the holder's.
    seen = [*velmor.listeners(elsewhere.port), *velmor.status(elsewhere.port).sockets]
    assert elsewhere.pid not in [p.pid for s in seen for p in s.processes]


# --- kill's options and rules -------------------------------------------------------


def test_kill_after_ends_a_holder_that_ignores_sigterm(
    inside: None, start_holder: Callable[..., Holder], capsys: pytest.CaptureFixture[str]
) -> None:
    stubborn = start_holder(kinds="tcp,ignore-term")
    code, out, err = run(capsys, "kill", "--timeout", "0.3", str(stubborn.port))
    assert code == 1 and "--kill-after" in err and "SIGTERM  running" in out
    assert stubborn.process.poll() is None

    code, document = run_json(capsys, "kill", "--kill-after", "0.3", str(stubborn.port))
    [entry] = document["ports"]
    assert (code, entry["result"]) == (0, "freed")
    assert [(p["pid"], p["signal"], p["outcome"]) for p in entry["processes"]] == [(stubborn.pid, "SIGKILL", "exited")]
    assert ended_by(stubborn) == -signal.SIGKILL


def test_dry_run_signals_nothing(
    inside: None, start_holder: Callable[..., Holder], capsys: pytest.CaptureFixture[str]
) -> None:
    holder = start_holder(kinds="tcp,workers-1")
    code, document = run_json(capsys, "kill", "--dry-run", str(holder.port), str(unused_port()))
    held, idle = document["ports"]
    for entry in document["ports"]:
        check_kill_entry(entry)
    assert code == 0 and document["all_free"] is True
    assert held["result"] == "dry_run" and idle["result"] == "already_free"
    assert sorted(p["pid"] for p in held["processes"]) == sorted([holder.pid, *holder.workers])
    assert {p["signal"] for p in held["processes"]} == {"SIGTERM"}
    assert holder.process.poll() is None
    assert velmor.status(holder.port).state == "listening"


def test_kill_never_signals_itself_or_an_ancestor(
    inside: None, capsys: pytest.CaptureFixture[str], no_signal_to_us: list[int]
) -> None:
    with socket.socket() as mine:
        mine.bind(("127.0.0.1", 0))
        mine.listen()
        port = mine.getsockname()[1]
        # This process runs the tool itself ...
        code, document = run_json(capsys, "kill", str(port))
        [entry] = document["ports"]
        assert (code, entry["result"]) == (1, "failed")
        assert [(p["pid"], p["outcome"], p["signal"]) for p in entry["processes"]] == [(os.getpid(), "skipped", None)]
        # ... and is the parent of a velmor process.
        child = subprocess.run([sys.executable, "-m", "velmor", "kill", str(port)],
                               capture_output=True, text=True, timeout=60)
        assert child.returncode == 1 and "ancestors" in child.stderr
    assert no_signal_to_us == []


def test_ls_lists_every_listener_with_the_schema(
    inside: None, start_holder: Callable[..., Holder], capsys: pytest.CaptureFixture[str]
) -> None:
    tcp = start_holder(kinds="tcp,udp")
    six = start_holder(kinds="tcp6")
    code, document = run_json(capsys, "ls", "--udp")
    assert code == 0 and list(document) == ["sockets"]
    for entry in document["sockets"]:
        check_socket(entry)
    seen = {(s["protocol"], s["address"], s["port"]) for s in document["sockets"]}
    assert {("tcp", "127.0.0.1", tcp.port), ("udp", "127.0.0.1", tcp.port), ("tcp", "::1", six.port)} <= seen
    ports = [s["port"] for s in document["sockets"]]
    assert ports == sorted(ports)
    code, out, _ = run(capsys, "ls")
    assert out.splitlines()[0].split() == ["PROTO", "ADDRESS", "PORT", "PID", "USER", "NAME", "COMMAND"]
    assert not [line for line in out.splitlines() if line.startswith("udp")]


# --- nothing a process name can forge -------------------------------------------------

# Any local user can name a process so: ESC ... BEL retitles a terminal, CR
# and LF would forge a line, TAB shifts columns, U+202E turns the rest of a
# line around, and the last byte is not UTF-8.
FORGED_NAME = b"\x1b]0;X\x07\r\n\t\xe2\x80\xae\xff"
FORGED_ARGUMENT = b"\x1b[2J\rpid 1 free\nport 1 free\t\xe2\x80\xae\xfe"


def assert_forgery_shown_escaped(text: str, lines: int) -> None:
    """`text` is `lines` lines of printable characters, in which the forged
    name shows escaped."""
    written = text.split("\n")
    assert written[-1] == ""
    assert len(written) - 1 == lines, text
    assert all(line.isprintable() for line in written), text
    assert "\\x1b" in text and "\\u202e" in text and "\ufffd" in text


@pytest.mark.parametrize(
    ("argv", "kinds", "udp_beside", "code", "out_lines", "err_lines"),
    [
        (["ls"], "tcp", False, 0, 2, 0),
        (["who"], "tcp", False, 0, 2, 0),
        (["who"], "connected", False, 0, 2, 0),  # the reason names the holder
        (["who"], "tcp", True, 0, 3, 0),  # the UDP note names the other holder
        (["check"], "tcp", False, 1, 1, 0),
        (["kill", "--dry-run"], "tcp", False, 0, 2, 0),
        (["kill", "--timeout", "0.3"], "tcp,ignore-term", False, 1, 2, 1),  # the error line
    ],
    ids=["ls", "who", "who-reason", "who-udp-note", "check", "kill-dry-run", "kill-error"],
)
def test_a_forged_process_name_is_escaped_on_every_output_path(
    inside: None, start_holder: Callable[..., Holder], capsys: pytest.CaptureFixture[str],
    argv: list[str], kinds: str, udp_beside: bool, code: int, out_lines: int, err_lines: int,
) -> None:
    named = f",name-{FORGED_NAME.hex()}"
    holder = start_holder(kinds=kinds + named, extra_args=(FORGED_ARGUMENT,))
    if udp_beside:
        start_holder(holder.port, kinds="udp" + named, extra_args=(FORGED_ARGUMENT,))
    result, out, err = run(capsys, *argv, str(holder.port))
    assert result == code, out + err
    assert_forgery_shown_escaped(out + err, out_lines + err_lines)
    assert len(err.splitlines()) == err_lines


def test_json_keeps_a_forged_name_as_the_system_gave_it(
    inside: None, start_holder: Callable[..., Holder], capsys: pytest.CaptureFixture[str]
) -> None:
    holder = start_holder(kinds=f"tcp,name-{FORGED_NAME.hex()}", extra_args=(FORGED_ARGUMENT,))
    code, document = run_json(capsys, "who", str(holder.port))
    [process] = document["ports"][0]["sockets"][0]["processes"]
    assert process["name"] == FORGED_NAME.decode(errors="replace")
    assert process["cmd"].endswith(FORGED_ARGUMENT.decode(errors="replace"))
