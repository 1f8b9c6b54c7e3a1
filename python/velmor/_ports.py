"""The package's answers on the socket table: what listens, what is on a
port and why it is busy, waiting for a server, stopping what holds a port,
and ports reserved for tests. The module functions of velmor._lib answer by
a trial bind on 127.0.0.1; these look at every local address."""

from __future__ import annotations

import os

from velmor import _table
from velmor._records import Listener, PortStatus, PortStop, Process, Signalled, Socket, explained, texts_of

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable, Sequence

    from velmor._records import BusyReason, Hidden, Outcome, StopResult

    RawProcess = tuple[int, str, str, "int | None"]
    RawSocket = tuple[str, str, str, int, "str | None", "int | None", str, "int | None", int, "bool | None", tuple[RawProcess, ...]]
    Evidence = tuple["Hidden | None", tuple[Process, ...], str]
    RawStatus = tuple[int, str, "str | None", "RawProcess | None", tuple[RawSocket, ...], int, "str | None",
                      tuple[RawProcess, ...], tuple[str, "str | None", "str | None", "str | None", str]]


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
    return listeners_seen(ports, udp=udp)[0]


def listeners_seen(
    ports: int | Iterable[int] | None = None, *, udp: bool = False
) -> tuple[list[Listener], list[Evidence | None]]:
    """listeners(), with, per listener that no visible process holds, what
    tells why (see PortStatus.hidden) and its possible holders, also named
    for people; None for a listener whose holders are seen."""
    wanted, udp = _table.checked(ports=ports, udp=udp)
    raw, _, told = _table.sockets(wanted, listening=True, udp=udp, evidence=True)
    found: list[Listener] = []
    evidence: list[Evidence | None] = []
    for entry, said in zip(raw, told):
        socket = _socket(entry)
        if socket.protocol == "tcp" or socket.state == "bound":
            found.append(socket)
            evidence.append(None if said is None else (said[0], tuple(map(_process, said[1])), said[2]))  # type: ignore[arg-type]
    return found, evidence


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
    port, state, reason, owner, found, probe_error, hidden, candidates, texts = raw
    record = PortStatus(port, state, reason, None if owner is None else _process(owner),  # type: ignore[arg-type]
                        tuple(_socket(entry) for entry in found), probe_error, hidden,  # type: ignore[arg-type]
                        tuple(_process(entry) for entry in candidates))
    return explained(record, texts)


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
    return bool(_free_verdicts([port])[0])


def all_free(ports: Sequence[int]) -> bool:
    """True when is_free holds for every one of `ports` (1-65535, without
    repeats); it stops at the first port found not free."""
    return all(_free_verdicts(ports, stop_at_taken=True))


def _free_verdicts(ports: Sequence[int], *, stop_at_taken: bool = False) -> list[bool | None]:
    """Per port, whether it is free, as the engine judges it from one read
    of the listening table, trial binds and (for the ports those leave
    undecided) one read of their sockets. With `stop_at_taken`, once a port
    is found not free the others may be left None (not looked at)."""
    return _table.free_check(ports, stop_at_taken=stop_at_taken)


# --- explanations ---------------------------------------------------------------


def user_name(uid: int | None) -> str | None:
    """The name of a user, None when it has none (or uid is None); each uid
    is looked up once per process."""
    return None if uid is None else _table.user_name(uid)


def describe(process: Process | Signalled) -> str:
    """'name (pid N)', the name escaped: the texts for people name every
    process through this."""
    return _table.describe(process.pid, process.name)


def describe_with_user(process: Process) -> str:
    """'name (pid N, user U)'."""
    return _table.describe_with_user(process.pid, process.name, process.uid)


def explain(state: PortStatus) -> str:
    """One line on why a port is what it is, for people."""
    return texts_of(state)[0]


def closing_note(state: PortStatus) -> str | None:
    """A note on the connections left closing on a free port: they are on
    the number, and a bind with SO_REUSEADDR takes it all the same."""
    return texts_of(state)[1]


def udp_note(state: PortStatus) -> str | None:
    """A note on UDP sockets on the number, which never make a port busy."""
    return texts_of(state)[2]


