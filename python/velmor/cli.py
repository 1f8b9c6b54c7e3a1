"""velmor: see, check, pick, wait for and free local TCP ports.

Usage:
    velmor ls [PORTS...] [--udp] [--json]           what listens, on every local address
    velmor who PORTS... [--json]                     what is on each port, and why it is busy
    velmor check PORTS... [-q | --json]              exit 0 when every port is free
    velmor free [--prefer PORT | --reserve]          print one free port
    velmor wait PORTS... [--listening] [--timeout SECONDS]
                                                     wait until every port is free (or listened on)
    velmor kill PORTS... [--udp] [--all-sockets] [--dry-run] [--force]
                [--timeout SECONDS] [--kill-after SECONDS] [--json]
                                                     stop exactly what holds each port
    velmor watch [PORTS...] [--udp] [--json] [--timeout SECONDS]
                                                     show listeners as they come and go

PORTS are port numbers (1-65535) and inclusive ranges such as 3000-3010,
in any mix. A port is free when nothing listens on it on any local address
and a listener can be set up.

Exit codes:
    0    success: who/ls answered; check, wait, kill: every port as asked;
         free: a port was printed; watch: its --timeout ended it
    1    check: a port is not free; wait: timed out; kill: a port was not
         freed; free: no free port found; any: the answer could not be written
    2    bad arguments
    130  interrupted (Ctrl-C)
"""

from __future__ import annotations

import errno
import os
import sys

import velmor
from velmor import _completion, _ports, _table, _watch
from velmor._arguments import (
    Arguments,
    Command,
    Option,
    Shown,
    UsageError,
    help_width,
    parse,
    parse_port,
    parse_seconds,
    wrap_item,
    wrap_text,
)
from velmor._text import printable

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable, Sequence

    from velmor._records import Hidden, PortStatus, PortStop, Process, Socket

EXIT_OK = 0
EXIT_FAIL = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

TOOL_EPILOG = """\
exit codes:
  0    success: who/ls answered; check, wait, kill: every port as asked;
       free: a port was printed; watch: its --timeout ended it
  1    check: a port is not free; wait: timed out; kill: a port was not freed;
       free: no free port found; any: the answer could not be written
  2    bad arguments
  130  interrupted (Ctrl-C)

example:
  velmor who 3000-3010 8080"""


# --- output ----------------------------------------------------------------------


class StdoutClosed(Exception):
    """The answer cannot be written; the argument says why ("standard
    output is closed", "no space left on device")."""


def _why_not_written(error: BaseException) -> str:
    if isinstance(error, OSError) and error.errno:
        text = os.strerror(error.errno)
        return text[:1].lower() + text[1:]
    return "standard output is closed"


def _write_answer(text: str) -> None:
    """`text` on stdout as it is: only for what is already safe (JSON, or
    lines made printable)."""
    if sys.stdout is None:
        raise StdoutClosed("standard output is closed")
    try:
        sys.stdout.write(text + "\n")
    except (ValueError, OSError) as error:
        if isinstance(error, BrokenPipeError):
            raise
        raise StdoutClosed(_why_not_written(error)) from error


def flush_answer() -> None:
    """Writes out what stdout still buffers (a full disk shows only here)."""
    if sys.stdout is None:
        return
    try:
        sys.stdout.flush()
    except (ValueError, OSError) as error:
        if isinstance(error, BrokenPipeError):
            raise
        raise StdoutClosed(_why_not_written(error)) from error


def out(line: str) -> None:
    """One line of the answer, on stdout, escaped as a whole: whatever a
    line holds, it stays one line of printable text."""
    _write_answer(printable(line))


def say(text: str) -> None:
    """A diagnostic line, on stderr only, never in the answer, escaped as
    a whole; dropped when stderr is closed."""
    if sys.stderr is None:
        return
    try:
        sys.stderr.write(printable(text) + "\n")
        sys.stderr.flush()
    except (ValueError, OSError):
        pass


