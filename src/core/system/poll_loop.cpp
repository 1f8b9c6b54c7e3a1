#include "core/system/poll_loop.hpp"

#include <algorithm>
#include <cerrno>
#include <limits>

#include "core/system/clock.hpp"

namespace velmor {
namespace {

enum class PauseEnd { elapsed, woken, interrupted };

// poll's timeout: whole milliseconds, rounded up so that a pause never ends early.
int poll_timeout_ms(std::int64_t nanoseconds) {
    std::int64_t ms = (nanoseconds + nanoseconds_per_millisecond - 1) / nanoseconds_per_millisecond;
    return static_cast<int>(std::min<std::int64_t>(ms, std::numeric_limits<int>::max()));
}

// Sleeps until `end`, or until a watch turns readable (those are dropped).
PauseEnd pause_until(const timespec& end, std::vector<pollfd>& watches, bool end_on_signal) {
    for (;;) {
        std::int64_t left = nanoseconds_until(monotonic_now(), end);
        if (left == 0) return PauseEnd::elapsed;
        int ready = 0;
        if (watches.empty()) {
            timespec pause{static_cast<time_t>(left / nanoseconds_per_second),
                           static_cast<long>(left % nanoseconds_per_second)};
            ready = ::nanosleep(&pause, nullptr);
        } else {
            ready = ::poll(watches.data(), static_cast<nfds_t>(watches.size()), poll_timeout_ms(left));
        }
        if (ready > 0) {
            std::erase_if(watches, [](const pollfd& watch) { return watch.revents != 0; });
            return PauseEnd::woken;
        }
        if (ready < 0 && errno == EINTR) {
            if (end_on_signal) return PauseEnd::interrupted;
            continue;
        }
        if (ready < 0) {
            // A watch the system refuses to poll: sleep the rest without it.
            watches.clear();
        }
    }
}

}  // namespace

PollEnd poll_until(const PollPlan& plan, std::vector<pollfd>& watches, const std::function<bool()>& condition) {
    std::int64_t pause_ns = plan.pause_ns;
    for (;;) {
        const timespec now = monotonic_now();
        if (reached(now, plan.deadline)) {
            return plan.check_at_deadline && condition() ? PollEnd::met : PollEnd::deadline;
        }
        if (condition()) return PollEnd::met;
        timespec end = deadline_after_ns(monotonic_now(), pause_ns);
        if (plan.longest_pause_ns > pause_ns) pause_ns = std::min(plan.longest_pause_ns, pause_ns + pause_ns / 2);
        if (plan.shorten_pause_to_deadline && reached(end, plan.deadline)) end = plan.deadline;
        if (pause_until(end, watches, plan.end_on_signal) == PauseEnd::interrupted) return PollEnd::interrupted;
    }
}

}  // namespace velmor
