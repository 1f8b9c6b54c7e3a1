#pragma once
// Whether a process has exited (a zombie has), pinned where the system can
// pin it (a pidfd on Linux), so that a reused pid is not taken for it.
// Plain system calls, nothing of the interpreter.

#include <poll.h>

#include <optional>
#include <vector>

#include "core/platform/process_queries.hpp"
#include "core/system/unique_fd.hpp"

namespace velmor::platform {

class ProcessWatch {
public:
    // A watch of `pid`, or the error: ESRCH when no such process exists.
    static std::optional<ProcessWatch> open(Pid pid, int& error);

    bool exited() const;
    // Descriptors that turn readable when the process exits (none where the
    // system has no process descriptors: then exited() is asked at each check).
    std::vector<pollfd> exit_watches() const;
    Pid pid() const noexcept { return pid_; }

private:
    ProcessWatch(Pid pid, UniqueFd pidfd) : pid_(pid), pidfd_(std::move(pidfd)) {}
    Pid pid_ = 0;
    UniqueFd pidfd_;
};

}  // namespace velmor::platform
