"""Shell completion: the scripts `velmor completion SHELL` prints, run by
the shells themselves, offer the commands, each command's options, and
after kill, who, ls and wait --listening the ports that listen now with
their process names; nothing where a port to be free or a value is asked."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path

import pytest

from conftest import Holder

COMMAND = shutil.which("velmor", path=os.path.dirname(sys.executable))
pytestmark = pytest.mark.skipif(COMMAND is None, reason="the velmor command is not installed beside this interpreter")


def script(shell: str) -> str:
    result = subprocess.run([str(COMMAND), "completion", shell], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stderr) == (0, "")
    return result.stdout


@pytest.fixture
def holder(start_holder: Callable[..., Holder]) -> Holder:
    # The name (comm) holds a tab and an escape: what the shells are given
    # must stay one line per port, escaped.
    return start_holder(kinds="tcp,name-" + "srv\t\x1b[31mx".encode().hex())


def bash_complete(tmp_path: Path, *words: str) -> list[str]:
    (tmp_path / "velmor.bash").write_text(script("bash"))
    line = " ".join(f"'{word}'" for word in words)
    program = (f"source {tmp_path / 'velmor.bash'}; COMP_WORDS=('{COMMAND}' {line}); "
               f"COMP_CWORD={len(words)}; _velmor; printf '%s\\n' \"${{COMPREPLY[@]}}\"")
    result = subprocess.run(["bash", "--norc", "-c", program], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return result.stdout.split()


@pytest.mark.parametrize(
    ("words", "offers_the_port"),
    [
        (["kill", "{prefix}"], True),
        (["who", "{prefix}"], True),
        (["ls", "--json", "{prefix}"], True),
        (["wait", "--listening", "{prefix}"], True),
        (["wait", "{prefix}"], False),
        (["check", "{prefix}"], False),
        (["kill", "--timeout", "{prefix}"], False),
    ],
)
def test_bash_offers_the_listening_ports_where_a_listener_is_wanted(
    tmp_path: Path, holder: Holder, words: list[str], offers_the_port: bool
) -> None:
    prefix = str(holder.port)[:-1]
    offered = bash_complete(tmp_path, *[word.replace("{prefix}", prefix) for word in words])
    assert (str(holder.port) in offered) == offers_the_port
    assert all(word.startswith(prefix) for word in offered)


@pytest.mark.parametrize(
    ("words", "wanted"),
    [
        (["k"], ["kill"]),
        (["c"], ["check", "completion"]),
        (["kill", "--dr"], ["--dry-run"]),
        (["wait", "--"], ["--help", "--listening", "--timeout"]),
        (["completion", "z"], ["zsh"]),
    ],
)
def test_bash_offers_commands_options_and_shells(tmp_path: Path, words: list[str], wanted: list[str]) -> None:
    assert sorted(bash_complete(tmp_path, *words)) == wanted


def test_the_listening_ports_are_one_escaped_line_each(holder: Holder) -> None:
    result = subprocess.run([str(COMMAND), "completion", "--listening-ports"], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0
    lines = dict(line.split("\t", 1) for line in result.stdout.splitlines())
    names = lines[str(holder.port)]
    assert "\x1b" not in names and "\t" not in names and names.startswith("srv")


@pytest.mark.skipif(shutil.which("fish") is None, reason="fish is not installed")
def test_fish_offers_the_ports_with_their_names(holder: Holder) -> None:
    program = (f"{COMMAND} completion fish | source; "
               f"complete -C '{COMMAND} kill {str(holder.port)[:-1]}'; complete -C '{COMMAND} kill --dr'")
    result = subprocess.run(["fish", "--no-config", "-c", program], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    offered = dict(line.split("\t", 1) if "\t" in line else (line, "") for line in result.stdout.splitlines())
    assert offered[str(holder.port)].startswith("srv") and "--dry-run" in offered


@pytest.mark.skipif(shutil.which("zsh") is None, reason="zsh is not installed")
def test_zsh_offers_the_ports_with_their_names(tmp_path: Path, holder: Holder) -> None:
    # _describe and compadd stand in for the completion system: what the
    # script hands them is what zsh would show.
    (tmp_path / "_velmor").write_text(script("zsh"))
    program = f"""
        compdef() {{ }}
        _describe() {{ local name=${{@[-1]}}; print -l -- ${{(P)name}} }}
        compadd() {{ print -l -- "$@" }}
        source {tmp_path / '_velmor'}
        words=('{COMMAND}' kill '{str(holder.port)[:-1]}'); CURRENT=3; _velmor
        words=('{COMMAND}' wait --); CURRENT=3; _velmor
    """
    result = subprocess.run(["zsh", "-f", "-c", program], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert any(line.startswith(f"{holder.port}:srv") for line in lines)
    assert "--listening" in lines and "--timeout" in lines


@pytest.mark.parametrize("args", [[], ["bash", "--listening-ports"], ["tcsh"]])
def test_a_completion_call_that_does_not_fit_is_exit_2(args: list[str]) -> None:
    result = subprocess.run([str(COMMAND), "completion", *args], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout) == (2, "")
    assert "velmor completion --help" in result.stderr
