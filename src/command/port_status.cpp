#include "command/port_status.hpp"

#include "command/rendering.hpp"
#include "command/subcommands.hpp"
#include "core/system/printable.hpp"

namespace velmor::command {
namespace {

const char* state_word(ports::PortState state) {
    switch (state) {
        case ports::PortState::listening:
            return "listening";
        case ports::PortState::busy:
            return "busy";
        case ports::PortState::free:
            break;
    }
    return "free";
}

Json reason_json(ports::BusyReason reason) {
    switch (reason) {
        case ports::BusyReason::time_wait:
            return "time-wait";
        case ports::BusyReason::closing:
            return "closing";
        case ports::BusyReason::connection:
            return "connection";
        case ports::BusyReason::hidden_owner:
            return "hidden-owner";
        case ports::BusyReason::unknown:
            return "unknown";
        case ports::BusyReason::none:
            break;
    }
    return Json();
}

}  // namespace

Json hidden_json(ports::Hidden hidden) {
    switch (hidden) {
        case ports::Hidden::unreadable:
            return "unreadable";
        case ports::Hidden::no_process:
            return "no-process";
        case ports::Hidden::other_pid_namespace:
            return "other-pid-namespace";
        case ports::Hidden::none:
            break;
    }
    return Json();
}

ports::PortsReading port_statuses(std::span<const std::uint16_t> ports) {
    ports::PortsReading reading = ports::read_port_statuses(ports);
    require_descriptors(reading.table.shortage, "to read the socket tables and the processes");
    return reading;
}

std::string explained(const ports::PortStatus& status, const SocketTable& table) {
    std::string line = ports::explain(status, table);
    constexpr std::string_view busy = "busy: ";
    if (line.starts_with(busy)) line.erase(0, busy.size());
    return line;
}

Json status_json(const ports::PortStatus& status, const SocketTable& table) {
    Json owner;
    if (status.owner) {
        const TableProcess& process = table.processes[*status.owner];
        owner = Json::Object{{"pid", Json(static_cast<std::int64_t>(process.pid))},
                             {"name", text::repaired(process.name)},
                             {"cmd", text::repaired(process.command)}};
    }
    Json::Array sockets;
    for (std::size_t i : status.sockets) sockets.push_back(socket_json(table.sockets[i], table));
    Json::Array candidates;
    for (const TableProcess& process : status.candidates) candidates.push_back(process_json(process));
    return Json::Object{{"port", Json(static_cast<std::int64_t>(status.port))},
                        {"state", state_word(status.state)},
                        {"reason", reason_json(status.reason)},
                        {"owner", std::move(owner)},
                        {"sockets", std::move(sockets)},
                        {"hidden", hidden_json(status.hidden)},
                        {"candidates", std::move(candidates)}};
}

}  // namespace velmor::command
