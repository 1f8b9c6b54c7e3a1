"""A network namespace of the tests' own, with only its loopback up.

Inside it, every port belongs to the test: no other process can take a port
between a test's look and its call, and an owner search can only ever find
sockets the test made, so a kill there can only reach the test's own
children. A namespace is per thread on Linux: `inside(network)` moves the
calling thread in and back out; sockets keep the namespace they were made in,
and processes started from inside inherit it.

Making one needs CAP_SYS_ADMIN; `make()` gives None where that is missing.
"""

from __future__ import annotations

import ctypes
import fcntl
import os
import socket
import struct
from collections.abc import Iterator
from contextlib import contextmanager

CLONE_NEWNET = 0x40000000
SIOCGIFFLAGS = 0x8913
SIOCSIFFLAGS = 0x8914
IFF_UP = 0x1

_libc = ctypes.CDLL(None, use_errno=True)


def _check(result: int, what: str) -> None:
    if result != 0:
        error = ctypes.get_errno()
        raise OSError(error, f"{what}: {os.strerror(error)}")


def _loopback_up() -> None:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        request = struct.pack("16sh14x", b"lo", 0)
        flags = struct.unpack("16sh14x", fcntl.ioctl(s, SIOCGIFFLAGS, request))[1]
        fcntl.ioctl(s, SIOCSIFFLAGS, struct.pack("16sh14x", b"lo", flags | IFF_UP))


def make() -> int | None:
    """A descriptor of a new namespace (the caller closes it), or None when
    this process may not make one. The calling thread stays where it was."""
    original = os.open("/proc/thread-self/ns/net", os.O_RDONLY | os.O_CLOEXEC)
    try:
        if _libc.unshare(CLONE_NEWNET) != 0:
            return None
        try:
            _loopback_up()
            return os.open("/proc/thread-self/ns/net", os.O_RDONLY | os.O_CLOEXEC)
        finally:
            _check(_libc.setns(original, CLONE_NEWNET), "setns back")
    finally:
        os.close(original)


@contextmanager
def inside(network: int | None) -> Iterator[None]:
    """Runs the body with the calling thread in `network` (None: where it is)."""
    if network is None:
        yield
        return
    original = os.open("/proc/thread-self/ns/net", os.O_RDONLY | os.O_CLOEXEC)
    try:
        _check(_libc.setns(network, CLONE_NEWNET), "setns")
        try:
            yield
        finally:
            _check(_libc.setns(original, CLONE_NEWNET), "setns back")
    finally:
        os.close(original)


def enter(network: int) -> None:
    """Moves the calling thread into `network` for good (for worker threads)."""
    _check(_libc.setns(network, CLONE_NEWNET), "setns")
