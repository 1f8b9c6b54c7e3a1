// The process queries on macOS: each one is a call of the system's process
// information interface (a listing that fills its buffer is asked for again
// with more room), and a result of 0 or less is a failure.
// There are no socket tables to read in advance: a socket is known through
// the descriptor of a process that holds it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>
#include <utility>

#include "core/platform/macos/layout.hpp"
#include "core/platform/process_queries.hpp"
#include "core/system/utf8.hpp"

namespace velmor::platform {
namespace {

// Buffer size of the name and path queries.
constexpr int text_limit = 4095;

// macOS keeps up to 32 bytes of a process's name (pbi_name), and gives up
// to 16 of its command name (pbi_comm) where no longer name is set; both
// are cut at a byte.
constexpr std::size_t name_limit = 32;
constexpr std::size_t comm_limit = 16;

// A listing that fills its buffer may have been cut short: it is asked for
// again with this many times the room, up to a few times.
constexpr std::size_t listing_growth = 2;
constexpr int listing_attempts = 4;
// Room for processes started between sizing the process list and filling it.
constexpr std::size_t pid_slack = 64;

// TCP states as macOS numbers them (TSI_S_*), in our numbering.
constexpr SocketState tcp_states[] = {
    SocketState::close,      SocketState::listen,    SocketState::syn_sent, SocketState::syn_recv,
    SocketState::established, SocketState::close_wait, SocketState::fin_wait1, SocketState::closing,
    SocketState::last_ack,   SocketState::fin_wait2, SocketState::time_wait,
};

SocketState tcp_state(int state) {
    if (state < 0 || static_cast<std::size_t>(state) >= std::size(tcp_states)) return SocketState::unknown;
    return tcp_states[state];
}

// A port as the system keeps it: network byte order in the low 16 bits.
std::uint16_t port_of(int field) { return ntohs(static_cast<std::uint16_t>(field & 0xFFFF)); }

// An address of the given family: IPv4 in the last four bytes of the field.
std::array<std::uint8_t, 16> address_of(const void* field, Family family) {
    std::array<std::uint8_t, 16> address{};
    const auto* bytes = static_cast<const std::uint8_t*>(field);
    if (family == Family::ipv4) {
        std::memcpy(address.data(), bytes + 12, 4);
    } else {
        std::memcpy(address.data(), bytes, 16);
    }
    return address;
}

bool all_zero(const std::array<std::uint8_t, 16>& address) {
    return std::all_of(address.begin(), address.end(), [](std::uint8_t byte) { return byte == 0; });
}

std::optional<std::string> text_of(const char* buffer, int size) {
    if (size <= 0) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(size));
}

std::optional<std::string> valid_text(std::optional<std::string> text) {
    if (!text || !utf8::is_valid(*text)) return std::nullopt;
    return text;
}

std::optional<proc_bsdinfo> bsd_info(Pid pid) {
    proc_bsdinfo info{};
    int size = proc_pidinfo(static_cast<int>(pid), PROC_PIDTBSDINFO, 0, &info, static_cast<int>(sizeof info));
    if (size <= 0) return std::nullopt;
    return info;
}

// Fills `buffer` from `query(data, bytes)`, which gives the bytes it wrote,
// starting with room for `capacity` entries. A buffer that comes back full
// may hold only part of the listing (it grew between sizing and filling),
// so it is grown and the listing asked for again.
template <typename Entry, typename Query>
bool fill_listing(std::vector<Entry>& buffer, std::size_t capacity, Query query) {
    constexpr std::size_t most_entries = static_cast<std::size_t>(INT_MAX) / sizeof(Entry);
    capacity = std::clamp<std::size_t>(capacity, 1, most_entries);
    for (int attempt = 1;; ++attempt) {
        buffer.resize(capacity);
        int bytes = query(buffer.data(), static_cast<int>(capacity * sizeof(Entry)));
        if (bytes <= 0) return false;
        std::size_t entries = std::min(capacity, static_cast<std::size_t>(bytes) / sizeof(Entry));
        if (entries < capacity || attempt == listing_attempts || capacity == most_entries) {
            buffer.resize(entries);
            return true;
        }
        capacity = std::min(capacity * listing_growth, most_entries);
    }
}

std::optional<std::string> executable_path(Pid pid) {
    char buffer[text_limit];
    return text_of(buffer, proc_pidpath(static_cast<int>(pid), buffer, text_limit));
}

// A name that may have been cut at the system's limit: the executable's file
// name when that is longer and begins with it, else the name without a
// character that the cut split.
std::string repaired_name(Pid pid, std::string name) {
    std::size_t keep = utf8::cut_length(name);
    if (keep != std::string_view::npos) name.resize(keep);
    if (std::optional<std::string> path = executable_path(pid)) {
        std::string_view file = std::string_view(*path).substr(path->rfind('/') + 1);
        if (file.size() > name.size() && file.starts_with(name) && utf8::is_valid(file)) return std::string(file);
    }
    return name;
}

std::optional<socket_fdinfo> socket_fd_info(Pid pid, int fd) {
    socket_fdinfo info{};
    int size = proc_pidfdinfo(static_cast<int>(pid), fd, PROC_PIDFDSOCKETINFO, &info, static_cast<int>(sizeof info));
    if (size <= 0) return std::nullopt;
    return info;
}

}  // namespace

