#pragma once
// The owner search: one pass over every visible process. Runs without the
// interpreter lock and touches nothing of the interpreter.

#include <cstdint>
#include <optional>
#include <span>

#include "owners/port_owner.hpp"

namespace velmor {

// Every process holding `port`, in process-list order, one record per pid.
// With `listening_only`, only TCP sockets in the LISTEN state count;
// otherwise TCP sockets in any state and the other internet sockets do.
PortOwners find_owners(std::uint16_t port, bool listening_only);

// The first listening owner of `port` in process-list order; the pass stops there.
std::optional<PortOwner> find_first_listener(std::uint16_t port);

// For each port of `ports` (nonzero, duplicates allowed), its first listening
// owner in process-list order, all from a single pass. The result is parallel
// to `ports`.
std::vector<std::optional<PortOwner>> find_first_listeners(std::span<const std::uint16_t> ports);

}  // namespace velmor
