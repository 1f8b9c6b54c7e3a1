"""The records the socket table hands out: processes, sockets, the state of
a port, what a stop did. Frozen, compared and hashed by value. Written out
by hand so that importing velmor stays cheap (no dataclasses, no typing)."""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator
    from typing import Literal

    Protocol = Literal["tcp", "udp"]
    Family = Literal["ipv4", "ipv6"]
    PortState = Literal["free", "listening", "busy"]
    BusyReason = Literal["time-wait", "closing", "connection", "hidden-owner", "unknown"]
    Hidden = Literal["unreadable", "no-process", "other-pid-namespace"]
    StopResult = Literal["already_free", "freed", "failed", "dry_run"]
    Outcome = Literal["exited", "running", "refused", "gone", "skipped", "failed"]


class _Frozen:
    """Value semantics for a record with __slots__: set once in __init__."""

    __slots__: tuple[str, ...] = ()

    __match_args__: tuple[str, ...] = ()

    def _init(self, *values: object) -> None:
        for name, value in zip(self.__match_args__, values):
            object.__setattr__(self, name, value)

    def _values(self) -> tuple[object, ...]:
        return tuple(getattr(self, name) for name in self.__match_args__)

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"{type(self).__name__} is frozen: cannot set {name!r}")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"{type(self).__name__} is frozen: cannot delete {name!r}")

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        return self._values() == other._values()

    def __hash__(self) -> int:
        return hash((type(self).__name__, self._values()))

    def __repr__(self) -> str:
        fields = ", ".join(f"{name}={getattr(self, name)!r}" for name in self.__match_args__)
        return f"{type(self).__name__}({fields})"

    def __reduce__(self) -> tuple[type, tuple[object, ...]]:
        return type(self), self._values()


class Process(_Frozen):
    """A process that holds a socket."""

    __match_args__ = ("pid", "name", "cmd", "uid")
    __slots__ = __match_args__
    pid: int
    name: str
    """Process name; characters the system gave as invalid UTF-8 read U+FFFD."""
    cmd: str
    """The command line on Linux (arguments joined by spaces), the executable path on macOS."""
    uid: int | None
    """The user it runs as, None when that cannot be read."""

    def __init__(self, pid: int, name: str, cmd: str, uid: int | None) -> None:
        self._init(pid, name, cmd, uid)


class Socket(_Frozen):
    """One socket of the caller's network namespace, with the visible
    processes that hold it, in pid order (empty: the holder is not visible
    to the caller)."""

    __match_args__ = (
        "protocol",
        "family",
        "address",
        "port",
        "state",
        "uid",
        "v6only",
        "processes",
        "remote_address",
        "remote_port",
        "inode",
    )
    __slots__ = __match_args__
    protocol: Protocol
    family: Family
    address: str
    """The local address as ss prints it, without brackets: "127.0.0.1", "::1", "0.0.0.0", "::"."""
    port: int
    state: str
    """The kernel's state name: "listen", "established", "time-wait", ...; "bound" for a
    socket that neither listens nor connects (TCP) or is not connected (UDP), "connected"
    for a connected UDP socket."""
    uid: int | None
    """The socket's owner as the system records it."""
    v6only: bool | None
    """For IPv6 sockets, whether they take IPv6 only; None for IPv4 (and where the system does not say)."""
    processes: tuple[Process, ...]
    remote_address: str | None
    remote_port: int | None
    inode: int
    """The socket's identity while it lives (0 for a TIME-WAIT socket)."""

    def __init__(
        self,
        protocol: Protocol,
        family: Family,
        address: str,
        port: int,
        state: str,
        uid: int | None,
        v6only: bool | None,
        processes: tuple[Process, ...],
        remote_address: str | None = None,
        remote_port: int | None = None,
        inode: int = 0,
    ) -> None:
        self._init(
            protocol, family, address, port, state, uid, v6only, processes, remote_address, remote_port, inode
        )


Listener = Socket
"""What `listeners()` lists: a Socket that listens (TCP) or is bound (UDP)."""


