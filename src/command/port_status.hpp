#pragma once
// What is on a port and why, as `check` tells it: from one read of every
// socket on the ports (TCP in every state, UDP) with their holders, and a
// trial bind for a port that no socket decides. "listening" when a TCP
// listener holds it on any local address; "free" when nothing listens and a
// listener can be set up (TIME-WAIT and closing sockets that a bind with
// SO_REUSEADDR takes over do not count); "busy" otherwise, with the reason.
// UDP sockets never make a port busy; they are among its sockets.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "command/json.hpp"
#include "command/rendering.hpp"
#include "core/sockets/socket_table.hpp"

namespace velmor::command {

enum class PortState { free, listening, busy };
enum class BusyReason { none, time_wait, closing, connection, hidden_owner, unknown };

struct PortStatus {
    std::uint16_t port = 0;
    PortState state = PortState::free;
    BusyReason reason = BusyReason::none;
    std::optional<std::size_t> owner;   // index into the table's processes
    std::vector<std::size_t> sockets;   // indices into the table's sockets
    int probe_error = 0;                // of the trial bind on 127.0.0.1 (0: it succeeded)
    HiddenEvidence evidence;
};

struct PortStatuses {
    SocketTable table;
    std::vector<PortStatus> ports;  // in the order asked
};

PortStatuses port_statuses(std::span<const std::uint16_t> ports);

// One line on why a port is what it is, for people (a busy port's without
// "busy: ").
std::string explained(const PortStatus& status, const SocketTable& table);

Json status_json(const PortStatus& status, const SocketTable& table);

}  // namespace velmor::command
