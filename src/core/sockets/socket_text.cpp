#include "core/sockets/socket_text.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace velmor {

const char* protocol_name(Protocol protocol) noexcept {
    switch (protocol) {
        case Protocol::tcp:
            return "tcp";
        case Protocol::udp:
            return "udp";
        case Protocol::other:
            break;
    }
    return "other";
}

const char* state_name(Protocol protocol, SocketState state) noexcept {
    if (protocol != Protocol::tcp) return state == SocketState::established ? "connected" : "bound";
    switch (state) {
        case SocketState::established:
            return "established";
        case SocketState::syn_sent:
            return "syn-sent";
        case SocketState::syn_recv:
        case SocketState::new_syn_recv:
            return "syn-recv";
        case SocketState::fin_wait1:
            return "fin-wait-1";
        case SocketState::fin_wait2:
            return "fin-wait-2";
        case SocketState::time_wait:
            return "time-wait";
        case SocketState::close:
            return "bound";
        case SocketState::close_wait:
            return "close-wait";
        case SocketState::last_ack:
            return "last-ack";
        case SocketState::listen:
            return "listen";
        case SocketState::closing:
            return "closing";
        case SocketState::unknown:
            break;
    }
    return "unknown";
}

std::string address_text(Family family, const Endpoint& endpoint) {
    char buffer[INET6_ADDRSTRLEN] = {};
    int af = family == Family::ipv4 ? AF_INET : AF_INET6;
    if (::inet_ntop(af, endpoint.address.data(), buffer, sizeof buffer) == nullptr) return "?";
    return buffer;
}

bool has_remote_end(const SocketInfo& socket) noexcept {
    return socket.state != SocketState::listen && socket.state != SocketState::close;
}

}  // namespace velmor
