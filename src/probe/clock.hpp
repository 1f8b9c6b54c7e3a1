#pragma once
// The monotonic clock and uninterruptible pauses used by the waits.

#include <ctime>

namespace velmor {

// Now on the platform's monotonic clock (CLOCK_MONOTONIC on Linux,
// CLOCK_UPTIME_RAW on macOS).
timespec monotonic_now() noexcept;

// `start` plus `seconds`, saturating at the largest instant a timespec holds.
timespec deadline_after(const timespec& start, unsigned long long seconds) noexcept;

bool reached(const timespec& now, const timespec& deadline) noexcept;

// Sleeps the whole of `nanoseconds`, resuming after EINTR for the remaining time.
void sleep_fully(long nanoseconds) noexcept;

}  // namespace velmor
