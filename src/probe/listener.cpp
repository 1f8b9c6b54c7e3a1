#include "probe/listener.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace velmor {
namespace {

constexpr int listen_backlog = 128;

sockaddr_in loopback_address(std::uint16_t port) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

bool enable(int fd, int option) {
    int on = 1;
    return ::setsockopt(fd, SOL_SOCKET, option, &on, sizeof on) == 0;
}

// A TCP socket that programs started later do not inherit.
UniqueFd close_on_exec_socket() {
#ifdef SOCK_CLOEXEC
    return UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
#else
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    if (fd && ::ioctl(fd.get(), FIOCLEX) == -1) {
        int error = errno;
        fd.reset();
        errno = error;
    }
    return fd;
#endif
}

}  // namespace

std::variant<UniqueFd, int> open_listener(std::uint16_t port) {
    UniqueFd fd = close_on_exec_socket();
    if (!fd) return errno;
    sockaddr_in address = loopback_address(port);
    bool listening =
#ifdef SO_NOSIGPIPE
        enable(fd.get(), SO_NOSIGPIPE) &&
#endif
        enable(fd.get(), SO_REUSEADDR) &&
        ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::listen(fd.get(), listen_backlog) == 0;
    if (!listening) return errno;  // read before the descriptor closes on return
    return fd;
}

bool probe_port(std::uint16_t port) { return std::holds_alternative<UniqueFd>(open_listener(port)); }

}  // namespace velmor
