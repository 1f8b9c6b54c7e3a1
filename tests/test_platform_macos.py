"""The macOS layer compiles, checked here against our stand-in of the
system declarations it uses, laid out as macOS lays them out (the layer's
own size and offset checks hold on both)."""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
WARNINGS = ["-Wall", "-Wextra", "-Wpedantic", "-Wshadow", "-Wconversion", "-Wsign-conversion", "-Werror"]
LAYER = sorted((ROOT / "src/core/platform/macos").glob("*.cpp"))


@pytest.mark.parametrize("compiler", ["g++", "clang++"])
@pytest.mark.parametrize("source", LAYER, ids=[path.name for path in LAYER])
def test_macos_layer_passes_a_syntax_check(compiler: str, source: Path) -> None:
    if shutil.which(compiler) is None:
        pytest.skip(f"needs {compiler}")
    command = [
        compiler,
        "-std=c++20",
        "-fsyntax-only",
        *WARNINGS,
        "-I",
        str(ROOT / "src"),
        # A system header, as on a Mac: its own declarations are not ours to warn about.
        "-isystem",
        str(ROOT / "tests/native/macos_stand_in"),
        str(source),
    ]
    result = subprocess.run(command, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
