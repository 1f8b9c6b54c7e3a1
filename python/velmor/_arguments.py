"""The command line's arguments: a small parser for velmor's six commands.

Not argparse, whose import (with re, enum, shutil and gettext) took longer
than everything else `velmor ls` does on an idle machine. It keeps the
conventions users know: options before, between or after the ports,
`--option VALUE` and `--option=VALUE`, `--` to end the options, `--help`
on the tool and on each command, and every error one line on stderr with
exit code 2.
"""

from __future__ import annotations

import os
import sys

from velmor import _table

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Sequence
    from typing import Any

EXIT_USAGE = 2


class UsageError(Exception):
    """A call that does not fit the command line: one line, exit code 2.
    `command` is the command it was given to, once that is known, so that
    the message can point at that command's help."""

    command: str | None = None


class PortOutOfRange(UsageError):
    """A number that is written right but is no port."""


def parse_port(text: str) -> int:
    """One port number, as the engine takes a port (_table.checked names the range)."""
    if not (text.isascii() and text.isdigit()):
        raise UsageError(f"invalid port '{text}': expected a number")
    try:
        (port,) = _table.checked(port=int(text))
    except ValueError as error:
        raise PortOutOfRange(str(error)) from None
    return int(port)


def parse_port_or_range(text: str) -> list[int]:
    """A port number or an inclusive range START-END, as a list of ports."""
    start_text, dash, end_text = text.partition("-")
    try:
        if not start_text or (dash and not end_text):
            raise UsageError(text)
        start = parse_port(start_text)
        end = parse_port(end_text) if dash else start
    except PortOutOfRange as error:
        # The form is right, the number is not: say which number.
        raise PortOutOfRange(f"invalid range '{text}': {error}" if dash else str(error)) from None
    except UsageError:
        raise UsageError(f"invalid port or range '{text}': expected PORT or START-END") from None
    if end < start:
        raise UsageError(f"empty range '{text}': {start} is after {end}")
    return list(range(start, end + 1))


def parse_seconds(text: str) -> float:
    """A non-negative, finite number of seconds; fractions allowed."""
    try:
        (seconds,) = _table.checked(duration=float(text))
    except ValueError:
        raise UsageError(f"invalid duration '{text}': expected seconds, 0 or more") from None
    return float(seconds)


class Option:
    """A flag (no value), or an option whose value `convert` reads."""

    def __init__(self, names: str, help: str, convert: Callable[[str], object] | None = None,
                 metavar: str = "", default: object = None) -> None:
        self.names = names.split()
        self.dest = self.names[-1].lstrip("-").replace("-", "_")
        self.help = help
        self.convert = convert
        self.metavar = metavar
        self.default = default if convert is not None else False


class Command:
    def __init__(self, name: str, summary: str, example: str, exits: str, options: Sequence[Option],
                 ports: str, exclusive: Sequence[tuple[str, str]] = (), notes: str = "",
                 choice: tuple[str, Sequence[str]] | None = None) -> None:
        self.name = name
        self.summary = summary
        self.example = example
        self.exits = exits
        self.options = list(options)
        self.ports = ports  # "required", "optional" or "none"
        self.exclusive = list(exclusive)
        self.notes = notes  # a paragraph after the summary in the help
        # A word the command takes instead of ports (its name in the help,
        # and the words allowed), or None.
        self.choice = (choice[0], tuple(choice[1])) if choice else None

    def usage(self) -> str:
        parts = [f"velmor {self.name}"]
        if self.ports == "required":
            parts.append("PORTS...")
        elif self.ports == "optional":
            parts.append("[PORTS...]")
        if self.choice:
            parts.append(f"[{self.choice[0]}]")
        for option in self.options:
            value = f" {option.metavar}" if option.convert else ""
            parts.append(f"[{' | '.join(option.names)}{value}]")
        return " ".join(parts)

    def help_text(self) -> str:
        width = help_width()
        lines = [*wrap_usage(self.usage(), width), "", *wrap_text(self.summary[0].upper() + self.summary[1:] + ".", width),
                 ""]
        if self.notes:
            lines += [*wrap_text(self.notes, width), ""]
        if self.ports != "none":
            lines += ["arguments:", *wrap_item("PORTS", "port numbers and ranges like 3000-3010", width), ""]
        if self.choice:
            lines += ["arguments:", *wrap_item(self.choice[0], "one of " + ", ".join(self.choice[1]), width), ""]
        lines.append("options:")
        lines += wrap_item("-h, --help", "show this help and exit", width)
        for option in self.options:
            label = ", ".join(option.names) + (f" {option.metavar}" if option.convert else "")
            lines += wrap_item(label, option.help, width)
        lines += ["", "exit codes:", *wrap_text(self.exits, width, "  "),
                  *wrap_text("2 bad arguments, 130 interrupted", width, "  "), "", "example:", f"  {self.example}"]
        return "\n".join(lines)


# --- help text, wrapped to the terminal ---------------------------------------

_HELP_COLUMN = 26  # where the description of an option starts


def help_width() -> int:
    """The width the help is wrapped to: that of the terminal on stdout
    (COLUMNS when set), 80 columns when stdout is no terminal; two columns
    are kept free, as argparse kept them."""
    columns = os.environ.get("COLUMNS", "")
    if columns.isdigit() and int(columns) > 0:
        width = int(columns)
    else:
        try:
            width = os.get_terminal_size(sys.stdout.fileno()).columns if sys.stdout.isatty() else 80
        except (AttributeError, OSError, ValueError):
            width = 80
    return max(width - 2, 30)


