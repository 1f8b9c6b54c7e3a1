#include "core/ports/stop_result.hpp"

#include <csignal>
#include <cerrno>
#include <cstdio>

#include <algorithm>
#include <limits>
#include <set>

#include "core/ports/explanations.hpp"

namespace velmor::ports {
namespace {

// One port's share of the stop, with what the texts need.
struct PortCase {
    std::uint16_t port = 0;
    std::span<const StopTarget> targets;
    const PortStatus* before = nullptr;
    const SocketTable* before_table = nullptr;
    const PortStatus* after = nullptr;
    const SocketTable* after_table = nullptr;
    std::vector<Signalled> signalled;
};

std::string port_text(std::uint16_t port) { return "port " + std::to_string(port) + ": "; }

TableProcess named(const StopTarget& target) {
    TableProcess process;
    process.pid = target.pid;
    process.name = target.name;
    process.command = target.command;
    return process;
}

// The processes of `signalled` with `outcome`, described and joined.
std::string who(const PortCase& one, Outcome outcome) {
    std::string joined;
    for (const Signalled& entry : one.signalled) {
        if (entry.outcome != outcome) continue;
        if (!joined.empty()) joined += ", ";
        joined += describe(named(one.targets[entry.target]));
    }
    return joined;
}

bool any_with(const PortCase& one, Outcome outcome) {
    return std::any_of(one.signalled.begin(), one.signalled.end(), [&](const Signalled& s) { return s.outcome == outcome; });
}

std::vector<platform::Pid> pids_with(const PortCase& one, Outcome outcome) {
    std::vector<platform::Pid> pids;
    for (const Signalled& entry : one.signalled) {
        if (entry.outcome == outcome) pids.push_back(one.targets[entry.target].pid);
    }
    return pids;
}

std::set<platform::Pid> target_pids(const PortCase& one) {
    std::set<platform::Pid> pids;
    for (const Signalled& entry : one.signalled) {
        if (entry.outcome != Outcome::skipped) pids.insert(one.targets[entry.target].pid);
    }
    return pids;
}

// A dry run's foreseen outcome: whether this process may signal the
// target, asked with signal 0, which delivers nothing. A pid beyond the
// system's range names no process (and never a group): it is gone, which
// the stop tells.
Outcome foreseen(platform::Pid pid) {
    if (pid == 0 || pid > static_cast<platform::Pid>(std::numeric_limits<pid_t>::max())) return Outcome::running;
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == EPERM ? Outcome::refused : Outcome::running;
}

Outcome outcome_of(const StopTarget& target, bool dry_run) {
    if (target.skipped) return Outcome::skipped;
    if (dry_run) return foreseen(target.pid);
    if (!target.outcome) return Outcome::failed;
    switch (*target.outcome) {
        case TargetOutcome::exited:
            return Outcome::exited;
        case TargetOutcome::running:
            return Outcome::running;
        case TargetOutcome::refused:
            return Outcome::refused;
        case TargetOutcome::gone:
            return Outcome::gone;
        case TargetOutcome::failed:
            break;
    }
    return Outcome::failed;
}

std::vector<Signalled> signalled_for(std::span<const StopTarget> targets, std::uint16_t port, bool dry_run) {
    std::vector<Signalled> found;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const StopTarget& target = targets[i];
        if (std::find(target.ports.begin(), target.ports.end(), port) == target.ports.end()) continue;
        found.push_back(Signalled{i, target.skipped ? 0 : target.signal, outcome_of(target, dry_run)});
    }
    return found;
}

// True when nothing of the asked kinds holds the port any more.
bool stopped_entirely(const PortStatus& state, const SocketTable& table, const StopAsked& asked) {
    if (state.state != PortState::free) return false;
    if (!asked.udp && !asked.all_sockets) return true;
    return std::none_of(state.sockets.begin(), state.sockets.end(), [&](std::size_t index) {
        const TableSocket& entry = table.sockets[index];
        return entry.socket.protocol == Protocol::udp && !entry.holders.empty();
    });
}

// The parent of the targets that holds their listener out of our sight
// and is not signalled: a pre-forking server's master, which respawns the
// workers it loses. The evidence: it is none of the targets; we cannot
// read its descriptors; the listener belongs to its user, while none of
// the listener's visible holders runs as that user (the master made the
// socket and the workers dropped to another user).
std::optional<TableProcess> respawning_master(const PortCase& one) {
    const std::set<platform::Pid> targeted = target_pids(one);
    std::set<platform::Pid> parents;
    for (const StopTarget& target : one.targets) {
        if (targeted.count(target.pid) != 0 && target.parent && *target.parent != 0) parents.insert(*target.parent);
    }
    for (platform::Pid pid : targeted) parents.erase(pid);
    parents.erase(1);
    if (parents.empty()) return std::nullopt;
    const std::vector<platform::Pid> candidates(parents.begin(), parents.end());
    const SocketTable& table = *one.before_table;
    for (const std::optional<ProcessDetails>& details : process_details(candidates)) {
        if (!details || details->descriptors_readable) continue;
        const std::optional<std::uint32_t> uid = details->process.uid;
        for (std::size_t index : one.before->sockets) {
            const TableSocket& entry = table.sockets[index];
            if (entry.socket.protocol != Protocol::tcp || entry.socket.state != SocketState::listen) continue;
            bool held_by_a_target = false;
            bool holder_runs_as_owner = false;
            for (const TableHolder& holder : entry.holders) {
                const TableProcess& process = table.processes[holder.process];
                held_by_a_target = held_by_a_target || targeted.count(process.pid) != 0;
                holder_runs_as_owner = holder_runs_as_owner || process.uid == uid;
            }
            if (held_by_a_target && owner_of(entry.socket) == uid && !holder_runs_as_owner) return details->process;
        }
    }
    return std::nullopt;
}

// The descendants of the stuck targets still running that hold connections
// on the port: a server that ends only once its sessions have ended (a
// database's postmaster) waits for them. A socket that only lingers
// (TIME-WAIT, left closing) has no holder.
std::vector<platform::Pid> client_sessions(const PortCase& one, const std::vector<platform::Pid>& stuck) {
    std::set<platform::Pid> connected;
    for (std::size_t index : one.after->sockets) {
        const TableSocket& entry = one.after_table->sockets[index];
        if (entry.socket.protocol != Protocol::tcp || entry.socket.state == SocketState::listen) continue;
        for (const TableHolder& holder : entry.holders) connected.insert(one.after_table->processes[holder.process].pid);
    }
    if (connected.empty()) return {};
    std::set<platform::Pid> below;
    for (platform::Pid pid : stuck) {
        for (platform::Pid descendant : platform::process_tree(pid)) below.insert(descendant);
    }
    for (platform::Pid pid : stuck) below.erase(pid);
    std::vector<platform::Pid> sessions;
    std::set_intersection(connected.begin(), connected.end(), below.begin(), below.end(), std::back_inserter(sessions));
    return sessions;
}

std::string seconds_text(double seconds) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", seconds);
    return buffer;
}

