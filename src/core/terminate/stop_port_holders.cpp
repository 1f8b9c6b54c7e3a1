#include "core/terminate/stop_port_holders.hpp"

#include <csignal>
#include <vector>

#include "core/probe/listener.hpp"
#include "core/sockets/find_owners.hpp"
#include "core/system/clock.hpp"
#include "core/system/poll_loop.hpp"
#include "core/terminate/termination.hpp"

namespace velmor {
namespace {

constexpr unsigned long long wait_limit_seconds = 1;
constexpr std::int64_t pause_nanoseconds = 50'000'000;

}  // namespace

KillOutcome stop_port_holders(std::uint16_t port, bool force) {
    const PortOwners owners = find_holders(port);
    // No visible holder: the port may have been released since the caller's
    // probe (a server shutting down, or a transient refusal of the probe's
    // bind). Judge by a fresh probe rather than report a free port as stuck.
    if (owners.empty()) return probe_port(port) ? KillOutcome::freed : KillOutcome::not_freed;

    // The search lists each process once, so each holder is signalled once.
    std::vector<platform::HeldSocket> holders;
    holders.reserve(owners.size());
    for (const PortOwner& owner : owners) holders.push_back(owner.held);
    Termination termination(holders);
    termination.keep_lasting(holder_filter(port));
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
