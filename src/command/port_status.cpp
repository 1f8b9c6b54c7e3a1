#include "command/port_status.hpp"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "command/names.hpp"
#include "command/subcommands.hpp"
#include "core/probe/listener.hpp"
#include "core/sockets/free_check.hpp"
#include "core/sockets/socket_text.hpp"
#include "core/system/printable.hpp"

namespace velmor::command {
namespace {

bool is_tcp(const TableSocket& entry) { return entry.socket.protocol == Protocol::tcp; }

bool is_closing(SocketState state) {
    return state == SocketState::fin_wait1 || state == SocketState::fin_wait2 || state == SocketState::last_ack ||
           state == SocketState::closing;
}

// A connection that its process closed (or that outlived it) while it still
// closes: the kernel keeps it, with no inode, held by no process.
bool left_closing(const SocketInfo& socket) {
    return socket.protocol == Protocol::tcp && is_closing(socket.state) && socket.id == 0;
}

const char* state_word(PortState state) {
    switch (state) {
        case PortState::listening:
            return "listening";
        case PortState::busy:
            return "busy";
        case PortState::free:
            break;
    }
    return "free";
}

Json reason_json(BusyReason reason) {
    switch (reason) {
        case BusyReason::time_wait:
            return "time-wait";
        case BusyReason::closing:
            return "closing";
        case BusyReason::connection:
            return "connection";
        case BusyReason::hidden_owner:
            return "hidden-owner";
        case BusyReason::unknown:
            return "unknown";
        case BusyReason::none:
            break;
    }
    return Json();
}

Json hidden_json(Hidden hidden) {
    switch (hidden) {
        case Hidden::unreadable:
            return "unreadable";
        case Hidden::no_process:
            return "no-process";
        case Hidden::other_pid_namespace:
            return "other-pid-namespace";
        case Hidden::none:
            break;
    }
    return Json();
}

// "user NAME", "uid N" or "an unknown user".
std::string user_text(std::optional<std::uint32_t> uid) {
    if (!uid) return "an unknown user";
    std::optional<std::string> name = user_name(uid);
    if (name && !name->empty()) return "user " + text::printable(*name);
    return "uid " + std::to_string(*uid);
}

// Why the holder of a socket of our own network namespace is not seen,
// from the evidence, and what would help.
std::string hidden_holder_text(const SocketInfo& socket, const HiddenEvidence& evidence) {
    const std::string owner = user_text(socket_uid(socket));
    if (::geteuid() != 0) return "held by a process of " + owner + " that is not visible to you (try sudo)";
    switch (evidence.hidden) {
        case Hidden::unreadable:
            return "held by one of the processes whose descriptors cannot be read: " + candidates_text(evidence.candidates);
        case Hidden::no_process:
            return "held by no process (in flight between processes, or kept by the kernel)";
        case Hidden::other_pid_namespace:
            return "held by a process of " + owner + " that is not visible here: it runs in another pid namespace (a container)";
        case Hidden::none:
            break;
    }
    return "held by a process of " + owner + " that is not visible here";
}

class StatusReader {
public:
    explicit StatusReader(const SocketTable& table) : table_(table) {}

    PortStatus status(std::uint16_t port) {
        PortStatus status;
        status.port = port;
        for (std::size_t i = 0; i < table_.sockets.size(); ++i) {
            if (table_.sockets[i].socket.local.port == port) status.sockets.push_back(i);
        }
        if (listening(status) || held(status)) return status;
        status.probe_error = probe_error(port);
        if (status.probe_error == 0) return status;
        status.state = PortState::busy;
        status.reason = BusyReason::unknown;
        for (std::size_t i : status.sockets) {
            if (!is_tcp(table_.sockets[i])) continue;
            if (status.reason != BusyReason::closing) status.reason = BusyReason::time_wait;
            if (left_closing(table_.sockets[i].socket)) status.reason = BusyReason::closing;
        }
        return status;
    }

private:
    // A TCP listener on the port: its first visible holder owns it.
    bool listening(PortStatus& status) {
        const TableSocket* first = nullptr;
        for (std::size_t i : status.sockets) {
            const TableSocket& entry = table_.sockets[i];
            if (!is_tcp(entry) || entry.socket.state != SocketState::listen) continue;
            if (first == nullptr) first = &entry;
            if (!entry.holders.empty() && !status.owner) status.owner = entry.holders.front().process;
        }
        if (first == nullptr) return false;
        status.state = PortState::listening;
        if (!status.owner) {
            status.reason = BusyReason::hidden_owner;
            status.evidence = evidence_for(first->socket);
        }
        return true;
    }

