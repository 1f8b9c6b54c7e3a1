#include "core/terminate/stop_port_holders.hpp"

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <unordered_set>
#include <vector>

#include "core/probe/listener.hpp"
#include "core/sockets/socket_table.hpp"
#include "core/system/clock.hpp"
#include "core/system/poll_loop.hpp"
#include "core/terminate/termination.hpp"

namespace velmor {
namespace {

constexpr unsigned long long wait_limit_seconds = 1;
constexpr std::int64_t pause_nanoseconds = 50'000'000;

// Every socket a process can hold on `port`: TCP in any state, UDP and the
// other internet sockets.
SocketFilter any_socket_on(std::uint16_t port) {
    const std::uint16_t wanted[] = {port};
    SocketFilter filter;
    filter.add_ports(wanted);
    filter.tcp_states = held_states;
    filter.udp_states = held_states;
    filter.other = true;
    return filter;
}

}  // namespace

std::vector<HeldSockets> port_targets(std::uint16_t port) {
    // Trials open before the read are known by their sockets (a child that
    // has a copy of one between fork and exec holds it too); those opened
    // since, by their descriptors.
    const std::unordered_set<std::uint64_t> trials = own_trial_ids();
    TableRequest request;
    request.filter = any_socket_on(port);
    request.order = ProcessOrder::as_walked;
    const SocketTable table = read_socket_table(request);
    const auto self = static_cast<platform::Pid>(::getpid());
    auto is_trial = [&](const platform::HeldSocket& socket) {
        return trials.contains(socket.socket_id) || (socket.pid == self && socket.task == 0 && is_own_trial(socket.fd));
    };
    std::vector<HeldSockets> targets;
    for (PortHolder& holder : holders_of(table, port)) {
        std::erase_if(holder.held, is_trial);
        if (!holder.held.empty()) targets.push_back(std::move(holder.held));
    }
    return targets;
}

KillOutcome stop_port_holders(std::uint16_t port, bool force) {
    std::vector<HeldSockets> targets = port_targets(port);
    // No visible holder: the port may have been released since the caller's
    // probe (a server shutting down, or a transient refusal of the probe's
    // bind). Judge by a fresh probe rather than report a free port as stuck.
    if (targets.empty()) return probe_port(port) ? KillOutcome::freed : KillOutcome::not_freed;

    // The table lists each process once per port, so each holder is signalled once.
    Termination termination(std::move(targets));
    termination.keep_lasting(any_socket_on(port));
    termination.send(force ? SIGKILL : SIGTERM);
    if (termination.refused() && !termination.delivered()) return KillOutcome::permission_denied;

    // The first probe follows the signals at once; each pause ends early
    // when a signalled holder exits.
    PollPlan plan;
    plan.deadline = deadline_after(monotonic_now(), wait_limit_seconds);
    plan.pause_ns = pause_nanoseconds;
    std::vector<pollfd> watches = termination.exit_watches();
    PollEnd end = poll_until(plan, watches, [port] { return probe_port(port); });
    return end == PollEnd::met ? KillOutcome::freed : KillOutcome::not_freed;
}

}  // namespace velmor
