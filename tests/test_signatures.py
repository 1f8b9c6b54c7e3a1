"""The native modules, their text signatures and their type stubs agree:
the same functions, the same parameters in the same order with the same
defaults, and every parameter accepted by name. A parameter added, renamed
or given another default on one side only fails here."""

from __future__ import annotations

import ast
import inspect
from pathlib import Path
from types import ModuleType
from typing import Any

import pytest

import velmor
from velmor import _lib, _table

MODULES = [_lib, _table]


def stub_functions(module: ModuleType) -> dict[str, list[ast.FunctionDef]]:
    """The functions of the module's .pyi, each with all its overloads."""
    stub = Path(velmor.__file__).parent / f"{module.__name__.rsplit('.', 1)[1]}.pyi"
    functions: dict[str, list[ast.FunctionDef]] = {}
    for node in ast.parse(stub.read_text()).body:
        if isinstance(node, ast.FunctionDef):
            functions.setdefault(node.name, []).append(node)
    return functions


def native_functions(module: ModuleType) -> dict[str, Any]:
    return {name: value for name, value in vars(module).items()
            if callable(value) and not isinstance(value, type) and not name.startswith("_")}


def stub_parameters(function: ast.FunctionDef) -> list[tuple[str, str, object]]:
    """(name, kind, default) of each parameter, as inspect names kinds."""
    arguments = function.args
    positional = arguments.posonlyargs + arguments.args
    defaults: list[object] = [inspect.Parameter.empty] * (len(positional) - len(arguments.defaults))
    defaults += [ast.literal_eval(default) for default in arguments.defaults]
    kinds = ["POSITIONAL_ONLY"] * len(arguments.posonlyargs) + ["POSITIONAL_OR_KEYWORD"] * len(arguments.args)
    found = [(argument.arg, kind, default) for argument, kind, default in zip(positional, kinds, defaults)]
    for argument, default_node in zip(arguments.kwonlyargs, arguments.kw_defaults):
        default = inspect.Parameter.empty if default_node is None else ast.literal_eval(default_node)
        found.append((argument.arg, "KEYWORD_ONLY", default))
    if arguments.kwarg is not None:
        found.append((arguments.kwarg.arg, "VAR_KEYWORD", inspect.Parameter.empty))
    return found


def native_parameters(function: Any) -> list[tuple[str, str, object]]:
    return [(parameter.name, parameter.kind.name, parameter.default)
            for parameter in inspect.signature(function).parameters.values()]


def _named_parameters(function: Any) -> dict[str, inspect.Parameter]:
    """The parameters that have a name of their own: not a **arguments,
    whose names are its rules (_table.checked's: see test_table_arguments.py)."""
    return {name: parameter for name, parameter in inspect.signature(function).parameters.items()
            if parameter.kind is not inspect.Parameter.VAR_KEYWORD}


@pytest.mark.parametrize("module", MODULES, ids=lambda module: module.__name__)
def test_the_stub_declares_exactly_the_native_functions(module: ModuleType) -> None:
    assert sorted(stub_functions(module)) == sorted(native_functions(module))


@pytest.mark.parametrize(
    ("module", "name"),
    [(module, name) for module in MODULES for name in sorted(native_functions(module))],
    ids=lambda value: value if isinstance(value, str) else value.__name__,
)
def test_the_signature_and_the_stub_give_the_same_parameters(module: ModuleType, name: str) -> None:
    native = native_parameters(native_functions(module)[name])
    overloads = stub_functions(module)[name]
    # Of overloads, the first is the call with every default: the others
    # narrow it by a literal (sockets' evidence) and must keep its names.
    assert stub_parameters(overloads[0]) == native
    for overload in overloads[1:]:
        assert [parameter[0] for parameter in stub_parameters(overload)] == [parameter[0] for parameter in native]


@pytest.mark.parametrize(
    ("module", "name"),
    [(module, name) for module in MODULES for name, function in sorted(native_functions(module).items())
     if _named_parameters(function)],
    ids=lambda value: value if isinstance(value, str) else value.__name__,
)
def test_every_parameter_is_accepted_by_its_name(module: ModuleType, name: str) -> None:
    function = native_functions(module)[name]
    parameters = _named_parameters(function)
    for parameter in parameters:
        # A value no parameter takes: the call fails on its type, naming
        # the parameter, and so never acts.
        with pytest.raises((TypeError, ValueError)) as raised:
            function(**{other: (object() if other == parameter else _a_valid(other, parameters[other]))
                        for other in parameters if other == parameter or parameters[other].default is
                        inspect.Parameter.empty})
        assert "unexpected keyword" not in str(raised.value)
        assert "required" not in str(raised.value)


def _a_valid(name: str, parameter: inspect.Parameter) -> object:
    """A harmless value for a required parameter: no port, pid or process
    that any call could act on (port 0 is refused before any work)."""
    return {"port": 0, "ports": [0], "pids": [], "pid": 0}.get(name, 0)