class PortStatus(_Frozen):
    """What is on a port, as `velmor who` tells it."""

    __match_args__ = ("port", "state", "reason", "owner", "sockets", "probe_error", "hidden", "candidates")
    # _texts and _holders: the engine's texts for people and its list of
    # holders on a state it made (see explained()); not fields: they take no
    # part in comparisons.
    __slots__ = (*__match_args__, "_texts", "_holders")
    port: int
    state: PortState
    """"free": no listener, and a listener could be set up; "listening": a TCP
    listener holds it on some local address; "busy": taken otherwise."""
    reason: BusyReason | None
    """Why a port is busy, or why a listening port has no owner ("hidden-owner"); None otherwise."""
    owner: Process | None
    """The first visible holder of a listening socket."""
    sockets: tuple[Socket, ...]
    """Every socket on the port: TCP in every state, UDP."""
    probe_error: int
    """The error number of the trial bind on 127.0.0.1 (0: it succeeded)."""
    hidden: Hidden | None
    """What the evidence says of a socket that holds the port and that no visible
    process holds: "unreadable" (some processes' descriptors could not be read:
    `candidates`), "no-process" (every process was read: it is in flight between
    processes or kept by the kernel), "other-pid-namespace" (processes of other pid
    namespaces are out of view); None when no such socket holds it, or nothing tells."""
    candidates: tuple[Process, ...]
    """With hidden == "unreadable", the processes whose descriptors could not be
    read: the possible holders, those of the socket's user first."""

    def __init__(
        self,
        port: int,
        state: PortState,
        reason: BusyReason | None,
        owner: Process | None,
        sockets: tuple[Socket, ...],
        probe_error: int = 0,
        hidden: Hidden | None = None,
        candidates: tuple[Process, ...] = (),
    ) -> None:
        self._init(port, state, reason, owner, sockets, probe_error, hidden, candidates)

    def __reduce__(self) -> tuple[type, tuple[object, ...], object]:  # type: ignore[override]
        made = getattr(self, "_texts", None), getattr(self, "_holders", None)
        return type(self), self._values(), None if made == (None, None) else made

    def __setstate__(self, made: object) -> None:
        if isinstance(made, tuple) and len(made) == 2:
            for name, value in zip(("_texts", "_holders"), made):
                if value is not None:
                    object.__setattr__(self, name, value)

    @property
    def listeners(self) -> tuple[Socket, ...]:
        return tuple(s for s in self.sockets if s.protocol == "tcp" and s.state == "listen")

    @property
    def udp(self) -> tuple[Socket, ...]:
        return tuple(s for s in self.sockets if s.protocol == "udp")

    def holders(self) -> Iterator[Process]:
        """Every visible process holding a socket on the port, once each, in
        pid order as the engine lists them (for a state built by hand, in the
        order its sockets name them)."""
        engine: tuple[Process, ...] | None = getattr(self, "_holders", None)
        if engine is not None:
            return iter(engine)
        seen: dict[int, Process] = {}
        for socket in self.sockets:
            for process in socket.processes:
                seen.setdefault(process.pid, process)
        return iter(seen.values())


def explained(state: PortStatus, texts: tuple[str, str | None, str | None, str | None, str],
              holders: tuple[Process, ...]) -> PortStatus:
    """`state` with what the engine made beside it: its texts (the
    explanation, the closing and UDP notes, why a listener's holder is not
    seen, its candidates named) and its holders, in pid order."""
    object.__setattr__(state, "_texts", texts)
    object.__setattr__(state, "_holders", holders)
    return state


def texts_of(state: PortStatus) -> tuple[str, str | None, str | None, str | None, str]:
    """The engine's texts on a state it made; a state built by hand has none."""
    try:
        return state._texts  # type: ignore[attr-defined, no-any-return]
    except AttributeError:
        raise ValueError(f"the state of port {state.port} was not made by velmor: it has no explanation") from None


class Signalled(_Frozen):
    """One process that a stop signalled (or would, or left alone), and what became of it."""

    __match_args__ = ("pid", "name", "cmd", "ports", "signal", "outcome")
    __slots__ = __match_args__
    pid: int
    name: str
    cmd: str
    ports: tuple[int, ...]
    signal: str | None
    """"SIGTERM" or "SIGKILL": the last signal sent (or, on a dry run, the one that would be); None for none."""
    outcome: Outcome
    """"exited", "running", "refused" (no permission; on a dry run: would be refused),
    "gone" (no longer there or no longer holding the socket when its turn came),
    "skipped" (this process or an ancestor of it), "failed" (could not be signalled)."""

    def __init__(
        self, pid: int, name: str, cmd: str, ports: tuple[int, ...], signal: str | None, outcome: Outcome
    ) -> None:
        self._init(pid, name, cmd, ports, signal, outcome)


class PortStop(_Frozen):
    """What a stop did to one port."""

    __match_args__ = ("port", "result", "error", "owner", "processes", "status")
    __slots__ = __match_args__
    port: int
    result: StopResult
    error: str | None
    """Why the port was not freed, for people."""
    owner: Process | None
    """The first holder of a listener before the stop."""
    processes: tuple[Signalled, ...]
    status: PortStatus
    """The port after the stop (before it, on a dry run)."""

    def __init__(
        self,
        port: int,
        result: StopResult,
        error: str | None,
        owner: Process | None,
        processes: tuple[Signalled, ...],
        status: PortStatus,
    ) -> None:
        self._init(port, result, error, owner, processes, status)
