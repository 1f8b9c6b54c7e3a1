"""Argument fuzzing of the six functions: whatever they are given (ints of
every size, bools, floats, strings, bytes, None, NumPy scalars, sequences,
objects with hostile __index__, __iter__, __len__ and __bool__, keyword names
of every kind including ones that cannot be encoded as UTF-8), a call either
answers with a value of the documented shape or raises exactly what the call
boundary lets through: its binding and conversion errors with their fixed
messages, the interpreter's own conversion errors unchanged, and whatever an
argument's own methods raised, unchanged, with the parameter's note.

The expected outcome of each call comes from a model of the boundary written
here in Python (binding, then each conversion in parameter order); the hostile
objects behave the same on every call, so the model and the module meet the
same behaviour.

kill is never driven with an arbitrary port: its port is 0, a port the test
has just been handed by the system in a network namespace of its own, or a
value that fails conversion before anything is looked up; a call the model
finds would reach the search with any other port is not made.
wait_until_free runs in that namespace too, where no port is held, so that
no call waits for its timeout."""

from __future__ import annotations

import contextlib
import ctypes
import operator
import sys
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import numpy
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import private_network
import velmor
from conftest import OUT_OF_RANGE, SANITIZED, assert_note, in_subprocess, not_freed, unused_port

LONG_MIN, LONG_MAX = -(2**63), 2**63 - 1

PARAMETERS: dict[str, tuple[tuple[str, ...], int]] = {
    "is_available": (("port",), 1),
    "find_free": (("preferred",), 0),
    "wait_until_free": (("port", "timeout"), 1),
    "get_info": (("port",), 1),
    "kill": (("port", "force"), 1),
    "scan": (("ports",), 1),
}


# --- hostile arguments -------------------------------------------------------


class NoNotes(Exception):
    """An exception that refuses notes: the boundary must drop the failure of
    add_note and raise the exception as it was."""

    def add_note(self, note: str) -> None:
        raise RuntimeError("no notes here")


RAISED = [ValueError, TypeError, OverflowError, ArithmeticError, MemoryError, RecursionError, NoNotes, KeyboardInterrupt, SystemExit]


@dataclass(frozen=True)
class Failure:
    """An exception an argument's method raises: a fresh one on every call."""

    kind: type[BaseException]
    text: str

    def raise_it(self) -> Any:
        raise self.kind(self.text)


class Index:
    """Converts by __index__ to `value` (which may be no int at all), or raises."""

    def __init__(self, value: Any) -> None:
        self.value = value

    def __index__(self) -> Any:
        return self.value.raise_it() if isinstance(self.value, Failure) else self.value

    def __repr__(self) -> str:
        return f"Index({self.value!r})"


class Sequence:
    """A sequence (it has __getitem__) whose length and iteration are scripted."""

    def __init__(self, length: Any, items: list[Any], failure: Failure | None, iterator: str) -> None:
        self.length, self.items, self.failure, self.iterator = length, items, failure, iterator

    def __len__(self) -> int:
        return self.length.raise_it() if isinstance(self.length, Failure) else self.length

    def __getitem__(self, index: int) -> Any:
        raise IndexError(index)

    def __iter__(self) -> Any:
        if self.iterator == "raises":
            raise LookupError("no iterator")
        if self.iterator == "not-an-iterator":
            return 5
        return self._items()

    def _items(self) -> Iterator[Any]:
        yield from self.items
        if self.failure is not None:
            self.failure.raise_it()

    def __repr__(self) -> str:
        return f"Sequence(len={self.length!r}, items={self.items!r}, then={self.failure!r}, iterator={self.iterator})"


class IterableOnly:
    """Iterable, but no sequence."""

    def __iter__(self) -> Iterator[int]:
        return iter([1, 2])


class Lookalike:
    """Instances of types that pass for NumPy booleans by their names, or almost do."""

    @staticmethod
    def make(module: str, name: str, truth: Any) -> object:
        namespace: dict[str, Any] = {"__module__": module}
        if truth is not None:
            namespace["__bool__"] = lambda self: truth.raise_it() if isinstance(truth, Failure) else truth
        return type(name, (), namespace)()


class Keyword(str):
    """A keyword name whose str() is not its own text: another text, one with
    a lone surrogate, not a str, or a failure."""

    shown: Any = None

    def __str__(self) -> Any:
        return self.shown.raise_it() if isinstance(self.shown, Failure) else self.shown


def keyword(text: str, shown: Any) -> Keyword:
    key = Keyword(text)
    key.shown = shown
    return key


class Free:
    """Stands for a port the system hands out in the test's namespace just
    before the call."""

    def __repr__(self) -> str:
        return "Free()"


