"""velmor: see, check, pick, wait for and free local TCP ports.

Usage:
    velmor who PORTS... [--json]              who holds each port
    velmor check PORTS... [-q | --json]       exit 0 when every port is free
    velmor free [--prefer PORT]               print one free port
    velmor wait PORTS... [--timeout SECONDS]  wait until every port is free
    velmor kill PORTS... [--force] [--json]   stop the processes holding ports

PORTS are port numbers (1-65535) and inclusive ranges such as 3000-3010,
in any mix. A port is free when a TCP listener can bind 127.0.0.1 on it.

Exit codes:
    0    success: every port free (check, wait, kill), a port printed (free)
    1    check: a port is taken; wait: timed out; kill: a port was not freed;
         free: no free port found
    2    bad arguments
    130  interrupted (Ctrl-C)
"""

import argparse
import json
import os
import re
import shutil
import sys
import time
from collections.abc import Callable, Iterable, Sequence
from typing import Literal, NoReturn, TypedDict

import velmor
from velmor import PortInfo

EXIT_OK = 0
EXIT_FAIL = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

TOOL_EPILOG = """\
exit codes:
  0    success: every port free (check, wait, kill), a port printed (free)
  1    check: a port is taken; wait: timed out; kill: a port was not freed;
       free: no free port found
  2    bad arguments
  130  interrupted (Ctrl-C)

example:
  velmor who 3000-3010 8080"""

POLL_SECONDS = 0.1
"""Pause between probes in `wait`: short, so Ctrl-C is acted on at once."""

State = Literal["free", "listening", "busy"]
KillResult = Literal["already_free", "freed", "failed"]


class PortState(TypedDict):
    """One port as `who` and `check` report it (also their JSON entries)."""

    port: int
    state: State
    owner: PortInfo | None


class KillOutcome(TypedDict):
    """One port as `kill` reports it (also its JSON entries)."""

    port: int
    owner: PortInfo | None
    result: KillResult
    error: str | None


# --- argument parsing -------------------------------------------------------

_PORT_OR_RANGE = re.compile(r"([0-9]+)(?:-([0-9]+))?", re.ASCII)


def parse_port(text: str) -> int:
    """One port number, 1-65535 (0 is not a real port: bind picks one)."""
    if not re.fullmatch(r"[0-9]+", text, re.ASCII):
        raise argparse.ArgumentTypeError(f"invalid port '{text}': expected a number")
    port = int(text)
    if not 1 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"invalid port '{text}': must be 1-65535")
    return port


def parse_port_or_range(text: str) -> list[int]:
    """A port number or an inclusive range START-END, as a list of ports."""
    match = _PORT_OR_RANGE.fullmatch(text)
    if match is None:
        raise argparse.ArgumentTypeError(
            f"invalid port or range '{text}': expected PORT or START-END"
        )
    start = parse_port(match[1])
    end = start if match[2] is None else parse_port(match[2])
    if end < start:
        raise argparse.ArgumentTypeError(f"empty range '{text}': {start} is after {end}")
    return list(range(start, end + 1))


def parse_seconds(text: str) -> float:
    """A non-negative, finite number of seconds; fractions allowed."""
    try:
        seconds = float(text)
    except ValueError:
        seconds = -1.0
    if not 0 <= seconds < float("inf"):
        raise argparse.ArgumentTypeError(
            f"invalid timeout '{text}': expected seconds, 0 or more"
        )
    return seconds


def unique_ports(groups: Iterable[list[int]]) -> list[int]:
    """Flatten port lists, keeping the first occurrence of each port."""
    return list(dict.fromkeys(port for group in groups for port in group))


