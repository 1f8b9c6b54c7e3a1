"""Typed use of the whole public API, checked by `mypy --strict` in
test_typing.py. Each function returns what the stubs promise; if a stub
turned into Any, `warn_return_any` would flag the function.

The lines marked `type: ignore` must stay errors: with `warn_unused_ignores`
(part of --strict), a stub that started to accept them fails the check.
Nothing here runs on import.
"""

from __future__ import annotations

import subprocess

import velmor
from velmor import PortInfo
from velmor.pytest_plugin import Server, ServerFactory


def port_is_free(port: int) -> bool:
    return velmor.is_available(port)


def pick_port(preferred: int | None = None) -> int:
    return velmor.find_free(preferred)


def wait_for(port: int, seconds: int = 5) -> bool:
    return velmor.wait_until_free(port, timeout=seconds)


def owner_of(port: int) -> PortInfo | None:
    return velmor.get_info(port)


def describe(info: PortInfo) -> str:
    pid: int = info["pid"]
    name: str = info["name"]
    cmd: str = info["cmd"]
    return f"{name} (pid {pid}): {cmd}"


def owners(ports: list[int]) -> dict[int, PortInfo | None]:
    return velmor.scan(ports)


def stop(port: int, force: bool = False) -> bool:
    return velmor.kill(port, force=force)


def version() -> str:
    return velmor.__version__


def serve(velmor_server: ServerFactory, directory: str) -> tuple[int, int, str]:
    server: Server = velmor_server(["python3", "-m", "http.server", "{port}"], cwd=directory, timeout=10.5,
                                   env={"PATH": "/usr/bin"}, kill_after=1)
    process: subprocess.Popen[bytes] = server.process
    del process
    return server.port, server.pid, server.output


def misuse(port: int) -> None:
    """Calls the stubs must reject."""
    velmor.get_info(port)["pid"]  # type: ignore[index]  # may be None
    velmor.is_available("8000")  # type: ignore[arg-type]
    velmor.kill(port, force=1)  # type: ignore[arg-type]
    velmor.scan(port)  # type: ignore[arg-type]
    text: str = velmor.find_free()  # type: ignore[assignment]
    info: PortInfo = {"pid": 1, "name": "x"}  # type: ignore[typeddict-item]
    del text, info


def server_misuse(velmor_server: ServerFactory) -> None:
    velmor_server(["server"], port="8000")  # type: ignore[arg-type]