struct ProcessQueries::State {
    SocketFilter filter;
    std::vector<proc_fdinfo> descriptors;  // the buffer of the latest descriptor listing, reused
};

ProcessQueries::ProcessQueries(const SocketFilter& filter) : state_(std::make_unique<State>()) {
    state_->filter = filter;
}

ProcessQueries::~ProcessQueries() = default;

const SocketFilter& ProcessQueries::filter() const noexcept { return state_->filter; }

std::span<const SocketInfo> ProcessQueries::listed_sockets() const noexcept { return {}; }

bool ProcessQueries::lists_every_socket() const noexcept { return false; }

std::uint16_t lowest_port_we_may_bind() noexcept { return ::geteuid() == 0 ? 1 : 1024; }

// No socket table to consult in advance: every port may be held.
bool ProcessQueries::may_be_held(std::uint16_t port) const noexcept { return state_->filter.wants_port(port); }

// Sized by a first call without a buffer, then filled, and grown while
// processes started meanwhile fill it.
bool ProcessQueries::list(std::vector<Pid>& pids) {
    pids.clear();
    int needed = proc_listpids(PROC_ALL_PIDS, 0, nullptr, 0);
    if (needed <= 0) return false;
    return fill_listing(pids, static_cast<std::size_t>(needed) / sizeof(Pid) + pid_slack,
                        [](Pid* data, int bytes) { return proc_listpids(PROC_ALL_PIDS, 0, data, bytes); });
}

std::optional<std::uint32_t> ProcessQueries::descriptor_count(Pid pid) {
    std::optional<proc_bsdinfo> info = bsd_info(pid);
    if (!info) return std::nullopt;
    return info->pbi_nfiles;
}

bool ProcessQueries::descriptors(Pid pid, std::size_t capacity, DescriptorListing& out) {
    out.pid = pid;
    out.task = 0;
    out.entries.clear();
    auto& buffer = state_->descriptors;
    out.inspectable = true;
    bool listed = fill_listing(buffer, capacity, [pid](proc_fdinfo* data, int bytes) {
        return proc_pidinfo(static_cast<int>(pid), PROC_PIDLISTFDS, 0, data, bytes);
    });
    if (!listed) {
        if (errno == EPERM || errno == EACCES) out.inspectable = false;
        return false;
    }
    out.entries.reserve(buffer.size());
    for (const proc_fdinfo& entry : buffer) {
        out.entries.push_back(Descriptor{entry.proc_fd, entry.proc_fdtype == PROX_FDTYPE_SOCKET});
    }
    return true;
}

