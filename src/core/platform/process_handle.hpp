#pragma once
// Signalling a process that a walk found holding a socket, so that the
// signal reaches that process and no other: the process is pinned, the
// pinned process is checked to still hold the socket, and the signal goes
// to the pinned process. One implementation per platform, beside the
// process queries.

#include <cerrno>
#include <cstdint>
#include <span>

#include "core/platform/process_queries.hpp"
#include "core/system/unique_fd.hpp"

namespace velmor::platform {

// Where a walk saw a process hold a socket.
struct HeldSocket {
    Pid pid = 0;
    Pid task = 0;  // 0: the process's own descriptor table
    int fd = -1;
    std::uint64_t socket_id = 0;
};

enum class SignalResult {
    delivered,  // the process was signalled
    gone,       // the process no longer exists, or no longer holds the socket
    refused,    // the system refused the signal for lack of permission
    failed,     // any other failure: nothing was sent
};

// What a failed signal call's error number says.
inline SignalResult signal_result_of_error(int error) {
    if (error == ESRCH) return SignalResult::gone;
    if (error == EPERM) return SignalResult::refused;
    return SignalResult::failed;
}

class PinnedProcess {
public:
    // Pins the process that a walk found holding the sockets `candidates`
    // (all of one process, the ones likeliest to last first) and checks that
    // it still holds one of them. Gives a handle that is not `valid()` when
    // the process is gone or holds none of them any more, or when it cannot
    // be told apart from another process (on Linux, a /proc that belongs to
    // another pid namespace), or when the system has no descriptor left to
    // pin it with: a process that is not pinned is never signalled.
    static PinnedProcess pin(std::span<const HeldSocket> candidates);
    static PinnedProcess pin(const HeldSocket& held) { return pin(std::span<const HeldSocket>(&held, 1)); }

    PinnedProcess(PinnedProcess&&) noexcept = default;
    PinnedProcess& operator=(PinnedProcess&&) noexcept = default;
    PinnedProcess(const PinnedProcess&) = delete;
    PinnedProcess& operator=(const PinnedProcess&) = delete;
    ~PinnedProcess() = default;

    // What pinning found: delivered for a pinned process that held the
    // socket, gone or failed otherwise.
    SignalResult state() const noexcept { return state_; }
    bool valid() const noexcept { return state_ == SignalResult::delivered; }
    Pid pid() const noexcept { return held_.pid; }

    // Once the process is signalled: keep a single descriptor for it, so
    // that many pinned processes fit the descriptor limit.
    void keep_one_descriptor();
    // Keeps no descriptor for it at all (call it before
    // keep_one_descriptor): the process is then recognised by its pid and
    // the start time read through its pin, and pinned again for each later
    // signal.
    void let_go_of_descriptors();

    // True when the pinned process still holds the socket it was found with.
    bool still_holds() const;
    // Sends `signal` to the pinned process.
    SignalResult signal(int signal);
    // True once the pinned process has exited (a zombie has); false while
    // that cannot be told (no descriptor free to look).
    bool exited() const;
    // True while the pinned process is on its way out: it has begun to exit
    // (its descriptors are closing or closed) and has not exited yet. Its
    // sockets may be gone before its exit can be seen.
    bool exiting() const;
    // A descriptor that turns readable when the process exits, or -1.
    int exit_watch() const noexcept { return watch_.get(); }

private:
    explicit PinnedProcess(const HeldSocket& held, SignalResult state) : held_(held), state_(state) {}
    HeldSocket held_;
    SignalResult state_ = SignalResult::failed;
    UniqueFd pin_;    // Linux: the process's /proc directory
    UniqueFd watch_;  // Linux: a pidfd; macOS: a kqueue watching the exit
    std::uint64_t start_time_ = 0;  // identifies the process once its descriptors are let go
};

}  // namespace velmor::platform
