#include "core/system/clock.hpp"

#include <limits>

namespace velmor {
namespace {

#ifdef CLOCK_UPTIME_RAW
constexpr clockid_t monotonic_clock = CLOCK_UPTIME_RAW;  // macOS: stops while the machine sleeps
#else
constexpr clockid_t monotonic_clock = CLOCK_MONOTONIC;
#endif

constexpr timespec latest{std::numeric_limits<time_t>::max(), nanoseconds_per_second - 1};

timespec to_timespec(std::int64_t nanoseconds) noexcept {
    return timespec{static_cast<time_t>(nanoseconds / nanoseconds_per_second),
                    static_cast<long>(nanoseconds % nanoseconds_per_second)};
}

}  // namespace

timespec monotonic_now() noexcept {
    timespec now{};
    ::clock_gettime(monotonic_clock, &now);
    return now;
}

timespec wall_clock_now() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

timespec deadline_after(const timespec& start, unsigned long long seconds) noexcept {
    auto room = static_cast<unsigned long long>(latest.tv_sec - start.tv_sec);
    if (seconds > room) return latest;
    return timespec{start.tv_sec + static_cast<time_t>(seconds), start.tv_nsec};
}

timespec deadline_after_ns(const timespec& start, std::int64_t nanoseconds) noexcept {
    if (nanoseconds <= 0) return start;
    timespec step = to_timespec(nanoseconds);
    timespec end = deadline_after(start, static_cast<unsigned long long>(step.tv_sec));
    if (end.tv_sec == latest.tv_sec) return latest;
    end.tv_nsec += step.tv_nsec;
    if (end.tv_nsec >= nanoseconds_per_second) {
        end.tv_nsec -= nanoseconds_per_second;
        end.tv_sec += 1;
    }
    return end;
}

bool reached(const timespec& now, const timespec& deadline) noexcept {
    if (now.tv_sec != deadline.tv_sec) return now.tv_sec > deadline.tv_sec;
    return now.tv_nsec >= deadline.tv_nsec;
}

std::int64_t nanoseconds_until(const timespec& now, const timespec& deadline) noexcept {
    if (reached(now, deadline)) return 0;
    constexpr std::int64_t most = std::numeric_limits<std::int64_t>::max() / nanoseconds_per_second - 1;
    auto seconds = static_cast<std::int64_t>(deadline.tv_sec) - static_cast<std::int64_t>(now.tv_sec);
    if (seconds > most) return std::numeric_limits<std::int64_t>::max();
    return seconds * nanoseconds_per_second + (deadline.tv_nsec - now.tv_nsec);
}

}  // namespace velmor