def candidates_text(state: PortStatus) -> str:
    """The possible holders of the state's unseen socket, the first few by
    name, pid and user."""
    return texts_of(state)[4]


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


# Signal numbers, the same on Linux and macOS; the signal module is not
# imported, which would cost more than the rest of the package.
_SIGNAL_NAMES = {9: "SIGKILL", 15: "SIGTERM"}


def _signal_name(number: int) -> str | None:
    if number == 0:
        return None
    return _SIGNAL_NAMES.get(number, f"signal {number}")


def _stopped_entirely(state: PortStatus, udp: bool, all_sockets: bool) -> bool:
    """True when nothing of the asked kinds holds the port any more."""
    if state.state != "free":
        return False
    if udp or all_sockets:
        return not any(s.processes for s in state.udp)
    return True


def _may_signal(pid: int) -> bool:
    """Whether this process may signal `pid`, asked with signal 0, which
    delivers nothing."""
    try:
        os.kill(pid, 0)
    except PermissionError:
        return False
    except OSError:
        return True  # gone already: the stop tells it
    return True


def _respawning_master(before: PortStatus, targets: Sequence[Signalled], parents: dict[int, int | None]) -> Process | None:
    """The parent of the targets that holds their listener out of our sight
    and is not signalled: a pre-forking server's master, which respawns the
    workers it loses. The evidence: it is none of the targets; we cannot
    read its descriptors; the listener belongs to its user, while none of
    the listener's visible holders runs as that user (the master made the
    socket and the workers dropped to another user)."""
    target_pids = {p.pid for p in targets}
    candidates = sorted({parent for pid, parent in parents.items() if pid in target_pids and parent} - target_pids - {1})
    if not candidates:
        return None
    for entry in _table.processes(candidates):
        if entry is None or entry[5]:
            continue
        pid, _, name, cmd, uid, _ = entry
        for socket in before.listeners:
            holders = [p for p in socket.processes if p.pid in target_pids]
            if holders and socket.uid == uid and all(p.uid != uid for p in socket.processes):
                return Process(pid, name, cmd, uid)
    return None


def _client_sessions(stuck: Sequence[Signalled], after: PortStatus) -> list[int]:
    """The descendants of the targets still running that hold connections
    on the port: a server that ends only once its sessions have ended
    (a database's postmaster) waits for them."""
    # A socket that only lingers (TIME-WAIT, left closing) has no holder.
    connected = {p.pid for s in after.sockets if s.protocol == "tcp" and s.state != "listen" for p in s.processes}
    if not connected:
        return []
    stuck_pids = {p.pid for p in stuck}
    below = {pid for target in stuck for pid in _table.process_tree(target.pid)} - stuck_pids
    return sorted(connected & below)


def _failure_text(
    port: int,
    after: PortStatus,
    signalled: Sequence[Signalled],
    force: bool,
    timeout: float,
    master: Process | None = None,
    all_sockets: bool = False,
) -> str:
    """Why a port was not freed, with what would help, never suggesting
    what cannot help."""
    refused = [p for p in signalled if p.outcome == "refused"]
    skipped = [p for p in signalled if p.outcome == "skipped"]
    stuck = [p for p in signalled if p.outcome == "running"]
    failed = [p for p in signalled if p.outcome == "failed"]
    if refused:
        who = ", ".join(describe(p) for p in refused)
        return f"port {port}: not allowed to signal {who}: another user's process (try sudo)"
    if master is not None and after.state != "free":
        return f"port {port}: its master {describe_with_user(master)} respawns the workers"
    if stuck and after.state != "free":
        who = ", ".join(describe(p) for p in stuck)
        sent = stuck[0].signal or "the signal"
        sessions = [] if all_sockets else _client_sessions(stuck, after)
        if sessions:
            count = f"{len(sessions)} client session{'s' if len(sessions) > 1 else ''}"
            return (
                f"port {port}: {who} got {sent} and is waiting for {count}: "
                f"pids {', '.join(map(str, sessions))}; all_sockets=True stops them too"
            )
        if force or sent == "SIGKILL":
            return f"port {port}: {who} got {sent} and still holds the port after {timeout:g}s"
        return (
            f"port {port}: {who} got {sent} and still holds the port after {timeout:g}s "
            f"(kill_after=SECONDS sends SIGKILL to what is left)"
        )
    if skipped and not stuck:
        who = ", ".join(describe(p) for p in skipped)
        return f"port {port}: held by {who}, this velmor process or one of its ancestors: not signalled"
    if failed:
        who = ", ".join(describe(p) for p in failed)
        return f"port {port}: could not signal {who}"
    text = explain(after)
    if after.reason == "connection":
        text += " (all_sockets=True stops connections too)"
    return f"port {port}: {text}"


