#include "command/arguments.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>

#include "command/wrapping.hpp"
#include "core/defaults.hpp"

namespace velmor::command {
namespace {

// A number written right that is no port.
class PortOutOfRange : public UsageError {
public:
    using UsageError::UsageError;
};

constexpr std::string_view tool_epilog =
    "exit codes:\n"
    "  0    success: who/ls answered; check, wait, kill: every port as asked;\n"
    "       free: a port was printed; watch: its --timeout ended it\n"
    "  1    check: a port is not free; wait: timed out; kill: a port was not freed;\n"
    "       free: no free port found; any: the answer could not be written\n"
    "  2    bad arguments\n"
    "  130  interrupted (Ctrl-C)\n"
    "\n"
    "example:\n"
    "  velmor who 3000-3010 8080";

// How often `watch` reads the listening table, in milliseconds.
constexpr int watch_interval_ms = 5;

double seconds_of(std::int64_t nanoseconds) { return static_cast<double>(nanoseconds) / 1e9; }

Option flag(std::vector<std::string_view> names, std::string help) {
    return Option{std::move(names), std::move(help), Value::none, {}, std::nullopt};
}

Option valued(std::string_view name, std::string help, Value value, std::string_view metavar,
              std::optional<double> default_value = std::nullopt) {
    return Option{{name}, std::move(help), value, metavar, default_value};
}

Command new_command(std::string_view name, std::string_view summary, std::string_view example, std::string_view exits,
                    Ports ports) {
    Command command;
    command.name = name;
    command.summary = summary;
    command.example = example;
    command.exits = exits;
    command.ports = ports;
    return command;
}

Option json_option() { return flag({"--json"}, "print one JSON document on stdout (schema in docs/cli.md)"); }

Command ls_command() {
    Command command = new_command("ls", "list what listens: every TCP listener on every local address, each with every process holding it",
                    "velmor ls 8000-8100 --udp", "0 always (the answer is in the output)", Ports::optional);
    command.options = {flag({"--udp"}, "list bound UDP sockets too"), json_option()};
    return command;
}

Command who_command() {
    Command command = new_command("who", "show what is on each port: free, listening (with every holder) or busy (and why)",
                    "velmor who 3000-3002 8080", "0 always (the answer is in the output)", Ports::required);
    command.options = {json_option()};
    return command;
}

Command check_command() {
    Command command = new_command("check", "exit 0 when every port is free, 1 when any is not",
                    "velmor check 5432 6379 || echo 'something is in the way'",
                    "0 every port free, 1 a port is listening or busy", Ports::required);
    command.options = {flag({"-q", "--quiet"}, "print nothing"), json_option()};
    command.exclusive = {{"quiet", "json"}};
    return command;
}

Command free_command() {
    Command command = new_command("free", "print a free port (the preferred one when it is free)", "PORT=$(velmor free --prefer 8000)",
                    "0 a port was printed, 1 none found", Ports::none);
    command.options = {
        valued("--prefer", "port to try first", Value::port, "PORT"),
        flag({"--reserve"}, "a port no other bind on port 0 gets for about a minute; bind it with SO_REUSEADDR"),
    };
    command.exclusive = {{"prefer", "reserve"}};
    return command;
}

Command wait_command() {
    const double timeout = seconds_of(default_wait_timeout_ns);
    Command command = new_command("wait", "wait until every port is free (with --listening: until something listens on each)",
                    "velmor wait 8000 --listening --timeout 10 && curl localhost:8000",
                    "0 every port as asked, 1 timed out", Ports::required);
    command.options = {
        flag({"--listening"}, "wait until something listens on every port"),
        valued("--timeout", "give up after this long (default: " + seconds_text(timeout) + "; fractions allowed)",
               Value::seconds, "SECONDS", timeout),
    };
    return command;
}

Command kill_command() {
    const double timeout = seconds_of(default_stop_timeout_ns);
    Command command = new_command("kill", "stop the processes holding each port's TCP listeners (SIGTERM) and wait until it is free",
                    "velmor kill 8000 --kill-after 3",
                    "0 every port free at the end (dry run: something to signal on every busy port, "
                    "and nothing foreseen to keep it busy), 1 otherwise", Ports::required);
    command.options = {
        flag({"--udp"}, "also stop the holders of UDP sockets on the port"),
        flag({"--all-sockets"}, "stop the holders of any socket on the port, connections too"),
        flag({"--dry-run"}, "signal nothing: list what would be signalled"),
        flag({"--force"}, "send SIGKILL at once instead of SIGTERM"),
        valued("--timeout",
               "how long to wait for the port to be free (default: " + seconds_text(timeout) + "; fractions allowed)",
               Value::seconds, "SECONDS", timeout),
        valued("--kill-after",
               "send SIGKILL to what still runs this long after SIGTERM (the wait then lasts at least this plus 1 s)",
               Value::seconds, "SECONDS"),
        json_option(),
    };
    return command;
}

Command watch_command() {
    Command command = new_command("watch", "show every listener now (=), then each one as it appears (+) and goes (-), with its holders",
                    "velmor watch 3000 --json | tee port-3000.log",
                    "0 after --timeout, 1 when the output cannot be written (a closed pipe)", Ports::optional);
    command.options = {
        flag({"--udp"}, "watch bound UDP sockets too"),
        flag({"--json"}, "print one JSON object per line (JSON Lines; schema in docs/cli.md)"),
        valued("--timeout", "stop after this long (default: run until Ctrl-C; fractions allowed)", Value::seconds,
               "SECONDS"),
    };
    command.notes = "The listening table is read every " + std::to_string(watch_interval_ms) +
                    " ms, and the processes only for a listener not seen before: a listener that opens and closes "
                    "between two reads is never seen. A '-' line names the holders seen when the listener appeared. "
                    "Times are local, to the millisecond. Runs until Ctrl-C or --timeout.";
    return command;
}

Command completion_command() {
    Command command = new_command("completion", "print a completion script for bash, zsh or fish", "eval \"$(velmor completion bash)\"",
                    "0 the script was printed", Ports::none);
    command.options = {flag({"--listening-ports"},
                            "print the TCP ports that listen now, each with its process names "
                            "(what the scripts offer after kill, who, ls and wait --listening)")};
    command.notes =
        "Ports complete from what listens now: after kill, who, ls and wait --listening, the scripts offer every TCP "
        "port that listens, with the names of its processes (zsh and fish show them). Load the script in the shell's "
        "start-up file: eval \"$(velmor completion bash)\", source <(velmor completion zsh), or velmor completion "
        "fish | source.";
    command.choice_name = "SHELL";
    command.choices = {"bash", "zsh", "fish"};
    return command;
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

bool all_digits(std::string_view text) noexcept {
    if (text.empty()) return false;
    for (char c : text) {
        if (!is_digit(c)) return false;
    }
    return true;
}

// The long option among `names` that `word` names: the option itself, or a
// unique prefix of one; empty when none matches; UsageError when the prefix
// fits more than one.
std::string_view long_option(std::string_view word, const std::vector<std::string_view>& names) {
    for (std::string_view name : names) {
        if (name == word) return name;
    }
    if (!word.starts_with("--") || word.size() < 3) return {};
    std::vector<std::string_view> candidates;
    for (std::string_view name : names) {
        if (name.starts_with("--") && name.starts_with(word)) candidates.push_back(name);
    }
    if (candidates.size() > 1) {
        std::string listed;
        for (std::string_view candidate : candidates) listed += (listed.empty() ? "" : ", ") + std::string(candidate);
        throw UsageError("ambiguous option: " + std::string(word) + " could match " + listed);
    }
    return candidates.empty() ? std::string_view{} : candidates.front();
}

std::string quoted_choices(const std::vector<std::string_view>& choices, bool quote) {
    std::string listed;
    for (std::string_view choice : choices) {
        if (!listed.empty()) listed += ", ";
        listed += quote ? "'" + std::string(choice) + "'" : std::string(choice);
    }
    return listed;
}

std::string option_name_of(std::string_view key) {
    std::string name = "--" + std::string(key);
    for (char& c : name) {
        if (c == '_') c = '-';
    }
    return name;
}

// Sets the value of `option` read from `text`.
void take_value(Arguments& result, const Option& option, std::string_view name, std::string_view text) {
    try {
        if (option.value == Value::port) {
            result.port_values[option.key()] = parse_port(text);
        } else {
            result.values[option.key()] = parse_seconds(text);
        }
    } catch (const UsageError& error) {
        throw UsageError("argument " + std::string(name) + ": " + error.what());
    }
}

void take_positional(Arguments& result, const Command& command, std::string_view word, std::set<std::uint16_t>& seen) {
    if (!command.choices.empty() && !result.choice) {
        bool known = false;
        for (std::string_view choice : command.choices) known = known || choice == word;
        if (!known) {
            throw UsageError("argument " + std::string(command.choice_name) + ": invalid choice: '" + std::string(word) +
                             "' (choose from " + quoted_choices(command.choices, true) + ")");
        }
        result.choice = std::string(word);
        return;
    }
    if (command.ports == Ports::none) throw UsageError("unrecognized arguments: " + std::string(word));
    for (std::uint16_t port : parse_port_or_range(word)) {
        if (seen.insert(port).second) result.ports.push_back(port);
    }
}

Arguments parse_command(const Command& command, std::deque<std::string_view> words) {
    std::vector<std::string_view> names{"--help"};
    for (const Option& option : command.options) names.insert(names.end(), option.names.begin(), option.names.end());
    Arguments result;
    result.command = &command;
    for (const Option& option : command.options) {
        if (option.default_value) result.values[option.key()] = *option.default_value;
    }
    std::set<std::string_view> given;
    std::set<std::uint16_t> seen_ports;
    bool only_positionals = false;
    while (!words.empty()) {
        const std::string_view word = words.front();
        words.pop_front();
        if (only_positionals || !word.starts_with("-") || word == "-") {
            take_positional(result, command, word, seen_ports);
            continue;
        }
        if (word == "--") {
            only_positionals = true;
            continue;
        }
        const std::size_t equals = word.find('=');
        std::string_view name = word.substr(0, equals);
        if (std::string_view known = long_option(name, names); !known.empty()) name = known;
        if (word == "-h" || (name == "--help" && equals == std::string_view::npos)) throw Shown{command.help_text()};
        const Option* option = nullptr;
        for (const Option& candidate : command.options) {
            for (std::string_view candidate_name : candidate.names) {
                if (candidate_name == name) option = &candidate;
            }
        }
        if (option == nullptr) throw UsageError("unrecognized arguments: " + std::string(word));
        if (option->value == Value::none) {
            if (equals != std::string_view::npos) {
                throw UsageError("argument " + std::string(name) + ": ignored explicit argument '" +
                                 std::string(word.substr(equals + 1)) + "'");
            }
            result.flags.insert(option->key());
        } else if (equals != std::string_view::npos) {
            take_value(result, *option, name, word.substr(equals + 1));
        } else {
            if (words.empty()) throw UsageError("argument " + std::string(name) + ": expected one argument");
            take_value(result, *option, name, words.front());
            words.pop_front();
        }
        given.insert(option->key());
    }
    for (const auto& [one, other] : command.exclusive) {
        if (given.count(one) != 0 && given.count(other) != 0) {
            throw UsageError("argument " + option_name_of(other) + ": not allowed with argument " + option_name_of(one));
        }
    }
    if (command.ports == Ports::required && result.ports.empty()) {
        throw UsageError("the following arguments are required: PORTS");
    }
    return result;
}

// A digit part of a number: digits, single underscores between them.
bool digit_part(std::string_view text, std::size_t& at, std::string& digits) {
    if (at >= text.size() || !is_digit(text[at])) return false;
    while (at < text.size()) {
        if (is_digit(text[at])) {
            digits += text[at++];
        } else if (text[at] == '_' && at + 1 < text.size() && is_digit(text[at + 1])) {
            ++at;
        } else {
            break;
        }
    }
    return true;
}

// `text` as a decimal number (sign, digits, point, exponent), with the
// underscores between digits taken out; empty when it is not one.
std::optional<std::string> decimal_number(std::string_view text) {
    std::string number;
    std::size_t at = 0;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) number += text[at++];
    const bool whole = digit_part(text, at, number);
    bool fraction = false;
    if (at < text.size() && text[at] == '.') {
        number += text[at++];
        fraction = digit_part(text, at, number);
    }
    if (!whole && !fraction) return std::nullopt;
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        number += text[at++];
        if (at < text.size() && (text[at] == '+' || text[at] == '-')) number += text[at++];
        if (!digit_part(text, at, number)) return std::nullopt;
    }
    if (at != text.size()) return std::nullopt;
    return number;
}

// The whitespace a number may be written between: ASCII's and the
// separators below U+0020.
bool surrounds_number(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f'); }

std::string_view trimmed(std::string_view text) noexcept {
    while (!text.empty() && surrounds_number(text.front())) text.remove_prefix(1);
    while (!text.empty() && surrounds_number(text.back())) text.remove_suffix(1);
    return text;
}

}  // namespace

std::string_view Option::key() const noexcept {
    std::string_view last = names.back();
    while (last.starts_with("-")) last.remove_prefix(1);
    return last;
}

std::optional<double> Arguments::seconds(std::string_view key) const {
    auto found = values.find(key);
    if (found == values.end()) return std::nullopt;
    return found->second;
}

std::string Command::usage() const {
    std::string text = "velmor " + std::string(name);
    if (ports == Ports::required) text += " PORTS...";
    if (ports == Ports::optional) text += " [PORTS...]";
    if (!choices.empty()) text += " [" + std::string(choice_name) + "]";
    for (const Option& option : options) {
        std::string names_text;
        for (std::string_view option_name : option.names) {
            names_text += (names_text.empty() ? "" : " | ") + std::string(option_name);
        }
        if (option.value != Value::none) names_text += " " + std::string(option.metavar);
        text += " [" + names_text + "]";
    }
    return text;
}

std::string Command::help_text() const {
    const std::size_t width = help_width();
    std::vector<std::string> lines = wrap_usage(usage(), width);
    auto add = [&lines](std::vector<std::string> more) { lines.insert(lines.end(), more.begin(), more.end()); };
    lines.emplace_back();
    std::string sentence(summary);
    sentence[0] = static_cast<char>(sentence[0] - 'a' + 'A');
    add(wrap_text(sentence + ".", width));
    lines.emplace_back();
    if (!notes.empty()) {
        add(wrap_text(notes, width));
        lines.emplace_back();
    }
    if (ports != Ports::none) {
        lines.emplace_back("arguments:");
        add(wrap_item("PORTS", "port numbers and ranges like 3000-3010", width));
        lines.emplace_back();
    }
    if (!choices.empty()) {
        lines.emplace_back("arguments:");
        add(wrap_item(choice_name, "one of " + quoted_choices(choices, false), width));
        lines.emplace_back();
    }
    lines.emplace_back("options:");
    add(wrap_item("-h, --help", "show this help and exit", width));
    for (const Option& option : options) {
        std::string label;
        for (std::string_view option_name : option.names) label += (label.empty() ? "" : ", ") + std::string(option_name);
        if (option.value != Value::none) label += " " + std::string(option.metavar);
        add(wrap_item(label, option.help, width));
    }
    lines.emplace_back();
    lines.emplace_back("exit codes:");
    add(wrap_text(exits, width, "  "));
    add(wrap_text("2 bad arguments, 130 interrupted", width, "  "));
    lines.emplace_back();
    lines.emplace_back("example:");
    lines.push_back("  " + std::string(example));
    return joined(lines);
}

const std::vector<Command>& commands() {
    static const std::vector<Command> known{ls_command(),   who_command(),   check_command(),      free_command(),
                                            wait_command(), kill_command(),  watch_command(),      completion_command()};
    return known;
}

std::string tool_help() {
    const std::size_t width = help_width();
    std::vector<std::string> lines{"usage: velmor [-h] [--version] COMMAND ...", ""};
    auto add = [&lines](std::vector<std::string> more) { lines.insert(lines.end(), more.begin(), more.end()); };
    add(wrap_text("See, check, pick, wait for and free local TCP ports.", width));
    lines.emplace_back();
    add(wrap_text("PORTS are port numbers (1-65535) and inclusive ranges like 3000-3010.", width));
    lines.emplace_back();
    lines.emplace_back("commands:");
    for (const Command& command : commands()) add(wrap_item(command.name, command.summary, width, 11));
    add({"", "options:", "  -h, --help  show this help and exit", "  --version   show the version and exit", "",
         std::string(tool_epilog)});
    return joined(lines);
}

Arguments parse(const std::vector<std::string_view>& argv, std::string_view version) {
    if (argv.empty()) throw UsageError("the following arguments are required: COMMAND");
    std::string_view first = argv.front();
    if (first.starts_with("--")) {
        if (std::string_view known = long_option(first, {"--help", "--version"}); !known.empty()) first = known;
    }
    if (first == "-h" || first == "--help") throw Shown{tool_help()};
    if (first == "--version") throw Shown{"velmor " + std::string(version)};
    for (const Command& command : commands()) {
        if (command.name != first) continue;
        try {
            return parse_command(command, std::deque<std::string_view>(argv.begin() + 1, argv.end()));
        } catch (UsageError& error) {
            error.command = std::string(command.name);
            throw;
        }
    }
    if (first.starts_with("-")) throw UsageError("unrecognized arguments: " + std::string(first));
    std::vector<std::string_view> names;
    for (const Command& command : commands()) names.push_back(command.name);
    throw UsageError("invalid choice: '" + std::string(first) + "' (choose from " + quoted_choices(names, false) + ")");
}

std::uint16_t parse_port(std::string_view text) {
    if (!all_digits(text)) throw UsageError("invalid port '" + std::string(text) + "': expected a number");
    std::string_view number = text.substr(std::min(text.find_first_not_of('0'), text.size() - 1));
    unsigned value = 0;
    auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc{} || end != number.data() + number.size() || value < 1 || value > 65535) {
        throw PortOutOfRange("port " + std::string(number) + " is out of range 1-65535");
    }
    return static_cast<std::uint16_t>(value);
}

