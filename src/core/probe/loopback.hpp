#pragma once
// The TCP sockets on 127.0.0.1 that the probe and the reservation make.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "core/system/unique_fd.hpp"

namespace velmor::loopback {

// 127.0.0.1:port as the system takes it.
inline sockaddr_in address(std::uint16_t port) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A TCP socket that programs started later do not inherit.
inline UniqueFd close_on_exec_socket() {
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

inline bool enable(int fd, int option) {
    int on = 1;
    return ::setsockopt(fd, SOL_SOCKET, option, &on, sizeof on) == 0;
}

}  // namespace velmor::loopback
