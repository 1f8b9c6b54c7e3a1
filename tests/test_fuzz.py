"""Argument fuzzing of both faces, as properties: the six functions of _lib,
the functions of _table and the package's functions built on _table.

Whatever a call is given (ints of every size, bools, floats, NaN, strings,
bytes, None, NumPy scalars, sequences, objects whose __index__, __iter__,
__len__ or __bool__ misbehave, keyword names of every kind, ones that cannot
be encoded as UTF-8 among them), it answers with a value of its documented
shape, or raises a binding TypeError whose message begins with the
function's name, or a TypeError, ValueError or OverflowError that names the
parameter in its message or its note, or what an argument's own method
raised, that very exception, with the parameter's note where the face adds
notes. Never an AssertionError, a SystemError or a crash; the same bad call
is refused the same way again.

Nothing is signalled: kill's port is 0, a port just handed out in a network
namespace where nothing else is, or a value that fails conversion; every
stop carries dry_run, True or a value that fails conversion; every wait on
the socket table a timeout of 0 or one that fails conversion; _lib's
wait_until_free runs where every port is free. The other calls run in a
second namespace beside a child that holds a port (HELD) and must survive."""

from __future__ import annotations

import asyncio
import dataclasses
import enum
import inspect
import math
import os
import re
import subprocess
import sys
import unicodedata
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from types import BuiltinFunctionType
from typing import Any

import numpy
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import conftest
import private_network
import velmor
import velmor.aio
from conftest import SANITIZED, TAKES_NOTES, assert_note, in_subprocess, unused_port
from velmor import _table

# --- hostile arguments -------------------------------------------------------

# What the arguments' own methods raised in the current call, each with the
# parameter it was passed as ("keyword" for a keyword name's str()).
RAISED: list[tuple[str, BaseException]] = []


class NoNotes(Exception):
    def add_note(self, note: str) -> None:  # the face drops this failure and raises the exception as it was
        raise RuntimeError("no notes here")


KINDS = [ValueError, TypeError, OverflowError, LookupError, MemoryError, RecursionError, NoNotes, KeyboardInterrupt, SystemExit]


@dataclass(frozen=True, eq=False)
class Failure:
    kind: type[BaseException]
    parameter: str

    def raise_it(self) -> Any:
        error = self.kind(f"raised for {self.parameter}")
        RAISED.append((self.parameter, error))
        raise error


def outcome(value: Any) -> Any:
    return value.raise_it() if isinstance(value, Failure) else value


@dataclass(frozen=True, eq=False)
class Index:
    value: Any  # what __index__ gives (maybe no int at all), or a Failure

    def __index__(self) -> Any:
        return outcome(self.value)


@dataclass(frozen=True, eq=False)
class Sequence:
    """A sequence (it has __getitem__) whose length and iteration are scripted."""

    length: Any
    items: list[Any]
    then: Failure | None  # after the items
    iterator: Any  # "items", "not-an-iterator" or a Failure

    def __len__(self) -> int:
        return int(outcome(self.length))

    def __getitem__(self, index: int) -> Any:
        raise IndexError(index)

    def __iter__(self) -> Any:
        return 5 if outcome(self.iterator) == "not-an-iterator" else self._items()

    def _items(self) -> Iterator[Any]:
        yield from self.items
        outcome(self.then)


def lookalike(module: str, name: str, truth: Any) -> object:
    """An instance of a type that passes for a NumPy boolean by its names, or almost does."""
    namespace: dict[str, Any] = {"__module__": module}
    if truth is not None:
        namespace["__bool__"] = lambda self: outcome(truth)
    return type(name, (), namespace)()


class Keyword(str):
    """A keyword name whose str() is another text, or a failure."""

    shown: Any = None

    def __str__(self) -> Any:
        return outcome(self.shown)


def keyword(text: str, shown: Any) -> Keyword:
    key = Keyword(text)
    key.shown = shown
    return key


# Ports of the test's, chosen just before each call: one the system has just
# handed out, and the one the child beside the calls holds.
Marker = enum.Enum("Marker", "FREE HELD")
FREE, HELD = Marker.FREE, Marker.HELD


