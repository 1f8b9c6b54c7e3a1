#include "core/platform/socket.hpp"

#include <algorithm>

namespace velmor {

void SocketFilter::add_ports(std::span<const std::uint16_t> ports) noexcept {
    for (std::uint16_t port : ports) {
        if (port == 0) continue;
        ports_.set(port);
        lowest_ = std::min(lowest_, port);
        highest_ = std::max(highest_, port);
    }
}

void SocketFilter::add_every_port() noexcept {
    ports_.set();
    ports_.reset(0);
    lowest_ = 1;
    highest_ = 65535;
}

bool SocketFilter::wants(const SocketInfo& socket) const noexcept {
    StateSet states = 0;
    switch (socket.protocol) {
        case Protocol::tcp:
            states = tcp_states;
            break;
        case Protocol::udp:
            states = udp_states;
            break;
        case Protocol::other:
            states = other ? udp_states : 0;
            break;
    }
    return (states & state_bit(socket.state)) != 0 && wants_port(socket.local.port);
}

}  // namespace velmor
