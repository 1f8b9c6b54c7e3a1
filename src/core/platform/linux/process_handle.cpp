// Pinning and signalling a holder on Linux. The process is pinned by a
// descriptor of its /proc directory, opened from the same /proc that the
// walk read: the socket is checked through that directory and the signal
// goes through it (pidfd_send_signal accepts such a descriptor), so the
// process that is checked is the process that is signalled, whatever
// happens to its pid meanwhile. A pidfd of the process, when one can be
// had, serves only as the wake-up on exit.

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "core/platform/linux/proc_files.hpp"
#include "core/platform/process_handle.hpp"

// Older kernel headers lack the names; the numbers are the same on every architecture but alpha.
#ifndef SYS_pidfd_send_signal
#define SYS_pidfd_send_signal 424
#endif
#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif

namespace velmor::platform {
namespace {

using linux_proc::parse_number;
using linux_proc::proc_is_ours;
using linux_proc::read_file;

// "fd/N" or "task/TID/fd/N", relative to the process's directory.
std::string descriptor_path(const HeldSocket& held) {
    char path[64];
    if (held.task == 0) {
        std::snprintf(path, sizeof path, "fd/%d", held.fd);
    } else {
        std::snprintf(path, sizeof path, "task/%u/fd/%d", held.task, held.fd);
    }
    return path;
}

// True when the descriptor, read under `dir` at `prefix` (the process's
// directory, or its path), links to "socket:[socket_id]".
bool links_to_socket(int dir, const std::string& prefix, const HeldSocket& held) {
    if (held.fd < 0) return false;
    char expected[48];
    int expected_size = std::snprintf(expected, sizeof expected, "socket:[%llu]",
                                      static_cast<unsigned long long>(held.socket_id));
    char target[sizeof expected];
    ssize_t size = ::readlinkat(dir, (prefix + descriptor_path(held)).c_str(), target, sizeof target);
    return size == expected_size && std::memcmp(target, expected, static_cast<std::size_t>(size)) == 0;
}

std::string process_path(Pid pid) { return "/proc/" + std::to_string(pid) + "/"; }

// The process's state letter and start time (in clock ticks since boot)
// from "stat" under `dir`.
struct StatFields {
    char state = '?';
    std::uint64_t start_time = 0;
};

std::optional<StatFields> read_stat(int dir, const char* path) {
    std::string stat;
    if (!read_file(dir, path, 1024, stat)) return std::nullopt;
    std::size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) return std::nullopt;
    StatFields fields;
    fields.state = stat[close + 2];
    // Field 22 is the start time; the state is field 3.
    std::string_view rest = std::string_view(stat).substr(close + 2);
    for (int field = 3; field < 22; ++field) {
        std::size_t space = rest.find(' ');
        if (space == std::string_view::npos) return std::nullopt;
        rest.remove_prefix(space + 1);
    }
    std::optional<std::uint64_t> start = parse_number<std::uint64_t>(rest.substr(0, rest.find(' ')));
    if (!start) return std::nullopt;
    fields.start_time = *start;
    return fields;
}

bool has_exited(char state) { return state == 'Z' || state == 'X' || state == 'x'; }

int open_pidfd(Pid pid) { return static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0U)); }

}  // namespace

PinnedProcess PinnedProcess::pin(const HeldSocket& held) {
    // 0 and negative pids would address process groups or every process.
    if (held.pid == 0 || held.pid > static_cast<Pid>(INT32_MAX)) return PinnedProcess(held, SignalResult::failed);
    if (!proc_is_ours()) return PinnedProcess(held, SignalResult::failed);

    const std::string path = process_path(held.pid);
    UniqueFd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) {
        if (errno == ENOENT || errno == ESRCH) return PinnedProcess(held, SignalResult::gone);
        // No descriptor left to pin with: the same check by path, and the
        // signal by pid right after it. The start time, when it can be read,
        // recognises the process for later signals.
        if (!links_to_socket(AT_FDCWD, path, held)) return PinnedProcess(held, SignalResult::gone);
        PinnedProcess unpinned(held, SignalResult::delivered);
        unpinned.checked_just_now_ = true;
        if (std::optional<StatFields> stat = read_stat(AT_FDCWD, (path + "stat").c_str())) {
            unpinned.start_time_ = stat->start_time;
        }
        return unpinned;
    }
    // The pidfd is opened before the check: if the pinned process still
    // holds the socket afterwards, it was alive all along, so its pid named
    // no other process when the pidfd was opened.
    UniqueFd watch(open_pidfd(held.pid));
    if (!links_to_socket(dir.get(), "", held)) return PinnedProcess(held, SignalResult::gone);
    PinnedProcess pinned(held, SignalResult::delivered);
    pinned.pin_ = std::move(dir);
    pinned.watch_ = std::move(watch);
    return pinned;
}

void PinnedProcess::keep_one_descriptor() {
    // The pidfd names the pinned process (see pin): it can stand for the directory.
    if (pin_ && watch_) pin_.reset();
}

bool PinnedProcess::still_holds() const {
    if (!valid()) return false;
    if (pin_) return links_to_socket(pin_.get(), "", held_);
    if (exited()) return false;
    // Alive and pinned by its pidfd, or recognised by its start time: the
    // pid still names the process, and its path may be read.
    if (!watch_ && start_time_ == 0) return false;
    return links_to_socket(AT_FDCWD, process_path(held_.pid), held_);
}

SignalResult PinnedProcess::signal(int signal) {
    if (!valid()) return state_;
    const bool checked_just_now = std::exchange(checked_just_now_, false);
    int through = pin_ ? pin_.get() : watch_.get();
    if (through >= 0) {
        if (::syscall(SYS_pidfd_send_signal, through, signal, nullptr, 0U) == 0) return SignalResult::delivered;
        // Kernels before 5.1 cannot signal through a descriptor: by pid,
        // while the pinned directory shows the process is still there.
        if (errno != ENOSYS || !pin_) return signal_result_of_error(errno);
        if (!read_stat(pin_.get(), "stat")) return SignalResult::gone;
    } else if (!checked_just_now) {
        std::optional<StatFields> stat = read_stat(AT_FDCWD, (process_path(held_.pid) + "stat").c_str());
        if (start_time_ == 0 || !stat) return SignalResult::failed;
        if (stat->start_time != start_time_) return SignalResult::gone;
    }
    return ::kill(static_cast<pid_t>(held_.pid), signal) == 0 ? SignalResult::delivered : signal_result_of_error(errno);
}

bool PinnedProcess::exited() const {
    if (!valid()) return true;
    if (watch_) {
        pollfd watch{watch_.get(), POLLIN, 0};
        return ::poll(&watch, 1, 0) > 0;
    }
    std::optional<StatFields> stat =
        pin_ ? read_stat(pin_.get(), "stat") : read_stat(AT_FDCWD, (process_path(held_.pid) + "stat").c_str());
    if (!stat) {
        if (pin_) return true;  // the pinned process has been reaped
        return ::kill(static_cast<pid_t>(held_.pid), 0) != 0 && errno == ESRCH;
    }
    if (!pin_ && stat->start_time != start_time_) return true;
    return has_exited(stat->state);
}

}  // namespace velmor::platform