def substitute(value: Any, chosen: dict[Marker, int]) -> Any:
    if isinstance(value, Marker):
        return chosen[value]
    if isinstance(value, Index) and isinstance(value.value, Marker):
        return Index(chosen[value.value])
    if type(value) in (list, tuple):
        return type(value)(substitute(item, chosen) for item in value)
    return value


# --- strategies ----------------------------------------------------------------

# The parameter whose value is being drawn, which the Failures drawn name.
DRAWING = ["keyword"]
failures = st.builds(Failure, st.sampled_from(KINDS), st.builds(lambda: DRAWING[0]))
big_ints = st.sampled_from([65535, 65536, -1, 0, 2**31, 2**63 - 1, 2**63, -(2**63) - 1, 2**64 - 1, 2**64, 2**200, -(2**200)])
ints = st.one_of(st.integers(0, 65535), st.integers(), big_ints)
# No int, and no __index__ that gives one (nor a NumPy bool, whose __index__
# some NumPy versions deprecate: the suite makes that warning an error).
junk = st.one_of(st.floats(), st.text(max_size=4), st.binary(max_size=4), st.none(), st.just(object()),
                 st.sampled_from([numpy.float64(1.0), numpy.float64(math.nan)]))


def indexes(values: st.SearchStrategy[Any] = ints) -> st.SearchStrategy[Index]:
    # No bool: one from __index__ is deprecated, which the suite makes an error.
    return st.builds(Index, st.one_of(values, st.floats(), st.none(), st.text(max_size=2), failures))


scalars = st.one_of(ints, st.booleans(), junk, indexes(), st.builds(Index, failures),
                    st.sampled_from([numpy.int8(-5), numpy.uint16(80), numpy.int64(65536), numpy.uint64(2**64 - 1)]))


def sequences(item: st.SearchStrategy[Any]) -> st.SearchStrategy[Any]:
    items = st.one_of(item, item, scalars)
    return st.one_of(
        st.lists(items, max_size=4), st.lists(items, max_size=4).map(tuple), st.binary(max_size=4).map(bytearray),
        st.sets(st.integers(0, 65535), max_size=3), st.dictionaries(st.integers(0, 65535), st.none(), max_size=2),
        st.builds(range, st.integers(0, 4), st.integers(0, 6)),
        st.builds(Sequence, st.one_of(st.integers(0, 5), st.just(-1), failures), st.lists(items, max_size=3),
                  st.none() | failures, st.sampled_from(["items", "not-an-iterator"]) | failures),
    )


def ports(*markers: Marker) -> st.SearchStrategy[Any]:
    return st.one_of(st.integers(1, 65535), st.sampled_from(markers), scalars, indexes(st.sampled_from(markers)))


flags = st.one_of(st.booleans(), st.sampled_from([numpy.True_, numpy.False_, 0, 1, None, "yes", 1.0]),
                  st.builds(lookalike, st.sampled_from(["numpy", "numpy.core"]), st.sampled_from(["bool_", "bool", "bool8"]),
                            st.one_of(st.booleans(), st.none(), st.integers(-1, 2), failures)))
# True, or what no flag takes: never a NumPy lookalike that answers for its truth.
dry_runs = st.one_of(st.sampled_from([True, numpy.True_]), st.sampled_from([None, 0, 1, "yes", 1.0, [True]]),
                     st.builds(lookalike, st.just("numpy"), st.sampled_from(["bool_", "bool"]), st.none() | failures),
                     st.builds(lookalike, st.just("numpy"), st.just("bool8"), st.just(True)))
a_port = ports(FREE, HELD)
port_lists = st.one_of(st.lists(st.integers(0, 65535) | st.sampled_from(Marker), max_size=4), sequences(a_port), a_port,
                       st.none())
# What fails a port's conversion before anything is looked up.
not_a_port = st.one_of(st.integers(max_value=-1), st.integers(min_value=65536), junk,
                       st.builds(Index, st.one_of(failures, st.floats(), st.none(), st.integers(min_value=65536))))
pids = st.one_of(st.just(os.getpid()), st.integers(1, 2**22), scalars)
pid_lists = st.one_of(st.none(), st.lists(st.integers(1, 2**22), max_size=3), sequences(pids), scalars)
seconds = st.one_of(st.floats(), st.integers(0, 5), big_ints, st.booleans(), junk, indexes(st.integers(0, 5)),
                    st.lists(st.floats(), max_size=1))
