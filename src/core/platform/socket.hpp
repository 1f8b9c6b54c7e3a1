#pragma once
// What the core knows of one internet socket, on every platform: the
// vocabulary in which each platform layer reports the sockets it finds.

#include <array>
#include <bitset>
#include <cstdint>
#include <optional>
#include <span>

namespace velmor {

// `other` is any other internet socket: UDP-Lite on Linux, raw IP on macOS.
enum class Protocol : std::uint8_t { tcp, udp, other };
enum class Family : std::uint8_t { ipv4, ipv6 };

// Socket states, numbered as Linux numbers TCP states; other platforms map
// theirs onto these. A UDP socket is `close` when only bound and
// `established` when connected.
enum class SocketState : std::uint8_t {
    unknown = 0,
    established = 1,
    syn_sent = 2,
    syn_recv = 3,
    fin_wait1 = 4,
    fin_wait2 = 5,
    time_wait = 6,
    close = 7,
    close_wait = 8,
    last_ack = 9,
    listen = 10,
    closing = 11,
    new_syn_recv = 12,
};

// A set of states, one bit per state number.
using StateSet = std::uint32_t;

constexpr StateSet state_bit(SocketState state) { return StateSet{1} << static_cast<unsigned>(state); }
inline constexpr StateSet listening_states = state_bit(SocketState::listen);
// Every state a socket can be held in by a process: a TIME-WAIT socket and a
// half-open connection have no descriptor.
inline constexpr StateSet held_states =
    ~(state_bit(SocketState::time_wait) | state_bit(SocketState::new_syn_recv) | state_bit(SocketState::unknown));
inline constexpr StateSet all_states = ~(state_bit(SocketState::new_syn_recv) | state_bit(SocketState::unknown));
// What a UDP listener is: a UDP socket that is bound and not connected.
inline constexpr StateSet udp_listening_states = all_states & ~state_bit(SocketState::established);

struct Endpoint {
    // An IPv4 address in the first four bytes; an IPv6 address in all sixteen.
    std::array<std::uint8_t, 16> address{};
    std::uint16_t port = 0;  // host byte order
};

inline constexpr std::uint32_t unknown_uid = 0xFFFFFFFF;

struct SocketInfo {
    Protocol protocol = Protocol::tcp;
    Family family = Family::ipv4;
    SocketState state = SocketState::unknown;
    Endpoint local;
    Endpoint remote;
    std::uint32_t uid = unknown_uid;  // the socket's owner as the system records it
    // Stable identity of the socket while it lives: the inode on Linux,
    // the kernel's socket address on macOS. 0 for a socket without one
    // (a TIME-WAIT socket).
    std::uint64_t id = 0;
    std::optional<bool> v6only;  // for IPv6 sockets, where the system tells
};

// Which sockets a search or a listing is about: local ports and states.
class SocketFilter {
public:
    StateSet tcp_states = 0;  // TCP sockets in these states count; 0: no TCP socket
    StateSet udp_states = 0;  // UDP sockets likewise
    bool other = false;       // the other internet sockets count as UDP ones

    // Only the given local ports (0s ignored), or every port.
    void add_ports(std::span<const std::uint16_t> ports) noexcept;
    void add_every_port() noexcept;

    bool wants(const SocketInfo& socket) const noexcept;
    bool wants_port(std::uint16_t port) const noexcept { return port != 0 && ports_.test(port); }
    bool no_port() const noexcept { return ports_.none(); }
    // The lowest and highest wanted port, for filters the system applies itself.
    std::uint16_t lowest_port() const noexcept { return lowest_; }
    std::uint16_t highest_port() const noexcept { return highest_; }

private:
    std::bitset<65536> ports_;
    std::uint16_t lowest_ = 65535;
    std::uint16_t highest_ = 0;
};

}  // namespace velmor