def print_json(document: object) -> None:
    import json

    # json.dumps escapes every control character and (ensure_ascii) every
    # character beyond ASCII: the values stay exactly what the system gave.
    _write_answer(json.dumps(document, indent=2))


def format_table(rows: Sequence[Sequence[str]], width: int | None) -> list[str]:
    """Rows of printable cells as left-aligned columns, one line each;
    lines are cut to fit `width`."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]) - 1)]
    lines = []
    for row in rows:
        line = "  ".join(cell.ljust(w) for cell, w in zip(row, widths)) + "  " + row[-1]
        if width is not None and len(line) > width:
            line = line[: max(width - 3, 0)] + "..."
        lines.append(line.rstrip())
    return lines


def terminal_width() -> int | None:
    """Columns of the terminal on stdout, or None when stdout is not one."""
    try:
        if sys.stdout is not None and sys.stdout.isatty():
            return os.get_terminal_size(sys.stdout.fileno()).columns
    except (OSError, ValueError):
        pass
    return None


# --- arguments ---------------------------------------------------------------------


def unique_ports(groups: Iterable[list[int]]) -> list[int]:
    """Flatten port lists, keeping the first occurrence of each port."""
    return list(dict.fromkeys(port for group in groups for port in group))


def commands() -> list[Command]:
    """The commands, their options, examples and exit codes."""
    json_option = Option("--json", "print one JSON document on stdout (schema in docs/cli.md)")
    return [
        Command(
            "ls", "list what listens: every TCP listener on every local address, each with every process holding it",
            "velmor ls 8000-8100 --udp", "0 always (the answer is in the output)",
            [Option("--udp", "list bound UDP sockets too"), json_option], ports="optional",
        ),
        Command(
            "who", "show what is on each port: free, listening (with every holder) or busy (and why)",
            "velmor who 3000-3002 8080", "0 always (the answer is in the output)", [json_option], ports="required",
        ),
        Command(
            "check", "exit 0 when every port is free, 1 when any is not",
            "velmor check 5432 6379 || echo 'something is in the way'",
            "0 every port free, 1 a port is listening or busy",
            [Option("-q --quiet", "print nothing"), json_option], ports="required", exclusive=[("quiet", "json")],
        ),
        Command(
            "free", "print a free port (the preferred one when it is free)", "PORT=$(velmor free --prefer 8000)",
            "0 a port was printed, 1 none found",
            [
                Option("--prefer", "port to try first", parse_port, "PORT"),
                Option("--reserve", "a port no other bind on port 0 gets for about a minute; bind it with SO_REUSEADDR"),
            ],
            ports="none", exclusive=[("prefer", "reserve")],
        ),
        Command(
            "wait", "wait until every port is free (with --listening: until something listens on each)",
            "velmor wait 8000 --listening --timeout 10 && curl localhost:8000", "0 every port as asked, 1 timed out",
            [
                Option("--listening", "wait until something listens on every port"),
                Option("--timeout", f"give up after this long (default: {_table.WAIT_TIMEOUT:g}; fractions allowed)",
                       parse_seconds, "SECONDS", _table.WAIT_TIMEOUT),
            ],
            ports="required",
        ),
        Command(
            "kill", "stop the processes holding each port's TCP listeners (SIGTERM) and wait until it is free",
            "velmor kill 8000 --kill-after 3",
            "0 every port free at the end (dry run: something to signal on every busy port, "
            "and nothing foreseen to keep it busy), 1 otherwise",
            [
                Option("--udp", "also stop the holders of UDP sockets on the port"),
                Option("--all-sockets", "stop the holders of any socket on the port, connections too"),
                Option("--dry-run", "signal nothing: list what would be signalled"),
                Option("--force", "send SIGKILL at once instead of SIGTERM"),
                Option("--timeout",
                       f"how long to wait for the port to be free (default: {_table.STOP_TIMEOUT:g}; fractions allowed)",
                       parse_seconds, "SECONDS", _table.STOP_TIMEOUT),
                Option("--kill-after", "send SIGKILL to what still runs this long after SIGTERM "
                       "(the wait then lasts at least this plus 1 s)", parse_seconds, "SECONDS"),
                json_option,
            ],
            ports="required",
        ),
        watch_command(),
        Command(
            "completion", "print a completion script for bash, zsh or fish",
            'eval "$(velmor completion bash)"', "0 the script was printed",
            [Option("--listening-ports", "print the TCP ports that listen now, each with its process names "
                                         "(what the scripts offer after kill, who, ls and wait --listening)")],
            ports="none", choice=("SHELL", _completion.SHELLS),
            notes="Ports complete from what listens now: after kill, who, ls and wait --listening, the "
                  "scripts offer every TCP port that listens, with the names of its processes (zsh and fish "
                  "show them). Load the script in the shell's start-up file: eval \"$(velmor completion bash)\", "
                  "source <(velmor completion zsh), or velmor completion fish | source.",
        ),
    ]


def watch_command() -> Command:
    return Command(
        "watch", "show every listener now (=), then each one as it appears (+) and goes (-), with its holders",
        "velmor watch 3000 --json | tee port-3000.log",
        "0 after --timeout, 1 when the output cannot be written (a closed pipe)",
        [
            Option("--udp", "watch bound UDP sockets too"),
            Option("--json", "print one JSON object per line (JSON Lines; schema in docs/cli.md)"),
            Option("--timeout", "stop after this long (default: run until Ctrl-C; fractions allowed)",
                   parse_seconds, "SECONDS"),
        ],
        ports="optional",
        notes=f"The listening table is read every {_watch.INTERVAL * 1000:g} ms, and the processes only for a "
              "listener not seen before: a listener that opens and closes between two reads is never seen. "
              "A '-' line names the holders seen when the listener appeared. Times are local, to the "
              "millisecond. Runs until Ctrl-C or --timeout.",
    )


def tool_help(known: Sequence[Command]) -> str:
    width = help_width()
    lines = ["usage: velmor [-h] [--version] COMMAND ...", "",
             *wrap_text("See, check, pick, wait for and free local TCP ports.", width), "",
             *wrap_text("PORTS are port numbers (1-65535) and inclusive ranges like 3000-3010.", width), "",
             "commands:"]
    for command in known:
        lines += wrap_item(command.name, command.summary, width, column=11)
    lines += ["", "options:", "  -h, --help  show this help and exit", "  --version   show the version and exit", "",
              TOOL_EPILOG]
    return "\n".join(lines)


# --- rendering ---------------------------------------------------------------------


def address_text(socket: Socket) -> str:
    """The local address as ss writes it: IPv6 in brackets, '*' for an IPv6
    wildcard that takes IPv4 too."""
    if socket.family == "ipv4":
        return socket.address
    if socket.address == "::" and socket.v6only is False:
        return "*"
    return f"[{socket.address}]"


def user_text(uid: int | None) -> str:
    if uid is None:
        return "-"
    return printable(_ports.user_name(uid) or str(uid))


def short_hidden_text(socket: Socket, hidden: Hidden | None = None, candidates: Sequence[Process] = ()) -> str:
    """The COMMAND cell of a socket whose holder is not seen, from the
    evidence (see _ports.hidden_evidence)."""
    if not (hasattr(os, "geteuid") and os.geteuid() == 0):
        return "(not visible: try sudo)"
    if hidden == "unreadable":
        return f"(not visible: held by one of the processes whose descriptors cannot be read: " \
               f"{printable(_ports.candidates_text(candidates))})"
    if hidden == "no-process":
        return "(held by no process: in flight between processes, or kept by the kernel)"
    if hidden == "other-pid-namespace":
        return "(not visible: another pid namespace)"
    return "(not visible)"  # no evidence gathered (watch names holders without it)


def process_cells(process: Process) -> list[str]:
    return [str(process.pid), user_text(process.uid), printable(process.name) or "-", printable(process.cmd) or "-"]


def process_json(process: Process) -> dict[str, object]:
    return {
        "pid": process.pid,
        "name": process.name,
        "cmd": process.cmd,
        "uid": process.uid,
        "user": _ports.user_name(process.uid),
    }


def socket_json(socket: Socket) -> dict[str, object]:
    return {
        "protocol": socket.protocol,
        "family": socket.family,
        "address": socket.address,
        "port": socket.port,
        "state": socket.state,
        "uid": socket.uid,
        "user": _ports.user_name(socket.uid),
        "v6only": socket.v6only,
        "processes": [process_json(process) for process in socket.processes],
    }


def owner_json(owner: Process | None) -> dict[str, object] | None:
    """The owner as scripts have read it: get_info's {"pid", "name", "cmd"}."""
    if owner is None:
        return None
    return {"pid": owner.pid, "name": owner.name, "cmd": owner.cmd}


