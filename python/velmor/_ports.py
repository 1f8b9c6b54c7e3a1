"""The package's answers on the socket table: what listens, what is on a
port and why it is busy, waiting for a server, stopping what holds a port,
and ports reserved for tests. The module functions of velmor._lib answer by
a trial bind on 127.0.0.1; these look at every local address."""

from __future__ import annotations

import errno
import os
import time

from velmor import _table
from velmor._text import printable
from velmor._records import Listener, PortStatus, PortStop, Process, Signalled, Socket

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable, Sequence

    from velmor._records import BusyReason, Outcome, StopResult

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


def _port_list(ports: int | Iterable[int] | None) -> list[int] | None:
    """None, one port or some ports, as a list without repeats (ValueError
    outside 1-65535, TypeError for what is not a port)."""
    if ports is None:
        return None
    if isinstance(ports, int):
        ports = [ports]
    if isinstance(ports, (str, bytes)):
        raise TypeError(f"expected a port or ports, not {type(ports).__name__}")
    unique: dict[int, None] = {}
    for port in ports:
        if not isinstance(port, int) or isinstance(port, bool):
            raise TypeError(f"a port is an int, not {type(port).__name__}")
        if not 1 <= port <= 65535:
            raise ValueError(f"port {port} is not in 1-65535")
        unique[port] = None
    return list(unique)


def _by_port_and_address(socket: Socket) -> tuple[int, int, str, str]:
    return (socket.port, 0 if socket.family == "ipv4" else 1, socket.address, socket.protocol)


def listeners(ports: int | Iterable[int] | None = None, *, udp: bool = False) -> list[Listener]:
    """Every TCP socket that listens (with `udp`, also every bound UDP
    socket), on any local address, optionally only on `ports`; each with the
    visible processes that hold it. Sorted by port, then address."""
    wanted = _port_list(ports)
    found = [_socket(raw) for raw in _table.sockets(wanted, listening=True, udp=udp)]
    found = [s for s in found if s.protocol == "tcp" or s.state == "bound"]
    return sorted(found, key=_by_port_and_address)


def sockets(ports: int | Iterable[int] | None = None, *, udp: bool = True) -> list[Socket]:
    """Every TCP socket in every state on `ports` (every port when None),
    TIME-WAIT ones included, and with `udp` every UDP socket; each with the
    visible processes that hold it. Sorted by port, then address."""
    wanted = _port_list(ports)
    found = [_socket(raw) for raw in _table.sockets(wanted, listening=False, udp=udp)]
    return sorted(found, key=_by_port_and_address)


# --- the state of a port -------------------------------------------------------


def _status(port: int, on_port: tuple[Socket, ...], *, lasting: bool = False) -> PortStatus:
    """The port's state from its sockets. `lasting`: they are the sockets
    seen in two reads in a row, so a bind that fails for want of the address
    while none is there met a socket of a moment (another process's trial
    of the port), which does not make the port busy."""
    tcp = [s for s in on_port if s.protocol == "tcp"]
    listening = [s for s in tcp if s.state == "listen"]
    if listening:
        owner = next((s.processes[0] for s in listening if s.processes), None)
        return PortStatus(port, "listening", None if owner else "hidden-owner", owner, on_port)
    if any(s.state != "time-wait" for s in tcp):
        return PortStatus(port, "busy", "connection", None, on_port)
    failure = _table.probe(port)
    if failure == 0 or (lasting and not tcp and failure == errno.EADDRINUSE):
        return PortStatus(port, "free", None, None, on_port)
    reason: BusyReason = "time-wait" if tcp else "unknown"
    return PortStatus(port, "busy", reason, None, on_port, failure)


def statuses(ports: Iterable[int]) -> list[PortStatus]:
    """What is on each port, from one read of the socket tables and one
    walk: "listening" when a TCP listener holds it on any local address;
    "free" when nothing listens and a listener could be set up (TIME-WAIT
    sockets that a bind with SO_REUSEADDR takes over do not count: that is
    how reserved ports look); "busy" otherwise, with the reason. UDP
    sockets never make a port busy; they are among its sockets."""
    wanted = _port_list(ports) or []
    if not wanted:
        return []
    return _statuses_of(wanted, sockets(wanted, udp=True))


def _statuses_of(ports: Sequence[int], found: Iterable[Socket], *, lasting: bool = False) -> list[PortStatus]:
    """Each port's state from the sockets found on the ports (sorted)."""
    by_port: dict[int, list[Socket]] = {port: [] for port in ports}
    for socket in found:
        by_port[socket.port].append(socket)
    return [_status(port, tuple(by_port[port]), lasting=lasting) for port in ports]


