#include "core/probe/unbound.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "core/system/unique_fd.hpp"

namespace velmor {
namespace {

#ifdef __linux__

// The error number of a bind of `address` by a new TCP socket of its
// family, set up by `prepare`; 0 when it bound.
template <class Address, class Prepare>
int bind_error(const Address& address, Prepare&& prepare) {
    UniqueFd fd(::socket(reinterpret_cast<const sockaddr&>(address).sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return errno;
    if (!prepare(fd.get())) return errno;
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return errno;
    return 0;
}

// [::]:port with IPV6_V6ONLY off: a bind that conflicts with every TCP
// socket on the port, the IPv4 ones included.
int dual_stack_wildcard_error(std::uint16_t port) {
    sockaddr_in6 address;
    std::memset(&address, 0, sizeof address);
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = in6addr_any;
    return bind_error(address, [](int fd) {
        int off = 0;
        return ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0;
    });
}

int ipv4_wildcard_error(std::uint16_t port) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    return bind_error(address, [](int) { return true; });
}

#endif

}  // namespace

bool port_unbound(std::uint16_t port) {
#ifdef __linux__
    if (port == 0) return false;  // a bind on port 0 lets the system choose a port
    int error = dual_stack_wildcard_error(port);
    if (error == EAFNOSUPPORT) error = ipv4_wildcard_error(port);
    return error == 0;
#else
    // Other systems' rules for a wildcard bind beside sockets bound to
    // specific addresses differ: the question stays open there.
    (void)port;
    return false;
#endif
}

}  // namespace velmor
