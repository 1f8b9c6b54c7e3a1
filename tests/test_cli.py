"""The velmor command-line tool, driven as a user would: in subprocesses,
against listeners the tests start themselves, checking stdout, stderr and
the exit code."""

from __future__ import annotations

import json
import os
import pty
import re
import select
import shutil
import signal
import subprocess
import sys
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import pytest

import velmor as velmor_package
from conftest import AS_NOBODY, Holder, port_is_bindable, unused_port

VELMOR = [sys.executable, "-m", "velmor"]


def velmor(*args: str, timeout: float = 60) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [*VELMOR, *args], capture_output=True, text=True, timeout=timeout, stdin=subprocess.DEVNULL
    )


def free_pair() -> int:
    """A port p such that p and p + 1 are both free right now."""
    for _ in range(100):
        port = unused_port()
        if port < 65535 and port_is_bindable(port + 1):
            return port
    pytest.skip("no two adjacent free ports")


def socket_inodes(pid: int) -> set[str]:
    inodes = set()
    for fd in os.listdir(f"/proc/{pid}/fd"):
        target = os.readlink(f"/proc/{pid}/fd/{fd}")
        if target.startswith("socket:["):
            inodes.add(target[len("socket:[") : -1])
    return inodes


def require_only_ours(holder: Holder) -> None:
    """Skips unless every socket on the holder's port belongs to the holder,
    so that `velmor kill` cannot reach a process of someone else."""
    if not os.path.exists("/proc/net/tcp"):
        return
    ours = socket_inodes(holder.pid)
    for table in ("tcp", "tcp6", "udp", "udp6"):
        try:
            with open(f"/proc/net/{table}") as f:
                rows = [line.split() for line in f.readlines()[1:]]
        except FileNotFoundError:
            continue
        for row in rows:
            if int(row[1].rsplit(":", 1)[1], 16) == holder.port and row[9] not in ours:
                pytest.skip(f"port {holder.port} is shared with a socket of another process")


def wait_exit(process: subprocess.Popen[str] | subprocess.Popen[bytes], seconds: float = 20) -> int:
    try:
        return process.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        raise


@pytest.fixture
def bound_port(start_holder: Callable[..., Holder]) -> int:
    """A port taken by a socket of ours that is bound but not listening: the
    port is taken, yet no process listens on it."""
    return start_holder(kinds="bound").port


@pytest.fixture
def popen() -> Iterator[Callable[..., subprocess.Popen[str]]]:
    """Starts velmor processes and ends any still running at the end, by pid."""
    started: list[subprocess.Popen[str]] = []

    def start(*args: str, **kwargs: Any) -> subprocess.Popen[str]:
        process = subprocess.Popen([*VELMOR, *args], text=True, **kwargs)
        started.append(process)
        return process

    yield start
    for process in started:
        if process.poll() is None:
            process.kill()
        process.communicate(timeout=10)  # also closes its pipes


def rows(stdout: str) -> dict[int, list[str]]:
    """The `who` table's data rows by port, cells split on runs of spaces."""
    lines = stdout.splitlines()
    assert lines[0].split() == ["PORT", "STATE", "ADDRESS", "PID", "USER", "NAME", "COMMAND"]
    return {int(line.split()[0]): re.split(r"\s{2,}", line) for line in lines[1:] if line[:1].isdigit()}


# --- who --------------------------------------------------------------------


