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

constexpr std::size_t candidates_shown = 3;

bool is_root() { return ::geteuid() == 0; }

std::string or_dash(std::string text) { return text.empty() ? "-" : text; }

// "user NAME", "uid N" or "an unknown user".
std::string user_text(std::optional<std::uint32_t> uid) {
    if (!uid) return "an unknown user";
    std::optional<std::string> name = user_name(uid);
    if (name && !name->empty()) return "user " + text::printable(*name);
    return "uid " + std::to_string(*uid);
}

// 'name (pid N, user U)'.
std::string described_with_user(const TableProcess& process) {
    std::string name = escaped(process.name);
    return (name.empty() ? "?" : name) + " (pid " + std::to_string(process.pid) + ", " + user_text(process.uid) + ")";
}

}  // namespace

std::string candidates_text(const std::vector<TableProcess>& candidates) {
    std::string shown;
    for (std::size_t i = 0; i < candidates.size() && i < candidates_shown; ++i) {
        shown += (i == 0 ? "" : ", ") + described_with_user(candidates[i]);
    }
    if (candidates.size() > candidates_shown) shown += " and " + std::to_string(candidates.size() - candidates_shown) + " more";
    return shown;
}

namespace {

std::string_view without_trailing_spaces(std::string_view line) {
    while (!line.empty() && line.back() == ' ') line.remove_suffix(1);
    return line;
}

}  // namespace

std::string escaped(std::string_view bytes) { return text::printable(repaired(bytes)); }

std::string address_cell(const SocketInfo& socket) {
    std::string address = address_text(socket.family, socket.local);
    if (socket.family == Family::ipv4) return address;
    if (address == "::" && socket.v6only == false) return "*";
    return "[" + address + "]";
}

std::optional<std::uint32_t> socket_uid(const SocketInfo& socket) {
    if (socket.uid == unknown_uid) return std::nullopt;
    return socket.uid;
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

std::string described(const TableProcess& process) {
    std::string name = escaped(process.name);
    return (name.empty() ? "?" : name) + " (pid " + std::to_string(process.pid) + ")";
}

HiddenEvidence hidden_evidence(const std::vector<TableProcess>& unreadable, std::optional<std::uint32_t> owner_uid,
                               platform::ProcessView view) {
    if (view == platform::ProcessView::foreign) return {Hidden::other_pid_namespace, {}};
    if (!unreadable.empty()) {
        HiddenEvidence evidence{Hidden::unreadable, unreadable};
        std::stable_sort(evidence.candidates.begin(), evidence.candidates.end(),
                         [&](const TableProcess& one, const TableProcess& other) {
                             const bool one_other_user = one.uid != owner_uid;
                             const bool other_other_user = other.uid != owner_uid;
                             if (one_other_user != other_other_user) return !one_other_user;
                             return one.pid < other.pid;
                         });
        return evidence;
    }
    if (view == platform::ProcessView::own_namespace) return {Hidden::other_pid_namespace, {}};
    if (is_root()) return {Hidden::no_process, {}};
    return {};
}

std::string hidden_cell(const HiddenEvidence& evidence) {
    if (!is_root()) return "(not visible: try sudo)";
    switch (evidence.hidden) {
        case Hidden::unreadable:
            return "(not visible: held by one of the processes whose descriptors cannot be read: " +
                   text::printable(candidates_text(evidence.candidates)) + ")";
        case Hidden::no_process:
            return "(held by no process: in flight between processes, or kept by the kernel)";
        case Hidden::other_pid_namespace:
            return "(not visible: another pid namespace)";
        case Hidden::none:
            break;
    }
    return "(not visible)";
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
                        {"name", repaired(process.name)},
                        {"cmd", repaired(process.command)},
                        {"uid", Json::optional_number(process.uid)},
                        {"user", Json::optional_text(user_name(process.uid))}};
}

Json socket_json(const TableSocket& entry, const SocketTable& table) {
    const SocketInfo& socket = entry.socket;
    Json::Array processes;
    for (const TableHolder& holder : entry.holders) processes.push_back(process_json(table.processes[holder.process]));
    const bool ipv6 = socket.family == Family::ipv6;
    return Json::Object{{"protocol", protocol_name(socket.protocol)},
                        {"family", ipv6 ? "ipv6" : "ipv4"},
                        {"address", address_text(socket.family, socket.local)},
                        {"port", Json(static_cast<std::int64_t>(socket.local.port))},
                        {"state", state_name(socket.protocol, socket.state)},
                        {"uid", Json::optional_number(socket_uid(socket))},
                        {"user", Json::optional_text(user_name(socket_uid(socket)))},
                        {"v6only", ipv6 && socket.v6only ? Json(*socket.v6only) : Json()},
                        {"processes", std::move(processes)}};
}

}  // namespace velmor::command