# A wait's timeout: 0, or what no timeout takes.
zero = st.sampled_from([0, 0.0, -0.0, numpy.float64(0), numpy.int64(0)])
no_wait = st.one_of(zero, zero, st.sampled_from([False, None, math.nan, "0", [0], 2**2000]), st.floats(max_value=-1e-9),
                    st.integers(max_value=-1), st.builds(Index, failures))
surrogates = st.lists(st.sampled_from(["\udcff", "\ud800", "port", "a"]), min_size=1, max_size=3).map("".join)
texts = st.one_of(st.text(max_size=6), surrogates)
keyword_names = st.one_of(
    st.sampled_from(["port", "ports", "timeout", "Port", "port ", "prt", "ports\x00", ""]), texts,
    st.builds(keyword, st.sampled_from(["port", "timeout", "nope"]), st.one_of(texts, failures)),
)

# --- the functions, with the shape of their answers -----------------------------------


@dataclass(frozen=True)
class Function:
    name: str
    call: Callable[..., Any]
    values: dict[str, st.SearchStrategy[Any]]  # per parameter, in order
    answers: Callable[[Any], bool]
    required: int = 1
    positional: int | None = None  # how many may come by position (None: all)
    always: tuple[str, ...] = ()  # given in every call, so that none waits or signals
    notes: bool | None = True  # the face adds the parameter's note to a failed conversion (None: to some)
    named: bool = True  # the face's own refusals name the parameter in their message
    isolated: bool = False  # runs where nothing is held, never beside HELD
    settled: Callable[[BaseException], bool] = lambda error: False  # a failure of the work, not of an argument

    @property
    def parameters(self) -> list[str]:
        """The parameters of `values`, in the order the function takes them
        by position (its signature's), whatever the order they are written in."""
        try:
            order = list(inspect.signature(self.call).parameters)
        except (TypeError, ValueError):
            return list(self.values)
        return sorted(self.values, key=lambda name: order.index(name) if name in order else len(order))


def is_info(info: Any) -> bool:
    return type(info) is dict and set(info) == {"pid", "name", "cmd"} and type(info["pid"]) is int and info["pid"] > 0 \
        and type(info["name"]) is str and info["name"] != "" and type(info["cmd"]) is str


def is_port(value: Any) -> bool:
    return type(value) is int and 0 < value < 65536


def is_bool(value: Any) -> bool:
    return type(value) is bool


def is_shown(text: Any) -> bool:
    """Printable text; a character unassigned in this interpreter's Unicode
    may be one that the engine's newer table knows."""
    return type(text) is str and all(c.isprintable() or unicodedata.category(c) == "Cn" for c in text)


def list_of(check: Callable[[Any], bool]) -> Callable[[Any], bool]:
    return lambda answer: type(answer) is list and all(map(check, answer))


def raw_socket(entry: Any) -> bool:
    return type(entry) is tuple and len(entry) == 11 and is_port(entry[3]) and type(entry[10]) is tuple


def raw_status(entry: Any) -> bool:
    return type(entry) is tuple and len(entry) == 10 and is_port(entry[0]) and all(map(raw_socket, entry[4])) \
        and type(entry[9]) is tuple


def dry_run_report(report: Any) -> bool:
    return isinstance(report, velmor.PortStop) and report.result in ("already_free", "dry_run", "failed") \
        and all(p.outcome in ("running", "refused", "skipped") for p in report.processes)


def run_async(function: Callable[..., Any]) -> Callable[..., Any]:
    return lambda *args, **kwargs: asyncio.run(function(*args, **kwargs))