class TestWho:
    def test_table_lists_owner_and_aligns_columns(self, held_port: Holder) -> None:
        free = free_pair()
        result = velmor("who", str(held_port.port), str(free))
        assert (result.returncode, result.stderr) == (0, "")
        lines = result.stdout.splitlines()
        # One line per port, even though the holder's command has newlines.
        assert len(lines) == 3
        table = rows(result.stdout)
        assert table[held_port.port][1:4] == ["listening", "127.0.0.1", str(held_port.pid)]
        assert "python" in table[held_port.port][5]
        assert table[free][1:] == ["free", "-", "-", "-", "-", "-"]
        # Every column starts at the same offset on every line.
        for header in ("STATE", "ADDRESS", "PID", "USER", "NAME", "COMMAND"):
            column = lines[0].index(header)
            assert all(line[column - 2 : column] == "  " and line[column] != " " for line in lines)

    def test_range_mixing_held_and_free(self, start_holder: Callable[..., Holder]) -> None:
        low = free_pair()
        holder = start_holder(low)
        result = velmor("who", f"{low}-{low + 1}")
        assert result.returncode == 0
        table = rows(result.stdout)
        assert list(table) == [low, low + 1]
        assert table[low][1:4] == ["listening", "127.0.0.1", str(holder.pid)]
        assert table[low + 1][1] == "free"

    def test_port_taken_without_listener_is_busy_and_says_by_whom(self, start_holder: Callable[..., Holder]) -> None:
        holder = start_holder(kinds="bound")
        result = velmor("who", str(holder.port))
        assert result.returncode == 0
        row = rows(result.stdout)[holder.port]
        assert row[1:3] == ["busy", "-"]
        assert "bound socket" in row[-1] and f"pid {holder.pid}" in row[-1]

    def test_json(self, held_port: Holder, bound_port: int) -> None:
        free = free_pair()
        result = velmor("who", "--json", str(held_port.port), str(free), str(bound_port))
        assert (result.returncode, result.stderr) == (0, "")
        document = json.loads(result.stdout)
        assert list(document) == ["ports"]
        held, idle, busy = document["ports"]
        assert held["port"] == held_port.port and held["state"] == "listening"
        assert set(held["owner"]) == {"pid", "name", "cmd"}
        assert held["owner"]["pid"] == held_port.pid
        assert idle == {"port": free, "state": "free", "reason": None, "owner": None, "sockets": [],
                        "hidden": None, "candidates": []}
        assert (busy["state"], busy["reason"], busy["owner"]) == ("busy", "connection", None)
        assert [s["state"] for s in busy["sockets"]] == ["bound"]

    @pytest.mark.parametrize(
        ("args", "expected"),
        [
            (["{p}"], ["{p}"]),
            (["{p}-{q}"], ["{p}", "{q}"]),
            (["{q}", "{p}-{q}"], ["{q}", "{p}"]),  # order of first mention, no repeats
            (["{p}-{p}", "{p}"], ["{p}"]),
            (["0{p}"], ["{p}"]),
        ],
    )
    def test_port_arguments(self, args: list[str], expected: list[str]) -> None:
        p = free_pair()
        values = {"p": str(p), "q": str(p + 1)}
        result = velmor("who", "--json", *(arg.format(**values) for arg in args))
        assert result.returncode == 0, result.stderr
        ports = [entry["port"] for entry in json.loads(result.stdout)["ports"]]
        assert ports == [int(port.format(**values)) for port in expected]


# --- check ------------------------------------------------------------------


class TestCheck:
    @pytest.mark.parametrize(
        ("hold", "flags", "code", "lines"),
        [
            (False, [], 0, 0),
            (True, [], 1, 1),
            (True, ["-q"], 1, 0),
            (False, ["--quiet"], 0, 0),
        ],
    )
    def test_exit_code_and_lines(
        self, start_holder: Callable[..., Holder], hold: bool, flags: list[str], code: int, lines: int
    ) -> None:
        low = free_pair()
        holder = start_holder(low) if hold else None
        result = velmor("check", *flags, f"{low}-{low + 1}")
        assert (result.returncode, result.stderr) == (code, "")
        assert len(result.stdout.splitlines()) == lines
        if holder is not None and lines:
            assert str(low) in result.stdout and f"pid {holder.pid}" in result.stdout

    def test_busy_port_counts_as_taken(self, bound_port: int) -> None:
        result = velmor("check", str(bound_port))
        assert result.returncode == 1
        assert str(bound_port) in result.stdout

    @pytest.mark.parametrize("hold", [False, True])
    def test_json(self, start_holder: Callable[..., Holder], hold: bool) -> None:
        port = free_pair()
        if hold:
            start_holder(port)
        result = velmor("check", "--json", str(port))
        assert result.returncode == int(hold)
        document = json.loads(result.stdout)
        assert document["all_free"] is not hold
        [entry] = document["ports"]
        assert entry["port"] == port
        assert entry["state"] == ("listening" if hold else "free")
        assert (entry["owner"] is None) is not hold


# --- free -------------------------------------------------------------------


class TestFree:
    def test_prints_a_port_that_binds(self) -> None:
        result = velmor("free")
        assert (result.returncode, result.stderr) == (0, "")
        assert re.fullmatch(r"[0-9]+\n", result.stdout)
        assert port_is_bindable(int(result.stdout))

    def test_prefer_free_port(self) -> None:
        port = free_pair()
        result = velmor("free", "--prefer", str(port))
        assert (result.returncode, result.stdout) == (0, f"{port}\n")

    def test_prefer_held_port_gives_another(self, held_port: Holder) -> None:
        result = velmor("free", "--prefer", str(held_port.port))
        assert result.returncode == 0
        assert int(result.stdout) != held_port.port
        assert port_is_bindable(int(result.stdout))


