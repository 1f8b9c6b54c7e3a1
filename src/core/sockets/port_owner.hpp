#pragma once
// What an owner search finds: one process holding a local port.

#include <cstdint>
#include <string>
#include <vector>

#include "core/platform/process_handle.hpp"

namespace velmor {

struct PortOwner {
    std::uint32_t pid = 0;
    std::string name;  // never empty, except for searches that do not need names
    std::string cmd;   // empty when it cannot be read
    // Where the process was found holding the port, so that a later step
    // can check that the same process still holds the same socket before
    // signalling it.
    platform::HeldSocket held;
};

using PortOwners = std::vector<PortOwner>;

}  // namespace velmor
