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

// The process's state letter, its flags and its start time (in clock ticks
// since boot) from "stat" under `dir`.
struct StatFields {
    char state = '?';
    std::uint64_t flags = 0;
    std::uint64_t start_time = 0;
};

// The kernel's flag for a task inside exit: set before its descriptors are
// closed, while the process is not yet a zombie.
constexpr std::uint64_t task_exiting_flag = 0x4;

// Empty, with errno set, when the file cannot be read (ENOENT or ESRCH:
// the process is gone) or does not parse (EINVAL).
std::optional<StatFields> read_stat(int dir, const char* path) {
    std::string stat;
    if (!read_file(dir, path, 1024, stat)) return std::nullopt;
    errno = EINVAL;
    std::size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) return std::nullopt;
    StatFields fields;
    fields.state = stat[close + 2];
    // The state is field 3, the flags field 9 and the start time field 22.
    std::string_view rest = std::string_view(stat).substr(close + 2);
    auto next_field = [&rest] {
        std::size_t space = rest.find(' ');
        if (space == std::string_view::npos) return false;
        rest.remove_prefix(space + 1);
        return true;
    };
    for (int field = 3; field < 9; ++field) {
        if (!next_field()) return std::nullopt;
    }
    std::optional<std::uint64_t> flags = parse_number<std::uint64_t>(rest.substr(0, rest.find(' ')));
    if (!flags) return std::nullopt;
    fields.flags = *flags;
    for (int field = 9; field < 22; ++field) {
        if (!next_field()) return std::nullopt;
    }
    std::optional<std::uint64_t> start = parse_number<std::uint64_t>(rest.substr(0, rest.find(' ')));
    if (!start) return std::nullopt;
    fields.start_time = *start;
    return fields;
}

bool has_exited(char state) { return state == 'Z' || state == 'X' || state == 'x'; }

bool is_gone(int error) { return error == ENOENT || error == ESRCH; }

int open_pidfd(Pid pid) { return static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0U)); }

int signal_through(int descriptor, int signal) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, descriptor, signal, nullptr, 0U));
}

// Signals the process pinned by its /proc directory `dir`. Kernels before
// 5.1 cannot signal through a descriptor: there the signal goes by pid,
// right after the pinned directory shows the process is still there.
SignalResult signal_pinned(int dir, Pid pid, int signal) {
    if (signal_through(dir, signal) == 0) return SignalResult::delivered;
    if (errno != ENOSYS) return signal_result_of_error(errno);
    if (!read_stat(dir, "stat")) return SignalResult::gone;
    return ::kill(static_cast<pid_t>(pid), signal) == 0 ? SignalResult::delivered : signal_result_of_error(errno);
}

}  // namespace

PinnedProcess PinnedProcess::pin(std::span<const HeldSocket> candidates) {
    if (candidates.empty()) return PinnedProcess(HeldSocket{}, SignalResult::failed);
    const HeldSocket& first = candidates.front();
    // 0 and negative pids would address process groups or every process.
    if (first.pid == 0 || first.pid > static_cast<Pid>(INT32_MAX)) return PinnedProcess(first, SignalResult::failed);
    if (!proc_is_ours()) return PinnedProcess(first, SignalResult::failed);

    // Without a descriptor for its directory the process cannot be told
    // from a process that took its pid after it: it is not signalled.
    UniqueFd dir(::open(process_path(first.pid).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return PinnedProcess(first, is_gone(errno) ? SignalResult::gone : SignalResult::failed);
    // The pidfd is opened before the check: if the pinned process still
    // holds the socket afterwards, it was alive all along, so its pid named
    // no other process when the pidfd was opened.
    UniqueFd watch(open_pidfd(first.pid));
    for (const HeldSocket& held : candidates) {
        if (held.pid != first.pid || !links_to_socket(dir.get(), "", held)) continue;
        PinnedProcess pinned(held, SignalResult::delivered);
        pinned.pin_ = std::move(dir);
        pinned.watch_ = std::move(watch);
        return pinned;
    }
    return PinnedProcess(first, SignalResult::gone);
}

void PinnedProcess::keep_one_descriptor() {
    // The pidfd names the pinned process (see pin): it can stand for the directory.
    if (pin_ && watch_) pin_.reset();
}

void PinnedProcess::let_go_of_descriptors() {
    // The start time, read through the pin (the pidfd closed first makes
    // room for the read), recognises the process from now on; 0 when it
    // cannot be read.
    watch_.reset();
    if (!pin_) return;
    std::optional<StatFields> stat = read_stat(pin_.get(), "stat");
    start_time_ = stat ? stat->start_time : 0;
    pin_.reset();
}

bool PinnedProcess::still_holds() const {
    if (!valid()) return false;
    if (pin_) return links_to_socket(pin_.get(), "", held_);
    if (exited()) return false;
    // Alive and pinned by its pidfd, or recognised by its start time: the
    // pid still names the process, and its path may be read.
    return links_to_socket(AT_FDCWD, process_path(held_.pid), held_);
}

SignalResult PinnedProcess::signal(int signal) {
    if (!valid()) return state_;
    if (pin_) return signal_pinned(pin_.get(), held_.pid, signal);
    if (watch_) return signal_through(watch_.get(), signal) == 0 ? SignalResult::delivered : signal_result_of_error(errno);
    // Its descriptors were let go: pinned again for this signal, and
    // signalled only if the pinned process has the start time it had.
    UniqueFd dir(::open(process_path(held_.pid).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return is_gone(errno) ? SignalResult::gone : SignalResult::failed;
    std::optional<StatFields> stat = read_stat(dir.get(), "stat");
    if (!stat) return is_gone(errno) ? SignalResult::gone : SignalResult::failed;
    if (start_time_ == 0 || stat->start_time != start_time_) return SignalResult::gone;
    return signal_pinned(dir.get(), held_.pid, signal);
}

bool PinnedProcess::exited() const {
    if (!valid()) return true;
    if (watch_) {
        pollfd watch{watch_.get(), POLLIN, 0};
        return ::poll(&watch, 1, 0) > 0;
    }
    if (pin_) {
        std::optional<StatFields> stat = read_stat(pin_.get(), "stat");
        if (!stat) return is_gone(errno);  // reaped, or unknown for now
        return has_exited(stat->state);
    }
    std::optional<StatFields> stat = read_stat(AT_FDCWD, (process_path(held_.pid) + "stat").c_str());
    if (!stat) return is_gone(errno);  // reaped, or unknown for now (no descriptor free): not exited
    // Without its start time the process cannot be told from one that took
    // its pid: not known to have exited.
    if (start_time_ == 0) return false;
    return stat->start_time != start_time_ || has_exited(stat->state);
}

bool PinnedProcess::exiting() const {
    if (!valid() || exited()) return false;
    std::optional<StatFields> stat =
        pin_ ? read_stat(pin_.get(), "stat") : read_stat(AT_FDCWD, (process_path(held_.pid) + "stat").c_str());
    if (!stat) return false;
    // Known by its pid alone, the process must still have its start time.
    if (!pin_ && !watch_ && (start_time_ == 0 || stat->start_time != start_time_)) return false;
    // A leader that ended before its threads shows as a zombie: not exiting.
    return (stat->flags & task_exiting_flag) != 0 && !has_exited(stat->state);
}

}  // namespace velmor::platform
