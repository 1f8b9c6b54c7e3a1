// The process queries on Linux: processes and their descriptors from /proc,
// socket details from the socket tables of the caller's network namespace,
// loaded once per pass and restricted to the pass's filter (see
// socket_tables.cpp). Only TCP, UDP and UDP-Lite sockets are loaded, so raw
// IP sockets (whose "port" is a protocol number) never count, and neither do
// sockets of other network namespaces, whose inodes are not in our tables.

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/platform/linux/proc_files.hpp"
#include "core/platform/linux/socket_tables.hpp"
#include "core/platform/process_queries.hpp"
#include "core/system/utf8.hpp"

namespace velmor::platform {
namespace {

using linux_proc::is_digits;
using linux_proc::list_numbers;
using linux_proc::number_path;
using linux_proc::parse_number;
using linux_proc::read_file;

// The kernel cuts comm at 15 bytes; the command line is read up to this many.
constexpr std::size_t comm_limit = 15;
constexpr std::size_t cmd_limit = 4095;

// Older C libraries name no kcmp; its number is the kernel's, per architecture.
#ifndef SYS_kcmp
#if defined(__x86_64__)
#define SYS_kcmp 312
#elif defined(__aarch64__)
#define SYS_kcmp 272
#else
#error "SYS_kcmp: no fallback number for this architecture"
#endif
#endif
constexpr int kcmp_files = 2;  // KCMP_FILES

std::string_view base_name(std::string_view path) { return path.substr(path.rfind('/') + 1); }

// A command line as the kernel keeps it, its arguments joined by single
// spaces; the terminating NUL and the padding of a command line rewritten
// in place are dropped.
std::string joined_arguments(std::string_view raw) {
    while (!raw.empty() && raw.back() == '\0') raw.remove_suffix(1);
    std::string cmd(raw);
    std::replace(cmd.begin(), cmd.end(), '\0', ' ');
    return cmd;
}


// The socket inode that a descriptor's link names, "socket:[INODE]".
std::optional<std::uint64_t> socket_inode(std::string_view link) {
    constexpr std::string_view prefix = "socket:[";
    if (!link.starts_with(prefix) || !link.ends_with(']')) return std::nullopt;
    return parse_number<std::uint64_t>(link.substr(prefix.size(), link.size() - prefix.size() - 1));
}

// Whether two threads of `pid` share one descriptor table; unknown when the
// system cannot compare them.
std::optional<bool> share_descriptors(Pid first, Pid second) {
    long same = ::syscall(SYS_kcmp, static_cast<pid_t>(first), static_cast<pid_t>(second), kcmp_files, 0UL, 0UL);
    if (same < 0) return std::nullopt;
    return same == 0;
}

// The first `most` words of `text`, separated by spaces or tabs.
std::vector<std::string_view> words(std::string_view text, std::size_t most) {
    std::vector<std::string_view> found;
    while (found.size() < most) {
        std::size_t start = text.find_first_not_of(" \t");
        if (start == std::string_view::npos) break;
        text.remove_prefix(start);
        std::size_t end = std::min(text.find_first_of(" \t"), text.size());
        found.push_back(text.substr(0, end));
        text.remove_prefix(end);
    }
    return found;
}

// kthreadd, pid 2, as the system's first pid namespace sees it: a child of
// pid 0 flagged as a kernel thread.
bool kernel_threads_in_view() {
    std::string stat;
    if (!read_file(AT_FDCWD, "/proc/2/stat", 512, stat)) return false;
    std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return false;
    // ") STATE PPID PGRP SESSION TTY TPGID FLAGS ...": the parent and the flags.
    std::vector<std::string_view> fields = words(std::string_view(stat).substr(close + 1), 7);
    if (fields.size() < 7) return false;
    constexpr std::uint64_t kernel_thread_flag = 0x00200000;  // PF_KTHREAD
    std::optional<Pid> parent = parse_number<Pid>(fields[1]);
    std::optional<std::uint64_t> flags = parse_number<std::uint64_t>(fields[6]);
    return parent == Pid{0} && flags && (*flags & kernel_thread_flag) != 0;
}

}  // namespace

struct ProcessQueries::State {
    SocketFilter filter;
    std::vector<SocketInfo> sockets;  // sorted by id
    std::bitset<65536> present;       // ports with a listed socket
    UniqueFd proc;
    std::vector<char> buffer;   // directory entries
    std::string text;           // cmdline of text_pid
    Pid text_pid = 0;           // 0: text holds no command line

    int shortage = 0;           // EMFILE or ENFILE once an open found no descriptor free