// The threads of a process share its descriptor table on macOS.
bool ProcessQueries::thread_descriptors(Pid, bool, std::vector<DescriptorListing>& out) {
    out.clear();
    return true;
}

std::optional<SocketInfo> ProcessQueries::socket(const DescriptorListing& listing, const Descriptor& descriptor) {
    std::optional<socket_fdinfo> info = socket_fd_info(listing.pid, descriptor.fd);
    if (!info) return std::nullopt;
    const socket_info& psi = info->psi;
    if (psi.soi_kind != SOCKINFO_TCP && psi.soi_kind != SOCKINFO_IN) return std::nullopt;
    // The TCP member starts with the same in_sockinfo as the other one.
    const in_sockinfo& in = psi.soi_kind == SOCKINFO_TCP ? psi.soi_proto.pri_tcp.tcpsi_ini : psi.soi_proto.pri_in;

    SocketInfo socket;
    socket.family = (in.insi_vflag & macos_layout::vflag_ipv6) != 0 ? Family::ipv6 : Family::ipv4;
    socket.local.port = port_of(in.insi_lport);
    socket.remote.port = port_of(in.insi_fport);
    socket.local.address = address_of(&in.insi_laddr, socket.family);
    socket.remote.address = address_of(&in.insi_faddr, socket.family);
    socket.uid = psi.soi_stat.vst_uid;
    socket.id = psi.soi_so;
    if (psi.soi_kind == SOCKINFO_TCP) {
        socket.protocol = Protocol::tcp;
        socket.state = tcp_state(psi.soi_proto.pri_tcp.tcpsi_state);
    } else {
        socket.protocol = psi.soi_protocol == IPPROTO_UDP ? Protocol::udp : Protocol::other;
        bool connected = socket.remote.port != 0 || !all_zero(socket.remote.address);
        socket.state = connected ? SocketState::established : SocketState::close;
    }
    return socket;
}

// The name as proc_name gives it, repaired where it may have been cut at
// one of the system's two limits.
std::optional<std::string> ProcessQueries::name_bytes(Pid pid) {
    char buffer[text_limit];
    std::optional<std::string> name = text_of(buffer, proc_name(static_cast<int>(pid), buffer, text_limit));
    if (!name || (name->size() != name_limit && name->size() != comm_limit)) return name;
    return repaired_name(pid, std::move(*name));
}

std::optional<std::string> ProcessQueries::name(Pid pid) {
    std::optional<std::string> name = valid_text(name_bytes(pid));
    if (!name || name->empty()) return std::nullopt;
    return name;
}

std::optional<std::string> ProcessQueries::command_bytes(Pid pid) { return executable_path(pid); }

std::optional<std::string> ProcessQueries::command(Pid pid) { return valid_text(command_bytes(pid)); }

std::optional<std::uint32_t> ProcessQueries::uid(Pid pid) {
    std::optional<proc_bsdinfo> info = bsd_info(pid);
    if (!info) return std::nullopt;
    return info->pbi_uid;
}

std::optional<Pid> ProcessQueries::parent(Pid pid) {
    std::optional<proc_bsdinfo> info = bsd_info(pid);
    if (!info) return std::nullopt;
    return info->pbi_ppid;
}

// Thread ids are not pids on macOS: a pid the system knows names a process.
std::optional<Pid> ProcessQueries::process_of(Pid pid) {
    if (!bsd_info(pid)) return std::nullopt;
    return pid;
}

// The queries are calls that open no descriptor.
int ProcessQueries::descriptor_shortage() const noexcept { return 0; }

// No pid namespaces.
bool pids_are_ours() { return true; }

// macOS has no pid namespaces: every process is listed.
ProcessView process_view() { return ProcessView::every; }

std::optional<std::uint64_t> socket_id_of(int fd) {
    std::optional<socket_fdinfo> info = socket_fd_info(static_cast<Pid>(::getpid()), fd);
    if (!info) return std::nullopt;
    return info->psi.soi_so;
}

}  // namespace velmor::platform