LIB = [
    Function("is_available", velmor.is_available, {"port": a_port}, is_bool),
    Function("find_free", velmor.find_free, {"preferred": st.none() | a_port}, is_port, required=0),
    Function("wait_until_free", velmor.wait_until_free, {"port": ports(FREE), "timeout": seconds}, is_bool, isolated=True),
    Function("get_info", velmor.get_info, {"port": a_port}, lambda answer: answer is None or is_info(answer)),
    Function("kill", velmor.kill, {"port": st.sampled_from([0, FREE, Index(FREE)]) | not_a_port, "force": flags},
             lambda answer: answer is True, isolated=True,
             settled=lambda e: type(e) is OSError and str(e).startswith("Could not free port")),  # a probe refused for an instant
    Function("scan", velmor.scan, {"ports": sequences(a_port) | scalars},
             lambda a: type(a) is dict and all(type(k) is int and (v is None or is_info(v)) for k, v in a.items())),
]
stopping = {"ports": port_lists, "udp": flags, "all_sockets": flags, "kill_after": seconds, "timeout": seconds,
            "dry_run": dry_runs, "pids": pid_lists}
LIB = [dataclasses.replace(f, named=False) for f in LIB]  # _lib's messages are fixed texts
TABLE = [
    Function("sockets", _table.sockets,
             {"ports": port_lists, "listening": flags, "udp": flags, "holders": flags, "pids": pid_lists, "evidence": flags},
             lambda a: list_of(raw_socket)(a) or (type(a) is tuple and list_of(raw_socket)(a[0]) and type(a[1]) is list),
             required=0),
    Function("free_check", _table.free_check, {"ports": port_lists, "stop_at_taken": flags},
             list_of(lambda v: v in (True, False, None))),
    Function("probe", _table.probe, {"port": a_port}, lambda a: type(a) is int and a >= 0),
    Function("reserve", _table.reserve, {}, is_port, required=0),
    Function("process_tree", _table.process_tree, {"pid": pids}, list_of(lambda pid: type(pid) is int and pid > 0)),
    Function("pids_are_ours", _table.pids_are_ours, {}, is_bool, required=0),
    Function("processes", _table.processes, {"pids": pid_lists},
             list_of(lambda e: e is None or (type(e) is tuple and len(e) == 6))),
    Function("process_view", _table.process_view, {}, lambda a: a in ("every", "own-namespace", "foreign"), required=0),
    Function("printable", _table.printable, {"text": st.text() | scalars}, is_shown),
    Function("stop", _table.stop, {**stopping, "signal": st.integers(0, 70) | scalars, "force": flags},
             lambda a: type(a) is tuple and len(a) == 4 and list_of(raw_status)(a[1]) and a[2] is None
             and len(a[3]) == len(a[1]), always=("dry_run",)),
    Function("wait", _table.wait, {"ports": port_lists, "listening": flags, "timeout": no_wait, "pid": st.none() | pids,
                                   "progress": st.none() | st.sampled_from([0, "x", b""])},
             list_of(is_port), always=("timeout",), settled=lambda e: type(e) is ProcessLookupError,
             notes=None),  # a rule of two parameters (pid needs listening) is no conversion: no note
    Function("listener_watch", _table.listener_watch, {"ports": port_lists, "udp": flags},
             lambda a: type(a).__name__ == "PyCapsule", required=0),
    Function("watch_look", _table.watch_look,
             {"watch": st.sampled_from([_table.listener_watch([1]), _table.listener_watch(None, True)]) | scalars},
             list_of(lambda change: type(change) is tuple and len(change) == 4 and raw_socket(change[2]))),
    Function("checked", _table.checked, {"port": a_port, **stopping, "pid": st.none() | pids, "duration": seconds,
                                         **dict.fromkeys(["force", "listening", "holders"], flags)},
             lambda a: type(a) is tuple, required=0, positional=0),
]
waiting = {"port": a_port, "timeout": no_wait}
PACKAGE = [
    *[Function(name, call, {"ports": port_lists, "udp": flags}, list_of(lambda s: isinstance(s, velmor.Socket)),
               required=0, positional=1) for name, call in (("listeners", velmor.listeners), ("sockets", velmor.sockets))],
    Function("status", velmor.status, {"port": a_port}, lambda a: isinstance(a, velmor.PortStatus)),
    Function("statuses", velmor.statuses, {"ports": port_lists}, list_of(lambda s: isinstance(s, velmor.PortStatus))),
    Function("is_free", velmor.is_free, {"port": a_port}, is_bool),
    Function("stop", velmor.stop, {**stopping, "force": flags}, list_of(dry_run_report), positional=1, always=("dry_run",)),
    *[Function(name, call, {**waiting, "pid": st.none() | pids}, is_bool, positional=2, always=("timeout",),
               settled=lambda e: type(e) is ProcessLookupError)  # no such process, or it exited first
      for name, call in (("wait_until_listening", velmor.wait_until_listening),
                         ("aio.wait_until_listening", run_async(velmor.aio.wait_until_listening)))],
    Function("aio.wait_until_free", run_async(velmor.aio.wait_until_free), waiting, is_bool, positional=2, always=("timeout",)),
    Function("reserve", velmor.reserve, {}, is_port, required=0),
]


