"""The velmor command as the tests run it: the program the package installs,
started as a process, its answer read the way the tests read a function's."""

from __future__ import annotations

import os
import subprocess
import sys

import velmor

# The program the package carries (and `python -m velmor` runs).
PROGRAM = os.path.join(os.path.dirname(velmor.__file__), "velmor")


def main(argv: list[str], timeout: float = 120) -> int:
    """Runs `velmor ARGV` and gives its exit code; what it wrote goes to this
    process's stdout and stderr, where capsys reads it."""
    result = subprocess.run([PROGRAM, *argv], capture_output=True, stdin=subprocess.DEVNULL, timeout=timeout)
    sys.stdout.write(result.stdout.decode("utf-8", "surrogateescape"))
    sys.stderr.write(result.stderr.decode("utf-8", "surrogateescape"))
    return result.returncode