    explicit State(const SocketFilter& wanted) : filter(wanted) {
        sockets = linux_tables::load(filter, &shortage);
        std::sort(sockets.begin(), sockets.end(), [](const SocketInfo& a, const SocketInfo& b) { return a.id < b.id; });
        drop_repeated_sockets();
        for (const SocketInfo& socket : sockets) present.set(socket.local.port);
    }

    // A table read while sockets come and go can list one socket twice (the
    // text tables of /proc/net are read in pieces, and a socket moved within
    // the kernel's table between two pieces is met again): one entry per
    // inode. TIME-WAIT sockets have inode 0 and are all kept.
    void drop_repeated_sockets() {
        auto same_socket = [](const SocketInfo& a, const SocketInfo& b) { return a.id != 0 && a.id == b.id; };
        sockets.erase(std::unique(sockets.begin(), sockets.end(), same_socket), sockets.end());
    }

    // Notes a failed open that found no descriptor free.
    void note_failure() {
        if (errno == EMFILE || errno == ENFILE) shortage = errno;
    }

    bool read(const char* path, std::size_t limit, std::string& out) {
        if (read_file(proc_dir(), path, limit, out)) return true;
        note_failure();
        return false;
    }

    int proc_dir() {
        if (!proc) {
            proc.reset(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (!proc) note_failure();
        }
        return proc.get();
    }

    const SocketInfo* listed(std::uint64_t inode) const {
        auto it = std::lower_bound(sockets.begin(), sockets.end(), inode,
                                   [](const SocketInfo& socket, std::uint64_t id) { return socket.id < id; });
        return it != sockets.end() && it->id == inode ? &*it : nullptr;
    }

    // The command line of `pid`, at most cmd_limit + 1 bytes of it, into
    // `text`. An owner's name and command both need it: it is read once.
    bool read_cmdline(Pid pid) {
        if (text_pid == pid) return true;
        text_pid = 0;
        char path[32];
        if (!read(number_path(path, pid, "/cmdline"), cmd_limit + 1, text)) return false;
        text_pid = pid;
        return true;
    }

    // Opens and lists one descriptor directory ("PID/fd" or "PID/task/TID/fd").
    bool list_directory(const char* path, DescriptorListing& out) {
        out.entries.clear();
        out.directory.reset(::openat(proc_dir(), path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!out.directory) {
            note_failure();
            return false;
        }
        // Whether an entry is a socket shows only in its link, read on demand.
        return linux_proc::for_each_entry(out.directory.get(), buffer, [&](std::string_view name) {
            if (!is_digits(name)) return;
            if (std::optional<int> fd = parse_number<int>(name)) out.entries.push_back(Descriptor{*fd, true});
        });
    }

    // The program names the command line offers for completing a cut comm:
    // the base name of its first two arguments (an interpreter runs a script
    // as its second), each also up to its first space, for command lines
    // rewritten into one string.
    std::optional<std::string> completed_name(Pid pid, std::string_view cut) {
        if (!read_cmdline(pid)) return std::nullopt;
        std::string_view rest = text;
        for (int argument = 0; argument < 2 && !rest.empty(); ++argument) {
            std::string_view word = rest.substr(0, rest.find('\0'));
            rest.remove_prefix(std::min(rest.size(), word.size() + 1));
            for (std::string_view candidate : {base_name(word.substr(0, word.find(' '))), base_name(word)}) {
                if (candidate.size() > cut.size() && candidate.starts_with(cut) && utf8::is_valid(candidate)) {
                    return std::string(candidate);
                }
            }
        }
        return std::nullopt;
    }
};

ProcessQueries::ProcessQueries(const SocketFilter& filter) : state_(std::make_unique<State>(filter)) {}

ProcessQueries::~ProcessQueries() = default;

const SocketFilter& ProcessQueries::filter() const noexcept { return state_->filter; }

std::span<const SocketInfo> ProcessQueries::listed_sockets() const noexcept { return state_->sockets; }

bool ProcessQueries::lists_every_socket() const noexcept { return true; }

namespace {

constexpr unsigned cap_net_bind_service = 10;
constexpr std::uint16_t first_unprivileged_port = 1024;

// Whether the effective capabilities in /proc/self/status hold `capability`.
bool has_capability(unsigned capability) {
    std::string status;
    if (!read_file(AT_FDCWD, "/proc/self/status", 8192, status)) return false;
    constexpr std::string_view key = "\nCapEff:";
    const std::size_t at = status.find(key);
    if (at == std::string::npos) return false;
    std::string_view value(status);
    value.remove_prefix(at + key.size());
    while (!value.empty() && (value.front() == '\t' || value.front() == ' ')) value.remove_prefix(1);
    value = value.substr(0, value.find('\n'));
    const std::optional<std::uint64_t> bits = parse_number<std::uint64_t>(value, 16);
    return bits && ((*bits >> capability) & 1U) != 0;
}

}  // namespace

std::uint16_t lowest_port_we_may_bind() noexcept {
    try {
        if (has_capability(cap_net_bind_service)) return 1;
        std::string text;
        if (!read_file(AT_FDCWD, "/proc/sys/net/ipv4/ip_unprivileged_port_start", 32, text)) {
            return first_unprivileged_port;
        }
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        const std::optional<std::uint32_t> start = parse_number<std::uint32_t>(text);
        if (!start) return first_unprivileged_port;
        return static_cast<std::uint16_t>(std::clamp<std::uint32_t>(*start, 1, 65535));
    } catch (...) {
        return first_unprivileged_port;
    }
}

bool ProcessQueries::may_be_held(std::uint16_t port) const noexcept { return state_->present.test(port); }

bool ProcessQueries::list(std::vector<Pid>& pids) {
    int proc = state_->proc_dir();
    if (proc < 0) return false;
    return list_numbers(proc, state_->buffer, pids);
}

// Linux lists a directory of any length and needs no count.
std::optional<std::uint32_t> ProcessQueries::descriptor_count(Pid) { return std::nullopt; }

bool ProcessQueries::descriptors(Pid pid, std::size_t, DescriptorListing& out) {
    out.pid = pid;
    out.task = 0;
    out.inspectable = true;
    char path[32];
    if (state_->list_directory(number_path(path, pid, "/fd"), out)) return true;
    if (errno == EACCES || errno == EPERM) out.inspectable = false;
    return false;
}

// A thread's table is looked at when it is not one already listed: the
// process's own, when that was listed and not empty (a process whose main
// thread has exited has an empty one), or another thread's.
bool ProcessQueries::thread_descriptors(Pid pid, bool own_table_listed, std::vector<DescriptorListing>& out) {
    out.clear();
    char path[48];
    UniqueFd tasks_dir(::openat(state_->proc_dir(), number_path(path, pid, "/task"), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!tasks_dir) {
        state_->note_failure();
        return false;
    }
    std::vector<Pid> tasks;
    std::vector<char> buffer;
    if (!list_numbers(tasks_dir.get(), buffer, tasks) || tasks.size() < 2) return true;

    std::vector<Pid> kept;  // threads whose tables are listed, to compare others with
    if (own_table_listed) kept.push_back(pid);
    for (Pid task : tasks) {
        if (task == pid && own_table_listed) continue;
        bool shared = std::any_of(kept.begin(), kept.end(), [&](Pid other) {
            return share_descriptors(other, task).value_or(false);
        });
        if (shared) continue;
        DescriptorListing listing;
        listing.pid = pid;
        listing.task = task;
        char fd_path[64];
        int at = std::snprintf(fd_path, sizeof fd_path, "%u/task/%u/fd", pid, task);
        if (at <= 0 || static_cast<std::size_t>(at) >= sizeof fd_path) continue;
        if (!state_->list_directory(fd_path, listing) || listing.entries.empty()) continue;
        kept.push_back(task);
        out.push_back(std::move(listing));
    }
    return true;
}

std::optional<SocketInfo> ProcessQueries::socket(const DescriptorListing& listing, const Descriptor& descriptor) {
    if (!listing.directory) return std::nullopt;
    char name[16];
    number_path(name, static_cast<std::uint64_t>(descriptor.fd));
    // "socket:[INODE]"; longer links are cut, which is all we need to tell them apart.
    char link[32];
    ssize_t size = ::readlinkat(listing.directory.get(), name, link, sizeof link);
    if (size < 0 && (errno == EACCES || errno == EPERM)) listing.inspectable = false;
    if (size <= 0) return std::nullopt;
    std::optional<std::uint64_t> inode = socket_inode(std::string_view(link, static_cast<std::size_t>(size)));
    if (!inode) return std::nullopt;
    const SocketInfo* socket = state_->listed(*inode);
    if (socket == nullptr) return std::nullopt;
    return *socket;
}

// comm, repaired where the kernel cut it at its 15-byte limit: a character
// split by the cut is dropped, and the name is completed from the command
// line when the program there has a longer name that begins with it.
std::optional<std::string> ProcessQueries::name_bytes(Pid pid) {
    char path[32];
    std::string comm;
    if (!state_->read(number_path(path, pid, "/comm"), 64, comm)) return std::nullopt;
    if (!comm.empty() && comm.back() == '\n') comm.pop_back();
    if (comm.size() != comm_limit) return comm;
    std::size_t keep = utf8::cut_length(comm);
    std::string_view cut = keep == std::string_view::npos ? std::string_view(comm) : std::string_view(comm).substr(0, keep);
    if (std::optional<std::string> completed = state_->completed_name(pid, cut)) return completed;
    return std::string(cut);
}

std::optional<std::string> ProcessQueries::name(Pid pid) {
    std::optional<std::string> name = name_bytes(pid);
    if (!name || name->empty() || !utf8::is_valid(*name)) return std::nullopt;
    return name;
}

// At most cmd_limit bytes of it; empty for kernel threads and zombies.
std::optional<std::string> ProcessQueries::command_bytes(Pid pid) {
    if (!state_->read_cmdline(pid)) return std::nullopt;
    return joined_arguments(std::string_view(state_->text).substr(0, cmd_limit));
}

// The same, valid UTF-8: a command line cut at the limit is cut between characters.
std::optional<std::string> ProcessQueries::command(Pid pid) {
    if (!state_->read_cmdline(pid)) return std::nullopt;
    std::string_view raw = state_->text;
    bool cut = raw.size() > cmd_limit;
    if (cut) raw = raw.substr(0, cmd_limit);
    std::size_t keep = cut ? utf8::cut_length(raw) : (utf8::is_valid(raw) ? raw.size() : std::string_view::npos);
    if (keep == std::string_view::npos) return std::nullopt;
    return joined_arguments(raw.substr(0, keep));
}

// The effective uid, from the "Uid:" line of /proc/PID/status.
std::optional<std::uint32_t> ProcessQueries::uid(Pid pid) {
    char path[32];
    std::string status;
    if (!state_->read(number_path(path, pid, "/status"), 4096, status)) return std::nullopt;
    std::size_t line = status.find("\nUid:");
    if (line == std::string::npos) return std::nullopt;
    std::string_view fields = std::string_view(status).substr(line + 5);
    fields = fields.substr(0, fields.find('\n'));
    // Real, effective, saved, filesystem: the second.
    std::size_t first = fields.find_first_not_of(" \t");
    std::size_t gap = fields.find_first_of(" \t", first);
    std::size_t second = fields.find_first_not_of(" \t", gap);
    if (second == std::string_view::npos) return std::nullopt;
    std::size_t end = std::min(fields.find_first_of(" \t", second), fields.size());
    return parse_number<std::uint32_t>(fields.substr(second, end - second));
}

// The fourth field of /proc/PID/stat, after the name in parentheses.
std::optional<Pid> ProcessQueries::parent(Pid pid) {
    char path[32];
    std::string stat;
    if (!state_->read(number_path(path, pid, "/stat"), 512, stat)) return std::nullopt;
    std::size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 4 > stat.size()) return std::nullopt;
    std::string_view rest = std::string_view(stat).substr(close + 4);  // ") S PPID ..."
    return parse_number<Pid>(rest.substr(0, rest.find(' ')));
}

// The "Tgid:" line of /proc/PID/status: a thread's id names its thread
// group there, a process's its own pid.
std::optional<Pid> ProcessQueries::process_of(Pid pid) {
    char path[32];
    std::string status;
    if (!state_->read(number_path(path, pid, "/status"), 4096, status)) return std::nullopt;
    std::size_t line = status.find("\nTgid:");
    if (line == std::string::npos) return std::nullopt;
    std::string_view field = std::string_view(status).substr(line + 6);
    field = field.substr(0, field.find('\n'));
    std::size_t first = field.find_first_not_of(" \t");
    if (first == std::string_view::npos) return std::nullopt;
    return parse_number<Pid>(field.substr(first));
}

int ProcessQueries::descriptor_shortage() const noexcept { return state_->shortage; }

// /proc is ours when /proc/self names our pid and the NSpid line of
// /proc/self/status has one pid (a /proc of an ancestor namespace lists one
// per level, and numbers that merely match are told apart so): then a pid
// found there names the same process to kill(2), pidfd_open(2) and a walk
// of the process tree.
bool pids_are_ours() {
    if (!linux_proc::proc_is_ours()) return false;
    std::string status;
    if (!read_file(AT_FDCWD, "/proc/self/status", 4096, status)) return false;
    std::size_t line = status.find("\nNSpid:");
    if (line == std::string::npos) return true;  // kernels before 4.1 do not say
    std::string_view pids = std::string_view(status).substr(line + 7);
    return words(pids.substr(0, pids.find('\n')), 2).size() == 1;
}

// Our pid namespace is the system's first when kthreadd (pid 2, a kernel
// thread, child of pid 0) is in view: kernel threads are visible there only.
ProcessView process_view() {
    if (!pids_are_ours()) return ProcessView::foreign;
    return kernel_threads_in_view() ? ProcessView::every : ProcessView::own_namespace;
}

std::optional<std::uint64_t> socket_id_of(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode)) return std::nullopt;
    return static_cast<std::uint64_t>(info.st_ino);
}

}  // namespace velmor::platform