std::vector<std::uint16_t> parse_port_or_range(std::string_view text) {
    const std::size_t dash = text.find('-');
    const std::string_view start_text = text.substr(0, dash);
    const std::string_view end_text = dash == std::string_view::npos ? std::string_view{} : text.substr(dash + 1);
    const bool range = dash != std::string_view::npos;
    std::uint16_t start = 0;
    std::uint16_t end = 0;
    try {
        if (start_text.empty() || (range && end_text.empty())) throw UsageError(std::string(text));
        start = parse_port(start_text);
        end = range ? parse_port(end_text) : start;
    } catch (const PortOutOfRange& error) {
        if (!range) throw;
        throw PortOutOfRange("invalid range '" + std::string(text) + "': " + error.what());
    } catch (const UsageError&) {
        throw UsageError("invalid port or range '" + std::string(text) + "': expected PORT or START-END");
    }
    if (end < start) {
        throw UsageError("empty range '" + std::string(text) + "': " + std::to_string(start) + " is after " +
                         std::to_string(end));
    }
    std::vector<std::uint16_t> ports;
    for (unsigned port = start; port <= end; ++port) ports.push_back(static_cast<std::uint16_t>(port));
    return ports;
}

double parse_seconds(std::string_view text) {
    const std::optional<std::string> number = decimal_number(trimmed(text));
    double value = -1;
    if (number) {
        const char* begin = number->data();
        if (*begin == '+') ++begin;
        auto [end, error] = std::from_chars(begin, number->data() + number->size(), value);
        if (error == std::errc::result_out_of_range) {
            // Too large is infinite, refused below; too small is zero.
            value = std::strtod(number->c_str(), nullptr);
        } else if (error != std::errc{}) {
            value = -1;
        }
    }
    if (!number || std::isnan(value) || value < 0 || std::isinf(value)) {
        throw UsageError("invalid duration '" + std::string(text) + "': expected seconds, 0 or more");
    }
    return value;
}

std::string seconds_text(double seconds) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%g", seconds);
    return buffer;
}

}  // namespace velmor::command