def status_json(state: PortStatus) -> dict[str, object]:
    return {
        "port": state.port,
        "state": state.state,
        "reason": state.reason,
        "owner": owner_json(state.owner),
        "sockets": [socket_json(socket) for socket in state.sockets],
        "hidden": state.hidden,
        "candidates": [process_json(process) for process in state.candidates],
    }


# --- commands ----------------------------------------------------------------------


def udp_hints(udp: Sequence[Socket]) -> list[str]:
    """`ls PORTS` without --udp: one note per port with bound UDP sockets,
    as `who` gives it."""
    by_port: dict[int, list[str]] = {}
    for socket in udp:
        names = [_ports.describe(p) for p in socket.processes] or ["not visible"]
        by_port.setdefault(socket.port, []).extend(names)
    return [
        f"note: UDP on {port} too: {printable(', '.join(dict.fromkeys(names)))} (--udp lists it)"
        for port, names in by_port.items()
    ]


def run_ls(args: Arguments) -> int:
    ports = unique_ports(args.ports) if args.ports else None
    # With ports named, their UDP sockets are read too, for a hint.
    found, unreadable = _ports.listeners_seen(ports, udp=args.udp or ports is not None)
    udp = [] if args.udp else [s for s in found if s.protocol == "udp"]
    found = [s for s in found if s.protocol == "tcp" or args.udp]
    if args.json:
        print_json({"sockets": [socket_json(socket) for socket in found]})
        return EXIT_OK
    rows = [["PROTO", "ADDRESS", "PORT", "PID", "USER", "NAME", "COMMAND"]]
    for socket in found:
        start = [socket.protocol, address_text(socket), str(socket.port)]
        if not socket.processes:
            hidden, candidates = _ports.hidden_evidence(unreadable, socket.uid)
            rows.append([*start, "-", user_text(socket.uid), "-", short_hidden_text(socket, hidden, candidates)])
        for process in socket.processes:
            rows.append([*start, *process_cells(process)])
    for line in format_table(rows, terminal_width()):
        out(line)
    for line in udp_hints(udp):
        out(line)
    return EXIT_OK