_REREADS = 3
_REREAD_PAUSE = 0.002


def _lasting_statuses(ports: Sequence[int]) -> list[PortStatus]:
    """statuses(ports), with the sockets of a moment left out: when a port
    is not free, the tables are read again (up to _REREADS times, a pause
    apart), and only the sockets in two reads in a row count. Another
    process that tries the port in a loop (is_available) holds a socket on
    it for an instant, each time a new one; a socket that lasts is there
    in both reads."""
    previous = sockets(ports, udp=True)
    states = _statuses_of(ports, previous)
    for _ in range(_REREADS):
        if all(state.state == "free" for state in states):
            break
        time.sleep(_REREAD_PAUSE)
        current = sockets(ports, udp=True)
        known = {socket.inode for socket in previous}
        # TIME-WAIT sockets have no inode: they are kept as they are.
        kept = [socket for socket in current if socket.inode == 0 or socket.inode in known]
        previous = current
        states = _statuses_of(ports, kept, lasting=True)
    return states


def status(port: int) -> PortStatus:
    """What is on one port; see statuses()."""
    return statuses([port])[0]


def is_free(port: int) -> bool:
    """True when nothing listens on the port on any local address and a
    listener can be set up: what `velmor check` asks, status(port).state ==
    "free", found without walking the processes (no holder is needed)."""
    wanted = _port_list(port)
    assert wanted is not None and len(wanted) == 1
    found = tuple(_socket(raw) for raw in _table.sockets(wanted, listening=False, udp=False, holders=False))
    return _status(wanted[0], found).state == "free"


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


def hidden_holder_text(socket: Socket) -> str:
    """Why the holder of a socket in our own network namespace is not seen,
    and what would help."""
    owner = _user_text(socket.uid)
    if hasattr(os, "geteuid") and os.geteuid() == 0:
        return f"held by a process of {owner} that is not visible here: it runs in another pid namespace (a container)"
    return f"held by a process of {owner} that is not visible to you (try sudo)"


def explain(state: PortStatus) -> str:
    """One line on why a port is what it is, for people."""
    if state.state == "free":
        return "free"
    if state.state == "listening":
        if state.owner is not None:
            return f"listening: {describe(state.owner)}"
        return "listening, " + hidden_holder_text(state.listeners[0])
    if state.reason == "connection":
        held = [s for s in state.sockets if s.protocol == "tcp" and s.state not in ("listen", "time-wait")]
        first = held[0]
        what = "a bound socket" if first.state == "bound" else f"a connection ({first.state})"
        if first.processes:
            return f"busy: held by {what} of {describe(first.processes[0])}, not a listener"
        return f"busy: held by {what}, " + hidden_holder_text(first)
    if state.reason == "time-wait":
        return (
            "busy: only TIME-WAIT sockets of closed connections remain (they end within a minute); "
            "their sockets did not set SO_REUSEADDR, so no bind can take them over"
        )
    cause = os.strerror(state.probe_error) if state.probe_error else "unknown error"
    hint = ""
    if state.probe_error == errno.EACCES:
        hint = " (ports below the unprivileged limit need privileges)"
    return f"busy: no socket holds it in this network namespace, yet a bind on 127.0.0.1 fails: {cause}{hint}"


def udp_note(state: PortStatus) -> str | None:
    """A note on UDP sockets on the number, which never make a port busy."""
    udp = state.udp
    if not udp:
        return None
    holders = [describe(p) for s in udp for p in s.processes]
    shown = ", ".join(dict.fromkeys(holders)) if holders else "not visible"
    return f"UDP on {state.port} too: {shown}"


# --- waiting ---------------------------------------------------------------------

_FIRST_PAUSE = 0.001
_LONGEST_PAUSE = 0.005
"""Checks start every millisecond and slow down to every 5 ms: a server is
seen within a few milliseconds of its listen(), and a long wait costs one
netlink query (tens of microseconds) every 5 ms, under 1% of a core. Ctrl-C
ends a pause at once."""


def pids_are_ours() -> bool:
    """True when the pids the system lists are those of this process's pid
    namespace. In a pid namespace that reads another namespace's /proc
    (unshare --pid without --mount-proc), a pid found there names another
    process to a signal or a wait."""
    return bool(_table.pids_are_ours())


