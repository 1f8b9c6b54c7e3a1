#pragma once
// What an owner search finds: one process holding a local port.

#include <cstdint>
#include <string>
#include <vector>

namespace velmor {

struct PortOwner {
    std::uint32_t pid = 0;
    std::string name;  // never empty
    std::string cmd;   // empty when it cannot be read
    // The descriptor and the socket identity through which the process was
    // found to hold the port, so that a later step can check that the same
    // process still holds the same socket before signalling it.
    int fd = -1;
    std::uint64_t socket_id = 0;
};

using PortOwners = std::vector<PortOwner>;

}  // namespace velmor
