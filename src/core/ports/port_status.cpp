#include "core/ports/port_status.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <tuple>
#include <unordered_map>

#include "core/probe/listener.hpp"

namespace velmor::ports {
namespace {

bool is_tcp(const SocketInfo& socket) noexcept { return socket.protocol == Protocol::tcp; }

const SocketInfo& socket_at(const SocketTable& table, std::size_t index) { return table.sockets[index].socket; }

// The possible holders, the processes of the socket's user first, then by pid.
std::vector<TableProcess> ranked(std::span<const TableProcess> unreadable, std::optional<std::uint32_t> owner_uid) {
    std::vector<TableProcess> candidates(unreadable.begin(), unreadable.end());
    std::stable_sort(candidates.begin(), candidates.end(), [&](const TableProcess& a, const TableProcess& b) {
        return std::make_tuple(a.uid != owner_uid, a.pid) < std::make_tuple(b.uid != owner_uid, b.pid);
    });
    return candidates;
}

platform::ProcessView view_of(Sighting& seen) {
    if (!seen.view) seen.view = platform::process_view();
    return *seen.view;
}

int trial_error(const Sighting& seen, std::size_t index, std::uint16_t port) {
    return seen.probe_errors.empty() ? probe_error(port) : seen.probe_errors[index];
}

// A listener holds the port: its owner, or the evidence of why none is seen.
PortStatus listening_status(PortStatus status, const SocketTable& table, const std::vector<std::size_t>& listening,
                            Sighting& seen) {
    status.state = PortState::listening;
    for (std::size_t index : listening) {
        const auto& holders = table.sockets[index].holders;
        if (!holders.empty()) {
            status.owner = holders.front().process;
            return status;
        }
    }
    status.reason = BusyReason::hidden_owner;
    Evidence evidence = hidden_evidence(seen, owner_of(socket_at(table, listening.front())));
    status.hidden = evidence.hidden;
    status.candidates = std::move(evidence.candidates);
    return status;
}

// A socket that is no listener and does not only linger holds the port.
PortStatus connection_status(PortStatus status, const SocketTable& table, const std::vector<std::size_t>& held,
                             Sighting& seen) {
    status.state = PortState::busy;
    status.reason = BusyReason::connection;
    auto unseen = std::find_if(held.begin(), held.end(), [&](std::size_t index) { return table.sockets[index].holders.empty(); });
    if (unseen != held.end()) {
        Evidence evidence = hidden_evidence(seen, owner_of(socket_at(table, *unseen)));
        status.hidden = evidence.hidden;
        status.candidates = std::move(evidence.candidates);
    }
    return status;
}

// Nothing holds the port but lingering sockets, or nothing at all: the trial
// bind says. With `lasting`, a bind that fails for want of the address while
// no socket is there met a socket of a moment (another process's trial of
// the port), which does not make the port busy.
PortStatus unheld_status(PortStatus status, const SocketTable& table, const std::vector<std::size_t>& tcp, int failure,
                         bool lasting) {
    if (failure == 0 || (lasting && tcp.empty() && failure == EADDRINUSE)) {
        status.state = PortState::free;
        return status;
    }
    status.state = PortState::busy;
    status.probe_error = failure;
    status.reason = BusyReason::unknown;
    if (!tcp.empty()) {
        const bool closing = std::any_of(tcp.begin(), tcp.end(),
                                         [&](std::size_t index) { return is_left_closing(socket_at(table, index)); });
        status.reason = closing ? BusyReason::closing : BusyReason::time_wait;
    }
    return status;
}

std::vector<std::size_t> holders_on(const SocketTable& table, std::span<const std::size_t> on_port) {
    std::vector<std::size_t> holders;
    for (std::size_t index : on_port) {
        for (const TableHolder& holder : table.sockets[index].holders) holders.push_back(holder.process);
    }
    auto pid = [&](std::size_t index) { return table.processes[index].pid; };
    std::sort(holders.begin(), holders.end(), [&](std::size_t a, std::size_t b) { return pid(a) < pid(b); });
    auto same = [&](std::size_t a, std::size_t b) { return pid(a) == pid(b); };
    holders.erase(std::unique(holders.begin(), holders.end(), same), holders.end());
    return holders;
}

PortStatus status_of(const SocketTable& table, std::uint16_t port, std::vector<std::size_t> on_port, Sighting& seen,
                     std::size_t position) {
    std::vector<std::size_t> tcp, listening, held;
    for (std::size_t index : on_port) {
        const SocketInfo& socket = socket_at(table, index);
        if (!is_tcp(socket)) continue;
        tcp.push_back(index);
        if (socket.state == SocketState::listen) listening.push_back(index);
        if (!lingers(socket)) held.push_back(index);
    }
    PortStatus status;
    status.port = port;
    status.holders = holders_on(table, on_port);
    status.sockets = std::move(on_port);
    if (!listening.empty()) return listening_status(std::move(status), table, listening, seen);
    if (!held.empty()) return connection_status(std::move(status), table, held, seen);
    return unheld_status(std::move(status), table, tcp, trial_error(seen, position, port), seen.lasting);
}

}  // namespace

bool is_left_closing(const SocketInfo& socket) noexcept {
    if (!is_tcp(socket) || socket.id != 0) return false;
    switch (socket.state) {
        case SocketState::fin_wait1:
        case SocketState::fin_wait2:
        case SocketState::last_ack:
        case SocketState::closing:
            return true;
        default:
            return false;
    }
}

bool lingers(const SocketInfo& socket) noexcept {
    return (is_tcp(socket) && socket.state == SocketState::time_wait) || is_left_closing(socket);
}

bool runs_as_root() noexcept { return ::geteuid() == 0; }

std::optional<std::uint32_t> owner_of(const SocketInfo& socket) noexcept {
    if (socket.uid == unknown_uid) return std::nullopt;
    return socket.uid;
}

Evidence hidden_evidence(Sighting& seen, std::optional<std::uint32_t> owner_uid) {
    const platform::ProcessView view = view_of(seen);
    if (view == platform::ProcessView::foreign) return {Hidden::other_pid_namespace, {}};  // the walk's pids are another namespace's
    if (!seen.unreadable.empty()) return {Hidden::unreadable, ranked(seen.unreadable, owner_uid)};
    if (view == platform::ProcessView::own_namespace) return {Hidden::other_pid_namespace, {}};
    if (runs_as_root()) return {Hidden::no_process, {}};
    return {};
}

std::vector<PortStatus> port_statuses(const SocketTable& table, std::span<const std::uint16_t> ports, Sighting& seen) {
    std::vector<PortStatus> statuses;
    statuses.reserve(ports.size());
    std::unordered_map<std::uint16_t, std::vector<std::size_t>> by_port;
    for (std::size_t index = 0; index < table.sockets.size(); ++index) {
        by_port[socket_at(table, index).local.port].push_back(index);
    }
    for (std::size_t position = 0; position < ports.size(); ++position) {
        const std::uint16_t port = ports[position];
        auto found = by_port.find(port);
        std::vector<std::size_t> on_port = found == by_port.end() ? std::vector<std::size_t>{} : found->second;
        statuses.push_back(status_of(table, port, std::move(on_port), seen, position));
    }
    return statuses;
}

}  // namespace velmor::ports

namespace velmor::ports {

PortsReading read_port_statuses(std::span<const std::uint16_t> ports) {
    TableRequest request;
    request.filter.add_ports(ports);
    request.filter.tcp_states = all_states;
    request.filter.udp_states = all_states;
    PortsReading reading;
    reading.table = read_socket_table(request);
    if (reading.table.shortage != 0) return reading;
    Sighting seen;
    seen.unreadable = reading.table.unreadable;
    reading.statuses = port_statuses(reading.table, ports, seen);
    return reading;
}

}  // namespace velmor::ports
