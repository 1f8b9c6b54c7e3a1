#include "core/ports/explanations.hpp"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "core/sockets/socket_text.hpp"
#include "core/system/printable.hpp"

namespace velmor::ports {
namespace {

constexpr std::size_t candidates_shown = 3;

std::optional<std::string> look_up_user(std::uint32_t uid) {
    long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 1024);
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        const int error = ::getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (std::size_t{1} << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || found == nullptr || found->pw_name == nullptr) return std::nullopt;
        return std::string(found->pw_name);
    }
}

std::string user_text(std::optional<std::uint32_t> uid) {
    if (!uid) return "an unknown user";
    std::optional<std::string> name = user_name(*uid);
    if (name && !name->empty()) return "user " + text::printable(*name);
    return "uid " + std::to_string(*uid);
}

std::string name_text(const TableProcess& process) {
    std::string name = text::printable(process.name);
    return name.empty() ? "?" : name;
}

const SocketInfo& socket_at(const SocketTable& table, std::size_t index) { return table.sockets[index].socket; }

std::vector<std::size_t> sockets_where(const PortStatus& status, const SocketTable& table,
                                       bool (*wanted)(const SocketInfo&)) {
    std::vector<std::size_t> found;
    for (std::size_t index : status.sockets) {
        if (wanted(socket_at(table, index))) found.push_back(index);
    }
    return found;
}

// The first socket on the port that is `wanted`, if any.
std::optional<std::size_t> first_where(const PortStatus& status, const SocketTable& table,
                                       bool (*wanted)(const SocketInfo&)) {
    for (std::size_t index : status.sockets) {
        if (wanted(socket_at(table, index))) return index;
    }
    return std::nullopt;
}

bool is_listener(const SocketInfo& socket) { return socket.protocol == Protocol::tcp && socket.state == SocketState::listen; }

bool holds_a_connection(const SocketInfo& socket) {
    return socket.protocol == Protocol::tcp && socket.state != SocketState::listen && !lingers(socket);
}

bool is_udp(const SocketInfo& socket) { return socket.protocol == Protocol::udp; }

bool closes(const SocketInfo& socket) { return is_left_closing(socket); }

std::string unknown_text(const PortStatus& status);

std::string listening_text(const PortStatus& status, const SocketTable& table) {
    if (status.owner) return "listening: " + describe(table.processes[*status.owner]);
    const std::optional<std::size_t> first = first_where(status, table, is_listener);
    if (!first) return unknown_text(status);  // a listening state always has its listener
    return "listening, " + hidden_holder_text(socket_at(table, *first), status.hidden, status.candidates);
}

std::string connection_text(const PortStatus& status, const SocketTable& table) {
    const std::optional<std::size_t> held = first_where(status, table, holds_a_connection);
    if (!held) return unknown_text(status);  // a connection state always has its connection
    const TableSocket& first = table.sockets[*held];
    const std::string state = state_name(first.socket.protocol, first.socket.state);
    const std::string what = state == "bound" ? "a bound socket" : "a connection (" + state + ")";
    if (!first.holders.empty()) {
        return "busy: held by " + what + " of " + describe(table.processes[first.holders.front().process]) +
               ", not a listener";
    }
    return "busy: held by " + what + ", " + hidden_holder_text(first.socket, status.hidden, status.candidates);
}

std::string unknown_text(const PortStatus& status) {
    const std::string cause = status.probe_error != 0 ? std::strerror(status.probe_error) : "unknown error";
    const std::string hint = status.probe_error == EACCES ? " (ports below the unprivileged limit need privileges)" : "";
    return "busy: no socket holds it in this network namespace, yet a bind on 127.0.0.1 fails: " + cause + hint;
}

}  // namespace

std::optional<std::string> user_name(std::uint32_t uid) {
    static std::mutex guard;
    static std::unordered_map<std::uint32_t, std::optional<std::string>> known;
    std::lock_guard<std::mutex> held(guard);
    auto found = known.find(uid);
    if (found == known.end()) found = known.emplace(uid, look_up_user(uid)).first;
    return found->second;
}

std::string describe(const TableProcess& process) {
    return name_text(process) + " (pid " + std::to_string(process.pid) + ")";
}

std::string describe_with_user(const TableProcess& process) {
    return name_text(process) + " (pid " + std::to_string(process.pid) + ", " + user_text(process.uid) + ")";
}

std::string candidates_text(std::span<const TableProcess> candidates) {
    std::string shown;
    for (std::size_t i = 0; i < candidates.size() && i < candidates_shown; ++i) {
        if (i > 0) shown += ", ";
        shown += describe_with_user(candidates[i]);
    }
    if (candidates.size() > candidates_shown) shown += " and " + std::to_string(candidates.size() - candidates_shown) + " more";
    return shown;
}

