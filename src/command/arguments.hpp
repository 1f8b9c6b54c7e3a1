#pragma once
// The command line: the commands, their options, and the parser, with the
// conventions users know: options before, between or after the ports,
// `--option VALUE` and `--option=VALUE`, a long option shortened to any
// prefix that names it alone, `--` to end the options, `--help` on the
// tool and on each command. A call that does not fit is a UsageError: one
// line, exit code 2.

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace velmor::command {

// A call that does not fit; `command` is the command it was given to, once
// that is known, so that the message can point at that command's help.
class UsageError : public std::runtime_error {
public:
    explicit UsageError(const std::string& message) : std::runtime_error(message) {}
    std::string command;
};

// --help or --version: `text` is the whole answer.
struct Shown {
    std::string text;
};

// What an option's value is read as: a flag has none.
enum class Value : std::uint8_t { none, port, seconds };

struct Option {
    std::vector<std::string_view> names;  // "-q", "--quiet"
    std::string help;
    Value value = Value::none;
    std::string_view metavar;
    std::optional<double> default_value;  // seconds
    // The option's name in the parsed call: its last name without dashes.
    std::string_view key() const noexcept;
};

enum class Ports : std::uint8_t { required, optional, none };

struct Command {
    std::string_view name;
    std::string_view summary;
    std::string_view example;
    std::string_view exits;
    std::vector<Option> options;
    Ports ports = Ports::none;
    // Keys of options that may not be given together; the second is named
    // as the one not allowed with the first.
    std::vector<std::pair<std::string_view, std::string_view>> exclusive;
    std::string notes;  // a paragraph after the summary in the help
    // A word the command takes instead of ports: its name in the help, and
    // the words allowed.
    std::string_view choice_name;
    std::vector<std::string_view> choices;

    std::string usage() const;
    std::string help_text() const;
};

// The parsed call.
struct Arguments {
    const Command* command = nullptr;
    std::vector<std::uint16_t> ports;  // in the order given, each once
    std::optional<std::string> choice;
    std::set<std::string_view> flags;                // keys of the flags given
    std::map<std::string_view, double> values;       // keys of the options with a value, defaults included
    std::map<std::string_view, std::uint16_t> port_values;

    bool flag(std::string_view key) const { return flags.count(key) != 0; }
    std::optional<double> seconds(std::string_view key) const;
};

// The tool's commands, in the order its help lists them.
const std::vector<Command>& commands();
// The tool's own help.
std::string tool_help();

// The call `argv` (without the program's name) means; throws Shown for
// --help and --version, UsageError for a call that does not fit.
Arguments parse(const std::vector<std::string_view>& argv, std::string_view version);

// One port, 1-65535; a port or an inclusive range START-END, as ports.
std::uint16_t parse_port(std::string_view text);
std::vector<std::uint16_t> parse_port_or_range(std::string_view text);
// A non-negative, finite number of seconds, written as a number
// (fractions, exponents and digits grouped with '_' allowed).
double parse_seconds(std::string_view text);

// `seconds` as the shortest of fixed and exponent forms, six digits at
// most ("5", "2.5", "1e+20").
std::string seconds_text(double seconds);

}  // namespace velmor::command