def require_own_pids(doing: str) -> None:
    """Raises OSError when pids_are_ours() is false, saying that `doing`
    (e.g. "wait for pid 12") cannot be done here."""
    if not pids_are_ours():
        raise OSError(
            errno.EOPNOTSUPP,
            f"cannot {doing}: /proc belongs to another pid namespace, so its pids name other processes "
            "(mount a /proc for this pid namespace)",
        )


class _ProcessWatch:
    """Whether a process has exited (a zombie has), pinned where the system
    can pin it, so that a reused pid is not taken for it."""

    def __init__(self, pid: int) -> None:
        require_own_pids(f"wait for pid {pid}")
        self.pid = pid
        self._pidfd: int | None = None
        opener = getattr(os, "pidfd_open", None)
        if opener is not None:
            try:
                self._pidfd = opener(pid)
            except OSError as error:
                if error.errno == errno.ESRCH:
                    raise ProcessLookupError(errno.ESRCH, f"no process {pid}") from None
        elif not self._alive():
            raise ProcessLookupError(errno.ESRCH, f"no process {pid}")

    def _alive(self) -> bool:
        try:
            os.kill(self.pid, 0)
        except ProcessLookupError:
            return False
        except PermissionError:
            return True
        return True

    def exited(self) -> bool:
        if self._pidfd is not None:
            import select

            # poll, not select: a descriptor numbered 1024 or more is out of select's range.
            poller = select.poll()
            poller.register(self._pidfd, select.POLLIN)
            return bool(poller.poll(0))
        return not self._alive()

    def close(self) -> None:
        if self._pidfd is not None:
            os.close(self._pidfd)
            self._pidfd = None


def listening_now(port: int, pid: int | None = None) -> bool:
    """True when a TCP listener exists on the port on any local address;
    with `pid`, only one held by that process or one of its descendants."""
    if pid is not None:
        require_own_pids(f"look for the listeners of pid {pid}")
    return _ListenerCheck(port, pid)()


class _ListenerCheck:
    """listening_now for one port, made again and again by a wait: while the
    port's listeners stay those that no descendant of `pid` held, the
    descendants are looked for again (a pass over every process) only every
    0.1 s, not at every check. The process tree is trusted only while
    `watch` shows that `pid` is still the process it was when the wait
    began: once it has exited, its pid may name a newer process."""

    _RECHECK = 0.1

    def __init__(self, port: int, pid: int | None, watch: _ProcessWatch | None = None) -> None:
        self.port = port
        self.pid = pid
        self.watch = watch
        self._not_ours: frozenset[int] = frozenset()  # listener inodes held by no descendant
        self._looked = 0.0

    def __call__(self) -> bool:
        listening = frozenset(raw[8] for raw in _table.sockets([self.port], listening=True, holders=False))
        if not listening or self.pid is None:
            return bool(listening)
        if listening <= self._not_ours and time.monotonic() - self._looked < self._RECHECK:
            return False
        tree = _table.process_tree(self.pid)
        # Still alive after the tree was read: the tree is the process's own.
        if self.watch is not None and self.watch.exited():
            return False
        if any(raw[10] for raw in _table.sockets([self.port], listening=True, pids=tree)):
            return True
        self._not_ours, self._looked = listening, time.monotonic()
        return False


def _checked_timeout(timeout: float) -> float:
    seconds = float(timeout)
    if not seconds >= 0:
        raise ValueError(f"timeout must be 0 or more seconds, not {timeout!r}")
    return seconds


def wait_until_listening(port: int, timeout: float = 30.0, *, pid: int | None = None) -> bool:
    """True as soon as a TCP listener exists on `port` on any local address
    (as listeners() sees it), False once `timeout` seconds have passed. With
    `pid`, only a listener held by that process or one of its descendants
    counts, and the call raises ProcessLookupError at once when that process
    exits first. It reads the kernel's listening table and never connects,
    so the server is not disturbed. Ctrl-C ends it."""
    wanted = _port_list(port)
    assert wanted is not None and len(wanted) == 1
    seconds = _checked_timeout(timeout)
    watch = _ProcessWatch(pid) if pid is not None else None
    deadline = time.monotonic() + seconds
    pause = _FIRST_PAUSE
    check = _ListenerCheck(wanted[0], pid, watch)
    try:
        while True:
            if check():
                return True
            if watch is not None and watch.exited():
                raise ProcessLookupError(errno.ESRCH, f"process {pid} exited before anything listened on port {port}")
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            time.sleep(min(pause, left))
            pause = min(pause * 1.5, _LONGEST_PAUSE)
    finally:
        if watch is not None:
            watch.close()


