"""The builds of the native core that the owner, lookup and kill tests run
against, and what each answers by its design. Whatever a build answers
differently is said here, once:

- the Linux builds name a process by its comm, completed from the command
  line where the kernel cut it, and give the command line as `cmd`;
- the macOS build (the macOS layer over tests/native/macos_emulation) names a
  process after its executable file, as macOS does, and gives the
  executable's path as `cmd`.

A test of a behaviour the macOS build does not have (network namespaces,
the command line, the /proc/net reader, the exit wake-up, which runs only
on a Mac) is marked `linux_only(reason)`; the fixtures skip it there.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from dataclasses import dataclass
from types import ModuleType

import pytest

from conftest import command_line, process_name, raw_command_line


@dataclass(frozen=True)
class Build:
    id: str
    module_name: str  # the module whose functions the tests call
    macos: bool = False

    def module(self) -> ModuleType:
        module: ModuleType = pytest.importorskip(self.module_name, reason="test-only extensions: built by scripts/test")
        return module

    def name(self, pid: int) -> str:
        """The name the build reports for the process `pid`."""
        if self.macos:
            return os.path.basename(os.readlink(f"/proc/{pid}/exe"))
        comm = process_name(pid)
        program = os.path.basename(raw_command_line(pid).split(b" ")[0].decode())
        return program if len(comm) == 15 and program.startswith(comm) else comm

    def cmd(self, pid: int) -> str:
        """The command the build reports for the process `pid`."""
        return os.readlink(f"/proc/{pid}/exe") if self.macos else command_line(pid)

    def owner(self, pid: int) -> dict[str, object]:
        """The owner as get_info and scan describe it."""
        return {"pid": pid, "name": self.name(pid), "cmd": self.cmd(pid)}

    def applies_to(self, request: pytest.FixtureRequest) -> Build:
        """This build, for a test that applies to it; skips the test otherwise."""
        marker = request.node.get_closest_marker("linux_only")
        if marker is not None and self.macos:
            pytest.skip(f"not in the macOS build: {marker.args[0]}")
        return self


NETLINK = Build("netlink", "_velmor_hooks")
PROC_NET = Build("proc_net", "_velmor_hooks_procnet")
MACOS = Build("macos", "_velmor_hooks_macos", macos=True)
SHIPPED = Build("linux", "velmor")

# The owner searches, through the hooks of each core.
OWNER_BUILDS = [NETLINK, PROC_NET, MACOS]
# The module functions: the shipped module, and the same bodies over the macOS core.
MODULE_BUILDS = [SHIPPED, MACOS]


def build_fixture(builds: list[Build]) -> Callable[[pytest.FixtureRequest], Build]:
    """A fixture `build` that runs each test against every build of
    `builds` that the test applies to."""

    # The macOS build's runs carry the mark macos_build, so that a run that
    # tests something else (a wheel on another interpreter) can leave them out.
    params = [pytest.param(build, marks=pytest.mark.macos_build) if build.macos else build for build in builds]

    @pytest.fixture(params=params, ids=[build.id for build in builds])
    def build(request: pytest.FixtureRequest) -> Build:
        chosen: Build = request.param
        return chosen.applies_to(request)

    return build
