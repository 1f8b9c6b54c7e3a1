"""The one escape for text from the system.

Process names, command lines, user names and paths are chosen by whoever
starts a process or names a user: any local user can put a terminal escape,
a carriage return, a newline or a right-to-left override into them. Every
such string passes through printable() before it reaches a terminal or a
line of text, so that it shows as what it is and cannot retitle a terminal,
rewrite a line or forge one. JSON is left alone: its own escaping keeps each
value inside its string.

The escape is the engine's, so that the package and the command show the
same text, whichever Unicode database the interpreter carries.
"""

from __future__ import annotations

from velmor._table import printable

__all__ = ["printable"]
