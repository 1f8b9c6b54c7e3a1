"""Shell completion for the command: the scripts `velmor completion SHELL`
prints, made from the commands' own table (so a new option completes
without a change here), and the ports they offer after a command that acts
on a listener: the TCP ports that listen now, each with its process names."""

from __future__ import annotations

from velmor import _ports
from velmor._text import printable

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence

    from velmor._arguments import Command

SHELLS = ("bash", "zsh", "fish")
# Commands whose ports are offered from the listeners; `wait` only with --listening.
_ON_LISTENERS = ("kill", "who", "ls")


def listening_ports() -> list[str]:
    """One line per TCP port that listens now: the port, a tab, the names of
    the processes that hold it (or "not visible"), in the listeners' port
    order."""
    names: dict[int, dict[str, None]] = {}
    for socket in _ports.listeners():
        held = names.setdefault(socket.port, {})
        for process in socket.processes:
            held[printable(process.name) or "?"] = None
    return [f"{port}\t{', '.join(held) or 'not visible'}" for port, held in names.items()]


def script(shell: str, commands: Sequence[Command]) -> str:
    return {"bash": _bash, "zsh": _zsh, "fish": _fish}[shell](commands)


def _long_options(command: Command) -> list[str]:
    return ["--help", *(name for option in command.options for name in option.names if name.startswith("--"))]


def _value_options(commands: Sequence[Command]) -> list[str]:
    return sorted({name for command in commands for option in command.options if option.convert
                   for name in option.names})


def _single_quoted(text: str) -> str:
    """`text` in single quotes for bash and zsh."""
    return "'" + text.replace("'", "'\\''") + "'"


def _bash(commands: Sequence[Command]) -> str:
    options = "\n".join(f"            {command.name}) words=\"{' '.join(_long_options(command))}\" ;;"
                        for command in commands)
    choices = "\n".join(f"        {command.name}) COMPREPLY=($(compgen -W \"{' '.join(command.choice[1])}\" -- \"$cur\")) ;;"
                        for command in commands if command.choice)
    return f"""\
# bash completion for velmor. Load it with: eval "$(velmor completion bash)"
_velmor_ports() {{
    COMPREPLY=($(compgen -W "$("$1" completion --listening-ports 2>/dev/null | cut -f1)" -- "$2"))
}}

_velmor() {{
    local cur=${{COMP_WORDS[COMP_CWORD]}} prev=${{COMP_WORDS[COMP_CWORD-1]}}
    local velmor=${{COMP_WORDS[0]/#\\~/$HOME}} words
    COMPREPLY=()
    if (( COMP_CWORD == 1 )); then
        COMPREPLY=($(compgen -W "{' '.join(command.name for command in commands)} --help --version" -- "$cur"))
        return
    fi
    case $prev in
        {'|'.join(_value_options(commands))}) return ;;
    esac
    if [[ $cur == -* ]]; then
        case ${{COMP_WORDS[1]}} in
{options}
        esac
        COMPREPLY=($(compgen -W "$words" -- "$cur"))
        return
    fi
    case ${{COMP_WORDS[1]}} in
        {'|'.join(_ON_LISTENERS)}) _velmor_ports "$velmor" "$cur" ;;
        wait) [[ " ${{COMP_WORDS[*]}} " == *" --listening "* ]] && _velmor_ports "$velmor" "$cur" ;;
{choices}
    esac
}}
complete -F _velmor velmor
"""


def _zsh(commands: Sequence[Command]) -> str:
    described = "\n".join(f"        {_single_quoted(command.name + ':' + command.summary)}" for command in commands)
    options = "\n".join(f"            ({command.name}) compadd -- {' '.join(_long_options(command))} ;;"
                        for command in commands)
    choices = "\n".join(f"        ({command.name}) compadd -- {' '.join(command.choice[1])} ;;"
                        for command in commands if command.choice)
    return f"""\
#compdef velmor
# zsh completion for velmor. Load it with: source <(velmor completion zsh)
# (or save it as _velmor in a folder of $fpath).
_velmor_ports() {{
    local -a ports
    local port names
    while IFS=$'\\t' read -r port names; do
        ports+=("$port:$names")
    done < <(${{~words[1]}} completion --listening-ports 2>/dev/null)
    _describe -t ports 'listening port' ports
}}

_velmor() {{
    local -a commands
    commands=(
{described}
    )
    if (( CURRENT == 2 )); then
        _describe -t commands 'velmor command' commands
        return
    fi
    case ${{words[CURRENT-1]}} in
        ({'|'.join(_value_options(commands))}) return ;;
    esac
    if [[ ${{words[CURRENT]}} == -* ]]; then
        case ${{words[2]}} in
{options}
        esac
        return
    fi
    case ${{words[2]}} in
        ({'|'.join(_ON_LISTENERS)}) _velmor_ports ;;
        (wait) (( ${{words[(I)--listening]}} )) && _velmor_ports ;;
{choices}
    esac
}}

if [[ $zsh_eval_context[-1] == loadautofunc ]]; then
    _velmor "$@"
else
    compdef _velmor velmor
fi
"""


def _fish_quoted(text: str) -> str:
    return "'" + text.replace("\\", "\\\\").replace("'", "\\'") + "'"


def _fish(commands: Sequence[Command]) -> str:
    lines = [
        "# fish completion for velmor. Load it with: velmor completion fish | source",
        "function __velmor_ports",
        "    set -l velmor (commandline -opc)[1]",
        "    command $velmor completion --listening-ports 2>/dev/null",
        "end",
        "complete -c velmor -f",
        "complete -c velmor -n __fish_use_subcommand -l help -d 'show the help and exit'",
        "complete -c velmor -n __fish_use_subcommand -l version -d 'show the version and exit'",
    ]
    for command in commands:
        seen = f"'__fish_seen_subcommand_from {command.name}'"
        lines.append(f"complete -c velmor -n __fish_use_subcommand -a {command.name} -d {_fish_quoted(command.summary)}")
        for option in command.options:
            for name in option.names:
                flag = f"-l {name[2:]}" if name.startswith("--") else f"-s {name[1:]}"
                value = " -r" if option.convert else ""
                lines.append(f"complete -c velmor -n {seen} {flag}{value} -d {_fish_quoted(option.help)}")
        if command.choice:
            lines.append(f"complete -c velmor -n {seen} -a {_fish_quoted(' '.join(command.choice[1]))}")
    listeners = " ".join(_ON_LISTENERS)
    lines += [
        f"complete -c velmor -n '__fish_seen_subcommand_from {listeners}' -a '(__velmor_ports)'",
        "complete -c velmor -n '__fish_seen_subcommand_from wait; and __fish_contains_opt listening'"
        " -a '(__velmor_ports)'",
    ]
    return "\n".join(lines) + "\n"
