#include "core/terminate/stop.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <unordered_map>
#include <unordered_set>

#include "core/probe/listener.hpp"
#include "core/sockets/free_check.hpp"
#include "core/sockets/socket_table.hpp"
#include "core/system/clock.hpp"

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

// Reads of the ports after the stop, a pause apart, to tell sockets that
// last from sockets of a moment.
constexpr int after_rereads = 3;
constexpr std::int64_t after_reread_pause_ns = 2'000'000;

// Every socket on the ports, in every state (with `other`, the other
// internet sockets too); with `holders`, after one walk of every process.
SocketTable read_ports(std::span<const std::uint16_t> ports, bool other, bool holders) {
    SocketFilter everything;
    everything.add_ports(ports);
    everything.tcp_states = all_states;
    everything.udp_states = all_states;
    everything.other = other;
    return read_socket_table(TableRequest{everything, holders, std::nullopt});
}

bool is_tcp_listener(const SocketInfo& socket) {
    return socket.protocol == Protocol::tcp && socket.state == SocketState::listen;
}

// Per port, the trial bind's error, where no TCP listener makes it needless.
std::vector<int> probe_ports(std::span<const std::uint16_t> ports, std::span<const TableSocket> sockets) {
    std::unordered_set<std::uint16_t> listened;
    for (const TableSocket& entry : sockets) {
        if (is_tcp_listener(entry.socket)) listened.insert(entry.socket.local.port);
    }
    std::vector<int> errors;
    errors.reserve(ports.size());
    for (std::uint16_t port : ports) errors.push_back(listened.contains(port) ? 0 : probe_error(port));
    return errors;
}

// Whether every port is free by its sockets and its trial bind: no TCP
// socket that holds it, and the bind succeeds, or, for sockets that lasted,
// fails for want of the address while no TCP socket at all is there (it
// met a socket of a moment).
bool all_look_free(std::span<const std::uint16_t> ports, std::span<const TableSocket> sockets,
                   std::span<const int> probe_errors, bool lasting) {
    for (std::size_t i = 0; i < ports.size(); ++i) {
        bool any_tcp = false;
        for (const TableSocket& entry : sockets) {
            if (entry.socket.local.port != ports[i] || entry.socket.protocol != Protocol::tcp) continue;
            if (!lingers(entry.socket)) return false;
            any_tcp = true;
        }
        if (probe_errors[i] == 0) continue;
        if (!(lasting && !any_tcp && probe_errors[i] == EADDRINUSE)) return false;
    }
    return true;
}

void pause_for(std::int64_t nanoseconds) {
    timespec pause{0, static_cast<long>(nanoseconds)};
    while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

}  // namespace

SocketFilter StopRun::filter() const {
    SocketFilter wanted;
    wanted.add_ports(request_.ports);
    wanted.tcp_states = request_.all_sockets ? held_states : listening_states;
    if (request_.udp || request_.all_sockets) wanted.udp_states = held_states;
    wanted.other = request_.all_sockets;
    return wanted;
}

