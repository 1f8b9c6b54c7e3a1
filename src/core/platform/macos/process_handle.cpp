// Pinning and signalling a holder on macOS, which has no process
// descriptors. A kqueue watch on the process's exit is set up first: it
// follows that very process, so once it has fired the pid is never
// signalled again. The socket check right before each signal compares the
// descriptor's socket with the one found (by its kernel address), and the
// start time recognises the process when its socket is gone.

#include <sys/event.h>
#include <sys/types.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "core/platform/macos/layout.hpp"
#include "core/platform/process_handle.hpp"

namespace velmor::platform {
namespace {

constexpr std::uint32_t zombie_status = 5;  // SZOMB

std::optional<proc_bsdinfo> bsd_info(Pid pid) {
    proc_bsdinfo info{};
    int size = proc_pidinfo(static_cast<int>(pid), PROC_PIDTBSDINFO, 0, &info, static_cast<int>(sizeof info));
    if (size <= 0) return std::nullopt;
    return info;
}

bool holds_socket(const HeldSocket& held) {
    socket_fdinfo info{};
    int size = proc_pidfdinfo(static_cast<int>(held.pid), held.fd, PROC_PIDFDSOCKETINFO, &info,
                              static_cast<int>(sizeof info));
    return size > 0 && info.psi.soi_so == held.socket_id;
}

// A kqueue that turns readable when `pid` exits; an invalid one when the
// process is gone already or no watch can be set up.
UniqueFd watch_exit(Pid pid, bool& gone) {
    gone = false;
    UniqueFd queue(::kqueue());
    if (!queue) return queue;
    struct kevent change;
    EV_SET(&change, static_cast<uintptr_t>(pid), EVFILT_PROC, EV_ADD | EV_ONESHOT, NOTE_EXIT, 0, nullptr);
    if (::kevent(queue.get(), &change, 1, nullptr, 0, nullptr) != 0) {
        gone = errno == ESRCH;
        queue.reset();
    }
    return queue;
}

bool watch_fired(int watch) {
    pollfd entry{watch, POLLIN, 0};
    return ::poll(&entry, 1, 0) > 0;
}

}  // namespace

PinnedProcess PinnedProcess::pin(std::span<const HeldSocket> candidates) {
    if (candidates.empty()) return PinnedProcess(HeldSocket{}, SignalResult::failed);
    const HeldSocket& first = candidates.front();
    // 0 and negative pids would address process groups or every process.
    if (first.pid == 0 || first.pid > static_cast<Pid>(INT32_MAX)) return PinnedProcess(first, SignalResult::failed);
    bool gone = false;
    UniqueFd watch = watch_exit(first.pid, gone);
    std::optional<proc_bsdinfo> info = bsd_info(first.pid);
    if (gone || !info || info->pbi_status == zombie_status) return PinnedProcess(first, SignalResult::gone);
    for (const HeldSocket& held : candidates) {
        if (held.pid != first.pid || !holds_socket(held)) continue;
        PinnedProcess pinned(held, SignalResult::delivered);
        pinned.watch_ = std::move(watch);
        pinned.start_time_ = info->pbi_start_tvsec;
        return pinned;
    }
    return PinnedProcess(first, SignalResult::gone);
}

void PinnedProcess::keep_one_descriptor() {}

void PinnedProcess::let_go_of_descriptors() { watch_.reset(); }

bool PinnedProcess::still_holds() const { return valid() && !exited() && holds_socket(held_); }

SignalResult PinnedProcess::signal(int signal) {
    if (!valid()) return state_;
    if (exited()) return SignalResult::gone;
    if (!holds_socket(held_)) {
        // Its socket is gone: the start time must show the same process.
        std::optional<proc_bsdinfo> info = bsd_info(held_.pid);
        if (!info || info->pbi_start_tvsec != start_time_) return SignalResult::gone;
    }
    return ::kill(static_cast<pid_t>(held_.pid), signal) == 0 ? SignalResult::delivered : signal_result_of_error(errno);
}

bool PinnedProcess::exited() const {
    if (!valid()) return true;
    if (watch_ && watch_fired(watch_.get())) return true;
    std::optional<proc_bsdinfo> info = bsd_info(held_.pid);
    return !info || info->pbi_start_tvsec != start_time_ || info->pbi_status == zombie_status;
}

bool PinnedProcess::exiting() const {
    if (!valid() || exited()) return false;
    std::optional<proc_bsdinfo> info = bsd_info(held_.pid);
    return info && info->pbi_start_tvsec == start_time_ && (info->pbi_flags & PROC_FLAG_INEXIT) != 0;
}

}  // namespace velmor::platform
