"""The one escape for text from the system.

Process names, command lines, user names and paths are chosen by whoever
starts a process or names a user: any local user can put a terminal escape,
a carriage return, a newline or a right-to-left override into them. Every
such string passes through printable() before it reaches a terminal or a
line of text, so that it shows as what it is and cannot retitle a terminal,
rewrite a line or forge one. JSON is left alone: its own escaping keeps each
value inside its string.
"""

from __future__ import annotations


def printable(text: str) -> str:
    """`text` with every character that is not printable written as its
    Python escape (\\x1b, \\n, \\t, \\u202e, \\udcff): the result is one line
    of printable characters, and escaping it again changes nothing."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)
