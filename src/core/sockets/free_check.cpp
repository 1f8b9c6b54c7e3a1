#include "core/sockets/free_check.hpp"

#include <sys/stat.h>

#include <atomic>
#include <bitset>

#include "core/platform/process_queries.hpp"
#include "core/probe/listener.hpp"
#include "core/probe/loopback.hpp"
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

// A TCP socket of ours bound to a port the system picks on 127.0.0.1, never
// listening: its port and identity (the inode), empty when it cannot be made.
struct BoundOnly {
    UniqueFd fd;
    std::uint16_t port = 0;
    std::uint64_t id = 0;
};

std::optional<BoundOnly> bound_only_socket() {
    BoundOnly made{loopback::close_on_exec_socket()};
    if (!made.fd) return std::nullopt;
    sockaddr_in address = loopback::address(0);
    socklen_t length = sizeof address;
    struct stat identity {};
    if (::bind(made.fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(made.fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::fstat(made.fd.get(), &identity) != 0) {
        return std::nullopt;
    }
    made.port = ntohs(address.sin_port);
    made.id = static_cast<std::uint64_t>(identity.st_ino);
    return made;
}

// Whether a read of every state lists the sockets that are only bound, as
// newer Linux kernels do: then a port that no socket of the tables is on has
// nothing bound to it, which is what a trial bind would learn. Asked once per
// process with a bound socket of our own, looked for by its identity; a
// trial that cannot be made answers no, and is made again next time.
bool tables_list_bound_sockets() {
    static std::atomic<int> known{-1};
    if (const int answer = known.load(std::memory_order_relaxed); answer >= 0) return answer == 1;
    if (!platform::ProcessQueries(SocketFilter{}).lists_every_socket()) return false;
    const std::optional<BoundOnly> ours = bound_only_socket();
    if (!ours) return false;
    const std::uint16_t port[] = {ours->port};
    const SocketTable table = read_sockets(port, all_states);
    if (table.shortage != 0) return false;
    bool listed = false;
    for (const TableSocket& entry : table.sockets) listed = listed || entry.socket.id == ours->id;
    known.store(listed ? 1 : 0, std::memory_order_relaxed);
    return listed;
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
    // Beyond a few ports, where the tables list every bound socket, the
    // trial bind waits for the ports that the read of every state finds a
    // socket on (binds_deferred): one read then answers for the others,
    // whatever their number. Ports below those this process may bind are
    // tried all the same, since their bind fails whatever is on them.
    bool judge_by_trial_binds() {
        const bool one_by_one = request_.ports.size() <= most_ports_asked_one_by_one;
        binds_deferred_ = !one_by_one && tables_list_bound_sockets();
        const std::uint16_t lowest_bindable = binds_deferred_ ? platform::lowest_port_we_may_bind() : 0;
        for (std::size_t i = 0; i < request_.ports.size(); ++i) {
            if (result_.verdicts[i] == FreeVerdict::taken) continue;
            const std::uint16_t port = request_.ports[i];
            if (binds_deferred_ && port >= lowest_bindable) {
                open_.push_back(i);
                untried_.set(port);
            } else if (probe_error(port) != 0) {
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
        if (binds_deferred_ && !try_ports_with_sockets()) return;
        if (request_.judge_sockets) judge_by_sockets();
    }

    // The trial bind of each port left open that has a socket on it and was
    // not tried yet. False when the caller stops at a port found taken.
    bool try_ports_with_sockets() {
        for (std::size_t i : open_) {
            const std::uint16_t port = request_.ports[i];
            if (result_.verdicts[i] != FreeVerdict::undecided || !untried_.test(port)) continue;
            if (probe_error(port) == 0) continue;
            result_.verdicts[i] = FreeVerdict::taken;
            if (request_.stop_at_taken) return false;
        }
        return true;
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
    std::vector<std::size_t> open_;  // places of the ports the trial bind leaves open (or has not tried)
    bool binds_deferred_ = false;
    PortSet untried_;  // open ports whose trial bind waits for the read of every state
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
