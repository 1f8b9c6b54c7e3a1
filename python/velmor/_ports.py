"""The package's answers on the socket table: what listens, what is on a
port and why it is busy, waiting for a server, stopping what holds a port,
and ports reserved for tests. The module functions of velmor._lib answer by
a trial bind on 127.0.0.1; these look at every local address."""

from __future__ import annotations

import errno
import os

from velmor import _table
from velmor._text import printable
from velmor._records import Listener, PortStatus, PortStop, Process, Signalled, Socket

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable, Sequence

    from velmor._records import BusyReason, Hidden, Outcome, StopResult

    RawProcess = tuple[int, str, str, "int | None"]
    RawSocket = tuple[str, str, str, int, "str | None", "int | None", str, "int | None", int, "bool | None", tuple[RawProcess, ...]]


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
) -> tuple[list[Listener], list[Process]]:
    """listeners(), with the processes whose descriptors the walk could not
    read when a listener has no visible holder (see hidden_evidence)."""
    wanted, udp = _table.checked(ports=ports, udp=udp)
    raw, unreadable = _table.sockets(wanted, listening=True, udp=udp, evidence=True)
    found = [_socket(entry) for entry in raw]
    found = [s for s in found if s.protocol == "tcp" or s.state == "bound"]
    return found, [_process(entry) for entry in unreadable]


def sockets(ports: int | Iterable[int] | None = None, *, udp: bool = True) -> list[Socket]:
    """Every TCP socket in every state on `ports` (every port when None),
    TIME-WAIT ones included, and with `udp` every UDP socket; each with the
    visible processes that hold it. Sorted by port, then address (IPv4
    first, each address as a number)."""
    wanted, udp = _table.checked(ports=ports, udp=udp)
    return [_socket(raw) for raw in _table.sockets(wanted, listening=False, udp=udp)]


# --- the state of a port -------------------------------------------------------


_CLOSING_STATES = frozenset({"fin-wait-1", "fin-wait-2", "last-ack", "closing"})


def is_left_closing(socket: Socket) -> bool:
    """A connection whose process has closed it (or ended) while it still
    closes: the kernel keeps it, without an inode and held by no process,
    until the peer answers or the kernel's timeout (FIN-WAIT-2:
    tcp_fin_timeout) ends it. Like a TIME-WAIT socket, a bind with
    SO_REUSEADDR takes the port over when the socket had set it too."""
    return socket.protocol == "tcp" and socket.state in _CLOSING_STATES and socket.inode == 0


def _lingers(socket: Socket) -> bool:
    """A TCP socket that only outlives its connection: TIME-WAIT or left closing."""
    return socket.state == "time-wait" or is_left_closing(socket)


def _is_root() -> bool:
    return hasattr(os, "geteuid") and os.geteuid() == 0


def hidden_evidence(
    unreadable: Sequence[Process] | None, owner_uid: int | None, view: str | None = None
) -> tuple[Hidden | None, tuple[Process, ...]]:
    """What tells why a socket that no visible process holds is not seen,
    and its possible holders: the processes whose descriptors the walk could
    not read (those of the socket's user first), else, when every process
    was in view, no process at all (only root reads every table), else
    other pid namespaces; other pid namespaces first when /proc is not ours.
    `unreadable` None: the walk did not say. `view`: the process view, when
    the caller has it."""
    if unreadable is None:
        return None, ()
    view = view or _table.process_view()
    if view == "foreign":  # the walk's pids are another namespace's
        return "other-pid-namespace", ()
    if unreadable:
        ranked = sorted(unreadable, key=lambda p: (p.uid != owner_uid, p.pid))
        return "unreadable", tuple(ranked)
    if view == "own-namespace":
        return "other-pid-namespace", ()
    if _is_root():
        return "no-process", ()
    return None, ()


class _Seen:
    """What a reading gave beside the sockets: the processes whose
    descriptors the walk could not read (None: unknown), per port the error
    of a trial bind made with it (None: the port is probed when needed),
    the process view (None: asked when needed), and whether the sockets are
    those seen in two reads in a row."""

    __slots__ = ("unreadable", "probes", "view", "lasting")

    def __init__(self, unreadable: Sequence[Process] | None = None, probes: dict[int, int] | None = None,
                 view: str | None = None, lasting: bool = False) -> None:
        self.unreadable, self.probes, self.view, self.lasting = unreadable, probes, view, lasting