class Parser(argparse.ArgumentParser):
    """An ArgumentParser whose errors are one line on stderr, exit 2."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def build_parser() -> Parser:
    """The parser for the tool and its five commands."""
    parser = Parser(
        prog="velmor",
        description="See, check, pick, wait for and free local TCP ports.\n\n"
        "PORTS are port numbers (1-65535) and inclusive ranges like 3000-3010.",
        epilog=TOOL_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"velmor {velmor.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, help: str, example: str, exits: str) -> Parser:
        sub: Parser = commands.add_parser(
            name,
            help=help,
            description=help[0].upper() + help[1:] + ".",
            epilog=f"exit codes:\n  {exits}\n  2 bad arguments, 130 interrupted\n\n"
            f"example:\n  {example}",
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )
        return sub

    def ports_argument(sub: Parser) -> None:
        sub.add_argument(
            "ports",
            metavar="PORTS",
            nargs="+",
            type=parse_port_or_range,
            help="port numbers and ranges like 3000-3010",
        )

    json_help = "print one JSON document on stdout (schema in docs/cli.md)"

    who = command(
        "who",
        "show who holds each port: free, listening (with its owner) or busy",
        "velmor who 3000-3002 8080",
        "0 always (the answer is in the output)",
    )
    ports_argument(who)
    who.add_argument("--json", action="store_true", help=json_help)
    who.set_defaults(handler=run_who)

    check = command(
        "check",
        "exit 0 when every port is free, 1 when any is taken",
        "velmor check 5432 6379 || echo 'something is in the way'",
        "0 every port free, 1 a port is taken",
    )
    ports_argument(check)
    output = check.add_mutually_exclusive_group()
    output.add_argument("-q", "--quiet", action="store_true", help="print nothing")
    output.add_argument("--json", action="store_true", help=json_help)
    check.set_defaults(handler=run_check)

    free = command(
        "free",
        "print a free port (the preferred one when it is free)",
        "PORT=$(velmor free --prefer 8000)",
        "0 a port was printed, 1 none found",
    )
    free.add_argument("--prefer", metavar="PORT", type=parse_port, help="port to try first")
    free.set_defaults(handler=run_free)

    wait = command(
        "wait",
        "wait until every port is free",
        "velmor wait 8000 --timeout 2.5 && ./start-server",
        "0 every port free, 1 timed out",
    )
    ports_argument(wait)
    wait.add_argument(
        "--timeout",
        metavar="SECONDS",
        type=parse_seconds,
        default=30.0,
        help="give up after this long (default: 30; fractions allowed)",
    )
    wait.set_defaults(handler=run_wait)

    kill = command(
        "kill",
        "stop the processes holding each port (SIGTERM) and wait until it is free",
        "velmor kill 8000 --force",
        "0 every port free at the end, 1 a port was not freed",
    )
    ports_argument(kill)
    kill.add_argument("--force", action="store_true", help="send SIGKILL instead of SIGTERM")
    kill.add_argument("--json", action="store_true", help=json_help)
    kill.set_defaults(handler=run_kill)
    return parser


# --- output helpers ---------------------------------------------------------


def printable(text: str) -> str:
    """Text with control characters escaped, so one value stays on one line."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def hidden_owner_hint() -> str:
    """Why a taken port can have no visible owner, for the current user."""
    if hasattr(os, "geteuid") and os.geteuid() == 0:
        return "no visible listener: held from another container or network namespace"
    return "no visible listener: another user's process (try sudo) or another container"


def describe_owner(owner: PortInfo) -> str:
    """'name (pid N)'."""
    return f"{printable(owner['name'])} (pid {owner['pid']})"


def format_table(rows: Sequence[Sequence[str]], width: int | None) -> str:
    """Rows as left-aligned columns; the last column is cut to fit `width`."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]) - 1)]
    lines = []
    for row in rows:
        line = "  ".join(cell.ljust(w) for cell, w in zip(row, widths)) + "  " + row[-1]
        if width is not None and len(line) > width:
            line = line[: max(width - 3, 0)] + "..."
        lines.append(line.rstrip())
    return "\n".join(lines)


def terminal_width() -> int | None:
    """Columns of the terminal on stdout, or None when stdout is not one."""
    return shutil.get_terminal_size().columns if sys.stdout.isatty() else None


def print_json(document: object) -> None:
    print(json.dumps(document, indent=2))


# --- commands ---------------------------------------------------------------


def port_states(ports: Sequence[int]) -> list[PortState]:
    """Each port's state, from one scan plus a probe where no owner shows."""
    owners = velmor.scan(ports)
    states: list[PortState] = []
    for port in ports:
        owner = owners[port]
        if owner is not None:
            state: State = "listening"
        else:
            state = "free" if velmor.is_available(port) else "busy"
        states.append({"port": port, "state": state, "owner": owner})
    return states


def run_who(args: argparse.Namespace) -> int:
    states = port_states(unique_ports(args.ports))
    if args.json:
        print_json({"ports": states})
        return EXIT_OK
    hint = hidden_owner_hint()
    rows = [["PORT", "STATE", "PID", "NAME", "COMMAND"]]
    for entry in states:
        owner = entry["owner"]
        if owner is None:
            detail = hint if entry["state"] == "busy" else "-"
            rows.append([str(entry["port"]), entry["state"], "-", "-", detail])
        else:
            cmd = printable(owner["cmd"]) or "-"
            rows.append(
                [str(entry["port"]), entry["state"], str(owner["pid"]), printable(owner["name"]), cmd]
            )
    print(format_table(rows, terminal_width()))
    return EXIT_OK


