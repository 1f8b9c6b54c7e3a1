"""Watching the listeners: what appears on the listening table and what
goes from it, as it happens.

The rule of the loop lives here and only here: the table of listening
sockets is read every few milliseconds without walking the processes (one
netlink query, no /proc), each look is compared with the one before by the
identity of each socket (its inode, which the kernel never gives to two
live sockets), and only for sockets not seen before are the processes'
descriptors walked, to name their holders. At rest a look costs the query
alone, however many processes run.

What it cannot see: a listener that opens and closes between two looks.
"""

from __future__ import annotations

import os
import time

from velmor import _table
from velmor._ports import _socket, socket_order

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable, Sequence
    from typing import Literal

    from velmor._ports import RawSocket
    from velmor._records import Socket

    Event = Literal["present", "appeared", "gone"]

INTERVAL = 0.005
"""Seconds between two looks: a listener that lives 20 ms is seen by three
or four of them, and a look (tens of microseconds) every 5 ms stays well
under 1% of a core."""

_OUTPUT_CHECK = 0.25
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


def _identity(raw: RawSocket) -> object:
    """What tells one socket from another across looks: its inode; the
    protocol and local address where the system gives none."""
    return raw[8] or (raw[0], raw[1], raw[2], raw[3])


def _is_listener(raw: RawSocket) -> bool:
    """A TCP listener, or (with UDP asked for) a bound UDP socket: what
    listeners() lists."""
    return raw[0] == "tcp" or raw[6] == "bound"


class ListenerWatch:
    """The listeners on `ports` (every port when None; with `udp`, bound UDP
    sockets too), one look at a time: each look gives the changes since the
    one before, the first one every listener as "present"."""

    def __init__(self, ports: Iterable[int] | None = None, *, udp: bool = False) -> None:
        self._ports, self._udp = _table.checked(ports=ports, udp=udp)
        self._known: dict[object, tuple[Socket, bool]] = {}  # identity: (socket, holders read)
        self._last: frozenset[object] | None = None
        self._walked: set[int] = _processes() or set()  # the processes there at the last walk

    def look(self) -> list[Change]:
        """Reads the listening table once; the changes it shows, sorted by
        port and address, what went before what came."""
        when = time.time()
        raws = [raw for raw in _table.sockets(self._ports, listening=True, udp=self._udp, holders=False)
                if _is_listener(raw)]
        identities = frozenset(_identity(raw) for raw in raws)
        if identities == self._last:
            return []  # at rest: nothing else is done
        first = self._last is None
        self._last = identities
        gone = [Change("gone", when, *self._known.pop(key)) for key in list(self._known) if key not in identities]
        new = [raw for raw in raws if _identity(raw) not in self._known]
        came = [Change("present" if first else "appeared", when, *found) for found in self._with_holders(new)]
        for change in came:
            self._known[_identity_of(change.socket)] = (change.socket, change.holders_read)
        # The new ones come in the table's order; those gone were read by earlier looks.
        return sorted(gone, key=lambda change: socket_order(change.socket)) + came

    def _newest_first(self) -> list[int] | None:
        """Every process, those started since the last walk first: a
        listener that lives a few milliseconds is most often opened by a
        process just started, and the walk reaches it before it closes.
        (Pids are reused, so their numbers do not tell which are new.) None
        (every process, in the system's order) where there is no /proc."""
        now = _processes()
        if now is None:
            return None
        before, self._walked = self._walked, now
        return [*(now - before), *(now & before)] or None

    def _with_holders(self, raws: Sequence[RawSocket]) -> list[tuple[Socket, bool]]:
        """The new sockets with their holders, from one walk over the
        processes for their ports alone, and whether the walk found the
        socket still open (one that closed first keeps no holder)."""
        if not raws:
            return []
        ports = sorted({raw[3] for raw in raws})
        walked = {_identity(raw): raw
                  for raw in _table.sockets(ports, listening=True, udp=self._udp, pids=self._newest_first())}
        return [(_socket(walked.get(_identity(raw), raw)), _identity(raw) in walked) for raw in raws]


def _processes() -> set[int] | None:
    """The pids /proc lists now; None where there is no /proc."""
    try:
        return {int(name) for name in os.listdir("/proc") if name.isdigit()}
    except OSError:
        return None


def _identity_of(socket: Socket) -> object:
    return socket.inode or (socket.protocol, socket.family, socket.address, socket.port)


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