std::string hidden_holder_text(const SocketInfo& socket, Hidden hidden, std::span<const TableProcess> candidates) {
    const std::string owner = user_text(owner_of(socket));
    if (!runs_as_root()) return "held by a process of " + owner + " that is not visible to you (try sudo)";
    switch (hidden) {
        case Hidden::unreadable:
            return "held by one of the processes whose descriptors cannot be read: " + candidates_text(candidates);
        case Hidden::no_process:
            return "held by no process (in flight between processes, or kept by the kernel)";
        case Hidden::other_pid_namespace:
            return "held by a process of " + owner +
                   " that is not visible here: it runs in another pid namespace (a container)";
        case Hidden::none:
            break;
    }
    // No evidence was gathered (the walk did not record what it could not read).
    return "held by a process of " + owner + " that is not visible here";
}

std::string explain(const PortStatus& status, const SocketTable& table) {
    switch (status.state) {
        case PortState::free:
            return "free";
        case PortState::listening:
            return listening_text(status, table);
        case PortState::busy:
            break;
    }
    switch (status.reason) {
        case BusyReason::connection:
            return connection_text(status, table);
        case BusyReason::time_wait:
            return "busy: only TIME-WAIT sockets of closed connections remain (they end within a minute); "
                   "their sockets did not set SO_REUSEADDR, so no bind can take them over";
        case BusyReason::closing:
            return "busy: only closing connections remain, held by no process (the kernel ends them, "
                   "within tcp_fin_timeout); their sockets did not set SO_REUSEADDR, so no bind can take them over";
        default:
            return unknown_text(status);
    }
}

std::optional<std::string> closing_note(const PortStatus& status, const SocketTable& table) {
    const std::size_t closing = sockets_where(status, table, closes).size();
    if (status.state != PortState::free || closing == 0) return std::nullopt;
    return std::to_string(closing) + " closing connection" + (closing > 1 ? "s" : "") + " on " +
           std::to_string(status.port) +
           " held by no process (the kernel ends them, within tcp_fin_timeout); "
           "a server that sets SO_REUSEADDR binds the port now";
}

std::optional<std::string> udp_note(const PortStatus& status, const SocketTable& table) {
    const std::vector<std::size_t> udp = sockets_where(status, table, is_udp);
    if (udp.empty()) return std::nullopt;
    std::vector<std::string> holders;
    for (std::size_t index : udp) {
        for (const TableHolder& holder : table.sockets[index].holders) {
            std::string named = describe(table.processes[holder.process]);
            if (std::find(holders.begin(), holders.end(), named) == holders.end()) holders.push_back(std::move(named));
        }
    }
    std::string shown = holders.empty() ? "not visible" : "";
    for (std::size_t i = 0; i < holders.size(); ++i) shown += (i > 0 ? ", " : "") + holders[i];
    return "UDP on " + std::to_string(status.port) + " too: " + shown;
}

std::optional<std::string> unseen_listener_text(const PortStatus& status, const SocketTable& table) {
    for (std::size_t index : status.sockets) {
        if (is_listener(socket_at(table, index)) && table.sockets[index].holders.empty()) {
            return hidden_holder_text(socket_at(table, index), status.hidden, status.candidates);
        }
    }
    return std::nullopt;
}

}  // namespace velmor::ports

namespace velmor::ports {

std::vector<ExplainedStatus> explained(std::vector<PortStatus> statuses, const SocketTable& table) {
    std::vector<ExplainedStatus> made;
    made.reserve(statuses.size());
    for (PortStatus& status : statuses) {
        ExplainedStatus entry;
        entry.line = explain(status, table);
        entry.closing = closing_note(status, table);
        entry.udp = udp_note(status, table);
        entry.unseen_listener = unseen_listener_text(status, table);
        entry.candidates = candidates_text(status.candidates);
        entry.status = std::move(status);
        made.push_back(std::move(entry));
    }
    return made;
}

}  // namespace velmor::ports

namespace velmor::ports {

std::vector<std::optional<SocketEvidence>> evidence_of(const SocketTable& table) {
    std::vector<std::optional<SocketEvidence>> told(table.sockets.size());
    Sighting seen;
    seen.unreadable = table.unreadable;
    for (std::size_t i = 0; i < table.sockets.size(); ++i) {
        if (!table.sockets[i].holders.empty()) continue;
        SocketEvidence entry;
        entry.evidence = hidden_evidence(seen, owner_of(table.sockets[i].socket));
        entry.candidates = candidates_text(entry.evidence.candidates);
        told[i] = std::move(entry);
    }
    return told;
}

}  // namespace velmor::ports
