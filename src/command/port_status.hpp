#pragma once
// The state of ports as the command shows it: the engine's states and texts
// (core/ports), written as the command's lines and JSON.

#include <cstdint>
#include <span>
#include <string>

#include "command/json.hpp"
#include "core/ports/explanations.hpp"
#include "core/ports/port_status.hpp"

namespace velmor::command {

// One read of every socket on `ports` with its holders, and each port's
// state from it; a shortage of descriptors is said in one line.
ports::PortsReading port_statuses(std::span<const std::uint16_t> ports);

// The engine's line on why a port is what it is, a busy port's without "busy: ".
std::string explained(const ports::PortStatus& status, const SocketTable& table);

Json status_json(const ports::PortStatus& status, const SocketTable& table);

}  // namespace velmor::command
