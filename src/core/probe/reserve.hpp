#pragma once
// Reserving a port: a port the system chooses, left with a closed
// connection in TIME-WAIT on 127.0.0.1. While that connection waits out
// TIME-WAIT (about a minute on Linux), the system hands the port to no
// bind on port 0 and to no outgoing connection, yet a server that sets
// SO_REUSEADDR can bind it at once. Nothing stays open when it returns.

#include <cstdint>
#include <variant>

namespace velmor {

// The reserved port, or the error number of the step that failed.
std::variant<std::uint16_t, int> reserve_port();

}  // namespace velmor