def _status(port: int, on_port: tuple[Socket, ...], seen: _Seen) -> PortStatus:
    """The port's state from its sockets and what the reading gave beside
    them. With `seen.lasting`, a bind that fails for want of the address
    while no socket is there met a socket of a moment (another process's
    trial of the port), which does not make the port busy."""
    unreadable, view, lasting = seen.unreadable, seen.view, seen.lasting
    tcp = [s for s in on_port if s.protocol == "tcp"]
    listening = [s for s in tcp if s.state == "listen"]
    if listening:
        owner = next((s.processes[0] for s in listening if s.processes), None)
        if owner is not None:
            return PortStatus(port, "listening", None, owner, on_port)
        hidden, candidates = hidden_evidence(unreadable, listening[0].uid, view)
        return PortStatus(port, "listening", "hidden-owner", None, on_port, 0, hidden, candidates)
    held = [s for s in tcp if not _lingers(s)]
    if held:
        unseen = next((s for s in held if not s.processes), None)
        hidden, candidates = hidden_evidence(unreadable, unseen.uid, view) if unseen else (None, ())
        return PortStatus(port, "busy", "connection", None, on_port, 0, hidden, candidates)
    failure = seen.probes[port] if seen.probes is not None else _table.probe(port)
    if failure == 0 or (lasting and not tcp and failure == errno.EADDRINUSE):
        return PortStatus(port, "free", None, None, on_port)
    reason: BusyReason = "unknown"
    if tcp:
        reason = "closing" if any(is_left_closing(s) for s in tcp) else "time-wait"
    return PortStatus(port, "busy", reason, None, on_port, failure)


def statuses(ports: Iterable[int]) -> list[PortStatus]:
    """What is on each port, from one read of the socket tables and one
    walk: "listening" when a TCP listener holds it on any local address;
    "free" when nothing listens and a listener could be set up (TIME-WAIT
    sockets that a bind with SO_REUSEADDR takes over do not count: that is
    how reserved ports look); "busy" otherwise, with the reason. UDP
    sockets never make a port busy; they are among its sockets."""
    (wanted,) = _table.checked(ports=ports)
    if not wanted:
        return []
    found, unreadable = _sockets_seen(wanted)
    return _statuses_of(wanted, found, _Seen(unreadable))


def _sockets_seen(ports: Sequence[int]) -> tuple[list[Socket], list[Process]]:
    """Every socket on `ports` (sorted), with the processes whose
    descriptors the walk could not read."""
    raw, unreadable = _table.sockets(ports, listening=False, udp=True, evidence=True)
    return [_socket(entry) for entry in raw], [_process(entry) for entry in unreadable]


def _statuses_of(ports: Sequence[int], found: Iterable[Socket], seen: _Seen) -> list[PortStatus]:
    """Each port's state from the sockets found on the ports (sorted) and
    what the reading gave beside them."""
    by_port: dict[int, list[Socket]] = {port: [] for port in ports}
    for socket in found:
        by_port[socket.port].append(socket)
    return [_status(port, tuple(by_port[port]), seen) for port in ports]


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


_USER_NAMES: dict[int, str | None] = {}


def user_name(uid: int | None) -> str | None:
    """The name of a user, None when it has none (or uid is None); each uid
    is looked up once per process."""
    if uid is None:
        return None
    if uid not in _USER_NAMES:
        try:
            import pwd

            _USER_NAMES[uid] = pwd.getpwuid(uid).pw_name
        except (KeyError, ImportError):
            _USER_NAMES[uid] = None
    return _USER_NAMES[uid]


def _user_text(uid: int | None) -> str:
    name = user_name(uid)
    if uid is None:
        return "an unknown user"
    return f"user {printable(name)}" if name else f"uid {uid}"


def describe(process: Process | Signalled) -> str:
    """'name (pid N)', the name escaped: the texts for people name every
    process through this."""
    return f"{printable(process.name) or '?'} (pid {process.pid})"


def describe_with_user(process: Process) -> str:
    """'name (pid N, user U)'."""
    return f"{printable(process.name) or '?'} (pid {process.pid}, {_user_text(process.uid)})"


_CANDIDATES_SHOWN = 3


def candidates_text(candidates: Sequence[Process]) -> str:
    """The possible holders, the first few by name, pid and user."""
    shown = ", ".join(describe_with_user(p) for p in candidates[:_CANDIDATES_SHOWN])
    if len(candidates) > _CANDIDATES_SHOWN:
        shown += f" and {len(candidates) - _CANDIDATES_SHOWN} more"
    return shown


