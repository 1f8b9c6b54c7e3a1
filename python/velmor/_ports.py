"""The package's answers on the socket table: what listens, what is on a
port and why it is busy, waiting for a server, stopping what holds a port,
and ports reserved for tests. The module functions of velmor._lib answer by
a trial bind on 127.0.0.1; these look at every local address."""

from __future__ import annotations

from velmor import _table
from velmor._records import Listener, PortStatus, PortStop, Process, Signalled, Socket, explained, texts_of

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable

    RawProcess = tuple[int, str, str, "int | None"]
    RawSocket = tuple[str, str, str, int, "str | None", "int | None", str, "int | None", int, "bool | None", tuple[RawProcess, ...]]
    RawStatus = tuple[int, str, "str | None", "RawProcess | None", tuple[RawSocket, ...], int, "str | None",
                      tuple[RawProcess, ...], tuple[str, "str | None", "str | None", "str | None", str],
                      tuple[RawProcess, ...]]


def _process(raw: RawProcess) -> Process:
    pid, name, cmd, uid = raw
    return Process(pid, name, cmd, uid)


def _socket(raw: RawSocket) -> Socket:
    protocol, family, address, port, remote_address, remote_port, state, uid, inode, v6only, holders = raw
    return Socket(
        protocol,  # type: ignore[arg-type]
        family,  # type: ignore[arg-type]
        address,
        port,
        state,
        uid,
        v6only,
        tuple(_process(holder) for holder in holders),
        remote_address,
        remote_port,
        inode,
    )


def socket_order(socket: Socket) -> tuple[int, int, bytes, str]:
    """The order in which the native table lists sockets (port, IPv4
    before IPv6, the address as a number, then the protocol), for merging
    records read at different times; one read is in this order already."""
    import socket as sockets_module

    family = sockets_module.AF_INET if socket.family == "ipv4" else sockets_module.AF_INET6
    return (socket.port, 0 if socket.family == "ipv4" else 1, sockets_module.inet_pton(family, socket.address),
            socket.protocol)


def listeners(ports: int | Iterable[int] | None = None, *, udp: bool = False) -> list[Listener]:
    """Every TCP socket that listens (with `udp`, also every bound UDP
    socket), on any local address, optionally only on `ports`; each with the
    visible processes that hold it. Sorted by port, then address (IPv4
    first, each address as a number)."""
    wanted, udp = _table.checked(ports=ports, udp=udp)
    return [_socket(raw) for raw in _table.sockets(wanted, listening=True, udp=udp)]


def sockets(ports: int | Iterable[int] | None = None, *, udp: bool = True) -> list[Socket]:
    """Every TCP socket in every state on `ports` (every port when None),
    TIME-WAIT ones included, and with `udp` every UDP socket; each with the
    visible processes that hold it. Sorted by port, then address (IPv4
    first, each address as a number)."""
    wanted, udp = _table.checked(ports=ports, udp=udp)
    return [_socket(raw) for raw in _table.sockets(wanted, listening=False, udp=udp)]


# --- the state of a port -------------------------------------------------------


def _state(raw: RawStatus) -> PortStatus:
    """The record of a port's state as the engine classified and explained it."""
    port, state, reason, owner, found, probe_error, hidden, candidates, texts, holders = raw
    record = PortStatus(port, state, reason, None if owner is None else _process(owner),  # type: ignore[arg-type]
                        tuple(_socket(entry) for entry in found), probe_error, hidden,  # type: ignore[arg-type]
                        tuple(_process(entry) for entry in candidates))
    return explained(record, texts, tuple(_process(entry) for entry in holders))


def statuses(ports: Iterable[int]) -> list[PortStatus]:
    """What is on each port, from one read of the socket tables and one
    walk: "listening" when a TCP listener holds it on any local address;
    "free" when nothing listens and a listener could be set up (TIME-WAIT
    sockets that a bind with SO_REUSEADDR takes over do not count: that is
    how reserved ports look); "busy" otherwise, with the reason. UDP
    sockets never make a port busy; they are among its sockets."""
    return [_state(raw) for raw in _table.statuses(ports)]