std::string stuck_text(const PortCase& one, const StopAsked& asked, const StopHints& hints) {
    const std::string holders = who(one, Outcome::running);
    const std::vector<platform::Pid> stuck = pids_with(one, Outcome::running);
    const Signalled* first = nullptr;
    for (const Signalled& entry : one.signalled) {
        if (entry.outcome == Outcome::running) {
            first = &entry;
            break;
        }
    }
    const std::string sent = first != nullptr ? signal_name(first->signal).value_or("the signal") : "the signal";
    const std::vector<platform::Pid> sessions = asked.all_sockets ? std::vector<platform::Pid>{} : client_sessions(one, stuck);
    if (!sessions.empty()) {
        std::string pids;
        for (platform::Pid pid : sessions) pids += (pids.empty() ? "" : ", ") + std::to_string(pid);
        return port_text(one.port) + holders + " got " + sent + " and is waiting for " + std::to_string(sessions.size()) +
               " client session" + (sessions.size() > 1 ? "s" : "") + ": pids " + pids + "; " + hints.all_sockets +
               " stops them too";
    }
    const std::string held = port_text(one.port) + holders + " got " + sent + " and still holds the port after " +
                             seconds_text(asked.waited_seconds) + "s";
    if (asked.force || sent == "SIGKILL") return held;
    return held + " (" + hints.kill_after + " sends SIGKILL to what is left)";
}