# --- wait -------------------------------------------------------------------


class TestWait:
    def test_free_port_returns_at_once_and_quietly(self) -> None:
        result = velmor("wait", str(free_pair()), "--timeout", "10")
        assert (result.returncode, result.stdout, result.stderr) == (0, "", "")

    @pytest.mark.parametrize("timeout", ["0", "0.5", "1"])
    def test_times_out_on_held_port(self, held_port: Holder, timeout: str) -> None:
        started = time.monotonic()
        result = velmor("wait", str(held_port.port), "--timeout", timeout)
        elapsed = time.monotonic() - started
        assert (result.returncode, result.stdout) == (1, "")
        [line] = result.stderr.splitlines()
        assert "timed out" in line and str(held_port.port) in line
        assert float(timeout) <= elapsed < 20

    def test_ends_when_listeners_close(
        self, start_holder: Callable[..., Holder], popen: Callable[..., subprocess.Popen[str]]
    ) -> None:
        low = free_pair()
        holders = [start_holder(low), start_holder(low + 1)]
        waiting = popen(
            "wait", f"{low}-{low + 1}", "--timeout", "60", stdout=subprocess.PIPE, stderr=subprocess.PIPE
        )
        time.sleep(0.5)
        holders[0].stop()
        time.sleep(0.5)
        assert waiting.poll() is None, "returned while a port was still held"
        holders[1].stop()
        assert wait_exit(waiting) == 0
        assert waiting.communicate() == ("", "")

    def test_ctrl_c_on_a_terminal(self, held_port: Holder, popen: Callable[..., subprocess.Popen[str]]) -> None:
        # stderr on a pseudo-terminal: the tool shows what it waits for, with
        # the seconds elapsed; that line also tells the test it is waiting.
        master, slave = pty.openpty()
        try:
            waiting = popen(
                "wait", str(held_port.port), "--timeout", "120",
                stdout=subprocess.PIPE, stderr=slave, preexec_fn=_default_sigint,
            )
            os.close(slave)
            slave = -1
            shown = _read_until(master, f"waiting for port {held_port.port} to be free... 1s")
            assert "\r" in shown  # the line is rewritten in place
            waiting.send_signal(signal.SIGINT)
            assert wait_exit(waiting, 5) == 130
        finally:
            os.close(master)
            if slave != -1:
                os.close(slave)


