#include "core/sockets/free_check.hpp"

#include <bitset>

#include "core/probe/listener.hpp"
#include "core/probe/unbound.hpp"

namespace velmor {
namespace {

// Up to this many ports, each port the trial bind leaves open is asked
// whether anything is bound to it (one bind, a few microseconds); beyond,
// one read of the sockets in every state answers for all of them (a walk of
// the kernel's whole connection table, milliseconds, whatever the ports).
constexpr std::size_t most_ports_asked_one_by_one = 64;

using PortSet = std::bitset<65536>;

SocketTable read_sockets(std::span<const std::uint16_t> ports, StateSet tcp_states) {
    TableRequest request;
    request.filter.add_ports(ports);
    request.filter.tcp_states = tcp_states;
    request.holders = false;
    return read_socket_table(request);
}

PortSet ports_of(const SocketTable& table) {
    PortSet ports;
    for (const TableSocket& entry : table.sockets) ports.set(entry.socket.local.port);
    return ports;
}

class FreeChecker {
public:
    explicit FreeChecker(const FreeRequest& request) : request_(request) {
        result_.verdicts.assign(request.ports.size(), FreeVerdict::undecided);
    }

    FreeCheck run() {
        if (!judge_by_listeners()) return std::move(result_);
        if (!judge_by_trial_binds()) return std::move(result_);
        read_open_ports();
        return std::move(result_);
    }

private:
    // False when the check is over: a port listens and the caller stops at
    // the first taken port, or the table could not be read.
    bool judge_by_listeners() {
        SocketTable listening = read_sockets(request_.ports, listening_states);
        if ((result_.shortage = listening.shortage) != 0) return false;
        PortSet listened = ports_of(listening);
        bool any = false;
        for (std::size_t i = 0; i < request_.ports.size(); ++i) {
            if (!listened.test(request_.ports[i])) continue;
            result_.verdicts[i] = FreeVerdict::taken;
            any = true;
        }
        return !(any && request_.stop_at_taken);
    }

    // False when the caller stops at this port, the first found taken.
    bool judge_by_trial_binds() {
        const bool one_by_one = request_.ports.size() <= most_ports_asked_one_by_one;
        for (std::size_t i = 0; i < request_.ports.size(); ++i) {
            if (result_.verdicts[i] == FreeVerdict::taken) continue;
            const std::uint16_t port = request_.ports[i];
            if (probe_error(port) != 0) {
                result_.verdicts[i] = FreeVerdict::taken;
                if (request_.stop_at_taken) return false;
            } else if (one_by_one && port_unbound(port)) {
                result_.verdicts[i] = FreeVerdict::free;
            } else {
                open_.push_back(i);
            }
        }
        return true;
    }

    // The ports that the trial bind leaves open, from one read of their
    // sockets in every state: those without a TCP socket are free, the
    // others stay undecided, with their sockets handed back.
    void read_open_ports() {
        if (open_.empty()) return;
        std::vector<std::uint16_t> ports;
        ports.reserve(open_.size());
        for (std::size_t i : open_) ports.push_back(request_.ports[i]);
        result_.undecided = read_sockets(ports, all_states);
        if ((result_.shortage = result_.undecided.shortage) != 0) return;
        // Where the table is not the whole story (no system-wide socket
        // tables), an empty read proves nothing: the caller judges.
        if (tables_list_every_socket()) {
            PortSet occupied = ports_of(result_.undecided);
            for (std::size_t i : open_) {
                if (!occupied.test(request_.ports[i])) result_.verdicts[i] = FreeVerdict::free;
            }
        }
        if (request_.judge_sockets) judge_by_sockets();
    }

    // The trial bind succeeded on each port left: a socket that holds it
    // (one that does not only linger) makes it taken.
    void judge_by_sockets() {
        PortSet held;
        for (const TableSocket& entry : result_.undecided.sockets) {
            if (entry.socket.protocol == Protocol::tcp && !lingers(entry.socket)) held.set(entry.socket.local.port);
        }
        for (std::size_t i : open_) {
            if (result_.verdicts[i] != FreeVerdict::undecided) continue;
            result_.verdicts[i] = held.test(request_.ports[i]) ? FreeVerdict::taken : FreeVerdict::free;
        }
    }

    static bool tables_list_every_socket() { return platform::ProcessQueries(SocketFilter{}).lists_every_socket(); }

    const FreeRequest& request_;
    FreeCheck result_;
    std::vector<std::size_t> open_;  // places of the ports the trial bind leaves open
};

}  // namespace

bool lingers(const SocketInfo& socket) noexcept {
    if (socket.protocol != Protocol::tcp) return false;
    switch (socket.state) {
        case SocketState::time_wait:
            return true;
        case SocketState::fin_wait1:
        case SocketState::fin_wait2:
        case SocketState::last_ack:
        case SocketState::closing:
            return socket.id == 0;
        default:
            return false;
    }
}

FreeCheck check_free(const FreeRequest& request) { return FreeChecker(request).run(); }

}  // namespace velmor
