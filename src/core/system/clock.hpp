#pragma once
// The one clock of the core: readings of the platform's monotonic clock and
// deadlines on it, and the wall clock for stamping what was seen when.

#include <cstdint>
#include <ctime>

namespace velmor {

inline constexpr long nanoseconds_per_second = 1'000'000'000;
inline constexpr long nanoseconds_per_millisecond = 1'000'000;

// Now on the platform's monotonic clock (CLOCK_MONOTONIC on Linux,
// CLOCK_UPTIME_RAW on macOS).
timespec monotonic_now() noexcept;

// Now on the wall clock (CLOCK_REALTIME): since the epoch, for people.
timespec wall_clock_now() noexcept;

// `start` plus whole `seconds`, saturating at the latest instant a timespec holds.
timespec deadline_after(const timespec& start, unsigned long long seconds) noexcept;

// `start` plus `nanoseconds` (not negative), saturating likewise.
timespec deadline_after_ns(const timespec& start, std::int64_t nanoseconds) noexcept;

// True once `now` is at or after `deadline`: seconds compared first, then nanoseconds.
bool reached(const timespec& now, const timespec& deadline) noexcept;

// Nanoseconds from `now` to `deadline`; 0 once it is reached.
std::int64_t nanoseconds_until(const timespec& now, const timespec& deadline) noexcept;

}  // namespace velmor
