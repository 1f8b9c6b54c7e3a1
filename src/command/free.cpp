// velmor free: one free port and nothing else: the preferred one when the
// free check calls it free, otherwise one the system picks for a bind on
// port 0, or with --reserve a reserved one (see core/probe/reserve.hpp).

#include <cstring>
#include <optional>
#include <string>
#include <variant>

#include "command/subcommands.hpp"
#include "core/probe/listener.hpp"
#include "core/probe/reserve.hpp"
#include "core/sockets/free_check.hpp"

namespace velmor::command {
namespace {

bool is_free(std::uint16_t port) {
    const std::uint16_t ports[] = {port};
    const FreeCheck check = check_free(FreeRequest{ports, false, true});
    require_descriptors(check.shortage, "to read the socket tables");
    return check.verdicts.front() == FreeVerdict::free;
}

// The port, or why none could be had.
std::variant<std::uint16_t, std::string> picked(bool reserved) {
    if (reserved) {
        std::variant<std::uint16_t, int> port = reserve_port();
        if (const int* error = std::get_if<int>(&port)) return "Could not reserve a port: " + std::string(std::strerror(*error));
        return std::get<std::uint16_t>(port);
    }
    std::optional<std::uint16_t> port = system_chosen_port();
    if (!port || *port == 0) return std::string("Could not find a free port");
    return *port;
}

}  // namespace

int run_free(const Arguments& arguments, Answer& answer) {
    auto preferred = arguments.port_values.find("prefer");
    if (preferred != arguments.port_values.end() && is_free(preferred->second)) {
        answer.line(std::to_string(preferred->second));
        return exit_ok;
    }
    std::variant<std::uint16_t, std::string> port = picked(arguments.flag("reserve"));
    if (const std::string* why = std::get_if<std::string>(&port)) {
        say("velmor free: " + *why);
        return exit_fail;
    }
    answer.line(std::to_string(std::get<std::uint16_t>(port)));
    return exit_ok;
}

}  // namespace velmor::command
