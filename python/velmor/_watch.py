"""Watching the listeners: what appears on the listening table and what
goes from it, as it happens.

The rule of each look is the native core's (_table.listener_watch): the
table of listening sockets is read every few milliseconds without walking
the processes (one netlink query, no /proc), each look is compared with the
one before by the identity of each socket (its inode, which the kernel
never gives to two live sockets), and only for sockets not seen before are
the processes' descriptors walked, the newest processes first, to name
their holders. At rest a look costs the query alone, however many
processes run. Here is the loop around the looks.

What it cannot see: a listener that opens and closes between two looks.
"""

from __future__ import annotations

import time

from velmor import _table
from velmor._ports import _socket

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable
    from typing import Literal

    from velmor._records import Socket

    Event = Literal["present", "appeared", "gone"]

INTERVAL = _table.WATCH_INTERVAL
"""Seconds between two looks: a listener that lives 20 ms is seen by three
or four of them, and a look (tens of microseconds) every 5 ms stays well
under 1% of a core."""

_OUTPUT_CHECK = _table.WATCH_READER_CHECK
"""How often, in seconds, the loop asks whether its reader is still there,
so that a watch with nothing to report still ends when its pipe closes."""


class Change:
    """One line of a watch: a listener that was there at the start
    ("present"), came ("appeared") or went ("gone"), when the look that saw
    it was made (seconds since the epoch), with its holders (for "gone",
    those seen when it appeared). `holders_read` is False for a listener
    that closed before the walk over the processes reached it: it has no
    holders because none could be read, not because they are hidden."""

    __slots__ = ("event", "time", "socket", "holders_read")

    def __init__(self, event: Event, when: float, socket: Socket, holders_read: bool = True) -> None:
        self.event = event
        self.time = when
        self.socket = socket
        self.holders_read = holders_read

    def __repr__(self) -> str:
        return f"Change({self.event!r}, {self.time!r}, {self.socket!r})"


class ListenerWatch:
    """The listeners on `ports` (every port when None; with `udp`, bound UDP
    sockets too), one look at a time: each look gives the changes since the
    one before, the first one every listener as "present"."""

    def __init__(self, ports: Iterable[int] | None = None, *, udp: bool = False) -> None:
        ports, udp = _table.checked(ports=ports, udp=udp)
        self._watch = _table.listener_watch(ports, udp)

    def look(self) -> list[Change]:
        """Reads the listening table once; the changes it shows, sorted by
        port and address, what went before what came."""
        return [Change(event, when, _socket(raw), read) for event, when, raw, read in _table.watch_look(self._watch)]


def watch(
    ports: Iterable[int] | None,
    emit: Callable[[list[Change]], None],
    *,
    udp: bool = False,
    timeout: float | None = None,
    reader_gone: Callable[[], bool] = lambda: False,
    interval: float = INTERVAL,
) -> None:
    """Looks every `interval` seconds and hands `emit` the changes of each
    look that has some (the first: every listener present). Returns after
    `timeout` seconds (never when None) or once `reader_gone()` says that
    no one reads the changes any more; Ctrl-C ends it with
    KeyboardInterrupt. Looks that fall behind are skipped, not caught up."""
    watcher = ListenerWatch(ports, udp=udp)
    start = time.monotonic()
    deadline = None if timeout is None else start + timeout
    next_look = start
    next_output_check = start + _OUTPUT_CHECK
    while True:
        changes = watcher.look()
        if changes:
            emit(changes)
        now = time.monotonic()
        if now >= next_output_check:
            if reader_gone():
                return
            next_output_check = now + _OUTPUT_CHECK
        if deadline is not None and now >= deadline:
            return
        next_look = max(next_look + interval, now)
        pause = next_look - now if deadline is None else min(next_look, deadline) - now
        if pause > 0:
            time.sleep(pause)
