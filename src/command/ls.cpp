// velmor ls: every TCP listener (with --udp every bound UDP socket too), on
// every local address, with every process holding it; with ports named, a
// note for each port that has UDP sockets that are not listed.

#include <algorithm>
#include <cstring>
#include <map>

#include "command/rendering.hpp"
#include "command/subcommands.hpp"
#include "core/sockets/socket_text.hpp"
#include "core/system/printable.hpp"

namespace velmor::command {
namespace {

SocketTable listening_table(const Arguments& arguments) {
    TableRequest request;
    if (arguments.ports.empty()) {
        request.filter.add_every_port();
    } else {
        request.filter.add_ports(arguments.ports);
    }
    request.filter.tcp_states = listening_states;
    // With ports named, their UDP sockets are read too, for a note.
    if (arguments.flag("udp") || !arguments.ports.empty()) request.filter.udp_states = udp_listening_states;
    SocketTable table = read_socket_table(request);
    require_descriptors(table.shortage, "to read the socket tables and the processes");
    return table;
}

Row socket_row_start(const SocketInfo& socket) {
    return {protocol_name(socket.protocol), address_cell(socket), std::to_string(socket.local.port)};
}

std::vector<Row> listing_rows(const SocketTable& table, bool udp) {
    std::vector<Row> rows{{"PROTO", "ADDRESS", "PORT", "PID", "USER", "NAME", "COMMAND"}};
    const std::vector<std::optional<ports::SocketEvidence>> evidence = ports::evidence_of(table);
    for (std::size_t i = 0; i < table.sockets.size(); ++i) {
        const TableSocket& entry = table.sockets[i];
        if (entry.socket.protocol != Protocol::tcp && !udp) continue;
        add_socket_rows(socket_row_start(entry.socket), entry, table, *evidence[i], rows);
    }
    return rows;
}

// One note per port with UDP sockets, naming their holders once each.
std::vector<std::string> udp_notes(const SocketTable& table) {
    std::vector<std::uint16_t> order;
    std::map<std::uint16_t, std::vector<std::string>> names;
    for (const TableSocket& entry : table.sockets) {
        if (entry.socket.protocol == Protocol::tcp) continue;
        const std::uint16_t port = entry.socket.local.port;
        if (names.find(port) == names.end()) order.push_back(port);
        std::vector<std::string>& held = names[port];
        auto add = [&held](std::string name) {
            if (std::find(held.begin(), held.end(), name) == held.end()) held.push_back(std::move(name));
        };
        if (entry.holders.empty()) add("not visible");
        for (const TableHolder& holder : entry.holders) add(ports::describe(table.processes[holder.process]));
    }
    std::vector<std::string> notes;
    for (std::uint16_t port : order) {
        std::string listed;
        for (const std::string& name : names[port]) listed += (listed.empty() ? "" : ", ") + name;
        notes.push_back("note: UDP on " + std::to_string(port) + " too: " + text::printable(listed) + " (--udp lists it)");
    }
    return notes;
}

}  // namespace

int run_ls(const Arguments& arguments, Answer& answer) {
    const bool udp = arguments.flag("udp");
    const SocketTable table = listening_table(arguments);
    if (arguments.flag("json")) {
        Json::Array sockets;
        for (const TableSocket& entry : table.sockets) {
            if (entry.socket.protocol == Protocol::tcp || udp) sockets.push_back(socket_json(entry, table));
        }
        answer.line(Json(Json::Object{{"sockets", std::move(sockets)}}).text());
        return exit_ok;
    }
    for (const std::string& line : table_lines(listing_rows(table, udp), terminal_width())) {
        answer.line(text::printable(line));
    }
    if (!udp) {
        for (const std::string& note : udp_notes(table)) answer.line(text::printable(note));
    }
    return exit_ok;
}

void require_descriptors(int shortage, const char* doing) {
    if (shortage == 0) return;
    throw NoAnswer{std::string(std::strerror(shortage)) + ": no descriptor left " + doing};
}

}  // namespace velmor::command
