#include "core/terminate/stop.hpp"

#include <unistd.h>

#include <algorithm>
#include <unordered_set>

#include "core/sockets/find_owners.hpp"
#include "core/sockets/socket_table.hpp"

namespace velmor {
namespace {

using platform::Pid;

// This process and every process above it.
std::unordered_set<Pid> protected_processes() {
    std::unordered_set<Pid> protect;
    for (Pid pid : process_ancestry(static_cast<Pid>(::getpid()))) protect.insert(pid);
    return protect;
}

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

    const SocketFilter asked = filter();
    const std::unordered_set<Pid> protect = protected_processes();
    const std::unordered_set<std::uint64_t> trials = own_trial_ids();
    // Per process of the table (which lists them in pid order): the first
    // socket of the asked kinds it holds, and the ports it holds them on.
    std::vector<std::optional<std::pair<platform::HeldSocket, std::vector<std::uint16_t>>>> found(table_.processes.size());
    for (const TableSocket& entry : table_.sockets) {
        if (!asked.wants(entry.socket) || trials.contains(entry.socket.id)) continue;
        for (const TableHolder& holder : entry.holders) {
            auto& seen = found[holder.process];
            if (!seen) seen.emplace(platform::HeldSocket{table_.processes[holder.process].pid, holder.task, holder.fd, entry.socket.id}, std::vector<std::uint16_t>{});
            std::vector<std::uint16_t>& ports = seen->second;
            if (std::find(ports.begin(), ports.end(), entry.socket.local.port) == ports.end()) {
                ports.push_back(entry.socket.local.port);
            }
        }
    }
    platform::ProcessQueries queries(SocketFilter{});
    for (std::size_t i = 0; i < found.size(); ++i) {
        if (!found[i]) continue;
        const TableProcess& process = table_.processes[i];
        targets_.push_back(StopTarget{process.pid, process.name, process.command, std::move(found[i]->second),
                                      protect.contains(process.pid), 0, std::nullopt, queries.parent(process.pid)});
        held_.push_back(found[i]->first);
    }
}

void PortStop::send(int signal) {
    std::vector<platform::HeldSocket> chosen;
    for (std::size_t i = 0; i < targets_.size(); ++i) {
        if (targets_[i].skipped) continue;
        signalled_.push_back(i);
        chosen.push_back(held_[i]);
    }
    termination_.emplace(chosen);
    termination_->keep_lasting(filter());
    termination_->send(signal);
}

void PortStop::send_to_survivors(int signal) {
    if (termination_) termination_->send_to_survivors(signal);
}

bool PortStop::settled() const {
    if (!termination_) return true;
    std::vector<Pid> alive = termination_->survivors();
    if (alive.empty()) return true;
    // Walk only the survivors: do any of them still hold such a socket?
    SocketTable table = read_socket_table(TableRequest{filter(), true, std::move(alive)});
    const std::unordered_set<std::uint64_t> trials = own_trial_ids();
    return std::none_of(table.sockets.begin(), table.sockets.end(), [&](const TableSocket& entry) {
        return !entry.holders.empty() && !trials.contains(entry.socket.id);
    });
}

void PortStop::finish() {
    if (!termination_) return;
    std::vector<Termination::Report> reports = termination_->reports();
    for (std::size_t k = 0; k < reports.size() && k < signalled_.size(); ++k) {
        StopTarget& target = targets_[signalled_[k]];
        target.signal = reports[k].signal;
        target.outcome = reports[k].outcome;
    }
}

}  // namespace velmor
