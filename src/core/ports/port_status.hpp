#pragma once
// The state of a port and why: free, listening or busy, from the sockets
// that one read of the socket tables found on it and what that read gave
// beside them (the processes whose descriptors could not be read, the trial
// binds, how much of the system's processes are in view). Every face tells
// a port's state from this. Runs without the interpreter lock and touches
// nothing of the interpreter.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/platform/process_queries.hpp"
#include "core/sockets/socket_table.hpp"

namespace velmor::ports {

enum class PortState : std::uint8_t { free, listening, busy };

// Why a port is busy, or why a listening port has no owner.
enum class BusyReason : std::uint8_t { none, time_wait, closing, connection, hidden_owner, unknown };

// What tells why a socket that no visible process holds is not seen.
enum class Hidden : std::uint8_t {
    none,                 // no such socket, or nothing tells
    unreadable,           // some processes' descriptors could not be read: the candidates
    no_process,           // every process was read: in flight between processes, or kept by the kernel
    other_pid_namespace,  // processes of other pid namespaces are out of view
};

struct PortStatus {
    std::uint16_t port = 0;
    PortState state = PortState::free;
    BusyReason reason = BusyReason::none;
    // The first visible holder of a listening socket: an index into the
    // table's processes.
    std::optional<std::size_t> owner;
    // Every socket of the table on the port, in the table's order: indices
    // into the table's sockets.
    std::vector<std::size_t> sockets;
    // Every visible process holding one of those sockets, once each, in pid
    // order: indices into the table's processes.
    std::vector<std::size_t> holders;
    int probe_error = 0;  // the trial bind's error on 127.0.0.1 (0: it succeeded, or was not needed)
    Hidden hidden = Hidden::none;
    // With Hidden::unreadable, the possible holders, those of the socket's user first.
    std::vector<TableProcess> candidates;
};

// What a reading gave beside its sockets.
struct Sighting {
    // The processes whose descriptors the walk could not read, in pid order.
    std::span<const TableProcess> unreadable;
    // Per port asked, in that order, the error of a trial bind made with the
    // reading; empty: each port is tried when its state needs it.
    std::span<const int> probe_errors;
    // The process view; asked of the system when the evidence needs it.
    std::optional<platform::ProcessView> view;
    // The sockets are those seen in two reads in a row.
    bool lasting = false;
};

// A TCP connection whose process has closed it (or ended) while it still
// closes: the kernel keeps it, without an identity and held by no process,
// until the peer answers or the kernel's timeout ends it. Like a TIME-WAIT
// socket, a bind with SO_REUSEADDR takes the port over when it had set it too.
bool is_left_closing(const SocketInfo& socket) noexcept;

// A TCP socket that only outlives its connection: TIME-WAIT or left closing.
bool lingers(const SocketInfo& socket) noexcept;

// Whether this process runs as root, which reads every process's descriptors.
bool runs_as_root() noexcept;

struct Evidence {
    Hidden hidden = Hidden::none;
    std::vector<TableProcess> candidates;
};

// Why a socket owned by `owner_uid` that no visible process holds is not
// seen: the unreadable processes (the owner's first) when there are any,
// unless /proc is another pid namespace's; else other pid namespaces when
// ours is not the system's first; else, for root, no process at all.
Evidence hidden_evidence(Sighting& seen, std::optional<std::uint32_t> owner_uid);

// Each port's state, in the order of `ports`, from `table` (read for those
// ports, its sockets sorted by port) and `seen`.
std::vector<PortStatus> port_statuses(const SocketTable& table, std::span<const std::uint16_t> ports, Sighting& seen);

// The socket's owner as a user id, empty when the system did not record it.
std::optional<std::uint32_t> owner_of(const SocketInfo& socket) noexcept;

}  // namespace velmor::ports

namespace velmor::ports {

// One read of every socket on `ports` (TCP in every state, UDP) with its
// holders from one walk, and each port's state from it.
struct PortsReading {
    SocketTable table;
    std::vector<PortStatus> statuses;
};
PortsReading read_port_statuses(std::span<const std::uint16_t> ports);

}  // namespace velmor::ports
