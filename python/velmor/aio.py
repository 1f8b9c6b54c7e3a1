"""asyncio forms of velmor's waits: awaitable, cancelled at once, and never
blocking the event loop (each check is one filtered query of the kernel's
socket tables, tens of microseconds, made between pauses of the loop)."""

from __future__ import annotations

import asyncio
import errno
import time

from velmor import _ports, _table

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable


async def _poll(check: Callable[[], bool], seconds: float, watch: _ports._ProcessWatch | None = None, port: int = 0) -> bool:
    deadline = time.monotonic() + seconds
    pause = _ports._FIRST_PAUSE
    while True:
        if check():
            return True
        if watch is not None and watch.exited():
            raise ProcessLookupError(errno.ESRCH, f"process {watch.pid} exited before anything listened on port {port}")
        left = deadline - time.monotonic()
        if left <= 0:
            return False
        await asyncio.sleep(min(pause, left))
        pause = min(pause * 1.5, _ports._LONGEST_PAUSE)


async def wait_until_listening(port: int, timeout: float = 30.0, *, pid: int | None = None) -> bool:
    """velmor.wait_until_listening, awaitable: True once a TCP listener is on
    `port` (with `pid`: one held by that process or a descendant), False at
    the timeout, ProcessLookupError when `pid` exits first."""
    wanted, seconds, pid = _table.checked(port=port, timeout=timeout, pid=pid)
    watch = _ports._ProcessWatch(pid) if pid is not None else None
    try:
        return await _poll(_ports._ListenerCheck(wanted, pid, watch), seconds, watch, wanted)
    finally:
        if watch is not None:
            watch.close()


async def wait_until_free(port: int, timeout: float = 30.0) -> bool:
    """True once nothing listens on `port` on any local address and a
    listener could be set up (as `velmor check` judges), False at the
    timeout. Unlike velmor.wait_until_free, which tries 127.0.0.1 only."""
    wanted, seconds = _table.checked(port=port, timeout=timeout)
    return await _poll(lambda: _ports.is_free(wanted), seconds)
