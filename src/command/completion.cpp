// velmor completion: the completion scripts for bash, zsh and fish, made
// from the commands' own table (a new option completes without a change
// here), and the ports they offer after a command that acts on a listener:
// the TCP ports that listen now, each with its process names.

#include <algorithm>
#include <map>
#include <set>

#include "command/rendering.hpp"
#include "command/subcommands.hpp"
#include "core/system/printable.hpp"

namespace velmor::command {
namespace {

// Commands whose ports are offered from the listeners; `wait` only with --listening.
constexpr std::string_view on_listeners[] = {"kill", "who", "ls"};

std::string words_joined(const std::vector<std::string_view>& words, std::string_view between) {
    std::string text;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i != 0) text += between;
        text += words[i];
    }
    return text;
}

std::vector<std::string_view> long_options(const Command& command) {
    std::vector<std::string_view> names{"--help"};
    for (const Option& option : command.options) {
        for (std::string_view name : option.names) {
            if (name.starts_with("--")) names.push_back(name);
        }
    }
    return names;
}

// Every name of an option that takes a value, sorted.
std::vector<std::string_view> value_options() {
    std::set<std::string_view> names;
    for (const Command& command : commands()) {
        for (const Option& option : command.options) {
            if (option.value != Value::none) names.insert(option.names.begin(), option.names.end());
        }
    }
    return {names.begin(), names.end()};
}

std::vector<std::string_view> listener_commands() { return {std::begin(on_listeners), std::end(on_listeners)}; }

std::string single_quoted(std::string_view text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string fish_quoted(std::string_view text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\\' || c == '\'') out += '\\';
        out += c;
    }
    return out + "'";
}

std::string bash_script() {
    std::string options;
    std::string choices;
    std::vector<std::string_view> names;
    for (const Command& command : commands()) {
        names.push_back(command.name);
        options += (options.empty() ? "" : "\n") + std::string("            ") + std::string(command.name) + ") words=\"" +
                   words_joined(long_options(command), " ") + "\" ;;";
        if (command.choices.empty()) continue;
        choices += (choices.empty() ? "" : "\n") + std::string("        ") + std::string(command.name) +
                   ") COMPREPLY=($(compgen -W \"" + words_joined(command.choices, " ") + "\" -- \"$cur\")) ;;";
    }
    return "# bash completion for velmor. Load it with: eval \"$(velmor completion bash)\"\n"
           "_velmor_ports() {\n"
           "    COMPREPLY=($(compgen -W \"$(\"$1\" completion --listening-ports 2>/dev/null | cut -f1)\" -- \"$2\"))\n"
           "}\n"
           "\n"
           "_velmor() {\n"
           "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
           "    local velmor=${COMP_WORDS[0]/#\\~/$HOME} words\n"
           "    COMPREPLY=()\n"
           "    if (( COMP_CWORD == 1 )); then\n"
           "        COMPREPLY=($(compgen -W \"" + words_joined(names, " ") + " --help --version\" -- \"$cur\"))\n"
           "        return\n"
           "    fi\n"
           "    case $prev in\n"
           "        " + words_joined(value_options(), "|") + ") return ;;\n"
           "    esac\n"
           "    if [[ $cur == -* ]]; then\n"
           "        case ${COMP_WORDS[1]} in\n" +
           options + "\n"
           "        esac\n"
           "        COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
           "        return\n"
           "    fi\n"
           "    case ${COMP_WORDS[1]} in\n"
           "        " + words_joined(listener_commands(), "|") + ") _velmor_ports \"$velmor\" \"$cur\" ;;\n"
           "        wait) [[ \" ${COMP_WORDS[*]} \" == *\" --listening \"* ]] && _velmor_ports \"$velmor\" \"$cur\" ;;\n" +
           choices + "\n"
           "    esac\n"
           "}\n"
           "complete -F _velmor velmor\n";
}