@st.composite
def calls(draw: Any, function: Function) -> tuple[tuple[Any, ...], dict[str, Any]]:
    """Mostly well-formed calls, so that conversions are reached; a fifth
    with any number of positional arguments and keywords of any name."""
    names = function.parameters
    positional = len(names) if function.positional is None else function.positional

    def value(name: str) -> Any:
        DRAWING[0] = names[names.index(name)] if name in names else "keyword"
        return draw(function.values[name] if name in names else scalars)

    shape = draw(st.sampled_from(["positional", "positional", "keywords", "keywords", "wild"])) if names else "wild"
    kwargs: dict[str, Any] = {}
    if shape == "positional":
        args = tuple(map(value, names[:draw(st.integers(min(function.required, positional), positional))]))
    elif shape == "keywords":
        args = tuple(map(value, names[:draw(st.integers(0, positional))]))
        kwargs = {name: value(name) for name in draw(st.lists(st.sampled_from(names[len(args):] or [""]), unique=True)) if name}
    else:
        args = tuple(value(names[min(i, len(names) - 1)] if names else "") for i in range(draw(st.integers(0, positional + 1))))
        DRAWING[0] = "keyword"
        for name in draw(st.lists(st.sampled_from(names) | keyword_names if names else keyword_names, max_size=3)):
            kwargs[name] = value(name)
    for name in function.always:
        if names.index(name) >= len(args) and name not in kwargs:
            kwargs[name] = value(name)
    return args, kwargs


# --- the properties ------------------------------------------------------------

REFUSED = (TypeError, ValueError, OverflowError)
# The interpreter's own refusals of what an argument's method returned: they
# name no parameter; the note does.
INTERPRETER_REFUSALS = ("__index__ returned non-int", "__bool__ should return bool", "must return an int", "must return a bool")


def note(parameter: str) -> str:
    return f"while processing '{parameter}'"


def result(function: Function, args: tuple[Any, ...], kwargs: dict[str, Any]) -> tuple[Any, BaseException | None]:
    RAISED.clear()
    try:
        return function.call(*args, **kwargs), None
    except BaseException as error:  # noqa: BLE001 - every failure is judged
        return None, error


def check_failure(function: Function, error: BaseException, kwargs: dict[str, Any]) -> None:
    """The argument's own exception, a binding error, or a refusal that names the parameter."""
    notes = getattr(error, "__notes__", None)
    if sys.version_info < (3, 11) and type(error) is TypeError and not error.args:
        # The binding of a Python function there, when a keyword's str() fails.
        assert any(isinstance(key, Keyword) for key in kwargs) and not isinstance(function.call, BuiltinFunctionType), error
        return
    own = [parameter for parameter, raised in RAISED if raised is error]
    if own:
        # A keyword's str() fails in binding, which adds no note; nor does the package.
        noted = own[0] in function.parameters and function.notes is not False and not isinstance(error, NoNotes)
        if function.notes is None and notes is None:
            return
        assert_note(error, note(own[0]) if noted else None)
        return
    assert type(error) in REFUSED, f"{function.name} raised {error!r}"
    message = str(error)
    if notes is None and message.startswith(f"{function.name.rpartition('.')[2]}() "):
        assert type(error) is TypeError, error  # binding
        return
    if function.notes and TAKES_NOTES:
        assert notes in [[note(parameter)] for parameter in function.parameters], (notes, function.parameters)
    elif function.notes is None and TAKES_NOTES:
        assert notes is None or notes in [[note(parameter)] for parameter in function.parameters], notes
    else:
        assert notes is None, notes
    if function.named and not any(text in message for text in INTERPRETER_REFUSALS):
        named = re.match(rf"({'|'.join(function.parameters)})[ :]", message)
        assert named and (notes is None or notes == [note(named[1])]), (message, notes)