def wrap_text(text: str, width: int, indent: str = "") -> list[str]:
    import textwrap

    return textwrap.wrap(text, width, initial_indent=indent, subsequent_indent=indent, break_on_hyphens=False) or [""]


def wrap_item(label: str, text: str, width: int, column: int = _HELP_COLUMN) -> list[str]:
    """An option (or argument) and its description, the description in its
    column; on a line of its own below a label too long for that."""
    column = column if width >= column + 20 else 8
    head = f"  {label}"
    if len(head) > column - 2:
        return [head, *wrap_text(text, width, " " * column)]
    lines = wrap_text(text, width, " " * column)
    return [head.ljust(column) + lines[0][column:], *lines[1:]]


def wrap_usage(usage: str, width: int) -> list[str]:
    """The usage line, its options carried over under the first one."""
    words = usage.split(" [", 1)
    head = f"usage: {words[0]}"
    if len(words) == 1 or len(head) + 1 + len(words[1]) + 1 <= width:
        return [f"usage: {usage}"]
    indent = " " * min(len(head) + 1, width // 2)
    parts = ["[" + part for part in words[1].split(" [")]
    lines, line = [], head
    for part in parts:
        if len(line) + 1 + len(part) > width and line.strip():
            lines.append(line)
            line = indent + part
        else:
            line = f"{line} {part}"
    return [*lines, line]


class Arguments:
    """The parsed call: the command, its ports and its options as attributes."""

    def __init__(self, command: Command) -> None:
        self.command = command.name
        self.ports: list[list[int]] = []
        self.choice: str | None = None
        for option in command.options:
            setattr(self, option.dest, option.default)

    def __getattr__(self, name: str) -> Any:  # for the type checker: options are set in __init__
        raise AttributeError(name)


class Shown(Exception):
    """--help or --version: `text` is the whole answer, exit code 0."""

    def __init__(self, text: str) -> None:
        super().__init__(text)
        self.text = text


def long_option(word: str, names: Sequence[str]) -> str | None:
    """The long option among `names` that `word` names: the option itself,
    or a unique prefix of one (`--dry` for `--dry-run`); None when none
    matches; UsageError when the prefix fits more than one."""
    if word in names or not word.startswith("--") or len(word) < 3:
        return word if word in names else None
    candidates = [name for name in names if name.startswith("--") and name.startswith(word)]
    if len(candidates) > 1:
        raise UsageError(f"ambiguous option: {word} could match {', '.join(candidates)}")
    return candidates[0] if candidates else None


def parse(argv: Sequence[str], commands: Sequence[Command], tool_help: str, version: str) -> Arguments:
    """The call `argv` means; raises Shown for --help and --version, and
    UsageError for a call that does not fit (its `command` set once the
    command is known)."""
    if not argv:
        raise UsageError("the following arguments are required: COMMAND")
    first = argv[0]
    if first.startswith("--"):
        first = long_option(first, ("--help", "--version")) or first
    if first in ("-h", "--help"):
        raise Shown(tool_help)
    if first == "--version":
        raise Shown(f"velmor {version}")
    by_name = {command.name: command for command in commands}
    if first not in by_name:
        if first.startswith("-"):
            raise UsageError(f"unrecognized arguments: {first}")
        raise UsageError(f"invalid choice: '{first}' (choose from {', '.join(by_name)})")
    command = by_name[first]
    try:
        return _parse_command(command, argv[1:])
    except UsageError as error:
        error.command = command.name
        raise


def _parse_command(command: Command, argv: Sequence[str]) -> Arguments:
    options = {name: option for option in command.options for name in option.names}
    names = ["--help", *options]
    result = Arguments(command)
    given: set[str] = set()
    words = list(argv)
    only_ports = False
    while words:
        word = words.pop(0)
        if only_ports or not word.startswith("-") or word == "-":
            if command.choice and result.choice is None:
                if word not in command.choice[1]:
                    choices = ", ".join(f"'{choice}'" for choice in command.choice[1])
                    raise UsageError(f"argument {command.choice[0]}: invalid choice: '{word}' (choose from {choices})")
                result.choice = word
                continue
            if command.ports == "none":
                raise UsageError(f"unrecognized arguments: {word}")
            result.ports.append(parse_port_or_range(word))
            continue
        if word == "--":
            only_ports = True
            continue
        name, equals, value = word.partition("=")
        name = long_option(name, names) or name
        if word == "-h" or (name == "--help" and not equals):
            raise Shown(command.help_text())
        option = options.get(name)
        if option is None:
            raise UsageError(f"unrecognized arguments: {word}")
        if option.convert is None:
            if equals:
                raise UsageError(f"argument {name}: ignored explicit argument '{value}'")
            setattr(result, option.dest, True)
        else:
            if not equals:
                if not words:
                    raise UsageError(f"argument {name}: expected one argument")
                value = words.pop(0)
            try:
                setattr(result, option.dest, option.convert(value))
            except UsageError as error:
                raise UsageError(f"argument {name}: {error}") from None
        given.add(option.dest)
    for one, other in command.exclusive:
        if one in given and other in given:
            raise UsageError(f"argument --{other.replace('_', '-')}: not allowed with argument --{one.replace('_', '-')}")
    if command.ports == "required" and not result.ports:
        raise UsageError("the following arguments are required: PORTS")
    return result