def run_check(args: argparse.Namespace) -> int:
    states = port_states(unique_ports(args.ports))
    all_free = all(entry["state"] == "free" for entry in states)
    if args.json:
        print_json({"all_free": all_free, "ports": states})
    elif not args.quiet:
        hint = hidden_owner_hint()
        for entry in states:
            owner = entry["owner"]
            if owner is not None:
                print(f"port {entry['port']} is taken by {describe_owner(owner)}")
            elif entry["state"] == "busy":
                print(f"port {entry['port']} is taken ({hint})")
    return EXIT_OK if all_free else EXIT_FAIL


def run_free(args: argparse.Namespace) -> int:
    try:
        port = velmor.find_free(args.prefer)
    except OSError as exc:
        raise SystemExit(f"velmor free: {exc}") from None
    print(port)
    return EXIT_OK


def waiting_line(pending: Sequence[int], elapsed: float) -> str:
    """'waiting for ports 3000, 3001 to be free... 4s', the list kept short."""
    shown = ", ".join(map(str, pending[:5]))
    if len(pending) > 5:
        shown += f" and {len(pending) - 5} more"
    noun = "port" if len(pending) == 1 else "ports"
    return f"waiting for {noun} {shown} to be free... {int(elapsed)}s"


def run_wait(args: argparse.Namespace) -> int:
    pending = unique_ports(args.ports)
    timeout: float = args.timeout
    show: Callable[[str], None] = status_writer() if sys.stderr.isatty() else lambda _: None
    start = time.monotonic()
    try:
        while True:
            pending = [port for port in pending if not velmor.is_available(port)]
            elapsed = time.monotonic() - start
            if not pending:
                return EXIT_OK
            if elapsed >= timeout:
                break
            show(waiting_line(pending, elapsed))
            time.sleep(min(POLL_SECONDS, timeout - elapsed))
    finally:
        show("")
    still = ", ".join(map(str, pending))
    print(f"velmor wait: timed out after {timeout:g}s; still taken: {still}", file=sys.stderr)
    return EXIT_FAIL


def status_writer() -> Callable[[str], None]:
    """A writer that keeps one updating line on stderr (a terminal)."""
    last = [""]

    def show(text: str) -> None:
        if text != last[0]:
            sys.stderr.write("\r\x1b[K" + text)
            sys.stderr.flush()
            last[0] = text

    return show


def kill_port(port: int, force: bool) -> tuple[KillOutcome, str | None]:
    """Free one port: who held it, what `velmor.kill` made of it, a hint."""
    if velmor.is_available(port):
        return {"port": port, "owner": None, "result": "already_free", "error": None}, None
    owner = velmor.get_info(port)
    try:
        velmor.kill(port, force=force)
    except PermissionError as exc:
        hint = f"run it with elevated privileges, e.g. sudo velmor kill {port}"
        return {"port": port, "owner": owner, "result": "failed", "error": str(exc)}, hint
    except OSError as exc:
        if owner is None:
            reason: str | None = hidden_owner_hint()
        else:
            reason = None if force else f"--force sends SIGKILL: velmor kill --force {port}"
        return {"port": port, "owner": owner, "result": "failed", "error": str(exc)}, reason
    return {"port": port, "owner": owner, "result": "freed", "error": None}, None


def report_kill(outcome: KillOutcome, hint: str | None) -> None:
    """One line on stdout per port; each failure and its hint on stderr."""
    port, owner = outcome["port"], outcome["owner"]
    held_by = f" (was held by {describe_owner(owner)})" if owner is not None else ""
    if outcome["result"] == "already_free":
        print(f"port {port}: already free")
    elif outcome["result"] == "freed":
        print(f"port {port}: freed{held_by}")
    else:
        print(f"port {port}: not freed{held_by}")
        report_failure(outcome, hint)


def report_failure(outcome: KillOutcome, hint: str | None) -> None:
    """The module's message for a port not freed, and what to try next."""
    print(f"velmor kill: {outcome['error']}", file=sys.stderr)
    if hint:
        print(f"velmor kill: hint: {hint}", file=sys.stderr)


def run_kill(args: argparse.Namespace) -> int:
    results = [kill_port(port, args.force) for port in unique_ports(args.ports)]
    outcomes = [outcome for outcome, _ in results]
    all_free = all(outcome["result"] != "failed" for outcome in outcomes)
    if args.json:
        print_json({"all_free": all_free, "ports": outcomes})
        for outcome, hint in results:
            if outcome["result"] == "failed":
                report_failure(outcome, hint)
    else:
        for outcome, hint in results:
            report_kill(outcome, hint)
    return EXIT_OK if all_free else EXIT_FAIL


# --- entry point ------------------------------------------------------------


def main(argv: Sequence[str] | None = None) -> int:
    """Run the tool on `argv` (default: sys.argv[1:]); return the exit code."""
    args = build_parser().parse_args(argv)
    handler: Callable[[argparse.Namespace], int] = args.handler
    try:
        return handler(args)
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly, without a
        # second error when Python flushes stdout at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAIL
