#pragma once
// One check of a wait for ports: until each is free (as the free check
// judges it, from the listening table and a trial bind first), or until
// something listens on each, with a pid only a listener of that process or
// one of its descendants. A wait repeats the check between pauses; runs
// without the interpreter lock and touches nothing of the interpreter.

#include <cstdint>
#include <ctime>
#include <optional>
#include <unordered_set>
#include <vector>

#include "core/platform/process_queries.hpp"
#include "core/system/poll_loop.hpp"

namespace velmor {

// The pacing of a wait, the same in every face: checks start every
// millisecond and slow down to every 5 ms, so that a server is seen within
// a few milliseconds of its listen() and a long wait costs one query of the
// listening table (tens of microseconds) every 5 ms. Whoever shows progress
// shows it this often.
inline constexpr std::int64_t wait_first_pause_ns = 1'000'000;
inline constexpr std::int64_t wait_longest_pause_ns = 5'000'000;
inline constexpr std::int64_t wait_progress_every_ns = 250'000'000;

// The poll plan of a wait's part that ends at `deadline`, at the wait's
// pacing; `last_check` checks once more at the deadline (the wait's own end,
// not a part's).
inline PollPlan wait_plan(const timespec& deadline, bool last_check) {
    PollPlan plan;
    plan.deadline = deadline;
    plan.pause_ns = wait_first_pause_ns;
    plan.longest_pause_ns = wait_longest_pause_ns;
    plan.shorten_pause_to_deadline = true;
    plan.check_at_deadline = last_check;
    return plan;
}

struct PortWaitRequest {
    std::vector<std::uint16_t> ports;  // 1-65535, without repeats
    bool listening = false;            // wait for listeners, not for free ports
    std::optional<platform::Pid> pid;  // with listening: only its listeners (or its descendants') count
};

class PortWait {
public:
    explicit PortWait(PortWaitRequest request);

    // Checks the ports still waited for; true once none is left.
    bool check();
    // The ports still waited for, in the order asked.
    const std::vector<std::uint16_t>& pending() const noexcept { return pending_; }
    // EMFILE or ENFILE when the last check could not read a table: it then
    // counted nothing as done.
    int shortage() const noexcept { return shortage_; }

private:
    bool done(std::size_t index);
    bool held_by_the_tree(std::size_t index, const std::unordered_set<std::uint64_t>& listeners);

    PortWaitRequest request_;
    std::vector<std::uint16_t> pending_;
    int shortage_ = 0;
    // Per port asked, with a pid: the listeners that no descendant held when
    // last looked, and when that was. While the port's listeners stay those,
    // the descendants are looked for again (a pass over every process) only
    // every recheck interval, not at every check.
    struct NotOurs {
        std::unordered_set<std::uint64_t> listeners;
        std::optional<timespec> looked;
    };
    std::vector<NotOurs> not_ours_;
};

}  // namespace velmor