def _foreseen_failure(
    port: int, before: PortStatus, targets: Sequence[Signalled], parents: dict[int, int | None]
) -> str | None:
    """Why a dry run's signals would not free the port: a target it may not
    signal, a listener that no visible process holds, or a master that
    respawns the workers; None when nothing tells."""
    refused = [p for p in targets if p.outcome == "refused"]
    if refused:
        who = ", ".join(describe(p) for p in refused)
        return f"port {port}: would not be freed: not allowed to signal {who}: another user's process (try sudo)"
    unseen = texts_of(before)[3]
    if unseen is not None:
        return f"port {port}: would not be freed: a listener is {unseen}"
    master = _respawning_master(before, targets, parents)
    if master is not None:
        return (
            f"port {port}: would not be freed: its master {describe_with_user(master)} holds the listener "
            "out of sight and is not signalled: it would respawn the workers"
        )
    return None


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
    # The engine checks every argument, stops, and hands back the ports
    # before and after from its one walk over the processes.
    wanted, raw, found_before, found_after, waited = _table.stop(
        ports, udp=udp, all_sockets=all_sockets, force=force, timeout=timeout, kill_after=kill_after,
        dry_run=dry_run, pids=pids)
    before = {state.port: state for state in map(_state, found_before)}
    after = before if found_after is None else {state.port: state for state in map(_state, found_after)}
    parents = {entry[0]: entry[7] for entry in raw}
    reports: list[PortStop] = []
    for port in wanted:
        signalled = []
        for pid, name, cmd, held, skipped, sent, outcome, _ in raw:
            if port not in held:
                continue
            if skipped:
                signalled.append(Signalled(pid, name, cmd, tuple(held), None, "skipped"))
            elif dry_run:
                foreseen: Outcome = "running" if _may_signal(pid) else "refused"
                signalled.append(Signalled(pid, name, cmd, tuple(held), _signal_name(sent), foreseen))
            else:
                result_outcome: Outcome = outcome or "failed"  # type: ignore[assignment]
                signalled.append(Signalled(pid, name, cmd, tuple(held), _signal_name(sent), result_outcome))
        state_before, state_after = before[port], after[port]
        result: StopResult
        error = None
        targets = [p for p in signalled if p.outcome != "skipped"]
        if not signalled and _stopped_entirely(state_before, udp, all_sockets):
            result = "already_free"
        elif dry_run:
            foreseen_error = _foreseen_failure(port, state_before, targets, parents) if targets else None
            if targets and foreseen_error is None:
                result = "dry_run"
            else:
                result = "failed"
                error = foreseen_error or _failure_text(port, state_after, signalled, force, waited)
        elif _stopped_entirely(state_after, udp, all_sockets):
            result = "freed"
        else:
            result = "failed"
            master = _respawning_master(state_before, targets, parents) if targets else None
            error = _failure_text(port, state_after, signalled, force, waited, master, all_sockets)
        reports.append(PortStop(port, result, error, state_before.owner, tuple(signalled), state_after))
    return reports


def reserve() -> int:
    """A port for a test server: the system chose it, and for about a minute
    it hands it to no other bind on port 0 and to no outgoing connection,
    because a closed connection on 127.0.0.1 at that port waits out
    TIME-WAIT. A server that sets SO_REUSEADDR (Python's socketserver and
    asyncio, Node, Go, nginx do) binds it at once. It does not keep out a
    program that picks its own numbers, and a server that does not set
    SO_REUSEADDR gets EADDRINUSE until the minute is up. Nothing stays open."""
    return int(_table.reserve())
