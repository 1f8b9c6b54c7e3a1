#include "core/platform/process_watch.hpp"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

#if defined(__linux__)
#include <sys/syscall.h>
#endif

namespace velmor::platform {
namespace {

// kill with signal 0 delivers nothing: it tells whether the pid names a process.
bool pid_alive(Pid pid) { return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM; }

int open_pidfd(Pid pid) {
#if defined(__linux__) && defined(SYS_pidfd_open)
    return static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

}  // namespace

std::optional<ProcessWatch> ProcessWatch::open(Pid pid, int& error) {
    error = 0;
    UniqueFd pidfd(open_pidfd(pid));
    if (!pidfd && errno == ESRCH) {
        error = ESRCH;
        return std::nullopt;
    }
    // Without a process descriptor the pid itself is watched.
    if (!pidfd && !pid_alive(pid)) {
        error = ESRCH;
        return std::nullopt;
    }
    return ProcessWatch(pid, std::move(pidfd));
}

bool ProcessWatch::exited() const {
    if (!pidfd_) return !pid_alive(pid_);
    pollfd watch{pidfd_.get(), POLLIN, 0};
    return ::poll(&watch, 1, 0) > 0;
}

std::vector<pollfd> ProcessWatch::exit_watches() const {
    if (!pidfd_) return {};
    return {pollfd{pidfd_.get(), POLLIN, 0}};
}

}  // namespace velmor::platform