FREE = Free()

# --- strategies ------------------------------------------------------------

failures = st.builds(Failure, st.sampled_from(RAISED), st.text(max_size=8))
big_ints = st.sampled_from([65535, 65536, -1, 2**31, LONG_MAX, LONG_MAX + 1, LONG_MIN, LONG_MIN - 1, 2**64 - 1, 2**64, 2**200, -(2**200)])
ints = st.one_of(st.integers(0, 65535), st.integers(), big_ints, st.integers(-(2**70), 2**70))
numpy_scalars = st.sampled_from(
    [numpy.int8(-5), numpy.uint16(80), numpy.int64(65536), numpy.uint64(2**64 - 1), numpy.float64(1.0), numpy.True_, numpy.False_]
)
scalars = st.one_of(
    ints, st.booleans(), st.floats(), st.text(max_size=5), st.binary(max_size=5), st.none(), numpy_scalars,
    st.builds(IterableOnly), st.just(object()),
)
index_values = st.one_of(ints, st.booleans(), st.floats(), st.none(), st.text(max_size=3), failures)
indexes = st.builds(Index, index_values)
items = st.one_of(st.integers(0, 65535), ints, st.booleans(), indexes, st.floats(), st.none(), st.text(max_size=2))
sequences = st.one_of(
    st.lists(items, max_size=4),
    st.lists(items, max_size=4).map(tuple),
    st.binary(max_size=4),
    st.binary(max_size=4).map(bytearray),
    st.sets(st.integers(0, 65535), max_size=3),
    st.dictionaries(st.integers(0, 65535), st.none(), max_size=2),
    st.builds(range, st.integers(0, 4), st.integers(0, 6)),
    st.builds(
        Sequence,
        st.one_of(st.integers(0, 5), st.just(2**62), st.just(-1), st.just("x"), failures),
        st.lists(items, max_size=3),
        st.none() | failures,
        st.sampled_from(["items", "items", "raises", "not-an-iterator"]),
    ),
)
truths = st.one_of(st.booleans(), st.none(), st.integers(-1, 2), failures)
flags = st.one_of(
    st.booleans(),
    st.sampled_from([numpy.True_, numpy.False_, 0, 1, None, "yes", 1.0]),
    st.builds(Lookalike.make, st.sampled_from(["numpy", "numpy", "numpy.core"]), st.sampled_from(["bool_", "bool", "bool8"]), truths),
)
ports_any = st.one_of(st.integers(0, 65535), big_ints, scalars, indexes)
# kill's ports: only 0, a free port of the test's, or values that cannot convert.
unconvertible = st.one_of(
    st.integers(max_value=-1), st.integers(min_value=65536), st.floats(), st.text(max_size=3), st.none(),
    st.binary(max_size=3), st.builds(Index, st.one_of(failures, st.floats(), st.none(), st.integers(min_value=65536))),
)
ports_for_kill = st.one_of(st.just(0), st.just(FREE), st.just(Index(FREE)), unconvertible)
timeouts = st.one_of(st.integers(0, 5), big_ints, ints, st.booleans(), st.floats(), st.none(), indexes)

surrogates = st.lists(st.sampled_from(["\udcff", "\ud800", "\udfff", "port", "a"]), min_size=1, max_size=3).map("".join)
texts = st.one_of(st.text(max_size=6), surrogates)
keyword_names = st.one_of(
    st.sampled_from(["port", "preferred", "timeout", "force", "ports", "Port", "port ", "prt", "ports\x00", ""]),
    texts,
    st.builds(keyword, st.sampled_from(["port", "timeout", "force", "ports", "nope"]), st.one_of(texts, st.just(5), failures)),
)


def values_for(function: str, parameter: str) -> st.SearchStrategy[Any]:
    if function == "kill" and parameter == "port":
        return ports_for_kill
    return {
        "port": ports_any,
        "preferred": st.one_of(st.none(), ports_any),
        "timeout": timeouts,
        "force": flags,
        "ports": st.one_of(sequences, scalars),
    }[parameter]


@st.composite
def calls(draw: Any, function: str) -> tuple[tuple[Any, ...], dict[str, Any]]:
    """Mostly well-formed calls, so that conversions are reached; a fifth
    with any number of positional arguments and keywords of any name."""
    parameters, required = PARAMETERS[function]
    strategies = [values_for(function, name) for name in parameters]
    shape = draw(st.sampled_from(["positional", "positional", "keywords", "keywords", "wild"]))
    if shape == "positional":
        count = draw(st.integers(required, len(parameters)))
        return tuple(draw(strategies[i]) for i in range(count)), {}
    if shape == "keywords":
        count = draw(st.integers(0, len(parameters)))
        args = tuple(draw(strategies[i]) for i in range(count))
        named = draw(st.lists(st.sampled_from(parameters[count:]), unique=True)) if count < len(parameters) else []
        return args, {name: draw(strategies[parameters.index(name)]) for name in named}
    count = draw(st.integers(0, len(parameters) + 1))
    args = tuple(draw(strategies[min(i, len(strategies) - 1)]) for i in range(count))
    kwargs: dict[str, Any] = {}
    for name in draw(st.lists(st.one_of(st.sampled_from(parameters), keyword_names), max_size=3)):
        kwargs[name] = draw(strategies[parameters.index(name)] if name in parameters else scalars)
    return args, kwargs