// Why a port was not freed, with what would help.
std::string failure_text(const PortCase& one, const StopAsked& asked, const StopHints& hints,
                         const std::optional<TableProcess>& master) {
    const bool held = one.after->state != PortState::free;
    if (any_with(one, Outcome::refused)) {
        return port_text(one.port) + "not allowed to signal " + who(one, Outcome::refused) +
               ": another user's process (try sudo)";
    }
    if (master && held) return port_text(one.port) + "its master " + describe_with_user(*master) + " respawns the workers";
    const bool stuck = any_with(one, Outcome::running);
    if (stuck && held) return stuck_text(one, asked, hints);
    if (any_with(one, Outcome::skipped) && !stuck) {
        return port_text(one.port) + "held by " + who(one, Outcome::skipped) +
               ", this velmor process or one of its ancestors: not signalled";
    }
    if (any_with(one, Outcome::failed)) return port_text(one.port) + "could not signal " + who(one, Outcome::failed);
    std::string text = explain(*one.after, *one.after_table);
    if (one.after->reason == BusyReason::connection) text += " (" + hints.all_sockets + " stops connections too)";
    return port_text(one.port) + text;
}

// Why a dry run's signals would not free the port: a target it may not
// signal, a listener that no visible process holds, or a master that
// respawns the workers; empty when nothing tells.
std::optional<std::string> foreseen_failure(const PortCase& one) {
    const std::string heading = port_text(one.port) + "would not be freed: ";
    if (any_with(one, Outcome::refused)) {
        return heading + "not allowed to signal " + who(one, Outcome::refused) + ": another user's process (try sudo)";
    }
    if (std::optional<std::string> unseen = unseen_listener_text(*one.before, *one.before_table)) {
        return heading + "a listener is " + *unseen;
    }
    if (std::optional<TableProcess> master = respawning_master(one)) {
        return heading + "its master " + describe_with_user(*master) +
               " holds the listener out of sight and is not signalled: it would respawn the workers";
    }
    return std::nullopt;
}

PortStopResult result_of(PortCase& one, const StopAsked& asked, const StopHints& hints) {
    PortStopResult made;
    made.port = one.port;
    const bool has_targets = std::any_of(one.signalled.begin(), one.signalled.end(),
                                         [](const Signalled& s) { return s.outcome != Outcome::skipped; });
    if (one.signalled.empty() && stopped_entirely(*one.before, *one.before_table, asked)) {
        made.result = StopResult::already_free;
    } else if (asked.dry_run) {
        std::optional<std::string> error = has_targets ? foreseen_failure(one) : std::nullopt;
        if (has_targets && !error) {
            made.result = StopResult::dry_run;
        } else {
            StopAsked as_foreseen = asked;
            as_foreseen.all_sockets = false;  // a dry run's texts look for the sessions all the same
            made.result = StopResult::failed;
            made.error = error ? std::move(error) : failure_text(one, as_foreseen, hints, std::nullopt);
        }
    } else if (stopped_entirely(*one.after, *one.after_table, asked)) {
        made.result = StopResult::freed;
    } else {
        made.result = StopResult::failed;
        const std::optional<TableProcess> master = has_targets ? respawning_master(one) : std::nullopt;
        made.error = failure_text(one, asked, hints, master);
    }
    made.processes = std::move(one.signalled);
    return made;
}

}  // namespace

const char* result_name(StopResult result) noexcept {
    switch (result) {
        case StopResult::already_free:
            return "already_free";
        case StopResult::freed:
            return "freed";
        case StopResult::dry_run:
            return "dry_run";
        case StopResult::failed:
            break;
    }
    return "failed";
}

const char* outcome_name(Outcome outcome) noexcept {
    switch (outcome) {
        case Outcome::exited:
            return "exited";
        case Outcome::running:
            return "running";
        case Outcome::refused:
            return "refused";
        case Outcome::gone:
            return "gone";
        case Outcome::skipped:
            return "skipped";
        case Outcome::failed:
            break;
    }
    return "failed";
}

std::optional<std::string> signal_name(int signal) {
    if (signal == 0) return std::nullopt;
    if (signal == SIGKILL) return "SIGKILL";
    if (signal == SIGTERM) return "SIGTERM";
    return "signal " + std::to_string(signal);
}

std::vector<PortStopResult> stop_results(std::span<const StopTarget> targets, StatesRead before, StatesRead after,
                                         const StopAsked& asked, const StopHints& hints) {
    std::vector<PortStopResult> results;
    results.reserve(before.statuses.size());
    for (std::size_t i = 0; i < before.statuses.size(); ++i) {
        PortCase one;
        one.port = before.statuses[i].port;
        one.targets = targets;
        one.before = &before.statuses[i];
        one.before_table = before.table;
        one.after = &after.statuses[i];
        one.after_table = after.table;
        one.signalled = signalled_for(targets, one.port, asked.dry_run);
        results.push_back(result_of(one, asked, hints));
    }
    return results;
}

}  // namespace velmor::ports
