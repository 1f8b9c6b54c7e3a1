// velmor who: what is on each port: free, listening (a row for each
// listener and holder) or busy (and why), then the notes on what stays on
// a port's number without making it busy; or every port's state as JSON.

#include "command/port_status.hpp"
#include "command/rendering.hpp"
#include "command/subcommands.hpp"
#include "core/platform/socket.hpp"
#include "core/system/printable.hpp"

namespace velmor::command {
namespace {

bool is_listener(const SocketInfo& socket) {
    return socket.protocol == Protocol::tcp && socket.state == SocketState::listen;
}

// The rows of a listening port: one per listener and holder, a listener
// that no visible process holds with why its holder is not seen.
void listening_rows(const ports::ExplainedStatus& state, const SocketTable& table, std::vector<Row>& rows) {
    const ports::PortStatus& status = state.status;
    for (std::size_t i : status.sockets) {
        const TableSocket& entry = table.sockets[i];
        if (!is_listener(entry.socket)) continue;
        const Row start{std::to_string(status.port), "listening", address_cell(entry.socket)};
        const ports::SocketEvidence told{{status.hidden, status.candidates}, state.candidates};
        add_socket_rows(start, entry, table, told, rows);
    }
}

// The one row of a free or busy port, a busy one's with why.
Row other_row(const ports::ExplainedStatus& state, const SocketTable& table) {
    const ports::PortStatus& status = state.status;
    const bool free = status.state == ports::PortState::free;
    return {std::to_string(status.port), free ? "free" : "busy", "-", "-", "-", "-",
            free ? "-" : text::printable(explained(status, table))};
}

std::vector<Row> status_rows(const std::vector<ports::ExplainedStatus>& states, const SocketTable& table) {
    std::vector<Row> rows{{"PORT", "STATE", "ADDRESS", "PID", "USER", "NAME", "COMMAND"}};
    for (const ports::ExplainedStatus& state : states) {
        if (state.status.state == ports::PortState::listening) {
            listening_rows(state, table, rows);
        } else {
            rows.push_back(other_row(state, table));
        }
    }
    return rows;
}

}  // namespace

int run_who(const Arguments& arguments, Answer& answer) {
    ports::PortsReading found = port_statuses(arguments.ports);
    if (arguments.flag("json")) {
        Json::Array entries;
        for (const ports::PortStatus& status : found.statuses) entries.push_back(status_json(status, found.table));
        answer.line(Json(Json::Object{{"ports", std::move(entries)}}).text());
        return exit_ok;
    }
    const std::vector<ports::ExplainedStatus> states = ports::explained(std::move(found.statuses), found.table);
    for (const std::string& line : table_lines(status_rows(states, found.table), terminal_width())) {
        answer.line(text::printable(line));
    }
    for (const ports::ExplainedStatus& state : states) {
        if (state.udp) answer.line(text::printable("note: " + *state.udp + " (UDP never makes a TCP port busy)"));
        if (state.closing) answer.line(text::printable("note: " + *state.closing));
    }
    return exit_ok;
}

}  // namespace velmor::command
