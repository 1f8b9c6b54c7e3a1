// The process queries on Linux: processes and their descriptors from /proc,
// socket details from the socket tables of the caller's network namespace,
// loaded once per pass and restricted to the wanted ports. The tables come
// from NETLINK_SOCK_DIAG; a table that netlink refuses is read from
// /proc/thread-self/net instead. Only TCP, UDP and UDP-Lite sockets are
// loaded, so raw IP sockets (whose "port" is a protocol number) never count,
// and neither do sockets of other network namespaces, whose inodes are not
// in our tables.

#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>

#include "owners/process_queries.hpp"
#include "owners/utf8.hpp"
#include "probe/unique_fd.hpp"

namespace velmor::owners {
namespace {

#ifdef VELMOR_FORCE_PROC_NET
constexpr bool netlink_enabled = false;  // test builds: exercise the /proc/net reader
#else
constexpr bool netlink_enabled = true;
#endif

// TCP states as the kernel numbers them.
constexpr unsigned tcp_listen = 10;
constexpr unsigned tcp_time_wait = 6;
constexpr unsigned tcp_new_syn_recv = 12;

// The kernel cuts comm at 15 bytes; the command line is read up to this many.
constexpr std::size_t comm_limit = 15;
constexpr std::size_t cmd_limit = 4095;

constexpr std::size_t dirent_buffer_size = 32 * 1024;
constexpr std::size_t netlink_buffer_size = 32 * 1024;
constexpr std::size_t proc_net_buffer_size = 16 * 1024;

struct TableEntry {
    std::uint64_t inode = 0;
    std::uint16_t port = 0;
    SocketKind kind = SocketKind::other;
    bool listening = false;
};

struct Table {
    std::uint8_t family;
    std::uint8_t protocol;
    const char* proc_net_file;
};

constexpr Table tcp_tables[] = {
    {AF_INET, IPPROTO_TCP, "tcp"},
    {AF_INET6, IPPROTO_TCP, "tcp6"},
};
constexpr Table datagram_tables[] = {
    {AF_INET, IPPROTO_UDP, "udp"},
    {AF_INET6, IPPROTO_UDP, "udp6"},
    {AF_INET, IPPROTO_UDPLITE, "udplite"},
    {AF_INET6, IPPROTO_UDPLITE, "udplite6"},
};

// Parses a whole decimal number of type T; empty on anything else.
template <typename T>
std::optional<T> parse_number(std::string_view text, int base = 10) {
    T value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc{} || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

bool is_digits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Reads the whole of (or the first `limit` bytes of) `path` under `dir` into `out`.
bool read_file(int dir, const char* path, std::size_t limit, std::string& out) {
    UniqueFd file(::openat(dir, path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!file) return false;
    out.resize(limit);
    std::size_t size = 0;
    while (size < limit) {
        ssize_t got = ::read(file.get(), out.data() + size, limit - size);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        size += static_cast<std::size_t>(got);
    }
    out.resize(size);
    return true;
}

// Calls `entry(name)` for each entry of the procfs directory `dir`, in the
// order the kernel gives them. False when the listing fails.
template <typename Entry>
bool for_each_entry(int dir, std::vector<char>& buffer, Entry entry) {
    // Read until the empty reply: procfs may end a reply early with room to
    // spare (seen in about 3% of /proc listings while the caller's own
    // children come and go), and stopping there would miss processes.
    buffer.resize(dirent_buffer_size);
    for (;;) {
        ssize_t got = ::getdents64(dir, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        std::size_t end = static_cast<std::size_t>(got);
        for (std::size_t at = 0; at < end;) {
            dirent64 header;
            std::memcpy(&header, buffer.data() + at, offsetof(dirent64, d_name));
            const char* name = buffer.data() + at + offsetof(dirent64, d_name);
            entry(std::string_view(name, ::strnlen(name, end - at - offsetof(dirent64, d_name))));
            at += header.d_reclen;
        }
    }
}

}  // namespace

struct ProcessQueries::State {
    bool listening_only = false;
    std::bitset<65536> wanted;
    std::bitset<65536> present;      // ports with a counting socket in the table
    std::vector<TableEntry> table;   // sorted by inode
    UniqueFd proc;
    UniqueFd fd_dir;                 // /proc/PID/fd of the latest listing
    Pid fd_dir_pid = 0;
    std::vector<char> buffer;        // directory entries, netlink replies, /proc/net text
    std::string text;                // cmdline of text_pid
    Pid text_pid = 0;                // 0: text holds no command line

    explicit State(const SocketFilter& filter);

    void add(std::uint64_t inode, std::uint16_t port, std::uint8_t protocol, unsigned state);
    void load(const Table& table, UniqueFd& netlink, std::uint32_t states, std::uint16_t low, std::uint16_t high);
    bool load_netlink(const Table& table, int netlink, std::uint32_t states, std::uint16_t low, std::uint16_t high);
    void load_proc_net(const Table& table);
    bool read_cmdline(Pid pid);
};

ProcessQueries::State::State(const SocketFilter& filter) : listening_only(filter.listening_only) {
    std::uint16_t low = 65535;
    std::uint16_t high = 0;
    for (std::uint16_t port : filter.ports) {
        if (port == 0) continue;
        wanted.set(port);
        low = std::min(low, port);
        high = std::max(high, port);
    }
    if (wanted.none()) return;

    UniqueFd netlink;
    if (netlink_enabled) netlink.reset(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));

    // Sockets in TIME_WAIT and pending connections have no descriptor, so no
    // owner; leaving them out keeps the table small.
    const std::uint32_t tcp_states =
        listening_only ? std::uint32_t{1} << tcp_listen
                       : ~((std::uint32_t{1} << tcp_time_wait) | (std::uint32_t{1} << tcp_new_syn_recv));
    for (const Table& t : tcp_tables) load(t, netlink, tcp_states, low, high);
    if (!listening_only) {
        for (const Table& t : datagram_tables) load(t, netlink, ~std::uint32_t{0}, low, high);
    }
    std::sort(table.begin(), table.end(), [](const TableEntry& a, const TableEntry& b) { return a.inode < b.inode; });

    // Only a pass with something to find needs /proc.
    if (present.any()) proc.reset(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

void ProcessQueries::State::add(std::uint64_t inode, std::uint16_t port, std::uint8_t protocol, unsigned state) {
    if (inode == 0 || !wanted.test(port)) return;
    TableEntry entry{inode, port, SocketKind::internet, false};
    if (protocol == IPPROTO_TCP) {
        if (state == tcp_time_wait || state == tcp_new_syn_recv) return;
        entry.kind = SocketKind::tcp;
        entry.listening = state == tcp_listen;
    }
    if (listening_only && !entry.listening) return;
    table.push_back(entry);
    present.set(port);
}

void ProcessQueries::State::load(const Table& t, UniqueFd& netlink, std::uint32_t states, std::uint16_t low,
                                 std::uint16_t high) {
    std::size_t before = table.size();
    if (netlink && load_netlink(t, netlink.get(), states, low, high)) return;
    // Whatever a refused dump delivered is dropped before the file is read,
    // and the socket, which may still hold the rest of that dump, is not used again.
    table.resize(before);
    netlink.reset();
    load_proc_net(t);
}

// One inet_diag dump: the sockets of one family and protocol in `states`,
// with a local port from `low` to `high`, filtered by the kernel.
bool ProcessQueries::State::load_netlink(const Table& t, int netlink, std::uint32_t states, std::uint16_t low,
                                         std::uint16_t high) {
    struct Request {
        nlmsghdr header;
        inet_diag_req_v2 body;
        nlattr filter;
        inet_diag_bc_op ops[4];
    };
    static_assert(sizeof(Request) == sizeof(nlmsghdr) + sizeof(inet_diag_req_v2) + sizeof(nlattr) + 4 * sizeof(inet_diag_bc_op),
                  "the request is sent as laid out, without padding");

    Request request{};
    request.header.nlmsg_len = sizeof(Request);
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.body.sdiag_family = t.family;
    request.body.sdiag_protocol = t.protocol;
    request.body.idiag_states = states;
    request.filter.nla_type = INET_DIAG_REQ_BYTECODE;
    request.filter.nla_len = sizeof(nlattr) + sizeof(request.ops);
    // low <= sport, then sport <= high; a failed test jumps past the end,
    // which rejects the socket. A comparison's port rides in the next op.
    request.ops[0] = {INET_DIAG_BC_S_GE, 8, 4 * sizeof(inet_diag_bc_op) + 4};
    request.ops[1] = {0, 0, low};
    request.ops[2] = {INET_DIAG_BC_S_LE, 8, 2 * sizeof(inet_diag_bc_op) + 4};
    request.ops[3] = {0, 0, high};

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    for (;;) {
        ssize_t sent = ::sendto(netlink, &request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&kernel),
                                sizeof kernel);
        if (sent == static_cast<ssize_t>(sizeof request)) break;
        if (sent < 0 && errno == EINTR) continue;
        return false;
    }

    buffer.resize(netlink_buffer_size);
    for (;;) {
        ssize_t got = ::recv(netlink, buffer.data(), buffer.size(), 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        std::size_t end = static_cast<std::size_t>(got);
        for (std::size_t at = 0; end - at >= sizeof(nlmsghdr);) {
            nlmsghdr header;
            std::memcpy(&header, buffer.data() + at, sizeof header);
            if (header.nlmsg_len < sizeof header || header.nlmsg_len > end - at) return false;
            if (header.nlmsg_type == NLMSG_DONE) return true;
            if (header.nlmsg_type == NLMSG_ERROR) return false;
            if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY && header.nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
                inet_diag_msg message;
                std::memcpy(&message, buffer.data() + at + NLMSG_HDRLEN, sizeof message);
                add(message.idiag_inode, ntohs(message.id.idiag_sport), t.protocol, message.idiag_state);
            }
            at += NLMSG_ALIGN(header.nlmsg_len);
            if (at > end) break;
        }
    }
}

// The same table as text: "sl local_address rem_address st ... uid timeout inode ...",
// addresses as HEX:PORT in hex, the state in hex, the inode in decimal.
void ProcessQueries::State::load_proc_net(const Table& t) {
    char path[64] = "/proc/thread-self/net/";
    std::strncat(path, t.proc_net_file, sizeof path - std::strlen(path) - 1);
    UniqueFd file(::open(path, O_RDONLY | O_CLOEXEC));
    if (!file) return;

    auto parse_line = [&](std::string_view line) {
        std::string_view fields[10];
        std::size_t count = 0;
        for (std::size_t at = 0; count < 10;) {
            at = line.find_first_not_of(' ', at);
            if (at == std::string_view::npos) break;
            std::size_t stop = std::min(line.find(' ', at), line.size());
            fields[count++] = line.substr(at, stop - at);
            at = stop;
        }
        if (count < 10) return;
        std::size_t colon = fields[1].rfind(':');
        if (colon == std::string_view::npos) return;
        std::optional<std::uint16_t> port = parse_number<std::uint16_t>(fields[1].substr(colon + 1), 16);
        std::optional<unsigned> state = parse_number<unsigned>(fields[3], 16);
        std::optional<std::uint64_t> inode = parse_number<std::uint64_t>(fields[9]);
        if (port && state && inode) add(*inode, *port, t.protocol, *state);
    };

    buffer.resize(proc_net_buffer_size);
    std::size_t kept = 0;  // bytes of an unfinished line at the front of the buffer
    bool header = true;
    for (;;) {
        if (kept == buffer.size()) kept = 0;  // no line is this long; drop it
        ssize_t got = ::read(file.get(), buffer.data() + kept, buffer.size() - kept);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        std::string_view rest(buffer.data(), kept + static_cast<std::size_t>(got));
        std::size_t newline;
        while ((newline = rest.find('\n')) != std::string_view::npos) {
            if (!header) parse_line(rest.substr(0, newline));
            header = false;
            rest.remove_prefix(newline + 1);
        }
        std::memmove(buffer.data(), rest.data(), rest.size());
        kept = rest.size();
    }
}

// The command line of `pid`, at most cmd_limit + 1 bytes of it, into `text`.
// An owner's name and command both need it: it is read once per owner.
bool ProcessQueries::State::read_cmdline(Pid pid) {
    if (text_pid == pid) return true;
    text_pid = 0;
    char path[32];
    auto end = std::to_chars(path, path + sizeof path - 9, pid).ptr;
    std::memcpy(end, "/cmdline", 9);
    if (!read_file(proc.get(), path, cmd_limit + 1, text)) return false;
    text_pid = pid;
    return true;
}

ProcessQueries::ProcessQueries(const SocketFilter& filter) : state_(std::make_unique<State>(filter)) {}

ProcessQueries::~ProcessQueries() = default;

bool ProcessQueries::may_be_held(std::uint16_t port) const noexcept { return state_->present.test(port); }

bool ProcessQueries::list(std::vector<Pid>& pids) {
    pids.clear();
    if (!state_->proc) return false;
    return for_each_entry(state_->proc.get(), state_->buffer, [&](std::string_view name) {
        if (!is_digits(name)) return;
        if (std::optional<Pid> pid = parse_number<Pid>(name)) pids.push_back(*pid);
    });
}

// Linux lists a directory of any length and needs no count.
std::optional<std::uint32_t> ProcessQueries::descriptor_count(Pid) { return std::nullopt; }

bool ProcessQueries::descriptors(Pid pid, std::size_t, std::vector<Descriptor>& out) {
    out.clear();
    state_->fd_dir.reset();
    char path[32];
    auto end = std::to_chars(path, path + sizeof path - 4, pid).ptr;
    std::memcpy(end, "/fd", 4);
    state_->fd_dir.reset(::openat(state_->proc.get(), path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!state_->fd_dir) return false;
    state_->fd_dir_pid = pid;
    // Whether an entry is a socket shows only in its link, read on demand.
    return for_each_entry(state_->fd_dir.get(), state_->buffer, [&](std::string_view name) {
        if (!is_digits(name)) return;
        if (std::optional<int> fd = parse_number<int>(name)) out.push_back(Descriptor{*fd, true});
    });
}

std::optional<SocketDetails> ProcessQueries::socket(Pid pid, const Descriptor& descriptor) {
    if (!state_->fd_dir || state_->fd_dir_pid != pid) return std::nullopt;
    char name[16];
    *std::to_chars(name, name + sizeof name - 1, descriptor.fd).ptr = '\0';
    // "socket:[INODE]"; longer links are cut, which is all we need to tell them apart.
    char link[32];
    ssize_t size = ::readlinkat(state_->fd_dir.get(), name, link, sizeof link);
    if (size <= 0) return std::nullopt;
    std::string_view target(link, static_cast<std::size_t>(size));
    constexpr std::string_view prefix = "socket:[";
    if (!target.starts_with(prefix) || !target.ends_with(']')) return std::nullopt;
    std::optional<std::uint64_t> inode =
        parse_number<std::uint64_t>(target.substr(prefix.size(), target.size() - prefix.size() - 1));
    if (!inode) return std::nullopt;

    const auto& table = state_->table;
    auto it = std::lower_bound(table.begin(), table.end(), *inode,
                               [](const TableEntry& entry, std::uint64_t id) { return entry.inode < id; });
    if (it == table.end() || it->inode != *inode) return std::nullopt;
    return SocketDetails{it->kind, it->listening, it->port, it->inode};
}

// comm, or the base name of the program when comm is that name cut at the
// kernel's limit.
std::optional<std::string> ProcessQueries::name(Pid pid) {
    char path[32];
    auto end = std::to_chars(path, path + sizeof path - 6, pid).ptr;
    std::memcpy(end, "/comm", 6);
    std::string comm;
    if (!read_file(state_->proc.get(), path, 64, comm)) return std::nullopt;
    if (!comm.empty() && comm.back() == '\n') comm.pop_back();
    if (comm.empty()) return std::nullopt;

    if (comm.size() == comm_limit && state_->read_cmdline(pid)) {
        std::string_view first = state_->text;
        first = first.substr(0, first.find('\0'));
        auto base = [](std::string_view word) { return word.substr(word.rfind('/') + 1); };
        // A program path with spaces, or a command line rewritten into one
        // string with spaces: try the word before the first space, then the whole.
        for (std::string_view candidate : {base(first.substr(0, first.find(' '))), base(first)}) {
            if (candidate.size() > comm.size() && candidate.starts_with(comm) && is_utf8(candidate)) {
                return std::string(candidate);
            }
        }
    }
    if (!is_utf8(comm)) return std::nullopt;
    return comm;
}

// The arguments joined by single spaces, at most cmd_limit bytes, cut only
// between characters; empty for kernel threads and zombies.
std::optional<std::string> ProcessQueries::path(Pid pid) {
    if (!state_->read_cmdline(pid)) return std::nullopt;
    std::string_view raw = state_->text;
    bool cut = raw.size() > cmd_limit;
    if (cut) raw = raw.substr(0, cmd_limit);
    std::size_t keep = cut ? utf8_cut_length(raw) : (is_utf8(raw) ? raw.size() : std::string_view::npos);
    if (keep == std::string_view::npos) return std::nullopt;
    raw = raw.substr(0, keep);
    // The terminating NUL, and the padding of a command line rewritten in place.
    while (!raw.empty() && raw.back() == '\0') raw.remove_suffix(1);
    std::string cmd(raw);
    std::replace(cmd.begin(), cmd.end(), '\0', ' ');
    return cmd;
}

}  // namespace velmor::owners
