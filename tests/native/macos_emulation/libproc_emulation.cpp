// The macOS process information calls that src/core/platform/macos makes,
// emulated on Linux so that the layer runs in tests:
//   proc_listpids   the numeric entries of /proc, in the order /proc lists them;
//   proc_pidinfo    PROC_PIDTBSDINFO from /proc/PID/stat and status,
//                   PROC_PIDLISTFDS from /proc/PID/fd, in ascending order;
//   proc_pidfdinfo  PROC_PIDFDSOCKETINFO from the socket tables of the
//                   caller's network namespace (read through the core's own
//                   Linux loader, afresh for every call, as a Mac asks its
//                   kernel every time);
//   proc_name       the base name of the executable (/proc/PID/exe), at most
//                   32 bytes as macOS keeps it, or comm when the executable
//                   cannot be read (kernel threads, zombies, other users'
//                   processes);
//   proc_pidpath    the executable's path, /proc/PID/exe.
// kqueue() and kevent() fail with ENOSYS: the exit wake-up runs only on a
// Mac, and the layer falls back to probing without it.
//
// The answers are what a Mac gives, no more: only the fields the layer reads
// are filled, everything else is zero; a socket that is not in our tables
// (a local-domain socket, a raw one, one of another network namespace) is
// reported with its identity but no internet details; a process whose /proc
// entries we may not read fails those queries. The five calls return 0 with
// errno set when they fail.

#include <libproc.h>
#include <sys/event.h>
#include <sys/proc_info.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/platform/linux/proc_files.hpp"
#include "core/platform/linux/socket_tables.hpp"
#include "core/platform/socket.hpp"

