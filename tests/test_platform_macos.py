"""The macOS process queries compile, checked here against a stand-in of the
system declarations they use (the file itself builds only on Apple)."""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
WARNINGS = ["-Wall", "-Wextra", "-Wpedantic", "-Wshadow", "-Wconversion", "-Wsign-conversion", "-Werror"]


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")
def test_macos_queries_pass_a_syntax_check() -> None:
    command = [
        "g++",
        "-std=c++20",
        "-fsyntax-only",
        *WARNINGS,
        "-I",
        str(ROOT / "src"),
        "-I",
        str(ROOT / "tests/native/macos_stand_in"),
        str(ROOT / "src/owners/platform/macos.cpp"),
    ]
    result = subprocess.run(command, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
