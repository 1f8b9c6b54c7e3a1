#pragma once
// Whether anything at all is bound to a TCP port, asked of the system with
// one bind. Plain system calls, nothing of the interpreter.

#include <cstdint>

namespace velmor {

// True when no TCP socket of this network namespace is bound to `port`, on
// any address and in any state (listening, connected, only bound, closing,
// TIME-WAIT): a bind of the IPv6 wildcard that also takes IPv4, without
// SO_REUSEADDR or SO_REUSEPORT, succeeds only then (IPv4's wildcard on a
// system without IPv6, where no IPv6 socket can exist). False whenever that
// bind fails, whatever the reason, and on systems whose bind rules are not
// known to be these: false only says that the question is still open.
bool port_unbound(std::uint16_t port);

}  // namespace velmor
