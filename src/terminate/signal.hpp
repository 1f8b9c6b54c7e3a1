#pragma once
// Signalling one holder of a port so that the signal reaches the process the
// owner search saw, not one that has since been given its pid. Plain system
// calls, nothing of the interpreter.

#include <sys/types.h>

#include <cstdint>

#include "probe/unique_fd.hpp"

namespace velmor {

enum class SignalResult {
    delivered,  // the holder was signalled
    gone,       // the holder no longer exists, or no longer holds the socket
    refused,    // the system refused the signal for lack of permission
    failed,     // any other failure, or a pid that names no single process
};

// The outcome for one holder, and the handle through which it was signalled.
struct SignalledHolder {
    SignalResult result = SignalResult::failed;
    // A pidfd, open only when the signal went through one: it turns readable
    // when the holder exits, and closes with this record.
    UniqueFd exit_watch;
};

// Sends `signal` to the process `pid` provided it still has its descriptor
// `fd` open on the socket `socket_id`, as the owner search found it. On Linux
// the process is pinned by a pidfd before the check, so a pid reused between
// the search and the signal is never hit; where pidfds are unavailable the
// signal goes by pid (after the check, on Linux). A pid of 0 or less is never
// signalled.
SignalledHolder signal_holder(pid_t pid, int fd, std::uint64_t socket_id, int signal);

}  // namespace velmor