def _default_sigint() -> None:
    """In the child: SIGINT as a terminal gives it, even if we ignore it."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def _read_until(fd: int, text: str, seconds: float = 20) -> str:
    seen = ""
    deadline = time.monotonic() + seconds
    while text not in seen:
        remaining = deadline - time.monotonic()
        assert remaining > 0, f"never showed {text!r}; showed {seen!r}"
        if select.select([fd], [], [], remaining)[0]:
            seen += os.read(fd, 4096).decode()
    return seen


# --- kill -------------------------------------------------------------------


class TestKill:
    @pytest.mark.parametrize(
        ("kinds", "flags"),
        [("tcp", []), ("tcp", ["--force"]), ("tcp,ignore-term", ["--force"]), ("tcp,udp", [])],
    )
    def test_stops_only_the_holder(
        self, start_holder: Callable[..., Holder], kinds: str, flags: list[str]
    ) -> None:
        target = start_holder(kinds=kinds)
        bystander = start_holder()
        require_only_ours(target)
        result = velmor("kill", *flags, str(target.port))
        assert (result.returncode, result.stderr) == (0, "")
        assert result.stdout.startswith(f"port {target.port}: freed")
        assert f"pid {target.pid}" in result.stdout
        assert wait_exit(target.process, 10) is not None
        assert bystander.process.poll() is None
        assert not port_is_bindable(bystander.port)

    def test_holder_that_ignores_sigterm(self, start_holder: Callable[..., Holder]) -> None:
        holder = start_holder(kinds="tcp,ignore-term")
        require_only_ours(holder)
        result = velmor("kill", "--timeout", "0.5", str(holder.port))
        assert result.returncode == 1
        assert result.stdout.splitlines()[0] == f"port {holder.port}: not freed"
        assert f"(pid {holder.pid})  SIGTERM  running" in result.stdout
        [message] = result.stderr.splitlines()
        assert message.startswith(f"velmor kill: port {holder.port}: ") and f"pid {holder.pid}" in message
        assert "--kill-after" in message and "--force" not in message
        assert holder.process.poll() is None

    def test_free_port_and_held_port(self, held_port: Holder) -> None:
        require_only_ours(held_port)
        free = free_pair()
        result = velmor("kill", str(free), str(held_port.port))
        assert result.returncode == 0
        assert result.stdout.splitlines()[0] == f"port {free}: already free"
        assert wait_exit(held_port.process, 10) is not None

    def test_json(self, start_holder: Callable[..., Holder]) -> None:
        stoppable = start_holder()
        stubborn = start_holder(kinds="tcp,ignore-term")
        free = free_pair()
        require_only_ours(stoppable)
        require_only_ours(stubborn)
        result = velmor("kill", "--json", "--timeout", "0.5", str(stoppable.port), str(stubborn.port), str(free))
        assert result.returncode == 1
        document = json.loads(result.stdout)
        assert document["all_free"] is False
        freed, failed, idle = document["ports"]
        assert freed["port"] == stoppable.port and freed["result"] == "freed" and freed["error"] is None
        assert freed["owner"]["pid"] == stoppable.pid
        assert failed["result"] == "failed" and failed["owner"]["pid"] == stubborn.pid
        assert failed["error"].startswith(f"port {stubborn.port}: ")
        assert failed["processes"] == [
            {"pid": stubborn.pid, "name": failed["owner"]["name"], "cmd": failed["owner"]["cmd"], "signal": "SIGTERM", "outcome": "running"}
        ]
        assert idle == {"port": free, "result": "already_free", "error": None, "owner": None, "processes": []}
        assert failed["error"] in result.stderr

    @pytest.mark.skipif(
        not hasattr(os, "geteuid") or os.geteuid() != 0 or shutil.which("setpriv") is None,
        reason="needs root and setpriv to act as another user",
    )
    def test_other_user_cannot_stop_our_process(self, held_port: Holder) -> None:
        require_only_ours(held_port)
        as_nobody = [*AS_NOBODY, sys.executable]
        if subprocess.run([*as_nobody, "-c", "import velmor"], capture_output=True).returncode:
            pytest.skip("the unprivileged user cannot import velmor here")
        result = subprocess.run(
            [*as_nobody, "-m", "velmor", "kill", str(held_port.port)],
            capture_output=True, text=True, timeout=60,
        )
        assert result.returncode == 1, result.stderr
        assert f"port {held_port.port}" in result.stderr
        assert held_port.process.poll() is None
        assert not port_is_bindable(held_port.port)


# --- arguments, help, version -----------------------------------------------


@pytest.mark.parametrize(
    ("args", "mentions"),
    [
        (["who", "70000"], "70000"),
        (["who", "-3"], "-3"),
        (["check", "3010-3000"], "3010-3000"),
        (["who", "3000-"], "3000-"),
        (["who", "3000-3010-3020"], "3000-3010-3020"),
        (["who", "30x"], "30x"),
        (["who", "0"], "0"),
        (["kill", "65536"], "65536"),
        (["who"], "PORTS"),
        (["frobnicate", "3000"], "frobnicate"),
        ([], "COMMAND"),
        (["wait", "3000", "--timeout", "-1"], "-1"),
        (["wait", "3000", "--timeout", "soon"], "soon"),
        (["wait", "3000", "--timeout", "nan"], "nan"),
        (["free", "--prefer", "99999"], "99999"),
        (["check", "-q", "--json", "3000"], "--json"),
        (["who", "--bogus", "3000"], "--bogus"),
    ],
)
def test_bad_arguments(args: list[str], mentions: str) -> None:
    result = velmor(*args)
    assert (result.returncode, result.stdout) == (2, "")
    [line] = result.stderr.splitlines()
    assert "error" in line and mentions in line


def test_version() -> None:
    result = velmor("--version")
    assert (result.returncode, result.stdout, result.stderr) == (0, "velmor 0.1.0\n", "")


def test_python_m_velmor_without_its_program_says_so(tmp_path: Path) -> None:
    # The package copied without the program it carries.
    copy = tmp_path / "velmor"
    shutil.copytree(Path(velmor_package.__file__).parent, copy, ignore=shutil.ignore_patterns("velmor", "__pycache__"))
    result = subprocess.run([sys.executable, "-m", "velmor", "--version"], capture_output=True, text=True,
                            timeout=60, cwd=tmp_path, env={**os.environ, "PYTHONPATH": str(tmp_path)})
    assert (result.returncode, result.stdout) == (127, "")
    assert result.stderr == f"velmor: cannot run {copy / 'velmor'}: No such file or directory\n"


@pytest.mark.parametrize("command", [[], ["ls"], ["who"], ["check"], ["free"], ["wait"], ["kill"]])
def test_help(command: list[str]) -> None:
    result = velmor(*command, "--help")
    assert (result.returncode, result.stderr) == (0, "")
    assert "exit codes:" in result.stdout
    assert re.search(r"example:\n +(\S+=\$\()?velmor ", result.stdout)


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["who", "99999"], "port 99999 is out of range 1-65535"),
        (["who", "0"], "port 0 is out of range 1-65535"),
        (["kill", "65536"], "port 65536 is out of range 1-65535"),
        (["check", "3000-70000"], "invalid range '3000-70000': port 70000 is out of range 1-65535"),
        (["free", "--prefer", "0"], "argument --prefer: port 0 is out of range 1-65535"),
        (["who", "30x"], "invalid port or range '30x': expected PORT or START-END"),
        (["who", "3000-"], "invalid port or range '3000-': expected PORT or START-END"),
    ],
)
def test_a_number_outside_the_ports_is_named_as_such(args: list[str], message: str) -> None:
    result = velmor(*args)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == f"velmor: error: {message} (see 'velmor {args[0]} --help')\n"


@pytest.mark.parametrize("command", [[], ["kill"], ["wait"], ["watch"]])
@pytest.mark.parametrize("columns", [None, "52"])
def test_help_wraps_to_the_width_without_losing_a_word(command: list[str], columns: str | None) -> None:
    env = {key: value for key, value in os.environ.items() if key != "COLUMNS"}
    wide = subprocess.run([*VELMOR, *command, "--help"], capture_output=True, text=True, timeout=60,
                          env={**env, "COLUMNS": "500"}).stdout
    narrow = subprocess.run([*VELMOR, *command, "--help"], capture_output=True, text=True, timeout=60,
                            env={**env, **({"COLUMNS": columns} if columns else {})}).stdout
    width = int(columns or 80) - 2
    body = narrow.split("\nexit codes:")[0] if columns else narrow.split("\nexample:")[0]
    assert max(len(line) for line in body.splitlines()) <= width
    assert max(len(line) for line in wide.splitlines()) > width
    assert narrow.split() == wide.split()


@pytest.mark.parametrize(
    ("short", "full"),
    [
        (["check", "--js", "{port}"], ["check", "--json", "{port}"]),
        (["kill", "--dry", "--kill=1", "{port}"], ["kill", "--dry-run", "--kill-after=1", "{port}"]),
        (["kill", "--dry", "--kill", "1", "--tim", "0", "{port}"], ["kill", "--dry-run", "--timeout=0", "{port}"]),
        (["wait", "--tim=0", "--list", "{port}"], ["wait", "--timeout", "0", "--listening", "{port}"]),
        (["--vers"], ["--version"]),
        (["who", "--he"], ["who", "--help"]),
    ],
)
def test_a_unique_prefix_of_a_long_option_is_that_option(short: list[str], full: list[str]) -> None:
    port = str(unused_port())
    answers = [velmor(*[word.replace("{port}", port) for word in call]) for call in (short, full)]
    short_answer, full_answer = [(answer.returncode, answer.stdout, answer.stderr) for answer in answers]
    assert short_answer == full_answer and short_answer[0] != 2


@pytest.mark.parametrize(
    "args, says",
    [
        (["kill", "--", "--dry", "1"], "invalid port or range '--dry': expected PORT or START-END"),  # a port after --
        (["kill", "--dry-runx", "1"], "unrecognized arguments: --dry-runx"),  # longer than the option
        (["kill", "--dry-run=", "1"], "argument --dry-run: ignored explicit argument ''"),
    ],
)
def test_what_is_not_a_prefix_of_an_option_is_refused(args: list[str], says: str) -> None:
    result = velmor(*args)
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr == f"velmor: error: {says} (see 'velmor kill --help')\n"


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("args", [["free"], ["who", "--json", "1"], ["ls"], ["--version"], ["--help"], ["kill", "--help"]])
def test_a_full_disk_is_named_as_such(args: list[str]) -> None:
    with open("/dev/full", "w") as full:
        result = subprocess.run([*VELMOR, *args], stdout=full, stderr=subprocess.PIPE, text=True, timeout=60)
    assert result.returncode == 1
    assert result.stderr == "velmor: cannot write the answer: no space left on device\n"


@pytest.mark.parametrize("args", [["--version"], ["--help"], ["wait", "--help"]])
def test_help_and_version_on_a_closed_stdout_say_so(args: list[str]) -> None:
    result = subprocess.run([*VELMOR, *args], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                            timeout=60, close_fds=True, preexec_fn=lambda: os.close(1))
    assert (result.returncode, result.stderr) == (1, "velmor: cannot write the answer: standard output is closed\n")