def wait_until_all(ports: Sequence[int], check: Callable[[int], bool], timeout: float) -> list[int]:
    """Waits until `check(port)` holds for every port, or `timeout` seconds;
    gives the ports for which it still does not hold."""
    seconds = _checked_timeout(timeout)
    deadline = time.monotonic() + seconds
    pending = list(ports)
    pause = _FIRST_PAUSE
    while True:
        pending = [port for port in pending if not check(port)]
        left = deadline - time.monotonic()
        if not pending or left <= 0:
            return pending
        time.sleep(min(pause, left))
        pause = min(pause * 1.5, _LONGEST_PAUSE)


# --- stopping --------------------------------------------------------------------


# Signal numbers, the same on Linux and macOS; the signal module is not
# imported, which would cost more than the rest of the package.
SIGKILL = 9
SIGTERM = 15
_SIGNAL_NAMES = {SIGKILL: "SIGKILL", SIGTERM: "SIGTERM"}


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


def _failure_text(port: int, after: PortStatus, signalled: Sequence[Signalled], force: bool, timeout: float) -> str:
    """Why a port was not freed, with what would help, never suggesting
    what cannot help."""
    refused = [p for p in signalled if p.outcome == "refused"]
    skipped = [p for p in signalled if p.outcome == "skipped"]
    stuck = [p for p in signalled if p.outcome == "running"]
    failed = [p for p in signalled if p.outcome == "failed"]
    if refused:
        who = ", ".join(describe(p) for p in refused)
        return f"port {port}: not allowed to signal {who}: another user's process (try sudo)"
    if stuck and after.state != "free":
        who = ", ".join(describe(p) for p in stuck)
        sent = stuck[0].signal or "the signal"
        if force or sent == "SIGKILL":
            return f"port {port}: {who} got {sent} and still holds the port after {timeout:g}s"
        return (
            f"port {port}: {who} got {sent} and still holds the port after {timeout:g}s "
            f"(--kill-after SECONDS sends SIGKILL to what is left)"
        )
    if skipped and not stuck:
        who = ", ".join(describe(p) for p in skipped)
        return f"port {port}: held by {who}, this velmor process or one of its ancestors: not signalled"
    if failed:
        who = ", ".join(describe(p) for p in failed)
        return f"port {port}: could not signal {who}"
    text = explain(after)
    if after.reason == "connection":
        text += " (--all-sockets stops connections too)"
    return f"port {port}: {text}"


def stop(
    ports: int | Iterable[int],
    *,
    udp: bool = False,
    all_sockets: bool = False,
    force: bool = False,
    timeout: float = 5.0,
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
    them to let go. `dry_run` signals nothing and tells what would be."""
    wanted = _port_list(ports) or []
    seconds = _checked_timeout(timeout)
    if kill_after is not None:
        kill_after = _checked_timeout(kill_after)
    only = None if pids is None else [int(pid) for pid in pids]
    first = SIGKILL if force else SIGTERM
    raw, found = _table.stop(
        wanted,
        udp=udp,
        all_sockets=all_sockets,
        signal=first,
        kill_after=kill_after,
        timeout=seconds,
        dry_run=dry_run,
        pids=only,
    )
    # What was on the ports before: the stop's own reading of the sockets
    # (so that no second walk is made), unless it walked only some
    # processes. A port without a socket is probed only now, which for a
    # port nobody held tells the same.
    if only is None:
        found_before = sorted((_socket(entry) for entry in found), key=_by_port_and_address)
        before = {state.port: state for state in _statuses_of(wanted, found_before)}
    else:
        before = {state.port: state for state in statuses(wanted)}
    after = before if dry_run else {state.port: state for state in _lasting_statuses(wanted)}
    waited = max(seconds, kill_after + 1) if kill_after is not None else seconds
    reports: list[PortStop] = []
    for port in wanted:
        signalled = []
        for pid, name, cmd, held, skipped, sent, outcome in raw:
            if port not in held:
                continue
            if skipped:
                signalled.append(Signalled(pid, name, cmd, tuple(held), None, "skipped"))
            elif dry_run:
                signalled.append(Signalled(pid, name, cmd, tuple(held), _signal_name(first), "running"))
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
            result = "dry_run" if targets else "failed"
            if not targets:
                error = _failure_text(port, state_after, signalled, force, waited)
        elif _stopped_entirely(state_after, udp, all_sockets):
            result = "freed"
        else:
            result = "failed"
            error = _failure_text(port, state_after, signalled, force, waited)
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
