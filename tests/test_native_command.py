"""The velmor program as the tests build it (beside the hooks modules) and
as the package carries it, run through `python -m velmor`: both started as
processes with the same arguments and environment, they give the same
stdout, stderr and exit code: help at several widths, every kind of bad
call, --version, `ls` on listeners the tests start (in a network namespace
of their own), and an answer that cannot be written. The command's answers
themselves are checked against what they must say in test_cli.py and the
tests beside it."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import pytest

from conftest import Holder

PYTHON_COMMAND = [sys.executable, "-m", "velmor"]
COMMANDS = ["ls", "who", "check", "free", "wait", "kill", "watch", "completion"]


def native_program() -> Path | None:
    """The program that tests/native builds beside the hooks modules."""
    try:
        import _velmor_hooks
    except ImportError:
        return None
    program = Path(_velmor_hooks.__file__).parent / "velmor"
    return program if program.exists() else None


NATIVE = native_program()
pytestmark = pytest.mark.skipif(NATIVE is None, reason="the native velmor program is not built (scripts/test builds it)")


def environment(columns: str | None = None) -> dict[str, str]:
    env = {key: value for key, value in os.environ.items() if key != "COLUMNS"}
    if columns is not None:
        env["COLUMNS"] = columns
    return env


def run(command: list[str], args: list[str], **options: Any) -> tuple[int, str, str]:
    options.setdefault("stdout", subprocess.PIPE)
    result = subprocess.run([*command, *args], stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, timeout=60,
                            **options)
    stdout = "" if result.stdout is None else result.stdout.decode("utf-8", "surrogateescape")
    return result.returncode, stdout, result.stderr.decode("utf-8", "surrogateescape")


def both(args: list[str], **options: Any) -> tuple[tuple[int, str, str], tuple[int, str, str]]:
    """What the native program and the Python command answer to `args`."""
    options.setdefault("env", environment())
    return run([str(NATIVE)], args, **options), run(PYTHON_COMMAND, args, **options)


# --- help and version --------------------------------------------------------------


@pytest.mark.parametrize("columns", [None, "40", "52", "80", "123", "0", "abc", "99999999999999999999"])
@pytest.mark.parametrize("command", [[], *([name] for name in COMMANDS)])
def test_help_is_the_python_commands_at_every_width(command: list[str], columns: str | None) -> None:
    native, python = both([*command, "--help"], env=environment(columns))
    assert native == python
    assert native[0] == 0 and "usage: velmor" in native[1]


@pytest.mark.parametrize(
    "args", [["--version"], ["--vers"], ["--version", "extra"], ["-h"], ["--he"], ["ls", "-h"], ["kill", "--h", "0"]]
)
def test_version_and_help_by_any_of_their_names(args: list[str]) -> None:
    native, python = both(args)
    assert native == python and native[0] == 0


# --- bad calls ----------------------------------------------------------------------

BAD_CALLS = [
    [],
    ["frob"],
    ["-x"],
    ["--"],
    ["--json"],
    ["--help=x"],
    ["ls", "0"],
    ["ls", "99999"],
    ["ls", "00000"],
    ["ls", "123456789012345678901234567890"],
    ["ls", "3000-70000"],
    ["ls", "70000-3000"],
    ["ls", "3010-3000"],
    ["ls", "30x"],
    ["ls", "3000-"],
    ["ls", "-"],
    ["ls", "-3000"],
    ["ls", "1-2-3"],
    ["ls", "٣٠٠٠"],
    ["ls", "--bogus"],
    ["ls", "--udp=yes"],
    ["ls", "--js=1"],
    ["ls", "--help=x"],
    ["ls", "-h=x"],
    ["ls", "--", "--json"],
    ["who"],
    ["who", "--json"],
    ["check", "-q", "--json", "1"],
    ["check", "--json", "--q", "1"],
    ["check", "-qj", "1"],
    ["free", "3000"],
    ["free", "--prefer"],
    ["free", "--prefer", "x"],
    ["free", "--prefer=0"],
    ["free", "--pre", "70000"],
    ["free", "--prefer", "3000", "--reserve"],
    ["wait", "--timeout", "-1", "3000"],
    ["wait", "--timeout=nan", "3000"],
    ["wait", "--timeout=inf", "3000"],
    ["wait", "--timeout=1e999", "3000"],
    ["wait", "--timeout=0x10", "3000"],
    ["wait", "--timeout=1__0", "3000"],
    ["wait", "--timeout=_1", "3000"],
    ["wait", "--timeout=1_", "3000"],
    ["wait", "--timeout=.", "3000"],
    ["wait", "--timeout=", "3000"],
    ["wait", "--tim"],
    ["wait", "--listening=1", "3000"],
    ["kill", "--timeout=-1", "3000"],
    ["kill", "--kill-after", "x", "3000"],
    ["kill", "--kill=-0.5", "3000"],
    ["kill", "--dry", "--bogus", "3000"],
    ["kill", "3000", "--ti"],
    ["watch", "--timeout", "soon"],
    ["completion", "tcsh"],
    ["completion", "bash", "zsh"],
    ["completion", "--", "bash", "3000"],
    ["completion", "--listening=x"],
    ["ls", "bad\x1b]0;title\x07"],
    ["ls", "--bad\nline"],
    ["ls", "na\u202eme"],
]


@pytest.mark.parametrize("args", BAD_CALLS, ids=repr)
def test_a_bad_call_is_refused_in_the_python_commands_words(args: list[str]) -> None:
    native, python = both(args)
    assert native == python
    code, stdout, stderr = native
    assert (code, stdout) == (2, "")
    assert stderr.startswith("velmor: error: ") and stderr.count("\n") == 1
    assert stderr.isprintable() or stderr[:-1].isprintable()


def test_bytes_that_are_not_utf8_in_a_call_are_escaped_as_the_python_command_escapes_them() -> None:
    args = [os.fsdecode(b"ls"), os.fsdecode(b"30\xff\xfe")]
    native, python = both(args)
    assert native == python
    assert "\\udcff\\udcfe" in native[2]


@pytest.mark.parametrize(
    "args",
    [
        ["wait", "--timeout", "1_0.5e-1_0", "--list", "-h"],
        ["wait", "--timeout=+1.", "-h"],
        ["wait", "--timeout", " \t2.5\n", "-h"],
        ["wait", "--timeout=-0", "-h"],
        ["free", "--prefer", "0080", "--he"],
    ],
)
def test_values_the_python_command_takes_are_taken(args: list[str]) -> None:
    native, python = both(args)
    assert native == python and native[0] == 0


# --- ls -------------------------------------------------------------------------------


def ls_both(*args: str) -> tuple[tuple[int, str, str], tuple[int, str, str]]:
    return both(["ls", *args])


@pytest.mark.parametrize(
    "args", [[], ["--udp"], ["--json"], ["--udp", "--json"], ["{port}"], ["{port}", "--json"], ["--", "{port}"]]
)
def test_ls_is_the_python_commands(inside: None, start_holder: Callable[..., Holder], args: list[str]) -> None:
    holders = [start_holder(kinds="tcp,udp,tcp6"), start_holder(kinds="dual-stack"), start_holder(kinds="any,udp"),
               start_holder(kinds="v6only-any,at-127.0.0.2,at-127.0.0.10")]
    port = str(holders[0].port)
    native, python = ls_both(*[word.replace("{port}", port) for word in args])
    assert native == python
    assert native[0] == 0 and native[2] == ""
    if "--json" in args:
        assert json.loads(native[1]) == json.loads(python[1])
    else:
        assert str(holders[0].pid) in native[1]


def test_ls_lists_addresses_in_numeric_order_in_both(inside: None, start_holder: Callable[..., Holder]) -> None:
    holder = start_holder(kinds="at-127.0.0.10,at-127.0.0.2,at-127.0.0.9")
    native, python = ls_both(str(holder.port))
    assert native == python
    addresses = [line.split()[1] for line in native[1].splitlines()[1:]]
    assert addresses == ["127.0.0.2", "127.0.0.9", "127.0.0.10"]


@pytest.mark.parametrize(
    "name", ["1b5d303b7469746c6507", "0d0a666f726765640a", "e280ae6b63616c62", "ff6f6464fe", "f09f98806f6b", "225c7f09"]
)
def test_ls_escapes_a_process_name_as_the_python_command_does(
    inside: None, start_holder: Callable[..., Holder], name: str
) -> None:
    holder = start_holder(kinds=f"tcp,udp,name-{name}")
    for args in ([str(holder.port)], [str(holder.port), "--json"], ["--udp"]):
        native, python = ls_both(*args)
        assert native == python
        if "--json" in args:
            document = json.loads(native[1])
            assert document == json.loads(python[1])
            assert document["sockets"][0]["processes"][0]["name"] == bytes.fromhex(name).decode("utf-8", "replace")
        else:
            assert all(line.isprintable() for line in native[1].splitlines())


def on_a_terminal(command: list[str], columns: int, env: dict[str, str] | None = None) -> tuple[int, str]:
    """What `command` writes to a terminal of `columns` columns (COLUMNS set
    to 300 unless `env` says otherwise), and its exit code."""
    import fcntl
    import pty
    import struct
    import termios

    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    process = subprocess.Popen(command, stdout=slave, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                               env=environment("300") if env is None else env)
    os.close(slave)
    try:
        code = process.wait(timeout=60)
        return code, _read_to_end(master).replace("\r\n", "\n")
    finally:
        os.close(master)


@pytest.mark.parametrize("columns", [20, 61, 200])
def test_ls_on_a_terminal_cuts_its_lines_to_the_width_as_the_python_command_does(
    inside: None, start_holder: Callable[..., Holder], columns: int
) -> None:
    holder = start_holder(kinds="tcp,name-c3a9c3a9c3a9c3a9")  # a name of characters wider than a byte
    native = on_a_terminal([str(NATIVE), "ls", str(holder.port)], columns)
    python = on_a_terminal([*PYTHON_COMMAND, "ls", str(holder.port)], columns)
    assert native == python and native[0] == 0
    lines = native[1].splitlines()
    assert max(len(line) for line in lines) <= columns
    assert lines[1].endswith("...")


def test_ls_of_ports_where_nothing_listens(inside: None) -> None:
    for args in (["1-1024"], ["1-1024", "--json"], ["--udp", "7", "--json"]):
        native, python = ls_both(*args)
        assert native == python and native[0] == 0


def test_ls_of_a_listener_held_by_no_process(inside: None) -> None:
    from conftest import Ghost

    ghost = Ghost()
    try:
        for args in ([str(ghost.port)], [str(ghost.port), "--json"]):
            native, python = ls_both(*args)
            assert native == python
        assert " - " in native[1] or '"processes": []' in native[1]
    finally:
        ghost.close()


# --- who and kill ---------------------------------------------------------------------


@pytest.mark.parametrize("args", [[], ["--json"]])
def test_who_is_the_python_commands(inside: None, start_holder: Callable[..., Holder], args: list[str]) -> None:
    from conftest import Ghost, unused_port

    holders = [start_holder(kinds="tcp,udp,tcp6"), start_holder(kinds="dual-stack,name-1b5d303b7469746c6507"),
               start_holder(kinds="bound")]
    ghost = Ghost()  # a listener held by no process
    try:
        ports = [str(holder.port) for holder in holders] + [str(ghost.port), str(unused_port())]
        native, python = both(["who", *ports, *args])
    finally:
        ghost.close()
    assert native == python
    assert native[0] == 0 and native[2] == ""
    if args:
        states = [port["state"] for port in json.loads(native[1])["ports"]]
        assert states[:2] == ["listening", "listening"] and states[-1] == "free"
    else:
        assert str(holders[0].pid) in native[1] and f"note: UDP on {holders[0].port} too" in native[1]
        assert all(line.isprintable() for line in native[1].splitlines())


@pytest.mark.parametrize("columns", [20, 61, 200])
def test_who_on_a_terminal_cuts_its_lines_as_the_python_command_does(
    inside: None, start_holder: Callable[..., Holder], columns: int
) -> None:
    holder = start_holder(kinds="tcp,udp,name-c3a9c3a9c3a9c3a9")
    native = on_a_terminal([str(NATIVE), "who", str(holder.port)], columns)
    python = on_a_terminal([*PYTHON_COMMAND, "who", str(holder.port)], columns)
    assert native == python and native[0] == 0
    rows = [line for line in native[1].splitlines() if not line.startswith("note: ")]
    assert max(len(line) for line in rows) <= columns and "note: UDP on" in native[1]


def kill_answer(command: list[str], start_holder: Callable[..., Holder], port: int, kinds: list[str],
                args: list[str]) -> tuple[int, str, str]:
    """What `command` answers to `kill port args` on holders of `kinds` it
    alone meets (each started afresh, stopped after), their pids as 0."""
    import re

    holders = [start_holder(port, kinds=kind) for kind in kinds]
    try:
        code, stdout, stderr = run(command, ["kill", str(port), *args], env=environment())
    finally:
        for holder in holders:
            holder.stop()
    for holder in holders:
        stdout, stderr = (re.sub(rf"\b{holder.pid}\b", "0", text) for text in (stdout, stderr))
    if len(holders) > 1:
        # Holders are listed in pid order, and which of two fresh processes
        # gets the lower pid differs from run to run (the pids wrap): their
        # lines are compared as a set.
        stdout, stderr = ("\n".join(sorted(text.splitlines())) for text in (stdout, stderr))
    return code, stdout, stderr


@pytest.mark.parametrize(
    ("kinds", "args", "code"),
    [
        ([], [], 0),
        ([], ["--json"], 0),
        (["tcp"], ["--dry-run"], 0),
        (["tcp,udp"], ["--dry", "--json"], 0),
        (["tcp,udp"], [], 0),
        (["tcp", "udp"], [], 0),
        (["tcp", "udp"], ["--all-sockets"], 0),
        (["udp"], ["--udp", "--json"], 0),
        (["tcp"], ["--force", "--json"], 0),
        (["tcp,ignore-term"], ["--kill-after", "0.2"], 0),
        (["tcp,ignore-term"], ["--kill-after=0.2", "--json"], 0),
        # The wait lasts until a second after the SIGKILL, whatever the timeout says.
        (["tcp,ignore-term"], ["--timeout", "0", "--kill-after", "0.2"], 0),
        (["tcp,ignore-term"], ["--timeout", "0.3"], 1),
        (["tcp,ignore-term"], ["--timeout", "0.3", "--json"], 1),
        (["tcp,name-1b5d303b7469746c6507"], [], 0),
        (["tcp,name-0d0a666f726765640a"], ["--dry-run", "--json"], 0),
    ],
)
def test_kill_is_the_python_commands(
    inside: None, start_holder: Callable[..., Holder], kinds: list[str], args: list[str], code: int
) -> None:
    from conftest import unused_port

    port = unused_port()
    native = kill_answer([str(NATIVE)], start_holder, port, kinds, args)
    python = kill_answer(PYTHON_COMMAND, start_holder, port, kinds, args)
    assert native == python
    assert native[0] == code
    if "--json" in args:
        document = json.loads(native[1])
        assert document["all_free"] == (code == 0) and [entry["port"] for entry in document["ports"]] == [port]
    if kinds and "--dry-run" not in args and "--dry" not in args:
        escalated = any(word.startswith(("--force", "--kill-after")) for word in args)
        assert ("SIGKILL" if escalated else "SIGTERM") in native[1]
    assert (native[2] != "") == (code != 0)


def holds_a_pidfd(pid: int) -> bool:
    """Whether the process holds a process descriptor: a stop pins its
    targets with one before it signals them, and keeps it while it waits."""
    try:
        links = [os.readlink(entry) for entry in Path(f"/proc/{pid}/fd").iterdir()]
    except OSError:
        return False
    return "anon_inode:[pidfd]" in links


@pytest.mark.parametrize("python", [False, True], ids=["native", "python"])
def test_ctrl_c_during_a_kills_wait_exits_130_and_sends_nothing_more(
    inside: None, start_holder: Callable[..., Holder], python: bool
) -> None:
    import time

    holder = start_holder(kinds="tcp,ignore-term")
    command = PYTHON_COMMAND if python else [str(NATIVE)]
    killing = subprocess.Popen([*command, "kill", str(holder.port), "--timeout", "120"], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        # Polled for an event, with no bound of its own: the wait below has one.
        while not holds_a_pidfd(killing.pid) and killing.poll() is None:
            time.sleep(0.01)
        killing.send_signal(signal.SIGINT)
        assert killing.wait(timeout=30) == 130
        assert holder.process.poll() is None  # it ignored SIGTERM, and got no SIGKILL
    finally:
        if killing.poll() is None:
            killing.kill()
        killing.communicate()


# --- an answer that cannot be written -------------------------------------------------

ANSWERS = [["--version"], ["--help"], ["kill", "--help"], ["ls"], ["ls", "--json"], ["ls", "--udp"], ["who", "80"],
           ["kill", "80", "--dry-run"], ["watch", "--timeout", "0"]]


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("args", ANSWERS)
def test_a_full_disk_is_named_as_such(inside: None, held_port: Holder, args: list[str]) -> None:
    with open("/dev/full", "wb") as full:
        native, python = both(args, stdout=full)
    assert native == python == (1, "", "velmor: cannot write the answer: no space left on device\n")


@pytest.mark.parametrize("args", ANSWERS)
def test_a_closed_stdout_is_named_as_such(inside: None, held_port: Holder, args: list[str]) -> None:
    native, python = both(args, stdout=subprocess.DEVNULL, close_fds=True, preexec_fn=lambda: os.close(1))
    assert native == python == (1, "", "velmor: cannot write the answer: standard output is closed\n")


@pytest.mark.parametrize("args", ANSWERS)
def test_a_reader_that_has_gone_ends_it_quietly(inside: None, held_port: Holder, args: list[str]) -> None:
    answers = []
    for command in ([str(NATIVE)], PYTHON_COMMAND):
        read, write = os.pipe()
        os.close(read)  # the reader is gone before the first write
        try:
            answers.append(run(command, args, stdout=write, env=environment()))
        finally:
            os.close(write)
    assert answers[0] == answers[1] == (1, "", "")


def test_a_closed_stderr_drops_the_diagnostic_only() -> None:
    answers = [
        subprocess.run([*command, "ls", "0"], capture_output=False, stdout=subprocess.PIPE, timeout=60,
                       preexec_fn=lambda: os.close(2))
        for command in ([str(NATIVE)], PYTHON_COMMAND)
    ]
    assert [(answer.returncode, answer.stdout) for answer in answers] == [(2, b"")] * 2




# --- wait ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args",
    [
        ["{held}", "--timeout", "0.2"],
        ["{held}", "{free}", "--timeout=0"],
        ["{free}", "--timeout", "0"],
        ["{free}", "{held}", "--listening", "--timeout", "0.1"],
        ["{held}", "--listening", "--tim", "0"],
        ["{free}", "--listening", "--timeout", "1e-3"],
    ],
)
def test_wait_answers_as_the_python_command(inside: None, held_port: Holder, args: list[str]) -> None:
    from conftest import unused_port

    free = str(unused_port())
    words = [word.replace("{held}", str(held_port.port)).replace("{free}", free) for word in args]
    native, python = both(["wait", *words])
    assert native == python
    assert native[1] == ""


def test_wait_ends_once_the_port_is_free(inside: None, held_port: Holder) -> None:
    waiting = subprocess.Popen([str(NATIVE), "wait", str(held_port.port), "--timeout", "60"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        held_port.stop()
        assert waiting.wait(timeout=30) == 0
        assert waiting.communicate() == (b"", b"")
    finally:
        if waiting.poll() is None:
            waiting.kill()
            waiting.communicate()


def _read_until(fd: int, text: str, seconds: float = 20) -> str:
    import select
    import time

    seen = ""
    deadline = time.monotonic() + seconds
    while text not in seen:
        remaining = deadline - time.monotonic()
        assert remaining > 0, f"never showed {text!r}; showed {seen!r}"
        if select.select([fd], [], [], remaining)[0]:
            seen += os.read(fd, 4096).decode()
    return seen


def _read_to_end(fd: int) -> str:
    """What is left to read on a pty whose other end has closed."""
    seen = b""
    while True:
        try:
            chunk = os.read(fd, 4096)
        except OSError:  # EIO: the other end is gone
            return seen.decode()
        if not chunk:
            return seen.decode()
        seen += chunk


@pytest.mark.parametrize("listening", [False, True])
def test_ctrl_c_during_a_wait_on_a_terminal_clears_its_line_and_exits_130(
    inside: None, held_port: Holder, listening: bool
) -> None:
    import pty

    from conftest import unused_port

    port = unused_port() if listening else held_port.port
    goal = "be listened on" if listening else "be free"
    master, slave = pty.openpty()
    waiting = subprocess.Popen(
        [str(NATIVE), "wait", str(port), "--timeout", "120", *(["--listening"] if listening else [])],
        stdout=subprocess.PIPE, stderr=slave, preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    os.close(slave)
    try:
        # The line shows once the wait runs: Ctrl-C then meets the program's handler.
        shown = _read_until(master, f"waiting for port {port} to {goal}... 0s")
        assert shown.startswith("\r\x1b[K")
        waiting.send_signal(signal.SIGINT)
        assert waiting.wait(timeout=30) == 130
        assert (shown + _read_to_end(master)).endswith("\r\x1b[K")
    finally:
        if waiting.poll() is None:
            waiting.kill()
            waiting.wait()
        os.close(master)
        assert waiting.stdout is not None
        waiting.stdout.close()


# --- completion -----------------------------------------------------------------------


@pytest.mark.parametrize("args", [["bash"], ["zsh"], ["fish"], [], ["bash", "--listening-ports"], ["--", "zsh"]])
def test_completion_scripts_are_the_python_commands(args: list[str]) -> None:
    native, python = both(["completion", *args])
    assert native == python
    assert native[0] in (0, 2)


def test_completion_offers_the_listening_ports_with_their_names(
    inside: None, start_holder: Callable[..., Holder]
) -> None:
    named = start_holder(kinds="tcp,tcp6,name-7765620a736572766572")
    shared = start_holder(kinds="any,workers-2")
    hidden = __import__("conftest").Ghost()
    try:
        native, python = both(["completion", "--listening-ports"])
    finally:
        hidden.close()
    assert native == python
    lines = dict(line.split("\t") for line in native[1].splitlines())
    assert lines[str(named.port)] == "web\\nserver"
    assert lines[str(hidden.port)] == "not visible"
    assert str(shared.port) in lines


# --- check ----------------------------------------------------------------------------


@pytest.mark.parametrize("kinds", ["tcp", "bound", "connected", "udp", "dual-stack,udp", "tcp6", "workers-2,any"])
@pytest.mark.parametrize("flags", [[], ["--json"], ["-q"]])
def test_check_answers_as_the_python_command(
    inside: None, start_holder: Callable[..., Holder], kinds: str, flags: list[str]
) -> None:
    from conftest import unused_port

    holder = start_holder(kinds=kinds)
    native, python = both(["check", str(holder.port), str(unused_port()), *flags])
    assert native == python
    assert native[0] == (0 if kinds == "udp" else 1)
    if "--json" in flags:
        assert json.loads(native[1]) == json.loads(python[1])


@pytest.mark.parametrize("flags", [[], ["--json"]])
def test_check_of_time_wait_of_a_ghost_and_of_a_privileged_port(inside: None, flags: list[str]) -> None:
    from conftest import Ghost, leave_time_wait, unused_port

    lingering = unused_port()
    leave_time_wait(lingering)
    ghost = Ghost()
    try:
        native, python = both(["check", str(lingering), str(ghost.port), "80", *flags])
    finally:
        ghost.close()
    assert native == python and native[0] == 1


def test_check_and_ls_as_another_user_say_what_they_cannot_see(inside: None, start_holder: Callable[..., Holder]) -> None:
    import shutil

    from conftest import AS_NOBODY

    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        pytest.skip("needs root and setpriv")
    holder = start_holder(kinds="tcp")
    bound = start_holder(kinds="bound")
    args = ["check", str(holder.port), str(bound.port), "80"]
    native = run([*AS_NOBODY, str(NATIVE)], args, env=environment())
    python = run([*AS_NOBODY, *PYTHON_COMMAND], args, env=environment())
    assert native == python and native[0] == 1
    assert native[1].count("that is not visible to you (try sudo)") == 2
    for listing in (["ls", str(holder.port)], ["ls", "--json"], ["ls", "--udp"]):
        native_listing = run([*AS_NOBODY, str(NATIVE)], listing, env=environment())
        assert native_listing == run([*AS_NOBODY, *PYTHON_COMMAND], listing, env=environment())
    assert "(not visible: try sudo)" in native_listing[1]
    # The candidates are every process whose descriptors nobody may read:
    # the machine's, which come and go between two runs.
    documents = []
    for command in ([str(NATIVE)], PYTHON_COMMAND):
        code, stdout, _ = run([*AS_NOBODY, *command], [*args, "--json"], env=environment())
        document = json.loads(stdout)
        assert code == 1 and all(port.pop("candidates") for port in document["ports"][:2])
        documents.append(document)
    assert documents[0] == documents[1]
    assert [port["hidden"] for port in documents[0]["ports"]] == ["unreadable", "unreadable", None]


# --- no descriptor left ------------------------------------------------------------------


@pytest.mark.parametrize(
    "args", [["ls"], ["ls", "--json"], ["completion", "--listening-ports"], ["kill", "80", "--dry-run"]]
)
def test_no_descriptor_left_is_one_line_and_no_answer(inside: None, held_port: Holder, args: list[str]) -> None:
    import resource

    def one_descriptor_beyond_the_standard_ones() -> None:
        resource.setrlimit(resource.RLIMIT_NOFILE, (4, 4))

    code, stdout, stderr = run([str(NATIVE)], args, preexec_fn=one_descriptor_beyond_the_standard_ones)
    assert (code, stdout) == (1, "")
    assert stderr == "velmor: Too many open files: no descriptor left to read the socket tables and the processes\n"


@pytest.mark.parametrize("command", [[], ["kill"], ["completion"]])
def test_help_on_a_terminal_wraps_to_its_width(command: list[str]) -> None:
    answers = {}
    for columns in (0, 45, 100):
        native = on_a_terminal([str(NATIVE), *command, "--help"], columns, environment())
        python = on_a_terminal([*PYTHON_COMMAND, *command, "--help"], columns, environment())
        assert native == python and native[0] == 0
        answers[columns] = native[1]
    # A terminal that gives no width (0) gets the narrowest help, 30 columns.
    assert len(answers[0].splitlines()) > len(answers[45].splitlines()) > len(answers[100].splitlines())
    assert answers[0].split() == answers[100].split()


def test_wait_for_a_listener_ends_once_one_listens(inside: None, start_holder: Callable[..., Holder]) -> None:
    from conftest import unused_port

    port = unused_port()
    waiting = subprocess.Popen([str(NATIVE), "wait", str(port), "--listening", "--timeout", "60"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        start_holder(port, kinds="tcp6")
        assert waiting.wait(timeout=30) == 0
        assert waiting.communicate() == (b"", b"")
    finally:
        if waiting.poll() is None:
            waiting.kill()
            waiting.communicate()


# --- watch ----------------------------------------------------------------------------


class Watching:
    """A running `velmor watch` (native or Python), its lines read as they come."""

    def __init__(self, command: list[str], args: list[str]) -> None:
        self.process = subprocess.Popen([*command, "watch", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        stdin=subprocess.DEVNULL, env=environment(),
                                        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        assert self.process.stdout is not None
        self.fd = self.process.stdout.fileno()
        self.pending = b""
        self.lines: list[str] = []

    def until(self, count: int, wanted: Callable[[str], bool]) -> None:
        """Reads until `count` lines for which `wanted` holds have come."""
        import select
        import time

        deadline = time.monotonic() + 30
        while sum(map(wanted, self.lines)) < count:
            if b"\n" in self.pending:
                line, self.pending = self.pending.split(b"\n", 1)
                self.lines.append(line.decode("utf-8", "surrogateescape"))
                continue
            left = deadline - time.monotonic()
            assert left > 0, f"not {count} such lines; saw {self.lines!r}"
            if select.select([self.fd], [], [], left)[0]:
                chunk = os.read(self.fd, 65536)
                assert chunk, f"the watch ended (exit {self.process.wait()}); saw {self.lines!r}"
                self.pending += chunk

    def interrupted(self) -> tuple[int, str, str]:
        """Ctrl-C: its exit code, every line it wrote, and its stderr."""
        self.process.send_signal(signal.SIGINT)
        stdout, stderr = self.process.communicate(timeout=60)
        written = "".join(line + "\n" for line in self.lines) + (self.pending + stdout).decode("utf-8", "surrogateescape")
        return self.process.returncode, written, stderr.decode("utf-8", "surrogateescape")

    def end(self) -> None:
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(timeout=60)
        for stream in (self.process.stdout, self.process.stderr):
            if stream is not None:
                stream.close()


def without_times(written: str) -> str:
    """The lines of a watch with each time, once checked for its form, as TIME."""
    import datetime
    import re

    def checked_clock(match: re.Match[str]) -> str:
        datetime.datetime.strptime(match[1], "%H:%M:%S.%f")
        return "TIME"

    def checked_iso(match: re.Match[str]) -> str:
        assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d", match[1]), match[1]
        assert datetime.datetime.fromisoformat(match[1]).utcoffset() is not None
        return '"time": "TIME"'

    written = re.sub(r'"time": "([^"]*)"', checked_iso, written)
    return re.sub(r"(?m)(?<=^[=+-]  )(\S+)", checked_clock, written)


def watch_event(line: str) -> tuple[str, int] | None:
    """(mark, port) of a line of either form; None for the header."""
    if line.startswith("{"):
        document = json.loads(line)
        return {"present": "=", "appeared": "+", "gone": "-"}[document["event"]], document["port"]
    cells = line.split()
    return (cells[0], int(cells[4])) if cells[0] in "=+-" else None


@pytest.fixture
def watching(inside: None) -> Iterator[Callable[[list[str]], list[Watching]]]:
    """Starts the native and the Python watch with the same arguments; both ended by pid at the end."""
    started: list[Watching] = []

    def start(args: list[str]) -> list[Watching]:
        pair = [Watching([str(NATIVE)], args), Watching(PYTHON_COMMAND, args)]
        started.extend(pair)
        return pair

    yield start
    for watch in started:
        watch.end()


# A look reads IPv4 and IPv6 sockets one after the other: of a holder
# opening (or closing) several sockets, one look may see only some. The one
# that comes and goes has one socket, so that both watches see it alike.
@pytest.mark.parametrize("flags, kinds, shown, coming_kinds", [
    ([], "tcp,at-127.0.0.2,tcp6", 3, "tcp"),
    (["--json"], "tcp,at-127.0.0.2,tcp6", 3, "tcp6"),
    ([], "udp,dual-stack", 1, "tcp"),
    (["--udp"], "tcp,udp,tcp6", 3, "udp"),
    (["--udp", "--json"], "name-1b5d303b78070a,tcp,udp,tcp6", 3, "name-1b5d303b78070a,udp"),
])
def test_watch_shows_what_is_present_appears_and_goes_as_the_python_command(
    watching: Callable[[list[str]], list[Watching]], start_holder: Callable[..., Holder],
    flags: list[str], kinds: str, shown: int, coming_kinds: str,
) -> None:
    from conftest import unused_port

    present = start_holder(kinds=kinds)
    later = unused_port()
    watches = watching([str(present.port), str(later), *flags])
    for watch in watches:
        watch.until(shown, lambda line: watch_event(line) == ("=", present.port))
    coming = start_holder(later, kinds=coming_kinds)
    for watch in watches:
        watch.until(1, lambda line: watch_event(line) == ("+", later))
    coming.stop()
    for watch in watches:
        watch.until(1, lambda line: watch_event(line) == ("-", later))
    native, python = (watch.interrupted() for watch in watches)
    assert native[0] == python[0] == 130 and native[2] == python[2] == ""
    assert without_times(native[1]) == without_times(python[1])
    assert str(coming.pid) in native[1]
    if "--json" in flags:
        assert all(line.isascii() and json.loads(line)["time"] for line in native[1].splitlines())
    else:
        assert native[1].startswith("   TIME          PROTO") and all(line.isprintable() for line in native[1].splitlines())


@pytest.mark.parametrize("flags", [[], ["--json"], ["--udp"]])
def test_watch_with_a_timeout_ends_with_0_as_the_python_command(
    inside: None, start_holder: Callable[..., Holder], flags: list[str]
) -> None:
    holder = start_holder(kinds="tcp,udp")
    native, python = both(["watch", "--timeout", "0.3", *flags])
    assert native[0] == python[0] == 0 and native[2] == python[2] == ""
    assert without_times(native[1]) == without_times(python[1])
    assert str(holder.pid) in native[1]


@pytest.mark.parametrize("flags", [[], ["--json"]])
def test_watch_whose_reader_goes_says_so_in_one_line_as_the_python_command(
    watching: Callable[[list[str]], list[Watching]], held_port: Holder, flags: list[str]
) -> None:
    endings = []
    for watch in watching([str(held_port.port), *flags]):
        watch.until(1, lambda line: watch_event(line) == ("=", held_port.port))
        assert watch.process.stdout is not None
        watch.process.stdout.close()  # nothing changes after: the watch must notice by itself
        assert watch.process.wait(timeout=60) == 1
        assert watch.process.stderr is not None
        endings.append(watch.process.stderr.read().decode())
    assert endings[0] == endings[1] == "velmor: cannot write the answer: the reader of standard output has gone\n"


def test_watch_at_rest_pauses_between_looks(inside: None, held_port: Holder) -> None:
    # A look every 5 ms costs tens of microseconds: the CPU time of a watch
    # at rest is a small part of its run (a bound far above it, far below a
    # loop that never pauses).
    watch = subprocess.Popen([str(NATIVE), "watch", "--timeout", "2"], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(watch.pid, 0)
    watch.returncode = os.waitstatus_to_exitcode(status)
    assert watch.returncode == 0
    assert usage.ru_utime + usage.ru_stime < 0.5
