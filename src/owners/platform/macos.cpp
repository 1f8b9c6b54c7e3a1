// The process queries on macOS: each one is a single call of the system's
// process information interface, and a result of 0 or less is a failure.

#include <arpa/inet.h>
#include <libproc.h>
#include <sys/proc_info.h>

#include <algorithm>
#include <string_view>

#include "owners/process_queries.hpp"
#include "owners/utf8.hpp"

namespace velmor::owners {
namespace {

// Buffer size of the name and path queries.
constexpr int text_limit = 4095;

// The first `size` bytes of `buffer` as text, when they are valid UTF-8.
std::optional<std::string> utf8_text(const char* buffer, int size) {
    if (size <= 0) return std::nullopt;
    std::string_view text(buffer, static_cast<std::size_t>(size));
    if (!is_utf8(text)) return std::nullopt;
    return std::string(text);
}

}  // namespace

struct ProcessQueries::State {
    std::vector<proc_fdinfo> descriptors;  // the latest descriptor listing, reused
};

ProcessQueries::ProcessQueries(const SocketFilter&) : state_(std::make_unique<State>()) {}

ProcessQueries::~ProcessQueries() = default;

// No socket table to consult in advance: every port may be held.
bool ProcessQueries::may_be_held(std::uint16_t) const noexcept { return true; }

// Sized by a first call without a buffer, then filled once; neither retried nor grown.
bool ProcessQueries::list(std::vector<Pid>& pids) {
    pids.clear();
    int needed = proc_listpids(PROC_ALL_PIDS, 0, nullptr, 0);
    if (needed <= 0) return false;
    pids.resize(static_cast<std::size_t>(needed) / sizeof(Pid));
    int filled = proc_listpids(PROC_ALL_PIDS, 0, pids.data(), static_cast<int>(pids.size() * sizeof(Pid)));
    if (filled <= 0) return false;
    pids.resize(std::min(pids.size(), static_cast<std::size_t>(filled) / sizeof(Pid)));
    return true;
}

std::optional<std::uint32_t> ProcessQueries::descriptor_count(Pid pid) {
    proc_bsdinfo info{};
    int size = proc_pidinfo(static_cast<int>(pid), PROC_PIDTBSDINFO, 0, &info, static_cast<int>(sizeof info));
    if (size <= 0) return std::nullopt;
    return info.pbi_nfiles;
}

bool ProcessQueries::descriptors(Pid pid, std::size_t capacity, std::vector<Descriptor>& out) {
    out.clear();
    auto& buffer = state_->descriptors;
    buffer.resize(capacity);
    int size = proc_pidinfo(static_cast<int>(pid), PROC_PIDLISTFDS, 0, buffer.data(),
                            static_cast<int>(buffer.size() * sizeof(proc_fdinfo)));
    if (size <= 0) return false;
    std::size_t entries = std::min(buffer.size(), static_cast<std::size_t>(size) / sizeof(proc_fdinfo));
    out.reserve(entries);
    for (std::size_t i = 0; i < entries; ++i) {
        out.push_back(Descriptor{buffer[i].proc_fd, buffer[i].proc_fdtype == PROX_FDTYPE_SOCKET});
    }
    return true;
}

std::optional<SocketDetails> ProcessQueries::socket(Pid pid, const Descriptor& descriptor) {
    socket_fdinfo info{};
    int size = proc_pidfdinfo(static_cast<int>(pid), descriptor.fd, PROC_PIDFDSOCKETINFO, &info,
                              static_cast<int>(sizeof info));
    if (size <= 0) return std::nullopt;
    // The local port is in network byte order in the low 16 bits.
    auto port_of = [](int field) { return ntohs(static_cast<std::uint16_t>(field & 0xFFFF)); };
    SocketDetails details;
    details.id = info.psi.soi_so;
    if (info.psi.soi_kind == SOCKINFO_TCP) {
        details.kind = SocketKind::tcp;
        details.local_port = port_of(info.psi.soi_proto.pri_tcp.tcpsi_ini.insi_lport);
        details.listening = info.psi.soi_proto.pri_tcp.tcpsi_state == TSI_S_LISTEN;
    } else if (info.psi.soi_kind == SOCKINFO_IN) {
        details.kind = SocketKind::internet;
        details.local_port = port_of(info.psi.soi_proto.pri_in.insi_lport);
    }
    return details;
}

std::optional<std::string> ProcessQueries::name(Pid pid) {
    char buffer[text_limit];
    return utf8_text(buffer, proc_name(static_cast<int>(pid), buffer, text_limit));
}

std::optional<std::string> ProcessQueries::path(Pid pid) {
    char buffer[text_limit];
    return utf8_text(buffer, proc_pidpath(static_cast<int>(pid), buffer, text_limit));
}

}  // namespace velmor::owners
