"""The call guard: native failures reach Python as PanicException, through
the test-only extension that can provoke them."""

from __future__ import annotations

from collections.abc import Callable

import pytest

from conftest import in_subprocess
from test_boundary import Index

hooks = pytest.importorskip("_velmor_hooks", reason="the test-only extension is built by scripts/test")


def panic_type() -> type[BaseException]:
    try:
        hooks.native_failure("probe for the type")
    except BaseException as failure:  # noqa: BLE001 - the type is what we want
        return type(failure)
    raise AssertionError("native_failure returned")


@pytest.mark.parametrize("hook", [hooks.native_failure, hooks.native_failure_unlocked])
def test_native_failure_becomes_panic_exception(hook: Callable[[str], object], capfd: pytest.CaptureFixture[str]) -> None:
    with pytest.raises(BaseException) as raised:
        hook("invariant broken")
    error = raised.value
    assert not isinstance(error, Exception)
    assert type(error).__mro__[1:] == (BaseException, object)
    assert type(error).__module__ == "pyo3_runtime"
    assert type(error).__name__ == "PanicException"
    assert error.args == ("invariant broken",)
    report = capfd.readouterr().err
    assert "panicked at" in report and "invariant broken" in report


def test_panic_exception_type_is_created_once() -> None:
    assert panic_type() is panic_type()


def test_panic_from_python_code_resumes_as_a_new_panic(capfd: pytest.CaptureFixture[str]) -> None:
    panic = panic_type()
    capfd.readouterr()
    original = panic("raised by __index__")
    with pytest.raises(panic) as raised:
        hooks.to_port(Index(original))
    assert raised.value is not original
    assert raised.value.args == ("raised by __index__",)
    assert not hasattr(raised.value, "__notes__")
    err = capfd.readouterr().err
    assert "Python stack trace below:" in err and "raised by __index__" in err


def test_panic_escapes_except_exception_in_a_fresh_interpreter() -> None:
    result = in_subprocess(
        """
        import _velmor_hooks
        try:
            try:
                _velmor_hooks.native_failure("boom")
            except Exception:
                print("caught as Exception")
        except BaseException as error:
            print("caught as BaseException", type(error).__qualname__)
        """
    )
    assert result.stdout.strip() == "caught as BaseException PanicException"
