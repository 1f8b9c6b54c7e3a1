#include "core/platform/linux/socket_tables.hpp"

#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "core/platform/linux/proc_files.hpp"
#include "core/system/unique_fd.hpp"

namespace velmor::platform::linux_tables {
namespace {

using linux_proc::parse_number;

#ifdef VELMOR_FORCE_PROC_NET
constexpr bool netlink_enabled = false;  // test builds: exercise the /proc/net reader
#else
constexpr bool netlink_enabled = true;
#endif

constexpr std::size_t netlink_buffer_size = 32 * 1024;
constexpr std::size_t proc_net_buffer_size = 16 * 1024;

struct Table {
    Family family;
    Protocol protocol;
    const char* proc_net_file;
};

constexpr Table tables[] = {
    {Family::ipv4, Protocol::tcp, "tcp"},         {Family::ipv6, Protocol::tcp, "tcp6"},
    {Family::ipv4, Protocol::udp, "udp"},         {Family::ipv6, Protocol::udp, "udp6"},
    {Family::ipv4, Protocol::other, "udplite"},   {Family::ipv6, Protocol::other, "udplite6"},
};

std::uint8_t address_family(Family family) { return family == Family::ipv4 ? AF_INET : AF_INET6; }

std::uint8_t protocol_number(Protocol protocol) {
    switch (protocol) {
        case Protocol::tcp:
            return IPPROTO_TCP;
        case Protocol::udp:
            return IPPROTO_UDP;
        case Protocol::other:
            break;
    }
    return IPPROTO_UDPLITE;
}

StateSet states_for(const SocketFilter& filter, Protocol protocol) {
    switch (protocol) {
        case Protocol::tcp:
            return filter.tcp_states;
        case Protocol::udp:
            return filter.udp_states;
        case Protocol::other:
            break;
    }
    return filter.other ? filter.udp_states : 0;
}

class Loader {
public:
    explicit Loader(const SocketFilter& filter) : filter_(filter) {}

    // EMFILE or ENFILE when a table could not be read for lack of a descriptor.
    int shortage() const noexcept { return shortage_; }

