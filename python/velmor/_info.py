"""The shape of the dict that get_info and scan return for a port's owner."""

from typing import TypedDict


class PortInfo(TypedDict):
    """The process that listens on a port."""

    pid: int
    """Process id."""
    name: str
    """Process name: the executable's name as the kernel reports it, never cut short."""
    cmd: str
    """Full command line on Linux, arguments joined by spaces; empty when unreadable."""
