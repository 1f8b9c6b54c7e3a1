#pragma once
// The socket table: every socket of the chosen kinds and ports, each with
// the visible processes that hold it, from one read of the system's socket
// tables and one walk over the processes. Every question about who holds a
// port is a read of this table: a listing names every holder in pid order,
// a lookup of a port's owner the first named holder in the walk's order,
// a stop every holder in the walk's order. Runs without the interpreter
// lock and touches nothing of the interpreter.

#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/platform/process_handle.hpp"
#include "core/platform/process_queries.hpp"
#include "core/platform/socket.hpp"

namespace velmor {

struct TableProcess {
    platform::Pid pid = 0;
    std::string name;  // as the system gives it, repaired where it was cut; may be empty or not UTF-8
    std::string command;
    std::optional<std::uint32_t> uid;
};

struct TableHolder {
    std::size_t process = 0;  // index into SocketTable::processes
    platform::Pid task = 0;   // 0: the process's own descriptor table
    int fd = -1;
};

struct TableSocket {
    SocketInfo socket;
    std::vector<TableHolder> holders;  // in pid order, one per process
};

struct SocketTable {
    std::vector<TableSocket> sockets;  // by local port, then family and address
    std::vector<TableProcess> processes;  // in pid order
    // EMFILE or ENFILE when the read ran out of descriptors: then sockets,
    // holders or names may be missing, and the table is no answer.
    int shortage = 0;
    // The processes whose descriptors the system would not show, in pid
    // order: the possible holders of a listed socket that no process was
    // seen to hold. Named only when there is such a socket.
    std::vector<TableProcess> unreadable;
    // True when `sockets` held every socket of the request's kinds before
    // the walk (the system's socket tables were read), so that a port
    // without a listed socket has none; false where sockets are only known
    // through their holders.
    bool lists_every_socket = false;
    // When the system's socket tables had been read, on the monotonic clock:
    // every socket listed was there by then (before the walk over the processes).
    timespec listed_by{};
};

// Which holders a read names.
enum class HolderPick : std::uint8_t {
    // Every visible process holding each socket, with its name and command
    // as the system gives them (possibly empty or not UTF-8) and its user.
    every,
    // Per port, only the first process in the walk's order that holds a
    // socket there and whose name reads as UTF-8 text, with its command as
    // UTF-8 (empty when it does not read so) and no user; a process whose
    // name does not read is passed over. The walk ends once every port that
    // may be held has its holder; the unreadable processes are not named.
    first_named,
};

// The order of SocketTable::processes, and so of each socket's holders.
enum class ProcessOrder : std::uint8_t { by_pid, as_walked };

struct TableRequest {
    SocketFilter filter;
    bool holders = true;  // walk the processes to find the holders
    // Walk only these processes (and so name only them as holders). The id
    // of a thread that is not its process's leader names no process here.
    std::optional<std::vector<platform::Pid>> only;
    HolderPick pick = HolderPick::every;
    ProcessOrder order = ProcessOrder::by_pid;
};

SocketTable read_socket_table(const TableRequest& request);

// One process of a table holding sockets on one port, with where it holds
// them (its own table before its threads', by descriptor).
struct PortHolder {
    std::size_t process = 0;  // index into SocketTable::processes
    std::vector<platform::HeldSocket> held;
};

// The processes of `table` that hold a socket on `port`, in the table's
// process order.
std::vector<PortHolder> holders_of(const SocketTable& table, std::uint16_t port);

// A lookup of the owners of `ports`: per port, the first listener in the
// walk's order that has a name (see HolderPick::first_named).
TableRequest owner_lookup(std::span<const std::uint16_t> ports);

// Per port of `ports`, whether a lookup may find an owner: it is not 0 and
// some TCP socket listens there, as the system's socket tables show (every
// nonzero port where the system has none). Reads the tables only.
std::vector<bool> may_have_owner(std::span<const std::uint16_t> ports);

// The owner of `port` in a table read for owner_lookup, or null.
const TableProcess* owner_in(const SocketTable& table, std::uint16_t port);

// The socket ids of this process's trial listeners open right now: they hold
// nothing, in this process or in a child that has a copy of them between
// fork and exec.
std::unordered_set<std::uint64_t> own_trial_ids();

// What the system tells of a process, with its parent; empty for a pid
// that names no process.
struct ProcessDetails {
    TableProcess process;
    std::optional<platform::Pid> parent;
    bool descriptors_readable = true;  // false: the system would not show what its descriptors are
};
std::vector<std::optional<ProcessDetails>> process_details(std::span<const platform::Pid> pids);

// `pid`, its parent, and so on up to the first process. `shortage`, when
// given, is set as SocketTable::shortage is.
std::vector<platform::Pid> process_ancestry(platform::Pid pid, int* shortage = nullptr);

}  // namespace velmor
