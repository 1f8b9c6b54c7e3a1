// velmor check: exit 0 when every port is free, 1 when any is not, with a
// line for each port that is not free (-q: none, found the cheap way: the
// engine's free check, which stops at the first port taken), or the state
// of every port as JSON.

#include "command/port_status.hpp"
#include "command/subcommands.hpp"
#include "core/sockets/free_check.hpp"
#include "core/system/printable.hpp"

namespace velmor::command {
namespace {

bool all_free(const std::vector<std::uint16_t>& ports) {
    const FreeCheck check = check_free(FreeRequest{ports, true, true});
    require_descriptors(check.shortage, "to read the socket tables");
    for (FreeVerdict verdict : check.verdicts) {
        if (verdict != FreeVerdict::free) return false;
    }
    return true;
}

}  // namespace

int run_check(const Arguments& arguments, Answer& answer) {
    if (arguments.flag("quiet")) return all_free(arguments.ports) ? exit_ok : exit_fail;
    const ports::PortsReading found = port_statuses(arguments.ports);
    bool every_port_free = true;
    for (const ports::PortStatus& status : found.statuses) {
        every_port_free = every_port_free && status.state == ports::PortState::free;
    }
    if (arguments.flag("json")) {
        Json::Array entries;
        for (const ports::PortStatus& status : found.statuses) entries.push_back(status_json(status, found.table));
        answer.line(Json(Json::Object{{"all_free", every_port_free}, {"ports", std::move(entries)}}).text());
    } else {
        for (const ports::PortStatus& status : found.statuses) {
            if (status.state == ports::PortState::free) continue;
            const std::string line = "port " + std::to_string(status.port) + " is not free: " + explained(status, found.table);
            answer.line(text::printable(line));
        }
    }
    return every_port_free ? exit_ok : exit_fail;
}

}  // namespace velmor::command
