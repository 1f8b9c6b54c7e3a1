#include "core/probe/reserve.hpp"

#include <sys/time.h>
#include <unistd.h>

#include "core/probe/loopback.hpp"

namespace velmor {
namespace {

// How long to wait for the loopback connection's end to arrive; it comes
// at once, this only bounds a system that never delivers it.
constexpr time_t close_wait_seconds = 1;

// A listener on 127.0.0.1 at a port the system picks, and that port.
bool listen_anywhere(UniqueFd& listener, std::uint16_t& port) {
    listener = loopback::close_on_exec_socket();
    // The reuse flag passes to the accepted end and so to its TIME-WAIT,
    // which is what lets a server that sets it bind the port at once.
    sockaddr_in address = loopback::address(0);
    if (!listener || !loopback::enable(listener.get(), SO_REUSEADDR) ||
        ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener.get(), 1) != 0) {
        return false;
    }
    socklen_t length = sizeof address;
    if (::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
    port = ntohs(address.sin_port);
    return port != 0;
}

// Waits until the peer has closed its end: the read gives end of file.
void await_close(int fd) {
    timeval limit{close_wait_seconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    char byte;
    while (::recv(fd, &byte, 1, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

std::variant<std::uint16_t, int> reserve_port() {
    UniqueFd listener;
    std::uint16_t port = 0;
    if (!listen_anywhere(listener, port)) return errno;

    UniqueFd client = loopback::close_on_exec_socket();
    sockaddr_in address = loopback::address(port);
    if (!client) return errno;
    int connected;
    do {
        connected = ::connect(client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (connected != 0 && errno == EINTR);
    if (connected != 0) return errno;
    UniqueFd served;
    do {
        served.reset(::accept(listener.get(), nullptr, nullptr));
    } while (!served && errno == EINTR);
    if (!served) return errno;
    listener.reset();

    // The server's end closes first, so the TIME-WAIT is on its side: on
    // the reserved port. The client sees the end, then closes its own.
    served.reset();
    await_close(client.get());
    client.reset();
    return port;
}

}  // namespace velmor
