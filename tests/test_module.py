"""The shape of the extension module: names, documentation, signatures."""

import importlib
import inspect
import sys

import pytest

import velmor
from velmor import _lib

FUNCTIONS = ["is_available", "find_free", "wait_until_free", "get_info", "kill", "scan"]

SIGNATURES = {
    "is_available": "(port)",
    "find_free": "(preferred=None)",
    "wait_until_free": "(port, timeout=30)",
    "get_info": "(port)",
    "kill": "(port, force=False)",
    "scan": "(ports)",
}

DOC_OPENINGS = {
    "is_available": "Check if a port is available on localhost.",
    "find_free": "Find a free port on localhost.",
    "wait_until_free": "Wait for a port to become free.",
    "get_info": "Get information about the process using a port.",
    "kill": "Kill the process(es) using a port.",
    "scan": "Scan multiple ports and return info for each.",
}


def test_module_attributes() -> None:
    assert _lib.__all__ == [*FUNCTIONS, "__version__"]
    assert _lib.__version__ == "0.1.0" == velmor.__version__
    assert _lib.__doc__ == "Python module for port management."
    assert not hasattr(_lib, "PanicException")


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_shape(name: str) -> None:
    function = getattr(_lib, name)
    assert function.__self__ is None
    assert function.__module__ == "velmor._lib"
    assert str(inspect.signature(function)) == SIGNATURES[name]
    assert function.__doc__.startswith(DOC_OPENINGS[name])
    assert "--" not in function.__doc__.splitlines()[:2]
    assert not function.__doc__.endswith("\n")
    assert getattr(velmor, name) is function


def test_reimport_runs_the_execution_step_again() -> None:
    first = sys.modules.pop("velmor._lib")
    try:
        again = importlib.import_module("velmor._lib")
        assert again is not first
        assert again.__all__ == first.__all__
        assert again.is_available is not first.is_available
        assert again.is_available.__module__ == "velmor._lib"
        assert again.is_available(0) is False
    finally:
        sys.modules["velmor._lib"] = first