    std::vector<SocketInfo> run() {
        if (netlink_enabled) netlink_.reset(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
        for (const Table& table : tables) {
            StateSet states = states_for(filter_, table.protocol);
            if (states != 0) load(table, states);
        }
        return std::move(sockets_);
    }

private:
    void add(const SocketInfo& socket) {
        if (filter_.wants(socket)) sockets_.push_back(socket);
    }

    void load(const Table& table, StateSet states) {
        std::size_t before = sockets_.size();
        if (netlink_ && load_netlink(table, states)) return;
        // Whatever a refused dump delivered is dropped before the file is
        // read, and the socket, which may still hold the rest of that dump,
        // is not used again.
        sockets_.resize(before);
        netlink_.reset();
        load_proc_net(table);
    }

    bool load_netlink(const Table& table, StateSet states);
    void load_proc_net(const Table& table);

    const SocketFilter& filter_;
    UniqueFd netlink_;
    std::vector<char> buffer_;
    std::vector<SocketInfo> sockets_;
    int shortage_ = 0;
};

// One inet_diag dump: the sockets of one family and protocol in `states`,
// with a local port in the filter's range, filtered by the kernel.
bool Loader::load_netlink(const Table& table, StateSet states) {
    struct Request {
        nlmsghdr header;
        inet_diag_req_v2 body;
        nlattr filter;
        inet_diag_bc_op ops[4];
    };
    static_assert(sizeof(Request) ==
                      sizeof(nlmsghdr) + sizeof(inet_diag_req_v2) + sizeof(nlattr) + 4 * sizeof(inet_diag_bc_op),
                  "the request is sent as laid out, without padding");

    const std::uint16_t low = filter_.lowest_port();
    const std::uint16_t high = filter_.highest_port();
    const bool narrowed = low > 1 || high < 65535;

    Request request{};
    request.header.nlmsg_len = narrowed ? sizeof(Request) : NLMSG_LENGTH(sizeof(inet_diag_req_v2));
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.body.sdiag_family = address_family(table.family);
    request.body.sdiag_protocol = protocol_number(table.protocol);
    request.body.idiag_states = states;
    if (narrowed) {
        request.filter.nla_type = INET_DIAG_REQ_BYTECODE;
        request.filter.nla_len = sizeof(nlattr) + sizeof(request.ops);
        // low <= sport, then sport <= high; a failed test jumps past the
        // end, which rejects the socket. A comparison's port rides in the next op.
        request.ops[0] = {INET_DIAG_BC_S_GE, 8, 4 * sizeof(inet_diag_bc_op) + 4};
        request.ops[1] = {0, 0, low};
        request.ops[2] = {INET_DIAG_BC_S_LE, 8, 2 * sizeof(inet_diag_bc_op) + 4};
        request.ops[3] = {0, 0, high};
    }

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    for (;;) {
        ssize_t sent = ::sendto(netlink_.get(), &request, request.header.nlmsg_len, 0,
                                reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
        if (sent == static_cast<ssize_t>(request.header.nlmsg_len)) break;
        if (sent < 0 && errno == EINTR) continue;
        return false;
    }

    buffer_.resize(netlink_buffer_size);
    for (;;) {
        ssize_t got = ::recv(netlink_.get(), buffer_.data(), buffer_.size(), 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        auto end = static_cast<std::size_t>(got);
        for (std::size_t at = 0; end - at >= sizeof(nlmsghdr);) {
            nlmsghdr header;
            std::memcpy(&header, buffer_.data() + at, sizeof header);
            if (header.nlmsg_len < sizeof header || header.nlmsg_len > end - at) return false;
            if (header.nlmsg_type == NLMSG_DONE) return true;
            if (header.nlmsg_type == NLMSG_ERROR) return false;
            if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY && header.nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
                const char* body = buffer_.data() + at + NLMSG_HDRLEN;
                inet_diag_msg message;
                std::memcpy(&message, body, sizeof message);
                SocketInfo socket;
                socket.protocol = table.protocol;
                socket.family = table.family;
                socket.state = static_cast<SocketState>(message.idiag_state);
                std::memcpy(socket.local.address.data(), message.id.idiag_src, 16);
                std::memcpy(socket.remote.address.data(), message.id.idiag_dst, 16);
                socket.local.port = ntohs(message.id.idiag_sport);
                socket.remote.port = ntohs(message.id.idiag_dport);
                socket.uid = message.idiag_uid;
                socket.id = message.idiag_inode;
                // The attributes that follow: the kernel says whether an
                // IPv6 socket that listens or is only bound is IPv6-only.
                std::size_t attributes = NLMSG_ALIGN(sizeof(inet_diag_msg));
                std::size_t length = header.nlmsg_len - NLMSG_HDRLEN;
                while (attributes + sizeof(rtattr) <= length) {
                    rtattr attribute;
                    std::memcpy(&attribute, body + attributes, sizeof attribute);
                    if (attribute.rta_len < sizeof(rtattr) || attributes + attribute.rta_len > length) break;
                    if (attribute.rta_type == INET_DIAG_SKV6ONLY && attribute.rta_len >= RTA_LENGTH(1)) {
                        socket.v6only = body[attributes + RTA_LENGTH(0)] != 0;
                    }
                    attributes += RTA_ALIGN(attribute.rta_len);
                }
                add(socket);
            }
            at += NLMSG_ALIGN(header.nlmsg_len);
            if (at > end) break;
        }
    }
}

// An address as the text tables print it: each 32-bit word of it as eight
// hex digits of its value in host byte order.
bool parse_address(std::string_view hex, Family family, std::array<std::uint8_t, 16>& out) {
    const std::size_t words = family == Family::ipv4 ? 1 : 4;
    if (hex.size() != words * 8) return false;
    for (std::size_t i = 0; i < words; ++i) {
        std::optional<std::uint32_t> word = parse_number<std::uint32_t>(hex.substr(i * 8, 8), 16);
        if (!word) return false;
        std::memcpy(out.data() + i * 4, &*word, 4);
    }
    return true;
}

bool parse_endpoint(std::string_view text, Family family, Endpoint& out) {
    std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return false;
    std::optional<std::uint16_t> port = parse_number<std::uint16_t>(text.substr(colon + 1), 16);
    if (!port || !parse_address(text.substr(0, colon), family, out.address)) return false;
    out.port = *port;
    return true;
}

// The same table as text: "sl local_address rem_address st ... uid timeout inode ...",
// the state in hex, the uid and inode in decimal.
void Loader::load_proc_net(const Table& table) {
    char path[64] = "/proc/thread-self/net/";
    std::strncat(path, table.proc_net_file, sizeof path - std::strlen(path) - 1);
    UniqueFd file(::open(path, O_RDONLY | O_CLOEXEC));
    if (!file) {
        // Netlink, tried first, needed a descriptor too: none is left.
        if (errno == EMFILE || errno == ENFILE) shortage_ = errno;
        return;
    }

    auto parse_line = [&](std::string_view line) {
        std::string_view fields[10];
        std::size_t count = 0;
        for (std::size_t at = 0; count < 10;) {
            at = line.find_first_not_of(' ', at);
            if (at == std::string_view::npos) break;
            std::size_t stop = std::min(line.find(' ', at), line.size());
            fields[count++] = line.substr(at, stop - at);
            at = stop;
        }
        if (count < 10) return;
        SocketInfo socket;
        socket.protocol = table.protocol;
        socket.family = table.family;
        std::optional<unsigned> state = parse_number<unsigned>(fields[3], 16);
        std::optional<std::uint32_t> uid = parse_number<std::uint32_t>(fields[7]);
        std::optional<std::uint64_t> inode = parse_number<std::uint64_t>(fields[9]);
        if (!state || *state > 12 || !uid || !inode) return;
        if (!parse_endpoint(fields[1], table.family, socket.local)) return;
        if (!parse_endpoint(fields[2], table.family, socket.remote)) return;
        socket.state = static_cast<SocketState>(*state);
        socket.uid = *uid;
        socket.id = *inode;
        add(socket);
    };

    buffer_.resize(proc_net_buffer_size);
    std::size_t kept = 0;  // bytes of an unfinished line at the front of the buffer
    bool header = true;
    for (;;) {
        if (kept == buffer_.size()) kept = 0;  // no line is this long; drop it
        ssize_t got = ::read(file.get(), buffer_.data() + kept, buffer_.size() - kept);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        std::string_view rest(buffer_.data(), kept + static_cast<std::size_t>(got));
        std::size_t newline;
        while ((newline = rest.find('\n')) != std::string_view::npos) {
            if (!header) parse_line(rest.substr(0, newline));
            header = false;
            rest.remove_prefix(newline + 1);
        }
        std::memmove(buffer_.data(), rest.data(), rest.size());
        kept = rest.size();
    }
}

}  // namespace

std::vector<SocketInfo> load(const SocketFilter& filter, int* shortage) {
    if (filter.no_port()) return {};
    Loader loader(filter);
    std::vector<SocketInfo> sockets = loader.run();
    if (shortage != nullptr && loader.shortage() != 0) *shortage = loader.shortage();
    return sockets;
}

}  // namespace velmor::platform::linux_tables
