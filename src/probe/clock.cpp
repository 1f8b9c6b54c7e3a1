#include "probe/clock.hpp"

#include <cerrno>
#include <limits>

namespace velmor {
namespace {

#ifdef CLOCK_UPTIME_RAW
constexpr clockid_t monotonic_clock = CLOCK_UPTIME_RAW;  // macOS: stops while the machine sleeps
#else
constexpr clockid_t monotonic_clock = CLOCK_MONOTONIC;
#endif

constexpr long nanoseconds_per_second = 1'000'000'000;

}  // namespace

timespec monotonic_now() noexcept {
    timespec now{};
    ::clock_gettime(monotonic_clock, &now);
    return now;
}

timespec deadline_after(const timespec& start, unsigned long long seconds) noexcept {
    constexpr auto latest = std::numeric_limits<time_t>::max();
    auto room = static_cast<unsigned long long>(latest - start.tv_sec);
    if (seconds > room) return timespec{latest, nanoseconds_per_second - 1};
    return timespec{start.tv_sec + static_cast<time_t>(seconds), start.tv_nsec};
}

bool reached(const timespec& now, const timespec& deadline) noexcept {
    if (now.tv_sec != deadline.tv_sec) return now.tv_sec > deadline.tv_sec;
    return now.tv_nsec >= deadline.tv_nsec;
}

void sleep_fully(long nanoseconds) noexcept {
    timespec remaining{nanoseconds / nanoseconds_per_second, nanoseconds % nanoseconds_per_second};
    while (::nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
    }
}

}  // namespace velmor