def hidden_holder_text(socket: Socket, hidden: Hidden | None = None, candidates: Sequence[Process] = ()) -> str:
    """Why the holder of a socket in our own network namespace is not seen,
    from the evidence (see hidden_evidence), and what would help."""
    owner = _user_text(socket.uid)
    if not _is_root():
        return f"held by a process of {owner} that is not visible to you (try sudo)"
    if hidden == "unreadable":
        return f"held by one of the processes whose descriptors cannot be read: {candidates_text(candidates)}"
    if hidden == "no-process":
        return "held by no process (in flight between processes, or kept by the kernel)"
    if hidden == "other-pid-namespace":
        return f"held by a process of {owner} that is not visible here: it runs in another pid namespace (a container)"
    # No evidence was gathered (the walk did not record what it could not read).
    return f"held by a process of {owner} that is not visible here"


def _closing_sockets(state: PortStatus) -> list[Socket]:
    return [s for s in state.sockets if is_left_closing(s)]


def explain(state: PortStatus) -> str:
    """One line on why a port is what it is, for people."""
    if state.state == "free":
        return "free"
    if state.state == "listening":
        if state.owner is not None:
            return f"listening: {describe(state.owner)}"
        return "listening, " + hidden_holder_text(state.listeners[0], state.hidden, state.candidates)
    if state.reason == "connection":
        held = [s for s in state.sockets if s.protocol == "tcp" and s.state != "listen" and not _lingers(s)]
        first = held[0]
        what = "a bound socket" if first.state == "bound" else f"a connection ({first.state})"
        if first.processes:
            return f"busy: held by {what} of {describe(first.processes[0])}, not a listener"
        return f"busy: held by {what}, " + hidden_holder_text(first, state.hidden, state.candidates)
    if state.reason == "time-wait":
        return (
            "busy: only TIME-WAIT sockets of closed connections remain (they end within a minute); "
            "their sockets did not set SO_REUSEADDR, so no bind can take them over"
        )
    if state.reason == "closing":
        return (
            "busy: only closing connections remain, held by no process (the kernel ends them, "
            "within tcp_fin_timeout); their sockets did not set SO_REUSEADDR, so no bind can take them over"
        )
    cause = os.strerror(state.probe_error) if state.probe_error else "unknown error"
    hint = ""
    if state.probe_error == errno.EACCES:
        hint = " (ports below the unprivileged limit need privileges)"
    return f"busy: no socket holds it in this network namespace, yet a bind on 127.0.0.1 fails: {cause}{hint}"


def closing_note(state: PortStatus) -> str | None:
    """A note on the connections left closing on a free port: they are on
    the number, and a bind with SO_REUSEADDR takes it all the same."""
    closing = _closing_sockets(state)
    if state.state != "free" or not closing:
        return None
    count = f"{len(closing)} closing connection{'s' if len(closing) > 1 else ''}"
    return (
        f"{count} on {state.port} held by no process (the kernel ends them, within tcp_fin_timeout); "
        "a server that sets SO_REUSEADDR binds the port now"
    )


def udp_note(state: PortStatus) -> str | None:
    """A note on UDP sockets on the number, which never make a port busy."""
    udp = state.udp
    if not udp:
        return None
    holders = [describe(p) for s in udp for p in s.processes]
    shown = ", ".join(dict.fromkeys(holders)) if holders else "not visible"
    return f"UDP on {state.port} too: {shown}"


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
    connected = {p.pid for s in after.sockets if s.protocol == "tcp" and s.state != "listen" and not _lingers(s)
                 for p in s.processes}
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
    hidden = next((s for s in before.listeners if not s.processes), None)
    if hidden is not None:
        text = hidden_holder_text(hidden, before.hidden, before.candidates)
        return f"port {port}: would not be freed: a listener is {text}"
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
    wanted, raw, found_before, found_after, unreadable, waited, view = _table.stop(
        ports, udp=udp, all_sockets=all_sockets, force=force, timeout=timeout, kill_after=kill_after,
        dry_run=dry_run, pids=pids)
    hidden = [_process(entry) for entry in unreadable]

    def states(found: tuple[list[RawSocket], list[int], bool]) -> dict[int, PortStatus]:
        sockets, probes, lasting = found
        seen = _Seen(hidden, dict(zip(wanted, probes)), view, lasting)
        return {state.port: state for state in _statuses_of(wanted, map(_socket, sockets), seen)}

    before = states(found_before)
    after = before if found_after is None else states(found_after)
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
