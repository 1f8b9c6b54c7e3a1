#pragma once
// Stopping the holders of a port as kill does it: signal every process that
// holds it, then wait up to one second for the port to become free. Runs
// without the interpreter lock and touches nothing of the interpreter.

#include <cstdint>

namespace velmor {

enum class KillOutcome { freed, permission_denied, not_freed };

// Searches the holders of `port` (any socket kind), signals each once with
// SIGKILL when `force` is set or SIGTERM otherwise, and waits for the probe
// to find the port free. `port` is never 0.
KillOutcome stop_port_holders(std::uint16_t port, bool force);

}  // namespace velmor