    // A TCP socket on the port that does not only outlive its connection.
    bool held(PortStatus& status) {
        const TableSocket* unseen = nullptr;
        bool any = false;
        for (std::size_t i : status.sockets) {
            const TableSocket& entry = table_.sockets[i];
            if (!is_tcp(entry) || lingers(entry.socket)) continue;
            any = true;
            if (unseen == nullptr && entry.holders.empty()) unseen = &entry;
        }
        if (!any) return false;
        status.state = PortState::busy;
        status.reason = BusyReason::connection;
        if (unseen != nullptr) status.evidence = evidence_for(unseen->socket);
        return true;
    }

    HiddenEvidence evidence_for(const SocketInfo& socket) {
        if (!view_known_) view_ = platform::process_view();
        view_known_ = true;
        return hidden_evidence(table_.unreadable, socket_uid(socket), view_);
    }

    const SocketTable& table_;
    // What this process sees of the system's processes, asked once when needed.
    bool view_known_ = false;
    platform::ProcessView view_ = platform::ProcessView::every;
};

std::string unknown_cause(int error) {
    std::string text = "no socket holds it in this network namespace, yet a bind on 127.0.0.1 fails: ";
    text += error != 0 ? std::strerror(error) : "unknown error";
    if (error == EACCES) text += " (ports below the unprivileged limit need privileges)";
    return text;
}

std::string connection_text(const PortStatus& status, const SocketTable& table) {
    for (std::size_t i : status.sockets) {
        const TableSocket& entry = table.sockets[i];
        if (!is_tcp(entry) || entry.socket.state == SocketState::listen || lingers(entry.socket)) continue;
        const std::string what = entry.socket.state == SocketState::close
                                     ? std::string("a bound socket")
                                     : "a connection (" + std::string(state_name(Protocol::tcp, entry.socket.state)) + ")";
        if (!entry.holders.empty()) {
            return "held by " + what + " of " + described(table.processes[entry.holders.front().process]) +
                   ", not a listener";
        }
        return "held by " + what + ", " + hidden_holder_text(entry.socket, status.evidence);
    }
    return "held by a connection";
}

}  // namespace

PortStatuses port_statuses(std::span<const std::uint16_t> ports) {
    TableRequest request;
    request.filter.add_ports(ports);
    request.filter.tcp_states = all_states;
    request.filter.udp_states = all_states;
    PortStatuses found{read_socket_table(request), {}};
    require_descriptors(found.table.shortage, "to read the socket tables and the processes");
    StatusReader reader(found.table);
    for (std::uint16_t port : ports) found.ports.push_back(reader.status(port));
    return found;
}

std::string explained(const PortStatus& status, const SocketTable& table) {
    switch (status.state) {
        case PortState::free:
            return "free";
        case PortState::listening:
            if (status.owner) return "listening: " + described(table.processes[*status.owner]);
            for (std::size_t i : status.sockets) {
                const TableSocket& entry = table.sockets[i];
                if (is_tcp(entry) && entry.socket.state == SocketState::listen) {
                    return "listening, " + hidden_holder_text(entry.socket, status.evidence);
                }
            }
            return "listening";
        case PortState::busy:
            break;
    }
    switch (status.reason) {
        case BusyReason::connection:
            return connection_text(status, table);
        case BusyReason::time_wait:
            return "only TIME-WAIT sockets of closed connections remain (they end within a minute); "
                   "their sockets did not set SO_REUSEADDR, so no bind can take them over";
        case BusyReason::closing:
            return "only closing connections remain, held by no process (the kernel ends them, within "
                   "tcp_fin_timeout); their sockets did not set SO_REUSEADDR, so no bind can take them over";
        default:
            break;
    }
    return unknown_cause(status.probe_error);
}

Json status_json(const PortStatus& status, const SocketTable& table) {
    Json owner;
    if (status.owner) {
        const TableProcess& process = table.processes[*status.owner];
        owner = Json::Object{{"pid", Json(static_cast<std::int64_t>(process.pid))},
                             {"name", repaired(process.name)},
                             {"cmd", repaired(process.command)}};
    }
    Json::Array sockets;
    for (std::size_t i : status.sockets) sockets.push_back(socket_json(table.sockets[i], table));
    Json::Array candidates;
    for (const TableProcess& process : status.evidence.candidates) candidates.push_back(process_json(process));
    return Json::Object{{"port", Json(static_cast<std::int64_t>(status.port))},
                        {"state", state_word(status.state)},
                        {"reason", reason_json(status.reason)},
                        {"owner", std::move(owner)},
                        {"sockets", std::move(sockets)},
                        {"hidden", hidden_json(status.evidence.hidden)},
                        {"candidates", std::move(candidates)}};
}

}  // namespace velmor::command