StopRun::StopRun(StopRequest request) : request_(std::move(request)) {
    // Every socket on the ports, in every state: the targets come from the
    // kinds asked for, and the whole table tells the caller what was there.
    // Every process is walked, even when only some may be targets: the
    // holders of what is on the ports are the caller's answer too.
    before_.table = read_ports(request_.ports, request_.all_sockets, true);
    const SocketTable& table = before_.table;
    shortage_ = table.shortage;
    if (shortage_ == 0) before_.probe_errors = probe_ports(request_.ports, table.sockets);
    std::unordered_set<Pid> allowed;
    if (request_.only) allowed.insert(request_.only->begin(), request_.only->end());
    const SocketFilter asked = filter();
    const std::unordered_set<Pid> protect = protected_processes(shortage_);
    const std::unordered_set<std::uint64_t> trials = own_trial_ids();
    // Per process of the table (which lists them in pid order): the sockets
    // of the asked kinds it holds, and the ports it holds them on.
    std::vector<FoundTarget> found(table.processes.size());
    for (const TableSocket& entry : table.sockets) {
        if (!asked.wants(entry.socket) || trials.contains(entry.socket.id)) continue;
        for (const TableHolder& holder : entry.holders) {
            if (request_.only && !allowed.contains(table.processes[holder.process].pid)) continue;
            FoundTarget& seen = found[holder.process];
            seen.held.emplace_back(staying_rank(entry.socket),
                                   platform::HeldSocket{table.processes[holder.process].pid, holder.task, holder.fd, entry.socket.id});
            if (std::find(seen.ports.begin(), seen.ports.end(), entry.socket.local.port) == seen.ports.end()) {
                seen.ports.push_back(entry.socket.local.port);
            }
        }
    }
    platform::ProcessQueries queries(SocketFilter{});
    for (std::size_t i = 0; i < found.size(); ++i) {
        if (found[i].held.empty()) continue;
        const TableProcess& process = table.processes[i];
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

void StopRun::foresee(int signal) {
    for (StopTarget& target : targets_) {
        if (!target.skipped) target.signal = signal;
    }
}

void StopRun::send(int signal) {
    if (shortage_ != 0) return;  // no answer to act on
    std::vector<HeldSockets> chosen;
    for (std::size_t i = 0; i < targets_.size(); ++i) {
        if (targets_[i].skipped) continue;
        signalled_.push_back(i);
        chosen.push_back(held_[i]);
    }
    termination_.emplace(std::move(chosen));
    termination_->keep_lasting(filter(), before_.table.listed_by);
    termination_->send(signal);
    if (termination_->short_of_descriptors() != 0) shortage_ = termination_->short_of_descriptors();
}

void StopRun::send_to_survivors(int signal) {
    if (termination_) termination_->send_to_survivors(signal);
}

bool StopRun::settled() {
    if (!termination_) return true;
    std::vector<Pid> alive = termination_->survivors();
    if (alive.empty()) return true;
    // One that is exiting may have closed its sockets already: waiting for
    // its exit, which follows at once, lets the stop say it exited.
    if (termination_->survivor_exiting()) return false;
    // Walk only the survivors: do any of them still hold such a socket?
    SocketTable table = read_socket_table(TableRequest{filter(), true, std::move(alive)});
    if (table.shortage != 0) return false;  // cannot tell yet
    last_check_.emplace();
    for (const TableSocket& entry : table.sockets) {
        for (const TableHolder& holder : entry.holders) {
            (*last_check_)[entry.socket.id].push_back(table.processes[holder.process].pid);
        }
    }
    const std::unordered_set<std::uint64_t> trials = own_trial_ids();
    return std::none_of(table.sockets.begin(), table.sockets.end(), [&](const TableSocket& entry) {
        return !entry.holders.empty() && !trials.contains(entry.socket.id);
    });
}

void StopRun::finish() {
    if (!termination_) return;
    finish_targets();
    read_after();
}

void StopRun::finish_targets() {
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

// The ports once the stop is over: read again (a pause apart, up to
// after_rereads times) while they do not look free, and only the sockets
// seen in two reads in a row kept. Another process that tries the port in
// a loop holds a socket on it for an instant, each time a new one; a socket
// that lasts is there in both reads.
void StopRun::read_after() {
    SocketTable seen = read_ports(request_.ports, request_.all_sockets, false);
    if ((shortage_ = seen.shortage) != 0) return;
    std::vector<TableSocket> kept = seen.sockets;
    std::vector<int> probes = probe_ports(request_.ports, kept);
    bool lasting = false;
    for (int reread = 0; reread < after_rereads && !all_look_free(request_.ports, kept, probes, lasting); ++reread) {
        pause_for(after_reread_pause_ns);
        SocketTable now = read_ports(request_.ports, request_.all_sockets, false);
        if ((shortage_ = now.shortage) != 0) return;
        std::unordered_set<std::uint64_t> known;
        for (const TableSocket& entry : seen.sockets) known.insert(entry.socket.id);
        kept.clear();
        // TIME-WAIT sockets have no identity: they are kept as they are.
        for (const TableSocket& entry : now.sockets) {
            if (entry.socket.id == 0 || known.contains(entry.socket.id)) kept.push_back(entry);
        }
        seen = std::move(now);
        lasting = true;
        probes = probe_ports(request_.ports, kept);
    }
    std::unordered_map<std::uint64_t, const TableSocket*> found_before;
    for (const TableSocket& entry : before_.table.sockets) {
        if (entry.socket.id != 0) found_before.emplace(entry.socket.id, &entry);
    }
    const SocketFilter asked = filter();
    bool holders_unknown = false;
    for (TableSocket& entry : kept) {
        if (entry.socket.id == 0) continue;
        auto known = found_before.find(entry.socket.id);
        if (known != found_before.end()) entry.holders = holders_after(*known->second, asked);
        // A socket that came since the walk, or one that outlasted every
        // holder the walk saw (a worker respawned with it, a descriptor
        // passed on): only a walk can name who holds it now.
        if (known == found_before.end() || entry.holders.empty()) holders_unknown = true;
    }
    if (holders_unknown && name_holders_again(kept)) {
        after_.probe_errors = std::move(probes);
        after_.lasting = lasting;
        return;
    }
    after_.table.sockets = std::move(kept);
    after_.table.processes = before_.table.processes;
    after_.table.unreadable = before_.table.unreadable;
    after_.probe_errors = std::move(probes);
    after_.lasting = lasting;
}

// Fills after() from a new walk, for the sockets of `lasting` (those
// without an identity, TIME-WAIT, as they are): false when the walk ran
// short of descriptors, and after() is then left to what the stop knows.
bool StopRun::name_holders_again(const std::vector<TableSocket>& lasting) {
    SocketTable walked = read_ports(request_.ports, request_.all_sockets, true);
    if (walked.shortage != 0) return false;
    std::unordered_map<std::uint64_t, TableSocket*> found;
    for (TableSocket& entry : walked.sockets) {
        if (entry.socket.id != 0) found.emplace(entry.socket.id, &entry);
    }
    // In the order of `lasting`, which is the table's; a socket gone by the
    // walk is told as it was read, without holders.
    std::vector<TableSocket> sockets;
    sockets.reserve(lasting.size());
    for (const TableSocket& entry : lasting) {
        auto now = entry.socket.id != 0 ? found.find(entry.socket.id) : found.end();
        if (now != found.end()) {
            sockets.push_back(std::move(*now->second));
        } else {
            sockets.push_back(TableSocket{entry.socket, {}});
        }
    }
    after_.table = std::move(walked);
    after_.table.sockets = std::move(sockets);
    return true;
}

// The holders of a socket found before the stop that still hold it: not a
// target that exited or was gone, nor a surviving one that the last check
// no longer found holding it. Processes that were not signalled (skipped,
// refused, or none of the targets) hold what they held.
std::vector<TableHolder> StopRun::holders_after(const TableSocket& before, const SocketFilter& asked) const {
    std::vector<TableHolder> kept;
    for (const TableHolder& holder : before.holders) {
        const Pid pid = before_.table.processes[holder.process].pid;
        auto target = std::find_if(targets_.begin(), targets_.end(), [&](const StopTarget& t) { return t.pid == pid; });
        if (target != targets_.end() && target->outcome) {
            const TargetOutcome outcome = *target->outcome;
            if (outcome == TargetOutcome::exited || outcome == TargetOutcome::gone) continue;
            if (outcome == TargetOutcome::running && last_check_ && asked.wants(before.socket)) {
                auto checked = last_check_->find(before.socket.id);
                if (checked == last_check_->end() ||
                    std::find(checked->second.begin(), checked->second.end(), pid) == checked->second.end()) {
                    continue;
                }
            }
        }
        kept.push_back(holder);
    }
    return kept;
}

}  // namespace velmor