def status_rows(state: PortStatus) -> list[list[str]]:
    """The rows of one port in `who`: one per listening socket and holder."""
    port = str(state.port)
    if state.state == "listening":
        rows = []
        for socket in state.listeners:
            start = [port, "listening", address_text(socket)]
            if not socket.processes:
                hidden = short_hidden_text(socket, state.hidden, state.candidates)
                rows.append([*start, "-", user_text(socket.uid), "-", hidden])
            for process in socket.processes:
                rows.append([*start, *process_cells(process)])
        return rows
    detail = "-" if state.state == "free" else printable(_ports.explain(state).removeprefix("busy: "))
    return [[port, state.state, "-", "-", "-", "-", detail]]


def run_who(args: Arguments) -> int:
    states = velmor.statuses(unique_ports(args.ports))
    if args.json:
        print_json({"ports": [status_json(state) for state in states]})
        return EXIT_OK
    rows = [["PORT", "STATE", "ADDRESS", "PID", "USER", "NAME", "COMMAND"]]
    for state in states:
        rows.extend(status_rows(state))
    for line in format_table(rows, terminal_width()):
        out(line)
    for state in states:
        note = _ports.udp_note(state)
        if note:
            out(f"note: {note} (UDP never makes a TCP port busy)")
        closing = _ports.closing_note(state)
        if closing:
            out(f"note: {closing}")
    return EXIT_OK


