#pragma once
// The one poll loop of the core: check a condition, pause, check again,
// until it holds or a deadline passes. A pause ends early when one of the
// watched descriptors turns readable (a process descriptor does when its
// process exits), so that the condition is checked again at once.

#include <poll.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <vector>

namespace velmor {

struct PollPlan {
    timespec deadline{};
    std::int64_t pause_ns = 0;
    // When more than pause_ns: each pause is half as long again as the one
    // before, up to this; a wait then sees a quick change quickly and
    // costs little while it lasts.
    std::int64_t longest_pause_ns = 0;
    // Check once more when the deadline is reached, and let that check have
    // the last word; otherwise reaching the deadline ends the loop at once.
    bool check_at_deadline = false;
    // Cut the last pause short at the deadline instead of sleeping it out.
    bool shorten_pause_to_deadline = false;
    // A pause cut short by a signal ends the loop, so that the caller can
    // act on the signal; otherwise the pause resumes for its remaining time.
    bool end_on_signal = false;
};

enum class PollEnd { met, deadline, interrupted };

// Runs `condition` until it returns true (met), the deadline passes, or a
// signal interrupts a pause of a plan that asks for it. Watches that turn
// readable are dropped from `watches`.
PollEnd poll_until(const PollPlan& plan, std::vector<pollfd>& watches, const std::function<bool()>& condition);

}  // namespace velmor
