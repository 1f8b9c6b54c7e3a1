"""Bad arguments to the socket-table face, as properties: whatever breaks a
parameter's rule ends in a TypeError, ValueError or OverflowError whose
message names that parameter, at the face's boundary (never an
AssertionError, never a signal sent); and the order of the sockets, IPv4
before IPv6 and each address as a number, the same in every face."""

from __future__ import annotations

import asyncio
import json
import math
import re
import subprocess
import sys
from collections.abc import Callable
from typing import Any

import numpy
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velmor
import velmor.aio
from conftest import Holder
from velmor import _ports, _table
from velmor_command import main

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="network namespaces are Linux's")

REJECTED = (TypeError, ValueError, OverflowError)
# Each example reuses the test's holder: that is the point (it must survive them all).
PROPERTY = settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])

# --- what breaks each rule -------------------------------------------------------

others = st.one_of(st.text(max_size=3), st.binary(max_size=3), st.floats(allow_nan=True), st.dictionaries(st.integers(), st.integers(), max_size=1))
not_a_port = st.one_of(
    st.booleans(), st.none(), others, st.lists(st.integers(1, 65535), min_size=1, max_size=3),
    st.integers(max_value=0), st.integers(min_value=65536), st.integers(min_value=2**64),
)
bad_port_item = st.one_of(st.booleans(), st.none(), st.text(max_size=2), st.floats(), st.integers(max_value=0),
                          st.integers(min_value=65536), st.lists(st.integers(), max_size=2))
not_ports = st.one_of(
    st.booleans(), st.text(max_size=3), st.binary(min_size=1, max_size=3), st.floats(), st.integers(min_value=65536),
    st.lists(st.integers(1, 65535), max_size=2).flatmap(lambda good: bad_port_item.map(lambda bad: [*good, bad])),
)
bad_pid_item = st.one_of(st.booleans(), st.text(max_size=2), st.floats(), st.integers(max_value=0),
                         st.integers(min_value=2**31))
not_a_pid = st.one_of(bad_pid_item, st.lists(st.integers(1, 100), min_size=1, max_size=2))
not_pids = st.one_of(st.integers(), st.booleans(), st.text(max_size=3), st.floats(),
                     bad_pid_item.map(lambda bad: [1, bad]))
not_seconds = st.one_of(st.booleans(), st.none(), st.text(max_size=3), st.lists(st.floats(), max_size=1),
                        st.floats(max_value=-1e-9), st.just(math.nan), st.integers(max_value=-1))
not_a_delay = st.one_of(st.booleans(), st.text(max_size=3), st.floats(max_value=-1e-9), st.just(math.nan),
                        st.just(math.inf), st.just(-math.inf))
not_a_flag = st.one_of(st.none(), st.integers(), st.floats(), st.text(max_size=3), st.lists(st.booleans(), max_size=1))
not_a_signal = st.one_of(st.booleans(), st.text(max_size=2), st.integers(max_value=0), st.integers(min_value=65))

BAD = {"port": not_a_port, "ports": not_ports, "pid": not_a_pid, "pids": not_pids, "timeout": not_seconds,
       "kill_after": not_a_delay, "flag": not_a_flag, "signal": not_a_signal}


def rejected(call: Callable[[], object], parameter: str) -> None:
    """The call fails at its boundary, with a message that begins with the
    parameter's name ("port must be", "ports: port 0 is", "timeout is")."""
    with pytest.raises(REJECTED) as caught:
        call()
    assert not isinstance(caught.value, AssertionError)
    assert re.match(rf"{parameter}[ :]", str(caught.value)), (parameter, caught.value)


# Each callable takes (port, parameter, bad value) and makes one call in
# which only that parameter is wrong; its valid arguments never wait long.
CallWith = Callable[[int, str, object], object]


def keyword(function: Callable[..., object], **valid: object) -> CallWith:
    return lambda port, name, value: function(**{**valid, name: value})


def single_port(function: Callable[..., object], **valid: object) -> CallWith:
    return lambda port, name, value: function(**{"port": port, **valid, name: value})


def several_ports(function: Callable[..., object], **valid: object) -> CallWith:
    return lambda port, name, value: function(**{"ports": [port], **valid, name: value})


def asynchronous(function: Callable[..., Any], **valid: object) -> CallWith:
    return lambda port, name, value: asyncio.run(function(**{"port": port, **valid, name: value}))


