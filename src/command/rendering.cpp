#include "command/rendering.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

#include "command/names.hpp"
#include "command/wrapping.hpp"
#include "core/sockets/socket_text.hpp"
#include "core/system/printable.hpp"

namespace velmor::command {
namespace {

std::string or_dash(std::string text) { return text.empty() ? "-" : text; }

std::string_view without_trailing_spaces(std::string_view line) {
    while (!line.empty() && line.back() == ' ') line.remove_suffix(1);
    return line;
}

}  // namespace

std::string escaped(std::string_view bytes) { return text::printable(bytes); }

std::string address_cell(const SocketInfo& socket) {
    std::string address = address_text(socket.family, socket.local);
    if (socket.family == Family::ipv4) return address;
    if (address == "::" && socket.v6only == false) return "*";
    return "[" + address + "]";
}

std::string user_cell(std::optional<std::uint32_t> uid) {
    if (!uid) return "-";
    std::optional<std::string> name = user_name(uid);
    return text::printable(name && !name->empty() ? *name : std::to_string(*uid));
}

Row process_cells(const TableProcess& process) {
    return {std::to_string(process.pid), user_cell(process.uid), or_dash(escaped(process.name)),
            or_dash(escaped(process.command))};
}

std::string hidden_cell(const ports::SocketEvidence& told) {
    if (!ports::runs_as_root()) return "(not visible: try sudo)";
    switch (told.evidence.hidden) {
        case ports::Hidden::unreadable:
            return "(not visible: held by one of the processes whose descriptors cannot be read: " + told.candidates + ")";
        case ports::Hidden::no_process:
            return "(held by no process: in flight between processes, or kept by the kernel)";
        case ports::Hidden::other_pid_namespace:
            return "(not visible: another pid namespace)";
        case ports::Hidden::none:
            break;
    }
    return "(not visible)";
}

void add_socket_rows(const Row& start, const TableSocket& entry, const SocketTable& table,
                     const ports::SocketEvidence& told, std::vector<Row>& rows) {
    if (entry.holders.empty()) {
        Row row = start;
        row.insert(row.end(), {"-", user_cell(ports::owner_of(entry.socket)), "-", hidden_cell(told)});
        rows.push_back(std::move(row));
    }
    for (const TableHolder& holder : entry.holders) {
        Row row = start;
        Row cells = process_cells(table.processes[holder.process]);
        row.insert(row.end(), cells.begin(), cells.end());
        rows.push_back(std::move(row));
    }
}

std::vector<std::string> table_lines(const std::vector<Row>& rows, std::optional<std::size_t> width) {
    std::vector<std::size_t> widths(rows.front().size() - 1, 0);
    for (const Row& row : rows) {
        for (std::size_t i = 0; i + 1 < row.size(); ++i) widths[i] = std::max(widths[i], characters(row[i]));
    }
    std::vector<std::string> lines;
    for (const Row& row : rows) {
        std::string line;
        for (std::size_t i = 0; i + 1 < row.size(); ++i) line += padded(row[i], widths[i]) + (i + 2 < row.size() ? "  " : "");
        line += "  " + row.back();
        if (width && characters(line) > *width) {
            line = std::string(first_characters(line, *width > 3 ? *width - 3 : 0)) + "...";
        }
        lines.emplace_back(without_trailing_spaces(line));
    }
    return lines;
}

std::optional<std::size_t> terminal_width() {
    winsize size{};
    if (::isatty(STDOUT_FILENO) != 1 || ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return std::nullopt;
    return size.ws_col;
}

Json process_json(const TableProcess& process) {
    return Json::Object{{"pid", Json(static_cast<std::int64_t>(process.pid))},
                        {"name", text::repaired(process.name)},
                        {"cmd", text::repaired(process.command)},
                        {"uid", Json::optional_number(process.uid)},
                        {"user", Json::optional_text(user_name(process.uid))}};
}

Json socket_json(const TableSocket& entry, const SocketTable& table) {
    Json::Array processes;
    for (const TableHolder& holder : entry.holders) processes.push_back(process_json(table.processes[holder.process]));
    return socket_fields(entry.socket, std::move(processes));
}

Json::Object socket_fields(const SocketInfo& socket, Json::Array processes) {
    const bool ipv6 = socket.family == Family::ipv6;
    return Json::Object{{"protocol", protocol_name(socket.protocol)},
                        {"family", ipv6 ? "ipv6" : "ipv4"},
                        {"address", address_text(socket.family, socket.local)},
                        {"port", Json(static_cast<std::int64_t>(socket.local.port))},
                        {"state", state_name(socket.protocol, socket.state)},
                        {"uid", Json::optional_number(ports::owner_of(socket))},
                        {"user", Json::optional_text(user_name(ports::owner_of(socket)))},
                        {"v6only", ipv6 && socket.v6only ? Json(*socket.v6only) : Json()},
                        {"processes", std::move(processes)}};
}

}  // namespace velmor::command
