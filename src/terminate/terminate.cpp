#include "terminate/terminate.hpp"

#include <poll.h>

#include <cerrno>
#include <csignal>
#include <climits>
#include <vector>

#include "owners/find_owners.hpp"
#include "probe/clock.hpp"
#include "probe/listener.hpp"
#include "terminate/signal.hpp"

namespace velmor {
namespace {

constexpr unsigned long long wait_limit_seconds = 1;
constexpr long pause_nanoseconds = 50'000'000;
constexpr long nanoseconds_per_second = 1'000'000'000;
constexpr long nanoseconds_per_millisecond = 1'000'000;

// Pids above INT_MAX do not fit a pid_t; they become -1 and are never signalled.
pid_t to_pid(std::uint32_t pid) { return pid <= INT_MAX ? static_cast<pid_t>(pid) : -1; }

timespec after_nanoseconds(const timespec& start, long nanoseconds) {
    timespec end{start.tv_sec, start.tv_nsec + nanoseconds};
    end.tv_sec += end.tv_nsec / nanoseconds_per_second;
    end.tv_nsec %= nanoseconds_per_second;
    return end;
}

// Whole milliseconds from now until `end`, rounded up; 0 once it is reached.
int milliseconds_until(const timespec& end) {
    timespec now = monotonic_now();
    if (reached(now, end)) return 0;
    long long left = static_cast<long long>(end.tv_sec - now.tv_sec) * nanoseconds_per_second +
                     (end.tv_nsec - now.tv_nsec);
    return static_cast<int>((left + nanoseconds_per_millisecond - 1) / nanoseconds_per_millisecond);
}

// One pause between probes: the full 50 ms, ended early when a watched holder
// exits, so that the port is probed again at once. Holders seen exiting are
// dropped from `watches`. With nothing to watch it is a plain sleep.
void pause_between_probes(std::vector<pollfd>& watches) {
    if (watches.empty()) {
        sleep_fully(pause_nanoseconds);
        return;
    }
    const timespec end = after_nanoseconds(monotonic_now(), pause_nanoseconds);
    for (int timeout = milliseconds_until(end); timeout > 0; timeout = milliseconds_until(end)) {
        int ready = ::poll(watches.data(), static_cast<nfds_t>(watches.size()), timeout);
        if (ready > 0) {
            std::erase_if(watches, [](const pollfd& watch) { return watch.revents != 0; });
            return;
        }
        if (ready < 0 && errno != EINTR) {
            sleep_fully(static_cast<long>(timeout) * nanoseconds_per_millisecond);
            return;
        }
    }
}

}  // namespace

KillOutcome free_port(std::uint16_t port, bool force) {
    const PortOwners owners = find_owners(port, false);
    // No visible holder: the port may have been released since the caller's
    // probe (a server shutting down, or a transient refusal of the probe's
    // bind). Judge by a fresh probe rather than report a free port as stuck.
    if (owners.empty()) return probe_port(port) ? KillOutcome::freed : KillOutcome::not_freed;

    const int signal = force ? SIGKILL : SIGTERM;
    bool delivered = false;
    bool refused = false;
    std::vector<UniqueFd> exit_watches;  // closed on every way out
    // The search lists each process once, so each holder is signalled once.
    for (const PortOwner& owner : owners) {
        SignalledHolder holder = signal_holder(to_pid(owner.pid), owner.fd, owner.socket_id, signal);
        switch (holder.result) {
            case SignalResult::delivered:
            case SignalResult::gone:
                delivered = true;
                break;
            case SignalResult::refused:
                refused = true;
                break;
            case SignalResult::failed:
                break;
        }
        if (holder.exit_watch) exit_watches.push_back(std::move(holder.exit_watch));
    }
    if (refused && !delivered) return KillOutcome::permission_denied;

    std::vector<pollfd> watches;
    for (const UniqueFd& watch : exit_watches) watches.push_back(pollfd{watch.get(), POLLIN, 0});

    const timespec deadline = deadline_after(monotonic_now(), wait_limit_seconds);
    for (;;) {
        if (reached(monotonic_now(), deadline)) return KillOutcome::not_freed;
        if (probe_port(port)) return KillOutcome::freed;
        pause_between_probes(watches);
    }
}

}  // namespace velmor