# --- the model of the boundary ------------------------------------------------


@dataclass
class Raised:
    kind: type[BaseException]
    args: tuple[Any, ...]
    note: str | None  # the parameter's note, or None for none


class Unraisable:
    """Collects what the boundary reports as unraisable (a keyword's failing str())."""

    def __init__(self) -> None:
        self.seen: list[type[BaseException]] = []

    def __call__(self, report: Any) -> None:
        self.seen.append(type(report.exc_value))


def object_text(key: str, unraisable: list[type[BaseException]]) -> str:
    try:
        text = str(key)
    except BaseException as error:  # noqa: BLE001 - any failure gives the fallback text
        unraisable.append(type(error))
        return f"<unprintable {type(key).__name__} object>"
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def reraised(error: BaseException, note: str) -> Raised:
    return Raised(type(error), error.args, None if isinstance(error, NoNotes) else note)


_sequence_check = ctypes.pythonapi.PySequence_Check
_sequence_check.argtypes = [ctypes.py_object]


def model_port(value: Any, note: str) -> int | Raised:
    try:
        number = operator.index(value)
    except BaseException as error:  # noqa: BLE001 - passed through unchanged
        return reraised(error, note)
    if not LONG_MIN <= number <= LONG_MAX:
        return Raised(OverflowError, ("Python int too large to convert to C long",), note)
    if not 0 <= number <= 65535:
        return Raised(OverflowError, (OUT_OF_RANGE,), note)
    return number


def model_timeout(value: Any) -> int | Raised:
    note = "while processing 'timeout'"
    try:
        number = operator.index(value)
    except BaseException as error:  # noqa: BLE001 - passed through unchanged
        return reraised(error, note)
    if number < 0:
        return Raised(OverflowError, ("can't convert negative int to unsigned",), note)
    if number >= 2**64:
        return Raised(OverflowError, ("int too big to convert",), note)
    return number


def model_flag(value: Any) -> bool | Raised:
    note = "while processing 'force'"
    if type(value) is bool:
        return value
    kind = type(value)
    if getattr(kind, "__module__", None) == "numpy" and getattr(kind, "__name__", None) in ("bool_", "bool"):
        if not hasattr(kind, "__bool__"):
            return Raised(TypeError, (f"object of type '{kind}' does not define a '__bool__' conversion",), note)
        try:
            return operator.truth(value)
        except BaseException as error:  # noqa: BLE001 - passed through unchanged
            return reraised(error, note)
    if value is None:
        return Raised(TypeError, ("'None' is not an instance of 'bool'",), note)
    return Raised(TypeError, (f"'{kind.__qualname__}' object is not an instance of 'bool'",), note)


def model_ports(value: Any) -> list[int] | Raised:
    note = "while processing 'ports'"
    if isinstance(value, str):
        return Raised(TypeError, ("Can't extract `str` to `Vec`",), note)
    if not _sequence_check(value):
        if value is None:
            return Raised(TypeError, ("'None' is not an instance of 'Sequence'",), note)
        return Raised(TypeError, (f"'{type(value).__qualname__}' object is not an instance of 'Sequence'",), note)
    with contextlib.suppress(BaseException):
        len(value)  # asked as a hint; its failure is ignored
    ports = []
    try:
        for item in value:
            port = model_port(item, note)
            if isinstance(port, Raised):
                return port
            ports.append(port)
    except BaseException as error:  # noqa: BLE001 - passed through unchanged
        return reraised(error, note)
    return ports