def run_check(args: Arguments) -> int:
    ports = unique_ports(args.ports)
    if args.quiet:
        return EXIT_OK if _ports.all_free(ports) else EXIT_FAIL
    states = velmor.statuses(ports)
    all_free = all(state.state == "free" for state in states)
    if args.json:
        print_json({"all_free": all_free, "ports": [status_json(state) for state in states]})
    else:
        for state in states:
            if state.state != "free":
                out(printable(f"port {state.port} is not free: {_ports.explain(state).removeprefix('busy: ')}"))
    return EXIT_OK if all_free else EXIT_FAIL


def run_free(args: Arguments) -> int:
    if args.prefer is not None and velmor.is_free(args.prefer):
        out(str(args.prefer))
        return EXIT_OK
    try:
        port = velmor.reserve() if args.reserve else velmor.find_free()
    except OSError as error:
        say(f"velmor free: {error}")
        return EXIT_FAIL
    out(str(port))
    return EXIT_OK


def waiting_line(pending: Sequence[int], elapsed: float, listening: bool) -> str:
    """'waiting for ports 3000, 3001 to be free... 4s', the list kept short."""
    shown = ", ".join(map(str, pending[:5]))
    if len(pending) > 5:
        shown += f" and {len(pending) - 5} more"
    noun = "port" if len(pending) == 1 else "ports"
    goal = "be listened on" if listening else "be free"
    return f"waiting for {noun} {shown} to {goal}... {int(elapsed)}s"


def status_writer() -> Callable[[str], None]:
    """A writer that keeps one updating line on stderr (a terminal)."""
    last = [""]

    def show(text: str) -> None:
        if text != last[0] and sys.stderr is not None:
            sys.stderr.write("\r\x1b[K" + text)
            sys.stderr.flush()
            last[0] = text

    return show


def run_wait(args: Arguments) -> int:
    import time

    ports = unique_ports(args.ports)
    on_terminal = sys.stderr is not None and sys.stderr.isatty()
    show: Callable[[str], None] = status_writer() if on_terminal else (lambda _: None)
    start = time.monotonic()

    def progress(pending: list[int]) -> None:
        show(waiting_line(pending[:1], time.monotonic() - start, args.listening))

    try:
        pending = _table.wait(ports, listening=args.listening, timeout=args.timeout,
                              progress=progress if on_terminal else None)
    finally:
        show("")
    if not pending:
        return EXIT_OK
    still = ", ".join(map(str, pending))
    goal = "nothing listens on" if args.listening else "still not free"
    say(f"velmor wait: timed out after {args.timeout:g}s; {goal}: {still}")
    return EXIT_FAIL


# The library's advice names its parameters; the command names its flags.
_FLAGS_FOR_PARAMETERS = (("all_sockets=True", "--all-sockets"), ("kill_after=SECONDS", "--kill-after SECONDS"))


def kill_error(report: PortStop) -> str | None:
    """The stop's error as the command says it, with its flags for the
    library's parameters."""
    error = report.error
    if error is not None:
        for parameter, flag in _FLAGS_FOR_PARAMETERS:
            error = error.replace(parameter, flag)
    return error


def signalled_json(report: PortStop) -> dict[str, object]:
    return {
        "port": report.port,
        "result": report.result,
        "error": kill_error(report),
        "owner": owner_json(report.owner),
        "processes": [
            {"pid": p.pid, "name": p.name, "cmd": p.cmd, "signal": p.signal, "outcome": p.outcome}
            for p in report.processes
        ],
    }