std::string zsh_script() {
    std::string described;
    std::string options;
    std::string choices;
    for (const Command& command : commands()) {
        described += (described.empty() ? "" : "\n") + std::string("        ") +
                     single_quoted(std::string(command.name) + ":" + std::string(command.summary));
        options += (options.empty() ? "" : "\n") + std::string("            (") + std::string(command.name) +
                   ") compadd -- " + words_joined(long_options(command), " ") + " ;;";
        if (command.choices.empty()) continue;
        choices += (choices.empty() ? "" : "\n") + std::string("        (") + std::string(command.name) +
                   ") compadd -- " + words_joined(command.choices, " ") + " ;;";
    }
    return "#compdef velmor\n"
           "# zsh completion for velmor. Load it with: source <(velmor completion zsh)\n"
           "# (or save it as _velmor in a folder of $fpath).\n"
           "_velmor_ports() {\n"
           "    local -a ports\n"
           "    local port names\n"
           "    while IFS=$'\\t' read -r port names; do\n"
           "        ports+=(\"$port:$names\")\n"
           "    done < <(${~words[1]} completion --listening-ports 2>/dev/null)\n"
           "    _describe -t ports 'listening port' ports\n"
           "}\n"
           "\n"
           "_velmor() {\n"
           "    local -a commands\n"
           "    commands=(\n" +
           described + "\n"
           "    )\n"
           "    if (( CURRENT == 2 )); then\n"
           "        _describe -t commands 'velmor command' commands\n"
           "        return\n"
           "    fi\n"
           "    case ${words[CURRENT-1]} in\n"
           "        (" + words_joined(value_options(), "|") + ") return ;;\n"
           "    esac\n"
           "    if [[ ${words[CURRENT]} == -* ]]; then\n"
           "        case ${words[2]} in\n" +
           options + "\n"
           "        esac\n"
           "        return\n"
           "    fi\n"
           "    case ${words[2]} in\n"
           "        (" + words_joined(listener_commands(), "|") + ") _velmor_ports ;;\n"
           "        (wait) (( ${words[(I)--listening]} )) && _velmor_ports ;;\n" +
           choices + "\n"
           "    esac\n"
           "}\n"
           "\n"
           "if [[ $zsh_eval_context[-1] == loadautofunc ]]; then\n"
           "    _velmor \"$@\"\n"
           "else\n"
           "    compdef _velmor velmor\n"
           "fi\n";
}

std::string fish_script() {
    std::vector<std::string> lines{
        "# fish completion for velmor. Load it with: velmor completion fish | source",
        "function __velmor_ports",
        "    set -l velmor (commandline -opc)[1]",
        "    command $velmor completion --listening-ports 2>/dev/null",
        "end",
        "complete -c velmor -f",
        "complete -c velmor -n __fish_use_subcommand -l help -d 'show the help and exit'",
        "complete -c velmor -n __fish_use_subcommand -l version -d 'show the version and exit'",
    };
    for (const Command& command : commands()) {
        const std::string seen = "'__fish_seen_subcommand_from " + std::string(command.name) + "'";
        lines.push_back("complete -c velmor -n __fish_use_subcommand -a " + std::string(command.name) + " -d " +
                        fish_quoted(command.summary));
        for (const Option& option : command.options) {
            for (std::string_view name : option.names) {
                const std::string flag = name.starts_with("--") ? "-l " + std::string(name.substr(2))
                                                                : "-s " + std::string(name.substr(1));
                const std::string value = option.value != Value::none ? " -r" : "";
                lines.push_back("complete -c velmor -n " + seen + " " + flag + value + " -d " + fish_quoted(option.help));
            }
        }
        if (!command.choices.empty()) {
            lines.push_back("complete -c velmor -n " + seen + " -a " + fish_quoted(words_joined(command.choices, " ")));
        }
    }
    lines.push_back("complete -c velmor -n '__fish_seen_subcommand_from " + words_joined(listener_commands(), " ") +
                    "' -a '(__velmor_ports)'");
    lines.push_back(
        "complete -c velmor -n '__fish_seen_subcommand_from wait; and __fish_contains_opt listening' -a '(__velmor_ports)'");
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

// One line per TCP port that listens now: the port, a tab, the names of the
// processes that hold it (or "not visible"), in the listeners' port order.
std::vector<std::string> listening_ports() {
    TableRequest request;
    request.filter.add_every_port();
    request.filter.tcp_states = listening_states;
    const SocketTable table = read_socket_table(request);
    require_descriptors(table.shortage, "to read the socket tables and the processes");
    std::vector<std::uint16_t> order;
    std::map<std::uint16_t, std::vector<std::string>> names;
    for (const TableSocket& entry : table.sockets) {
        const std::uint16_t port = entry.socket.local.port;
        if (names.find(port) == names.end()) order.push_back(port);
        std::vector<std::string>& held = names[port];
        for (const TableHolder& holder : entry.holders) {
            std::string name = escaped(table.processes[holder.process].name);
            if (name.empty()) name = "?";
            if (std::find(held.begin(), held.end(), name) == held.end()) held.push_back(std::move(name));
        }
    }
    std::vector<std::string> lines;
    for (std::uint16_t port : order) {
        std::string listed;
        for (const std::string& name : names[port]) listed += (listed.empty() ? "" : ", ") + name;
        lines.push_back(std::to_string(port) + "\t" + (listed.empty() ? "not visible" : listed));
    }
    return lines;
}

}  // namespace

int run_completion(const Arguments& arguments, Answer& answer) {
    if (arguments.flag("listening-ports") == arguments.choice.has_value()) {
        say("velmor: error: give a SHELL or --listening-ports, one of them (see 'velmor completion --help')");
        return exit_usage;
    }
    if (!arguments.choice) {
        for (const std::string& line : listening_ports()) answer.line(line);
        return exit_ok;
    }
    const std::string& shell = *arguments.choice;
    std::string script = shell == "bash" ? bash_script() : shell == "zsh" ? zsh_script() : fish_script();
    while (!script.empty() && script.back() == '\n') script.pop_back();
    answer.line(script);
    return exit_ok;
}

}  // namespace velmor::command
