#pragma once
// The socket tables of the caller's network namespace on Linux: TCP, UDP
// and UDP-Lite sockets over IPv4 and IPv6, from NETLINK_SOCK_DIAG, or from
// the /proc/thread-self/net text tables where netlink is refused.

#include <vector>

#include "core/platform/socket.hpp"

namespace velmor::platform::linux_tables {

// Every socket that `filter` wants, in no particular order. When a table
// could not be read for lack of a descriptor, `shortage` (if given) is set
// to EMFILE or ENFILE.
std::vector<SocketInfo> load(const SocketFilter& filter, int* shortage = nullptr);

}  // namespace velmor::platform::linux_tables
