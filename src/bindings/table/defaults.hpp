#pragma once
// The defaults of the socket-table face, each written once: the bodies use
// them, and the module hands them to the package as STOP_TIMEOUT and
// WAIT_TIMEOUT (seconds), which its functions take as their defaults.

#include <cstdint>

namespace velmor::table_bodies {

// How long a stop waits for its targets to let go.
inline constexpr std::int64_t default_stop_timeout_ns = 5'000'000'000;
// How long a wait for ports lasts.
inline constexpr std::int64_t default_wait_timeout_ns = 30'000'000'000;

}  // namespace velmor::table_bodies
