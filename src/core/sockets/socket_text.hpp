#pragma once
// How a socket's protocol, state and address are written, the same in every
// face: names in lower case with hyphens, addresses as ss writes them
// (without brackets).

#include <string>

#include "core/platform/socket.hpp"

namespace velmor {

// "tcp", "udp" or "other".
const char* protocol_name(Protocol protocol) noexcept;

// The kernel's state names, in lower case with hyphens; a TCP socket that
// neither listens nor connects is "bound", and so is an unconnected UDP one
// ("connected" when it is connected).
const char* state_name(Protocol protocol, SocketState state) noexcept;

// The address of `endpoint` as text ("127.0.0.1", "::1"); "?" when it
// cannot be written.
std::string address_text(Family family, const Endpoint& endpoint);

// False for a socket that listens or is only bound: it has no remote end.
bool has_remote_end(const SocketInfo& socket) noexcept;

}  // namespace velmor