def check_call(function: Function, args: tuple[Any, ...], kwargs: dict[str, Any]) -> None:
    unraisable: list[Any] = []
    previous, sys.unraisablehook = sys.unraisablehook, unraisable.append
    try:
        answer, error = result(function, args, kwargs)
        if error is None:
            assert function.answers(answer), f"{function.name}{args}{kwargs} answered {answer!r}"
        elif not function.settled(error):
            check_failure(function, error, kwargs)
            _, again = result(function, args, kwargs)
            assert type(again) is type(error) and again.args == error.args, (error, again)
            assert getattr(again, "__notes__", None) == getattr(error, "__notes__", None)
    finally:
        sys.unraisablehook = previous
    # Only a keyword name whose str() fails is reported as unraisable.
    assert not unraisable or any(isinstance(key, Keyword) for key in kwargs), unraisable


@pytest.fixture(scope="module")
def beside_held(network: int | None) -> Iterator[tuple[int | None, subprocess.Popen[str], int]]:
    """A second namespace of the module's (None where the first is None),
    with a child of the test's that listens on a port there."""
    crowded = private_network.make() if network is not None else None
    with private_network.inside(crowded):
        port = unused_port()
        child = subprocess.Popen([sys.executable, "-c", conftest._HOLDER, str(port), "tcp"], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout is not None and child.stdout.readline().startswith("ready")
        yield crowded, child, port
    finally:
        conftest.stop_process(child)
        if crowded is not None:
            os.close(crowded)


FUZZ = settings(deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large], database=None)
FACES = {"lib": (LIB, 500), "table": (TABLE, 150), "package": (PACKAGE, 150)}


@pytest.mark.parametrize(("function", "examples"), [(f, n) for group, n in FACES.values() for f in group],
                         ids=[f"{face}.{f.name}" for face, (group, _) in FACES.items() for f in group])
def test_any_arguments_answer_or_are_refused_naming_the_parameter(
    network: int | None, beside_held: tuple[int | None, subprocess.Popen[str], int], function: Function, examples: int
) -> None:
    crowded, child, held = beside_held
    if function.isolated and network is None:
        pytest.skip("needs a network namespace of our own (CAP_SYS_ADMIN): the call could reach a port of the machine")

    @settings(FUZZ, max_examples=examples)
    @given(call=calls(function))
    def property(call: tuple[tuple[Any, ...], dict[str, Any]]) -> None:
        with private_network.inside(network if function.isolated else crowded):
            chosen = {FREE: unused_port(), HELD: held}
            args, kwargs = call
            check_call(function, substitute(args, chosen), {key: substitute(v, chosen) for key, v in kwargs.items()})

    property()
    assert child.poll() is None, "the child that holds HELD was signalled"


@pytest.mark.parametrize("call", [lambda: velmor.is_free(Index(1.5)), lambda: velmor.listeners([Index(None)])])
@pytest.mark.skipif(sys.version_info < (3, 11), reason="exceptions take notes from 3.11 on")
def test_an_index_that_gives_no_int_is_refused_naming_the_parameter(call: Callable[[], object]) -> None:
    with pytest.raises(TypeError) as caught:
        call()
    assert re.match(r"ports?[ :]", str(caught.value)) or getattr(caught.value, "__notes__", None), caught.value


# --- cases that could bring the interpreter down, in a process of their own -----


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves more address space than the limit allows")
def test_endless_sequence_exhausts_memory_without_crashing() -> None:
    # scan reads every item before it looks anything up: given a sequence
    # that never ends, the list of ports grows until memory runs out, which
    # must end the call with an exception, not the process.
    result = in_subprocess(
        """
        import itertools, resource, velmor
        class Endless:
            def __getitem__(self, index):
                return 80
            def __iter__(self):
                return itertools.repeat(80)
        limit = 512 << 20
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        try:
            velmor.scan(Endless())
        except BaseException as error:
            print(type(error).__name__, *error.args)
        """,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() in ("MemoryError", "PanicException out of memory"), result.stdout
