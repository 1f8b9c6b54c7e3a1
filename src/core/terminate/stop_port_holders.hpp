#pragma once
// Stopping the holders of a port as kill does it: signal every process that
// holds it, then wait up to one second for the port to become free. Runs
// without the interpreter lock and touches nothing of the interpreter.

#include <cstdint>
#include <vector>

#include "core/terminate/termination.hpp"

namespace velmor {

// The processes kill signals for `port`, from one read of the socket table
// (any socket kind) in the walk's order, each with the sockets it holds
// there. This process's own trial listeners hold nothing; the process
// itself is a target like any other when it holds the port.
std::vector<HeldSockets> port_targets(std::uint16_t port);

enum class KillOutcome { freed, permission_denied, not_freed };

// Signals each of the port_targets of `port` once with SIGKILL when `force` is set or
// SIGTERM otherwise, and waits for the probe to find the port free. `port`
// is never 0.
KillOutcome stop_port_holders(std::uint16_t port, bool force);

}  // namespace velmor
