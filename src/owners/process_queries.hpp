#pragma once
// The six process queries through which the owner search reaches the system,
// bundled as one object per pass. The search logic (find_owners.cpp) is the
// same on every platform; each platform supplies this class in its own file
// under owners/platform/, which the build picks.
//
// A failed query is an empty optional or false; the cause is never needed.
// Nothing here throws except std::bad_alloc.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velmor::owners {

using Pid = std::uint32_t;

// One open descriptor of a process. `maybe_socket` is false when the listing
// already tells that it is not a socket, so that it needs no socket query.
struct Descriptor {
    int fd = -1;
    bool maybe_socket = true;
};

enum class SocketKind : std::uint8_t {
    tcp,       // TCP
    internet,  // another internet socket: UDP and the like
    other,     // local-domain sockets and everything else
};

struct SocketDetails {
    SocketKind kind = SocketKind::other;
    bool listening = false;       // TCP in the LISTEN state
    std::uint16_t local_port = 0;  // host byte order
    std::uint64_t id = 0;          // stable identity of the socket while it lives
};

// What a pass looks for: the ports (nonzero), and whether only TCP listeners count.
struct SocketFilter {
    std::span<const std::uint16_t> ports;
    bool listening_only = false;
};

class ProcessQueries {
public:
    // Prepares a pass for `filter`. A platform with a system-wide socket
    // table loads it here, once, restricted to the filter.
    explicit ProcessQueries(const SocketFilter& filter);
    ~ProcessQueries();
    ProcessQueries(const ProcessQueries&) = delete;
    ProcessQueries& operator=(const ProcessQueries&) = delete;

    // False when no socket of the system can count for `port` under the
    // filter, so that the walk need not look for it. Platforms that cannot
    // tell in advance answer true.
    bool may_be_held(std::uint16_t port) const noexcept;

    // The visible processes, in the order the system lists them.
    bool list(std::vector<Pid>& pids);

    // The number of open descriptors of `pid`, a sizing hint for `descriptors`.
    std::optional<std::uint32_t> descriptor_count(Pid pid);

    // The descriptors of `pid` in the system's order, replacing `out`.
    // `capacity` is the number of entries to ask for where the system needs
    // a fixed-size buffer.
    bool descriptors(Pid pid, std::size_t capacity, std::vector<Descriptor>& out);

    // Details of one descriptor from the latest `descriptors` listing of `pid`;
    // empty when it is not a socket or cannot be inspected.
    std::optional<SocketDetails> socket(Pid pid, const Descriptor& descriptor);

    // The process name, valid UTF-8 and never empty.
    std::optional<std::string> name(Pid pid);

    // The command: the full command line on Linux, the executable path on
    // macOS; valid UTF-8.
    std::optional<std::string> path(Pid pid);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace velmor::owners
