#include "terminate/signal.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <utility>

#ifdef __linux__
#include <sys/syscall.h>
#include <unistd.h>

// Older kernel headers lack the names; the numbers are the same on every architecture but alpha.
#ifndef SYS_pidfd_send_signal
#define SYS_pidfd_send_signal 424
#endif
#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif
#endif

namespace velmor {
namespace {

SignalResult from_error(int error) {
    switch (error) {
        case ESRCH:
            return SignalResult::gone;
        case EPERM:
            return SignalResult::refused;
        default:
            return SignalResult::failed;
    }
}

SignalResult signal_by_pid(pid_t pid, int signal) {
    return ::kill(pid, signal) == 0 ? SignalResult::delivered : from_error(errno);
}

#ifdef __linux__

// True when /proc/PID/fd/FD links to "socket:[socket_id]". Any failure to
// read the link (the process is gone, or its descriptors are now out of our
// reach because the pid names another user's process) counts as false.
bool still_holds(pid_t pid, int fd, std::uint64_t socket_id) {
    if (fd < 0) return false;
    char path[64];
    char expected[48];
    std::snprintf(path, sizeof path, "/proc/%d/fd/%d", static_cast<int>(pid), fd);
    int expected_size = std::snprintf(expected, sizeof expected, "socket:[%llu]",
                                      static_cast<unsigned long long>(socket_id));
    char target[sizeof expected];
    ssize_t size = ::readlink(path, target, sizeof target);
    return size == expected_size && std::memcmp(target, expected, static_cast<std::size_t>(size)) == 0;
}

int open_pidfd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U)); }

int send_through_pidfd(int pidfd, int signal) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0U));
}

#endif

}  // namespace

SignalledHolder signal_holder(pid_t pid, int fd, std::uint64_t socket_id, int signal) {
    // 0 and negative pids would address process groups or every process.
    if (pid <= 0) return {};
#ifdef __linux__
    UniqueFd pidfd{open_pidfd(pid)};
    if (!pidfd) {
        int error = errno;
        if (error == ESRCH) return {SignalResult::gone, {}};
        // pidfd_open checks no permission: EPERM means a seccomp filter
        // blocks it, like ENOSYS on kernels before 5.3. The check then only
        // narrows the window in which the pid could be reused.
        if (error != ENOSYS && error != EPERM) return {};
        if (!still_holds(pid, fd, socket_id)) return {SignalResult::gone, {}};
        return {signal_by_pid(pid, signal), {}};
    }
    // The pidfd names the process that had this pid when it was opened; if
    // that process still holds the socket, it is the holder that was found.
    if (!still_holds(pid, fd, socket_id)) return {SignalResult::gone, {}};
    if (send_through_pidfd(pidfd.get(), signal) != 0) return {from_error(errno), {}};
    return {SignalResult::delivered, std::move(pidfd)};
#else
    (void)fd;
    (void)socket_id;
    return {signal_by_pid(pid, signal), {}};
#endif
}

}  // namespace velmor