def model(function: str, args: tuple[Any, ...], kwargs: dict[str, Any], unraisable: list[type[BaseException]]) -> list[Any] | Raised:
    """The converted arguments (None where absent), or the failure."""
    parameters, required = PARAMETERS[function]
    count = len(parameters)
    if len(args) > count:
        takes = str(count) if required == count else f"from {required} to {count}"
        was = "was" if len(args) == 1 else "were"
        message = f"{function}() takes {takes} positional arguments but {len(args)} {was} given"
        return Raised(TypeError, (message,), None)
    missing = object()
    bound: list[Any] = [*args, *[missing] * (count - len(args))]
    for key, value in kwargs.items():
        try:
            index = parameters.index(str.encode(key, "utf-8").decode())
        except (UnicodeEncodeError, ValueError):
            message = f"{function}() got an unexpected keyword argument '{object_text(key, unraisable)}'"
            return Raised(TypeError, (message,), None)
        if bound[index] is not missing:
            message = f"{function}() got multiple values for argument '{object_text(key, unraisable)}'"
            return Raised(TypeError, (message,), None)
        bound[index] = value
    absent = [name for name, value in zip(parameters[:required], bound) if value is missing]
    if absent:
        return Raised(TypeError, (f"{function}() missing 1 required positional argument: '{absent[0]}'",), None)

    converted: list[Any] = []
    for name, value in zip(parameters, bound):
        if value is missing:
            result: Any = None
        elif name in ("port", "preferred"):
            result = None if name == "preferred" and value is None else model_port(value, f"while processing '{name}'")
        elif name == "timeout":
            result = model_timeout(value)
        elif name == "force":
            result = model_flag(value)
        else:
            result = model_ports(value)
        if isinstance(result, Raised):
            return result
        converted.append(result)
    return converted


# --- running one call ---------------------------------------------------------


def substitute(value: Any, port: int) -> Any:
    if value is FREE:
        return port
    if isinstance(value, Index) and value.value is FREE:
        return Index(port)
    return value


def is_info(info: Any) -> bool:
    return (
        type(info) is dict
        and set(info) == {"pid", "name", "cmd"}
        and type(info["pid"]) is int
        and info["pid"] >= 0
        and type(info["name"]) is str
        and info["name"] != ""
        and type(info["cmd"]) is str
    )


def check_answer(function: str, converted: list[Any], answer: Any) -> None:
    port = converted[0]
    if function in ("is_available", "wait_until_free"):
        assert type(answer) is bool
        assert port != 0 or answer is False
    elif function == "find_free":
        assert type(answer) is int and 0 < answer < 65536
    elif function == "get_info":
        assert answer is None or is_info(answer)
        assert port != 0 or answer is None
    elif function == "scan":
        assert type(answer) is dict and set(answer) == set(port)
        assert all(value is None or is_info(value) for value in answer.values())
        assert answer.get(0) is None
    else:
        assert answer is True


def run_call(function: str, args: tuple[Any, ...], kwargs: dict[str, Any], network: int | None) -> None:
    isolated = function in ("kill", "wait_until_free")
    with private_network.inside(network if isolated else None):
        port = unused_port()
        args = tuple(substitute(value, port) for value in args)
        kwargs = {key: substitute(value, port) for key, value in kwargs.items()}
        model_unraisable: list[type[BaseException]] = []
        expected = model(function, args, kwargs, model_unraisable)

        if not isinstance(expected, Raised) and isolated:
            target = expected[0]
            if function == "kill" and target not in (0, port):
                event("not called: kill of a port not known to be free")
                return
            if function == "wait_until_free" and network is None and target not in (0, port) and expected[1]:
                event("not called: a wait that could last")
                return
        unraisable = Unraisable()
        previous_hook, sys.unraisablehook = sys.unraisablehook, unraisable
        try:
            answer = getattr(velmor, function)(*args, **kwargs)
        except BaseException as error:  # noqa: BLE001 - compared with the model
            outcome: Any = error
        else:
            outcome = answer
        finally:
            sys.unraisablehook = previous_hook

    assert unraisable.seen == model_unraisable
    event(type(outcome).__name__ if isinstance(outcome, BaseException) else "answered")
    if isinstance(expected, Raised):
        assert isinstance(outcome, BaseException), f"expected {expected}, got {outcome!r}"
        assert type(outcome) is expected.kind, (outcome, expected)
        assert outcome.args == expected.args, (outcome.args, expected.args)
        assert_note(outcome, expected.note)
        return
    if function == "kill" and isinstance(outcome, OSError):
        # The first probe of a free port can be refused for an instant by the
        # kernel; the search then finds no holder in our namespace.
        assert outcome.args == (not_freed(expected[0]),)
        return
    assert not isinstance(outcome, BaseException), f"{function}{args}{kwargs} raised {outcome!r}"
    check_answer(function, expected, outcome)


FUZZ = settings(
    max_examples=800,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
    database=None,
)


@pytest.mark.parametrize("function", list(PARAMETERS))
@FUZZ
@given(data=st.data())
def test_arguments(function: str, network: int | None, data: st.DataObject) -> None:
    args, kwargs = data.draw(calls(function), label="call")
    run_call(function, args, kwargs, network)


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