namespace {

using velmor::Family;
using velmor::Protocol;
using velmor::SocketInfo;
using velmor::SocketState;
namespace linux_proc = velmor::platform::linux_proc;

// macOS numbers.
constexpr int mac_af_inet = 2;
constexpr int mac_af_inet6 = 30;
constexpr std::uint32_t status_running = 2;  // SRUN: every live process on macOS
constexpr std::uint32_t status_zombie = 5;   // SZOMB
constexpr std::uint32_t fd_type_other = 1;   // any descriptor that is not a socket
constexpr int kind_generic = 0;              // a socket without internet details
constexpr std::uint8_t vflag_ipv4 = 1;
constexpr std::uint8_t vflag_ipv6 = 2;
constexpr std::size_t name_limit = 32;       // pbi_name

int fail(int error) {
    errno = error;
    return 0;
}

// The error a failed /proc access stands for on a Mac.
int error_of_proc_access() { return errno == ENOENT ? ESRCH : errno == EACCES ? EPERM : errno; }

std::string pid_path(int pid, std::string_view tail) { return "/proc/" + std::to_string(pid) + std::string(tail); }

std::optional<std::string> read_link(const std::string& path) {
    char target[PATH_MAX];
    ssize_t size = ::readlink(path.c_str(), target, sizeof target);
    if (size <= 0) return std::nullopt;
    return std::string(target, static_cast<std::size_t>(size));
}

std::optional<std::string> read_text(const std::string& path, std::size_t limit) {
    std::string text;
    if (!linux_proc::read_file(AT_FDCWD, path.c_str(), limit, text)) return std::nullopt;
    return text;
}

// Copies `text` and its terminating NUL into a caller's buffer that must hold both.
int copy_text(const std::string& text, void* buffer, std::uint32_t size) {
    if (buffer == nullptr || text.empty() || text.size() + 1 > size) return fail(ENOMEM);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<int>(text.size());
}

// Writes as many of `entries` as fit in `size` bytes of `buffer`; with no
// buffer, gives the bytes all of them need.
template <typename Entry>
int copy_entries(const std::vector<Entry>& entries, void* buffer, int size) {
    std::size_t needed = entries.size() * sizeof(Entry);
    if (needed > INT_MAX) return fail(ENOMEM);
    if (buffer == nullptr) return static_cast<int>(needed);
    if (size <= 0) return fail(EINVAL);
    std::size_t fitting = std::min(entries.size(), static_cast<std::size_t>(size) / sizeof(Entry));
    std::memcpy(buffer, entries.data(), fitting * sizeof(Entry));
    return static_cast<int>(fitting * sizeof(Entry));
}

// --- processes ---------------------------------------------------------------

struct StatFields {
    char state = '?';
    std::uint32_t parent = 0;
    std::uint64_t start_ticks = 0;  // clock ticks after boot
};

std::optional<StatFields> read_stat(int pid) {
    std::optional<std::string> stat = read_text(pid_path(pid, "/stat"), 1024);
    if (!stat) return std::nullopt;
    std::size_t close = stat->rfind(')');
    if (close == std::string::npos || close + 2 >= stat->size()) return std::nullopt;
    // After the name: field 3 the state, 4 the parent, 22 the start time.
    std::vector<std::string_view> fields;
    std::string_view rest = std::string_view(*stat).substr(close + 2);
    while (fields.size() < 20 && !rest.empty()) {
        std::size_t space = rest.find(' ');
        fields.push_back(rest.substr(0, space));
        rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
    }
    if (fields.size() < 20 || fields[0].size() != 1) return std::nullopt;
    std::optional<std::uint32_t> parent = linux_proc::parse_number<std::uint32_t>(fields[1]);
    std::optional<std::uint64_t> start = linux_proc::parse_number<std::uint64_t>(fields[19]);
    if (!parent || !start) return std::nullopt;
    return StatFields{fields[0][0], *parent, *start};
}

// The effective uid: the second number of the "Uid:" line of status.
std::optional<std::uint32_t> effective_uid(int pid) {
    std::optional<std::string> status = read_text(pid_path(pid, "/status"), 4096);
    if (!status) return std::nullopt;
    std::size_t line = status->find("\nUid:");
    if (line == std::string::npos) return std::nullopt;
    unsigned real = 0;
    unsigned effective = 0;
    if (std::sscanf(status->c_str() + line + 5, "%u %u", &real, &effective) != 2) return std::nullopt;
    return effective;
}

// Seconds since the epoch at boot, the "btime" line of /proc/stat.
std::optional<std::uint64_t> boot_time() {
    std::optional<std::string> stat = read_text("/proc/stat", 1 << 16);
    if (!stat) return std::nullopt;
    std::size_t line = stat->find("\nbtime ");
    if (line == std::string::npos) return std::nullopt;
    std::string_view rest = std::string_view(*stat).substr(line + 7);
    return linux_proc::parse_number<std::uint64_t>(rest.substr(0, rest.find('\n')));
}

// The numbers of the open descriptors of `pid`, in ascending order; empty
// when they may not be read.
std::optional<std::vector<int>> descriptor_numbers(int pid) {
    std::string directory = pid_path(pid, "/fd");
    velmor::UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return std::nullopt;
    std::vector<char> buffer;
    std::vector<int> fds;
    if (!linux_proc::list_numbers(dir.get(), buffer, fds)) return std::nullopt;
    std::sort(fds.begin(), fds.end());
    return fds;
}

// The open descriptors of `pid` with their kinds, in ascending order.
std::optional<std::vector<proc_fdinfo>> open_descriptors(int pid) {
    std::optional<std::vector<int>> fds = descriptor_numbers(pid);
    if (!fds) return std::nullopt;
    const std::string directory = pid_path(pid, "/fd");
    std::vector<proc_fdinfo> entries;
    for (int fd : *fds) {
        // A descriptor closed since the listing is not listed.
        std::optional<std::string> link = read_link(directory + "/" + std::to_string(fd));
        if (!link) continue;
        bool socket = link->starts_with("socket:[");
        entries.push_back(proc_fdinfo{fd, socket ? static_cast<std::uint32_t>(PROX_FDTYPE_SOCKET) : fd_type_other});
    }
    return entries;
}

int bsd_info(int pid, void* buffer, int size) {
    if (buffer == nullptr || size < static_cast<int>(sizeof(proc_bsdinfo))) return fail(ENOMEM);
    std::optional<StatFields> stat = read_stat(pid);
    if (!stat) return fail(ESRCH);
    std::optional<std::uint32_t> uid = effective_uid(pid);
    std::optional<std::uint64_t> booted = boot_time();
    if (!uid || !booted) return fail(ESRCH);
    proc_bsdinfo info{};
    info.pbi_status = stat->state == 'Z' || stat->state == 'X' ? status_zombie : status_running;
    info.pbi_ppid = stat->parent;
    info.pbi_uid = *uid;
    // A sizing hint only; 0 where the descriptors may not be read.
    std::optional<std::vector<int>> descriptors = descriptor_numbers(pid);
    info.pbi_nfiles = descriptors ? static_cast<std::uint32_t>(descriptors->size()) : 0;
    const auto ticks = static_cast<std::uint64_t>(::sysconf(_SC_CLK_TCK));
    info.pbi_start_tvsec = *booted + stat->start_ticks / ticks;
    std::memcpy(buffer, &info, sizeof info);
    return static_cast<int>(sizeof info);
}

int list_descriptors(int pid, void* buffer, int size) {
    std::optional<std::vector<proc_fdinfo>> entries = open_descriptors(pid);
    if (!entries) return fail(error_of_proc_access());
    if (entries->empty()) return fail(ESRCH);  // a zombie's table is gone
    return copy_entries(*entries, buffer, size);
}

// --- sockets -----------------------------------------------------------------

// The socket inode that a descriptor's link names, "socket:[INODE]".
std::optional<std::uint64_t> socket_inode(std::string_view link) {
    constexpr std::string_view prefix = "socket:[";
    if (!link.starts_with(prefix) || !link.ends_with(']')) return std::nullopt;
    return linux_proc::parse_number<std::uint64_t>(link.substr(prefix.size(), link.size() - prefix.size() - 1));
}

// The internet socket of the caller's network namespace with this inode, if any.
std::optional<SocketInfo> listed_socket(std::uint64_t inode) {
    velmor::SocketFilter everything;
    everything.add_every_port();
    everything.tcp_states = velmor::all_states;
    everything.udp_states = velmor::all_states;
    everything.other = true;
    for (const SocketInfo& socket : velmor::platform::linux_tables::load(everything)) {
        if (socket.id == inode) return socket;
    }
    return std::nullopt;
}

// Linux's TCP state numbers (as SocketState) in macOS's (TSI_S_*).
int mac_tcp_state(SocketState state) {
    switch (state) {
        case SocketState::established:
            return 4;
        case SocketState::syn_sent:
            return 2;
        case SocketState::syn_recv:
        case SocketState::new_syn_recv:
            return 3;
        case SocketState::fin_wait1:
            return 6;
        case SocketState::fin_wait2:
            return 9;
        case SocketState::time_wait:
            return 10;
        case SocketState::close_wait:
            return 5;
        case SocketState::last_ack:
            return 8;
        case SocketState::listen:
            return 1;
        case SocketState::closing:
            return 7;
        case SocketState::close:
        case SocketState::unknown:
            break;
    }
    return 0;
}

bool is_v4_mapped(const std::array<std::uint8_t, 16>& address) {
    static constexpr std::uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return std::memcmp(address.data(), prefix, sizeof prefix) == 0;
}

// An address as in_sockinfo keeps it: IPv4 in the last four bytes.
void put_address(void* field, const std::array<std::uint8_t, 16>& address, bool ipv4) {
    auto* bytes = static_cast<std::uint8_t*>(field);
    if (ipv4) {
        std::memcpy(bytes + 12, address.data(), 4);
    } else {
        std::memcpy(bytes, address.data(), 16);
    }
}

void fill_internet(in_sockinfo& in, const SocketInfo& socket) {
    // An IPv6 socket on a v4-mapped address is an IPv4 one to the BSD stack,
    // its address the mapped one (whose last four bytes are the IPv4 address).
    bool mapped = socket.family == Family::ipv6 && is_v4_mapped(socket.local.address);
    in.insi_vflag = socket.family == Family::ipv4 || mapped ? vflag_ipv4 : vflag_ipv6;
    in.insi_lport = htons(socket.local.port);
    in.insi_fport = htons(socket.remote.port);
    put_address(&in.insi_laddr, socket.local.address, socket.family == Family::ipv4);
    put_address(&in.insi_faddr, socket.remote.address, socket.family == Family::ipv4);
}

int socket_details(int pid, int fd, void* buffer, int size) {
    if (buffer == nullptr || size < static_cast<int>(sizeof(socket_fdinfo))) return fail(ENOMEM);
    std::optional<std::string> link = read_link(pid_path(pid, "/fd/" + std::to_string(fd)));
    if (!link) return fail(error_of_proc_access());
    std::optional<std::uint64_t> inode = socket_inode(*link);
    if (!inode) return fail(EBADF);  // not a socket
    socket_fdinfo info{};
    socket_info& psi = info.psi;
    psi.soi_so = *inode;
    psi.soi_kind = kind_generic;
    if (std::optional<SocketInfo> socket = listed_socket(*inode)) {
        psi.soi_family = socket->family == Family::ipv4 ? mac_af_inet : mac_af_inet6;
        psi.soi_stat.vst_uid = socket->uid;
        if (socket->protocol == Protocol::tcp) {
            psi.soi_kind = SOCKINFO_TCP;
            psi.soi_protocol = IPPROTO_TCP;
            fill_internet(psi.soi_proto.pri_tcp.tcpsi_ini, *socket);
            psi.soi_proto.pri_tcp.tcpsi_state = mac_tcp_state(socket->state);
        } else {
            psi.soi_kind = SOCKINFO_IN;
            psi.soi_protocol = socket->protocol == Protocol::udp ? IPPROTO_UDP : IPPROTO_UDPLITE;
            fill_internet(psi.soi_proto.pri_in, *socket);
        }
    }
    std::memcpy(buffer, &info, sizeof info);
    return static_cast<int>(sizeof info);
}

// --- names -------------------------------------------------------------------

std::optional<std::string> executable_path(int pid) { return read_link(pid_path(pid, "/exe")); }

// The name macOS gives at exec: the executable's file name, cut at 32
// bytes; comm where the executable cannot be read.
std::optional<std::string> process_name(int pid) {
    if (std::optional<std::string> path = executable_path(pid)) {
        std::string name = path->substr(path->rfind('/') + 1);
        if (name.size() > name_limit) name.resize(name_limit);
        return name;
    }
    std::optional<std::string> comm = read_text(pid_path(pid, "/comm"), 64);
    if (comm && !comm->empty() && comm->back() == '\n') comm->pop_back();
    return comm;
}

}  // namespace