def status(port: int) -> PortStatus:
    """What is on one port; see statuses()."""
    (port,) = _table.checked(port=port)
    return statuses([port])[0]


def is_free(port: int) -> bool:
    """True when nothing listens on the port on any local address and a
    listener can be set up: what `velmor check` asks, status(port).state ==
    "free", found without walking the processes (no holder is needed)."""
    (port,) = _table.checked(port=port)
    return bool(_table.free_check([port])[0])


# --- explanations ---------------------------------------------------------------


def explain(state: PortStatus) -> str:
    """One line on why a port is what it is, for people."""
    return texts_of(state)[0]


# --- waiting ---------------------------------------------------------------------


def pids_are_ours() -> bool:
    """True when the pids the system lists are those of this process's pid
    namespace. In a pid namespace that reads another namespace's /proc
    (unshare --pid without --mount-proc), a pid found there names another
    process to a signal or a wait."""
    return bool(_table.pids_are_ours())


def wait_until_listening(port: int, timeout: float = _table.WAIT_TIMEOUT, *, pid: int | None = None) -> bool:
    """True as soon as a TCP listener exists on `port` on any local address
    (as listeners() sees it), False once `timeout` seconds have passed. With
    `pid`, only a listener held by that process or one of its descendants
    counts, and the call raises ProcessLookupError at once when that process
    exits first. It reads the kernel's listening table and never connects,
    so the server is not disturbed. Ctrl-C ends it."""
    (port,) = _table.checked(port=port)
    return not _table.wait(port, listening=True, timeout=timeout, pid=pid)


# --- stopping --------------------------------------------------------------------


def stop(
    ports: int | Iterable[int],
    *,
    udp: bool = False,
    all_sockets: bool = False,
    force: bool = False,
    timeout: float = _table.STOP_TIMEOUT,
    kill_after: float | None = None,
    dry_run: bool = False,
    pids: Iterable[int] | None = None,
) -> list[PortStop]:
    """Stop exactly what holds `ports`: every process holding a TCP listener
    on any local address (with `udp` also UDP sockets, with `all_sockets`
    every socket), never this process or an ancestor of it, and with `pids`
    only those processes. Each is pinned and signalled (SIGTERM, or SIGKILL
    with `force`) only while it still holds the socket it was found with;
    with `kill_after`, those still running that many seconds later get
    SIGKILL. Waits up to `timeout` seconds (at least kill_after + 1) for
    them to let go. `dry_run` signals nothing and tells what would be, and
    foresees what would keep a port from being freed: a target it may not
    signal, a listener no visible process holds, a master that respawns
    the workers."""
    # The engine checks every argument, stops, and hands back what it did
    # to each port, with the ports before and after from its one walk.
    wanted, found_before, found_after, results = _table.stop(
        ports, udp=udp, all_sockets=all_sockets, force=force, timeout=timeout, kill_after=kill_after,
        dry_run=dry_run, pids=pids)
    before = [_state(raw) for raw in found_before]
    after = before if found_after is None else [_state(raw) for raw in found_after]
    return [
        PortStop(port, result, error, state_before.owner,  # type: ignore[arg-type]
                 tuple(Signalled(*process) for process in processes), state_after)  # type: ignore[arg-type]
        for port, state_before, state_after, (result, error, processes) in zip(wanted, before, after, results)
    ]


def reserve() -> int:
    """A port for a test server: the system chose it, and for about a minute
    it hands it to no other bind on port 0 and to no outgoing connection,
    because a closed connection on 127.0.0.1 at that port waits out
    TIME-WAIT. A server that sets SO_REUSEADDR (Python's socketserver and
    asyncio, Node, Go, nginx do) binds it at once. It does not keep out a
    program that picks its own numbers, and a server that does not set
    SO_REUSEADDR gets EADDRINUSE until the minute is up. Nothing stays open."""
    return int(_table.reserve())
