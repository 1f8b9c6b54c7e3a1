"""Fast, safe management of local TCP ports.

Probe whether a port is free, pick a free one, wait until one frees up, find
which process holds a port, and stop it: all answered by a native core that
walks the system once per question and never signals the wrong process.

The six functions of the module (is_available ... scan) answer as the
module always has, by a trial bind on 127.0.0.1. The socket table
(listeners, sockets, status, stop, wait_until_listening, reserve) looks at
every local address of the caller's network namespace.
"""

from velmor._lib import (
    __version__,
    find_free,
    get_info,
    is_available,
    kill,
    scan,
    wait_until_free,
)
from velmor._ports import (
    is_free,
    listeners,
    reserve,
    sockets,
    status,
    statuses,
    stop,
    wait_until_listening,
)
from velmor._records import Listener, PortStatus, PortStop, Process, Signalled, Socket

TYPE_CHECKING = False
if TYPE_CHECKING:
    from velmor._info import PortInfo


def __getattr__(name: str) -> object:
    # PortInfo is a TypedDict: made on first use, so that importing velmor
    # does not import typing.
    if name == "PortInfo":
        from velmor._info import PortInfo

        return PortInfo
    raise AttributeError(f"module 'velmor' has no attribute {name!r}")


__all__ = [
    "is_available",
    "find_free",
    "wait_until_free",
    "get_info",
    "kill",
    "scan",
    "PortInfo",
    "listeners",
    "sockets",
    "status",
    "statuses",
    "is_free",
    "stop",
    "wait_until_listening",
    "reserve",
    "Listener",
    "Socket",
    "Process",
    "PortStatus",
    "PortStop",
    "Signalled",
    "__version__",
]