def kill_lines(report: PortStop, dry_run: bool = False, udp: bool = False) -> list[str]:
    """What became of one port and of every process signalled for it."""
    heading = {
        "already_free": "already free",
        "freed": "freed",
        "failed": "would not be freed" if dry_run else "not freed",
        "dry_run": "would signal",
    }[report.result]
    lines = [f"port {report.port}: {heading}"]
    for process in report.processes:
        sent = process.signal or "-"
        outcome: str = process.outcome
        if dry_run and process.outcome in ("running", "refused"):
            outcome = "would get it" if process.outcome == "running" else "would be refused"
        lines.append(
            f"  {printable(process.name) or '?'} (pid {process.pid})  {sent}  {outcome}  {printable(process.cmd)}".rstrip()
        )
    return lines + [f"note: {printable(note)}" for note in kill_notes(report, udp)]


def kill_notes(report: PortStop, udp: bool = False) -> list[str]:
    """What a kill leaves on the port on purpose: UDP sockets of processes
    it did not stop (without --udp), closing connections held by no process."""
    notes = []
    signalled = {p.pid for p in report.processes}
    if not udp:
        left = [p for s in report.status.udp for p in s.processes if p.pid not in signalled]
        if left:
            names = ", ".join(dict.fromkeys(_ports.describe(p) for p in left))
            notes.append(f"UDP on {report.port} too: {names}, left alone (--udp stops it too)")
    closing = _ports.closing_note(report.status)
    if closing:
        notes.append(closing)
    return notes


def run_kill(args: Arguments) -> int:
    reports = velmor.stop(
        unique_ports(args.ports),
        udp=args.udp,
        all_sockets=args.all_sockets,
        force=args.force,
        timeout=args.timeout,
        kill_after=args.kill_after,
        dry_run=args.dry_run,
    )
    all_free = all(report.result != "failed" for report in reports)
    if args.json:
        print_json({"all_free": all_free, "ports": [signalled_json(report) for report in reports]})
    else:
        for report in reports:
            for line in kill_lines(report, args.dry_run, args.udp or args.all_sockets):
                out(line)
    for report in reports:
        error = kill_error(report)
        if error:
            say(printable(f"velmor kill: {error}"))
    return EXIT_OK if all_free else EXIT_FAIL


_WATCH_MARKS = {"present": "=", "appeared": "+", "gone": "-"}


_WATCH_WIDTHS = (1, 12, 5, 15, 5, 7, 8, 15)  # every cell but the command: at least this wide
_WATCH_HEADER = ("", "TIME", "PROTO", "ADDRESS", "PORT", "PID", "USER", "NAME", "COMMAND")


def watch_line(cells: Sequence[str]) -> str:
    """One line of `watch`: cells of fixed least widths, so that lines
    written one by one still line up as columns."""
    return "  ".join(cell.ljust(width) for cell, width in zip(cells, _WATCH_WIDTHS)) + "  " + cells[-1]


def watch_rows(change: _watch.Change) -> list[list[str]]:
    """The lines of one change: one per holder, as `ls` writes them."""
    import datetime

    moment = datetime.datetime.fromtimestamp(change.time)
    clock = moment.strftime("%H:%M:%S.") + f"{moment.microsecond // 1000:03d}"
    socket = change.socket
    start = [_WATCH_MARKS[change.event], clock, socket.protocol, address_text(socket), str(socket.port)]
    if not socket.processes:
        why = short_hidden_text(socket) if change.holders_read else "(closed before its holders were read)"
        return [[*start, "-", user_text(socket.uid), "-", why]]
    return [[*start, *process_cells(process)] for process in socket.processes]


