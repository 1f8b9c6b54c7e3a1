"""asyncio forms of velmor's waits: awaitable, cancelled at once, and never
blocking the event loop (each check is one filtered query of the kernel's
socket tables, tens of microseconds, made between pauses of the loop)."""

from __future__ import annotations

import asyncio
import time

from velmor import _ports, _table

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import AsyncIterator

# Checks start every millisecond and slow down to every 5 ms, as the
# engine's own waits do.
_FIRST_PAUSE = 0.001
_LONGEST_PAUSE = 0.005


async def _paced(seconds: float) -> AsyncIterator[None]:
    """The pacing of every asyncio wait: one turn now, then one after each
    pause of the loop, the last at the deadline `seconds` from now."""
    deadline = time.monotonic() + seconds
    pause = _FIRST_PAUSE
    while True:
        yield
        left = deadline - time.monotonic()
        if left <= 0:
            return
        await asyncio.sleep(min(pause, left))
        pause = min(pause * 1.5, _LONGEST_PAUSE)


async def wait_until_listening(port: int, timeout: float = _table.WAIT_TIMEOUT, *, pid: int | None = None) -> bool:
    """velmor.wait_until_listening, awaitable: True once a TCP listener is on
    `port` (with `pid`: one held by that process or a descendant), False at
    the timeout, ProcessLookupError when `pid` exits first."""
    (port, seconds) = _table.checked(port=port, timeout=timeout)
    async for _ in _paced(seconds):
        # One check, the pid (when given) checked and watched by it.
        if not _table.wait(port, listening=True, timeout=0, pid=pid):
            return True
    return False


async def wait_until_free(port: int, timeout: float = _table.WAIT_TIMEOUT) -> bool:
    """True once nothing listens on `port` on any local address and a
    listener could be set up (as `velmor check` judges), False at the
    timeout. Unlike velmor.wait_until_free, which tries 127.0.0.1 only."""
    (port, seconds) = _table.checked(port=port, timeout=timeout)
    async for _ in _paced(seconds):
        if _ports.is_free(port):
            return True
    return False
