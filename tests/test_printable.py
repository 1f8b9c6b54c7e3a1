"""The engine's escape for text from the system, which both faces use:
what it leaves as it is and how it writes the rest agree with the
interpreter's own rule (str.isprintable, repr) wherever the interpreter's
Unicode database knows the character, and bytes that are not UTF-8 read as
the package decodes them."""

from __future__ import annotations

import pathlib
import re
import subprocess
import sys
import unicodedata

import pytest
from hypothesis import given, strategies as st

from velmor import _table

ROOT = pathlib.Path(__file__).resolve().parent.parent
TABLE = ROOT / "src" / "core" / "system" / "printable_ranges.inc"


def interpreter_escape(text: str) -> str:
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def table_version() -> str:
    found = re.search(r"Unicode (\d+\.\d+\.\d+)", TABLE.read_text())
    assert found, "the table names no Unicode version"
    return found[1]


def test_every_character_the_interpreter_knows_is_escaped_as_the_interpreter_would() -> None:
    # Characters assigned after the interpreter's Unicode version are
    # unassigned to it (and so not printable); the table knows them.
    known = [chr(c) for c in range(sys.maxunicode + 1) if unicodedata.category(chr(c)) != "Cn"]
    differing = [(f"U+{ord(c):04X}", _table.printable(c)) for c in known if _table.printable(c) != interpreter_escape(c)]
    assert differing == [], differing[:10]


@pytest.mark.parametrize("text, shown", [
    ("nginx: worker", "nginx: worker"),
    ("\x1b]0;owned\x07", "\\x1b]0;owned\\x07"),
    ("a\r\nb\tc", "a\\r\\nb\\tc"),
    ("evil\u202etxt.exe", "evil\\u202etxt.exe"),
    ("tag\U000e0041", "tag\\U000e0041"),
    ("lone \udcff surrogate", "lone \\udcff surrogate"),
    ("non\xa0breaking", "non\\xa0breaking"),
    ("café ☕ 名前 \\x1b", "café ☕ 名前 \\x1b"),
    ("", ""),
])
def test_hostile_and_ordinary_names(text: str, shown: str) -> None:
    assert _table.printable(text) == shown
    assert _table.printable(shown) == shown  # escaping again changes nothing


@given(st.text())
def test_the_escape_is_one_printable_line_that_escaping_keeps(text: str) -> None:
    shown = _table.printable(text)
    assert "\n" not in shown and "\r" not in shown and "\x1b" not in shown
    assert _table.printable(shown) == shown


@given(st.binary(max_size=40) | st.lists(st.sampled_from(
    [b"\xe2\x82", b"\xf0\x9f", b"\xed\xa0\x80", b"\xc0\xaf", b"\xf4\x90", b"\xff", b"\x80", b"a", b"\xe2\x82\xac"]),
    max_size=12).map(b"".join))
def test_bytes_from_the_system_read_as_the_package_decodes_them(data: bytes) -> None:
    hooks = pytest.importorskip("_velmor_hooks", reason="the test-only extension is built by scripts/test")
    assert hooks.printable_utf8(data) == _table.printable(data.decode("utf-8", "replace"))


@pytest.mark.skipif(unicodedata.unidata_version != table_version(),
                    reason="the table is made from another Unicode version than this interpreter's")
def test_the_table_is_what_its_unicode_version_gives() -> None:
    made = subprocess.run([sys.executable, str(ROOT / "scripts" / "make-printable-table"), "--check"],
                          capture_output=True, text=True)
    assert made.returncode == 0, made.stderr