# (function, parameter, rule): the faces that do not signal.
LOOKING = [
    ("is_free", single_port(velmor.is_free), "port", "port"),
    ("status", single_port(velmor.status), "port", "port"),
    ("statuses", keyword(velmor.statuses), "ports", "ports"),
    ("listeners", keyword(velmor.listeners), "ports", "ports"),
    ("listeners", several_ports(velmor.listeners), "udp", "flag"),
    ("sockets", keyword(velmor.sockets), "ports", "ports"),
    ("sockets", several_ports(velmor.sockets), "udp", "flag"),
    ("wait_until_listening", single_port(velmor.wait_until_listening, timeout=0), "port", "port"),
    ("wait_until_listening", single_port(velmor.wait_until_listening), "timeout", "timeout"),
    ("wait_until_listening", single_port(velmor.wait_until_listening, timeout=0), "pid", "pid"),
    ("aio.wait_until_listening", asynchronous(velmor.aio.wait_until_listening, timeout=0), "port", "port"),
    ("aio.wait_until_listening", asynchronous(velmor.aio.wait_until_listening), "timeout", "timeout"),
    ("aio.wait_until_listening", asynchronous(velmor.aio.wait_until_listening, timeout=0), "pid", "pid"),
    ("aio.wait_until_free", asynchronous(velmor.aio.wait_until_free, timeout=0), "port", "port"),
    ("aio.wait_until_free", asynchronous(velmor.aio.wait_until_free), "timeout", "timeout"),
    ("_table.sockets", keyword(_table.sockets), "ports", "ports"),
    *[("_table.sockets", several_ports(_table.sockets), name, "flag") for name in ("listening", "udp", "holders", "evidence")],
    ("_table.sockets", several_ports(_table.sockets), "pids", "pids"),
    ("_table.probe", single_port(_table.probe), "port", "port"),
    ("_table.process_tree", keyword(_table.process_tree), "pid", "pid"),
    ("_table.processes", keyword(_table.processes), "pids", "pids"),
]

# The faces that signal: each runs against a holder of the test's own.
STOPPING = [
    *[("stop", several_ports(velmor.stop), name, rule) for name, rule in (
        ("ports", "ports"), ("pids", "pids"), ("timeout", "timeout"), ("kill_after", "kill_after"),
        ("udp", "flag"), ("all_sockets", "flag"), ("force", "flag"), ("dry_run", "flag"))],
    *[("_table.stop", several_ports(_table.stop), name, rule) for name, rule in (
        ("ports", "ports"), ("pids", "pids"), ("timeout", "timeout"), ("kill_after", "kill_after"),
        ("signal", "signal"), ("udp", "flag"), ("all_sockets", "flag"), ("dry_run", "flag"))],
]


@pytest.mark.parametrize(("function", "call", "parameter", "rule"), LOOKING, ids=[f"{f}-{p}" for f, _, p, _ in LOOKING])
def test_bad_arguments_are_refused_naming_the_parameter(
    inside: None, start_holder: Callable[..., Holder], function: str, call: CallWith, parameter: str, rule: str
) -> None:
    holder = start_holder()

    @PROPERTY
    @given(BAD[rule])
    def property(value: object) -> None:
        rejected(lambda: call(holder.port, parameter, value), parameter)

    property()


@pytest.mark.parametrize(("function", "call", "parameter", "rule"), STOPPING, ids=[f"{f}-{p}" for f, _, p, _ in STOPPING])
def test_a_stop_with_a_bad_argument_signals_nothing(
    inside: None, start_holder: Callable[..., Holder], function: str, call: CallWith, parameter: str, rule: str
) -> None:
    holder = start_holder()  # ends on SIGTERM or SIGKILL: any signal sent shows

    @PROPERTY
    @given(BAD[rule])
    def property(value: object) -> None:
        rejected(lambda: call(holder.port, parameter, value), parameter)
        assert holder.process.poll() is None, "the holder was signalled"

    property()
    assert velmor.listeners(holder.port)[0].processes[0].pid == holder.pid


@pytest.mark.parametrize(("parameter", "rule"), [
    ("port", "port"), ("ports", "ports"), ("pid", "pid"), ("pids", "pids"), ("timeout", "timeout"),
    ("kill_after", "kill_after"), ("duration", "kill_after"), *[(name, "flag") for name in ("udp", "all_sockets", "force", "dry_run", "listening", "holders")],
])
def test_the_package_checks_each_parameter_by_the_rule_of_its_name(parameter: str, rule: str) -> None:
    @settings(max_examples=80, deadline=None)
    @given(BAD[rule])
    def property(value: object) -> None:
        rejected(lambda: _table.checked(**{parameter: value}), parameter)

    property()


@pytest.mark.parametrize(("given_", "expected"), [
    ({"ports": 80}, ([80],)),
    ({"ports": (x for x in [9, 3, 9, 1])}, ([9, 3, 1],)),
    ({"ports": None, "pid": None, "kill_after": None}, (None, None, None)),
    ({"port": 65535, "timeout": 2, "kill_after": 0.5}, (65535, 2.0, 0.5)),
    ({"timeout": math.inf, "pids": {7}}, (math.inf, [7])),
    ({"force": False, "dry_run": numpy.bool_(True)}, (False, True)),
])
def test_good_arguments_come_back_converted_in_the_order_given(given_: dict[str, Any], expected: tuple[Any, ...]) -> None:
    assert _table.checked(**given_) == expected


