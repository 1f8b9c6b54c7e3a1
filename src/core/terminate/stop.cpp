#include "core/terminate/stop.hpp"

#include <unistd.h>

#include <algorithm>
#include <unordered_set>

#include "core/sockets/socket_table.hpp"

namespace velmor {
namespace {

using platform::Pid;

// This process and every process above it.
std::unordered_set<Pid> protected_processes(int& shortage) {
    std::unordered_set<Pid> protect;
    for (Pid pid : process_ancestry(static_cast<Pid>(::getpid()), &shortage)) protect.insert(pid);
    return protect;
}

// How long a kind of socket is likely to stay with its process: a listener
// stays until the server ends, a bound socket as long, a connection may
// end at any moment. A target is pinned by the first one it still holds.
int staying_rank(const SocketInfo& socket) {
    if (socket.protocol == Protocol::tcp && socket.state == SocketState::listen) return 0;
    if (socket.protocol != Protocol::tcp || socket.state == SocketState::close) return 1;
    return 2;
}

struct FoundTarget {
    std::vector<std::pair<int, platform::HeldSocket>> held;  // with their staying ranks
    std::vector<std::uint16_t> ports;
};

}  // namespace

SocketFilter PortStop::filter() const {
    SocketFilter wanted;
    wanted.add_ports(request_.ports);
    wanted.tcp_states = request_.all_sockets ? held_states : listening_states;
    if (request_.udp || request_.all_sockets) wanted.udp_states = held_states;
    wanted.other = request_.all_sockets;
    return wanted;
}

PortStop::PortStop(StopRequest request) : request_(std::move(request)) {
    // Every socket on the ports, in every state: the targets come from the
    // kinds asked for, and the whole table tells the caller what was there.
    SocketFilter everything;
    everything.add_ports(request_.ports);
    everything.tcp_states = all_states;
    everything.udp_states = all_states;
    everything.other = request_.all_sockets;
    table_ = read_socket_table(TableRequest{everything, true, request_.only});

    shortage_ = table_.shortage;
    const SocketFilter asked = filter();
    const std::unordered_set<Pid> protect = protected_processes(shortage_);
    const std::unordered_set<std::uint64_t> trials = own_trial_ids();
    // Per process of the table (which lists them in pid order): the sockets
    // of the asked kinds it holds, and the ports it holds them on.
    std::vector<FoundTarget> found(table_.processes.size());
    for (const TableSocket& entry : table_.sockets) {
        if (!asked.wants(entry.socket) || trials.contains(entry.socket.id)) continue;
        for (const TableHolder& holder : entry.holders) {
            FoundTarget& seen = found[holder.process];
            seen.held.emplace_back(staying_rank(entry.socket),
                                   platform::HeldSocket{table_.processes[holder.process].pid, holder.task, holder.fd, entry.socket.id});
            if (std::find(seen.ports.begin(), seen.ports.end(), entry.socket.local.port) == seen.ports.end()) {
                seen.ports.push_back(entry.socket.local.port);
            }
        }
    }
    platform::ProcessQueries queries(SocketFilter{});
    for (std::size_t i = 0; i < found.size(); ++i) {
        if (found[i].held.empty()) continue;
        const TableProcess& process = table_.processes[i];
        targets_.push_back(StopTarget{process.pid, process.name, process.command, std::move(found[i].ports),
                                      protect.contains(process.pid), 0, std::nullopt, queries.parent(process.pid)});
        std::stable_sort(found[i].held.begin(), found[i].held.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        HeldSockets held;
        held.reserve(found[i].held.size());
        for (const auto& [rank, socket] : found[i].held) held.push_back(socket);
        held_.push_back(std::move(held));
    }
}

void PortStop::send(int signal) {
    if (shortage_ != 0) return;  // no answer to act on
    std::vector<HeldSockets> chosen;
    for (std::size_t i = 0; i < targets_.size(); ++i) {
        if (targets_[i].skipped) continue;
        signalled_.push_back(i);
        chosen.push_back(held_[i]);
    }
    termination_.emplace(std::move(chosen));
    termination_->keep_lasting(filter());
    termination_->send(signal);
    if (termination_->short_of_descriptors() != 0) shortage_ = termination_->short_of_descriptors();
}

void PortStop::send_to_survivors(int signal) {
    if (termination_) termination_->send_to_survivors(signal);
}

bool PortStop::settled() const {
    if (!termination_) return true;
    std::vector<Pid> alive = termination_->survivors();
    if (alive.empty()) return true;
    // One that is exiting may have closed its sockets already: waiting for
    // its exit, which follows at once, lets the stop say it exited.
    if (termination_->survivor_exiting()) return false;
    // Walk only the survivors: do any of them still hold such a socket?
    SocketTable table = read_socket_table(TableRequest{filter(), true, std::move(alive)});
    if (table.shortage != 0) return false;  // cannot tell yet
    const std::unordered_set<std::uint64_t> trials = own_trial_ids();
    return std::none_of(table.sockets.begin(), table.sockets.end(), [&](const TableSocket& entry) {
        return !entry.holders.empty() && !trials.contains(entry.socket.id);
    });
}

void PortStop::finish() {
    if (!termination_) return;
    std::vector<Termination::Report> reports = termination_->reports();
    std::vector<bool> passing(targets_.size(), false);
    for (std::size_t k = 0; k < reports.size() && k < signalled_.size(); ++k) {
        StopTarget& target = targets_[signalled_[k]];
        target.signal = reports[k].signal;
        target.outcome = reports[k].outcome;
        passing[signalled_[k]] = reports[k].passing;
    }
    // A process whose sockets on the ports were each there for a moment only
    // (another process's trial of a port) held nothing: it is no target.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < targets_.size(); ++i) {
        if (passing[i]) continue;
        if (kept != i) {
            targets_[kept] = std::move(targets_[i]);
            held_[kept] = std::move(held_[i]);
        }
        ++kept;
    }
    targets_.resize(kept);
    held_.resize(kept);
    signalled_.clear();
}

}  // namespace velmor