extern "C" {

int proc_listpids(uint32_t type, uint32_t /*typeinfo*/, void* buffer, int buffersize) {
    if (type != PROC_ALL_PIDS) return fail(EINVAL);
    velmor::UniqueFd proc(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::vector<char> listing;
    std::vector<int> pids;
    if (!proc || !linux_proc::list_numbers(proc.get(), listing, pids)) return fail(EPERM);
    return copy_entries(pids, buffer, buffersize);
}

int proc_pidinfo(int pid, int flavor, uint64_t /*arg*/, void* buffer, int buffersize) {
    if (pid <= 0) return fail(ESRCH);
    if (flavor == PROC_PIDTBSDINFO) return bsd_info(pid, buffer, buffersize);
    if (flavor == PROC_PIDLISTFDS) return list_descriptors(pid, buffer, buffersize);
    return fail(EINVAL);
}

int proc_pidfdinfo(int pid, int fd, int flavor, void* buffer, int buffersize) {
    if (pid <= 0) return fail(ESRCH);
    if (flavor != PROC_PIDFDSOCKETINFO || fd < 0) return fail(EINVAL);
    return socket_details(pid, fd, buffer, buffersize);
}

int proc_name(int pid, void* buffer, uint32_t buffersize) {
    if (pid <= 0) return fail(ESRCH);
    std::optional<std::string> name = process_name(pid);
    if (!name || name->empty()) return fail(ESRCH);
    if (buffer == nullptr || buffersize == 0) return fail(EINVAL);
    // Cut to the buffer, as strlcpy does.
    std::size_t length = std::min<std::size_t>(name->size(), buffersize - 1);
    std::memcpy(buffer, name->data(), length);
    static_cast<char*>(buffer)[length] = '\0';
    return static_cast<int>(length);
}

int proc_pidpath(int pid, void* buffer, uint32_t buffersize) {
    if (pid <= 0) return fail(ESRCH);
    std::optional<std::string> path = executable_path(pid);
    if (!path) return fail(error_of_proc_access());
    return copy_text(*path, buffer, buffersize);
}

int kqueue(void) {
    errno = ENOSYS;
    return -1;
}

int kevent(int, const struct kevent*, int, struct kevent*, int, const struct timespec*) {
    errno = ENOSYS;
    return -1;
}

}  // extern "C"