@pytest.mark.parametrize(("call", "message"), [
    ("velmor.is_free([1, 2])", "port must be an int, not list"),
    ("velmor.wait_until_listening([1, 2], 0)", "port must be an int, not list"),
    ("velmor.status([1, 2])", "port must be an int, not list"),
    ("asyncio.run(velmor.aio.wait_until_listening([1, 2], 0))", "port must be an int, not list"),
    ("velmor.wait_until_listening(1, 0, pid=True)", "pid must be an int, not bool"),
    ("velmor.wait_until_listening(1, 0, pid=0)", "pid 0 is out of range"),
    ("velmor.stop(1, pids=['x'])", "pids: each pid must be an int, not str"),
    ("velmor.stop(1, kill_after=float('nan'))", "kill_after must be 0 or more seconds, not nan"),
])
def test_under_python_o_bad_input_is_refused_all_the_same(inside: None, call: str, message: str) -> None:
    """No check is an assert: -O takes none away. (The child runs in the
    test's own network namespace, where port 1 is nobody's.)"""
    code = f"import asyncio, velmor, velmor.aio\ntry:\n    {call}\nexcept (TypeError, ValueError) as e:\n    print(e)\n"
    done = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(message), done.stdout


def test_the_command_refuses_a_port_out_of_range_by_the_same_rule(capsys: pytest.CaptureFixture[str]) -> None:
    for argv, text in ((["who", "65536"], "port 65536 is out of range 1-65535"),
                       (["who", "0"], "port 0 is out of range 1-65535"),
                       (["who", "9" * 30], f"port {'9' * 30} is out of range 1-65535")):
        assert main(argv) == 2
        assert text in capsys.readouterr().err


# --- the order of the sockets -----------------------------------------------------------

ORDER = ["127.0.0.2", "127.0.0.9", "127.0.0.10", "::1"]


def test_addresses_come_in_numeric_order_in_every_face(
    inside: None, start_holder: Callable[..., Holder], capsys: pytest.CaptureFixture[str]
) -> None:
    holder = start_holder(kinds="at-127.0.0.10,tcp6,at-127.0.0.9,at-127.0.0.2")
    listed = velmor.listeners(holder.port)
    assert [s.address for s in listed] == ORDER
    assert [s.address for s in velmor.sockets(holder.port) if s.state == "listen"] == ORDER
    assert [s.address for s in velmor.status(holder.port).listeners] == ORDER
    assert sorted(listed, key=_ports.socket_order) == listed  # the merging key agrees with the table
    assert main(["ls", str(holder.port), "--json"]) == 0
    assert [s["address"] for s in json.loads(capsys.readouterr().out)["sockets"]] == ORDER
    assert main(["ls", str(holder.port)]) == 0
    lines = capsys.readouterr().out.splitlines()[1:]
    assert [line.split()[1] for line in lines] == ["127.0.0.2", "127.0.0.9", "127.0.0.10", "[::1]"]


# --- the library's texts name its own parameters ---------------------------------------


def test_a_failed_stop_names_the_parameter_and_the_command_its_flag(
    inside: None, start_holder: Callable[..., Holder], capsys: pytest.CaptureFixture[str]
) -> None:
    holder = start_holder(kinds="tcp,ignore-term")
    [report] = velmor.stop(holder.port, timeout=0.2)
    assert report.result == "failed" and report.error is not None
    assert "kill_after=SECONDS" in report.error and "--kill-after" not in report.error
    assert main(["kill", str(holder.port), "--timeout", "0.2"]) == 1
    err = capsys.readouterr().err
    assert "--kill-after SECONDS" in err and "kill_after=" not in err


# --- what an argument's own methods raise -----------------------------------------------


class _Interrupting:
    """Passes for a NumPy boolean by its names; its truth raises KeyboardInterrupt."""

    def __bool__(self) -> bool:
        raise KeyboardInterrupt


_Interrupting.__module__, _Interrupting.__name__ = "numpy", "bool_"


@pytest.mark.parametrize("call", [
    lambda flag: velmor.listeners(udp=flag),
    lambda flag: _table.sockets([1], holders=flag),
    lambda flag: velmor.stop(1, dry_run=flag),
    lambda flag: _table.stop([1], dry_run=flag),
], ids=["listeners", "_table.sockets", "stop", "_table.stop"])
def test_what_a_flags_truth_raises_passes_through(inside: None, call: Callable[[object], object]) -> None:
    with pytest.raises(KeyboardInterrupt):
        call(_Interrupting())
