"""Fast, safe management of local TCP ports.

Probe whether a port is free, pick a free one, wait until one frees up, find
which process holds a port, and stop it: all answered by a native core that
walks the system once per question and never signals the wrong process.
"""

from velmor._info import PortInfo
from velmor._lib import (
    __version__,
    find_free,
    get_info,
    is_available,
    kill,
    scan,
    wait_until_free,
)

__all__ = [
    "is_available",
    "find_free",
    "wait_until_free",
    "get_info",
    "kill",
    "scan",
    "PortInfo",
    "__version__",
]