def watch_json(change: _watch.Change) -> str:
    import datetime
    import json

    moment = datetime.datetime.fromtimestamp(change.time).astimezone()
    document = {**socket_json(change.socket), "event": change.event,
                "time": moment.isoformat(timespec="milliseconds")}
    return json.dumps(document)


def _reader_gone() -> bool:
    """True when stdout is a pipe or socket whose reader has gone."""
    import select

    try:
        poller = select.poll()
        poller.register(sys.stdout.fileno(), 0)  # errors and hang-ups are reported anyway
        return any(events & (select.POLLERR | select.POLLHUP) for _, events in poller.poll(0))
    except (AttributeError, ValueError, OSError):
        return False


def run_completion(args: Arguments) -> int:
    if args.listening_ports == (args.choice is not None):
        say("velmor: error: give a SHELL or --listening-ports, one of them (see 'velmor completion --help')")
        return EXIT_USAGE
    if args.choice is None:
        for line in _completion.listening_ports():
            _write_answer(line)
    else:
        _write_answer(_completion.script(args.choice, commands()).rstrip("\n"))
    return EXIT_OK


def run_watch(args: Arguments) -> int:
    ports = unique_ports(args.ports) if args.ports else None
    if not args.json:
        out(watch_line(_WATCH_HEADER).rstrip())
        flush_answer()

    def emit(changes: list[_watch.Change]) -> None:
        for change in changes:
            if args.json:
                _write_answer(watch_json(change))
            else:
                for cells in watch_rows(change):
                    out(watch_line(cells).rstrip())
        flush_answer()

    try:
        _watch.watch(ports, emit, udp=args.udp, timeout=args.timeout, reader_gone=_reader_gone)
    except KeyboardInterrupt:
        flush_answer()  # what was written before Ctrl-C, whole lines
        return EXIT_INTERRUPTED
    except BrokenPipeError as error:
        raise StdoutClosed(_why_not_written(error)) from None
    if _reader_gone():
        raise StdoutClosed("the reader of standard output has gone")
    return EXIT_OK


# --- entry point -------------------------------------------------------------------


def _run(argv: Sequence[str] | None) -> int:
    known = commands()
    try:
        args = parse(sys.argv[1:] if argv is None else list(argv), known, tool_help(known), velmor.__version__)
    except UsageError as error:
        help_command = f"velmor {error.command} --help" if error.command else "velmor --help"
        say(f"velmor: error: {error} (see '{help_command}')")
        return EXIT_USAGE
    except Shown as shown:
        # Written as answers are, so that a closed or full stdout is told
        # the same way.
        _write_answer(shown.text)
        flush_answer()
        return EXIT_OK
    handlers = {"ls": run_ls, "who": run_who, "check": run_check, "free": run_free, "wait": run_wait, "kill": run_kill,
                "watch": run_watch, "completion": run_completion}
    code = handlers[args.command](args)
    flush_answer()
    return code


_NO_ANSWER = (errno.EMFILE, errno.ENFILE, errno.EOPNOTSUPP)


# Set once main() runs: the installed command's Ctrl-C handler ends the
# process at once before that, and raises KeyboardInterrupt after it.
running = False


def main(argv: Sequence[str] | None = None) -> int:
    """Run the tool on `argv` (default: sys.argv[1:]); return the exit code."""
    global running
    try:
        running = True
        return _run(argv)
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except StdoutClosed as why:
        say(f"velmor: cannot write the answer: {why}")
        _drop_stdout()
        return EXIT_FAIL
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly.
        _drop_stdout()
        return EXIT_FAIL
    except OSError as error:
        # Out of descriptors, or pids that name other processes: no answer
        # can be given, and that is said in one line.
        if error.errno not in _NO_ANSWER or len(error.args) < 2:
            raise
        say(f"velmor: {error.args[1]}")
        return EXIT_FAIL


def _drop_stdout() -> None:
    """Points stdout at /dev/null, so that what it still buffers does not
    fail a second time when Python flushes it at exit."""
    try:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except (OSError, AttributeError, ValueError):
        pass
