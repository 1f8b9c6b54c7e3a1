"""Argument binding, conversions and the call guard, as every caller sees them."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import pytest

import velmor
from conftest import OUT_OF_RANGE, assert_note

Call = Callable[[], Any]


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: velmor.is_available(), "is_available() missing 1 required positional argument: 'port'"),
        (lambda: velmor.kill(force=True), "kill() missing 1 required positional argument: 'port'"),
        (lambda: velmor.scan(), "scan() missing 1 required positional argument: 'ports'"),
        (lambda: velmor.scan([1], [2]), "scan() takes 1 positional arguments but 2 were given"),
        (lambda: velmor.get_info(1, 2, 3), "get_info() takes 1 positional arguments but 3 were given"),
        (lambda: velmor.kill(8000, True, 3), "kill() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: velmor.find_free(1, 2), "find_free() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda: velmor.wait_until_free(1, 2, 3), "wait_until_free() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: velmor.is_available(8000, prt=1), "is_available() got an unexpected keyword argument 'prt'"),
        (lambda: velmor.is_available(Port=8000), "is_available() got an unexpected keyword argument 'Port'"),
        (lambda: velmor.is_available(8000, port=8000), "is_available() got multiple values for argument 'port'"),
        (lambda: velmor.kill(1, False, force=True), "kill() got multiple values for argument 'force'"),
        (lambda: velmor.find_free(**{"\udcff": 1}), "find_free() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    ],
)
def test_binding_errors(call: Call, message: str) -> None:
    with pytest.raises(TypeError) as raised:
        call()
    assert raised.value.args == (message,)
    assert not hasattr(raised.value, "__notes__")


class Index:
    def __init__(self, value: object) -> None:
        self.value = value

    def __index__(self) -> Any:
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


@pytest.mark.parametrize(
    ("call", "kind", "message", "parameter"),
    [
        (lambda: velmor.is_available(65536), OverflowError, OUT_OF_RANGE, "port"),
        (lambda: velmor.is_available(-1), OverflowError, OUT_OF_RANGE, "port"),
        (lambda: velmor.get_info(-5), OverflowError, OUT_OF_RANGE, "port"),
        (lambda: velmor.is_available(2**70), OverflowError, "Python int too large to convert to C long", "port"),
        (lambda: velmor.is_available(8000.0), TypeError, "'float' object cannot be interpreted as an integer", "port"),
        (lambda: velmor.is_available("8000"), TypeError, "'str' object cannot be interpreted as an integer", "port"),
        (lambda: velmor.is_available(Index(ValueError("own"))), ValueError, "own", "port"),
        (lambda: velmor.find_free(70000), OverflowError, OUT_OF_RANGE, "preferred"),
        (lambda: velmor.kill(8000, 1), TypeError, "'int' object is not an instance of 'bool'", "force"),
        (lambda: velmor.kill(8000, None), TypeError, "'None' is not an instance of 'bool'", "force"),
        (lambda: velmor.kill(8000, "yes"), TypeError, "'str' object is not an instance of 'bool'", "force"),
        (lambda: velmor.scan("8000"), TypeError, "Can't extract `str` to `Vec`", "ports"),
        (lambda: velmor.scan({8000}), TypeError, "'set' object is not an instance of 'Sequence'", "ports"),
        (lambda: velmor.scan(8000), TypeError, "'int' object is not an instance of 'Sequence'", "ports"),
        (lambda: velmor.scan(None), TypeError, "'None' is not an instance of 'Sequence'", "ports"),
        (lambda: velmor.scan([8000, "x"]), TypeError, "'str' object cannot be interpreted as an integer", "ports"),
        (lambda: velmor.scan([80, 70000]), OverflowError, OUT_OF_RANGE, "ports"),
        (lambda: velmor.wait_until_free(8000, None), TypeError, "'NoneType' object cannot be interpreted as an integer", "timeout"),
        (lambda: velmor.wait_until_free(8000, 1.5), TypeError, "'float' object cannot be interpreted as an integer", "timeout"),
        (lambda: velmor.wait_until_free(8000, -1), OverflowError, "can't convert negative int to unsigned", "timeout"),
        (lambda: velmor.wait_until_free(8000, 2**64), OverflowError, "int too big to convert", "timeout"),
        (lambda: velmor.wait_until_free(0, None), TypeError, "'NoneType' object cannot be interpreted as an integer", "timeout"),
    ],
)
def test_conversion_errors_carry_the_parameter_note(
    call: Call, kind: type[BaseException], message: str, parameter: str
) -> None:
    with pytest.raises(kind) as raised:
        call()
    assert type(raised.value) is kind
    assert str(raised.value) == message
    assert_note(raised.value, f"while processing '{parameter}'")


def test_conversion_stops_at_the_first_bad_argument() -> None:
    with pytest.raises(OverflowError) as raised:
        velmor.kill(-1, "also bad")
    assert_note(raised.value, "while processing 'port'")


class FailingSequence:
    """A sequence whose length lies and whose iteration breaks."""

    def __len__(self) -> int:
        raise RuntimeError("no length")

    def __getitem__(self, index: int) -> int:
        raise KeyError("broken iteration")


@pytest.mark.parametrize(
    ("ports", "expected"),
    [
        ((), {}),
        ([], {}),
        ([0], {0: None}),
        ([0, 0], {0: None}),
        (b"", {}),
    ],
)
def test_scan_accepts_sequences(ports: Any, expected: dict[int, None]) -> None:
    assert velmor.scan(ports) == expected


def test_scan_reports_iteration_failures() -> None:
    with pytest.raises(KeyError) as raised:
        velmor.scan(FailingSequence())
    assert_note(raised.value, "while processing 'ports'")


@pytest.mark.parametrize("port", [True, Index(0), Index(65535)])
def test_port_accepts_bool_and_index(port: object) -> None:
    assert isinstance(velmor.is_available(port), bool)
    assert velmor.get_info(Index(0)) is None


def test_timeout_accepts_index_and_largest_value() -> None:
    assert velmor.wait_until_free(0, Index(5)) is False
    assert velmor.wait_until_free(0, 2**64 - 1) is False
