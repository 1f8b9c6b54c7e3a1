#pragma once
// The defaults of the engine's use cases, each written once: every face
// takes them as its own (the socket-table module hands them to the package
// as STOP_TIMEOUT and WAIT_TIMEOUT, the command writes them in its help).

#include <cstdint>

namespace velmor {

// How long a stop waits for its targets to let go.
inline constexpr std::int64_t default_stop_timeout_ns = 5'000'000'000;
// How long a wait for ports lasts.
inline constexpr std::int64_t default_wait_timeout_ns = 30'000'000'000;

}  // namespace velmor
