#pragma once
// The trial bind that decides whether a port is free. Plain system calls,
// nothing of the interpreter: callable with or without the interpreter lock.

#include <cstdint>
#include <variant>

#include "probe/unique_fd.hpp"

namespace velmor {

// An open, listening, close-on-exec socket on 127.0.0.1:port, or the error
// number of the step that failed (then nothing of the call is left open).
std::variant<UniqueFd, int> open_listener(std::uint16_t port);

// True when a listener can be set up on 127.0.0.1:port right now. Never
// called with port 0, which would let the system choose a port.
bool probe_port(std::uint16_t port);

}  // namespace velmor
