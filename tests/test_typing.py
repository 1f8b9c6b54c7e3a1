"""The package's type information: `mypy --strict` accepts the package and
a typed example of its whole API, and rejects its misuse."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


@pytest.mark.slow
def test_mypy_strict(tmp_path: Path) -> None:
    pytest.importorskip("mypy")
    result = subprocess.run(
        [
            sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path),
            "python/velmor", "tests/typing_example.py",
        ],
        cwd=ROOT, capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
